#include "platform/sim/SimulatedAudioSystem.hpp"

#include <chrono>
#include <condition_variable>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

OSStatus SimulatedAudioSystem::createIOProcIDWithBlock(AudioObjectID device,
                                                       std::shared_ptr<DispatchQueue> queue,
                                                       AudioDeviceIOBlock block,
                                                       AudioDeviceIOProcID& outProcID) {
    const Verdict verdict = admit({.call = Call::createIOProcID, .object = device});
    if (verdict.refusal) return *verdict.refusal;
    if (verdict.zeroObject) {
        outProcID = 0;
        return hal::noError;
    }
    // Only the IO thread runs blocks here; no caller asks for a queue.
    if (queue) return hal::unsupportedOperationError;
    if (!block) return hal::paramError;
    const std::lock_guard lock(mutex_);
    const auto a = aggregates_.find(device);
    if (a == aggregates_.end()) {
        return devices_.contains(device) ? hal::unsupportedOperationError : hal::badObjectError;
    }
    outProcID = nextProc_++;
    a->second.procs.emplace(outProcID, IOProc{std::move(block), false, {}});
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    const Verdict verdict = admit({.call = Call::destroyIOProcID, .object = device, .proc = proc});
    if (verdict.refusal) return *verdict.refusal;
    {
        const std::lock_guard lock(mutex_);
        const auto a = aggregates_.find(device);
        if (a == aggregates_.end()) return hal::badObjectError;
        if (a->second.procs.erase(proc) == 0) return hal::illegalOperationError;
    }
    waitForCycle(device);
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    return setStarted(device, proc, true);
}

OSStatus SimulatedAudioSystem::deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) {
    return setStarted(device, proc, false);
}

OSStatus SimulatedAudioSystem::setStarted(AudioObjectID device, AudioDeviceIOProcID proc,
                                          bool start) {
    const Verdict verdict = admit(
        {.call = start ? Call::deviceStart : Call::deviceStop, .object = device, .proc = proc});
    if (verdict.refusal) return *verdict.refusal;
    {
        const std::lock_guard lock(mutex_);
        const auto a = aggregates_.find(device);
        if (a == aggregates_.end()) return hal::badObjectError;
        const auto p = a->second.procs.find(proc);
        if (p == a->second.procs.end()) return hal::illegalOperationError;
        const AudioObjectID clockDevice = a->second.mainDevice;
        if (start && clockDevice != hal::unknownObject && !devices_.at(clockDevice).alive) {
            return hal::badDeviceError;
        }
        p->second.started = start;
    }
    if (!start) waitForCycle(device);
    return verdict.afterEffect;
}

void SimulatedAudioSystem::startClock(AudioObjectID device) {
    auto clock = std::make_shared<Clock>();
    clock->device = device;
    {
        const std::lock_guard lock(mutex_);
        clocks_[device] = clock;
    }
    if (mode_ != ClockMode::realTime) return;
    clock->thread = std::jthread([this, clock = clock.get()](std::stop_token stop) {
        std::mutex m;
        std::condition_variable_any wake;
        auto next = std::chrono::steady_clock::now();
        while (!stop.stop_requested()) {
            // Paced by the cycle just run, so a new rate takes effect at once.
            next += std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(runCycle(*clock)));
            std::unique_lock lock(m);
            wake.wait_until(lock, stop, next, [] { return false; });
        }
    });
}

std::shared_ptr<SimulatedAudioSystem::Clock> SimulatedAudioSystem::takeClock(AudioObjectID device) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        const auto found = clocks_.find(device);
        if (found == clocks_.end()) return nullptr;
        clock = found->second;
        clocks_.erase(found);
    }
    retireClock(*clock);
    return clock;
}

// Called without the lock, once the clock is no longer listed.
void SimulatedAudioSystem::retireClock(Clock& clock) {
    clock.thread.request_stop();
    if (clock.thread.joinable()) clock.thread.join();
    // A stepped cycle in flight on another thread finishes first.
    const std::lock_guard io(clock.io);
}

// All are told before any is joined: a clock still running contends for the
// system's lock with the one being joined, and with hundreds of devices one
// at a time took most of a minute.
void SimulatedAudioSystem::retireClocks(const std::vector<std::shared_ptr<Clock>>& clocks) {
    for (const auto& clock : clocks) clock->thread.request_stop();
    for (const auto& clock : clocks) retireClock(*clock);
}

// The device clocking an aggregate: its main device, or itself.
void SimulatedAudioSystem::waitForCycle(AudioObjectID device) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        AudioObjectID clocked = device;
        if (const auto a = aggregates_.find(device);
            a != aggregates_.end() && a->second.mainDevice != hal::unknownObject) {
            clocked = a->second.mainDevice;
        }
        if (const auto found = clocks_.find(clocked); found != clocks_.end()) clock = found->second;
    }
    if (clock) const std::lock_guard io(clock->io);
}

void SimulatedAudioSystem::step(int cycles) {
    for (int i = 0; i < cycles; ++i) {
        std::vector<std::shared_ptr<Clock>> clocks;
        {
            const std::lock_guard lock(mutex_);
            for (const auto& [id, clock] : clocks_) clocks.push_back(clock);
        }
        for (const auto& clock : clocks) runCycle(*clock);
    }
}

std::uint64_t SimulatedAudioSystem::cycles(AudioObjectID device) const {
    const std::lock_guard lock(mutex_);
    const auto found = clocks_.find(device);
    return found == clocks_.end() ? 0 : found->second->cycles.load();
}

}  // namespace sonvel::sim
