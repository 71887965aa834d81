#include "sonvel-tap/ProcessMeter.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>

#include "sonvel-tap/ProcessTable.hpp"
#include "tap/TapCreation.hpp"
#include "tap/Uuid.hpp"

namespace sonvel {

namespace {

using Meters = std::array<EngineMeter, ProcessMeter::maxChannels>;

// One IO cycle, channel by channel. On the IO thread: stack values and the
// meters' atomics only.
void measure(const AudioBufferList* input, Meters& meters) {
    if (!input) return;
    std::array<RenderStats, ProcessMeter::maxChannels> stats{};
    std::size_t first = 0;
    for (const AudioBuffer& buffer : input->buffers) {
        const std::size_t width = buffer.channelCount;
        if (buffer.data && width > 0) {
            const std::size_t samples = buffer.byteSize / sizeof(float);
            for (std::size_t i = 0; i < samples; ++i) {
                const std::size_t channel = first + i % width;
                if (channel >= stats.size()) continue;
                const float x = buffer.data[i];
                RenderStats& s = stats[channel];
                s.inputPeak = std::max(s.inputPeak, std::fabs(x));
                s.inputSumOfSquares += double(x) * double(x);
                s.inputNonZeroSamples += x != 0.0f;
                ++s.inputSampleCount;
            }
        }
        first += width;
    }
    for (std::size_t c = 0; c < std::min(first, meters.size()); ++c) meters[c].record(stats[c]);
}

std::string levels(const std::vector<MeterSnapshot>& channels) {
    std::string text;
    for (std::size_t c = 0; c < channels.size(); ++c) {
        text += fmt::format("  ch{} peak {:7.2f} rms {:7.2f} dBFS", c + 1,
                            channels[c].inputPeakDBFS(), channels[c].inputRMSDBFS());
    }
    return text;
}

// Adds a later snapshot of the same channel to a running total.
void add(MeterSnapshot& total, const MeterSnapshot& more) {
    total.inputPeak = std::max(total.inputPeak, more.inputPeak);
    total.inputSumOfSquares += more.inputSumOfSquares;
    total.inputSamples += more.inputSamples;
    total.inputNonZeroSamples += more.inputNonZeroSamples;
}

std::uint64_t nonZero(const std::vector<MeterSnapshot>& channels) {
    std::uint64_t count = 0;
    for (const MeterSnapshot& s : channels) count += s.inputNonZeroSamples;
    return count;
}

}  // namespace

ProcessMeter::ProcessMeter(std::shared_ptr<AudioHardware> hal)
    : hal_(std::move(hal)), meters_(std::make_shared<Meters>()) {}

ProcessMeter::~ProcessMeter() {
    (void)cleanup_.runAll();
}

std::expected<std::unique_ptr<ProcessMeter>, EngineError> ProcessMeter::make(
    std::shared_ptr<AudioHardware> hal, AudioObjectID process) {
    std::unique_ptr<ProcessMeter> meter(new ProcessMeter(std::move(hal)));
    if (auto built = meter->build(process); !built) return std::unexpected(built.error());
    return meter;
}

std::expected<void, EngineError> ProcessMeter::build(AudioObjectID process) {
    TapDescription tap;
    tap.kind = TapDescription::Kind::stereoMixdownOfProcesses;
    tap.processes = {process};
    tap.uuid = Uuid::make();
    tap.name = "Sonvel tap meter";
    tap.isPrivate = true;
    tap.muteBehavior = TapDescription::unmuted;
    const auto created = createFloat32Tap(hal_, tap, cleanup_, "destroy meter tap");
    if (!created) return std::unexpected(created.error());
    channels_ = static_cast<long>(created->format.channelsPerFrame);

    const std::string uid = "app.velmorra.sonvel.probe." + Uuid::make();
    const nlohmann::json description = {
        {"name", "Sonvel Tap Meter"},
        {"uid", uid},
        {"private", true},
        {"stacked", false},
        {"tapautostart", false},
        {"subdevices", nlohmann::json::array()},
        {"taps", nlohmann::json::array({{{"uid", tap.uuid}, {"drift", true}}})},
    };
    const auto aggregate = createAggregate(hal_, description, cleanup_, "destroy meter aggregate");
    if (!aggregate) return std::unexpected(aggregate.error());
    const auto proc = createIOProc(
        hal_, *aggregate,
        [meters = meters_](const AudioBufferList* in, const AudioBufferList&) {
            measure(in, *meters);
        },
        cleanup_, "destroy meter IOProc");
    if (!proc) return std::unexpected(proc.error());
    return startIO(hal_, *aggregate, *proc, cleanup_, "meter");
}

std::vector<MeterSnapshot> ProcessMeter::take() {
    std::vector<MeterSnapshot> snapshots;
    const auto count = std::min<std::size_t>(static_cast<std::size_t>(channels_), maxChannels);
    for (std::size_t c = 0; c < count; ++c) snapshots.push_back((*meters_)[c].takeSnapshot());
    return snapshots;
}

std::expected<RunEnd, CommandFailure> ProcessMeter::run(const std::shared_ptr<AudioHardware>& hal,
                                                        const MeterCommand& command, Pacer& pacer,
                                                        std::ostream& out) {
    const auto process = ProcessTable::playingProcess(*hal, command.pid);
    if (!process) return std::unexpected(process.error());
    auto meter = make(hal, process->objectID);
    if (!meter) {
        return std::unexpected(
            CommandFailure{ExitCode::audioFailure,
                           fmt::format("The meter tap on process {} could not be built: {}",
                                       command.pid, meter.error().description())});
    }
    out << fmt::format("Metering pid {} ({}) through an unmuted tap, {} channel(s), for {} s.\n",
                       command.pid, process->bundleID.value_or("no bundle ID"),
                       (*meter)->channels(), command.seconds)
        << std::flush;

    std::vector<MeterSnapshot> total((*meter)->take().size());
    int seconds = 0;
    RunEnd end = RunEnd::completed;
    while (seconds < command.seconds) {
        if (!pacer.wait(1.0)) {
            end = RunEnd::interrupted;
            break;
        }
        ++seconds;
        const auto second = (*meter)->take();
        for (std::size_t c = 0; c < total.size(); ++c) add(total[c], second[c]);
        out << fmt::format("{:3} s{}  non-zero {}\n", seconds, levels(second), nonZero(second))
            << std::flush;
    }
    const auto failures = (*meter)->stop();

    std::uint64_t samples = 0;
    for (const MeterSnapshot& s : total) samples += s.inputSamples;
    out << fmt::format("over {} s:{}  non-zero {} of {} samples\n", seconds, levels(total),
                       nonZero(total), samples);
    if (seconds > 0 && nonZero(total) == 0) {
        out << "The tap delivered only silence: the process may be silent, capture may be "
               "denied, or this backend's unmuted taps may not carry a process's audio.\n";
    }
    if (!failures.empty()) {
        return std::unexpected(CommandFailure{
            ExitCode::audioFailure, fmt::format("The meter could not release {}: {}",
                                                failures.front().label, failures.front().message)});
    }
    return end;
}

}  // namespace sonvel
