#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "sonvel-tap/TapArguments.hpp"
#include "tap/AudioSystem.hpp"

namespace sonvel {

// What the tap layer reports about processes and output devices, as tables
// for a terminal or JSON for scripts.
class ProcessTable {
  public:
    struct Process {
        AudioObjectID objectID = 0;
        ProcessID pid = -1;
        std::optional<std::string> bundleID;
        bool playsOutput = false;
        bool records = false;
        std::vector<std::string> outputDeviceUIDs;
    };
    struct Device {
        AudioObjectID objectID = 0;
        std::string uid;
        std::string name;
        std::vector<long> outputBuffers;  // channels per buffer
        std::vector<long> inputBuffers;
        double sampleRate = 0;
        std::uint32_t bufferFrames = 0;
        bool alive = false;
        bool hidden = false;
        bool isDefault = false;
    };

    static std::expected<std::vector<Process>, CommandFailure> processes(AudioHardware& hal,
                                                                         bool activeOnly);
    static std::vector<Device> devices(AudioHardware& hal);

    static void printProcesses(const std::vector<Process>& processes, bool json, std::ostream& out);
    static void printDevices(const std::vector<Device>& devices, bool json, std::ostream& out);

    // The process with this pid, which must play output: what meter and
    // rerender tap.
    static std::expected<AudioProcessSnapshot, CommandFailure> playingProcess(AudioHardware& hal,
                                                                              ProcessID pid);
};

}  // namespace sonvel
