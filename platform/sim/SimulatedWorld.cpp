#include "platform/sim/SimulatedWorld.hpp"

#include <fmt/format.h>

#include <filesystem>

#include <fstream>
#include <sstream>

namespace sonvel::sim {

using Json = nlohmann::json;

namespace {

template <class T>
T value(const Json& object, const char* key, T fallback) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? fallback : found->get<T>();
}

std::optional<std::string> text(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || found->is_null()) return std::nullopt;
    return found->get<std::string>();
}

Signal signal(const Json& object) {
    Signal s;
    if (!object.is_object()) return s;
    const std::string kind = value<std::string>(object, "kind", "silence");
    if (kind == "sine") {
        s.kind = Signal::Kind::sine;
    } else if (kind == "noise") {
        s.kind = Signal::Kind::noise;
    } else if (kind != "silence") {
        throw std::invalid_argument(fmt::format("unknown signal kind “{}”", kind));
    }
    s.frequency = value<double>(object, "frequency", 440.0);
    s.level = value<double>(object, "level", 0.5);
    return s;
}

RunningApplication::ActivationPolicy policy(const std::string& name) {
    if (name == "regular") return RunningApplication::ActivationPolicy::regular;
    if (name == "accessory") return RunningApplication::ActivationPolicy::accessory;
    if (name == "prohibited") return RunningApplication::ActivationPolicy::prohibited;
    throw std::invalid_argument(fmt::format("unknown activation policy “{}”", name));
}

}  // namespace

std::expected<SimulatedWorld, std::string> SimulatedWorld::load(SimulatedAudioSystem& audio,
                                                                const Json& description) {
    SimulatedWorld world;
    try {
        world.ownPID_ = value<ProcessID>(description, "ownPID", 0);
        world.osBuild_ = text(description, "osBuild");
        audio.setCapturePermission(value<bool>(description, "capturePermission", true));
        for (const Json& d : value<Json>(description, "devices", Json::array())) {
            SimulatedAudioSystem::DeviceSpec spec;
            spec.uid = d.at("uid").get<std::string>();
            spec.name = value<std::string>(d, "name", spec.uid);
            spec.outputStreams = value<std::vector<std::uint32_t>>(d, "output", {2});
            spec.inputStreams = value<std::vector<std::uint32_t>>(d, "input", {});
            spec.sampleRate = value<double>(d, "sampleRate", 48000);
            spec.bufferFrames = value<std::uint32_t>(d, "bufferFrames", 512);
            const Json latency = value<Json>(d, "latency", Json::object());
            spec.outputLatency = value<std::uint32_t>(latency, "output", 0);
            spec.inputLatency = value<std::uint32_t>(latency, "input", 0);
            const Json safety = value<Json>(d, "safetyOffset", Json::object());
            spec.outputSafetyOffset = value<std::uint32_t>(safety, "output", 0);
            spec.inputSafetyOffset = value<std::uint32_t>(safety, "input", 0);
            spec.hidden = value<bool>(d, "hidden", false);
            spec.hogModeOwner = value<ProcessID>(d, "hogModeOwner", -1);
            if (spec.sampleRate <= 0 || spec.bufferFrames == 0) {
                throw std::invalid_argument(
                    fmt::format("device “{}” has no usable clock", spec.uid));
            }
            world.devices_.push_back(spec);
            audio.addDevice(std::move(spec));
        }
        if (const auto uid = text(description, "defaultOutput")) {
            const AudioObjectID device = audio.deviceID(*uid);
            if (device == hal::unknownObject) {
                throw std::invalid_argument(
                    fmt::format("the default output “{}” is not a device", *uid));
            }
            audio.setDefaultOutput(device);
        }
        for (const Json& b : value<Json>(description, "bundles", Json::array())) {
            world.bundles_[b.at("path").get<std::string>()] =
                Bundle{text(b, "bundleID"), value<std::string>(b, "name", "")};
            if (const auto icon = text(b, "icon"))
                world.icons_[b.at("path").get<std::string>()] = *icon;
        }
        for (const Json& a : value<Json>(description, "applications", Json::array())) {
            RunningApplication app;
            app.pid = a.at("pid").get<ProcessID>();
            app.bundlePath = text(a, "bundlePath");
            app.localizedName = text(a, "name");
            app.activationPolicy = policy(value<std::string>(a, "activationPolicy", "regular"));
            world.applications_[app.pid] = app;
        }
        for (const Json& p : value<Json>(description, "processes", Json::array())) {
            SimulatedAudioSystem::ProcessSpec spec;
            spec.pid = p.at("pid").get<ProcessID>();
            spec.bundleID = value<std::string>(p, "bundleID", "");
            spec.playing = value<bool>(p, "playing", false);
            spec.runningInput = value<bool>(p, "runningInput", false);
            spec.signal = signal(value<Json>(p, "signal", Json::object()));
            spec.outputDeviceUIDs = value<std::vector<std::string>>(p, "outputDevices", {});
            if (const auto executable = text(p, "executable"))
                world.executables_[spec.pid] = *executable;
            world.processes_.push_back(spec);
            audio.addProcess(std::move(spec));
        }
    } catch (const std::exception& e) {
        return std::unexpected(fmt::format("The world description is not valid: {}.", e.what()));
    }
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
