#include "platform/sim/SimulatedWorld.hpp"

#include <fmt/format.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace sonvel::sim {

using Json = nlohmann::json;

namespace {

// Limits that keep a world one machine's worth: past them, a mistyped file
// would start a clock thread per device and fill the memory with speakers.
constexpr std::size_t maxDevices = 256;
constexpr std::size_t maxProcesses = 4096;
constexpr std::size_t maxStreams = 16;
constexpr double maxFrames = 384000;  // a latency of one second at the highest rate
constexpr double maxPID = 2147483647;

// A description is refused with the first field that is wrong; every field
// is read through here, so that none reaches the audio system unchecked.
struct Refusal {
    std::string sentence;
};

std::string shown(const Json& value) {
    std::string text = value.dump(-1, ' ', false, Json::error_handler_t::replace);
    if (text.size() > 40) text = text.substr(0, 37) + "...";
    return text;
}

[[noreturn]] void refuse(const std::string& path, const Json& value, std::string_view wanted) {
    throw Refusal{fmt::format("{} is {}, not {}", path, shown(value), wanted)};
}

std::string field(const std::string& path, const char* key) {
    return path.empty() ? key : path + "." + key;
}

// A missing or null key takes its default.
const Json* member(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

const Json& required(const Json& object, const std::string& path, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) throw Refusal{field(path, key) + " is missing"};
    return *value;
}

std::string text(const Json& value, const std::string& path) {
    if (!value.is_string()) refuse(path, value, "text");
    return value.get<std::string>();
}

std::optional<std::string> text(const Json& object, const std::string& path, const char* key) {
    const Json* value = member(object, key);
    if (value == nullptr) return std::nullopt;
    return text(*value, field(path, key));
}

bool flag(const Json& object, const std::string& path, const char* key, bool fallback) {
    const Json* value = member(object, key);
    if (value == nullptr) return fallback;
    if (!value->is_boolean()) refuse(field(path, key), *value, "true or false");
    return value->get<bool>();
}

double number(const Json& value, const std::string& path, double low, double high, bool whole) {
    // Read as a double, so that no negative or huge value wraps on its way in.
    const double x = value.is_number() ? value.get<double>() : std::nan("");
    if (!std::isfinite(x) || x < low || x > high || (whole && x != std::floor(x))) {
        refuse(path, value,
               fmt::format("{} from {} to {}", whole ? "a whole number" : "a number", low, high));
    }
    return x;
}

template <class T>
T number(const Json& object, const std::string& path, const char* key, T fallback, double low,
         double high) {
    const Json* value = member(object, key);
    if (value == nullptr) return fallback;
    return static_cast<T>(number(*value, field(path, key), low, high, std::is_integral_v<T>));
}

const Json& list(const Json& object, const std::string& path, const char* key, std::size_t most) {
    static const Json empty = Json::array();
    const Json* value = member(object, key);
    if (value == nullptr) return empty;
    const std::string where = field(path, key);
    if (!value->is_array()) refuse(where, *value, "a list");
    if (value->size() > most) {
        throw Refusal{
            fmt::format("{} has {} entries, more than the {} allowed", where, value->size(), most)};
    }
    return *value;
}

const Json& object(const Json& value, const std::string& path) {
    if (!value.is_object()) refuse(path, value, "an object");
    return value;
}

std::string at(const std::string& path, std::size_t index) {
    return fmt::format("{}[{}]", path, index);
}

std::vector<std::uint32_t> streams(const Json& device, const std::string& path, const char* key,
                                   std::vector<std::uint32_t> fallback) {
    if (member(device, key) == nullptr) return fallback;
    std::vector<std::uint32_t> channels;
    const Json& entries = list(device, path, key, maxStreams);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        channels.push_back(
            static_cast<std::uint32_t>(number(entries[i], at(path + "." + key, i), 1, 64, true)));
    }
    return channels;
}

SimulatedAudioSystem::DeviceSpec device(const Json& d, const std::string& path) {
    object(d, path);
    SimulatedAudioSystem::DeviceSpec spec;
    spec.uid = text(required(d, path, "uid"), path + ".uid");
    spec.name = text(d, path, "name").value_or(spec.uid);
    spec.outputStreams = streams(d, path, "output", {2});
    spec.inputStreams = streams(d, path, "input", {});
    spec.sampleRate = number<double>(d, path, "sampleRate", 48000, 8000, 384000);
    spec.bufferFrames = number<std::uint32_t>(d, path, "bufferFrames", 512, 16, 8192);
    for (const auto& [key, output, input] :
         {std::tuple{"latency", &spec.outputLatency, &spec.inputLatency},
          std::tuple{"safetyOffset", &spec.outputSafetyOffset, &spec.inputSafetyOffset}}) {
        const Json* frames = member(d, key);
        if (frames == nullptr) continue;
        const std::string where = path + "." + key;
        object(*frames, where);
        *output = number<std::uint32_t>(*frames, where, "output", 0, 0, maxFrames);
        *input = number<std::uint32_t>(*frames, where, "input", 0, 0, maxFrames);
    }
    spec.hidden = flag(d, path, "hidden", false);
    spec.hogModeOwner = number<ProcessID>(d, path, "hogModeOwner", -1, -1, maxPID);
    return spec;
}

Signal signal(const Json& object, const std::string& path) {
    Signal s;
    const std::string kind = text(object, path, "kind").value_or("silence");
    if (kind == "sine") {
        s.kind = Signal::Kind::sine;
    } else if (kind == "noise") {
        s.kind = Signal::Kind::noise;
    } else if (kind != "silence") {
        refuse(path + ".kind", kind, "sine, noise or silence");
    }
    s.frequency = number<double>(object, path, "frequency", 440.0, 1, 100000);
    s.level = number<double>(object, path, "level", 0.5, 0, 1);
    return s;
}

RunningApplication::ActivationPolicy policy(const Json& object, const std::string& path) {
    const std::string name = text(object, path, "activationPolicy").value_or("regular");
    if (name == "regular") return RunningApplication::ActivationPolicy::regular;
    if (name == "accessory") return RunningApplication::ActivationPolicy::accessory;
    if (name == "prohibited") return RunningApplication::ActivationPolicy::prohibited;
    refuse(path + ".activationPolicy", name, "regular, accessory or prohibited");
}

}  // namespace

std::expected<SimulatedWorld, std::string> SimulatedWorld::load(SimulatedAudioSystem& audio,
                                                                const Json& description) {
    // Read whole before the audio system sees any of it, so that a refused
    // description leaves it as it was.
    SimulatedWorld world;
    std::optional<std::string> defaultOutput;
    try {
        object(description, "it");
        world.ownPID_ = number<ProcessID>(description, "", "ownPID", 0, 0, maxPID);
        world.osBuild_ = text(description, "", "osBuild");
        world.capturePermission_ = flag(description, "", "capturePermission", true);
        const Json& devices = list(description, "", "devices", maxDevices);
        std::set<std::string> uids;
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const std::string path = at("devices", i);
            world.devices_.push_back(device(devices[i], path));
            if (!uids.insert(world.devices_.back().uid).second) {
                refuse(path + ".uid", world.devices_.back().uid, "a uid no other device has");
            }
        }
        const auto isDevice = [&](const std::string& uid) {
            return uids.contains(uid) || audio.deviceID(uid) != hal::unknownObject;
        };
        defaultOutput = text(description, "", "defaultOutput");
        if (defaultOutput && !isDevice(*defaultOutput)) {
            refuse("defaultOutput", *defaultOutput, "the uid of a device");
        }
        const Json& bundles = list(description, "", "bundles", maxProcesses);
        for (std::size_t i = 0; i < bundles.size(); ++i) {
            const std::string path = at("bundles", i);
            const Json& b = object(bundles[i], path);
            const std::string bundlePath = text(required(b, path, "path"), path + ".path");
            world.bundles_[bundlePath] =
                Bundle{text(b, path, "bundleID"), text(b, path, "name").value_or("")};
            if (const auto icon = text(b, path, "icon")) world.icons_[bundlePath] = *icon;
        }
        const Json& applications = list(description, "", "applications", maxProcesses);
        for (std::size_t i = 0; i < applications.size(); ++i) {
            const std::string path = at("applications", i);
            const Json& a = object(applications[i], path);
            RunningApplication app;
            app.pid = static_cast<ProcessID>(
                number(required(a, path, "pid"), path + ".pid", 0, maxPID, true));
            app.bundlePath = text(a, path, "bundlePath");
            app.localizedName = text(a, path, "name");
            app.activationPolicy = policy(a, path);
            world.applications_[app.pid] = app;
        }
        const Json& processes = list(description, "", "processes", maxProcesses);
        for (std::size_t i = 0; i < processes.size(); ++i) {
            const std::string path = at("processes", i);
            const Json& p = object(processes[i], path);
            SimulatedAudioSystem::ProcessSpec spec;
            spec.pid = static_cast<ProcessID>(
                number(required(p, path, "pid"), path + ".pid", 0, maxPID, true));
            spec.bundleID = text(p, path, "bundleID").value_or("");
            spec.playing = flag(p, path, "playing", false);
            spec.runningInput = flag(p, path, "runningInput", false);
            if (const Json* s = member(p, "signal")) {
                spec.signal = signal(object(*s, path + ".signal"), path + ".signal");
            }
            const Json& outputs = list(p, path, "outputDevices", maxDevices);
            for (std::size_t o = 0; o < outputs.size(); ++o) {
                const std::string where = at(path + ".outputDevices", o);
                spec.outputDeviceUIDs.push_back(text(outputs[o], where));
                if (!isDevice(spec.outputDeviceUIDs.back())) {
                    refuse(where, outputs[o], "the uid of a device");
                }
            }
            if (const auto executable = text(p, path, "executable"))
                world.executables_[spec.pid] = *executable;
            world.processes_.push_back(spec);
        }
    } catch (const Refusal& refusal) {
        return std::unexpected(
            fmt::format("The world description is not valid: {}.", refusal.sentence));
    }
    audio.setCapturePermission(world.capturePermission_);
    for (const auto& spec : world.devices_) audio.addDevice(spec);
    if (defaultOutput) audio.setDefaultOutput(audio.deviceID(*defaultOutput));
    for (const auto& spec : world.processes_) audio.addProcess(spec);
    return world;
}

std::expected<Json, std::string> SimulatedWorld::readFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) return std::unexpected(fmt::format("The world file {} cannot be opened.", path));
    std::stringstream contents;
    contents << file.rdbuf();
    Json json = Json::parse(contents.str(), nullptr, false);
    if (json.is_discarded())
        return std::unexpected(fmt::format("The world file {} is not valid JSON.", path));
    return json;
}

// An installed program finds the world it ships beside itself (bin/../share);
// a build finds the source tree's.
std::string SimulatedWorld::defaultWorldPath() {
    std::error_code error;
    const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) {
        const auto installed =
            program.parent_path().parent_path() / "share/sonvel/worlds/default.json";
        if (std::filesystem::exists(installed, error)) return installed.string();
    }
    return std::string(SONVEL_WORLDS_DIR) + "/default.json";
}

std::vector<RunningApplication> SimulatedWorld::runningApplications() const {
    std::vector<RunningApplication> list;
    for (const auto& [pid, app] : applications_) list.push_back(app);
    return list;
}

std::optional<RunningApplication> SimulatedWorld::runningApplication(ProcessID pid) const {
    const auto found = applications_.find(pid);
    if (found == applications_.end()) return std::nullopt;
    return found->second;
}

std::optional<Bundle> SimulatedWorld::bundle(const std::string& path) const {
    const auto found = bundles_.find(path);
    if (found == bundles_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> SimulatedWorld::iconName(const std::string& bundlePath) const {
    const auto found = icons_.find(bundlePath);
    if (found == icons_.end()) return std::nullopt;
    return found->second;
}

std::optional<std::string> SimulatedWorld::executablePath(ProcessID pid) const {
    const auto found = executables_.find(pid);
    if (found == executables_.end()) return std::nullopt;
    return found->second;
}

}  // namespace sonvel::sim
