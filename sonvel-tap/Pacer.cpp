#include "sonvel-tap/Pacer.hpp"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

namespace sonvel {

namespace {

int signalPipe[2] = {-1, -1};

void forward(int number) {
    const auto byte = static_cast<unsigned char>(number);
    const int saved = errno;
    (void)!::write(signalPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

SignalPacer::SignalPacer() {
    if (signalPipe[0] < 0 && ::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    struct sigaction action {};
    action.sa_handler = forward;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, &previousInt_);
    ::sigaction(SIGTERM, &action, &previousTerm_);
}

SignalPacer::~SignalPacer() {
    ::sigaction(SIGINT, &previousInt_, nullptr);
    ::sigaction(SIGTERM, &previousTerm_, nullptr);
}

bool SignalPacer::wait(double seconds) {
    using Clock = std::chrono::steady_clock;
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (signal_ == 0) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) return true;
        pollfd readable{signalPipe[0], POLLIN, 0};
        if (::poll(&readable, 1, static_cast<int>(left)) > 0) {
            unsigned char byte = 0;
            if (::read(signalPipe[0], &byte, 1) == 1) signal_ = byte;
        }
    }
    return false;
}

}  // namespace sonvel
