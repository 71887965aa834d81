#pragma once

#include <string>

#include "core/EngineSpec.hpp"
#include "core/OneOf.hpp"

namespace sonvel {

namespace engine_action {
struct Create {
    EngineSpec spec;
    bool operator==(const Create&) const = default;
};
struct Rebuild {
    EngineSpec spec;
    bool operator==(const Rebuild&) const = default;
};
struct UpdateGain {
    std::string key;
    float gain = 1.0f;
    bool operator==(const UpdateGain&) const = default;
};
struct Destroy {
    std::string key;
    bool operator==(const Destroy&) const = default;
};
struct Handover {
    EngineSpec spec;
    bool operator==(const Handover&) const = default;
};
}  // namespace engine_action

// One step for the engine host.
struct EngineAction
    : OneOf<engine_action::Create, engine_action::Rebuild, engine_action::UpdateGain,
            engine_action::Destroy, engine_action::Handover> {
    using Create = engine_action::Create;
    using Rebuild = engine_action::Rebuild;
    using UpdateGain = engine_action::UpdateGain;
    using Destroy = engine_action::Destroy;
    using Handover = engine_action::Handover;
    using OneOf::OneOf;

    bool operator==(const EngineAction&) const = default;
};

}  // namespace sonvel
