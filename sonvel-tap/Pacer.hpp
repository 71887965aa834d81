#pragma once

#include <csignal>

namespace sonvel {

// How a command lets time pass. Between two waits it holds taps and
// aggregates, so a wait is also where a run learns that it must stop.
class Pacer {
  public:
    virtual ~Pacer() = default;
    // Lets `seconds` pass; false when the run was asked to end meanwhile.
    virtual bool wait(double seconds) = 0;
};

// The wall clock, cut short by SIGINT or SIGTERM. The handlers only write the
// signal's number into a pipe: releasing a tap takes seam calls and locks,
// which belong in the command's own loop, never in a handler.
class SignalPacer final : public Pacer {
  public:
    SignalPacer();
    ~SignalPacer() override;
    SignalPacer(const SignalPacer&) = delete;
    SignalPacer& operator=(const SignalPacer&) = delete;

    bool wait(double seconds) override;
    // The signal that ended the run, 0 while none came.
    [[nodiscard]] int signalNumber() const { return signal_; }

  private:
    int signal_ = 0;
    struct sigaction previousInt_ {};
    struct sigaction previousTerm_ {};
};

}  // namespace sonvel
