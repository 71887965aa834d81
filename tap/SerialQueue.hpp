#pragma once

#include <memory>
#include <string>
#include <thread>

#include "tap/DispatchQueue.hpp"

namespace sonvel {

// A serial queue with a thread of its own, on an Asio io_context. Work still
// queued when the queue is destroyed is dropped; work already running finishes.
class SerialQueue final : public DispatchQueue {
  public:
    static std::shared_ptr<SerialQueue> make(std::string label);
    ~SerialQueue() override;

    [[nodiscard]] const std::string& label() const override { return label_; }
    void async(Work work) override;
    void sync(const Work& work) override;
    void after(std::chrono::steady_clock::duration delay, Work work) override;
    [[nodiscard]] bool isCurrent() const override;

    explicit SerialQueue(std::string label);

  private:
    struct Loop;
    std::string label_;
    std::shared_ptr<Loop> loop_;  // shared with the thread, which may outlive this object
    std::thread thread_;
};

}  // namespace sonvel
