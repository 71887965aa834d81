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

// An interval as the seconds the model's policies count in.
inline double toSeconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

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
