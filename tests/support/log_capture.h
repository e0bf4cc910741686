#pragma once
// Every log record written while a LogCapture exists, as "<severity> <message>" lines.
#include <boost/core/null_deleter.hpp>
#include <boost/log/core.hpp>
#include <boost/log/expressions.hpp>
#include <boost/log/sinks/sync_frontend.hpp>
#include <boost/log/sinks/text_ostream_backend.hpp>
#include <boost/log/trivial.hpp>
#include <boost/make_shared.hpp>
#include <sstream>
#include <string>

namespace varno_test {

class LogCapture {
public:
    LogCapture() : stream(boost::make_shared<std::ostringstream>()) {
        namespace sinks = boost::log::sinks;
        namespace expr = boost::log::expressions;
        auto backend = boost::make_shared<sinks::text_ostream_backend>();
        backend->add_stream(boost::shared_ptr<std::ostream>(stream.get(), boost::null_deleter()));
        sink = boost::make_shared<Sink>(backend);
        sink->set_formatter(expr::stream << expr::attr<boost::log::trivial::severity_level>("Severity") << " "
                                         << expr::smessage);
        boost::log::core::get()->add_sink(sink);
    }
    ~LogCapture() { boost::log::core::get()->remove_sink(sink); }
    std::string text() {
        sink->flush();
        return stream->str();
    }

private:
    using Sink = boost::log::sinks::synchronous_sink<boost::log::sinks::text_ostream_backend>;
    boost::shared_ptr<std::ostringstream> stream;
    boost::shared_ptr<Sink> sink;
};

}  // namespace varno_test
