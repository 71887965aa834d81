#include "MixerEngine/ProcessInspector.hpp"

#include <utf8proc.h>

#include <map>
#include <set>

#include "core/AppCatalog.hpp"
#include "core/OutputCatalog.hpp"
#include "tap/AudioSystem.hpp"

namespace sonvel {

namespace {

// Decodes bytes as UTF-8, replacing every invalid sequence with U+FFFD.
std::string repairedUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    const auto* data = reinterpret_cast<const utf8proc_uint8_t*>(bytes.data());
    auto remaining = static_cast<utf8proc_ssize_t>(bytes.size());
    utf8proc_ssize_t at = 0;
    while (at < remaining) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t read = utf8proc_iterate(data + at, remaining - at, &codePoint);
        if (read < 1) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        out.append(bytes.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(read)));
        at += read;
    }
    return out;
}

std::string withoutAppSuffixes(std::string name) {
    for (std::size_t at; (at = name.find(".app")) != std::string::npos;) name.erase(at, 4);
    return name;
}

}  // namespace

namespace ProcessInspector {

std::optional<std::string> executablePath(const SystemServices& system, ProcessID pid) {
    if (pid < 1) return std::nullopt;
    const auto path = system.processPath(pid);
    if (!path || path->empty()) return std::nullopt;
    return repairedUtf8(*path);
}

namespace {

// `whole` turns false when a read it needed failed.
std::optional<OutputContext> contextOf(
    AudioHardware& hal, const std::expected<OutputDeviceInfo, CoreAudioError>& device,
    ProcessID ownPID, bool* whole = nullptr) {
    if (!device || device->objectID == hal::unknownObject || !device->uid) return std::nullopt;
    OutputContext context{device->objectID, *device->uid, device->name.value_or("Output"),
                          std::nullopt};
    const auto owner = AudioSystem::hogModeOwner(hal, device->objectID);
    const auto channels = AudioSystem::outputChannelCount(hal, device->objectID);
    if (!channels && whole) *whole = false;
    if (owner && *owner != ownPID) {
        context.unsupportedReason = "Another app has exclusive access to this device.";
    } else if (channels == 0) {
        context.unsupportedReason = "This device has no output channels.";
    }
    return context;
}

}  // namespace

std::optional<OutputContext> outputContext(AudioHardware& hal, ProcessID ownPID) {
    return contextOf(hal, AudioSystem::defaultOutputDevice(hal), ownPID);
}

AudioWorld snapshot(AudioHardware& hal, const SystemServices& system) {
    AudioWorld world;
    const ProcessID ownPID = system.ownPID();
    auto read = AudioSystem::processSnapshots(hal);
    if (!read) world.unreadable.emplace_back("the process list");
    const auto processes = std::move(read).value_or(std::vector<AudioProcessSnapshot>{});

    // Many helpers share one outer application, and a regular application is
    // looked up both for the set below and for its own processes: every lookup
    // goes through this cache, so each bundle is opened once per snapshot.
    std::map<std::string, std::optional<BundleFacts>> cache;
    const auto bundleAt = [&](const std::string& path) -> std::optional<BundleFacts> {
        if (const auto hit = cache.find(path); hit != cache.end()) return hit->second;
        std::optional<BundleFacts> facts;
        if (const auto bundle = system.bundle(path)) {
            facts = BundleFacts{bundle->bundleID, withoutAppSuffixes(bundle->displayName)};
        }
        cache.emplace(path, facts);
        return facts;
    };

    std::set<std::string> regular;
    for (const auto& app : system.runningApplications()) {
        if (!app.isRegular || !app.bundlePath) continue;
        if (const auto bundle = bundleAt(*app.bundlePath); bundle && bundle->bundleID) {
            regular.insert(*bundle->bundleID);
        }
    }
    const auto isRegular = [&](const std::string& id) { return regular.contains(id); };

    for (const AudioProcessSnapshot& process : processes) {
        if (process.pid == ownPID) {
            world.ownProcessObjectID = process.objectID;
            continue;
        }
        world.otherProcessesRunningOutput =
            world.otherProcessesRunningOutput || process.isRunningOutput;
        ProcessFacts facts;
        facts.objectID = process.objectID;
        facts.pid = process.pid;
        facts.bundleID = process.bundleID;
        facts.isRunningOutput = process.isRunningOutput;
        facts.outputDeviceIDs = AudioSystem::outputDevices(hal, process.objectID);
        if (process.pid > 0) {
            if (const auto app = system.runningApplication(process.pid)) {
                facts.launchServicesBundlePath = app->bundlePath;
                facts.launchServicesName = app->localizedName;
                facts.launchServicesIsRegular = app->isRegular;
            }
        }
        facts.executablePath = executablePath(system, process.pid);
        world.records.push_back(ProcessOwnerResolver::record(facts, bundleAt, isRegular));
    }

    const auto defaultDevice = AudioSystem::defaultOutputDevice(hal);
    bool outputWhole = true;
    world.output = contextOf(hal, defaultDevice, ownPID, &outputWhole);
    if (!defaultDevice || !outputWhole) world.unreadable.emplace_back("the default output");
    bool devicesWhole = true;
    auto devices = AudioSystem::deviceFacts(hal, &devicesWhole);
    if (!devicesWhole) world.unreadable.emplace_back("the device list");
    world.outputs = OutputCatalog::selectable(
        std::move(devices),
        world.output ? std::optional<std::string>(world.output->uid) : std::nullopt, ownPID);
    return world;
}

}  // namespace ProcessInspector

std::string SystemInfo::osBuild(const SystemServices& system) {
    const auto value = system.systemValue("kern.osversion");
    if (!value || value->empty()) return "unknown";
    return repairedUtf8(std::string_view(*value).substr(0, value->find('\0')));
}

}  // namespace sonvel
