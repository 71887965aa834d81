// Property reads, the seam's view of the server, and listeners.

#include <algorithm>
#include <cstring>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

namespace sel = hal::selector;
using State = PipeWireAudioSystem::State;

const NodeInfo* State::sink(AudioObjectID device) const {
    for (const auto& [node, id] : deviceIDs) {
        if (id != device) continue;
        const auto n = nodes.find(node);
        return n == nodes.end() ? nullptr : n->second.get();
    }
    return nullptr;
}

const NodeInfo* State::sinkNamed(const std::string& name) const {
    for (const auto& [id, node] : nodes) {
        if (node->mediaClass == "Audio/Sink" && node->name == name) return node.get();
    }
    return nullptr;
}

ProcessID State::pidOfNode(const NodeInfo& node) const {
    const auto c = clients.find(node.clientID);
    return c == clients.end() ? -1 : c->second->pid;
}

std::optional<PipeWireAudioSystem::Application> State::applicationOf(ProcessID pid) const {
    const PipeWireAudioSystem::Application* client = nullptr;
    for (const auto& [id, c] : clients) {
        if (c->pid != pid) continue;
        // A process may hold several connections; the one that names itself wins.
        if (!client || (client->name.empty() && !c->application.name.empty())) {
            client = &c->application;
        }
    }
    if (!client) return std::nullopt;
    PipeWireAudioSystem::Application app = *client;
    // The first stream that names itself, in the order the server made them,
    // so the name does not change while the process plays.
    for (const auto& [id, node] : nodes) {
        if (!node->applicationName.empty() && node->mediaClass.starts_with("Stream/") &&
            pidOfNode(*node) == pid) {
            app.name = node->applicationName;
            break;
        }
    }
    for (const auto& [id, node] : nodes) {
        if (!node->applicationIcon.empty() && node->mediaClass.starts_with("Stream/") &&
            pidOfNode(*node) == pid) {
            app.iconName = node->applicationIcon;
            break;
        }
    }
    if (app.bundleID.empty()) app.bundleID = app.name;
    return app;
}

std::uint32_t State::channelsOf(const NodeInfo& sink) const {
    if (sink.channels > 0) return sink.channels;
    if (!sink.positions.empty()) return std::uint32_t(sink.positions.size());
    return 2;
}

View State::computeView() const {
    View v;
    for (const auto& [pid, id] : processIDs) v.processes[id];
    for (const auto& [node, id] : deviceIDs) v.devices.push_back(id);
    std::ranges::sort(v.devices);
    if (const NodeInfo* def = sinkNamed(defaultSinkName)) {
        if (const auto d = deviceIDs.find(def->id); d != deviceIDs.end())
            v.defaultOutput = d->second;
    }
    // Where each playback stream plays. One we moved into a tap plays, as
    // far as the application is concerned, where it would without us: the
    // sink it had asked for, else the default output.
    const auto wouldPlayOn = [&](std::uint32_t node) -> std::optional<AudioObjectID> {
        const auto m = moved.find(node);
        if (m == moved.end()) return std::nullopt;
        if (const auto& asked = m->second.original.value) {
            for (const auto& [sinkNode, device] : deviceIDs) {
                const auto n = nodes.find(sinkNode);
                if (n != nodes.end() && n->second->name == *asked) return device;
            }
        }
        if (v.defaultOutput != hal::unknownObject) return v.defaultOutput;
        return std::nullopt;
    };
    for (const auto& [id, node] : nodes) {
        const bool output = node->mediaClass == "Stream/Output/Audio";
        if (!output && node->mediaClass != "Stream/Input/Audio") continue;
        const auto p = processIDs.find(pidOfNode(*node));
        if (p == processIDs.end()) continue;
        View::Process& process = v.processes[p->second];
        const bool running = node->state == PW_NODE_STATE_RUNNING;
        (output ? process.runningOutput : process.runningInput) |= running;
        if (!output) continue;
        std::vector<AudioObjectID> heardOn;
        if (const auto device = wouldPlayOn(id)) {
            heardOn.push_back(*device);
        } else {
            for (const auto& [linkID, link] : links) {
                const auto d = deviceIDs.find(link.inputNode);
                if (link.outputNode == id && d != deviceIDs.end()) heardOn.push_back(d->second);
            }
        }
        for (const AudioObjectID device : heardOn) {
            if (!std::ranges::count(process.devices, device)) process.devices.push_back(device);
        }
    }
    for (auto& [id, process] : v.processes) std::ranges::sort(process.devices);
    return v;
}

void State::refresh() {
    if (!connected || !synced) return;  // wait for the whole first picture
    // Processes: every process id with an audio stream; devices: every sink.
    std::set<ProcessID> pids;
    for (const auto& [id, node] : nodes) {
        if (node->mediaClass.starts_with("Stream/")) {
            if (const ProcessID pid = pidOfNode(*node); pid > 0) pids.insert(pid);
        }
    }
    std::erase_if(processIDs, [&](const auto& entry) { return !pids.contains(entry.first); });
    for (const ProcessID pid : pids) {
        if (!processIDs.contains(pid)) processIDs[pid] = nextID++;
    }
    std::set<std::uint32_t> sinks;
    for (const auto& [id, node] : nodes) {
        if (node->mediaClass == "Audio/Sink" && !node->name.empty()) sinks.insert(id);
    }
    std::vector<AudioObjectID> gone;
    std::erase_if(deviceIDs, [&](const auto& entry) {
        if (sinks.contains(entry.first)) return false;
        gone.push_back(entry.second);
        return true;
    });
    for (const std::uint32_t node : sinks) {
        if (!deviceIDs.contains(node)) deviceIDs[node] = nextID++;
    }

    View next = computeView();
    if (next.devices != view.devices) notify(hal::systemObject, sel::devices);
    for (const AudioObjectID device : gone) notify(device, sel::isAlive);
    if (next.defaultOutput != view.defaultOutput) {
        notify(hal::systemObject, sel::defaultOutputDevice);
    }
    bool listChanged = next.processes.size() != view.processes.size();
    for (const auto& [id, process] : next.processes) {
        const auto before = view.processes.find(id);
        if (before == view.processes.end()) {
            listChanged = true;
            continue;
        }
        if (before->second.runningOutput != process.runningOutput) {
            notify(id, sel::processIsRunningOutput);
        }
        if (before->second.runningInput != process.runningInput) {
            notify(id, sel::processIsRunningInput);
        }
        if (before->second.devices != process.devices) notify(id, sel::processDevices);
    }
    if (listChanged) notify(hal::systemObject, sel::processObjectList);
    view = std::move(next);
    engageReady();
}

void State::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
    for (const auto& listener : listeners) {
        if (listener->object != object || listener->address.selector != selector) continue;
        listener->queue->async(listener->delivery());
    }
}

OSStatus State::readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::span<const std::byte> qualifier, PropertyBytes& out) {
    const AudioObjectPropertySelector s = address.selector;
    const bool input = address.scope == hal::inputScope;
    const auto qualifierText = [&] {
        return std::string(reinterpret_cast<const char*>(qualifier.data()), qualifier.size());
    };

    if (object == hal::systemObject) {
        switch (s) {
            case sel::processObjectList: {
                std::vector<AudioObjectID> ids;
                for (const auto& [pid, id] : processIDs) ids.push_back(id);
                std::ranges::sort(ids);
                out = PropertyBytes::ids(ids);
                return hal::noError;
            }
            case sel::devices: {
                std::vector<AudioObjectID> ids = view.devices;
                for (const auto& [id, a] : aggregates) ids.push_back(id);
                out = PropertyBytes::ids(ids);
                return hal::noError;
            }
            case sel::defaultOutputDevice:
                out = PropertyBytes::of(view.defaultOutput);
                return hal::noError;
            case sel::translatePIDToProcessObject: {
                if (qualifier.size() != sizeof(ProcessID)) return hal::badPropertySizeError;
                ProcessID pid = 0;
                std::memcpy(&pid, qualifier.data(), sizeof pid);
                const auto found = processIDs.find(pid);
                out = PropertyBytes::of(found == processIDs.end() ? hal::unknownObject
                                                                  : found->second);
                return hal::noError;
            }
            case sel::translateUIDToDevice: {
                AudioObjectID found = hal::unknownObject;
                if (const NodeInfo* node = sinkNamed(qualifierText())) {
                    if (const auto d = deviceIDs.find(node->id); d != deviceIDs.end()) {
                        found = d->second;
                    }
                }
                for (const auto& [id, a] : aggregates) {
                    if (a.uid == qualifierText()) found = id;
                }
                out = PropertyBytes::of(found);
                return hal::noError;
            }
            case sel::translateUIDToTap: {
                AudioObjectID found = hal::unknownObject;
                for (const auto& [id, t] : taps) {
                    if (t.description.uuid == qualifierText()) found = id;
                }
                out = PropertyBytes::of(found);
                return hal::noError;
            }
            default:
                return hal::unknownPropertyError;
        }
    }

    for (const auto& [pid, id] : processIDs) {
        if (id != object) continue;
        const auto& p = view.processes[id];
        switch (s) {
            case sel::processPID:
                out = PropertyBytes::of(pid);
                return hal::noError;
            case sel::processBundleID: {
                const auto app = applicationOf(pid);
                out = PropertyBytes::text(app ? app->bundleID : std::string());
                return hal::noError;
            }
            case sel::processIsRunningOutput:
                out = PropertyBytes::of(std::uint32_t(p.runningOutput));
                return hal::noError;
            case sel::processIsRunningInput:
                out = PropertyBytes::of(std::uint32_t(p.runningInput));
                return hal::noError;
            case sel::processDevices:
                out = PropertyBytes::ids(input ? std::vector<AudioObjectID>{} : p.devices);
                return hal::noError;
            default:
                return hal::unknownPropertyError;
        }
    }

    if (const auto t = taps.find(object); t != taps.end()) {
        switch (s) {
            case sel::tapFormat:
                out = PropertyBytes::of(float32Stereo(rate));
                return hal::noError;
            case sel::deviceUID:
                out = PropertyBytes::text(t->second.description.uuid);
                return hal::noError;
            case sel::name:
                out = PropertyBytes::text(t->second.description.name);
                return hal::noError;
            default:
                return hal::unknownPropertyError;
        }
    }

    // Sinks and aggregates share their properties; an aggregate takes its
    // output from its sink and has one stereo input buffer per tap.
    const NodeInfo* device = sink(object);
    const AggregateObject* aggregate = nullptr;
    if (const auto a = aggregates.find(object); a != aggregates.end()) {
        aggregate = &a->second;
        device = aggregate->outputUID ? sinkNamed(*aggregate->outputUID) : nullptr;
    }
    if (!device && !aggregate) return hal::badObjectError;
    const double deviceRate = device && device->rate > 0 ? device->rate : rate;
    switch (s) {
        case sel::deviceUID:
            out = PropertyBytes::text(aggregate ? aggregate->uid : device->name);
            return hal::noError;
        case sel::name:
            out = PropertyBytes::text(aggregate                     ? aggregate->name
                                      : device->description.empty() ? device->name
                                                                    : device->description);
            return hal::noError;
        case sel::streamConfiguration: {
            std::vector<std::uint32_t> streams;
            if (input && aggregate) streams.assign(aggregate->taps.size(), 2);
            if (!input && device) streams.push_back(channelsOf(*device));
            out = PropertyBytes::layout(streams);
            return hal::noError;
        }
        case sel::nominalSampleRate:
            out = PropertyBytes::of(deviceRate);
            return hal::noError;
        case sel::bufferFrameSize:
            out = PropertyBytes::of(quantum);
            return hal::noError;
        case sel::latency:
        case sel::safetyOffset:
            out = PropertyBytes::of(std::uint32_t{0});
            return hal::noError;
        case sel::isHidden:
            out = PropertyBytes::of(std::uint32_t{0});
            return hal::noError;
        case sel::hogMode:
            out = PropertyBytes::of(ProcessID{-1});
            return hal::noError;
        case sel::isAlive:
            out = PropertyBytes::of(std::uint32_t{1});
            return hal::noError;
        default:
            return hal::unknownPropertyError;
    }
}

OSStatus PipeWireAudioSystem::getPropertyDataSize(AudioObjectID object,
                                                  const AudioObjectPropertyAddress& address,
                                                  std::span<const std::byte> qualifier,
                                                  std::uint32_t& outSize) {
    const LoopLock lock(state_->loop);
    PropertyBytes bytes;
    if (const OSStatus s = state_->readProperty(object, address, qualifier, bytes)) return s;
    outSize = static_cast<std::uint32_t>(bytes.data.size());
    return hal::noError;
}

OSStatus PipeWireAudioSystem::getPropertyData(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::span<const std::byte> qualifier,
                                              std::uint32_t& ioSize, void* outData) {
    const LoopLock lock(state_->loop);
    PropertyBytes bytes;
    if (const OSStatus s = state_->readProperty(object, address, qualifier, bytes)) return s;
    return bytes.copyTo(ioSize, outData);
}

// Sinks have no input streams, so there is nothing an IO procedure's stream
// usage could switch off; nothing else here is settable either.
OSStatus PipeWireAudioSystem::setPropertyData(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::span<const std::byte> qualifier, std::uint32_t,
                                              const void*) {
    const LoopLock lock(state_->loop);
    PropertyBytes ignored;
    const OSStatus exists = state_->readProperty(object, {hal::selector::name}, qualifier, ignored);
    if (exists == hal::badObjectError && object != hal::systemObject) return hal::badObjectError;
    (void)address;
    return hal::unsupportedOperationError;
}

OSStatus PipeWireAudioSystem::addPropertyListenerBlock(AudioObjectID object,
                                                       const AudioObjectPropertyAddress& address,
                                                       std::shared_ptr<DispatchQueue> queue,
                                                       ListenerBlock block) {
    if (!queue || !block) return hal::paramError;
    const LoopLock lock(state_->loop);
    State& s = *state_;
    const bool exists = object == hal::systemObject || s.view.processes.contains(object) ||
                        s.sink(object) || s.taps.contains(object) || s.aggregates.contains(object);
    if (!exists) return hal::badObjectError;
    s.listeners.push_back(
        std::make_shared<Listener>(Listener{object, address, std::move(queue), std::move(block)}));
    return hal::noError;
}

OSStatus PipeWireAudioSystem::removePropertyListenerBlock(AudioObjectID object,
                                                          const AudioObjectPropertyAddress& address,
                                                          std::shared_ptr<DispatchQueue> queue,
                                                          ListenerBlock block) {
    std::shared_ptr<Listener> removed;
    {
        const LoopLock lock(state_->loop);
        auto& listeners = state_->listeners;
        const auto found = std::ranges::find_if(
            listeners, [&](const auto& l) { return l->names(object, address, queue, block); });
        if (found == listeners.end()) return hal::illegalOperationError;
        removed = *found;
        listeners.erase(found);
    }
    removed->retire();  // waits for a call in progress
    return hal::noError;
}

}  // namespace sonvel::pw
