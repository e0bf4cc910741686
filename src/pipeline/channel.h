#pragma once
#include <boost/thread/condition_variable.hpp>
#include <chrono>
#include <boost/thread/mutex.hpp>
#include <deque>
#include <memory>
#include <vector>

class Flow;

// FIFO with a blocking receive; the empty pointer is the end-of-stream marker.
//
// Waking a thread costs two context switches, more than a flow's analysis itself, so
// senders hand over batches (sendBatch) and receivers take everything waiting at once
// (receiveBatch): one wake-up per batch. A receiver sleeps until a message arrives and
// never looks on a timer, so an idle pipeline makes no wake-ups at all.
template <typename Message>
class MessageChannel {
public:
    // 0: unbounded, a sender never waits (a live capture must not stall). Otherwise a
    // sender waits while the channel holds this many messages: reading a file, nothing is
    // lost by waiting, and the queues then cannot grow with the length of the capture.
    void setCapacity(size_t messages) {
        boost::lock_guard<boost::mutex> lock(mutex);
        capacity = messages;
    }

    void send(Message const& message) {
        {
            boost::unique_lock<boost::mutex> lock(mutex);
            waitForRoom(lock);
            queue.push_back(message);
            if (receiversWaiting == 0) return;
        }
        notEmpty.notify_one();
    }

    // Sends every message of the batch, in order, and empties it.
    void sendBatch(std::vector<Message>& batch) {
        if (batch.empty()) return;
        {
            boost::unique_lock<boost::mutex> lock(mutex);
            for (auto& message : batch) {
                waitForRoom(lock);
                queue.push_back(std::move(message));
            }
            batch.clear();
            if (receiversWaiting == 0) return;
        }
        notEmpty.notify_all();
    }

    Message receive() {
        boost::unique_lock<boost::mutex> lock(mutex);
        waitForMessage(lock);
        Message message = std::move(queue.front());
        queue.pop_front();
        afterTaking(lock);
        return message;
    }

    // Waits for at least one message, then moves up to `most` of them into `out`, stopping
    // after an end marker so that each receiver takes exactly one of those.
    void receiveBatch(std::vector<Message>& out, size_t most) {
        boost::unique_lock<boost::mutex> lock(mutex);
        waitForMessage(lock);
        take(out, most);
        afterTaking(lock);
    }

    // As receiveBatch, but gives up after `timeout` without a message (and returns false).
    bool receiveBatchFor(std::vector<Message>& out, size_t most, std::chrono::nanoseconds timeout) {
        auto const deadline = boost::chrono::steady_clock::now() + boost::chrono::nanoseconds(timeout.count());
        boost::unique_lock<boost::mutex> lock(mutex);
        while (queue.empty()) {
            ++receiversWaiting;
            bool const late = notEmpty.wait_until(lock, deadline) == boost::cv_status::timeout;
            --receiversWaiting;
            if (late && queue.empty()) return false;
        }
        take(out, most);
        afterTaking(lock);
        return true;
    }

    // Moves every waiting message into `out` without waiting for one.
    void takeAll(std::vector<Message>& out) {
        boost::unique_lock<boost::mutex> lock(mutex);
        for (auto& message : queue) out.push_back(std::move(message));
        queue.clear();
        afterTaking(lock);
    }

    bool empty() {
        boost::lock_guard<boost::mutex> lock(mutex);
        return queue.empty();
    }

private:
    // Stops after an end marker, so that each receiver takes exactly one of those.
    void take(std::vector<Message>& out, size_t most) {
        while (!queue.empty() && most-- > 0) {
            out.push_back(std::move(queue.front()));
            queue.pop_front();
            if (!out.back()) break;
        }
    }
    void waitForRoom(boost::unique_lock<boost::mutex>& lock) {
        while (capacity != 0 && queue.size() >= capacity) {
            ++sendersWaiting;
            // A full channel means the receiver is behind, but one that sleeps must still be
            // told the batch so far is there.
            if (receiversWaiting > 0) notEmpty.notify_all();
            notFull.wait(lock);
            --sendersWaiting;
        }
    }
    void waitForMessage(boost::unique_lock<boost::mutex>& lock) {
        while (queue.empty()) {
            ++receiversWaiting;
            notEmpty.wait(lock);
            --receiversWaiting;
        }
    }
    void afterTaking(boost::unique_lock<boost::mutex>& lock) {
        const bool wakeSenders = sendersWaiting > 0;
        lock.unlock();
        if (wakeSenders) notFull.notify_all();
    }

    std::deque<Message> queue;
    boost::mutex mutex;
    boost::condition_variable notEmpty;
    boost::condition_variable notFull;
    unsigned receiversWaiting = 0;
    unsigned sendersWaiting = 0;
    size_t capacity = 0;
};

using FlowChannel = MessageChannel<std::shared_ptr<Flow>>;

// End-of-stream marker of the task channel: the empty flow pointer.
extern const std::shared_ptr<Flow> endOfFlows;
