#pragma once

#include <memory>
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
    std::string label_ = "main";
    std::unique_ptr<QObject> context_;
};

}  // namespace sonvel
