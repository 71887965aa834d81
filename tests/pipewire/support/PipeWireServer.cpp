#include "support/PipeWireServer.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <numbers>
#include <span>
#include <sstream>
#include <thread>

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

// Starts `argv` with stdin from /dev/null, stdout and stderr in `log`. The
// error is the errno of a failed exec, so "not installed" can be told apart.
std::expected<pid_t, int> spawn(const std::vector<std::string>& argv, const fs::path& log) {
    std::vector<char*> args;
    for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return std::unexpected(errno);
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
        const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (in >= 0 && out >= 0 && ::dup2(in, 0) == 0 && ::dup2(out, 1) == 1 &&
            ::dup2(out, 2) == 2) {
            ::execvp(args[0], args.data());
        }
        const int error = errno;
        [[maybe_unused]] auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    if (pid < 0) {
        const int error = errno;
        ::close(report[0]), ::close(report[1]);
        return std::unexpected(error);
    }
    ::close(report[1]);
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

// --- the graph -------------------------------------------------------------

// pw-dump lists every node with its full properties (audio.position among
// them), the links and the metadata.
std::expected<Graph, std::string> queryGraph() {
    std::string text;
    int status = -1;
    if (FILE* dump = ::popen("timeout 2 pw-dump 2>/dev/null", "r")) {
        char buffer[1 << 14];
        while (const std::size_t got = std::fread(buffer, 1, sizeof buffer, dump)) {
            text.append(buffer, got);
        }
        status = ::pclose(dump);
    }
    // The graph is one array; before or after it comes one for each object
    // that went meanwhile, its "info" null.
    std::map<std::uint32_t, nlohmann::json> objects;
    Graph graph;
    try {
        std::istringstream in(text);
        for (nlohmann::json part; (in >> std::ws).peek() != EOF;) {
            in >> part;
            for (auto& object : part) {
                const auto id = object.at("id").get<std::uint32_t>();
                if (object.contains("type")) {
                    objects[id] = std::move(object);
                } else {
                    objects.erase(id);
                }
            }
        }
        // What is not there reads as the fallback.
        const auto at = [](const nlohmann::json& j, const char* path, auto fallback) {
            return j.value(nlohmann::json::json_pointer(path), fallback);
        };
        for (const auto& [id, object] : objects) {
            const auto type = at(object, "/type", std::string());
            if (type == PW_TYPE_INTERFACE_Node) {
                auto& node = graph.nodes.emplace_back(Graph::Node{.id = id});
                const auto props = at(object, "/info/props", nlohmann::json());
                for (const auto& [key, value] : props.items()) {
                    node.props[key] = value.is_string() ? value.get<std::string>() : value.dump();
                }
            } else if (type == PW_TYPE_INTERFACE_Link) {
                graph.links.push_back({.outputNode = at(object, "/info/output-node-id", PW_ID_ANY),
                                       .inputNode = at(object, "/info/input-node-id", PW_ID_ANY)});
            } else if (at(object, "/props/metadata.name", std::string()) == "default") {
                for (const auto& entry : at(object, "/metadata", nlohmann::json())) {
                    if (at(entry, "/key", std::string()) != "default.audio.sink") continue;
                    graph.defaultSink = at(entry, "/value/name", std::string());
                }
            }
        }
    } catch (const nlohmann::json::exception&) {
        status = -1;
    }
    if (status != 0 || objects.empty()) {
        return std::unexpected("the PipeWire server did not answer pw-dump (exit status " +
                               std::to_string(decode(status)) + ")");
    }
    return graph;
}

// The sink's own layout, so channel 0 of a recording is its first channel
// (FL of a stereo sink) and no up- or down-mix comes between.
std::vector<std::uint32_t> channelPositions(const Graph::Node& node) {
    std::string text = node.prop(SPA_KEY_AUDIO_POSITION);
    std::ranges::replace_if(
        text, [](char c) { return c == '[' || c == ']' || c == ','; }, ' ');
    std::istringstream words(text);
    std::vector<std::uint32_t> positions;
    for (std::string word; words >> word;) {
        positions.push_back(SPA_AUDIO_CHANNEL_UNKNOWN);
        for (const spa_type_info* type = spa_type_audio_channel; type->name != nullptr; ++type) {
            if (std::string_view(type->name).ends_with(":" + word)) positions.back() = type->type;
        }
    }
    return positions;
}

}  // namespace

// --- Graph -----------------------------------------------------------------

const Graph::Node* Graph::node(std::string_view name) const {
    const auto found = std::ranges::find_if(nodes, [&](const Node& n) { return n.name() == name; });
    return found == nodes.end() ? nullptr : &*found;
}

bool Graph::linked(std::string_view from, std::string_view to) const {
    const Node *output = node(from), *input = node(to);
    return output && input && std::ranges::any_of(links, [&](const Link& link) {
               return link.outputNode == output->id && link.inputNode == input->id;
           });
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
    };
    // One connection served by its own thread; stream events run on it with
    // the loop's lock held.
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
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
                const std::size_t floats =
                    std::min<std::size_t>(in.chunk->size, in.maxsize - offset) / sizeof(float);
                // A buffer that starts later on the graph's clock than the last
                // one ended is a hole in the recording.
                if (const spa_io_position* clock = capture->position.load()) {
                    const std::uint64_t now = clock->clock.position;
                    const auto next = std::exchange(capture->nextPosition,
                                                    now + floats / capture->recording.channels);
                    if (next && now > *next) capture->recording.missedFrames += now - *next;
                }
                const auto* from =
                    reinterpret_cast<const float*>(static_cast<const char*>(in.data) + offset);
                capture->recording.samples.insert(capture->recording.samples.end(), from,
                                                  from + floats);
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
    }

    void closeStreams() {
        pw_thread_loop_lock(loop);
        for (auto& capture : captures) {
            if (capture->stream == nullptr) continue;
            spa_hook_remove(&capture->listener);
            pw_stream_destroy(capture->stream);
            capture->stream = nullptr;
        }
        pw_thread_loop_unlock(loop);
    }
    ~State() {
        if (loop == nullptr) return;
        closeStreams();
        pw_thread_loop_stop(loop);
        if (core != nullptr) pw_core_disconnect(core);
        if (context != nullptr) pw_context_destroy(context);
        pw_thread_loop_destroy(loop);
    }
};

Recorder::Recorder(std::unique_ptr<State> state) : state_(std::move(state)) {}
Recorder::~Recorder() = default;

std::expected<std::unique_ptr<Recorder>, std::string> Recorder::start(
    const std::vector<std::string>& sinks) {
    auto graph = queryGraph();
    if (!graph) return std::unexpected(graph.error());
    static std::once_flag initialized;
    std::call_once(initialized, [] { pw_init(nullptr, nullptr); });
    auto state = std::make_unique<State>();
    state->loop = pw_thread_loop_new("sonvel-recorder", nullptr);
    state->context = pw_context_new(pw_thread_loop_get_loop(state->loop), nullptr, 0);
    if (state->context == nullptr || pw_thread_loop_start(state->loop) != 0) {
        return std::unexpected("no PipeWire loop");
    }
    pw_thread_loop_lock(state->loop);
    state->core = pw_context_connect(state->context, nullptr, 0);
    const int error = errno;
    pw_thread_loop_unlock(state->loop);
    if (state->core == nullptr) {
        return std::unexpected(std::string("cannot connect: ") + std::strerror(error));
    }

    for (const auto& sink : sinks) {
        const Graph::Node* node = graph->node(sink);
        if (node == nullptr || node->prop(PW_KEY_MEDIA_CLASS) != "Audio/Sink") {
            return std::unexpected("there is no sink named " + sink);
        }
        const auto positions = channelPositions(*node);
        if (positions.empty() || positions.size() > SPA_AUDIO_MAX_CHANNELS) {
            return std::unexpected("the sink " + sink + " has no channel layout");
        }
        auto& capture = *state->captures.emplace_back(std::make_unique<State::Capture>());
        capture.state = state.get();
        capture.recording = {.sink = sink, .channels = positions.size(), .rate = kRate};
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
        spa_audio_info_raw info{.format = SPA_AUDIO_FORMAT_F32,
                                .rate = kRate,
                                .channels = static_cast<std::uint32_t>(positions.size())};
        std::ranges::copy(positions, info.position);
        std::uint8_t storage[1024];
        spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
        const spa_pod* params[] = {
            spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};
        pw_thread_loop_lock(state->loop);
        capture.stream = pw_stream_new(state->core, name.c_str(), props);
        pw_stream_add_listener(capture.stream, &capture.listener, &events, &capture);
        pw_stream_connect(
            capture.stream, PW_DIRECTION_INPUT, PW_ID_ANY,
            static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS |
                                         PW_STREAM_FLAG_RT_PROCESS),
            params, 1);
        pw_thread_loop_unlock(state->loop);
    }

    // Polled: the data thread that sets `receiving` does not hold the lock
    // a wait on the loop would need.
    const auto deadline = Clock::now() + 5s;
    for (bool receiving = false; !receiving;) {
        std::this_thread::sleep_for(5ms);
        std::string failure;
        pw_thread_loop_lock(state->loop);
        for (const auto& capture : state->captures) {
            if (capture->error.empty()) continue;
            failure = "the recording of " + capture->recording.sink + " failed: " + capture->error;
        }
        pw_thread_loop_unlock(state->loop);
        if (!failure.empty()) return std::unexpected(failure);
        receiving =
            std::ranges::all_of(state->captures, [](auto& c) { return c->receiving.load(); });
        if (!receiving && Clock::now() > deadline) {
            return std::unexpected("the recordings did not receive sound within 5 s");
        }
    }
    {
        std::lock_guard lock(state->mutex);
        state->keeping = true;
    }
    return std::unique_ptr<Recorder>(new Recorder(std::move(state)));
}

std::vector<SinkRecording> Recorder::stop() {
    state_->closeStreams();
    std::vector<SinkRecording> recordings;
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
    const std::string dir = pattern;
    server->dir_ = dir;
    std::error_code error;
    fs::create_directories(server->dir_ / "conf" / "pipewire" / "pipewire.conf.d", error);
    std::ofstream(server->dir_ / "conf" / "pipewire" / "pipewire.conf.d" / "sinks.conf")
        << kSinksConf;
    fs::create_directories(server->dir_ / "state", error);
    // PIPEWIRE_REMOTE is pinned so a value inherited from a desktop session
    // cannot point the tests at the user's server.
    for (const auto& [key, value] : std::initializer_list<std::pair<const char*, std::string>>{
             {"XDG_RUNTIME_DIR", dir},
             {"PIPEWIRE_RUNTIME_DIR", dir},
             {"PIPEWIRE_REMOTE", "pipewire-0"},
             {"XDG_CONFIG_HOME", dir + "/conf"},
             {"XDG_STATE_HOME", dir + "/state"},
             {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus"},
             {"PULSE_RUNTIME_PATH", dir + "/pulse"},
             {"PULSE_SERVER", "unix:" + dir + "/pulse/native"}}) {
        const char* old = std::getenv(key);
        server->savedEnv_.emplace_back(key, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(key, value.c_str(), 1);
    }

    std::string failure = server->launch(
        {"dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork"});
    // WirePlumber publishes no default output without a session bus.
    if (failure.empty()) {
        failure = server->await(5s, [&] {
            return fs::exists(server->dir_ / "bus") ? "" : "the session bus did not start";
        });
    }
    if (failure.empty()) failure = server->startAudio();
    if (!failure.empty()) return std::unexpected(failure);
    return server;
}

std::string PipeWireServer::launch(const std::vector<std::string>& argv) {
    const auto pid = spawn(argv, dir_ / (argv[0] + ".log"));
    if (!pid) return argv[0] + (pid.error() == ENOENT ? " is not installed" : " could not start");
    daemons_.emplace_back(argv[0], *pid);
    return {};
}

std::string PipeWireServer::await(std::chrono::seconds timeout,
                                  const std::function<std::string()>& missing) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (const auto& [name, pid] : daemons_) {
            if (exited(pid))
                return name + " exited while starting: " + lastLine(dir_ / (name + ".log"));
        }
        const std::string what = missing();
        if (what.empty()) return what;
        if (Clock::now() > deadline)
            return what + " within " + std::to_string(timeout.count()) + " s";
        std::this_thread::sleep_for(10ms);
    }
}

std::string PipeWireServer::startAudio() {
    // WirePlumber gives up if the server's socket is not there yet.
    std::string failure = launch({"pipewire"});
    if (failure.empty()) {
        failure = await(10s, [] {
            const auto graph = queryGraph();
            return graph ? std::string() : "pipewire did not accept connections: " + graph.error();
        });
    }
    // A socket left by a killed pipewire-pulse would read as ready.
    const fs::path socket = dir_ / "pulse" / "native";
    std::error_code error;
    fs::remove(socket, error);
    for (const char* program : {"wireplumber", "pipewire-pulse"}) {
        if (failure.empty()) failure = launch({program});
    }
    if (!failure.empty()) return failure;
    return await(10s, [&]() -> std::string {
        const auto graph = queryGraph();
        if (!graph || !graph->node(kSinkA) || !graph->node(kSinkB) || !graph->node(kSinkMono)) {
            return "wireplumber did not publish the test sinks";
        }
        if (graph->defaultSink.empty()) return "wireplumber did not publish a default output";
        return fs::exists(socket) ? "" : "wireplumber did not publish pipewire-pulse's socket";
    });
}

void PipeWireServer::stopAudio() {
    // The server goes first, as in a crash or an update; WirePlumber then
    // leaves on its own, and is made to if it lingers, as pipewire-pulse does.
    // The session bus, started first, stays.
    while (daemons_.size() > 1) {
        stopProcess(daemons_[1].second);
        daemons_.erase(daemons_.begin() + 1);
    }
}

std::expected<void, std::string> PipeWireServer::restart() {
    stopAudio();
    if (auto failure = startAudio(); !failure.empty()) return std::unexpected(failure);
    return {};
}

pid_t PipeWireServer::pipewirePid() const {
    const auto found =
        std::ranges::find(daemons_, "pipewire", &decltype(daemons_)::value_type::first);
    return found == daemons_.end() ? -1 : found->second;
}

void PipeWireServer::stop() {
    for (pid_t player : players_) stopProcess(player);
    players_.clear();
    stopAudio();
    for (const auto& [name, pid] : daemons_) stopProcess(pid);
    daemons_.clear();
    for (const auto& [key, value] : savedEnv_) {
        value ? ::setenv(key.c_str(), value->c_str(), 1) : ::unsetenv(key.c_str());
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
