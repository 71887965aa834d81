#include "sonvel-tap/RerenderRun.hpp"

#include <fmt/format.h>

#include <cmath>
#include <mutex>

#include "sonvel-tap/ProcessTable.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/GainTapEngine.hpp"

namespace sonvel {

namespace {

// What the engine's listeners report, read by the run between steps.
struct FaultNote {
    std::mutex mutex;
    std::optional<std::string> message;
};

std::expected<OutputDeviceInfo, CommandFailure> outputDevice(
    AudioHardware& hal, const std::optional<std::string>& uid) {
    if (uid) {
        auto device = AudioSystem::device(hal, *uid);
        if (!device) {
            return std::unexpected(CommandFailure{
                ExitCode::noSuchDevice,
                fmt::format("No output device has the UID '{}'; 'sonvel-tap devices' lists them.",
                            *uid)});
        }
        return *device;
    }
    auto device = AudioSystem::defaultOutputDevice(hal);
    if (!device || device->objectID == hal::unknownObject) {
        return std::unexpected(CommandFailure{
            ExitCode::audioFailure,
            device ? std::string("The audio system names no default output; choose one with "
                                 "--device.")
                   : fmt::format("The default output could not be read: {}.",
                                 device.error().description())});
    }
    return *device;
}

}  // namespace

std::optional<double> RerenderRun::Step::expectedDB() const {
    if (gain <= 0.0f) return std::nullopt;
    return 20.0 * std::log10(double(gain));
}

std::string RerenderRun::describe(const Step& step, std::size_t number) {
    const auto expected = step.expectedDB();
    const std::string verdict =
        expected ? fmt::format("expected {:7.2f} dB  off by {:+5.2f} dB", *expected,
                               // No "-0.00" for a match.
                               std::round((step.difference() - *expected) * 100) / 100 + 0.0)
                 : fmt::format("expected  silent     {}",
                               step.outputDBFS <= MeterSnapshot::dB(0) ? "silent" : "NOT SILENT");
    return fmt::format(
        "step {}  gain {:5.3f}  input {:7.2f} dBFS  output {:7.2f} dBFS  "
        "difference {:7.2f} dB  {}",
        number, step.gain, step.inputDBFS, step.outputDBFS, step.difference(), verdict);
}

std::expected<RunEnd, CommandFailure> RerenderRun::run(const std::shared_ptr<AudioHardware>& hal,
                                                       const RerenderCommand& command, Pacer& pacer,
                                                       std::ostream& out) {
    const auto process = ProcessTable::playingProcess(*hal, command.pid);
    if (!process) return std::unexpected(process.error());
    const auto device = outputDevice(*hal, command.deviceUID);
    if (!device) return std::unexpected(device.error());

    // As EngineHost::configuration builds it for an application turned down.
    GainTapEngine::Configuration configuration;
    configuration.name = "sonvel-tap " + process->bundleID.value_or(std::to_string(command.pid));
    configuration.processObjectIDs = {process->objectID};
    configuration.muting = TapPlan::Muting::whileTapped;
    configuration.disableDeviceInputs = true;
    configuration.outputDevice = *device;
    const auto fault = std::make_shared<FaultNote>();
    auto engine =
        GainTapEngine::make(hal, configuration, command.gains.front(),
                            [fault](GainTapEngine::FaultKind, const std::string& message) {
                                const std::lock_guard lock(fault->mutex);
                                fault->message = message;
                            });
    if (!engine) {
        return std::unexpected(CommandFailure{
            ExitCode::audioFailure, fmt::format("The engine for process {} could not be built: {}",
                                                command.pid, engine.error().description())});
    }
    const auto& setup = (*engine)->setup();
    out << fmt::format(
               "Re-rendering pid {} ({}) to '{}' ({}), {:g} Hz, {} frames, {} step(s) of {:g} s; "
               "the application is muted meanwhile.\n",
               command.pid, process->bundleID.value_or("no bundle ID"), device->name.value_or("?"),
               device->uid.value_or("?"), setup ? setup->sampleRate : 0.0,
               setup ? setup->bufferFrames : 0u, command.gains.size(), command.stepSeconds)
        << std::flush;

    std::optional<CommandFailure> failure;
    RunEnd end = RunEnd::completed;
    if (const auto started = (*engine)->start(); !started) {
        failure = CommandFailure{
            ExitCode::audioFailure,
            fmt::format("The engine's IO could not start: {}", started.error().description())};
    }
    for (std::size_t i = 0; !failure && i < command.gains.size(); ++i) {
        const float gain = command.gains[i];
        (*engine)->control().set(gain);
        if (!pacer.wait(settleSeconds)) {
            end = RunEnd::interrupted;
            break;
        }
        (void)(*engine)->meter().takeSnapshot();
        if (!pacer.wait(command.stepSeconds - settleSeconds)) {
            end = RunEnd::interrupted;
            break;
        }
        const MeterSnapshot measured = (*engine)->meter().takeSnapshot();
        out << describe({gain, measured.inputRMSDBFS(), measured.outputRMSDBFS()}, i + 1) << '\n'
            << std::flush;
        const std::lock_guard lock(fault->mutex);
        if (fault->message) {
            failure = CommandFailure{ExitCode::audioFailure,
                                     fmt::format("The engine failed: {}", *fault->message)};
        }
    }

    const auto failures = (*engine)->stop();
    engine->reset();
    if (failures.empty()) {
        out << (end == RunEnd::interrupted ? "Interrupted; " : "")
            << "released the tap, the aggregate device and the IO procedure.\n";
    }
    if (failure) return std::unexpected(*failure);
    if (!failures.empty()) {
        return std::unexpected(CommandFailure{
            ExitCode::audioFailure, fmt::format("The run could not release {}: {}",
                                                failures.front().label, failures.front().message)});
    }
    return end;
}

}  // namespace sonvel
