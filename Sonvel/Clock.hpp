#pragma once

#include <chrono>

namespace sonvel {

// Where the model reads the time: wall-clock dates for what it stores and
// shows, a continuous clock for intervals.
class Clock {
  public:
    virtual ~Clock() = default;
    [[nodiscard]] virtual std::chrono::system_clock::time_point now() const = 0;
    [[nodiscard]] virtual std::chrono::steady_clock::time_point uptime() const = 0;
};

class SystemClock final : public Clock {
  public:
    [[nodiscard]] std::chrono::system_clock::time_point now() const override {
        return std::chrono::system_clock::now();
    }
    [[nodiscard]] std::chrono::steady_clock::time_point uptime() const override {
        return std::chrono::steady_clock::now();
    }
};

}  // namespace sonvel
