#pragma once

#include <chrono>
#include <expected>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tap/AudioHardware.hpp"

namespace sonvel::pw {

// The hardware seam on a real PipeWire server, with WirePlumber as its
// session manager.
//
// What each seam object is on the server:
// - a process: every client connection of one process id that owns an audio
//   stream node; it plays while one of its playback streams runs, and its
//   devices are the sinks its playback streams are linked to;
// - a device: an `Audio/Sink` node, its UID the node name;
// - the default output: the "default" metadata's `default.audio.sink`;
// - a process tap with its aggregate device: a pair of our own streams in one
//   node group, a capture stream the tapped applications' playback streams are
//   moved into (through their `target.object` metadata, so the session
//   manager keeps its own policy) and a playback stream to the chosen sink.
//   The pair exists while IO runs; the IO procedure is called on PipeWire's
//   real-time thread with the captured audio as input and the playback
//   stream's buffer as output. Moving a stream is what mutes it; giving back
//   its metadata is what unmutes it.
// - an unmuted tap on processes, in an aggregate without an output: a capture
//   aimed at the first of their playback streams, which keeps playing to its
//   sink as well;
// - a global tap (everything but some processes, unmuted): a capture of the
//   default sink's monitor. PipeWire mixes before the monitor, so the
//   excluded processes are heard too.
// - a server restart: the connection breaking. Every seam object made on the
//   old server is gone, and `srst` is announced once a new server answers.
class PipeWireAudioSystem final : public AudioHardware {
  public:
    struct Options {
        std::string clientName = "Sonvel";
        // How often a broken connection is tried again.
        std::chrono::milliseconds reconnectInterval{200};
        // How long `connect` waits for the first full picture of the server.
        std::chrono::milliseconds connectTimeout{3000};
        // Where each moved stream's own target is kept until it is given
        // back, so a crash does not lose it; empty: the user's state folder.
        std::filesystem::path routingJournal;
    };

    // A process that plays or records through the server, as its client
    // describes itself.
    struct Application {
        ProcessID pid = 0;
        std::string name;      // application.name
        std::string bundleID;  // application.id, else the binary's name
        std::string id;        // application.id alone
        std::string binary;    // application.process.binary, else the executable's name
        std::string iconName;  // application.icon_name of a stream, else of the client

        bool operator==(const Application&) const = default;
    };

    // Fails with a sentence when no server answers.
    static std::expected<std::shared_ptr<PipeWireAudioSystem>, std::string> connect(
        Options options);
    static std::expected<std::shared_ptr<PipeWireAudioSystem>, std::string> connect() {
        return connect(Options{});
    }
    ~PipeWireAudioSystem() override;
    PipeWireAudioSystem(const PipeWireAudioSystem&) = delete;
    PipeWireAudioSystem& operator=(const PipeWireAudioSystem&) = delete;

    [[nodiscard]] std::vector<Application> applications() const;
    // The server's version and its session manager's, for naming the audio
    // path a live test proved.
    struct Versions {
        std::string server;                 // empty until the server said
        ProcessID sessionManager = -1;      // WirePlumber's process; -1: none connected
        std::string sessionManagerVersion;  // where its client states one
        bool operator==(const Versions&) const = default;
    };
    [[nodiscard]] Versions versions() const;
    // The applications (by key) whose engine is built as soon as they play,
    // and the gain it gives them: a new stream of theirs plays at that gain
    // by its own volume until the engine takes it (at most a second), instead
    // of at full level while the engine is built. This covers an application
    // starting, and every client coming back after a server restart.
    void expectApplications(std::map<std::string, float> gains);
    [[nodiscard]] bool isConnected() const;

    OSStatus getPropertyDataSize(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                 std::span<const std::byte> qualifier,
                                 std::uint32_t& outSize) override;
    OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::span<const std::byte> qualifier, std::uint32_t& ioSize,
                             void* outData) override;
    OSStatus setPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                             std::span<const std::byte> qualifier, std::uint32_t size,
                             const void* data) override;
    OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) override;
    OSStatus destroyProcessTap(AudioObjectID tap) override;
    OSStatus createAggregateDevice(const nlohmann::json& description,
                                   AudioObjectID& outDevice) override;
    OSStatus destroyAggregateDevice(AudioObjectID device) override;
    OSStatus createIOProcIDWithBlock(AudioObjectID device, std::shared_ptr<DispatchQueue> queue,
                                     AudioDeviceIOBlock block,
                                     AudioDeviceIOProcID& outProcID) override;
    OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) override;
    OSStatus addPropertyListenerBlock(AudioObjectID object,
                                      const AudioObjectPropertyAddress& address,
                                      std::shared_ptr<DispatchQueue> queue,
                                      ListenerBlock block) override;
    OSStatus removePropertyListenerBlock(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::shared_ptr<DispatchQueue> queue,
                                         ListenerBlock block) override;

    struct State;

  private:
    explicit PipeWireAudioSystem(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

}  // namespace sonvel::pw
