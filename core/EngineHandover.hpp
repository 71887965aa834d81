#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <string>

#include "core/EngineMeter.hpp"
#include "core/EngineTakeover.hpp"
#include "core/GainControl.hpp"
#include "core/OneOf.hpp"

namespace sonvel {

// What the hand-over needs of an engine.
class HandoverEngine {
  public:
    virtual ~HandoverEngine() = default;
    [[nodiscard]] virtual GainControl& control() = 0;
    // Its total callback count shows whether the engine is rendering.
    [[nodiscard]] virtual const EngineMeter& meter() const = 0;
    // Before startIO: lets this engine take the application over from `old`
    // on its IO thread. None where the engine cannot; the hand-over then
    // swaps the gains itself.
    virtual std::shared_ptr<EngineTakeover> takeOver(HandoverEngine& /*old*/, float /*gain*/) {
        return nullptr;
    }
    virtual std::expected<void, std::string> startIO() = 0;
    // Stops rendering and releases the engine's resources.
    virtual void stopIO() = 0;
};

namespace handover_error {
struct CouldNotBuild {
    std::string text;
    bool operator==(const CouldNotBuild&) const = default;
};
struct CouldNotStart {
    std::string text;
    bool operator==(const CouldNotStart&) const = default;
};
struct NewEngineNeverRan {
    bool operator==(const NewEngineNeverRan&) const = default;
};
}  // namespace handover_error

struct HandoverError : OneOf<handover_error::CouldNotBuild, handover_error::CouldNotStart,
                             handover_error::NewEngineNeverRan> {
    using CouldNotBuild = handover_error::CouldNotBuild;
    using CouldNotStart = handover_error::CouldNotStart;
    using NewEngineNeverRan = handover_error::NewEngineNeverRan;
    using OneOf::OneOf;

    [[nodiscard]] std::string description() const;

    bool operator==(const HandoverError&) const = default;
};

// Replaces a running engine by a fresh one without a gap: the new engine
// starts silent, and once the application's own sound reaches it both
// crossfade over one IO cycle and run a few more cycles before the old one
// stops. Where the server moves the application into the new engine rather
// than copying it, the new engine's IO thread makes the swap in the cycle
// of the move. An application that stays quiet is swapped after
// `soundTimeout`: there is nothing to hear either way. On any failure the old engine
// is left exactly as it was and the new one, if built, is stopped.
namespace EngineHandover {

// Seconds. A time-out that is NaN or negative means no wait; a poll interval
// that is NaN, negative or zero is raised to a floor of 0.5 ms.
struct Timing {
    double pollInterval = 0.005;
    double startTimeout = 0.75;
    double fadeTimeout = 0.25;
    double soundTimeout = 0.3;
    std::uint64_t cyclesAfterCrossfade = 2;
};

using Engine = std::shared_ptr<HandoverEngine>;
using Build = std::function<std::expected<Engine, std::string>()>;
using Sleep = std::function<void(double seconds)>;

// Blocks the calling thread for that long.
void sleepFor(double seconds);

std::expected<Engine, HandoverError> replace(HandoverEngine& old, float targetGain,
                                             const Build& build, const Timing& timing = {},
                                             const Sleep& sleep = sleepFor);

}  // namespace EngineHandover

}  // namespace sonvel
