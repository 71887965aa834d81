#include "sonvel-tap/TapArguments.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <map>

namespace sonvel::TapArguments {

namespace {

struct OptionSpec {
    std::string_view name;
    bool takesValue = false;
};

constexpr OptionSpec globalOptions[] = {{"--backend", true}, {"--world", true}};

struct CommandSpec {
    std::string_view name;
    std::vector<OptionSpec> options;
};

const std::vector<CommandSpec>& commandSpecs() {
    static const std::vector<CommandSpec> specs = {
        {"list", {{"--active"}, {"--json"}}},
        {"devices", {{"--json"}}},
        {"meter", {{"--pid", true}, {"--seconds", true}}},
        {"rerender",
         {{"--pid", true},
          {"--allow-mute"},
          {"--device", true},
          {"--gains", true},
          {"--step-seconds", true}}},
        {"help", {}},
    };
    return specs;
}

const CommandSpec* findCommand(std::string_view name) {
    const auto& specs = commandSpecs();
    const auto found = std::ranges::find(specs, name, &CommandSpec::name);
    return found == specs.end() ? nullptr : &*found;
}

const OptionSpec* findOption(std::string_view name, const CommandSpec* command) {
    for (const OptionSpec& o : globalOptions) {
        if (o.name == name) return &o;
    }
    if (!command) return nullptr;
    const auto found = std::ranges::find(command->options, name, &OptionSpec::name);
    return found == command->options.end() ? nullptr : &*found;
}

std::unexpected<CommandFailure> usage(std::string message) {
    return std::unexpected(CommandFailure{ExitCode::usage, std::move(message)});
}

constexpr std::string_view commandList = "list, devices, meter, rerender and help";

template <class Number>
std::optional<Number> number(std::string_view text) {
    Number value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::expected<ProcessID, CommandFailure> pidArgument(
    const std::map<std::string_view, std::string_view>& given, std::string_view command) {
    const auto found = given.find("--pid");
    if (found == given.end()) {
        return usage(fmt::format(
            "{} needs --pid <pid>, the process to tap; 'sonvel-tap list --active' shows those "
            "that play.",
            command));
    }
    const auto pid = number<ProcessID>(found->second);
    if (!pid || *pid <= 0) {
        return usage(
            fmt::format("--pid takes a process ID, a whole number above 0, and '{}' is not one.",
                        found->second));
    }
    return *pid;
}

std::expected<std::vector<float>, CommandFailure> gainsArgument(std::string_view text) {
    std::vector<float> gains;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const auto gain = number<float>(text.substr(start, comma - start));
        if (!gain || !(*gain >= 0.0f && *gain <= 1.0f)) {
            return usage(
                fmt::format("--gains takes linear gains from 0 to 1 separated by commas, such as "
                            "1,0.5,0.25,0, and '{}' is not such a list.",
                            text));
        }
        gains.push_back(*gain);
        start = comma + 1;
    }
    return gains;
}

}  // namespace

std::expected<TapInvocation, CommandFailure> parse(std::span<const std::string_view> arguments) {
    const CommandSpec* command = nullptr;
    std::vector<std::string_view> positional;
    std::map<std::string_view, std::string_view> given;
    bool helpWanted = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string_view argument = arguments[i];
        if (argument == "--help" || argument == "-h") {
            helpWanted = true;
        } else if (argument.starts_with("-") && argument.size() > 1) {
            const std::size_t equals = argument.find('=');
            const std::string_view name = argument.substr(0, equals);
            const OptionSpec* option = findOption(name, command);
            if (!option) {
                return usage(command ? fmt::format("{} has no option '{}'; 'sonvel-tap {} --help' "
                                                   "lists its options.",
                                                   command->name, name, command->name)
                                     : fmt::format("Unknown option '{}' before the command; "
                                                   "'sonvel-tap help' lists the options.",
                                                   name));
            }
            if (!option->takesValue && equals != std::string_view::npos) {
                return usage(fmt::format("{} takes no value.", name));
            }
            std::string_view value;
            if (option->takesValue) {
                if (equals != std::string_view::npos) {
                    value = argument.substr(equals + 1);
                } else if (i + 1 < arguments.size()) {
                    value = arguments[++i];
                } else {
                    return usage(fmt::format("{} needs a value.", name));
                }
            }
            given[option->name] = value;
        } else if (!command) {
            command = findCommand(argument);
            if (!command) {
                return usage(fmt::format("Unknown command '{}'; the commands are {}.", argument,
                                         commandList));
            }
        } else if (command->name == "help" && positional.empty()) {
            positional.push_back(argument);
        } else {
            return usage(
                fmt::format("Unexpected argument '{}' after {}.", argument, command->name));
        }
    }

    TapInvocation invocation;
    if (const auto backend = given.find("--backend"); backend != given.end()) {
        const auto name = BackendChoice::parse(backend->second);
        if (!name) {
            return usage(fmt::format(
                "--backend takes auto, pipewire or simulated, and '{}' is none of them.",
                backend->second));
        }
        invocation.backend = *name;
    }
    if (const auto world = given.find("--world"); world != given.end()) {
        if (invocation.backend == BackendChoice::Name::pipewire) {
            return usage("--world loads a simulated world, which --backend pipewire does not use.");
        }
        invocation.worldPath = std::string(world->second);
    }

    if (helpWanted) {
        invocation.command = HelpCommand{command ? std::string(command->name) : std::string()};
        return invocation;
    }
    if (!command) {
        return usage(fmt::format("Name a command: {}.", commandList));
    }
    const std::string_view name = command->name;
    if (name == "help") {
        if (!positional.empty() && !findCommand(positional.front())) {
            return usage(fmt::format("There is no command '{}' to explain; the commands are {}.",
                                     positional.front(), commandList));
        }
        invocation.command =
            HelpCommand{positional.empty() ? std::string() : std::string(positional.front())};
    } else if (name == "list") {
        invocation.command = ListCommand{given.contains("--active"), given.contains("--json")};
    } else if (name == "devices") {
        invocation.command = DevicesCommand{given.contains("--json")};
    } else if (name == "meter") {
        MeterCommand meter;
        const auto pid = pidArgument(given, name);
        if (!pid) return std::unexpected(pid.error());
        meter.pid = *pid;
        if (const auto seconds = given.find("--seconds"); seconds != given.end()) {
            const auto value = number<int>(seconds->second);
            if (!value || *value < 1 || *value > 30) {
                return usage(fmt::format(
                    "--seconds takes a whole number of seconds from 1 to 30, and '{}' is not "
                    "one.",
                    seconds->second));
            }
            meter.seconds = *value;
        }
        invocation.command = meter;
    } else {
        RerenderCommand rerender;
        const auto pid = pidArgument(given, name);
        if (!pid) return std::unexpected(pid.error());
        rerender.pid = *pid;
        if (const auto device = given.find("--device"); device != given.end()) {
            rerender.deviceUID = std::string(device->second);
        }
        if (const auto gains = given.find("--gains"); gains != given.end()) {
            auto parsed = gainsArgument(gains->second);
            if (!parsed) return std::unexpected(parsed.error());
            rerender.gains = std::move(*parsed);
        }
        if (const auto step = given.find("--step-seconds"); step != given.end()) {
            const auto value = number<double>(step->second);
            if (!value || !(*value >= 0.5 && *value <= 30.0)) {
                return usage(fmt::format(
                    "--step-seconds takes a number of seconds from 0.5 to 30, and '{}' is not "
                    "one.",
                    step->second));
            }
            rerender.stepSeconds = *value;
        }
        if (!given.contains("--allow-mute")) {
            return std::unexpected(CommandFailure{
                ExitCode::muteNotAllowed,
                fmt::format("rerender needs --allow-mute: its tap mutes process {}, so the "
                            "application is silent for the run except through this tool.",
                            rerender.pid)});
        }
        invocation.command = rerender;
    }
    return invocation;
}

}  // namespace sonvel::TapArguments

namespace sonvel::TapArguments {

namespace {

constexpr std::string_view backendHelp =
    R"(Audio system (before or after the command):
  --backend auto|pipewire|simulated
                  pipewire: this desktop's PipeWire server, which must have a
                  session manager naming a default output; simulated: a
                  simulated world; auto (the default): PipeWire where such a
                  server answers, else the simulated world
  --world FILE    the simulated world to load (default: the shipped one)
)";

constexpr std::string_view exitCodes = R"(Exit codes:
  0      done
  1      the audio system refused or failed an operation
  2      an unknown command or option, or a value missing or malformed
  3      the process is unknown to the audio system or does not play
  4      rerender without --allow-mute
  5      the audio system chosen could not be reached or loaded
  6      no output device has the UID given with --device
  128+N  ended by signal N (130 for Ctrl-C, 143 for SIGTERM), after
         releasing every tap, aggregate device and IO procedure
)";

}  // namespace

std::string help(std::string_view command) {
    if (command.empty()) {
        return fmt::format(
            R"(sonvel-tap: Sonvel's tap layer from the command line, for checking an audio
backend one step at a time.

Usage: sonvel-tap [--backend NAME] [--world FILE] COMMAND [OPTIONS]

Commands:
  list [--active] [--json]         the processes the audio system reports
  devices [--json]                 the output devices, and which is the default
  meter --pid PID [--seconds N]    an unmuted tap on one process, metered
  rerender --pid PID --allow-mute [--device UID] [--gains LIST]
           [--step-seconds S]      a muting tap played back through an engine,
                                   one gain after the other
  help [COMMAND]                   this text, or one command's

{}
{})",
            backendHelp, exitCodes);
    }
    std::string_view text;
    if (command == "list") {
        text = R"(Usage: sonvel-tap list [--active] [--json]

The process table of the audio system: each process's object ID, pid, bundle
ID (on PipeWire its application.id or name), whether it plays output, whether
it records, and the output devices it plays to, by UID.

  --active  only the processes that play output
  --json    one JSON array, for scripts
)";
    } else if (command == "devices") {
        text = R"(Usage: sonvel-tap devices [--json]

The output devices: object ID, UID, name, channel layout (channels per output
and input buffer), nominal sample rate, buffer size in frames, whether the
device is alive, whether it is hidden, and which one is the default output.

  --json    one JSON array, for scripts
)";
    } else if (command == "meter") {
        text = R"(Usage: sonvel-tap meter --pid PID [--seconds N]

Taps one playing process without muting it, so the application stays audible,
and prints once a second the peak and RMS level of each tapped channel in
dBFS and the count of non-zero samples, then a line for the whole run.

  --pid PID      the process, as 'sonvel-tap list --active' shows it
  --seconds N    how long to meter, 1 to 30 (default 5)
)";
    } else if (command == "rerender") {
        text = R"(Usage: sonvel-tap rerender --pid PID --allow-mute [--device UID]
                          [--gains LIST] [--step-seconds S]

Builds what Sonvel builds for an application it turns down: a private tap
that mutes the process, an aggregate device joining it with an output, and an
IO procedure that plays the tapped audio again at a gain. Steps through the
gains and prints for each the measured input and output level, their
difference, and how far that lies from the gain's own value in dB. Ctrl-C or
SIGTERM releases the tap, the aggregate device and the IO procedure first.

  --pid PID          the process, as 'sonvel-tap list --active' shows it
  --allow-mute       required: the application is silent for the run except
                     through this tool
  --device UID       the output to play to (default: the default output)
  --gains LIST       linear gains from 0 to 1 (default 1,0.5,0.25,0)
  --step-seconds S   how long each gain plays, 0.5 to 30 (default 2)
)";
    } else if (command == "help") {
        text = R"(Usage: sonvel-tap help [COMMAND]

The tool's help, or one command's; '--help' after any command does the same.
)";
    } else {
        return {};
    }
    return fmt::format("{}\n{}\n{}", text, backendHelp, exitCodes);
}

}  // namespace sonvel::TapArguments
