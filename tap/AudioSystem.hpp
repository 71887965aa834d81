#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/DeviceFacts.hpp"
#include "tap/AudioHardware.hpp"
#include "tap/CoreAudioError.hpp"

namespace sonvel {

struct OutputDeviceInfo {
    AudioObjectID objectID = 0;
    std::optional<std::string> uid;
    std::optional<std::string> name;
    double nominalSampleRate = 0;  // 0 when unreadable

    bool operator==(const OutputDeviceInfo&) const = default;
};

struct AudioProcessSnapshot {
    AudioObjectID objectID = 0;
    ProcessID pid = -1;
    std::optional<std::string> bundleID;
    std::optional<std::string> name;
    bool isRunningOutput = false;
    bool isRunningInput = false;

    bool operator==(const AudioProcessSnapshot&) const = default;
};

// Whole-system queries over the audio hardware layer. Those that name a
// default swallow a failed read and return it.
namespace AudioSystem {

// The localised name of the running application with a pid, if any.
using ApplicationName = std::function<std::optional<std::string>(ProcessID)>;

std::expected<std::vector<AudioProcessSnapshot>, CoreAudioError> processSnapshots(
    AudioHardware& hal, const ApplicationName& applicationName = {});
AudioProcessSnapshot snapshot(AudioHardware& hal, AudioObjectID process,
                              const ApplicationName& applicationName = {});
std::expected<std::optional<AudioObjectID>, CoreAudioError> processObject(AudioHardware& hal,
                                                                          ProcessID pid);
bool isRunningOutput(AudioHardware& hal, AudioObjectID process);
std::vector<AudioObjectID> outputDevices(AudioHardware& hal, AudioObjectID process);
std::optional<ProcessID> hogModeOwner(AudioHardware& hal, AudioObjectID device);
// None when the layout cannot be read.
std::optional<long> outputChannelCount(AudioHardware& hal, AudioObjectID device);
std::optional<long> inputChannelCount(AudioHardware& hal, AudioObjectID device);
std::vector<DeviceFacts> deviceFacts(AudioHardware& hal);
// The same, noting in `whole` whether the list and every device's UID could be read.
std::vector<DeviceFacts> deviceFacts(AudioHardware& hal, bool* whole);
// The live device (physical or aggregate) with this UID, if the server knows one.
std::optional<AudioObjectID> deviceID(AudioHardware& hal, const std::string& uid);
// The live process tap with this UID, if the server knows one.
std::optional<AudioObjectID> tapID(AudioHardware& hal, const std::string& uid);
std::optional<OutputDeviceInfo> device(AudioHardware& hal, const std::string& uid);
std::expected<OutputDeviceInfo, CoreAudioError> defaultOutputDevice(AudioHardware& hal);

}  // namespace AudioSystem

}  // namespace sonvel
