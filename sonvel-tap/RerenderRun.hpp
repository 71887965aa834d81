#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sonvel-tap/Pacer.hpp"
#include "sonvel-tap/TapArguments.hpp"
#include "tap/AudioHardware.hpp"

namespace sonvel {

// The scripted re-render: one gain tap engine built as the engine host builds
// it (a tap that mutes the process while it lives, an aggregate with the
// output, an IO procedure through the gain renderer), stepped through gains.
class RerenderRun {
  public:
    // What one gain measured on the engine's own meter, over the settled part
    // of its step.
    struct Step {
        float gain = 0;
        double inputDBFS = 0;
        double outputDBFS = 0;

        [[nodiscard]] double difference() const { return outputDBFS - inputDBFS; }
        // The gain in dB; none for a gain of 0, which must be silent.
        [[nodiscard]] std::optional<double> expectedDB() const;
    };

    // How long after a gain change the meter waits: the renderer ramps over
    // one IO cycle, and a real server takes a few more to pass the change on.
    static constexpr double settleSeconds = 0.1;

    static std::expected<RunEnd, CommandFailure> run(const std::shared_ptr<AudioHardware>& hal,
                                                     const RerenderCommand& command, Pacer& pacer,
                                                     std::ostream& out);

    static std::string describe(const Step& step, std::size_t number);
};

}  // namespace sonvel
