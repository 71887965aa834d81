// The connection to the server: the core, its registry, the objects the seam
// mirrors, and reconnecting after the server went away.

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

namespace {

using State = PipeWireAudioSystem::State;

std::string text(const spa_dict* props, const char* key) {
    const char* value = props ? spa_dict_lookup(props, key) : nullptr;
    return value ? std::string(value) : std::string();
}

long number(const spa_dict* props, const char* key, long fallback) {
    const std::string value = text(props, key);
    if (value.empty()) return fallback;
    char* end = nullptr;
    const long parsed = std::strtol(value.c_str(), &end, 10);
    return end && *end == '\0' ? parsed : fallback;
}

// "[ FL FR ]", "FL,FR" and "FL FR" alike.
std::vector<std::string> positionList(const std::string& list) {
    std::vector<std::string> out;
    std::string current;
    for (const char c : list + " ") {
        if (c == ' ' || c == ',' || c == '[' || c == ']') {
            if (!current.empty()) out.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    return out;
}

// PulseAudio programs reach the server through pipewire-pulse, whose own pid
// the kernel reports for all of them: only then is the self-reported pid the
// better one.
ProcessID clientPID(const spa_dict* props) {
    const bool viaPulse = text(props, PW_KEY_CLIENT_API) == "pipewire-pulse";
    const long kernel = number(props, PW_KEY_SEC_PID, -1);
    const long reported = number(props, PW_KEY_APP_PROCESS_ID, -1);
    if (viaPulse && reported > 0) return ProcessID(reported);
    return ProcessID(kernel > 0 ? kernel : reported);
}

std::string executableName(ProcessID pid) {
    char path[4096];
    const std::string link = fmt::format("/proc/{}/exe", pid);
    const ssize_t n = ::readlink(link.c_str(), path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string full(path, std::size_t(n));
    return full.substr(full.rfind('/') + 1);
}

// PulseAudio's spelling first: pipewire-pulse passes its clients' keys on.
std::string iconName(const spa_dict* props) {
    std::string name = text(props, "application.icon_name");
    return name.empty() ? text(props, PW_KEY_APP_ICON_NAME) : name;
}

void applyClientProps(ClientInfo& client, const spa_dict* props) {
    if (!props) return;
    if (const ProcessID pid = clientPID(props); pid > 0) client.pid = pid;
    auto& app = client.application;
    app.pid = client.pid;
    if (auto name = text(props, PW_KEY_APP_NAME); !name.empty()) app.name = std::move(name);
    if (auto id = text(props, PW_KEY_APP_ID); !id.empty()) app.bundleID = app.id = std::move(id);
    if (auto icon = iconName(props); !icon.empty()) app.iconName = std::move(icon);
    std::string binary = text(props, PW_KEY_APP_PROCESS_BINARY);
    if (binary.empty() && client.pid > 0) binary = executableName(client.pid);
    if (!binary.empty()) app.binary = binary;
    if (app.name.empty()) app.name = std::move(binary);
    if (text(props, "wireplumber.daemon") == "true") client.sessionManager = true;
    if (auto version = text(props, PW_KEY_APP_VERSION); !version.empty()) {
        client.version = std::move(version);
    }
}

void applyNodeProps(NodeInfo& node, const spa_dict* props) {
    if (!props) return;
    if (auto v = text(props, PW_KEY_MEDIA_CLASS); !v.empty()) node.mediaClass = std::move(v);
    if (auto v = text(props, PW_KEY_NODE_NAME); !v.empty()) node.name = std::move(v);
    if (auto v = text(props, PW_KEY_NODE_DESCRIPTION); !v.empty()) node.description = std::move(v);
    if (auto v = text(props, PW_KEY_OBJECT_SERIAL); !v.empty()) node.serial = std::move(v);
    if (auto v = text(props, PW_KEY_TARGET_OBJECT); !v.empty()) node.ownTarget = std::move(v);
    if (auto v = text(props, PW_KEY_APP_NAME); !v.empty()) node.applicationName = std::move(v);
    if (auto v = iconName(props); !v.empty()) node.applicationIcon = std::move(v);
    if (const long id = number(props, PW_KEY_CLIENT_ID, 0); id > 0) {
        node.clientID = std::uint32_t(id);
    }
    if (auto v = text(props, SPA_KEY_AUDIO_POSITION); !v.empty()) node.positions = positionList(v);
    if (const long c = number(props, SPA_KEY_AUDIO_CHANNELS, 0); c > 0) {
        node.channels = std::uint32_t(c);
    }
    if (const long r = number(props, SPA_KEY_AUDIO_RATE, 0); r > 0) node.rate = double(r);
}

bool mirrored(const std::string& mediaClass) {
    return mediaClass == "Audio/Sink" || mediaClass == "Stream/Output/Audio" ||
           mediaClass == "Stream/Input/Audio";
}

const pw_client_events clientEvents = [] {
    pw_client_events e{};
    e.version = PW_VERSION_CLIENT_EVENTS;
    e.info = [](void* data, const pw_client_info* info) {
        auto* client = static_cast<ClientInfo*>(data);
        applyClientProps(*client, info->props);
        client->owner->refresh();
    };
    return e;
}();

const pw_node_events nodeEvents = [] {
    pw_node_events e{};
    e.version = PW_VERSION_NODE_EVENTS;
    e.info = [](void* data, const pw_node_info* info) {
        auto* node = static_cast<NodeInfo*>(data);
        node->state = info->state;
        applyNodeProps(*node, info->props);
        if (info->change_mask & PW_NODE_CHANGE_MASK_STATE) node->owner->keepLowered(*node);
        node->owner->engageNewStream(*node);
        // The global does not carry the stream's application.name, which
        // can make it another application; its first info does.
        if (!std::exchange(node->described, true)) node->owner->lowerNewStream(*node);
        node->owner->refresh();
    };
    return e;
}();

const pw_registry_events registryEvents = [] {
    pw_registry_events e{};
    e.version = PW_VERSION_REGISTRY_EVENTS;
    e.global = [](void* data, std::uint32_t id, std::uint32_t, const char* type, std::uint32_t,
                  const spa_dict* props) { static_cast<State*>(data)->addGlobal(id, type, props); };
    e.global_remove = [](void* data, std::uint32_t id) {
        static_cast<State*>(data)->removeGlobal(id);
    };
    return e;
}();

const pw_core_events coreEvents = [] {
    pw_core_events e{};
    e.version = PW_VERSION_CORE_EVENTS;
    e.info = [](void* data, const pw_core_info* info) {
        auto* s = static_cast<State*>(data);
        if (info->version) s->serverVersion = info->version;
        if (const long r = number(info->props, "default.clock.rate", 0); r > 0) s->rate = double(r);
        if (const long q = number(info->props, "default.clock.quantum", 0); q > 0) {
            s->quantum = std::uint32_t(q);
        }
    };
    e.done = [](void* data, std::uint32_t id, int seq) {
        auto* s = static_cast<State*>(data);
        if (id != PW_ID_CORE) return;
        if (s->metadataCheck && seq == s->metadataCheck->seq) s->metadataChecked();
        if (seq == s->waitSeq) {
            s->waitDone = true;
            pw_thread_loop_signal(s->loop, false);
        }
        if (seq != s->syncSeq || s->synced) return;
        s->synced = true;
        if (s->journal) {
            std::set<std::string> live;
            for (const auto& [nid, node] : s->nodes) {
                live.insert(node->serial);
                // A Sonvel that died while a stream played by its own lowered
                // volume: give the volume back.
                const auto saved = s->journal->saved(node->serial);
                if (saved && saved->volumes && s->journal->writerIsGone()) {
                    s->setVolume(*node, 1.0f);
                }
            }
            (void)s->journal->prune(live);
        }
        // The restart first, so that listeners forget the old server's
        // objects before they hear what the new one has.
        if (s->restarted) {
            s->restarted = false;
            s->notify(hal::systemObject, hal::selector::serviceRestarted);
        }
        s->refresh();
    };
    e.error = [](void* data, std::uint32_t id, int, int res, const char*) {
        // The server went away (or refused us): everything made on it is gone.
        if (id != PW_ID_CORE || res != -EPIPE) return;
        auto* s = static_cast<State*>(data);
        s->broken = true;
        s->scheduleReconnect({});
        pw_thread_loop_signal(s->loop, false);
    };
    return e;
}();

void onReconnectTimer(void* data, std::uint64_t) {
    auto* s = static_cast<State*>(data);
    if (s->closing) return;
    if (s->connected) s->disconnectCore();
    if (!s->connectCore()) s->scheduleReconnect(s->options.reconnectInterval);
}

}  // namespace

bool State::connectCore() {
    pw_properties* props = pw_properties_new(PW_KEY_APP_NAME, options.clientName.c_str(), nullptr);
    core = pw_context_connect(context, props, 0);
    if (!core) return false;
    connected = true;
    broken = false;
    synced = false;
    pw_core_add_listener(core, &coreHook, &coreEvents, this);
    registry = pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
    pw_registry_add_listener(registry, &registryHook, &registryEvents, this);
    syncSeq = pw_core_sync(core, PW_ID_CORE, 0);
    return true;
}

void State::disconnectCore() {
    // Our streams died with the server: stop the procedures, then forget
    // every object made there, so their UIDs no longer resolve.
    for (auto& [id, a] : aggregates) stopIO(a);
    aggregates.clear();
    taps.clear();
    moved.clear();
    lowered.clear();
    targets.clear();
    written.clear();
    for (auto& [id, c] : clients) {
        spa_hook_remove(&c->hook);
        pw_proxy_destroy(c->proxy);
    }
    for (auto& [id, n] : nodes) {
        spa_hook_remove(&n->hook);
        pw_proxy_destroy(n->proxy);
    }
    clients.clear();
    nodes.clear();
    links.clear();
    defaultSinkName.clear();
    unbindMetadata();
    spa_hook_remove(&registryHook);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
    registry = nullptr;
    spa_hook_remove(&coreHook);
    pw_core_disconnect(core);
    core = nullptr;
    connected = false;
    synced = false;
    restarted = true;
    // A new server numbers everything afresh. Nothing is announced until it
    // answers: the restart notice then tells listeners everything changed.
    processIDs.clear();
    deviceIDs.clear();
    view = {};
}

bool State::roundTrip(std::chrono::milliseconds timeout) {
    if (!core) return false;
    waitSeq = pw_core_sync(core, PW_ID_CORE, 0);
    waitDone = false;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!waitDone && !broken) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        pw_thread_loop_timed_wait(loop, 1);
    }
    return waitDone;
}

void State::scheduleReconnect(std::chrono::milliseconds delay) {
    if (!reconnectTimer) {
        reconnectTimer = pw_loop_add_timer(pw_thread_loop_get_loop(loop), onReconnectTimer, this);
    }
    timespec when{};
    const auto ns = std::max<long long>(1, std::chrono::nanoseconds(delay).count());
    when.tv_sec = static_cast<time_t>(ns / 1000000000);
    when.tv_nsec = static_cast<long>(ns % 1000000000);
    pw_loop_update_timer(pw_thread_loop_get_loop(loop), reconnectTimer, &when, nullptr, false);
}

void State::addGlobal(std::uint32_t id, const char* type, const spa_dict* props) {
    const std::string_view kind(type);
    if (kind == PW_TYPE_INTERFACE_Client) {
        auto client = std::make_unique<ClientInfo>();
        client->owner = this;
        client->id = id;
        applyClientProps(*client, props);
        client->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT, 0));
        if (!client->proxy) return;
        pw_proxy_add_object_listener(client->proxy, &client->hook, &clientEvents, client.get());
        clients[id] = std::move(client);
    } else if (kind == PW_TYPE_INTERFACE_Node) {
        if (!mirrored(text(props, PW_KEY_MEDIA_CLASS))) return;
        auto node = std::make_unique<NodeInfo>();
        node->owner = this;
        node->id = id;
        applyNodeProps(*node, props);
        node->proxy = static_cast<pw_proxy*>(
            pw_registry_bind(registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
        if (!node->proxy) return;
        pw_proxy_add_object_listener(node->proxy, &node->hook, &nodeEvents, node.get());
        const NodeInfo& added = *(nodes[id] = std::move(node));
        // The session manager links a new stream 3–7 ms after this event; a
        // target set now, from the global's own properties, wins that race,
        // so a stream of a controlled application is never heard unchanged.
        engageNewStream(added);
        lowerNewStream(added);
        refresh();
    } else if (kind == PW_TYPE_INTERFACE_Link) {
        links[id] = Link{std::uint32_t(number(props, PW_KEY_LINK_OUTPUT_NODE, 0)),
                         std::uint32_t(number(props, PW_KEY_LINK_INPUT_NODE, 0))};
        linked(links[id]);
        refresh();
    } else if (kind == PW_TYPE_INTERFACE_Metadata) {
        if (text(props, PW_KEY_METADATA_NAME) == "default" && !metadata) bindMetadata(id);
    }
}

void State::removeGlobal(std::uint32_t id) {
    if (const auto c = clients.find(id); c != clients.end()) {
        spa_hook_remove(&c->second->hook);
        pw_proxy_destroy(c->second->proxy);
        clients.erase(c);
    } else if (const auto n = nodes.find(id); n != nodes.end()) {
        spa_hook_remove(&n->second->hook);
        pw_proxy_destroy(n->second->proxy);
        // A stream that ended has no target left to give back.
        if (moved.contains(id) || lowered.contains(id)) journalTarget(id, nullptr);
        nodes.erase(n);
        moved.erase(id);
        lowered.erase(id);
        targets.erase(id);
        written.erase(id);
    } else if (metadata && id == metadataID) {
        // The session manager restarted: its next metadata replaces this one.
        unbindMetadata();
        return;
    } else if (!links.erase(id)) {
        return;
    }
    refresh();
}

PipeWireAudioSystem::PipeWireAudioSystem(std::unique_ptr<State> state) : state_(std::move(state)) {}

}  // namespace sonvel::pw
