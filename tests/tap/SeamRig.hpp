#pragma once

// What an engine builds, through the seam only, for tests of the seam's
// backends: a tap, an aggregate on an output device holding it, and an IO
// procedure on the aggregate.

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "tap/AudioHardware.hpp"

namespace sonvel::testsupport {

inline ListenerBlock listener(std::function<void()> call) {
    return std::make_shared<const AudioObjectPropertyListenerBlock>(
        [call = std::move(call)](auto) { call(); });
}

// Counts the calls of a listener it adds for `s` on `object`, run on `on`.
inline std::shared_ptr<std::atomic<int>> countCalls(AudioHardware& hal, AudioObjectID object,
                                                    AudioObjectPropertySelector s,
                                                    std::shared_ptr<DispatchQueue> on) {
    auto n = std::make_shared<std::atomic<int>>(0);
    EXPECT_EQ(hal.addPropertyListenerBlock(object, {s}, std::move(on), listener([n] { ++*n; })), 0);
    return n;
}

struct Rig {
    AudioHardware& hal;
    AudioObjectID tap = 0, aggregate = 0;
    AudioDeviceIOProcID proc = 0;

    // The aggregate takes the tap's UUID for its own.
    Rig(AudioHardware& h, const TapDescription& d, const std::string& output,
        AudioDeviceIOBlock block)
        : hal(h) {
        const nlohmann::json agg = {
            {"uid", d.uuid}, {"master", output}, {"taps", {{{"uid", d.uuid}}}}};
        EXPECT_EQ(hal.createProcessTap(d, tap), 0);
        EXPECT_EQ(hal.createAggregateDevice(agg, aggregate), 0);
        EXPECT_EQ(hal.createIOProcIDWithBlock(aggregate, nullptr, std::move(block), proc), 0);
    }
    void start() { EXPECT_EQ(hal.deviceStart(aggregate, proc), 0); }
    void tearDown() {
        for (const OSStatus s :
             {hal.deviceStop(aggregate, proc), hal.destroyIOProcID(aggregate, proc),
              hal.destroyAggregateDevice(aggregate), hal.destroyProcessTap(tap)})
            EXPECT_EQ(s, 0);
    }
};

}  // namespace sonvel::testsupport
