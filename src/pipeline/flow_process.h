#pragma once
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <deque>
#include <memory>

class Flow;

// Unbounded FIFO with a blocking receive; the empty pointer is the end-of-stream marker.
template <typename Message>
class MessageChannel {
public:
    void send(Message const& message) {
        {
            boost::lock_guard<boost::mutex> lock(mutex);
            queue.push_back(message);
        }
        condition.notify_one();
    }

    Message receive() {
        boost::unique_lock<boost::mutex> lock(mutex);
        while (queue.empty()) condition.wait(lock);
        Message message = std::move(queue.front());
        queue.pop_front();
        return message;
    }

private:
    std::deque<Message> queue;
    boost::mutex mutex;
    boost::condition_variable condition;
};

using FlowChannel = MessageChannel<std::shared_ptr<Flow>>;

// Body of one TLS processing thread: takes flows from the task channel, analyses them
// and passes complete ones to the export channel.
class FlowTaskWorker {
public:
    FlowTaskWorker(std::shared_ptr<FlowChannel> const& taskChannel, std::shared_ptr<FlowChannel> const& exportChannel)
        : taskChannel(taskChannel), exportChannel(exportChannel) {}
    void operator()();

private:
    std::shared_ptr<FlowChannel> taskChannel;
    std::shared_ptr<FlowChannel> exportChannel;
};
