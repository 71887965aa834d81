#include "support/SteppedQueue.hpp"

#include <condition_variable>

namespace sonvel {

SteppedQueue::SteppedQueue(std::string label, Clock::time_point start)
    : label_(std::move(label)), owner_(std::this_thread::get_id()), now_(start) {}

void SteppedQueue::async(Work work) {
    after(Clock::duration::zero(), std::move(work));
}

void SteppedQueue::after(Clock::duration delay, Work work) {
    const std::lock_guard lock(mutex_);
    items_.emplace(std::pair{now_ + delay, sequence_++}, std::move(work));
}

void SteppedQueue::sync(const Work& work) {
    if (isCurrent()) {
        runUntilIdle();
        work();
        return;
    }
    std::mutex m;
    std::condition_variable done;
    bool finished = false;
    async([&] {
        work();
        const std::lock_guard lock(m);
        finished = true;
        done.notify_one();
    });
    std::unique_lock lock(m);
    done.wait(lock, [&] { return finished; });
}

bool SteppedQueue::isCurrent() const {
    const auto self = std::this_thread::get_id();
    const std::lock_guard lock(mutex_);
    return self == owner_ || self == running_;
}

SteppedQueue::Clock::time_point SteppedQueue::now() const {
    const std::lock_guard lock(mutex_);
    return now_;
}

std::size_t SteppedQueue::pending() const {
    const std::lock_guard lock(mutex_);
    return items_.size();
}

bool SteppedQueue::runOne(Clock::time_point until) {
    Work work;
    {
        const std::lock_guard lock(mutex_);
        if (items_.empty() || items_.begin()->first.first > until) return false;
        auto first = items_.begin();
        if (first->first.first > now_) now_ = first->first.first;
        work = std::move(first->second);
        items_.erase(first);
        running_ = std::this_thread::get_id();
    }
    work();
    const std::lock_guard lock(mutex_);
    running_ = {};
    return true;
}

std::size_t SteppedQueue::runUntilIdle() {
    std::size_t ran = 0;
    while (runOne(now())) ++ran;
    return ran;
}

std::size_t SteppedQueue::advance(Clock::duration by) {
    const Clock::time_point until = now() + by;
    std::size_t ran = 0;
    while (runOne(until)) ++ran;
    const std::lock_guard lock(mutex_);
    now_ = until;
    return ran;
}

}  // namespace sonvel
