#include "support/PipeWireServer.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numbers>
#include <optional>
#include <thread>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw-types.h>
#include <nlohmann/json.hpp>

#include "platform/sim/SpeakerAnalysis.hpp"

namespace sonvel::pwtest {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::uint32_t kRate = 48000;
constexpr auto kReadyTimeout = 10s;
constexpr std::uint32_t kSoundSeconds = 60;  // longer than any test plays one sound

// Priorities make sonvel-test-a the default output whatever the node order.
// paplay asks for 8192 frames of latency: the cap keeps a graph cycle at
// 1024 frames whichever clients play.
constexpr std::string_view kSinksConf = R"(context.properties = { default.clock.max-quantum = 1024 }
context.objects = [
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "sonvel-test-a"
      node.description = "Test Speakers A" media.class = "Audio/Sink" audio.position = [ FL FR ]
      monitor.channel-volumes = true priority.session = 2000 } }
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "sonvel-test-b"
      node.description = "Test Speakers B" media.class = "Audio/Sink" audio.position = [ FL FR ]
      priority.session = 1500 } }
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "sonvel-test-mono"
      node.description = "Test Mono" media.class = "Audio/Sink" audio.position = [ MONO ]
      priority.session = 1000 } }
]
)";

// --- child processes -------------------------------------------------------

// Starts `argv` with stdout and stderr in `log`. The error is the errno of a
// failed exec, so "not installed" can be told apart.
std::expected<pid_t, int> spawn(const std::vector<std::string>& argv, const fs::path& log) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    int report[2];
    if (out < 0 || in < 0 || ::pipe2(report, O_CLOEXEC) != 0) {
        const int error = errno;
        if (out >= 0) ::close(out);
        if (in >= 0) ::close(in);
        return std::unexpected(error);
    }
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec: other threads may hold locks.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(127);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execvp(args[0], args.data());
        const int error = errno;
        [[maybe_unused]] auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(out);
    ::close(in);
    ::close(report[1]);
    if (pid < 0) {
        ::close(report[0]);
        return std::unexpected(forkError);
    }
    int execError = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &execError, sizeof execError);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    if (got == static_cast<ssize_t>(sizeof execError)) {
        ::waitpid(pid, nullptr, 0);
        return std::unexpected(execError);
    }
    return pid;
}

int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

// Exit status if the child has exited (and is now reaped); -1 if it is
// not a child of ours, so it is never signalled: its id may be reused.
std::optional<int> exited(pid_t pid) {
    int status = 0;
    const pid_t waited = ::waitpid(pid, &status, WNOHANG);
    if (waited == pid) return decode(status);
    if (waited < 0 && errno == ECHILD) return -1;
    return std::nullopt;
}

int stopProcess(pid_t pid, std::chrono::milliseconds grace = 3s) {
    if (auto status = exited(pid)) return *status;
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + grace;
    while (Clock::now() < deadline) {
        if (auto status = exited(pid)) return *status;
        std::this_thread::sleep_for(5ms);
    }
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return decode(status);
}

std::string lastLine(const fs::path& log) {
    std::ifstream in(log);
    std::string line, last;
    while (std::getline(in, line)) {
        if (!line.empty()) last = line;
    }
    return last;
}

// --- libpipewire clients ---------------------------------------------------

// libpipewire's method macros expand to C casts; they stay in these wrappers.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
void listen(pw_core* core, spa_hook* hook, const pw_core_events* events, void* data) {
    pw_core_add_listener(core, hook, events, data);
}
void listen(pw_registry* registry, spa_hook* hook, const pw_registry_events* events, void* data) {
    pw_registry_add_listener(registry, hook, events, data);
}
void listen(pw_metadata* metadata, spa_hook* hook, const pw_metadata_events* events, void* data) {
    pw_metadata_add_listener(metadata, hook, events, data);
}
int roundTrip(pw_core* core) {
    return pw_core_sync(core, PW_ID_CORE, 0);
}
#pragma GCC diagnostic pop

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// A connection served by its own thread; callbacks run on that thread with
// the loop's lock held, so the test thread takes the lock to touch state.
class Connection {
  public:
    static std::expected<std::unique_ptr<Connection>, std::string> open() {
        initPipeWire();
        auto connection = std::unique_ptr<Connection>(new Connection());
        connection->loop_ = pw_thread_loop_new("sonvel-pwtest", nullptr);
        connection->context_ =
            pw_context_new(pw_thread_loop_get_loop(connection->loop_), nullptr, 0);
        if (connection->context_ == nullptr) return std::unexpected("no PipeWire context");
        if (pw_thread_loop_start(connection->loop_) != 0) return std::unexpected("no loop thread");
        pw_thread_loop_lock(connection->loop_);
        connection->core_ = pw_context_connect(connection->context_, nullptr, 0);
        const int error = errno;
        if (connection->core_ != nullptr) {
            static const pw_core_events events = {
                .version = PW_VERSION_CORE_EVENTS,
                .done = onDone,
                .error = onError,
            };
            listen(connection->core_, &connection->coreListener_, &events, connection.get());
        }
        pw_thread_loop_unlock(connection->loop_);
        if (connection->core_ == nullptr) {
            return std::unexpected(std::string("cannot connect: ") + std::strerror(error));
        }
        return connection;
    }

    ~Connection() {
        if (loop_ != nullptr) pw_thread_loop_stop(loop_);
        if (core_ != nullptr) {
            spa_hook_remove(&coreListener_);
            pw_core_disconnect(core_);
        }
        if (context_ != nullptr) pw_context_destroy(context_);
        if (loop_ != nullptr) pw_thread_loop_destroy(loop_);
    }

    pw_thread_loop* loop() const { return loop_; }
    pw_core* core() const { return core_; }
    bool lost() const { return lost_; }

    // With the lock held: waits until `done` holds, the connection breaks or
    // the deadline passes.
    template <typename Done>
    bool waitLocked(Done done, std::chrono::milliseconds timeout) {
        timespec deadline{};
        pw_thread_loop_get_time(
            loop_, &deadline,
            std::chrono::duration_cast<std::chrono::nanoseconds>(timeout).count());
        while (!done()) {
            if (lost_) return false;
            if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) return done();
        }
        return true;
    }

    // With the lock held: a round trip, after which every event the server
    // sent before it has been handled.
    bool syncLocked(std::chrono::milliseconds timeout) {
        const int seq = roundTrip(core_);
        return waitLocked([&] { return doneSeq_ == seq; }, timeout);
    }

  private:
    Connection() = default;

    static void onDone(void* data, std::uint32_t id, int seq) {
        auto* self = static_cast<Connection*>(data);
        if (id != PW_ID_CORE) return;
        self->doneSeq_ = seq;
        pw_thread_loop_signal(self->loop_, false);
    }
    static void onError(void* data, std::uint32_t id, int /*seq*/, int res,
                        const char* /*message*/) {
        auto* self = static_cast<Connection*>(data);
        if (id == PW_ID_CORE && res == -EPIPE) self->lost_ = true;
        pw_thread_loop_signal(self->loop_, false);
    }

    pw_thread_loop* loop_ = nullptr;
    pw_context* context_ = nullptr;
    pw_core* core_ = nullptr;
    spa_hook coreListener_{};
    int doneSeq_ = -1;
    bool lost_ = false;
};

std::map<std::string, std::string> toMap(const spa_dict* dict) {
    std::map<std::string, std::string> map;
    if (dict == nullptr) return map;
    for (std::uint32_t i = 0; i < dict->n_items; ++i) {
        map[dict->items[i].key] = dict->items[i].value ? dict->items[i].value : "";
    }
    return map;
}

std::uint32_t toId(const std::map<std::string, std::string>& props, const std::string& key) {
    const auto found = props.find(key);
    return found == props.end()
               ? PW_ID_ANY
               : static_cast<std::uint32_t>(std::strtoul(found->second.c_str(), nullptr, 10));
}

// Registry globals carry only a few of a node's properties; each node is
// bound for its full set (audio.position among them).
struct GraphQuery {
    Graph graph;
    pw_registry* registry = nullptr;
    spa_hook registryListener{};
    struct Bound {
        GraphQuery* query = nullptr;
        std::size_t node = 0;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
    };
    std::vector<std::unique_ptr<Bound>> nodes;
    pw_metadata* metadata = nullptr;
    spa_hook metadataListener{};

    static void onGlobal(void* data, std::uint32_t id, std::uint32_t /*permissions*/,
                         const char* type, std::uint32_t /*version*/, const spa_dict* props) {
        auto* query = static_cast<GraphQuery*>(data);
        const std::string_view kind = type;
        if (kind == PW_TYPE_INTERFACE_Node) {
            query->graph.nodes.push_back({.id = id, .props = toMap(props)});
            auto bound = std::make_unique<Bound>();
            bound->query = query;
            bound->node = query->graph.nodes.size() - 1;
            bound->proxy = static_cast<pw_proxy*>(
                pw_registry_bind(query->registry, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE, 0));
            static const pw_node_events events = {.version = PW_VERSION_NODE_EVENTS,
                                                  .info = onNodeInfo};
            pw_proxy_add_object_listener(bound->proxy, &bound->listener, &events, bound.get());
            query->nodes.push_back(std::move(bound));
        } else if (kind == PW_TYPE_INTERFACE_Link) {
            const auto map = toMap(props);
            query->graph.links.push_back({.outputNode = toId(map, PW_KEY_LINK_OUTPUT_NODE),
                                          .inputNode = toId(map, PW_KEY_LINK_INPUT_NODE)});
        } else if (kind == PW_TYPE_INTERFACE_Metadata && query->metadata == nullptr) {
            const auto map = toMap(props);
            const auto name = map.find(PW_KEY_METADATA_NAME);
            if (name == map.end() || name->second != "default") return;
            query->metadata = static_cast<pw_metadata*>(pw_registry_bind(
                query->registry, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA, 0));
            static const pw_metadata_events events = {.version = PW_VERSION_METADATA_EVENTS,
                                                      .property = onProperty};
            listen(query->metadata, &query->metadataListener, &events, query);
        }
    }

    static void onNodeInfo(void* data, const pw_node_info* info) {
        auto* bound = static_cast<Bound*>(data);
        if (info->props == nullptr) return;
        for (auto& [key, value] : toMap(info->props)) {
            bound->query->graph.nodes[bound->node].props[key] = value;
        }
    }

    static int onProperty(void* data, std::uint32_t subject, const char* key, const char* /*type*/,
                          const char* value) {
        auto* query = static_cast<GraphQuery*>(data);
        if (subject != PW_ID_CORE || key == nullptr ||
            std::string_view(key) != "default.audio.sink")
            return 0;
        query->graph.defaultSink.clear();
        if (value == nullptr) return 0;
        const auto json = nlohmann::json::parse(value, nullptr, false);
        if (json.is_object() && json.contains("name") && json["name"].is_string()) {
            query->graph.defaultSink = json["name"].get<std::string>();
        }
        return 0;
    }

    ~GraphQuery() {
        for (auto& bound : nodes) {
            spa_hook_remove(&bound->listener);
            pw_proxy_destroy(bound->proxy);
        }
        if (metadata != nullptr) {
            spa_hook_remove(&metadataListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(metadata));
        }
        if (registry != nullptr) {
            spa_hook_remove(&registryListener);
            pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry));
        }
    }
};

// `leaveEarly`: the connection goes as soon as the globals are listed, before
// the binds made while listing them are answered.
std::expected<Graph, std::string> queryGraph(bool leaveEarly = false) {
    auto connection = Connection::open();
    if (!connection) return std::unexpected(connection.error());
    Connection& c = **connection;
    auto query = std::make_unique<GraphQuery>();
    pw_thread_loop_lock(c.loop());
    query->registry = pw_core_get_registry(c.core(), PW_VERSION_REGISTRY, 0);
    static const pw_registry_events events = {.version = PW_VERSION_REGISTRY_EVENTS,
                                              .global = GraphQuery::onGlobal};
    listen(query->registry, &query->registryListener, &events, query.get());
    // The first round trip lists the globals; the second brings the answers
    // to the binds made while listing them.
    const bool ok = c.syncLocked(2s) && (leaveEarly || c.syncLocked(2s));
    if (leaveEarly) {
        pw_thread_loop_unlock(c.loop());
        std::this_thread::sleep_for(50ms);  // the binds reach the server
        pw_thread_loop_lock(c.loop());
    }
    Graph graph = std::move(query->graph);
    query.reset();  // proxies go while the loop cannot call into them
    pw_thread_loop_unlock(c.loop());
    if (!ok) return std::unexpected("the PipeWire server did not answer");
    return graph;
}

// The sink's own layout, so channel 0 of a recording is its first channel
// (FL of a stereo sink) and no up- or down-mix comes between.
std::vector<std::uint32_t> channelPositions(const Graph::Node& node) {
    std::vector<std::uint32_t> positions;
    std::string word;
    const std::string text = node.prop(SPA_KEY_AUDIO_POSITION) + " ";
    for (char ch : text) {
        if (ch != '[' && ch != ']' && ch != ' ' && ch != ',') {
            word += ch;
            continue;
        }
        if (word.empty()) continue;
        std::uint32_t position = SPA_AUDIO_CHANNEL_UNKNOWN;
        for (const spa_type_info* type = spa_type_audio_channel; type->name != nullptr; ++type) {
            const std::string_view name = type->name;
            if (name.substr(name.rfind(':') + 1) == word) position = type->type;
        }
        positions.push_back(position);
        word.clear();
    }
    return positions;
}

}  // namespace

// --- Graph -----------------------------------------------------------------

std::string Graph::Node::prop(const std::string& key) const {
    const auto found = props.find(key);
    return found == props.end() ? std::string() : found->second;
}

const Graph::Node* Graph::node(std::string_view name) const {
    for (const auto& candidate : nodes) {
        if (candidate.name() == name) return &candidate;
    }
    return nullptr;
}

bool Graph::linked(std::string_view from, std::string_view to) const {
    const Node* output = node(from);
    const Node* input = node(to);
    if (output == nullptr || input == nullptr) return false;
    for (const auto& link : links) {
        if (link.outputNode == output->id && link.inputNode == input->id) return true;
    }
    return false;
}

std::vector<double> envelope(std::span<const SinkRecording> recordings, double frequency) {
    // Over the windows every sink recorded: one recording can stop a cycle
    // after another, and the other's missing tail would read as silence.
    std::optional<std::size_t> common;
    for (const auto& r : recordings) {
        const auto window = static_cast<std::size_t>(r.rate * kWindowMs / 1000) * r.channels;
        const std::size_t windows = window > 0 ? r.samples.size() / window : 0;
        common = std::min(common.value_or(windows), windows);
    }
    std::vector<double> levels(common.value_or(0), sim::SpeakerAnalysis::dB(0.0));
    for (const auto& r : recordings) {
        const std::span<const float> all(r.samples);
        const auto window = static_cast<std::size_t>(r.rate * kWindowMs / 1000) * r.channels;
        for (std::size_t i = 0; i < levels.size(); ++i) {
            const double level = sim::SpeakerAnalysis::dB(sim::SpeakerAnalysis::toneAmplitude(
                all.subspan(i * window, window), r.channels, 0, frequency, r.rate));
            levels[i] = std::max(levels[i], level);
        }
    }
    return levels;
}

Stretches stretches(const std::vector<double>& envelope, double level, double fromMs, double toMs) {
    Stretches longest;
    double above = 0, silent = 0;
    const auto window = [](double ms) {
        return static_cast<std::size_t>(std::max(0.0, ms) / kWindowMs);
    };
    for (std::size_t i = window(fromMs); i < std::min(envelope.size(), window(toMs)); ++i) {
        above = envelope[i] > level + 0.5 ? above + kWindowMs : 0;
        silent = envelope[i] < level - 30 ? silent + kWindowMs : 0;
        longest.aboveMs = std::max(longest.aboveMs, above);
        longest.silentMs = std::max(longest.silentMs, silent);
    }
    return longest;
}

double firstSoundMs(const std::vector<double>& envelope, double level) {
    const auto first = std::ranges::find_if(envelope, [&](double l) { return l > level - 30; });
    return first == envelope.end() ? 0.0 : double(first - envelope.begin()) * kWindowMs;
}

double toneDB(const SinkRecording& recording, double frequency, std::size_t channel, double skip) {
    if (recording.channels == 0) return sim::SpeakerAnalysis::dB(0.0);
    const auto skipped = static_cast<std::size_t>(skip * recording.rate) * recording.channels;
    const std::span<const float> all(recording.samples);
    const auto tail = skipped < all.size() ? all.subspan(skipped) : all.subspan(all.size());
    return sim::SpeakerAnalysis::dB(sim::SpeakerAnalysis::toneAmplitude(
        tail, recording.channels, channel, frequency, recording.rate));
}

// --- Recorder --------------------------------------------------------------

struct Recorder::State {
    struct Capture {
        State* state = nullptr;
        SinkRecording recording;
        pw_stream* stream = nullptr;
        spa_hook listener{};
        std::atomic<bool> receiving = false;
        std::string error;  // written and read with the loop's lock
        std::atomic<spa_io_position*> position = nullptr;
        std::optional<std::uint64_t> nextPosition;  // with the mutex held

        // With the mutex held, for a buffer of `frames` about to be kept.
        void noteClock(std::uint64_t frames) {
            const spa_io_position* clock = position.load(std::memory_order_acquire);
            if (clock == nullptr) return;
            const std::uint64_t now = clock->clock.position;
            if (nextPosition && now > *nextPosition) recording.missedFrames += now - *nextPosition;
            nextPosition = now + frames;
        }
    };
    std::unique_ptr<Connection> connection;
    std::vector<std::unique_ptr<Capture>> captures;
    // Samples arrive on the data thread: on the loop's thread they were lost
    // whenever a busy machine kept it from its turn, and the gap read as a
    // step in the recorded sine.
    std::mutex mutex;
    bool keeping = false;  // false until every capture receives, so spans match

    static void onProcess(void* data) {
        auto* capture = static_cast<Capture*>(data);
        pw_buffer* buffer = pw_stream_dequeue_buffer(capture->stream);
        if (buffer == nullptr) return;
        const spa_data& in = buffer->buffer->datas[0];
        if (in.data != nullptr && in.chunk->size > 0) {
            capture->receiving = true;
            std::lock_guard lock(capture->state->mutex);
            if (capture->state->keeping) {
                const std::size_t offset = in.chunk->offset % in.maxsize;
                const std::size_t bytes =
                    std::min<std::size_t>(in.chunk->size, in.maxsize - offset);
                auto& samples = capture->recording.samples;
                capture->noteClock(bytes / sizeof(float) / capture->recording.channels);
                const std::size_t before = samples.size();
                samples.resize(before + bytes / sizeof(float));
                std::memcpy(samples.data() + before, static_cast<const char*>(in.data) + offset,
                            bytes / sizeof(float) * sizeof(float));
            }
        }
        pw_stream_queue_buffer(capture->stream, buffer);
    }

    static void onIO(void* data, std::uint32_t id, void* area, std::uint32_t /*size*/) {
        if (id != SPA_IO_Position) return;
        static_cast<Capture*>(data)->position.store(static_cast<spa_io_position*>(area),
                                                    std::memory_order_release);
    }

    static void onState(void* data, pw_stream_state /*old*/, pw_stream_state state,
                        const char* error) {
        auto* capture = static_cast<Capture*>(data);
        if (state == PW_STREAM_STATE_ERROR) capture->error = error ? error : "stream error";
        pw_thread_loop_signal(capture->state->connection->loop(), false);
    }

    ~State() {
        if (!connection) return;
        pw_thread_loop_lock(connection->loop());
        for (auto& capture : captures) {
            if (capture->stream == nullptr) continue;
            spa_hook_remove(&capture->listener);
            pw_stream_destroy(capture->stream);
        }
        pw_thread_loop_unlock(connection->loop());
    }
};

Recorder::Recorder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Recorder::~Recorder() = default;

std::expected<std::unique_ptr<Recorder>, std::string> Recorder::start(
    const std::vector<std::string>& sinks) {
    auto graph = queryGraph();
    if (!graph) return std::unexpected(graph.error());
    auto connection = Connection::open();
    if (!connection) return std::unexpected(connection.error());
    auto state = std::make_unique<State>();
    state->connection = std::move(*connection);
    pw_thread_loop* loop = state->connection->loop();

    pw_thread_loop_lock(loop);
    for (const auto& sink : sinks) {
        const Graph::Node* node = graph->node(sink);
        if (node == nullptr || node->prop(PW_KEY_MEDIA_CLASS) != "Audio/Sink") {
            pw_thread_loop_unlock(loop);
            return std::unexpected("there is no sink named " + sink);
        }
        auto capture = std::make_unique<State::Capture>();
        capture->state = state.get();
        const auto positions = channelPositions(*node);
        if (positions.empty() || positions.size() > SPA_AUDIO_MAX_CHANNELS) {
            pw_thread_loop_unlock(loop);
            return std::unexpected("the sink " + sink + " has no channel layout");
        }
        capture->recording = {.sink = sink, .channels = positions.size(), .rate = kRate};
        const std::string name = "sonvel-recorder-" + sink;
        // node.dont-reconnect: a recording that silently moved to another
        // sink would report that sink's sound as this one's.
        pw_properties* props = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture", PW_KEY_APP_NAME,
            "sonvel-recorder", PW_KEY_NODE_NAME, name.c_str(), PW_KEY_STREAM_CAPTURE_SINK, "true",
            PW_KEY_TARGET_OBJECT, sink.c_str(), PW_KEY_NODE_DONT_RECONNECT, "true", nullptr);
        static const pw_stream_events events = {.version = PW_VERSION_STREAM_EVENTS,
                                                .state_changed = State::onState,
                                                .io_changed = State::onIO,
                                                .process = State::onProcess};
        capture->stream = pw_stream_new(state->connection->core(), name.c_str(), props);
        pw_stream_add_listener(capture->stream, &capture->listener, &events, capture.get());

        spa_audio_info_raw info{};
        info.format = SPA_AUDIO_FORMAT_F32;
        info.rate = kRate;
        info.channels = static_cast<std::uint32_t>(positions.size());
        std::copy(positions.begin(), positions.end(), info.position);
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        const auto flags = static_cast<pw_stream_flags>(
            PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
        pw_stream_connect(capture->stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1);
        state->captures.push_back(std::move(capture));
    }

    pw_thread_loop_unlock(loop);

    // Polled: the data thread that sets `receiving` does not hold the lock
    // a wait on the loop would need.
    std::string failure;
    bool receiving = false;
    const auto deadline = Clock::now() + 5s;
    while (!receiving && failure.empty() && Clock::now() < deadline) {
        std::this_thread::sleep_for(5ms);
        pw_thread_loop_lock(loop);
        receiving = true;
        for (const auto& capture : state->captures) {
            if (!capture->error.empty() && failure.empty()) {
                failure =
                    "the recording of " + capture->recording.sink + " failed: " + capture->error;
            }
            receiving = receiving && capture->receiving;
        }
        pw_thread_loop_unlock(loop);
    }
    {
        std::lock_guard lock(state->mutex);
        state->keeping = receiving && failure.empty();
    }
    if (!failure.empty()) return std::unexpected(failure);
    if (!receiving) return std::unexpected("the recordings did not receive sound within 5 s");
    return std::unique_ptr<Recorder>(new Recorder(std::move(state)));
}

std::vector<SinkRecording> Recorder::stop() {
    std::vector<SinkRecording> recordings;
    pw_thread_loop* loop = state_->connection->loop();
    pw_thread_loop_lock(loop);
    for (auto& capture : state_->captures) {
        spa_hook_remove(&capture->listener);
        pw_stream_destroy(capture->stream);
        capture->stream = nullptr;
    }
    pw_thread_loop_unlock(loop);
    std::lock_guard lock(state_->mutex);
    for (auto& capture : state_->captures) recordings.push_back(std::move(capture->recording));
    return recordings;
}

// --- PipeWireServer --------------------------------------------------------

std::expected<std::unique_ptr<PipeWireServer>, std::string> PipeWireServer::start() {
    auto server = std::unique_ptr<PipeWireServer>(new PipeWireServer());
    std::string pattern = (fs::temp_directory_path() / "sonvel-pipewire-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        return std::unexpected("a private folder for PipeWire could not be made in " +
                               fs::temp_directory_path().string());
    }
    server->dir_ = pattern;
    const fs::path confDir = server->dir_ / "conf" / "pipewire" / "pipewire.conf.d";
    std::error_code error;
    fs::create_directories(confDir, error);
    std::ofstream(confDir / "sinks.conf") << kSinksConf;
    fs::create_directories(server->dir_ / "state", error);

    const std::string dir = server->dir_.string();
    // PIPEWIRE_REMOTE is pinned so a value inherited from a desktop session
    // cannot point the tests at the user's server.
    server->env_ = {{"XDG_RUNTIME_DIR", dir},
                    {"PIPEWIRE_RUNTIME_DIR", dir},
                    {"PIPEWIRE_REMOTE", "pipewire-0"},
                    {"XDG_CONFIG_HOME", dir + "/conf"},
                    {"XDG_STATE_HOME", dir + "/state"},
                    {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus"},
                    {"PULSE_RUNTIME_PATH", dir + "/pulse"},
                    {"PULSE_SERVER", "unix:" + dir + "/pulse/native"}};
    for (const auto& [key, value] : server->env_) {
        const char* old = std::getenv(key.c_str());
        server->savedEnv_.emplace_back(key, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(key.c_str(), value.c_str(), 1);
    }

    auto dbus =
        spawn({"dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork"},
              server->dir_ / "dbus.log");
    if (!dbus) {
        return std::unexpected(dbus.error() == ENOENT ? "dbus-daemon is not installed"
                                                      : "dbus-daemon could not start");
    }
    server->dbus_ = *dbus;
    // WirePlumber publishes no default output without a session bus.
    const auto busDeadline = Clock::now() + 5s;
    while (!fs::exists(server->dir_ / "bus")) {
        if (exited(server->dbus_)) {
            server->dbus_ = -1;
            return std::unexpected("dbus-daemon exited while starting: " +
                                   lastLine(server->dir_ / "dbus.log"));
        }
        if (Clock::now() > busDeadline) {
            return std::unexpected("the session bus did not start within 5 s");
        }
        std::this_thread::sleep_for(5ms);
    }
    if (auto started = server->startAudio(); !started) return std::unexpected(started.error());
    return server;
}

std::expected<void, std::string> PipeWireServer::startAudio() {
    auto pipewire = spawn({"pipewire"}, dir_ / "pipewire.log");
    if (!pipewire) {
        return std::unexpected(pipewire.error() == ENOENT ? "pipewire is not installed"
                                                          : "pipewire could not start");
    }
    pipewire_ = *pipewire;

    const auto deadline = Clock::now() + kReadyTimeout;
    const auto seconds = std::to_string(kReadyTimeout.count()) + " s";
    // WirePlumber gives up if the server's socket is not there yet.
    while (!Connection::open()) {
        if (auto status = exited(pipewire_)) {
            pipewire_ = -1;
            return std::unexpected("pipewire exited while starting: " +
                                   lastLine(dir_ / "pipewire.log"));
        }
        if (Clock::now() > deadline) {
            return std::unexpected("pipewire did not accept connections within " + seconds);
        }
        std::this_thread::sleep_for(10ms);
    }

    auto wireplumber = spawn({"wireplumber"}, dir_ / "wireplumber.log");
    if (!wireplumber) {
        return std::unexpected(wireplumber.error() == ENOENT ? "wireplumber is not installed"
                                                             : "wireplumber could not start");
    }
    wireplumber_ = *wireplumber;
    // A socket left by a killed pipewire-pulse would read as ready.
    const fs::path socket = dir_ / "pulse" / "native";
    std::error_code error;
    fs::remove(socket, error);
    auto pulse = spawn({"pipewire-pulse"}, dir_ / "pipewire-pulse.log");
    if (!pulse) {
        return std::unexpected(pulse.error() == ENOENT ? "pipewire-pulse is not installed"
                                                       : "pipewire-pulse could not start");
    }
    pulse_ = *pulse;

    std::string missing = "the test sinks";
    while (Clock::now() < deadline) {
        for (auto [pid, name] :
             {std::pair{&wireplumber_, "wireplumber"}, {&pulse_, "pipewire-pulse"}}) {
            if (exited(*pid)) {
                *pid = -1;
                return std::unexpected(std::string(name) + " exited while starting: " +
                                       lastLine(dir_ / (std::string(name) + ".log")));
            }
        }
        if (auto graph = queryGraph()) {
            const bool sinks = graph->node(kSinkA) && graph->node(kSinkB) && graph->node(kSinkMono);
            if (sinks && !graph->defaultSink.empty() && fs::exists(socket)) return {};
            missing = !sinks                       ? "the test sinks"
                      : graph->defaultSink.empty() ? "a default output"
                                                   : "pipewire-pulse's socket";
        }
        std::this_thread::sleep_for(20ms);
    }
    return std::unexpected("wireplumber did not publish " + missing + " within " + seconds);
}

void PipeWireServer::stopAudio() {
    // The server goes first, as in a crash or an update; WirePlumber then
    // leaves on its own, and is made to if it lingers, as pipewire-pulse does.
    for (pid_t* pid : {&pipewire_, &wireplumber_, &pulse_}) {
        if (*pid > 0) stopProcess(*pid);
        *pid = -1;
    }
}

std::expected<void, std::string> PipeWireServer::restart() {
    stopAudio();
    return startAudio();
}

void PipeWireServer::stop() {
    for (pid_t player : players_) stopProcess(player);
    players_.clear();
    stopAudio();
    if (dbus_ > 0) stopProcess(dbus_);
    dbus_ = -1;
    for (const auto& [key, value] : savedEnv_) {
        if (value) {
            ::setenv(key.c_str(), value->c_str(), 1);
        } else {
            ::unsetenv(key.c_str());
        }
    }
    savedEnv_.clear();
    if (!dir_.empty()) {
        std::error_code error;
        fs::remove_all(dir_, error);
        dir_.clear();
    }
}

PipeWireServer::~PipeWireServer() {
    stop();
}

std::string_view nodeName(Player player) {
    constexpr std::string_view names[] = {"pw-play", "paplay", "gst-launch-1.0"};
    return names[static_cast<int>(player)];
}

// 32-bit float WAVE_FORMAT_EXTENSIBLE: without its channel mask paplay reads
// six channels in an order of its own.
fs::path PipeWireServer::wav(const Sound& sound) const {
    const fs::path path =
        dir_ /
        ("sound-" + std::to_string(sound.frequency) + "-" + std::to_string(sound.amplitude) + "-" +
         std::to_string(sound.channels) + "-" + std::to_string(sound.burstPeriodMs) + ".wav");
    if (fs::exists(path)) return path;
    const auto channels = static_cast<std::uint32_t>(sound.channels);
    const std::uint32_t frames = kRate * kSoundSeconds, bytes = frames * channels * 4;
    const std::uint32_t period = kRate * static_cast<std::uint32_t>(sound.burstPeriodMs) / 1000;
    std::ofstream out(path, std::ios::binary);
    using U16 = std::uint16_t;
    const auto put = [&](auto... values) {  // little-endian
        (out.write(reinterpret_cast<const char*>(&values), sizeof values), ...);
    };
    // The chunk sizes; format, channels, rate, bytes a second and a frame,
    // bits; the extension's size, valid bits, channel mask (MONO; FL FR;
    // FL FR FC LFE RL RR) and the float subformat's GUID.
    const std::uint32_t mask = channels == 1 ? 0 : (1u << channels) - 1;
    out << "RIFF";
    put(60 + bytes);
    out << "WAVEfmt ";
    put(40u, U16(0xFFFE), U16(channels), kRate, kRate * channels * 4, U16(channels * 4), U16(32),
        U16(22), U16(32), mask, 3u);
    out.write(
        "\0\0\x10\0\x80\0\0\xAA\0\x38\x9B\x71"
        "data",
        16);
    put(bytes);
    const double step = 2 * std::numbers::pi * sound.frequency / kRate;
    for (std::uint32_t i = 0; i < frames; ++i) {
        const std::uint32_t into = period > 0 ? i % period : 0;
        const auto value =
            static_cast<float>(period == 0          ? sound.amplitude * std::sin(step * i)
                               : into < kRate / 200 ? sound.amplitude * std::cos(step * into)
                                                    : 0.0);
        for (std::uint32_t c = 0; c < channels; ++c) put(value);
    }
    return path;
}

pid_t PipeWireServer::play(const Sound& sound) {
    // How each player is told its sink and its application's name (pw-play
    // takes none). pw-cat and pacat play as the names they are run by.
    constexpr std::pair<std::string_view, std::string_view> flags[] = {
        {"--target=", ""},
        {"--device=", "--client-name="},
        {"target-object=", "client-properties=props,application.name="}};
    const auto [targetFlag, nameFlag] = flags[static_cast<int>(sound.player)];
    std::vector<std::string> argv;
    if (sound.player == Player::gst) {
        argv = {"gst-launch-1.0",
                "-q",
                "audiotestsrc",
                "freq=" + std::to_string(sound.frequency),
                "volume=" + std::to_string(sound.amplitude),
                "!",
                "audio/x-raw,format=F32LE,rate=48000,channels=" + std::to_string(sound.channels),
                "!",
                "pipewiresink"};
    } else {
        argv = {std::string(nodeName(sound.player)), wav(sound).string()};
    }
    if (!sound.target.empty()) argv.push_back(std::string(targetFlag) + sound.target);
    if (sound.player == Player::pwPlay && !sound.properties.empty())
        argv.push_back("--properties=" + sound.properties);
    if (!sound.name.empty() && !nameFlag.empty())
        argv.push_back(std::string(nameFlag) + sound.name);
    auto pid = spawn(argv, dir_ / "players.log");
    if (!pid) return -1;
    players_.push_back(*pid);
    return *pid;
}

int PipeWireServer::stopPlayer(pid_t pid) {
    if (std::erase(players_, pid) == 0) return -1;
    return stopProcess(pid);
}

bool PipeWireServer::setDefaultSink(std::string_view sink) const {
    const std::string command =
        "pw-metadata -n default 0 default.configured.audio.sink '{\"name\":\"" + std::string(sink) +
        "\"}' Spa:String:JSON >/dev/null";
    return std::system(command.c_str()) == 0;
}

bool PipeWireServer::strandMetadataBinding() const {
    if (wireplumber_ <= 0 || ::kill(wireplumber_, SIGSTOP) != 0) return false;
    const bool listed = queryGraph(true).has_value();
    ::kill(wireplumber_, SIGCONT);
    return listed;
}

std::expected<Graph, std::string> PipeWireServer::graph() const {
    return queryGraph();
}

bool PipeWireServer::waitFor(const std::function<bool(const Graph&)>& condition,
                             std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    do {
        if (auto current = queryGraph(); current && condition(*current)) return true;
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
}

}  // namespace sonvel::pwtest
