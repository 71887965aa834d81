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

// Counts the calls of a listener it adds, run on `queue`.
inline std::shared_ptr<std::atomic<int>> countCalls(AudioHardware& hal, AudioObjectID object,
                                                    AudioObjectPropertySelector selector,
                                                    std::shared_ptr<DispatchQueue> queue) {
    auto n = std::make_shared<std::atomic<int>>(0);
    EXPECT_EQ(
        hal.addPropertyListenerBlock(object, {selector}, std::move(queue), listener([n] { ++*n; })),
        0);
    return n;
}

struct Rig {
    AudioHardware& hal;
    AudioObjectID tap = 0, aggregate = 0;
    AudioDeviceIOProcID proc = 0;

    Rig(AudioHardware& h, const TapDescription& description, const std::string& output,
        AudioDeviceIOBlock block)
        : hal(h) {
        const nlohmann::json taps = {{{"uid", description.uuid}}};
        EXPECT_EQ(hal.createProcessTap(description, tap), 0);
        EXPECT_EQ(hal.createAggregateDevice(
                      {{"uid", description.uuid}, {"master", output}, {"taps", taps}}, aggregate),
                  0);
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
