// Taps, aggregates and IO procedures as the seam asks for them; the streams
// that stand for them are PipeWireStreams.cpp's.

#include <algorithm>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

using State = PipeWireAudioSystem::State;

OSStatus PipeWireAudioSystem::createProcessTap(const TapDescription& description,
                                               AudioObjectID& outTap) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    if (!s.connected || !s.synced) return hal::notRunningError;
    TapObject tap{description, {}, hal::unknownObject};
    for (const AudioObjectID process : description.processes) {
        const auto found = std::ranges::find_if(
            s.processIDs, [&](const auto& entry) { return entry.second == process; });
        if (found == s.processIDs.end()) return hal::badObjectError;
        tap.pids.insert(found->first);
    }
    const bool global =
        description.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    if (!global && tap.pids.empty() && description.bundleIDs.empty()) return hal::paramError;
    outTap = s.nextID++;
    s.taps.emplace(outTap, std::move(tap));
    return hal::noError;
}

OSStatus PipeWireAudioSystem::destroyProcessTap(AudioObjectID tap) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    const auto t = s.taps.find(tap);
    if (t == s.taps.end()) return hal::badObjectError;
    s.release(tap);
    if (const auto a = s.aggregates.find(t->second.aggregate); a != s.aggregates.end()) {
        std::erase(a->second.taps, tap);
    }
    s.taps.erase(t);
    return hal::noError;
}

OSStatus PipeWireAudioSystem::createAggregateDevice(const nlohmann::json& description,
                                                    AudioObjectID& outDevice) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    if (!s.connected || !s.synced) return hal::notRunningError;
    if (!description.is_object()) return hal::paramError;
    AggregateObject a;
    a.uid = description.value("uid", std::string());
    a.name = description.value("name", std::string("Sonvel"));
    if (a.uid.empty()) return hal::paramError;
    if (const auto main = description.find("master");
        main != description.end() && main->is_string()) {
        a.outputUID = main->get<std::string>();
    } else if (const auto subs = description.find("subdevices");
               subs != description.end() && subs->is_array() && !subs->empty()) {
        a.outputUID = (*subs)[0].value("uid", std::string());
    }
    if (a.outputUID && !s.sinkNamed(*a.outputUID)) return hal::badDeviceError;
    for (const auto& entry : description.value("taps", nlohmann::json::array())) {
        const std::string uid = entry.value("uid", std::string());
        const auto t = std::ranges::find_if(
            s.taps, [&](const auto& tap) { return tap.second.description.uuid == uid; });
        if (t == s.taps.end()) return hal::badObjectError;
        a.taps.push_back(t->first);
    }
    outDevice = s.nextID++;
    for (const AudioObjectID tap : a.taps) s.taps[tap].aggregate = outDevice;
    s.aggregates.emplace(outDevice, std::move(a));
    s.notify(hal::systemObject, hal::selector::devices);
    return hal::noError;
}

OSStatus PipeWireAudioSystem::destroyAggregateDevice(AudioObjectID device) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    const auto a = s.aggregates.find(device);
    if (a == s.aggregates.end()) return hal::badObjectError;
    s.stopIO(a->second);
    for (const AudioObjectID tap : a->second.taps) {
        if (const auto t = s.taps.find(tap); t != s.taps.end()) t->second.aggregate = 0;
    }
    s.aggregates.erase(a);
    s.notify(hal::systemObject, hal::selector::devices);
    return hal::noError;
}

// Only aggregates run IO here, and only on PipeWire's own real-time thread:
// handing each cycle to a queue would allocate on that thread.
OSStatus PipeWireAudioSystem::createIOProcIDWithBlock(AudioObjectID device,
                                                      std::shared_ptr<DispatchQueue> queue,
                                                      AudioDeviceIOBlock block,
                                                      AudioDeviceIOProcID& outProcID) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    const auto a = s.aggregates.find(device);
    if (a == s.aggregates.end())
        return s.sink(device) ? hal::unsupportedOperationError : hal::badObjectError;
    if (queue) return hal::unsupportedOperationError;
    if (!block) return hal::paramError;
    outProcID = s.nextProc++;
    a->second.procs.emplace(outProcID, IOProc{std::move(block), false});
    return hal::noError;
}

std::expected<std::pair<AggregateObject*, IOProc*>, OSStatus> State::procedure(
    AudioObjectID aggregate, AudioDeviceIOProcID proc) {
    const auto a = aggregates.find(aggregate);
    if (a == aggregates.end()) return std::unexpected(hal::badObjectError);
    const auto p = a->second.procs.find(proc);
    if (p == a->second.procs.end()) return std::unexpected(hal::illegalOperationError);
    return std::pair{&a->second, &p->second};
}

OSStatus PipeWireAudioSystem::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) {
    const LoopLock lock(state_->loop);
    const auto found = state_->procedure(device, proc);
    if (!found) return found.error();
    auto [aggregate, procedure] = *found;
    if (procedure->started) state_->stopIO(*aggregate);
    aggregate->procs.erase(proc);
    return hal::noError;
}

OSStatus PipeWireAudioSystem::deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) {
    const LoopLock lock(state_->loop);
    State& s = *state_;
    const auto found = s.procedure(device, proc);
    if (!found) return found.error();
    auto [aggregate, procedure] = *found;
    if (procedure->started) return hal::noError;
    // One pair of streams per aggregate: a second procedure would need a
    // second capture of the same applications.
    if (aggregate->io) return hal::unsupportedOperationError;
    // Without the session manager's metadata a tapped stream cannot be moved,
    // and the application would be heard twice.
    if (!s.metadata && !aggregate->taps.empty() && aggregate->outputUID) {
        return hal::notRunningError;
    }
    if (const OSStatus status = s.startIO(device, *aggregate, procedure->block)) return status;
    procedure->started = true;
    return hal::noError;
}

OSStatus PipeWireAudioSystem::deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) {
    const LoopLock lock(state_->loop);
    const auto found = state_->procedure(device, proc);
    if (!found) return found.error();
    auto [aggregate, procedure] = *found;
    if (!procedure->started) return hal::noError;
    procedure->started = false;
    state_->stopIO(*aggregate);
    return hal::noError;
}

}  // namespace sonvel::pw
