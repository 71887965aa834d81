#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>
#include <optional>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

OSStatus SimulatedAudioSystem::createProcessTap(const TapDescription& description,
                                                AudioObjectID& outTap) {
    const Verdict verdict =
        admit({.call = Call::createProcessTap, .object = hal::systemObject, .tap = &description});
    if (verdict.refusal) return *verdict.refusal;
    if (verdict.zeroObject) {
        outTap = hal::unknownObject;
        return hal::noError;
    }
    const std::lock_guard lock(mutex_);
    if (description.uuid.empty()) return hal::paramError;
    for (const auto& [id, t] : taps_) {
        if (t.description.uuid == description.uuid) return hal::illegalOperationError;
    }
    for (AudioObjectID p : description.processes) {
        if (!processes_.contains(p)) return hal::badObjectError;
    }
    if (description.kind == TapDescription::Kind::stereoMixdownOfProcesses &&
        description.processes.empty() && description.bundleIDs.empty()) {
        return hal::paramError;
    }
    if (description.muteBehavior < TapDescription::unmuted ||
        description.muteBehavior > TapDescription::mutedWhenTapped) {
        return hal::paramError;
    }
    outTap = nextID_++;
    taps_.emplace(outTap, Tap{description, tapFormat_});
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::destroyProcessTap(AudioObjectID tap) {
    const Verdict verdict = admit({.call = Call::destroyProcessTap, .object = tap});
    if (verdict.refusal) return *verdict.refusal;
    {
        const std::lock_guard lock(mutex_);
        if (!taps_.contains(tap)) return hal::badObjectError;
        for (const auto& [id, a] : aggregates_) {
            if (std::ranges::count(a.taps, tap)) return hal::illegalOperationError;  // still in use
        }
        taps_.erase(tap);
    }
    dropListenersOn(tap);
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::createAggregateDevice(const nlohmann::json& description,
                                                     AudioObjectID& outDevice) {
    const Verdict verdict = admit({.call = Call::createAggregateDevice,
                                   .object = hal::systemObject,
                                   .aggregate = &description});
    if (verdict.refusal) return *verdict.refusal;
    if (verdict.zeroObject) {
        outDevice = hal::unknownObject;
        return hal::noError;
    }
    AudioObjectID id;
    bool clocksItself;
    {
        const std::lock_guard lock(mutex_);
        const auto text = [&](const char* key) -> std::optional<std::string> {
            const auto v = description.find(key);
            if (v == description.end() || !v->is_string()) return std::nullopt;
            return v->get<std::string>();
        };
        const auto uid = text("uid");
        if (!description.is_object() || !uid || uid->empty()) return hal::paramError;
        for (const auto& [key, flag] :
             {std::pair{"private", 0}, {"stacked", 0}, {"tapautostart", 0}}) {
            (void)flag;
            if (description.contains(key) && !description.at(key).is_boolean())
                return hal::paramError;
        }
        for (const auto& [did, d] : devices_) {
            if (d.alive && d.spec.uid == *uid) return hal::illegalOperationError;
        }
        for (const auto& [aid, a] : aggregates_) {
            if (a.uid == *uid) return hal::illegalOperationError;
        }
        const auto deviceByUID = [&](const std::string& u) {
            for (const auto& [did, d] : devices_) {
                if (d.alive && d.spec.uid == u) return did;
            }
            return hal::unknownObject;
        };
        Aggregate aggregate;
        aggregate.uid = *uid;
        aggregate.name = text("name").value_or("");
        std::vector<AudioObjectID> subdevices;
        if (const auto list = description.find("subdevices"); list != description.end()) {
            if (!list->is_array()) return hal::paramError;
            for (const auto& entry : *list) {
                if (!entry.is_object() || !entry.contains("uid") || !entry["uid"].is_string())
                    return hal::paramError;
                const AudioObjectID sub = deviceByUID(entry["uid"].get<std::string>());
                if (sub == hal::unknownObject) return hal::badDeviceError;
                subdevices.push_back(sub);
            }
        }
        if (const auto master = text("master")) {
            aggregate.mainDevice = deviceByUID(*master);
            if (aggregate.mainDevice == hal::unknownObject) return hal::badDeviceError;
        } else if (!subdevices.empty()) {
            aggregate.mainDevice = subdevices.front();
        }
        if (const auto list = description.find("taps"); list != description.end()) {
            if (!list->is_array()) return hal::paramError;
            for (const auto& entry : *list) {
                if (!entry.is_object() || !entry.contains("uid") || !entry["uid"].is_string())
                    return hal::paramError;
                const std::string tapUUID = entry["uid"].get<std::string>();
                const auto tap = std::ranges::find_if(
                    taps_, [&](const auto& t) { return t.second.description.uuid == tapUUID; });
                if (tap == taps_.end()) return hal::badObjectError;
                aggregate.taps.push_back(tap->first);
            }
        }
        id = nextID_++;
        clocksItself = aggregate.mainDevice == hal::unknownObject;
        aggregates_.emplace(id, std::move(aggregate));
        notify(hal::systemObject, sel::devices);
    }
    if (clocksItself) startClock(id);
    outDevice = id;
    return verdict.afterEffect;
}

OSStatus SimulatedAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    const Verdict verdict = admit({.call = Call::destroyAggregateDevice, .object = device});
    if (verdict.refusal) return *verdict.refusal;
    AudioObjectID clockDevice;
    {
        const std::lock_guard lock(mutex_);
        const auto found = aggregates_.find(device);
        if (found == aggregates_.end()) return hal::badObjectError;
        clockDevice =
            found->second.mainDevice == hal::unknownObject ? device : found->second.mainDevice;
        aggregates_.erase(found);
        notify(hal::systemObject, sel::devices);
    }
    if (clockDevice == device) {
        takeClock(device);
    } else {
        waitForCycle(clockDevice);
    }
    dropListenersOn(device);
    return verdict.afterEffect;
}

}  // namespace sonvel::sim
