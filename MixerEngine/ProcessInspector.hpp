#pragma once

#include <optional>
#include <string>
#include <vector>

#include "MixerEngine/SystemServices.hpp"
#include "core/OutputContext.hpp"
#include "core/ProcessRecord.hpp"
#include "tap/AudioHardware.hpp"

namespace sonvel {

// One snapshot of the audio world.
struct AudioWorld {
    std::vector<ProcessRecord> records;  // every process but this application's
    std::optional<OutputContext> output;
    std::vector<OutputContext> outputs;
    std::optional<AudioObjectID> ownProcessObjectID;
    bool otherProcessesRunningOutput = false;
    // What could not be read ("the process list", "the default output", "the
    // device list"); a snapshot with gaps is not to be trusted over the last one.
    std::vector<std::string> unreadable;

    [[nodiscard]] bool isWhole() const { return unreadable.empty(); }
    bool operator==(const AudioWorld&) const = default;
};

// Where the policy meets the live system: which processes there are, who owns
// each, where each plays, and which outputs there are. Never fails; whatever
// cannot be read comes back empty or absent.
namespace ProcessInspector {

AudioWorld snapshot(AudioHardware& hal, const SystemServices& system);
std::optional<std::string> executablePath(const SystemServices& system, ProcessID pid);
std::optional<OutputContext> outputContext(AudioHardware& hal, ProcessID ownPID);

}  // namespace ProcessInspector

namespace SystemInfo {

// The operating-system build the live test is valid for; "unknown" when it
// cannot be read.
std::string osBuild(const SystemServices& system);

}  // namespace SystemInfo

}  // namespace sonvel
