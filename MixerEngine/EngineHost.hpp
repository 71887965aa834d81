#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/EngineAction.hpp"
#include "core/EngineHandover.hpp"
#include "core/EngineSpec.hpp"
#include "core/OneOf.hpp"
#include "tap/AudioHardware.hpp"
#include "tap/DispatchQueue.hpp"
#include "tap/GainTapEngine.hpp"
#include "tap/Log.hpp"
#include "tap/PermissionProbe.hpp"

namespace sonvel {

// What the main thread may read about a running engine.
struct EngineReadout {
    std::shared_ptr<EngineMeter> meter;
    std::chrono::system_clock::time_point startedAt;
    std::optional<GainTapSetupInfo> setup;
    std::function<long()> overloads;
    std::shared_ptr<SegmentedMeter> segments;  // the live-test engine only
};

namespace engine_host_event {
struct Started {
    std::string key;
    bool operator==(const Started&) const = default;
};
struct Failed {
    std::string key;
    std::string message;
    bool operator==(const Failed&) const = default;
};
struct Fault {
    std::string key;
    std::string message;
    bool operator==(const Fault&) const = default;
};
// The engine's output device went away. The engine stays installed, keeping
// the application muted rather than suddenly at full level, until the next
// `apply` replaces it (or drops it) for the output the controller picks now.
struct OutputGone {
    std::string key;
    std::string message;
    bool operator==(const OutputGone&) const = default;
};
}  // namespace engine_host_event

// Owns every running engine, the live-test engine and the permission probe.
// All their construction, starts, gain changes, hand-overs and teardowns run
// one at a time on the host's serial queue, so audio objects are never made or
// destroyed concurrently and the main thread never waits for the audio layer.
// Events reach the main queue in the order the host's queue produced them.
class EngineHost : public std::enable_shared_from_this<EngineHost> {
  public:
    struct Event : OneOf<engine_host_event::Started, engine_host_event::Failed,
                         engine_host_event::Fault, engine_host_event::OutputGone> {
        using Started = engine_host_event::Started;
        using Failed = engine_host_event::Failed;
        using Fault = engine_host_event::Fault;
        using OutputGone = engine_host_event::OutputGone;
        using OneOf::OneOf;
        bool operator==(const Event&) const = default;
    };
    using OnEvent = std::function<void(const Event&)>;
    // None on success, or the sentence saying why not.
    using Completion = std::function<void(const std::optional<std::string>&)>;

    static constexpr const char* queueLabel = "app.velmorra.quillaster.engine-host";

    struct Dependencies {
        std::shared_ptr<AudioHardware> hal;
        std::shared_ptr<DispatchQueue> mainQueue;
        // Default: a serial queue of the host's own.
        std::shared_ptr<DispatchQueue> queue;
        std::function<std::chrono::system_clock::time_point()> now = [] {
            return std::chrono::system_clock::now();
        };
        // How a hand-over waits between polls.
        EngineHandover::Sleep sleep = EngineHandover::sleepFor;
        // Each engine's listener queue. Default: a serial queue per engine;
        // stepped tests hand out queues they pump themselves.
        std::function<std::shared_ptr<DispatchQueue>()> makeListenerQueue;
    };

    static std::shared_ptr<EngineHost> make(Dependencies dependencies, OnEvent onEvent);

    void apply(std::vector<EngineSpec> specs);
    void rebuild(std::vector<EngineSpec> specs);
    // Must not be called from the host's queue when waiting.
    void stopAll(bool wait);
    // Stops everything and waits; afterwards the host builds nothing more,
    // whatever is still queued or asked for.
    void shutdown();
    // After the audio server restarted: forget every engine, the test engine
    // and the probe whose objects went with the old server, without destroying
    // them. Anything already built on the new server is kept and owned as usual.
    void abandonAll();

    void startTestEngine(EngineSpec spec, long segments, Completion completion);
    void setTestGain(float gain, std::uint32_t segment);
    void stopTestEngine(Completion completion = {});
    void startProbe(std::vector<AudioObjectID> excludingProcessObjects, Completion completion);
    void stopProbe();

    [[nodiscard]] std::map<std::string, EngineReadout> readouts() const;
    [[nodiscard]] std::set<std::string> runningKeys() const;
    [[nodiscard]] std::optional<EngineReadout> testEngineReadout() const;
    [[nodiscard]] std::uint64_t probeNonZeroSamples() const;

    [[nodiscard]] const std::shared_ptr<DispatchQueue>& queue() const { return queue_; }

  private:
    struct Running {
        std::shared_ptr<GainTapEngine> engine;
        EngineTopology topology;
        float gain = 1.0f;
        bool outputGone = false;
    };
    // Lets a fault handler ask later whether its engine is still installed.
    struct Tag {
        std::weak_ptr<GainTapEngine> engine;
    };

    EngineHost(Dependencies dependencies, OnEvent onEvent);
    void run(std::function<void(EngineHost&)> work);
    void execute(const std::vector<EngineAction>& actions);
    std::expected<std::shared_ptr<GainTapEngine>, std::string> makeEngine(const EngineSpec& spec,
                                                                          float initialGain);
    void create(const EngineSpec& spec);
    void install(std::shared_ptr<GainTapEngine> engine, const EngineSpec& spec);
    void destroy(const std::string& key);
    void handOver(const EngineSpec& spec);
    void stopEverything();
    void stopTestEngineNow();
    void stopProbeNow();
    void report(Event event);
    void complete(const Completion& completion, std::optional<std::string> message);
    GainTapEngine::Configuration configuration(const EngineSpec& spec,
                                               const OutputDeviceInfo& device) const;

    Dependencies deps_;
    std::shared_ptr<DispatchQueue> queue_;
    OnEvent onEvent_;
    Log::Logger log_{"engine"};

    // Touched only on the queue.
    std::map<std::string, Running> engines_;
    bool closed_ = false;
    // Failures produced by work queued before a restart was handled describe
    // a server that is gone; they are dropped on delivery.
    std::uint64_t abandonsRun_ = 0;
    std::atomic<std::uint64_t> abandonsRequested_{0};
    std::shared_ptr<GainTapEngine> testEngine_;
    std::shared_ptr<PermissionProbe> probe_;

    mutable std::mutex readoutMutex_;
    std::map<std::string, EngineReadout> readoutTable_;
    mutable std::mutex testMutex_;
    std::optional<EngineReadout> testReadout_;
    mutable std::mutex probeMutex_;
    std::shared_ptr<const EngineMeter> probeMeter_;
};

}  // namespace sonvel
