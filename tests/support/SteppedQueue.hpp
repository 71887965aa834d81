#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>

#include "tap/DispatchQueue.hpp"

namespace sonvel {

// A serial queue in virtual time, for tests and for a main loop driven from
// outside: nothing runs until its owner pumps it, and time moves only when
// the owner advances it. Any thread may submit work.
class SteppedQueue final : public DispatchQueue {
  public:
    using Clock = std::chrono::steady_clock;

    explicit SteppedQueue(std::string label,
                          Clock::time_point start = Clock::time_point{} + std::chrono::hours(1));

    [[nodiscard]] const std::string& label() const override { return label_; }
    void async(Work work) override;
    // Runs everything queued before it, then the work. From another thread
    // than the owner it waits until the owner pumps the queue.
    void sync(const Work& work) override;
    void after(Clock::duration delay, Work work) override;
    [[nodiscard]] bool isCurrent() const override;

    [[nodiscard]] Clock::time_point now() const;
    // Runs every item that is due now, including items they queue for now.
    std::size_t runUntilIdle();
    // Moves time forward, running each item when its time comes.
    std::size_t advance(Clock::duration by);
    [[nodiscard]] std::size_t pending() const;

  private:
    bool runOne(Clock::time_point until);

    std::string label_;
    std::thread::id owner_;
    mutable std::mutex mutex_;
    Clock::time_point now_;
    std::uint64_t sequence_ = 0;
    // Ordered by due time, then by submission.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Work> items_;
    std::thread::id running_;
};

}  // namespace sonvel
