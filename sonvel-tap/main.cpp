// `sonvel-tap`: the tap layer from the command line, on any backend Sonvel
// runs on. Nothing in the application calls it.

#include <iostream>
#include <string_view>
#include <vector>

#include "platform/BackendChoice.hpp"
#include "sonvel-tap/Pacer.hpp"
#include "sonvel-tap/ProcessMeter.hpp"
#include "sonvel-tap/ProcessTable.hpp"
#include "sonvel-tap/RerenderRun.hpp"
#include "sonvel-tap/TapArguments.hpp"

namespace {

using namespace sonvel;

int fail(const CommandFailure& failure) {
    std::cerr << "sonvel-tap: " << failure.message << '\n';
    return failure.exitCode;
}

// What a timed run's end means for the exit code.
int finish(const std::expected<RunEnd, CommandFailure>& end, const SignalPacer& pacer) {
    if (!end) return fail(end.error());
    if (*end == RunEnd::interrupted) return ExitCode::signalBase + pacer.signalNumber();
    return ExitCode::ok;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const auto invocation = TapArguments::parse(arguments);
    if (!invocation) return fail(invocation.error());
    if (const auto* help = std::get_if<HelpCommand>(&invocation->command)) {
        std::cout << TapArguments::help(help->command);
        return ExitCode::ok;
    }

    // From here on a signal no longer ends the process outright: a run ends
    // at its next wait, once it has released what it made.
    SignalPacer pacer;
    const auto chosen = BackendChoice::choose(
        invocation->backend, invocation->worldPath.has_value(),
        invocation->worldPath.value_or(sim::SimulatedWorld::defaultWorldPath()));
    if (!chosen) return fail({ExitCode::backendUnavailable, chosen.error()});
    if (chosen->fallback) {
        std::cerr << "sonvel-tap: using the simulated audio world. " << *chosen->fallback << '\n';
    }
    const std::shared_ptr<AudioHardware> hal = chosen->hal();

    return std::visit(
        Overloaded{
            [&](const ListCommand& list) {
                const auto rows = ProcessTable::processes(*hal, list.activeOnly);
                if (!rows) return fail(rows.error());
                ProcessTable::printProcesses(*rows, list.json, std::cout);
                return ExitCode::ok;
            },
            [&](const DevicesCommand& devices) {
                ProcessTable::printDevices(ProcessTable::devices(*hal), devices.json, std::cout);
                return ExitCode::ok;
            },
            [&](const MeterCommand& meter) {
                return finish(ProcessMeter::run(hal, meter, pacer, std::cout), pacer);
            },
            [&](const RerenderCommand& rerender) {
                return finish(RerenderRun::run(hal, rerender, pacer, std::cout), pacer);
            },
            [&](const HelpCommand&) { return ExitCode::ok; },
        },
        invocation->command);
}
