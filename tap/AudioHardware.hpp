#pragma once

// The seam to the audio hardware layer. Every operation mirrors one call of
// the platform's hardware abstraction layer, with the same arguments and
// results: object IDs, property addresses, qualifiers, byte sizes in and out
// and OSStatus codes. Nothing above this header knows what stands behind it;
// on the target platform each operation is a pass-through.
//
// How values cross the seam:
// - Fixed-size properties are raw bytes of the documented C layout.
// - Strings (UIDs, names, bundle IDs) cross as UTF-8 bytes without a
//   terminator: the size query gives the byte count and a read copies up to
//   the given size, reporting the bytes written. An absent string reads as
//   zero bytes. A UID qualifier (`uidd`) is passed the same way.
// - Object-ID lists are arrays of 32-bit IDs; `slay` is an AudioBufferList
//   layout (a 32-bit count, 4 bytes of padding, then 16-byte AudioBuffers);
//   `tfmt` is a 40-byte AudioStreamBasicDescription; `suse` is an
//   AudioHardwareIOProcStreamUsage (the IO procedure ID, a 32-bit count, one
//   32-bit on/off flag per stream).
// - A tap description and an aggregate-device description are values
//   (`TapDescription` and a JSON object with the platform's dictionary keys).
// - Listener blocks and queues are shared objects; removing a listener must
//   name the same object, address, queue and block as adding it.
//
// Threads (tests/tap/SeamContractTest.cpp holds every backend to this):
// - Any thread may call any operation, several at once: a backend serializes
//   them itself. The one exception is an IO block, which must not call the
//   seam at all: stopping waits for the cycle in progress, and the IO thread
//   is real-time, so it must not block or allocate either.
// - A listener block runs on the queue it was added with (a queue is
//   required, and its `async` must not run work at once) and may call any
//   operation, including removing its own listener. Once removal
//   returns, the block is not called again, even for notices already queued.
// - An IO block runs on its device's IO thread (one thread for every cycle;
//   the simulator's stepped mode: the thread that steps). No backend here
//   runs IO on a queue. Once `deviceStop` or `destroyIOProcID` returns, the
//   block is not called again.
// - `srst` reaches the system object's listeners only after every tap,
//   aggregate and IO procedure of the old server is gone and its IO stopped.
// - Destroying the backend (not from one of its own blocks) releases every
//   tap, aggregate and registration; when the destructor returns, none of
//   its blocks runs again.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <vector>

#include "core/AudioBufferList.hpp"
#include "core/ProcessRecord.hpp"
#include "tap/DispatchQueue.hpp"

namespace sonvel {

using OSStatus = std::int32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
// Opaque, never 0 for a procedure that exists.
using AudioDeviceIOProcID = std::uint64_t;

constexpr std::uint32_t fourCC(const char (&code)[5]) {
    return (std::uint32_t(std::uint8_t(code[0])) << 24) |
           (std::uint32_t(std::uint8_t(code[1])) << 16) |
           (std::uint32_t(std::uint8_t(code[2])) << 8) | std::uint32_t(std::uint8_t(code[3]));
}

namespace hal {

constexpr AudioObjectID systemObject = 1;
constexpr AudioObjectID unknownObject = 0;

constexpr AudioObjectPropertyScope globalScope = fourCC("glob");
constexpr AudioObjectPropertyScope inputScope = fourCC("inpt");
constexpr AudioObjectPropertyScope outputScope = fourCC("outp");
constexpr AudioObjectPropertyElement mainElement = 0;

// Status codes.
constexpr OSStatus noError = 0;
constexpr OSStatus notRunningError = std::int32_t(fourCC("stop"));
constexpr OSStatus unspecifiedError = std::int32_t(fourCC("what"));
constexpr OSStatus unknownPropertyError = std::int32_t(fourCC("who?"));
constexpr OSStatus badPropertySizeError = std::int32_t(fourCC("!siz"));
constexpr OSStatus illegalOperationError = std::int32_t(fourCC("nope"));
constexpr OSStatus badObjectError = std::int32_t(fourCC("!obj"));
constexpr OSStatus badDeviceError = std::int32_t(fourCC("!dev"));
constexpr OSStatus unsupportedOperationError = std::int32_t(fourCC("unop"));
constexpr OSStatus paramError = -50;

// Selectors.
namespace selector {
constexpr AudioObjectPropertySelector processObjectList = fourCC("prs#");
constexpr AudioObjectPropertySelector devices = fourCC("dev#");
constexpr AudioObjectPropertySelector defaultOutputDevice = fourCC("dOut");
constexpr AudioObjectPropertySelector translatePIDToProcessObject = fourCC("id2p");
constexpr AudioObjectPropertySelector translateUIDToDevice = fourCC("uidd");
constexpr AudioObjectPropertySelector translateUIDToTap = fourCC("uidt");
constexpr AudioObjectPropertySelector serviceRestarted = fourCC("srst");
constexpr AudioObjectPropertySelector processPID = fourCC("ppid");
constexpr AudioObjectPropertySelector processBundleID = fourCC("pbid");
constexpr AudioObjectPropertySelector processIsRunningOutput = fourCC("piro");
constexpr AudioObjectPropertySelector processIsRunningInput = fourCC("piri");
constexpr AudioObjectPropertySelector processDevices = fourCC("pdv#");
constexpr AudioObjectPropertySelector deviceUID = fourCC("uid ");
constexpr AudioObjectPropertySelector name = fourCC("lnam");
constexpr AudioObjectPropertySelector streamConfiguration = fourCC("slay");
constexpr AudioObjectPropertySelector nominalSampleRate = fourCC("nsrt");
constexpr AudioObjectPropertySelector bufferFrameSize = fourCC("fsiz");
constexpr AudioObjectPropertySelector latency = fourCC("ltnc");
constexpr AudioObjectPropertySelector safetyOffset = fourCC("saft");
constexpr AudioObjectPropertySelector isHidden = fourCC("hidn");
constexpr AudioObjectPropertySelector hogMode = fourCC("oink");
constexpr AudioObjectPropertySelector isAlive = fourCC("livn");
constexpr AudioObjectPropertySelector tapFormat = fourCC("tfmt");
constexpr AudioObjectPropertySelector ioProcStreamUsage = fourCC("suse");
constexpr AudioObjectPropertySelector processorOverload = fourCC("over");
constexpr AudioObjectPropertySelector ioStoppedAbnormally = fourCC("stpd");
}  // namespace selector

}  // namespace hal

struct AudioObjectPropertyAddress {
    AudioObjectPropertySelector selector = 0;
    AudioObjectPropertyScope scope = hal::globalScope;
    AudioObjectPropertyElement element = hal::mainElement;

    bool operator==(const AudioObjectPropertyAddress&) const = default;
};

// The 40-byte stream description of a tap's format.
struct AudioStreamBasicDescription {
    double sampleRate = 0;
    std::uint32_t formatID = 0;
    std::uint32_t formatFlags = 0;
    std::uint32_t bytesPerPacket = 0;
    std::uint32_t framesPerPacket = 0;
    std::uint32_t bytesPerFrame = 0;
    std::uint32_t channelsPerFrame = 0;
    std::uint32_t bitsPerChannel = 0;
    std::uint32_t reserved = 0;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

// What a process tap captures and what it does to the tapped audio.
struct TapDescription {
    enum class Kind {
        stereoMixdownOfProcesses,            // the listed processes (or bundle IDs)
        stereoGlobalTapButExcludeProcesses,  // everything but the listed processes
    };
    // Mute behaviour values as the platform numbers them.
    static constexpr std::int32_t unmuted = 0;
    static constexpr std::int32_t muted = 1;
    static constexpr std::int32_t mutedWhenTapped = 2;

    Kind kind = Kind::stereoMixdownOfProcesses;
    std::vector<AudioObjectID> processes;
    std::vector<std::string> bundleIDs;
    bool processRestoreEnabled = false;
    std::string uuid;
    std::string name;
    bool isPrivate = false;
    std::int32_t muteBehavior = unmuted;
};

// Called once per IO cycle on the IO thread with the input (absent when the
// device has none) and output buffers of that cycle.
using AudioDeviceIOBlock =
    std::function<void(const AudioBufferList* input, const AudioBufferList& output)>;
using AudioObjectPropertyListenerBlock =
    std::function<void(std::span<const AudioObjectPropertyAddress> addresses)>;
using ListenerBlock = std::shared_ptr<const AudioObjectPropertyListenerBlock>;

class AudioHardware {
  public:
    virtual ~AudioHardware() = default;

    virtual OSStatus getPropertyDataSize(AudioObjectID object,
                                         const AudioObjectPropertyAddress& address,
                                         std::span<const std::byte> qualifier,
                                         std::uint32_t& outSize) = 0;
    virtual OSStatus getPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     std::span<const std::byte> qualifier, std::uint32_t& ioSize,
                                     void* outData) = 0;
    virtual OSStatus setPropertyData(AudioObjectID object,
                                     const AudioObjectPropertyAddress& address,
                                     std::span<const std::byte> qualifier, std::uint32_t size,
                                     const void* data) = 0;

    virtual OSStatus createProcessTap(const TapDescription& description, AudioObjectID& outTap) = 0;
    virtual OSStatus destroyProcessTap(AudioObjectID tap) = 0;
    virtual OSStatus createAggregateDevice(const nlohmann::json& description,
                                           AudioObjectID& outDevice) = 0;
    virtual OSStatus destroyAggregateDevice(AudioObjectID device) = 0;

    // `queue` may be null: the block then runs on the device's IO thread.
    virtual OSStatus createIOProcIDWithBlock(AudioObjectID device,
                                             std::shared_ptr<DispatchQueue> queue,
                                             AudioDeviceIOBlock block,
                                             AudioDeviceIOProcID& outProcID) = 0;
    virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    // After a successful stop the block is not called again.
    virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID proc) = 0;
    virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID proc) = 0;

    virtual OSStatus addPropertyListenerBlock(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              std::shared_ptr<DispatchQueue> queue,
                                              ListenerBlock block) = 0;
    // Once it returns, the block is not called again.
    virtual OSStatus removePropertyListenerBlock(AudioObjectID object,
                                                 const AudioObjectPropertyAddress& address,
                                                 std::shared_ptr<DispatchQueue> queue,
                                                 ListenerBlock block) = 0;
};

}  // namespace sonvel
