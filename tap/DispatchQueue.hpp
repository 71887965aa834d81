#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace sonvel {

// A serial queue: work submitted to it runs one item at a time, in order.
// Listeners, engine hosts and observers name the queue their callbacks run on.
class DispatchQueue {
  public:
    using Work = std::function<void()>;

    virtual ~DispatchQueue() = default;

    [[nodiscard]] virtual const std::string& label() const = 0;
    virtual void async(Work work) = 0;
    // Runs `work` on the queue and waits for it. Called from the queue
    // itself, it runs the work at once instead of deadlocking.
    virtual void sync(const Work& work) = 0;
    virtual void after(std::chrono::steady_clock::duration delay, Work work) = 0;
    [[nodiscard]] virtual bool isCurrent() const = 0;
};

}  // namespace sonvel
