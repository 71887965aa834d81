#include "platform/BackendChoice.hpp"

#ifdef SONVEL_HAVE_PIPEWIRE
#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "tap/AudioSystem.hpp"
#endif

namespace sonvel::BackendChoice {

std::optional<Name> parse(std::string_view name) {
    if (name == "auto") return Name::automatic;
    if (name == "pipewire") return Name::pipewire;
    if (name == "simulated") return Name::simulated;
    return std::nullopt;
}

std::expected<Simulated, std::string> loadWorld(const std::string& path) {
    const auto description = sim::SimulatedWorld::readFile(path);
    if (!description) return std::unexpected(description.error());
    auto audio =
        std::make_shared<sim::SimulatedAudioSystem>(sim::SimulatedAudioSystem::ClockMode::realTime);
    auto loaded = sim::SimulatedWorld::load(*audio, *description);
    if (!loaded) return std::unexpected(loaded.error());
    return Simulated{audio, std::make_shared<const sim::SimulatedWorld>(std::move(*loaded))};
}

std::expected<std::shared_ptr<pw::PipeWireAudioSystem>, std::string> connectPipeWire() {
#ifdef SONVEL_HAVE_PIPEWIRE
    auto audio = pw::PipeWireAudioSystem::connect();
    if (!audio) return std::unexpected(audio.error());
    const auto output = AudioSystem::defaultOutputDevice(**audio);
    if (!output || output->objectID == hal::unknownObject) {
        return std::unexpected(
            "The PipeWire server has no session manager naming a default output (is WirePlumber "
            "running?).");
    }
    return *audio;
#else
    return std::unexpected("This Sonvel was built without PipeWire.");
#endif
}

std::shared_ptr<AudioHardware> Chosen::hal() const {
#ifdef SONVEL_HAVE_PIPEWIRE
    if (pipewire) return pipewire;
#endif
    return simulated ? simulated->audio : nullptr;
}

std::expected<Chosen, std::string> choose(Name name, bool worldWanted,
                                          const std::string& worldPath) {
    Chosen chosen;
    if (name == Name::pipewire || (name == Name::automatic && !worldWanted)) {
        auto pipewire = connectPipeWire();
        if (pipewire) {
            chosen.pipewire = std::move(*pipewire);
            return chosen;
        }
        if (name == Name::pipewire) return std::unexpected(pipewire.error());
        chosen.fallback = pipewire.error();
    }
    auto simulated = loadWorld(worldPath);
    if (!simulated) return std::unexpected(simulated.error());
    chosen.simulated = std::move(*simulated);
    return chosen;
}

}  // namespace sonvel::BackendChoice
