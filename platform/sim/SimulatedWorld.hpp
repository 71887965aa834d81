#pragma once

#include <expected>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "platform/sim/SimulatedAudioSystem.hpp"

namespace sonvel::sim {

// The parts of a simulated machine outside the audio layer that the process
// inspector asks about: running applications, bundles on disk, executables.
struct RunningApplication {
    enum class ActivationPolicy { regular, accessory, prohibited };

    ProcessID pid = 0;
    std::optional<std::string> bundlePath;
    std::optional<std::string> localizedName;
    ActivationPolicy activationPolicy = ActivationPolicy::regular;

    bool operator==(const RunningApplication&) const = default;
};

struct Bundle {
    std::optional<std::string> bundleID;
    std::string name;

    bool operator==(const Bundle&) const = default;
};

// One world description populates the audio system and everything else:
//
//   { "ownPID": 4242, "osBuild": "24A335", "capturePermission": true,
//     "defaultOutput": "<uid>",
//     "devices": [{ "uid", "name", "output": [2], "input": [1], "sampleRate",
//                   "bufferFrames", "latency": {"output", "input"},
//                   "safetyOffset": {"output", "input"}, "hidden", "hogModeOwner" }],
//     "bundles": [{ "path", "bundleID", "name", "icon" }],
//     "applications": [{ "pid", "bundlePath", "name", "activationPolicy" }],
//     "processes": [{ "pid", "bundleID", "executable", "playing", "runningInput",
//                     "signal": { "kind": "sine" | "noise" | "silence",
//                                 "frequency", "level" },
//                     "outputDevices": ["<uid>"] }] }
//
// Every key but a device's "uid", a bundle's "path" and a pid is optional; each
// is checked for its type and range before the audio system sees any. A bundle's
// "icon" is a freedesktop icon-theme name: the application's own icon, as the
// workspace would hand it out for the bundle.
class SimulatedWorld {
  public:
    static std::expected<SimulatedWorld, std::string> load(SimulatedAudioSystem& audio,
                                                           const nlohmann::json& description);
    static std::expected<nlohmann::json, std::string> readFile(const std::string& path);
    // The world shipped with the simulator, which shows every interesting case.
    static std::string defaultWorldPath();

    [[nodiscard]] ProcessID ownPID() const { return ownPID_; }
    // What the world reports as its operating-system build, if anything.
    [[nodiscard]] const std::optional<std::string>& osBuild() const { return osBuild_; }
    // Whether the audio system starts with the capture permission granted.
    [[nodiscard]] bool capturePermission() const { return capturePermission_; }
    [[nodiscard]] std::vector<RunningApplication> runningApplications() const;
    [[nodiscard]] std::optional<RunningApplication> runningApplication(ProcessID pid) const;
    [[nodiscard]] std::optional<Bundle> bundle(const std::string& path) const;
    [[nodiscard]] std::optional<std::string> executablePath(ProcessID pid) const;
    [[nodiscard]] std::optional<std::string> iconName(const std::string& bundlePath) const;
    // As described, so that a device can be plugged in again and a process's
    // signal told apart from the others on a speaker.
    [[nodiscard]] const std::vector<SimulatedAudioSystem::DeviceSpec>& devices() const {
        return devices_;
    }
    [[nodiscard]] const std::vector<SimulatedAudioSystem::ProcessSpec>& processes() const {
        return processes_;
    }

  private:
    ProcessID ownPID_ = 0;
    std::optional<std::string> osBuild_;
    bool capturePermission_ = true;
    std::map<ProcessID, RunningApplication> applications_;
    std::map<std::string, Bundle> bundles_;
    std::map<ProcessID, std::string> executables_;
    std::map<std::string, std::string> icons_;
    std::vector<SimulatedAudioSystem::DeviceSpec> devices_;
    std::vector<SimulatedAudioSystem::ProcessSpec> processes_;
};

}  // namespace sonvel::sim
