#include "sonvel-tap/ProcessTable.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>

#include "tap/AudioObject.hpp"

namespace sonvel {

namespace sel = hal::selector;

namespace {

std::string yesNo(bool value) {
    return value ? "yes" : "no";
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string text;
    for (const std::string& part : parts) {
        if (!text.empty()) text += separator;
        text += part;
    }
    return text;
}

std::string layout(const std::vector<long>& buffers) {
    std::vector<std::string> parts;
    for (const long channels : buffers) parts.push_back(std::to_string(channels));
    return parts.empty() ? "-" : joined(parts, "+");
}

// Columns of UTF-8 text (device names often are not ASCII): one per code point.
std::size_t columns(std::string_view text) {
    return static_cast<std::size_t>(std::ranges::count_if(
        text, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// Prints rows under a header, each column as wide as its widest cell.
void printTable(const std::vector<std::vector<std::string>>& rows, std::ostream& out) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()));
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], columns(row[c]));
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line.append(widths[c] - columns(row[c]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    }
}

}  // namespace

std::expected<std::vector<ProcessTable::Process>, CommandFailure> ProcessTable::processes(
    AudioHardware& hal, bool activeOnly) {
    const auto snapshots = AudioSystem::processSnapshots(hal);
    if (!snapshots) {
        return std::unexpected(CommandFailure{ExitCode::audioFailure,
                                              fmt::format("The process list could not be read: {}.",
                                                          snapshots.error().description())});
    }
    std::map<AudioObjectID, std::string> uids;
    for (const DeviceFacts& device : AudioSystem::deviceFacts(hal))
        uids[device.deviceID] = device.uid;
    std::vector<Process> rows;
    for (const AudioProcessSnapshot& s : *snapshots) {
        if (activeOnly && !s.isRunningOutput) continue;
        Process row{s.objectID, s.pid, s.bundleID, s.isRunningOutput, s.isRunningInput, {}};
        for (const AudioObjectID device : AudioSystem::outputDevices(hal, s.objectID)) {
            const auto uid = uids.find(device);
            row.outputDeviceUIDs.push_back(uid != uids.end() ? uid->second
                                                             : std::to_string(device));
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::vector<ProcessTable::Device> ProcessTable::devices(AudioHardware& hal) {
    const auto defaultOutput = AudioSystem::defaultOutputDevice(hal);
    std::vector<Device> rows;
    for (const DeviceFacts& facts : AudioSystem::deviceFacts(hal)) {
        if (facts.outputChannels < 1) continue;
        const AudioObjectID id = facts.deviceID;
        Device row;
        row.objectID = id;
        row.uid = facts.uid;
        row.name = facts.name;
        row.outputBuffers = AudioObject::readBufferChannelCounts(hal, id, sel::streamConfiguration,
                                                                 hal::outputScope)
                                .value_or(std::vector<long>{});
        row.inputBuffers =
            AudioObject::readBufferChannelCounts(hal, id, sel::streamConfiguration, hal::inputScope)
                .value_or(std::vector<long>{});
        row.sampleRate =
            AudioObject::readValue<double>(hal, id, sel::nominalSampleRate).value_or(0);
        row.bufferFrames =
            AudioObject::readValue<std::uint32_t>(hal, id, sel::bufferFrameSize).value_or(0);
        row.alive = AudioObject::readBool(hal, id, sel::isAlive).value_or(false);
        row.hidden = facts.isHidden;
        row.isDefault = defaultOutput && defaultOutput->objectID == id;
        rows.push_back(std::move(row));
    }
    return rows;
}

void ProcessTable::printProcesses(const std::vector<Process>& processes, bool json,
                                  std::ostream& out) {
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (const Process& p : processes) {
            array.push_back({{"objectID", p.objectID},
                             {"pid", p.pid},
                             {"bundleID", p.bundleID ? nlohmann::json(*p.bundleID) : nullptr},
                             {"playsOutput", p.playsOutput},
                             {"records", p.records},
                             {"outputDevices", p.outputDeviceUIDs}});
        }
        out << array.dump(2) << '\n';
        return;
    }
    std::vector<std::vector<std::string>> rows{
        {"OBJECT", "PID", "BUNDLE ID", "PLAYS", "RECORDS", "OUTPUT DEVICES"}};
    for (const Process& p : processes) {
        rows.push_back({std::to_string(p.objectID), std::to_string(p.pid), p.bundleID.value_or("-"),
                        yesNo(p.playsOutput), yesNo(p.records),
                        p.outputDeviceUIDs.empty() ? "-" : joined(p.outputDeviceUIDs, ", ")});
    }
    printTable(rows, out);
}

void ProcessTable::printDevices(const std::vector<Device>& devices, bool json, std::ostream& out) {
    if (json) {
        nlohmann::json array = nlohmann::json::array();
        for (const Device& d : devices) {
            array.push_back({{"objectID", d.objectID},
                             {"uid", d.uid},
                             {"name", d.name},
                             {"outputBuffers", d.outputBuffers},
                             {"inputBuffers", d.inputBuffers},
                             {"sampleRate", d.sampleRate},
                             {"bufferFrames", d.bufferFrames},
                             {"alive", d.alive},
                             {"hidden", d.hidden},
                             {"default", d.isDefault}});
        }
        out << array.dump(2) << '\n';
        return;
    }
    std::vector<std::vector<std::string>> rows{
        {"OBJECT", "UID", "NAME", "OUT", "IN", "RATE", "BUFFER", "ALIVE", "HIDDEN", "DEFAULT"}};
    for (const Device& d : devices) {
        rows.push_back({std::to_string(d.objectID), d.uid, d.name, layout(d.outputBuffers),
                        layout(d.inputBuffers), fmt::format("{:g}", d.sampleRate),
                        std::to_string(d.bufferFrames), yesNo(d.alive), yesNo(d.hidden),
                        d.isDefault ? "default" : ""});
    }
    printTable(rows, out);
}

std::expected<AudioProcessSnapshot, CommandFailure> ProcessTable::playingProcess(AudioHardware& hal,
                                                                                 ProcessID pid) {
    const auto object = AudioSystem::processObject(hal, pid);
    if (!object) {
        return std::unexpected(CommandFailure{
            ExitCode::audioFailure, fmt::format("Process {} could not be looked up: {}.", pid,
                                                object.error().description())});
    }
    if (!*object) {
        return std::unexpected(CommandFailure{
            ExitCode::notPlaying,
            fmt::format("No process with pid {} uses the audio system; 'sonvel-tap list --active' "
                        "shows those that play.",
                        pid)});
    }
    auto snapshot = AudioSystem::snapshot(hal, **object);
    if (!snapshot.isRunningOutput) {
        return std::unexpected(CommandFailure{
            ExitCode::notPlaying,
            fmt::format("Process {} does not play output now; 'sonvel-tap list --active' shows "
                        "those that do.",
                        pid)});
    }
    return snapshot;
}

}  // namespace sonvel
