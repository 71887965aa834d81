#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>
#include <cstring>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

std::vector<AudioObjectID> SimulatedAudioSystem::deviceList() const {
    std::vector<AudioObjectID> list;
    for (const auto& [id, d] : devices_) {
        if (d.alive) list.push_back(id);
    }
    for (const auto& [id, a] : aggregates_) list.push_back(id);
    std::ranges::sort(list);
    return list;
}

OSStatus SimulatedAudioSystem::readProperty(AudioObjectID object,
                                            const AudioObjectPropertyAddress& address,
                                            std::span<const std::byte> qualifier,
                                            Bytes& out) const {
    const AudioObjectPropertySelector s = address.selector;
    const bool input = address.scope == hal::inputScope;

    if (object == hal::systemObject) {
        switch (s) {
            case sel::processObjectList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [id, p] : processes_) ids.push_back(id);
                out = Bytes::ids(ids);
                return hal::noError;
            }
            case sel::devices:
                out = Bytes::ids(deviceList());
                return hal::noError;
            case sel::defaultOutputDevice:
                out = Bytes::of(defaultOutput_);
                return hal::noError;
            case sel::translatePIDToProcessObject: {
                if (qualifier.size() != sizeof(ProcessID)) return hal::badPropertySizeError;
                ProcessID pid;
                std::memcpy(&pid, qualifier.data(), sizeof pid);
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, p] : processes_) {
                    if (p.spec.pid == pid) found = id;
                }
                out = Bytes::of(found);
                return hal::noError;
            }
            case sel::translateUIDToDevice: {
                const std::string uid(reinterpret_cast<const char*>(qualifier.data()),
                                      qualifier.size());
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, d] : devices_) {
                    if (d.alive && d.spec.uid == uid) found = id;
                }
                for (const auto& [id, a] : aggregates_) {
                    if (a.uid == uid) found = id;
                }
                out = Bytes::of(found);
                return hal::noError;
            }
            case sel::translateUIDToTap: {
                const std::string uid(reinterpret_cast<const char*>(qualifier.data()),
                                      qualifier.size());
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, t] : taps_) {
                    if (t.description.uuid == uid) found = id;
                }
                out = Bytes::of(found);
                return hal::noError;
            }
            default:
                return hal::unknownPropertyError;
        }
    }

    if (const auto p = processes_.find(object); p != processes_.end()) {
        const ProcessSpec& spec = p->second.spec;
        switch (s) {
            case sel::processPID:
                out = Bytes::of(spec.pid);
                return hal::noError;
            case sel::processBundleID:
                out = Bytes::text(spec.bundleID);
                return hal::noError;
            case sel::processIsRunningOutput:
                out = Bytes::of(std::uint32_t(spec.playing));
                return hal::noError;
            case sel::processIsRunningInput:
                out = Bytes::of(std::uint32_t(spec.runningInput));
                return hal::noError;
            case sel::processDevices: {
                std::vector<AudioObjectID> ids;
                if (spec.outputDeviceUIDs.empty()) {
                    if (defaultOutput_ != hal::unknownObject) ids.push_back(defaultOutput_);
                } else {
                    for (const auto& [id, d] : devices_) {
                        if (d.alive && std::ranges::count(spec.outputDeviceUIDs, d.spec.uid)) {
                            ids.push_back(id);
                        }
                    }
                }
                out = Bytes::ids(ids);
                return hal::noError;
            }
            default:
                return hal::unknownPropertyError;
        }
    }

    if (const auto t = taps_.find(object); t != taps_.end()) {
        switch (s) {
            case sel::tapFormat:
                out = Bytes::of(t->second.format);
                return hal::noError;
            case sel::deviceUID:
                out = Bytes::text(t->second.description.uuid);
                return hal::noError;
            case sel::name:
                out = Bytes::text(t->second.description.name);
                return hal::noError;
            default:
                return hal::unknownPropertyError;
        }
    }

    // Devices and aggregates share their properties; an aggregate takes its
    // timing from its main device and adds the tap's buffers to its inputs.
    const Device* device = nullptr;
    const Aggregate* aggregate = nullptr;
    if (const auto d = devices_.find(object); d != devices_.end()) device = &d->second;
    if (const auto a = aggregates_.find(object); a != aggregates_.end()) {
        aggregate = &a->second;
        if (const auto m = devices_.find(aggregate->mainDevice); m != devices_.end())
            device = &m->second;
    }
    if (!device && !aggregate) return hal::badObjectError;

    switch (s) {
        case sel::deviceUID:
            out = Bytes::text(aggregate ? aggregate->uid : device->spec.uid);
            return hal::noError;
        case sel::name:
            out = Bytes::text(aggregate ? aggregate->name : device->spec.name);
            return hal::noError;
        case sel::streamConfiguration: {
            std::vector<std::uint32_t> streams;
            if (device) streams = input ? device->spec.inputStreams : device->spec.outputStreams;
            if (aggregate && input)
                streams.insert(streams.end(), aggregate->taps.size(), tapChannels);
            out = Bytes::layout(streams);
            return hal::noError;
        }
        case sel::nominalSampleRate:
            out = Bytes::of(device ? device->spec.sampleRate : tapFormat_.sampleRate);
            return hal::noError;
        case sel::bufferFrameSize:
            out = Bytes::of(device ? device->spec.bufferFrames : std::uint32_t{512});
            return hal::noError;
        case sel::latency:
            out =
                Bytes::of(device ? (input ? device->spec.inputLatency : device->spec.outputLatency)
                                 : std::uint32_t{0});
            return hal::noError;
        case sel::safetyOffset:
            out = Bytes::of(
                device ? (input ? device->spec.inputSafetyOffset : device->spec.outputSafetyOffset)
                       : std::uint32_t{0});
            return hal::noError;
        case sel::isHidden:
            out = Bytes::of(std::uint32_t(!aggregate && device->spec.hidden));
            return hal::noError;
        case sel::hogMode:
            out = Bytes::of(aggregate ? ProcessID{-1} : device->spec.hogModeOwner);
            return hal::noError;
        case sel::isAlive:
            out = Bytes::of(std::uint32_t(aggregate ? true : device->alive));
            return hal::noError;
        default:
            return hal::unknownPropertyError;
    }
}

OSStatus SimulatedAudioSystem::getPropertyDataSize(AudioObjectID object,
                                                   const AudioObjectPropertyAddress& address,
                                                   std::span<const std::byte> qualifier,
                                                   std::uint32_t& outSize) {
    const Verdict verdict = admit({Call::getPropertyDataSize, object, &address});
    if (verdict.refusal) return *verdict.refusal;
    const std::lock_guard lock(mutex_);
    if (address.selector == sel::ioProcStreamUsage) {
        const auto a = aggregates_.find(object);
        if (a == aggregates_.end()) {
            return devices_.contains(object) ? hal::unknownPropertyError : hal::badObjectError;
        }
        Bytes layout;
        readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
        std::uint32_t streams = 0;
        std::memcpy(&streams, layout.data.data(), sizeof streams);
        outSize = 12 + 4 * streams;
        return verdict.afterEffect;
    }
    Bytes bytes;
    if (const OSStatus s = readProperty(object, address, qualifier, bytes)) return s;
    outSize = static_cast<std::uint32_t>(bytes.data.size());
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::getPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::span<const std::byte> qualifier,
                                               std::uint32_t& ioSize, void* outData) {
    const Verdict verdict = admit({Call::getPropertyData, object, &address});
    if (verdict.refusal) return *verdict.refusal;
    if (!outData) return hal::paramError;
    // A short read reports success with less than the whole value.
    const auto delivered = [&](std::uint32_t whole) {
        if (!verdict.readBytes) return whole;
        return std::min(whole == 0 ? 0 : whole - 1, *verdict.readBytes);
    };
    const std::lock_guard lock(mutex_);
    if (address.selector == sel::ioProcStreamUsage) {
        // The caller names its IO procedure in the first 8 bytes of the data.
        const auto a = aggregates_.find(object);
        if (a == aggregates_.end()) return hal::unknownPropertyError;
        if (ioSize < 12) return hal::badPropertySizeError;
        AudioDeviceIOProcID procID = 0;
        std::memcpy(&procID, outData, sizeof procID);
        const auto proc = a->second.procs.find(procID);
        if (proc == a->second.procs.end()) return hal::illegalOperationError;
        Bytes layout;
        readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
        std::uint32_t streams = 0;
        std::memcpy(&streams, layout.data.data(), sizeof streams);
        if (ioSize < 12 + 4 * streams) return hal::badPropertySizeError;
        auto* bytes = static_cast<std::byte*>(outData);
        std::memcpy(bytes + 8, &streams, sizeof streams);
        for (std::uint32_t i = 0; i < streams; ++i) {
            const std::uint32_t on =
                proc->second.streamIsOn.empty() ? 1 : proc->second.streamIsOn[i];
            std::memcpy(bytes + 12 + 4 * i, &on, sizeof on);
        }
        ioSize = delivered(12 + 4 * streams);
        return verdict.afterEffect;
    }
    Bytes bytes;
    if (const OSStatus s = readProperty(object, address, qualifier, bytes)) return s;
    if (bytes.fixedSize && ioSize < bytes.data.size()) return hal::badPropertySizeError;
    const std::uint32_t n =
        delivered(std::min(ioSize, static_cast<std::uint32_t>(bytes.data.size())));
    if (n > 0) std::memcpy(outData, bytes.data.data(), n);
    ioSize = n;
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::setPropertyData(AudioObjectID object,
                                               const AudioObjectPropertyAddress& address,
                                               std::span<const std::byte> /*qualifier*/,
                                               std::uint32_t size, const void* data) {
    const Verdict verdict = admit({Call::setPropertyData, object, &address});
    if (verdict.refusal) return *verdict.refusal;
    const std::lock_guard lock(mutex_);
    const auto a = aggregates_.find(object);
    if (a == aggregates_.end()) {
        return devices_.contains(object) || processes_.contains(object) || taps_.contains(object) ||
                       object == hal::systemObject
                   ? hal::unsupportedOperationError
                   : hal::badObjectError;
    }
    if (address.selector != sel::ioProcStreamUsage || address.scope != hal::inputScope) {
        return hal::unsupportedOperationError;
    }
    if (!data || size < 12) return hal::badPropertySizeError;
    const auto* bytes = static_cast<const std::byte*>(data);
    AudioDeviceIOProcID procID = 0;
    std::uint32_t streams = 0;
    std::memcpy(&procID, bytes, sizeof procID);
    std::memcpy(&streams, bytes + 8, sizeof streams);
    const auto proc = a->second.procs.find(procID);
    if (proc == a->second.procs.end()) return hal::illegalOperationError;
    Bytes layout;
    readProperty(object, {sel::streamConfiguration, hal::inputScope, 0}, {}, layout);
    std::uint32_t expected = 0;
    std::memcpy(&expected, layout.data.data(), sizeof expected);
    if (streams != expected || size < 12 + 4 * streams) return hal::badPropertySizeError;
    proc->second.streamIsOn.assign(streams, 0);
    if (streams > 0) std::memcpy(proc->second.streamIsOn.data(), bytes + 12, 4 * streams);
    return verdict.afterEffect;
}

}  // namespace sonvel::sim
