#include "core/EngineHandover.hpp"

#include <algorithm>
#include <chrono>
#include <thread>

namespace sonvel {

std::string HandoverError::description() const {
    return visit(Overloaded{
        [](const CouldNotBuild& e) {
            return "The replacement engine could not be built: " + e.text;
        },
        [](const CouldNotStart& e) { return "The replacement engine could not start: " + e.text; },
        [](const NewEngineNeverRan&) {
            return std::string("The replacement engine never started rendering.");
        },
    });
}

namespace EngineHandover {

namespace {

// A poll interval of zero would spin forever on an engine that never starts.
constexpr double minimumPollInterval = 0.0005;

// A time that is not a number, or negative, is no time at all: compared with
// an elapsed time, NaN would never count as reached and the wait would never end.
double orZero(double seconds) {
    return seconds > 0.0 ? seconds : 0.0;
}

}  // namespace

void sleepFor(double seconds) {
    if (orZero(seconds) == 0.0) return;
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

std::expected<Engine, HandoverError> replace(HandoverEngine& old, float targetGain,
                                             const Build& build, const Timing& timing,
                                             const Sleep& sleep) {
    std::expected<Engine, std::string> built = build();
    if (!built) return std::unexpected(HandoverError::CouldNotBuild{built.error()});
    const Engine fresh = std::move(*built);

    const double interval = std::max(orZero(timing.pollInterval), minimumPollInterval);
    const double startTimeout = orZero(timing.startTimeout);
    const double fadeTimeout = orZero(timing.fadeTimeout);

    fresh->control().set(0.0f);
    const std::shared_ptr<EngineTakeover> takeover = fresh->takeOver(old, targetGain);
    if (auto started = fresh->startIO(); !started) {
        fresh->stopIO();
        return std::unexpected(HandoverError::CouldNotStart{started.error()});
    }

    // Elapsed time is counted in whole polls, so that repeated additions of
    // the interval cannot drift past a time-out by one extra sleep.
    std::uint64_t polls = 0;
    for (; fresh->meter().totalCallbacks() == 0; ++polls) {
        if (static_cast<double>(polls) * interval >= startTimeout) {
            fresh->stopIO();
            return std::unexpected(HandoverError::NewEngineNeverRan{});
        }
        sleep(interval);
    }
    // Rendering means the application's frames arrive, not just callbacks:
    // a server may take a while to move the application in.
    const double soundBy = static_cast<double>(polls) * interval + orZero(timing.soundTimeout);
    for (; !(takeover && takeover->done()) && fresh->meter().totalInputNonZeroSamples() == 0;
         ++polls) {
        if (static_cast<double>(polls) * interval >= soundBy) break;
        sleep(interval);
    }

    const std::uint64_t oldBase = old.meter().totalCallbacks();
    const std::uint64_t newBase = fresh->meter().totalCallbacks();
    if (takeover) {
        takeover->complete(fresh->control());
    } else {
        fresh->control().set(targetGain);
        old.control().set(0.0f);
    }

    const auto faded = [&] {
        return old.meter().totalCallbacks() >= oldBase + timing.cyclesAfterCrossfade &&
               fresh->meter().totalCallbacks() >= newBase + timing.cyclesAfterCrossfade;
    };
    if (!faded() && fadeTimeout > 0.0) {
        for (std::uint64_t fadePolls = 1;; ++fadePolls) {
            sleep(interval);
            if (faded()) break;
            if (static_cast<double>(fadePolls) * interval >= fadeTimeout) break;
        }
    }

    old.stopIO();
    return fresh;
}

}  // namespace EngineHandover

}  // namespace sonvel
