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
#include <optional>
#include <thread>

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>
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
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execvp(args[0], args.data());
        const int error = errno;
        [[maybe_unused]] auto written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    const int forkError = errno;
    ::close(report[1]);
    int execError = 0;
    const bool failed = pid > 0 && TEMP_FAILURE_RETRY(::read(report[0], &execError,
                                                             sizeof execError)) == sizeof execError;
    ::close(report[0]);
    if (pid < 0) return std::unexpected(forkError);
    if (failed) {
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

int stopProcess(pid_t pid) {
    if (auto status = exited(pid)) return *status;
    ::kill(pid, SIGTERM);
    const auto deadline = Clock::now() + 3s;
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

void initPipeWire() {
    static std::once_flag once;
    std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

}  // namespace

// --- Graph -----------------------------------------------------------------

const Graph::Node* Graph::node(std::string_view name) const {
    const auto found = std::ranges::find_if(nodes, [&](const Node& candidate) {
        const auto own = candidate.props.find("node.name");
        return own != candidate.props.end() && own->second == name;
    });
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

double heardDB(const SinkRecording& recording, double frequency) {
    const double whole = toneDB(recording, frequency);
    const auto window = static_cast<std::size_t>(recording.rate / 20) * recording.channels;
    if (window == 0) return whole;
    std::vector<double> windows;
    const std::span<const float> all(recording.samples);
    for (std::size_t at = 0; at + window <= all.size(); at += window) {
        windows.push_back(sim::SpeakerAnalysis::dB(sim::SpeakerAnalysis::toneAmplitude(
            all.subspan(at, window), recording.channels, 0, frequency, recording.rate)));
    }
    if (windows.empty()) return whole;
    const auto middle = windows.begin() + std::ssize(windows) / 2;
    std::ranges::nth_element(windows, middle);
    return std::max(whole, *middle);
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
    // One connection, served by its own thread; callbacks run on it with the
    // loop's lock held.
    pw_thread_loop* loop = pw_thread_loop_new("sonvel-recorder", nullptr);
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    std::vector<std::unique_ptr<Capture>> captures;
    // Samples arrive on the data thread: on the loop's thread they were lost
    // whenever a busy machine kept it from its turn, and the gap read as a
    // step in the recorded sine.
    std::mutex mutex;
    std::atomic<bool> keeping = false;  // false until every capture receives, so spans match

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
    }

    // With the loop locked, so no callback runs into a stream as it goes.
    void destroyStreams() {
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
        destroyStreams();
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
    initPipeWire();
    auto state = std::make_unique<State>();
    pw_thread_loop* loop = state->loop;
    state->context = pw_context_new(pw_thread_loop_get_loop(loop), nullptr, 0);
    if (state->context == nullptr || pw_thread_loop_start(loop) != 0) {
        return std::unexpected("no PipeWire loop");
    }
    pw_thread_loop_lock(loop);
    state->core = pw_context_connect(state->context, nullptr, 0);
    std::string failure = state->core ? "" : std::string("cannot connect: ") + std::strerror(errno);
    for (const auto& sink : sinks) {
        // The sink's own layout (kSinksConf), so channel 0 of a recording is
        // its first channel and no up- or down-mix comes between.
        const bool mono = sink == kSinkMono;
        if (!mono && sink != kSinkA && sink != kSinkB)
            failure = "there is no test sink named " + sink;
        if (!failure.empty()) break;
        auto capture = std::make_unique<State::Capture>();
        capture->state = state.get();
        capture->recording = {.sink = sink, .channels = mono ? 1u : 2u, .rate = kRate};
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
        capture->stream = pw_stream_new(state->core, name.c_str(), props);
        pw_stream_add_listener(capture->stream, &capture->listener, &events, capture.get());

        spa_audio_info_raw info{.format = SPA_AUDIO_FORMAT_F32, .rate = kRate};
        info.channels = mono ? 1 : 2;
        info.position[0] = mono ? SPA_AUDIO_CHANNEL_MONO : SPA_AUDIO_CHANNEL_FL;
        info.position[1] = SPA_AUDIO_CHANNEL_FR;
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
    if (!failure.empty()) return std::unexpected(failure);
    if (!receiving) return std::unexpected("the recordings did not receive sound within 5 s");
    state->keeping = true;
    return std::unique_ptr<Recorder>(new Recorder(std::move(state)));
}

std::vector<SinkRecording> Recorder::stop() {
    state_->destroyStreams();
    std::vector<SinkRecording> recordings;
    std::lock_guard lock(state_->mutex);
    for (auto& capture : state_->captures) recordings.push_back(std::move(capture->recording));
    return recordings;
}

// --- PipeWireServer --------------------------------------------------------

std::expected<std::unique_ptr<PipeWireServer>, std::string> PipeWireServer::start() {
    auto server = std::unique_ptr<PipeWireServer>(new PipeWireServer());
    std::string dir = (fs::temp_directory_path() / "sonvel-pipewire-XXXXXX").string();
    if (::mkdtemp(dir.data()) == nullptr) {
        return std::unexpected("a private folder for PipeWire could not be made in " +
                               fs::temp_directory_path().string());
    }
    server->dir_ = dir;
    const fs::path confDir = server->dir_ / "conf" / "pipewire" / "pipewire.conf.d";
    std::error_code error;
    fs::create_directories(confDir, error);
    std::ofstream(confDir / "sinks.conf") << kSinksConf;
    fs::create_directories(server->dir_ / "state", error);

    // PIPEWIRE_REMOTE is pinned so a value inherited from a desktop session
    // cannot point the tests at the user's server.
    const std::pair<std::string, std::string> env[] = {
        {"XDG_RUNTIME_DIR", dir},
        {"PIPEWIRE_RUNTIME_DIR", dir},
        {"PIPEWIRE_REMOTE", "pipewire-0"},
        {"XDG_CONFIG_HOME", dir + "/conf"},
        {"XDG_STATE_HOME", dir + "/state"},
        {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir + "/bus"},
        {"PULSE_RUNTIME_PATH", dir + "/pulse"},
        {"PULSE_SERVER", "unix:" + dir + "/pulse/native"}};
    for (const auto& [key, value] : env) {
        const char* old = std::getenv(key.c_str());
        server->savedEnv_.emplace_back(key, old ? std::optional<std::string>(old) : std::nullopt);
        ::setenv(key.c_str(), value.c_str(), 1);
    }

    // WirePlumber publishes no default output without a session bus.
    auto started = server->launch(
        server->dbus_,
        {"dbus-daemon", "--session", "--address=unix:path=" + dir + "/bus", "--nofork"});
    if (started) {
        started = server->await([&] { return fs::exists(dir + "/bus") ? "" : "the session bus"; });
    }
    if (started) started = server->startAudio();
    if (!started) return std::unexpected(started.error());
    return server;
}

std::expected<void, std::string> PipeWireServer::launch(pid_t& pid,
                                                        const std::vector<std::string>& argv) {
    auto started = spawn(argv, dir_ / (argv[0] + ".log"));
    if (!started) {
        return std::unexpected(
            argv[0] + (started.error() == ENOENT ? " is not installed" : " could not start"));
    }
    pid = *started;
    return {};
}

std::expected<void, std::string> PipeWireServer::await(
    const std::function<std::string()>& missing) {
    const auto deadline = Clock::now() + kReadyTimeout;
    for (std::string what = missing(); !what.empty(); what = missing()) {
        for (auto [pid, name] : {std::pair{&dbus_, "dbus-daemon"},
                                 {&pipewire_, "pipewire"},
                                 {&wireplumber_, "wireplumber"},
                                 {&pulse_, "pipewire-pulse"}}) {
            if (*pid > 0 && exited(*pid)) {
                *pid = -1;
                return std::unexpected(std::string(name) + " exited while starting: " +
                                       lastLine(dir_ / (std::string(name) + ".log")));
            }
        }
        if (Clock::now() > deadline) {
            return std::unexpected(what + " did not come within " +
                                   std::to_string(kReadyTimeout.count()) + " s");
        }
        std::this_thread::sleep_for(10ms);
    }
    return {};
}

std::expected<void, std::string> PipeWireServer::startAudio() {
    // A socket left by a killed pipewire-pulse would read as ready.
    const fs::path socket = dir_ / "pulse" / "native";
    std::error_code error;
    fs::remove(socket, error);
    auto started = launch(pipewire_, {"pipewire"});
    // WirePlumber gives up if the server does not answer yet.
    if (started) started = await([&] { return graph() ? "" : "pipewire's first answer"; });
    if (started) started = launch(wireplumber_, {"wireplumber"});
    if (started) started = launch(pulse_, {"pipewire-pulse"});
    if (!started) return started;
    return await([&]() -> std::string {
        const auto graph = this->graph();
        if (!graph || !graph->node(kSinkA) || !graph->node(kSinkB) || !graph->node(kSinkMono)) {
            return "the test sinks";
        }
        if (graph->defaultSink.empty()) return "a default output";
        return fs::exists(socket) ? "" : "pipewire-pulse's socket";
    });
}

void PipeWireServer::stopAudio() {
    // The server goes first, as in a crash or an update; WirePlumber then
    // leaves on its own, and is made to if it lingers, as pipewire-pulse does.
    for (pid_t* pid : {&pipewire_, &wireplumber_, &pulse_}) {
        if (*pid > 0) stopProcess(*pid);
        *pid = -1;
    }
}

std::string PipeWireServer::exitedDaemons() {
    std::string gone;
    for (auto [pid, name] : {std::pair{&pipewire_, "pipewire"},
                             {&wireplumber_, "wireplumber"},
                             {&pulse_, "pipewire-pulse"}}) {
        if (const auto status = *pid > 0 ? exited(*pid) : std::nullopt) {
            *pid = -1;
            gone += "; " + std::string(name) + " exited (" + std::to_string(*status) +
                    "): " + lastLine(dir_ / (std::string(name) + ".log"));
        }
    }
    return gone;
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
    // pw-play takes more stream properties and no name; pw-cat and pacat
    // play as the names they are run by, the others are told their
    // application's name.
    constexpr std::string_view flags[] = {
        "--properties=", "--client-name=", "client-properties=props,application.name="};
    const auto& value = sound.player == Player::pwPlay ? sound.properties : sound.name;
    if (!value.empty()) argv.push_back(std::string(flags[static_cast<int>(sound.player)]) + value);
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
    // pw-metadata binds it and waits for WirePlumber's answer; it is stopped
    // waiting.
    const int status = std::system("timeout -s KILL 0.5 pw-metadata -n default >/dev/null 2>&1");
    ::kill(wireplumber_, SIGCONT);
    return WIFEXITED(status) && WEXITSTATUS(status) == 137;
}

// pw-dump, as any client sees the registry, with each object's full properties.
std::expected<Graph, std::string> PipeWireServer::graph() const {
    std::string text;
    if (FILE* dump = ::popen("timeout 5 pw-dump 2>/dev/null", "r")) {
        char buffer[65536];
        for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, dump)) > 0;) {
            text.append(buffer, got);
        }
        if (::pclose(dump) != 0) text.clear();
    }
    const auto all = nlohmann::json::parse(text, nullptr, false);
    if (!all.is_array()) return std::unexpected("the PipeWire server did not answer");
    using Pointer = nlohmann::json::json_pointer;
    Graph graph;
    for (const auto& object : all) {
        const auto type = object.value("type", std::string());
        const auto info = object.value("info", nlohmann::json::object());
        if (type == PW_TYPE_INTERFACE_Node) {
            auto& node = graph.nodes.emplace_back(Graph::Node{.id = object.value("id", PW_ID_ANY)});
            const auto props = info.value("props", nlohmann::json::object());
            for (const auto& [key, value] : props.items()) {
                node.props[key] = value.is_string() ? value.get<std::string>() : value.dump();
            }
        } else if (type == PW_TYPE_INTERFACE_Link) {
            graph.links.push_back({.outputNode = info.value("output-node-id", PW_ID_ANY),
                                   .inputNode = info.value("input-node-id", PW_ID_ANY)});
        } else if (type == PW_TYPE_INTERFACE_Metadata &&
                   object.value(Pointer("/props/metadata.name"), "") == "default") {
            for (const auto& entry : object.value("metadata", nlohmann::json::array())) {
                if (entry.value("key", "") == "default.audio.sink") {
                    graph.defaultSink = entry.value(Pointer("/value/name"), "");
                }
            }
        }
    }
    return graph;
}

bool PipeWireServer::waitFor(const std::function<bool(const Graph&)>& condition,
                             std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    do {
        if (auto current = graph(); current && condition(*current)) return true;
        std::this_thread::sleep_for(20ms);
    } while (Clock::now() < deadline);
    return false;
}

}  // namespace sonvel::pwtest
