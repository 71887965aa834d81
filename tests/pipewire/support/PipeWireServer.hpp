#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonvel::pwtest {

// The null sinks every server starts with. The first is the default output.
inline const std::string kSinkA = "sonvel-test-a";        // "Test Speakers A", stereo
inline const std::string kSinkB = "sonvel-test-b";        // "Test Speakers B", stereo
inline const std::string kSinkMono = "sonvel-test-mono";  // "Test Mono", mono

// Programs nobody here wrote, playing as applications do. Each names itself
// in PipeWire its own way: its node's node.name and application.name, then its
// client's application.name and application.process.binary (pw-play and
// paplay are links to pw-cat and pacat):
//   pwPlay  "pw-play", "pw-play"  "pw-cat", "pw-cat"
//   paplay  "paplay", "paplay"    "paplay", "pacat"  (through pipewire-pulse)
//   gst     "gst-launch-1.0", -   "gst-launch-1.0", "gst-launch-1.0"
// A Sound's name replaces paplay's node.name and both application.names, and
// gst's client application.name.
enum class Player { pwPlay, paplay, gst };
std::string_view nodeName(Player player);

struct Sound {
    Player player = Player::pwPlay;
    double frequency = 440.0;
    double amplitude = 0.5;  // peak, linear
    int channels = 2;        // 1, 2 or 6 (FL FR FC LFE RL RR)
    std::string name;        // paplay's and gst's application name; empty keeps theirs
    // pw-play and paplay: instead of the sine, a 5 ms burst of it starting at
    // its peak every this many ms of the file; 0 keeps the sine.
    int burstPeriodMs = 0;
    // pw-play: more stream properties, as its --properties takes them.
    std::string properties;
};

struct SinkRecording {
    std::string sink;
    std::vector<float> samples;  // interleaved
    std::size_t channels = 0;
    double rate = 0.0;
    // Frames the graph's clock moved on by without reaching the recording
    // (cycles the capture missed or got no buffer in): 0 for a recording
    // without gaps.
    std::uint64_t missedFrames = 0;
};

// Level of one frequency on one channel in dBFS (-120 floor), measured after
// `skip` seconds: the first buffers after a link forms can still carry the
// fade-in and whatever was queued before.
double toneDB(const SinkRecording& recording, double frequency, std::size_t channel = 0,
              double skip = 0.1);
// The level a tone is heard at: the louder of the whole recording's and the
// median of its 50 ms windows'. A loaded graph drops whole cycles, which pull
// the whole down but not the median; a tone leaking through part of the time
// is louder in the whole than in the median, so it still counts.
double heardDB(const SinkRecording& recording, double frequency);

// What the registry and the "default" metadata said at one moment, as pw-dump
// lists them (numbers and lists among a node's properties in its JSON).
struct Graph {
    struct Node {
        std::uint32_t id = 0;
        std::map<std::string, std::string> props;
    };
    struct Link {
        std::uint32_t outputNode = 0;
        std::uint32_t inputNode = 0;
    };
    std::vector<Node> nodes;
    std::vector<Link> links;
    std::string defaultSink;  // node.name from default.audio.sink, empty until published

    const Node* node(std::string_view name) const;
    // Whether a link runs from the node named `from` into the node named `to`.
    bool linked(std::string_view from, std::string_view to) const;
};

// Captures what the test sinks play, through their monitors, each in its own stream
// over one shared connection, so several sinks are heard over the same span
// (their lengths can differ by one graph cycle, 1024 frames here).
// The captures are clients like any other: Stream/Input/Audio nodes named
// sonvel-recorder-<sink>, application.name "sonvel-recorder".
class Recorder {
  public:
    // Returns once every capture is receiving buffers (at most 5 s).
    static std::expected<std::unique_ptr<Recorder>, std::string> start(
        const std::vector<std::string>& sinks);
    ~Recorder();

    // One recording per sink, in the order given to start().
    std::vector<SinkRecording> stop();

  private:
    struct State;
    explicit Recorder(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// A private PipeWire + WirePlumber + pipewire-pulse session: its own runtime
// dir, session bus and configuration, so tests neither see nor disturb the
// user's audio. While it runs, this process's environment points libpipewire
// and libpulse at it; the old values come back on stop(). setenv races with
// any thread reading the environment, so start and stop while no client
// thread runs.
// Children die with the thread that started them (PR_SET_PDEATHSIG), so a
// crashed test leaves no server behind: start and restart from the test's
// own thread.
class PipeWireServer {
  public:
    // Ready means the three sinks exist, a default output is published and
    // pipewire-pulse listens.
    static std::expected<std::unique_ptr<PipeWireServer>, std::string> start();
    ~PipeWireServer();
    PipeWireServer(const PipeWireServer&) = delete;
    PipeWireServer& operator=(const PipeWireServer&) = delete;

    void stop();
    // Every client connection is lost; clients must connect again. pw-play
    // and paplay exit when theirs goes; gst-launch-1.0 stays, silent.
    std::expected<void, std::string> restart();
    // "; wireplumber exited (134): <its last log line>" for each daemon that
    // is gone; empty while all run. For a failure to say what broke.
    std::string exitedDaemons();

    const std::filesystem::path& directory() const { return dir_; }
    // The pipewire daemon, for reading its CPU time; -1 while it is not running.
    pid_t pipewirePid() const { return pipewire_; }

    // -1 if the player could not start. Its output goes to directory()/players.log.
    pid_t play(const Sound& sound);
    // SIGTERM and wait. The exit status, or 128 + signal; -1 for a pid that
    // is not a running player of this server.
    int stopPlayer(pid_t pid);

    // As a desktop's sound settings do, through the "default" metadata.
    bool setDefaultSink(std::string_view sink) const;

    // A client binds the "default" metadata and leaves before WirePlumber
    // answers the server for it: from then on the server passes metadata
    // changes on to no client (PipeWire 0.3.65's metadata module).
    bool strandMetadataBinding() const;

    std::expected<Graph, std::string> graph() const;
    // Polls the graph until `condition` holds; false after `timeout`.
    bool waitFor(const std::function<bool(const Graph&)>& condition,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

  private:
    PipeWireServer() = default;
    // Starts `argv` into `pid`, its output in <program>.log.
    std::expected<void, std::string> launch(pid_t& pid, const std::vector<std::string>& argv);
    // Polls until `missing` names nothing; fails when a daemon exits first or
    // the wait times out, naming what was still missing.
    std::expected<void, std::string> await(const std::function<std::string()>& missing);
    std::expected<void, std::string> startAudio();
    void stopAudio();
    std::filesystem::path wav(const Sound& sound) const;

    std::filesystem::path dir_;
    std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
    pid_t dbus_ = -1;
    pid_t pipewire_ = -1;
    pid_t wireplumber_ = -1;
    pid_t pulse_ = -1;
    std::vector<pid_t> players_;
};

}  // namespace sonvel::pwtest
