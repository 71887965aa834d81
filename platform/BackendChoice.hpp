#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "platform/sim/SimulatedWorld.hpp"

namespace sonvel {

namespace pw {
class PipeWireAudioSystem;
}

// Which audio system a program runs on, shared by every program that offers
// `--backend` so that `auto` means the same thing in each of them.
namespace BackendChoice {

enum class Name { automatic, pipewire, simulated };

// "auto", "pipewire" or "simulated"; none for anything else.
std::optional<Name> parse(std::string_view name);

struct Simulated {
    std::shared_ptr<sim::SimulatedAudioSystem> audio;
    std::shared_ptr<const sim::SimulatedWorld> world;
};

// The world file loaded into a simulated audio system that keeps time with a
// real clock.
std::expected<Simulated, std::string> loadWorld(const std::string& path);

// The desktop's PipeWire server, but only one whose session manager names a
// default output: without one a tapped application could not be muted, and
// would be heard twice.
std::expected<std::shared_ptr<pw::PipeWireAudioSystem>, std::string> connectPipeWire();

struct Chosen {
    std::shared_ptr<pw::PipeWireAudioSystem> pipewire;  // set when PipeWire was taken
    std::optional<Simulated> simulated;                 // set otherwise
    // Why `auto` did not take PipeWire, if it tried.
    std::optional<std::string> fallback;

    [[nodiscard]] std::shared_ptr<AudioHardware> hal() const;
};

// `auto` takes PipeWire unless a simulated world is wanted (a world file or
// its own windows) or no suitable server answers, and the world otherwise.
std::expected<Chosen, std::string> choose(Name name, bool worldWanted,
                                          const std::string& worldPath);

}  // namespace BackendChoice

}  // namespace sonvel
