// The session manager's "default" metadata: the default output and each
// stream's target.object, bound once for its events and read whole again
// every second.
//
// Why read it again: while any binding waits for the session manager's answer
// to the server's ping, the server passes a change on to that binding alone.
// A pactl move is written in its own binding's wait, so no other client ever
// hears of it; and a client that leaves during its wait never stops waiting,
// after which, until the session manager restarts, no client hears of any
// change. A fresh binding still receives the whole metadata.

#include <nlohmann/json.hpp>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

namespace {

using State = PipeWireAudioSystem::State;

constexpr std::chrono::milliseconds checkEvery{1000};

const pw_metadata_events metadataEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = [](void* data, std::uint32_t subject, const char* key, const char* type,
                    const char* value) -> int {
        static_cast<State*>(data)->metadataProperty(subject, key, type, value);
        return 0;
    };
    return e;
}();

const pw_metadata_events checkEvents = [] {
    pw_metadata_events e{};
    e.version = PW_VERSION_METADATA_EVENTS;
    e.property = [](void* data, std::uint32_t subject, const char* key, const char* type,
                    const char* value) -> int {
        auto& read = static_cast<State*>(data)->metadataCheck->read;
        if (!key) {
            std::erase_if(read, [&](const auto& entry) { return entry.first.first == subject; });
        } else if (const std::string_view k(key);
                   k == "target.object" || (subject == PW_ID_CORE && k == "default.audio.sink")) {
            Target& entry = read[{subject, std::string(k)}];
            entry.value = value ? std::optional<std::string>(value) : std::nullopt;
            entry.type = type ? type : "";
        }
        return 0;
    };
    return e;
}();

void onCheckTimer(void* data, std::uint64_t) {
    static_cast<State*>(data)->checkMetadata();
}

}  // namespace

std::string sinkNameIn(const char* value) {
    // {"name":"…"}; anything else names no sink.
    const auto parsed = nlohmann::json::parse(value ? value : "", nullptr, false);
    if (parsed.is_object() && parsed.contains("name") && parsed["name"].is_string()) {
        return parsed["name"].get<std::string>();
    }
    return {};
}

void State::bindMetadata(std::uint32_t id) {
    metadata = static_cast<pw_proxy*>(
        pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!metadata) return;
    metadataID = id;
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(metadata), &metadataHook,
                             &metadataEvents, this);
    if (!metadataTimer) {
        metadataTimer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), onCheckTimer, this);
    }
    timespec every{};
    every.tv_sec = checkEvery.count() / 1000;
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), metadataTimer, &every, &every, false);
}

void State::unbindMetadata() {
    if (metadataCheck) {
        spa_hook_remove(&metadataCheck->hook);
        pw_proxy_destroy(metadataCheck->proxy);
        metadataCheck.reset();
    }
    if (metadata) {
        spa_hook_remove(&metadataHook);
        pw_proxy_destroy(metadata);
        metadata = nullptr;
    }
    if (metadataTimer) {
        pw_loop_update_timer(pw_thread_loop_get_loop(loop), metadataTimer, nullptr, nullptr, false);
    }
}

void State::checkMetadata() {
    if (!metadata || !synced) return;
    if (metadataCheck) {
        metadataRecheck = true;
        return;
    }
    auto* proxy = static_cast<pw_proxy*>(
        pw_registry_bind(registry, metadataID, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
    if (!proxy) return;
    metadataCheck = std::make_unique<MetadataCheck>();
    metadataCheck->proxy = proxy;
    pw_metadata_add_listener(reinterpret_cast<pw_metadata*>(proxy), &metadataCheck->hook,
                             &checkEvents, this);
    // The server holds our requests until the session manager has answered
    // for the binding, so this round trip ends after the whole metadata.
    metadataCheck->seq = pw_core_sync(core, PW_ID_CORE, 0);
}

void State::metadataChecked() {
    const auto check = std::move(metadataCheck);
    spa_hook_remove(&check->hook);
    pw_proxy_destroy(check->proxy);
    const auto apply = [&](std::uint32_t subject, const char* key, const Target& entry) {
        metadataProperty(subject, key, entry.value ? entry.type.c_str() : nullptr,
                         entry.value ? entry.value->c_str() : nullptr);
    };
    const auto read = [&](std::uint32_t subject, const std::string& key) {
        const auto found = check->read.find({subject, key});
        return found == check->read.end() ? Target{} : found->second;
    };
    if (const Target sink = read(PW_ID_CORE, "default.audio.sink");
        sinkNameIn(sink.value ? sink.value->c_str() : nullptr) != defaultSinkName) {
        apply(PW_ID_CORE, "default.audio.sink", sink);
    }
    std::set<std::uint32_t> subjects;
    for (const auto& [subject, target] : targets) subjects.insert(subject);
    for (const auto& [entry, target] : check->read) {
        if (entry.second == "target.object") subjects.insert(entry.first);
    }
    for (const std::uint32_t subject : subjects) {
        const Target now = read(subject, "target.object");
        const auto known = targets.find(subject);
        const bool same = known == targets.end()
                              ? !now.value
                              : known->second.value == now.value && known->second.type == now.type;
        if (!same) apply(subject, "target.object", now);
    }
    if (std::exchange(metadataRecheck, false)) checkMetadata();
}

}  // namespace sonvel::pw
