#pragma once

// The PipeWire backend's private state, shared by the files that implement
// it. Everything here is guarded by the thread loop's lock (recursive), which
// the loop's own thread holds while it runs callbacks; only `IOState` is
// touched by the real-time thread, and only through atomics.

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <chrono>
#include <expected>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "platform/pipewire/RoutingJournal.hpp"
#include "tap/ListenerRegistration.hpp"
#include "tap/PropertyBytes.hpp"

// PipeWire's method and POD macros expand to C casts in the files that use
// them, which are exactly the files that include this.
#pragma GCC diagnostic ignored "-Wold-style-cast"

namespace sonvel::pw {

// Names of every node Sonvel makes start with this, so a start-up can tell
// the metadata a killed Sonvel left behind.
inline constexpr std::string_view ownNodePrefix = "sonvel.";

// The sink a default.audio.sink value names: {"name":"…"}; empty for
// anything else.
std::string sinkNameIn(const char* value);

struct ClientInfo {
    PipeWireAudioSystem::State* owner = nullptr;
    std::uint32_t id = 0;
    ProcessID pid = -1;
    PipeWireAudioSystem::Application application;
    bool sessionManager = false;  // WirePlumber's own connection
    std::string version;          // application.version, where the client states one
    pw_proxy* proxy = nullptr;
    spa_hook hook{};
};

struct NodeInfo {
    PipeWireAudioSystem::State* owner = nullptr;
    std::uint32_t id = 0;
    std::uint32_t clientID = 0;
    std::string serial;  // object.serial: never reused while the server runs
    std::string mediaClass;
    std::string name;
    std::string description;
    std::vector<std::string> positions;  // empty: unknown
    std::uint32_t channels = 0;          // 0: unknown
    double rate = 0;                     // 0: unknown
    std::string ownTarget;               // target.object the stream asked for itself
    std::string applicationName;         // the stream's own application.name
    std::string applicationIcon;         // the stream's own application.icon_name
    bool described = false;              // its first info arrived
    pw_node_state state = PW_NODE_STATE_CREATING;
    pw_proxy* proxy = nullptr;
    spa_hook hook{};
};

struct Link {
    std::uint32_t outputNode = 0;
    std::uint32_t inputNode = 0;
};

// A target.object entry of the default metadata, as it stood before Sonvel
// moved the stream.
struct Target {
    std::optional<std::string> value;
    std::string type;
};

// The two streams that stand for a running aggregate, and what the real-time
// thread reads. Lives in a shared_ptr so the stream callbacks never outlive it.
struct IOState {
    AudioDeviceIOBlock block;
    std::uint32_t outputChannels = 0;  // 0: capture only (a probe)
    std::atomic<bool> running{false};
    std::atomic<int> inside{0};
    std::atomic<bool> failed{false};
    std::atomic<std::uint64_t> cycles{0};

    pw_stream* capture = nullptr;
    pw_stream* playback = nullptr;
    spa_hook captureHook{};
    spa_hook playbackHook{};
    std::string captureName;
    std::string playbackName;
    std::string sinkName;  // empty for a probe
    // The registry shows our capture, paused or running, and the session
    // manager's link from our playback to its sink: only then can a stream
    // held by another of our captures move here without a detour through
    // the default output. Loop thread only.
    bool ready = false;
    // Called on the loop thread when a stream fails.
    std::function<void()> onError;
};

struct TapObject {
    TapDescription description;
    std::set<ProcessID> pids;  // the processes it named, as they were then
    AudioObjectID aggregate = hal::unknownObject;
};

struct IOProc {
    AudioDeviceIOBlock block;
    bool started = false;
};

struct AggregateObject {
    std::string uid;
    std::string name;
    std::optional<std::string> outputUID;  // none: no output (a probe)
    std::vector<AudioObjectID> taps;
    std::map<AudioDeviceIOProcID, IOProc> procs;
    std::shared_ptr<IOState> io;  // while a procedure runs
};

using Listener = ListenerRegistration;

// What the seam shows of the server at one moment; kept to announce changes.
struct View {
    struct Process {
        bool runningOutput = false;
        bool runningInput = false;
        std::vector<AudioObjectID> devices;
        bool operator==(const Process&) const = default;
    };
    std::map<AudioObjectID, Process> processes;
    std::vector<AudioObjectID> devices;
    AudioObjectID defaultOutput = hal::unknownObject;
};

struct PipeWireAudioSystem::State {
    Options options;
    pw_thread_loop* loop = nullptr;
    pw_context* context = nullptr;
    pw_core* core = nullptr;
    spa_hook coreHook{};
    pw_registry* registry = nullptr;
    spa_hook registryHook{};
    pw_proxy* metadata = nullptr;  // the "default" metadata
    spa_hook metadataHook{};
    std::uint32_t metadataID = 0;
    // A second binding that reads the metadata whole (PipeWireMetadata.cpp).
    struct MetadataCheck {
        pw_proxy* proxy = nullptr;
        spa_hook hook{};
        int seq = -1;
        std::map<std::pair<std::uint32_t, std::string>, Target> read;  // subject, key
    };
    std::unique_ptr<MetadataCheck> metadataCheck;
    bool metadataRecheck = false;  // asked for while a reading was under way
    spa_source* metadataTimer = nullptr;
    spa_source* reconnectTimer = nullptr;
    bool connected = false;
    bool broken = false;   // the server went away; a reconnect is due
    bool closing = false;  // being destroyed
    bool synced = false;   // the registry's first picture arrived
    int syncSeq = -1;
    bool restarted = false;  // announce `srst` once synced
    int waitSeq = -1;        // what roundTrip waits for
    bool waitDone = false;
    ProcessID ownPID = 0;
    double rate = 48000;
    std::uint32_t quantum = 1024;
    std::string serverVersion;  // the daemon's, from its core info

    std::map<std::uint32_t, std::unique_ptr<ClientInfo>> clients;
    std::map<std::uint32_t, std::unique_ptr<NodeInfo>> nodes;
    std::map<std::uint32_t, Link> links;
    std::string defaultSinkName;
    std::map<std::uint32_t, Target> targets;  // subject node → its target.object
    // What we wrote for a subject and the server has not yet echoed, oldest
    // first, to tell the echo of our own change from someone else's.
    std::map<std::uint32_t, std::vector<std::optional<std::string>>> written;

    AudioObjectID nextID = 100;
    std::map<ProcessID, AudioObjectID> processIDs;
    std::map<std::uint32_t, AudioObjectID> deviceIDs;  // sink node → device
    std::map<AudioObjectID, TapObject> taps;
    std::map<AudioObjectID, AggregateObject> aggregates;
    AudioDeviceIOProcID nextProc = 1;
    std::vector<std::shared_ptr<Listener>> listeners;
    View view;

    // Streams Sonvel moved: node → the taps that want it, newest last, and
    // the target it had before the first of them.
    struct Moved {
        std::vector<AudioObjectID> taps;
        Target original;
    };
    std::map<std::uint32_t, Moved> moved;
    std::optional<RoutingJournal> journal;
    // Keeps (or drops) a stream's own target in the journal.
    void journalTarget(std::uint32_t node, const Target* original);

    // Applications the user turned down, by key, with their gain. The
    // session manager links a new stream 3–7 ms after it appears, long
    // before an engine can be built for it: a new stream of theirs that no
    // engine takes at once plays at that gain by its own volume until the
    // link into our capture forms, and gets its volume back then (or after
    // `lowerLimit`, when no engine came).
    std::map<std::string, float> expected;
    struct Lowered {
        std::chrono::steady_clock::time_point since;
        float gain = 1.0f;
    };
    std::map<std::uint32_t, Lowered> lowered;
    spa_source* lowerTimer = nullptr;
    static constexpr std::chrono::milliseconds lowerLimit{1000};

    // Connection (PipeWireConnection.cpp).
    bool connectCore();
    void disconnectCore();
    void scheduleReconnect(std::chrono::milliseconds delay);
    // Waits until the server handled everything sent so far. Not on the
    // loop's own thread.
    bool roundTrip(std::chrono::milliseconds timeout);
    void addGlobal(std::uint32_t id, const char* type, const spa_dict* props);
    void removeGlobal(std::uint32_t id);
    void metadataProperty(std::uint32_t subject, const char* key, const char* type,
                          const char* value);

    // The "default" metadata (PipeWireMetadata.cpp).
    void bindMetadata(std::uint32_t id);
    void unbindMetadata();
    // Reads the metadata whole through a second binding, and applies what
    // its events did not bring once the reading is complete: every second,
    // and at once when a stream we hold is linked elsewhere.
    void checkMetadata();
    void metadataChecked();

    // Derived facts (PipeWireProperties.cpp).
    [[nodiscard]] const NodeInfo* sink(AudioObjectID device) const;
    [[nodiscard]] const NodeInfo* sinkNamed(const std::string& name) const;
    [[nodiscard]] ProcessID pidOfNode(const NodeInfo& node) const;
    // Named as a listener would name it: the stream's application.name, then
    // the client's, then its binary (pw-play, not the pw-cat it runs as;
    // paplay, not pacat). The key is application.id where the client gives one.
    [[nodiscard]] std::optional<PipeWireAudioSystem::Application> applicationOf(
        ProcessID pid) const;
    [[nodiscard]] std::uint32_t channelsOf(const NodeInfo& sink) const;
    [[nodiscard]] View computeView() const;
    OSStatus readProperty(AudioObjectID object, const AudioObjectPropertyAddress& address,
                          std::span<const std::byte> qualifier, PropertyBytes& out);
    // Recomputes the view and announces what changed.
    void refresh();
    void notify(AudioObjectID object, AudioObjectPropertySelector selector);

    // Moving streams (PipeWireStreams.cpp).
    [[nodiscard]] bool covers(const TapObject& tap, const NodeInfo& node) const;
    // The first stream of an unmuted tap's processes, for a probe that has
    // no output of its own to play to.
    [[nodiscard]] const NodeInfo* listenedStream(const AggregateObject& a) const;
    // The stream's own or its metadata target names a sink other than the
    // default output: the user sent it there, and it is not ours to move.
    [[nodiscard]] bool routedElsewhere(const NodeInfo& node) const;
    [[nodiscard]] const NodeInfo* sinkTargeted(const Target& target) const;
    [[nodiscard]] bool isReady(const IOState& io) const;
    // Engages the taps of every aggregate that just became ready.
    void engageReady();
    // Someone else changed where a stream we hold plays.
    void userMoved(std::uint32_t subject);
    void engage(AudioObjectID tap);
    void release(AudioObjectID tap);
    void engageNewStream(const NodeInfo& node);
    void lowerNewStream(const NodeInfo& node);
    // Gives back the volume of streams an engine took (or all).
    void restoreLowered(bool all);
    void setVolume(const NodeInfo& node, float volume);
    // A client (or the session manager restoring its saved volume) may set
    // the stream's volume as it starts, over ours: set it again on each
    // change of state until the stream is ours.
    void keepLowered(const NodeInfo& node);
    // A link formed: a lowered stream that reaches our capture is whole again.
    void linked(const Link& link);
    void setTarget(std::uint32_t subject, const std::optional<std::string>& value,
                   const std::string& type);
    // An aggregate's IO procedure, or the status for a call that names none.
    std::expected<std::pair<AggregateObject*, IOProc*>, OSStatus> procedure(
        AudioObjectID aggregate, AudioDeviceIOProcID proc);
    OSStatus startIO(AudioObjectID aggregate, AggregateObject& a, AudioDeviceIOBlock block);
    void stopIO(AggregateObject& a);
};

// Locks the thread loop for a seam call made from any thread.
class LoopLock {
  public:
    explicit LoopLock(pw_thread_loop* loop) : loop_(loop) { pw_thread_loop_lock(loop_); }
    ~LoopLock() { pw_thread_loop_unlock(loop_); }
    LoopLock(const LoopLock&) = delete;
    LoopLock& operator=(const LoopLock&) = delete;

  private:
    pw_thread_loop* loop_;
};

}  // namespace sonvel::pw
