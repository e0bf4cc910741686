#pragma once
#include <boost/chrono.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <deque>
#include <memory>

class Flow;

// Unbounded FIFO with a blocking receive; the empty pointer is the end-of-stream marker.
//
// Waking a receiver for every message costs two context switches per flow, more than the
// flow's analysis itself. So a sender wakes a waiting receiver only once a batch has
// built up (or for an end marker), and a waiting receiver also looks again after a short
// pause; a message therefore waits at most that pause, which is nothing next to the
// 10 seconds a flow spends collecting packets.
template <typename Message>
class MessageChannel {
public:
    static constexpr size_t wakeBatch = 64;
    static constexpr unsigned pauseMilliseconds = 5;

    // 0: unbounded, a sender never waits (a live capture must not stall). Otherwise a
    // sender waits while the channel holds this many messages: reading a file, nothing is
    // lost by waiting, and the queues then cannot grow with the length of the capture.
    void setCapacity(size_t messages) {
        boost::lock_guard<boost::mutex> lock(mutex);
        capacity = messages;
    }

    void send(Message const& message) {
        bool wake;
        {
            boost::unique_lock<boost::mutex> lock(mutex);
            while (capacity != 0 && queue.size() >= capacity) {
                ++sendersWaiting;
                notFull.wait(lock);
                --sendersWaiting;
            }
            queue.push_back(message);
            wake = waiting > 0 && (!message || queue.size() >= wakeBatch);
        }
        if (wake) condition.notify_one();
    }

    Message receive() {
        boost::unique_lock<boost::mutex> lock(mutex);
        while (queue.empty()) {
            ++waiting;
            condition.wait_for(lock, boost::chrono::milliseconds(pauseMilliseconds));
            --waiting;
        }
        Message message = std::move(queue.front());
        queue.pop_front();
        const bool wakeSender = sendersWaiting > 0;
        lock.unlock();
        if (wakeSender) notFull.notify_one();
        return message;
    }

private:
    std::deque<Message> queue;
    boost::mutex mutex;
    boost::condition_variable condition;
    boost::condition_variable notFull;
    unsigned waiting = 0;
    unsigned sendersWaiting = 0;
    size_t capacity = 0;
};

using FlowChannel = MessageChannel<std::shared_ptr<Flow>>;

// End-of-stream markers: empty flow pointers, one per worker on the task channel and one
// on the export channel.
extern const std::shared_ptr<Flow> NullFlowProcessMsg;
extern const std::shared_ptr<Flow> NullFlowEntryMsg;
