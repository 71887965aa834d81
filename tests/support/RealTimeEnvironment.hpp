#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "FakeDesktop.hpp"
#include "Sonvel/Clock.hpp"
#include "Sonvel/MixerModel.hpp"

namespace sonvel::testsupport {

// The model on real threads and the real clock over an audio system, with the
// desktop around it kept in memory; every other queue is a serial queue of
// the model's own.
inline MixerModel::Environment realTimeEnvironment(std::shared_ptr<AudioHardware> hal,
                                                   std::shared_ptr<const SystemServices> system,
                                                   std::shared_ptr<DispatchQueue> mainQueue,
                                                   std::shared_ptr<PreferencesStore> store) {
    MixerModel::Environment env;
    env.hal = std::move(hal);
    env.system = std::move(system);
    env.mainQueue = std::move(mainQueue);
    env.clock = std::make_shared<SystemClock>();
    env.store = std::move(store);
    env.workspace = std::make_shared<FakeWorkspace>();
    env.loginItem = std::make_shared<FakeLoginItem>();
    return env;
}

// Polls `done` on the model's queue until it holds, for at most `limit`: real
// time has nothing to step.
template <class Done>
bool within(DispatchQueue& main, std::chrono::milliseconds limit, Done done,
            std::chrono::milliseconds poll = std::chrono::milliseconds(2)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        bool ok = false;
        main.sync([&] { ok = done(); });
        if (ok) return true;
        std::this_thread::sleep_for(poll);
    }
    return false;
}

}  // namespace sonvel::testsupport
