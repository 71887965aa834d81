// Which application streams move into our captures, and when: make before
// break, new streams at their level, the user's own routing, and the journal
// that keeps it through a crash.

#include <fmt/format.h>
#include <spa/param/props.h>
#include <spa/pod/builder.h>

#include <algorithm>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

using State = PipeWireAudioSystem::State;

bool State::covers(const TapObject& tap, const NodeInfo& node) const {
    if (node.mediaClass != "Stream/Output/Audio") return false;
    if (tap.description.kind != TapDescription::Kind::stereoMixdownOfProcesses) return false;
    const ProcessID pid = pidOfNode(node);
    if (pid <= 0 || pid == ownPID) return false;
    if (tap.pids.contains(pid)) return true;
    const auto app = applicationOf(pid);
    if (!app || app->bundleID.empty()) return false;
    return std::ranges::count(tap.description.bundleIDs, app->bundleID) > 0;
}

// A target names a sink by node name or serial, or (typed Spa:Id, as
// pipewire-pulse writes it) by node id.
const NodeInfo* State::sinkTargeted(const Target& target) const {
    if (!target.value) return nullptr;
    const std::string& v = *target.value;
    const bool byID = target.type == "Spa:Id";
    for (const auto& [id, node] : nodes) {
        if (node->mediaClass != "Audio/Sink") continue;
        if (byID ? std::to_string(id) == v : (node->name == v || node->serial == v))
            return node.get();
    }
    return nullptr;
}

bool State::routedElsewhere(const NodeInfo& node) const {
    Target target{node.ownTarget.empty() ? std::nullopt : std::optional(node.ownTarget), {}};
    if (const auto t = targets.find(node.id); t != targets.end() && t->second.value) {
        target = t->second;
    }
    if (!target.value || target.value->starts_with(ownNodePrefix)) return false;
    const NodeInfo* sink = sinkTargeted(target);
    return sink && sink->name != defaultSinkName;
}
void State::setTarget(std::uint32_t subject, const std::optional<std::string>& value,
                      const std::string& type) {
    if (!metadata) return;
    written[subject].push_back(value);
    pw_metadata_set_property(reinterpret_cast<pw_metadata*>(metadata), subject, "target.object",
                             value ? (type.empty() ? "Spa:String" : type.c_str()) : nullptr,
                             value ? value->c_str() : nullptr);
}

bool State::isReady(const IOState& io) const {
    const auto named = [&](const std::string& name) -> const NodeInfo* {
        for (const auto& [id, node] : nodes) {
            if (node->name == name) return node.get();
        }
        return nullptr;
    };
    const NodeInfo* capture = named(io.captureName);
    if (!capture || capture->state < PW_NODE_STATE_IDLE) return false;
    if (!io.playback) return true;
    const NodeInfo* playback = named(io.playbackName);
    const NodeInfo* sink = sinkNamed(io.sinkName);
    if (!playback || !sink) return false;
    return std::ranges::any_of(links, [&](const auto& l) {
        return l.second.outputNode == playback->id && l.second.inputNode == sink->id;
    });
}

void State::engageReady() {
    for (auto& [id, a] : aggregates) {
        if (!a.io || a.io->ready || !isReady(*a.io)) continue;
        a.io->ready = true;
        for (const AudioObjectID tap : a.taps) engage(tap);
    }
}

void State::engage(AudioObjectID tapID) {
    const auto t = taps.find(tapID);
    if (t == taps.end() || t->second.description.muteBehavior == TapDescription::unmuted) return;
    const auto a = aggregates.find(t->second.aggregate);
    if (a == aggregates.end() || !a->second.io) return;
    const IOState& io = *a->second.io;
    for (const auto& [id, node] : nodes) {
        if (!covers(t->second, *node)) continue;
        const auto ours = moved.find(id);
        if (ours != moved.end() && std::ranges::count(ours->second.taps, tapID)) continue;
        // A stream another of our captures holds moves only once this one can
        // take it in the same cycle; until then the old engine keeps it.
        if (ours != moved.end() && !ours->second.taps.empty() && !io.ready) continue;
        if (ours == moved.end() && routedElsewhere(*node)) continue;
        auto [entry, first] = moved.try_emplace(id);
        if (first) {
            const auto before = targets.find(id);
            if (before != targets.end() && before->second.value &&
                !before->second.value->starts_with(ownNodePrefix)) {
                entry->second.original = before->second;
            }
        }
        entry->second.taps.push_back(tapID);
        if (first) journalTarget(id, &entry->second.original);
        setTarget(id, io.captureName, {});
    }
}

void State::journalTarget(std::uint32_t node, const Target* original) {
    const auto n = nodes.find(node);
    if (!journal || n == nodes.end() || n->second->serial.empty()) return;
    const auto kept = original ? journal->remember(n->second->serial,
                                                   {original->value, original->type, std::nullopt})
                               : journal->forget(n->second->serial);
    // A stream is still moved and given back while we run; only a crash
    // would lose its target, so this is said, not refused.
    if (!kept) fmt::print(stderr, "sonvel: {}\n", kept.error());
}

void State::userMoved(std::uint32_t subject) {
    // Their choice stands: we let the stream go without writing anything,
    // and it is heard where they sent it, at its own level.
    moved.erase(subject);
    journalTarget(subject, nullptr);
    refresh();
}

void State::release(AudioObjectID tapID) {
    for (auto entry = moved.begin(); entry != moved.end();) {
        auto& wanting = entry->second.taps;
        const bool newest = !wanting.empty() && wanting.back() == tapID;
        std::erase(wanting, tapID);
        if (wanting.empty()) {
            setTarget(entry->first, entry->second.original.value, entry->second.original.type);
            journalTarget(entry->first, nullptr);
            entry = moved.erase(entry);
            continue;
        }
        if (newest) {
            // An older tap still wants it: hand the stream back to that one.
            const auto t = taps.find(wanting.back());
            const auto a =
                t == taps.end() ? aggregates.end() : aggregates.find(t->second.aggregate);
            if (a != aggregates.end() && a->second.io) {
                setTarget(entry->first, a->second.io->captureName, {});
            }
        }
        ++entry;
    }
}

void State::engageNewStream(const NodeInfo& node) {
    if (node.mediaClass != "Stream/Output/Audio") return;
    for (const auto& [id, tap] : taps) {
        if (covers(tap, node)) engage(id);
    }
}

namespace {
void onLowerTimer(void* data, std::uint64_t) {
    static_cast<State*>(data)->restoreLowered(false);
}
}  // namespace

void State::setVolume(const NodeInfo& node, float volume) {
    std::uint8_t storage[128];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const auto* props = static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_Props, SPA_PARAM_Props, SPA_PROP_volume, SPA_POD_Float(volume)));
    pw_node_set_param(reinterpret_cast<pw_node*>(node.proxy), SPA_PARAM_Props, 0, props);
}

void State::lowerNewStream(const NodeInfo& node) {
    if (node.mediaClass != "Stream/Output/Audio" || moved.contains(node.id) ||
        lowered.contains(node.id)) {
        return;
    }
    const ProcessID pid = pidOfNode(node);
    const auto app = pid > 0 && pid != ownPID ? applicationOf(pid) : std::nullopt;
    const auto gain = app ? expected.find(app->bundleID) : expected.end();
    if (gain == expected.end() || routedElsewhere(node)) return;
    // Kept in the journal first: the session manager remembers a stream's
    // volume, and a crash before it is given back must not leave it lowered.
    if (journal && !node.serial.empty()) {
        const auto t = targets.find(node.id);
        const Target current = t == targets.end() ? Target{} : t->second;
        (void)journal->remember(node.serial, {current.value, current.type, std::vector{1.0f}});
    }
    setVolume(node, gain->second);
    lowered.insert_or_assign(node.id, Lowered{std::chrono::steady_clock::now(), gain->second});
    if (!lowerTimer) {
        lowerTimer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), onLowerTimer, this);
    }
    timespec every{};
    every.tv_nsec = std::chrono::nanoseconds(lowerLimit / 4).count();
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), lowerTimer, &every, &every, false);
}

void State::keepLowered(const NodeInfo& node) {
    if (const auto l = lowered.find(node.id); l != lowered.end()) setVolume(node, l->second.gain);
}

void State::linked(const Link& link) {
    const auto into = nodes.find(link.inputNode);
    // Someone moved a stream we hold or want, and the metadata event that
    // says so may never come.
    if (into != nodes.end() && !into->second->name.starts_with(ownNodePrefix)) {
        const auto from = nodes.find(link.outputNode);
        const bool wanted = from != nodes.end() && std::ranges::any_of(taps, [&](const auto& t) {
                                return covers(t.second, *from->second);
                            });
        if (moved.contains(link.outputNode) || wanted) checkMetadata();
    }
    if (!lowered.contains(link.outputNode)) return;
    const std::string ours = fmt::format("{}tap.{}.", ownNodePrefix, ownPID);
    if (into == nodes.end() || !into->second->name.starts_with(ours)) return;
    if (const auto n = nodes.find(link.outputNode); n != nodes.end()) setVolume(*n->second, 1.0f);
    lowered.erase(link.outputNode);
    // The engine's own entry (its target) stands; it no longer needs the volume.
    if (const auto m = moved.find(link.outputNode); m != moved.end()) {
        journalTarget(link.outputNode, &m->second.original);
    }
}

void State::restoreLowered(bool all) {
    const auto now = std::chrono::steady_clock::now();
    for (auto l = lowered.begin(); l != lowered.end();) {
        if (!all && now - l->second.since < lowerLimit) {
            ++l;
            continue;
        }
        if (const auto n = nodes.find(l->first); n != nodes.end()) setVolume(*n->second, 1.0f);
        if (!moved.contains(l->first)) journalTarget(l->first, nullptr);
        l = lowered.erase(l);
    }
    if (lowered.empty() && lowerTimer) {
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), lowerTimer, nullptr, nullptr, false);
    }
}

void State::metadataProperty(std::uint32_t subject, const char* key, const char* type,
                             const char* value) {
    if (!key) {  // everything about the subject was cleared
        targets.erase(subject);
        return;
    }
    const std::string_view k(key);
    if (subject == PW_ID_CORE && k == "default.audio.sink") {
        defaultSinkName = sinkNameIn(value);
        refresh();
        return;
    }
    if (k != "target.object") return;
    const std::optional<std::string> now =
        value ? std::optional<std::string>(value) : std::optional<std::string>();
    bool echo = false;
    if (const auto mine = written.find(subject); mine != written.end()) {
        auto& pending = mine->second;
        const auto at = std::ranges::find(pending, now);
        echo = at != pending.end();
        if (echo) pending.erase(pending.begin(), at + 1);
        if (pending.empty()) written.erase(mine);
    }
    if (value) {
        targets[subject] = Target{std::string(value), type ? std::string(type) : std::string()};
    } else {
        targets.erase(subject);
    }
    if (!echo && moved.contains(subject) && !(now && now->starts_with(ownNodePrefix))) {
        userMoved(subject);
    } else if (!echo && !moved.contains(subject)) {
        // Sent back to the default output: an engine that started while the
        // stream still played elsewhere left it out.
        if (const auto n = nodes.find(subject); n != nodes.end()) engageNewStream(*n->second);
    }
    if (!value) return;
    // A killed Sonvel leaves streams aimed at nodes that are gone, which the
    // session manager would keep looking for. Our own entries are never
    // stale: an event about one may still be on its way after we changed it.
    const std::string_view v(value);
    const std::string ours = fmt::format("{}tap.{}.", ownNodePrefix, ownPID);
    const bool exists =
        std::ranges::any_of(nodes, [&](const auto& n) { return n.second->name == v; });
    if (v.starts_with(ownNodePrefix) && !v.starts_with(ours) && !exists) {
        // The user's own choice, if the journal kept one, else nothing.
        const auto n = nodes.find(subject);
        const auto saved =
            n == nodes.end() || !journal ? std::nullopt : journal->saved(n->second->serial);
        if (saved) {
            setTarget(subject, saved->target, saved->type);
        } else {
            setTarget(subject, std::nullopt, {});
        }
        journalTarget(subject, nullptr);
    }
}

}  // namespace sonvel::pw
