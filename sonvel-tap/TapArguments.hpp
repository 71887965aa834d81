#pragma once

#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/ProcessRecord.hpp"
#include "platform/BackendChoice.hpp"

namespace sonvel {

// What `sonvel-tap` exits with, as its help text and the README document.
namespace ExitCode {
constexpr int ok = 0;
constexpr int audioFailure = 1;
constexpr int usage = 2;
constexpr int notPlaying = 3;
constexpr int muteNotAllowed = 4;
constexpr int backendUnavailable = 5;
constexpr int noSuchDevice = 6;
// Ended by a signal, everything released first: 128 + its number, as shells report it.
constexpr int signalBase = 128;
}  // namespace ExitCode

// Why a command could not do its work, and the exit code that says so.
struct CommandFailure {
    int exitCode = ExitCode::audioFailure;
    std::string message;
};

// How a timed run (meter, rerender) ended: its full length, or cut short by
// the pacer.
enum class RunEnd { completed, interrupted };

struct ListCommand {
    bool activeOnly = false;
    bool json = false;
};
struct DevicesCommand {
    bool json = false;
};
struct MeterCommand {
    ProcessID pid = 0;
    int seconds = 5;
};
struct RerenderCommand {
    ProcessID pid = 0;
    std::optional<std::string> deviceUID;
    std::vector<float> gains{1.0f, 0.5f, 0.25f, 0.0f};
    double stepSeconds = 2.0;
};
// The help of one command, or of the tool when `command` is empty.
struct HelpCommand {
    std::string command;
};

struct TapInvocation {
    BackendChoice::Name backend = BackendChoice::Name::automatic;
    std::optional<std::string> worldPath;
    std::variant<ListCommand, DevicesCommand, MeterCommand, RerenderCommand, HelpCommand> command;
};

namespace TapArguments {

// The arguments after the program's name. Every refusal is one sentence with
// its exit code, decided before any audio system is touched.
std::expected<TapInvocation, CommandFailure> parse(std::span<const std::string_view> arguments);

// The tool's help, or one command's; empty for a command that does not exist.
std::string help(std::string_view command);

}  // namespace TapArguments

}  // namespace sonvel
