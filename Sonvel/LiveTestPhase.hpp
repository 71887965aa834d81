#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "core/LiveTest.hpp"
#include "core/OneOf.hpp"

namespace sonvel {

namespace live_test_phase {
struct Starting {
    std::string name;
    bool operator==(const Starting&) const = default;
};
struct Running {
    std::string key;
    std::string name;
    long step = 0;
    std::chrono::steady_clock::time_point startedAt;
    bool operator==(const Running&) const = default;
};
struct Finishing {
    std::string name;
    bool operator==(const Finishing&) const = default;
};
struct AwaitingAnswer {
    std::string name;
    std::vector<LiveTest::StepMeasurement> measurements;
    std::optional<std::string> automaticFailure;
    bool operator==(const AwaitingAnswer&) const = default;
};
struct Idle {
    bool operator==(const Idle&) const = default;
};
}  // namespace live_test_phase

struct LiveTestPhase
    : OneOf<live_test_phase::Starting, live_test_phase::Running, live_test_phase::Finishing,
            live_test_phase::AwaitingAnswer, live_test_phase::Idle> {
    using Starting = live_test_phase::Starting;
    using Running = live_test_phase::Running;
    using Finishing = live_test_phase::Finishing;
    using AwaitingAnswer = live_test_phase::AwaitingAnswer;
    using Idle = live_test_phase::Idle;
    using OneOf::OneOf;

    bool operator==(const LiveTestPhase&) const = default;
};

}  // namespace sonvel
