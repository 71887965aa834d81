#pragma once

#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "tap/DispatchQueue.hpp"

class QObject;

namespace sonvel {

// The main queue on Qt's event loop: work runs on the thread that owns the
// application object, in order; timers are Qt's single-shot timers.
class QtMainQueue final : public DispatchQueue {
  public:
    QtMainQueue();
    ~QtMainQueue() override;

    [[nodiscard]] const std::string& label() const override { return label_; }
    void async(Work work) override;
    void sync(const Work& work) override;
    void after(std::chrono::steady_clock::duration delay, Work work) override;
    [[nodiscard]] bool isCurrent() const override;

  private:
    void runNext();

    std::string label_ = "main";
    // Work waits here, under a lock of our own, and each posted call runs the
    // oldest: the race detector cannot see Qt's locks and would take work
    // handed over inside a posted call for a race.
    std::mutex pendingMutex_;
    std::deque<Work> pending_;
    // Last, so that it goes first and takes its posted calls with it.
    std::unique_ptr<QObject> context_;
};

}  // namespace sonvel
