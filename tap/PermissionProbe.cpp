#include "tap/PermissionProbe.hpp"

#include <cmath>

#include "tap/AudioSystem.hpp"
#include "tap/TapCreation.hpp"
#include "tap/Uuid.hpp"

namespace sonvel {

namespace sel = hal::selector;

namespace {

// Counts what one IO cycle captured, every channel of every buffer alike.
RenderStats count(const AudioBufferList* input) {
    RenderStats stats;
    if (!input) return stats;
    for (const AudioBuffer& buffer : input->buffers) {
        if (!buffer.data) continue;
        const std::size_t samples = buffer.byteSize / 4;
        for (std::size_t i = 0; i < samples; ++i) {
            const float x = buffer.data[i];
            const float magnitude = std::fabs(x);
            if (magnitude > stats.inputPeak) stats.inputPeak = magnitude;
            stats.inputNonZeroSamples += x != 0.0f;
            stats.inputSumOfSquares += double(x) * double(x);
        }
        stats.inputSampleCount += static_cast<std::int64_t>(samples);
    }
    return stats;
}

}  // namespace

PermissionProbe::PermissionProbe(std::shared_ptr<AudioHardware> hal)
    : hal_(std::move(hal)), meter_(std::make_shared<EngineMeter>()) {}

PermissionProbe::~PermissionProbe() {
    (void)cleanup_.runAll();
}

std::expected<std::shared_ptr<PermissionProbe>, EngineError> PermissionProbe::make(
    std::shared_ptr<AudioHardware> hal, std::vector<AudioObjectID> excludedProcessObjectIDs) {
    std::shared_ptr<PermissionProbe> probe(new PermissionProbe(std::move(hal)));
    if (auto built = probe->build(excludedProcessObjectIDs); !built) {
        (void)probe->cleanup_.runAll();
        return std::unexpected(built.error());
    }
    return probe;
}

std::expected<void, EngineError> PermissionProbe::build(
    const std::vector<AudioObjectID>& excluded) {
    TapDescription tap;
    tap.kind = TapDescription::Kind::stereoGlobalTapButExcludeProcesses;
    tap.processes = excluded;
    tap.uuid = Uuid::make();
    tap.name = "Sonvel permission probe";
    tap.isPrivate = true;
    tap.muteBehavior = TapDescription::unmuted;

    if (const auto created = createFloat32Tap(hal_, tap, cleanup_, "destroy probe tap"); !created) {
        return std::unexpected(created.error());
    }

    aggregateUID_ = "app.velmorra.sonvel.probe." + Uuid::make();
    const nlohmann::json description = {
        {"name", "Sonvel Permission Probe"},
        {"uid", aggregateUID_},
        {"private", true},
        {"stacked", false},
        {"tapautostart", false},
        {"subdevices", nlohmann::json::array()},
        {"taps", nlohmann::json::array({{{"uid", tap.uuid}, {"drift", true}}})},
    };
    const auto made = createAggregate(hal_, description, cleanup_, "destroy probe aggregate");
    if (!made) return std::unexpected(made.error());
    aggregateID_ = *made;

    const auto proc = createIOProc(
        hal_, *made,
        [meter = meter_](const AudioBufferList* in, const AudioBufferList&) {
            meter->record(count(in));
        },
        cleanup_, "destroy probe IOProc on");
    if (!proc) return std::unexpected(proc.error());
    return startIO(hal_, *made, *proc, cleanup_, "probe");
}

bool PermissionProbe::isAlive() const {
    return aggregateID_ != hal::unknownObject &&
           AudioSystem::deviceID(*hal_, aggregateUID_) == aggregateID_;
}

std::vector<CleanupStack::Failure> PermissionProbe::stop() {
    return cleanup_.runAll();
}

}  // namespace sonvel
