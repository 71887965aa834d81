#pragma once

// The simulator's private state, shared by the files that implement it: what
// each object is, and the helpers several of them need. Nothing outside
// platform/sim includes this.

#include <atomic>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "tap/PropertyBytes.hpp"

namespace sonvel::sim {

namespace sel = hal::selector;

struct SimulatedAudioSystem::Device {
    DeviceSpec spec;
    bool alive = true;
    std::vector<float> speaker;

    [[nodiscard]] std::size_t outputChannels() const {
        std::size_t n = 0;
        for (std::uint32_t c : spec.outputStreams) n += c;
        return n;
    }
};

struct SimulatedAudioSystem::Process {
    ProcessSpec spec;
    // What its noise is seeded with: its first object ID, kept across a
    // renumbering restart so that it goes on playing the same samples.
    std::uint64_t seed = 0;
    bool captureAllowed = true;
};

struct SimulatedAudioSystem::Tap {
    TapDescription description;
    AudioStreamBasicDescription format;
};

struct SimulatedAudioSystem::IOProc {
    AudioDeviceIOBlock block;
    bool started = false;
    std::vector<std::uint32_t> streamIsOn;  // per input stream; empty: all on
};

struct SimulatedAudioSystem::Aggregate {
    std::string uid;
    std::string name;
    AudioObjectID mainDevice = hal::unknownObject;  // none: the aggregate clocks itself
    std::vector<AudioObjectID> taps;
    std::map<AudioDeviceIOProcID, IOProc> procs;
};

// A registered listener. Its state is shared with every dispatched call, so
// that removal can wait for a running call and stop queued ones.
// One device's IO clock. `io` is held for a whole cycle, so stopping IO can
// wait for a cycle in flight.
struct SimulatedAudioSystem::Clock {
    AudioObjectID device;
    std::mutex io;
    std::atomic<std::uint64_t> cycles{0};
    std::int64_t sampleTime = 0;
    std::jthread thread;
};

struct SimulatedAudioSystem::LiveFault {
    FaultID id;
    Fault fault;
    int seen = 0;  // matching calls so far
};

struct SimulatedAudioSystem::LiveCycleFault {
    FaultID id;
    CycleFault fault;
    int seen = 0;  // matching cycles so far
};

inline constexpr std::uint32_t tapChannels = 2;
inline constexpr double speakerSeconds = 60;

}  // namespace sonvel::sim
