#include "tap/GainTapEngine.hpp"

#include <fmt/format.h>

#include <cstring>
#include <numeric>

#include "core/GainRenderer.hpp"
#include "tap/AudioObject.hpp"
#include "tap/Release.hpp"
#include "tap/SerialQueue.hpp"
#include "tap/TapCreation.hpp"
#include "tap/Uuid.hpp"

namespace sonvel {

namespace sel = hal::selector;
using Error = GainTapEngineError;

// What the listeners need, shared so a notification that races the engine's
// teardown still finds it.
struct GainTapEngine::Shared {
    EngineCounters counters;
    OnFault onFault;

    void fault(FaultKind kind, const std::string& message) {
        if (counters.faults.fetch_add(1) + 1 == 1 && onFault) onFault(kind, message);
    }
};

double GainTapSetupInfo::estimatedLatencyMilliseconds() const {
    if (!(sampleRate > 0)) return 0;
    const double frames = double(bufferFrames) + outputLatencyFrames + outputSafetyOffsetFrames +
                          inputLatencyFrames + inputSafetyOffsetFrames;
    return frames / sampleRate * 1000.0;
}

GainTapEngine::GainTapEngine(std::shared_ptr<AudioHardware> hal, Configuration configuration,
                             float initialGain, OnFault onFault)
    : hal_(std::move(hal)),
      configuration_(std::move(configuration)),
      control_(std::make_shared<GainControl>(initialGain, 0)),
      meter_(std::make_shared<EngineMeter>()),
      segments_(configuration_.measurementSegments >= 1
                    ? std::make_shared<SegmentedMeter>(configuration_.measurementSegments)
                    : nullptr),
      shared_(std::make_shared<Shared>()) {
    shared_->onFault = std::move(onFault);
}

GainTapEngine::~GainTapEngine() {
    (void)cleanup_.runAll();
}

std::expected<std::shared_ptr<GainTapEngine>, EngineError> GainTapEngine::make(
    std::shared_ptr<AudioHardware> hal, Configuration configuration, float initialGain,
    OnFault onFault) {
    std::shared_ptr<GainTapEngine> engine(new GainTapEngine(
        std::move(hal), std::move(configuration), initialGain, std::move(onFault)));
    if (auto built = engine->build(); !built) {
        (void)engine->cleanup_.runAll();
        return std::unexpected(built.error());
    }
    return engine;
}

namespace {

std::unexpected<EngineError> fail(std::string operation, OSStatus status) {
    return std::unexpected(EngineError{CoreAudioError{std::move(operation), status}});
}

std::unexpected<EngineError> fail(GainTapEngineError error) {
    return std::unexpected(EngineError{std::move(error)});
}

template <class T>
T orZero(AudioHardware& hal, AudioObjectID object, AudioObjectPropertySelector selector,
         AudioObjectPropertyScope scope = hal::globalScope) {
    return AudioObject::readValue<T>(hal, object, selector, scope).value_or(T{});
}

}  // namespace

std::expected<void, EngineError> GainTapEngine::build() {
    AudioHardware& hal = *hal_;
    const Configuration& config = configuration_;

    if (config.bundleIDs && config.bundleIDs->empty()) return fail(Error::MissingBundleID{});
    if (!config.bundleIDs && config.processObjectIDs.empty()) return fail(Error::NoProcesses{});

    TapDescription tap;
    tap.kind = TapDescription::Kind::stereoMixdownOfProcesses;
    if (config.bundleIDs) {
        tap.bundleIDs = *config.bundleIDs;
        tap.processRestoreEnabled = true;
    } else {
        tap.processes = config.processObjectIDs;
    }
    tap.uuid = Uuid::make();
    tap.name = "Sonvel " + config.name;
    tap.isPrivate = true;

    switch (config.muting) {
        case TapPlan::Muting::never:
            return fail(Error::UnmutedPlan{});
        case TapPlan::Muting::whileTapped:
            tap.muteBehavior = TapDescription::mutedWhenTapped;
            break;
        case TapPlan::Muting::always:
            tap.muteBehavior = TapDescription::muted;
            break;
    }

    const OutputDeviceInfo& output = config.outputDevice;
    if (!output.uid || output.objectID == hal::unknownObject) return fail(Error::NoOutputDevice{});
    const auto deviceInputs =
        static_cast<long>(AudioObject::readBufferChannelCounts(
                              hal, output.objectID, sel::streamConfiguration, hal::inputScope)
                              .value_or(std::vector<long>{})
                              .size());

    const auto created = createFloat32Tap(hal_, tap, cleanup_, "destroy process tap");
    if (!created) return std::unexpected(created.error());
    const AudioStreamBasicDescription* format = &created->format;

    aggregateUID_ = "app.velmorra.sonvel.engine." + Uuid::make();
    const nlohmann::json description = {
        {"name", "Sonvel " + config.name},
        {"uid", aggregateUID_},
        {"private", true},
        {"stacked", false},
        {"master", *output.uid},
        {"subdevices", nlohmann::json::array({{{"uid", *output.uid}}})},
        {"taps", nlohmann::json::array({{{"uid", tap.uuid}, {"drift", true}}})},
    };
    const auto made = createAggregate(hal_, description, cleanup_, "destroy aggregate device");
    if (!made) return std::unexpected(made.error());
    const AudioObjectID aggregate = aggregateID_ = *made;

    const auto inputs = AudioObject::readBufferChannelCounts(
        hal, aggregate, sel::streamConfiguration, hal::inputScope);
    if (!inputs) return std::unexpected(EngineError{inputs.error()});
    const auto outputs = AudioObject::readBufferChannelCounts(
        hal, aggregate, sel::streamConfiguration, hal::outputScope);
    if (!outputs) return std::unexpected(EngineError{outputs.error()});

    // The tap's buffers must be exactly the ones after the device's own inputs.
    const auto tapChannels = static_cast<long>(format->channelsPerFrame);
    if (static_cast<long>(inputs->size()) < deviceInputs ||
        std::accumulate(inputs->begin() + deviceInputs, inputs->end(), 0L) != tapChannels) {
        return fail(Error::UnexpectedInputLayout{tapChannels, *inputs, deviceInputs});
    }
    if (std::accumulate(outputs->begin(), outputs->end(), 0L) < 1)
        return fail(Error::NoOutputChannels{});

    auto renderer = std::make_shared<GainRenderer>(control_, meter_, segments_);
    renderer_ = renderer;
    AudioDeviceIOBlock block = [renderer, deviceInputs](const AudioBufferList* in,
                                                        const AudioBufferList& out) {
        (void)renderer->process(in, deviceInputs, out);
    };
    const auto madeProc =
        createIOProc(hal_, aggregate, std::move(block), cleanup_, "destroy IOProc on");
    if (!madeProc) return std::unexpected(madeProc.error());
    const AudioDeviceIOProcID proc = *madeProc;
    procID_ = proc;

    bool inputsDisabled = false;
    if (config.disableDeviceInputs && deviceInputs > 0) {
        const AudioObjectPropertyAddress usage{sel::ioProcStreamUsage, hal::inputScope,
                                               hal::mainElement};
        std::uint32_t size = 0;
        if (const OSStatus s = hal.getPropertyDataSize(aggregate, usage, {}, size)) {
            return fail("Get size of IOProcStreamUsage", s);
        }
        std::vector<std::byte> bytes(std::max<std::uint32_t>(size, 12));
        std::memcpy(bytes.data(), &proc, sizeof proc);
        if (const OSStatus s = hal.getPropertyData(aggregate, usage, {}, size, bytes.data())) {
            return fail("Get IOProcStreamUsage", s);
        }
        std::uint32_t streams = 0;
        std::memcpy(&streams, bytes.data() + 8, sizeof streams);
        for (std::uint32_t i = 0; i < streams && 12 + 4 * (i + 1) <= bytes.size(); ++i) {
            const std::uint32_t on = long(i) >= deviceInputs ? 1 : 0;
            std::memcpy(bytes.data() + 12 + 4 * i, &on, sizeof on);
        }
        if (const OSStatus s = hal.setPropertyData(aggregate, usage, {}, size, bytes.data())) {
            return fail("Set IOProcStreamUsage", s);
        }
        inputsDisabled = true;
    }

    listenerQueue_ =
        config.listenerQueue ? config.listenerQueue : SerialQueue::make(listenerQueueLabel);
    // An engine that cannot hear its IO stop or its output go would leave a
    // muted application silent, or a stopped one unnoticed: without every
    // listener, the build fails and is retried like any other failure.
    const auto listen = [&](AudioObjectID object, AudioObjectPropertySelector selector,
                            std::function<void()> react) -> std::expected<void, EngineError> {
        const AudioObjectPropertyAddress address{selector, hal::globalScope, hal::mainElement};
        auto listener = std::make_shared<const AudioObjectPropertyListenerBlock>(
            [react = std::move(react)](std::span<const AudioObjectPropertyAddress>) { react(); });
        if (const OSStatus s =
                hal.addPropertyListenerBlock(object, address, listenerQueue_, listener)) {
            // In case it was registered all the same; harmless when it was not.
            (void)hal.removePropertyListenerBlock(object, address, listenerQueue_, listener);
            return fail(fmt::format("AudioObjectAddPropertyListenerBlock('{}' on {})",
                                    selectorName(selector), object),
                        s);
        }
        cleanup_.push(fmt::format("remove listener '{}' on {}", selectorName(selector), object),
                      release(
                          [hal = hal_, object, address, queue = listenerQueue_, listener] {
                              return hal->removePropertyListenerBlock(object, address, queue,
                                                                      listener);
                          },
                          "AudioObjectRemovePropertyListenerBlock"));
        return {};
    };
    if (auto heard = listen(aggregate, sel::processorOverload,
                            [shared = shared_] { shared->counters.overloads.fetch_add(1); });
        !heard)
        return heard;
    if (auto heard = listen(aggregate, sel::ioStoppedAbnormally,
                            [shared = shared_] {
                                shared->fault(FaultKind::ioStopped, "Audio IO stopped abnormally.");
                            });
        !heard)
        return heard;
    if (auto heard =
            listen(output.objectID, sel::isAlive,
                   [shared = shared_, hal = std::weak_ptr(hal_), device = output.objectID] {
                       const auto locked = hal.lock();
                       const auto alive = locked ? AudioObject::readValue<std::uint32_t>(
                                                       *locked, device, sel::isAlive)
                                                 : std::expected<std::uint32_t, CoreAudioError>(0u);
                       if (!alive || *alive == 0)
                           shared->fault(FaultKind::outputGone, "The output device went away.");
                   });
        !heard)
        return heard;

    GainTapSetupInfo setup;
    setup.tapSampleRate = format->sampleRate;
    setup.tapChannels = tapChannels;
    setup.tapFormatFlags = format->formatFlags;
    setup.outputDeviceName = output.name.value_or("-");
    setup.outputDeviceUID = *output.uid;
    setup.aggregateInputBuffers = *inputs;
    setup.aggregateOutputBuffers = *outputs;
    setup.firstTapBuffer = deviceInputs;
    setup.deviceInputsDisabled = inputsDisabled;
    setup.sampleRate = orZero<double>(hal, aggregate, sel::nominalSampleRate);
    setup.bufferFrames = orZero<std::uint32_t>(hal, aggregate, sel::bufferFrameSize);
    setup.outputLatencyFrames =
        orZero<std::uint32_t>(hal, aggregate, sel::latency, hal::outputScope);
    setup.outputSafetyOffsetFrames =
        orZero<std::uint32_t>(hal, aggregate, sel::safetyOffset, hal::outputScope);
    setup.inputLatencyFrames = orZero<std::uint32_t>(hal, aggregate, sel::latency, hal::inputScope);
    setup.inputSafetyOffsetFrames =
        orZero<std::uint32_t>(hal, aggregate, sel::safetyOffset, hal::inputScope);
    setup_ = std::move(setup);
    return {};
}

std::shared_ptr<EngineTakeover> GainTapEngine::takeOver(const GainTapEngine& old, float gain) {
    if (isRunning_ || !renderer_) return nullptr;
    auto takeover = std::make_shared<EngineTakeover>(old.control_, old.meter_, gain);
    renderer_->takeOver(takeover);
    return takeover;
}

std::expected<void, EngineError> GainTapEngine::start() {
    if (cleanup_.hasRun() || !procID_) return fail(Error::Stopped{});
    if (isRunning_) return {};
    auto started = startIO(hal_, aggregateID_, *procID_, cleanup_, std::to_string(aggregateID_));
    isRunning_ = started.has_value();
    return started;
}

std::vector<CleanupStack::Failure> GainTapEngine::stop() {
    isRunning_ = false;
    return cleanup_.runAll();
}

void GainTapEngine::abandon() {
    isRunning_ = false;
    (void)cleanup_.discardAll();
}

bool GainTapEngine::isAlive() const {
    if (aggregateID_ == hal::unknownObject) return false;
    return AudioSystem::deviceID(*hal_, aggregateUID_) == aggregateID_;
}

long GainTapEngine::overloadCount() const {
    return shared_->counters.overloads.load();
}
long GainTapEngine::faultCount() const {
    return shared_->counters.faults.load();
}

std::expected<void, std::string> GainTapHandoverEngine::startIO() {
    if (auto started = engine_->start(); !started)
        return std::unexpected(started.error().description());
    return {};
}

}  // namespace sonvel
