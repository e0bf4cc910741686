#pragma once
// Components write log records through Boost.Log's trivial logger; the sink is set up by Logging.
#include <boost/log/trivial.hpp>

#define VARNO_LOG(severity) BOOST_LOG_TRIVIAL(severity)
