#include "tap/AudioSystem.hpp"

#include <numeric>

#include "tap/AudioObject.hpp"

namespace sonvel::AudioSystem {

namespace sel = hal::selector;

namespace {

template <class T>
std::optional<T> ok(std::expected<T, CoreAudioError> result) {
    if (!result) return std::nullopt;
    return std::move(*result);
}

std::optional<std::string> text(AudioHardware& hal, AudioObjectID object,
                                AudioObjectPropertySelector selector) {
    return ok(AudioObject::readString(hal, object, selector)).value_or(std::nullopt);
}

std::optional<long> channelCount(AudioHardware& hal, AudioObjectID device,
                                 AudioObjectPropertyScope scope) {
    const auto counts =
        ok(AudioObject::readBufferChannelCounts(hal, device, sel::streamConfiguration, scope));
    if (!counts) return std::nullopt;
    return std::accumulate(counts->begin(), counts->end(), 0L);
}

std::optional<AudioObjectID> translateUID(AudioHardware& hal, AudioObjectPropertySelector selector,
                                          const std::string& uid) {
    AudioObjectID object = hal::unknownObject;
    std::uint32_t size = sizeof object;
    const OSStatus status =
        hal.getPropertyData(hal::systemObject, {selector, hal::globalScope, hal::mainElement},
                            std::as_bytes(std::span(uid.data(), uid.size())), size, &object);
    if (status != hal::noError || size != sizeof object || object == hal::unknownObject)
        return std::nullopt;
    return object;
}

// A failed UID read is a failed description, never a device without one:
// taken as fact, it would look like no output at all and drop every engine.
std::expected<OutputDeviceInfo, CoreAudioError> describeDevice(AudioHardware& hal,
                                                               AudioObjectID device) {
    auto uid = AudioObject::readString(hal, device, sel::deviceUID);
    if (!uid) return std::unexpected(uid.error());
    return OutputDeviceInfo{
        device, std::move(*uid), text(hal, device, sel::name),
        ok(AudioObject::readValue<double>(hal, device, sel::nominalSampleRate)).value_or(0.0)};
}

}  // namespace

std::expected<std::vector<AudioProcessSnapshot>, CoreAudioError> processSnapshots(
    AudioHardware& hal, const ApplicationName& applicationName) {
    auto processes = AudioObject::readObjectIDs(hal, hal::systemObject, sel::processObjectList);
    if (!processes) return std::unexpected(processes.error());
    std::vector<AudioProcessSnapshot> snapshots;
    for (AudioObjectID process : *processes) {
        snapshots.push_back(snapshot(hal, process, applicationName));
    }
    return snapshots;
}

AudioProcessSnapshot snapshot(AudioHardware& hal, AudioObjectID process,
                              const ApplicationName& applicationName) {
    AudioProcessSnapshot s;
    s.objectID = process;
    s.pid = ok(AudioObject::readValue<ProcessID>(hal, process, sel::processPID)).value_or(-1);
    s.bundleID = text(hal, process, sel::processBundleID);
    if (s.bundleID && s.bundleID->empty()) s.bundleID.reset();
    if (s.pid > 0 && applicationName) s.name = applicationName(s.pid);
    s.isRunningOutput =
        ok(AudioObject::readBool(hal, process, sel::processIsRunningOutput)).value_or(false);
    s.isRunningInput =
        ok(AudioObject::readBool(hal, process, sel::processIsRunningInput)).value_or(false);
    return s;
}

std::expected<std::optional<AudioObjectID>, CoreAudioError> processObject(AudioHardware& hal,
                                                                          ProcessID pid) {
    AudioObjectID object = hal::unknownObject;
    std::uint32_t size = sizeof object;
    const OSStatus status = hal.getPropertyData(
        hal::systemObject, {sel::translatePIDToProcessObject, hal::globalScope, hal::mainElement},
        std::as_bytes(std::span(&pid, 1)), size, &object);
    if (status != hal::noError) {
        return std::unexpected(
            CoreAudioError{"Translate PID " + std::to_string(pid) + " to process object", status});
    }
    if (object == hal::unknownObject) return std::optional<AudioObjectID>();
    return object;
}

bool isRunningOutput(AudioHardware& hal, AudioObjectID process) {
    return ok(AudioObject::readBool(hal, process, sel::processIsRunningOutput)).value_or(false);
}

std::vector<AudioObjectID> outputDevices(AudioHardware& hal, AudioObjectID process) {
    return ok(AudioObject::readObjectIDs(hal, process, sel::processDevices, hal::outputScope))
        .value_or(std::vector<AudioObjectID>{});
}

std::optional<ProcessID> hogModeOwner(AudioHardware& hal, AudioObjectID device) {
    const auto owner =
        ok(AudioObject::readValue<ProcessID>(hal, device, sel::hogMode, hal::outputScope, -1));
    if (!owner || *owner == -1) return std::nullopt;
    return owner;
}

std::optional<long> outputChannelCount(AudioHardware& hal, AudioObjectID device) {
    return channelCount(hal, device, hal::outputScope);
}

std::optional<long> inputChannelCount(AudioHardware& hal, AudioObjectID device) {
    return channelCount(hal, device, hal::inputScope);
}

std::vector<DeviceFacts> deviceFacts(AudioHardware& hal) {
    return deviceFacts(hal, nullptr);
}

std::vector<DeviceFacts> deviceFacts(AudioHardware& hal, bool* whole) {
    std::vector<DeviceFacts> facts;
    const auto devices = ok(AudioObject::readObjectIDs(hal, hal::systemObject, sel::devices));
    if (whole) *whole = devices.has_value();
    if (!devices) return facts;
    for (AudioObjectID device : *devices) {
        std::optional<std::string> uid = text(hal, device, sel::deviceUID);
        if (!uid) {
            if (whole) *whole = false;
            continue;
        }
        DeviceFacts f;
        f.deviceID = device;
        f.name = text(hal, device, sel::name).value_or(*uid);
        f.uid = std::move(*uid);
        const auto channels = outputChannelCount(hal, device);
        if (!channels) {
            // Left out for now, not listed as a device without outputs.
            if (whole) *whole = false;
            continue;
        }
        f.outputChannels = *channels;
        f.isHidden = ok(AudioObject::readBool(hal, device, sel::isHidden)).value_or(false);
        f.hogModeOwner = hogModeOwner(hal, device);
        facts.push_back(std::move(f));
    }
    return facts;
}

std::optional<AudioObjectID> deviceID(AudioHardware& hal, const std::string& uid) {
    return translateUID(hal, sel::translateUIDToDevice, uid);
}

std::optional<AudioObjectID> tapID(AudioHardware& hal, const std::string& uid) {
    return translateUID(hal, sel::translateUIDToTap, uid);
}

std::optional<OutputDeviceInfo> device(AudioHardware& hal, const std::string& uid) {
    const auto object = deviceID(hal, uid);
    if (!object) return std::nullopt;
    return ok(describeDevice(hal, *object));
}

std::expected<OutputDeviceInfo, CoreAudioError> defaultOutputDevice(AudioHardware& hal) {
    auto device =
        AudioObject::readValue<AudioObjectID>(hal, hal::systemObject, sel::defaultOutputDevice);
    if (!device) return std::unexpected(device.error());
    if (*device == hal::unknownObject) return OutputDeviceInfo{};  // there is none
    return describeDevice(hal, *device);
}

}  // namespace sonvel::AudioSystem
