#pragma once

#include <expected>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Sonvel/views/PanelState.hpp"

// Control from scripts: the rules shared by the session-bus service and the
// `sonvelctl` command, as pure functions with no Qt and no bus, so that both
// ends read and check arguments the same way. Any thread.
namespace sonvel::ControlCommands {

// What `sonvelctl` exits with; scripts test these numbers, so they never change.
enum class ExitCode : int {
    ok = 0,
    failed = 1,               // anything else that went wrong
    badArgument = 2,          // unusable input; nothing was changed
    notRunning = 3,           // no Sonvel on the session bus
    noSuchApp = 4,            // APP is unknown or ambiguous
    controlsUnavailable = 5,  // the control gate is not ready
    noSuchOutput = 6,         // the route names no usable output
};

struct Error {
    ExitCode code = ExitCode::failed;
    std::string message;  // a whole sentence for the user
    bool operator==(const Error&) const = default;
};

template <class T>
using Result = std::expected<T, Error>;

// Arguments past this many bytes are refused before they are looked at: no
// name or level is anywhere near it.
inline constexpr std::size_t maxArgumentLength = 256;

// A level as typed: "40%", "0.4" (a slider position), "+10%" or "-0.1"
// (relative to the current level).
struct Level {
    double value = 0;  // a position, or a change of position when relative
    bool relative = false;
    bool operator==(const Level&) const = default;
};

Result<Level> parseLevel(std::string_view text);
// The bus takes numbers from any client: NaN and out-of-range values are
// refused there too, not clamped into a change the user did not ask for.
Result<double> checkedPosition(double position);
Result<double> checkedPercent(double percent);
// The position a level leads to from `current`; a relative change stops at 0 and 1.
double applyLevel(const Level& level, double current);

// Empty, over-long or containing control characters: refused with a sentence.
Result<std::string> checkedName(std::string_view text, std::string_view what);

// One application as scripts see it.
struct AppRow {
    std::string key;
    std::string name;
    bool playing = false;
    double position = 1.0;
    std::string percent;  // as the panel shows it
    bool muted = false;
    std::optional<std::string> outputUID;  // none: the default output
    std::optional<std::string> outputName;
    std::string caption;  // the panel's status line; empty when it has none
    RowView::Hearing hearing = RowView::Hearing::now;
    bool operator==(const AppRow&) const = default;
};

struct OutputRow {
    std::string uid;
    std::string name;
    bool isDefault = false;
    std::optional<std::string> unavailableReason;
    bool operator==(const OutputRow&) const = default;
};

struct Status {
    bool ready = false;
    bool paused = false;
    std::string title;  // empty when ready
    std::string detail;
    bool operator==(const Status&) const = default;
};

// "Playing now" first, then the other applications, as the panel lists them.
std::vector<AppRow> appRows(const PanelInput& input);
std::vector<OutputRow> outputRows(const PanelInput& input);
Status status(const ControlGate& gate, const Preferences& preferences);

// The refusal for a change while the gate is not ready: its title and detail.
std::optional<Error> refusal(const ControlGate& gate);

// APP by key or display name, ignoring case; an exact key wins over names.
Result<AppRow> matchApp(std::string_view query, const std::vector<AppRow>& rows);
// DEVICE by UID or name, ignoring case; "default" gives none. An output that
// cannot be chosen now is refused with its reason.
Result<std::optional<OutputRow>> matchOutput(std::string_view query,
                                             const std::vector<OutputRow>& outputs);

// The answer to a change (`change`: "40%", "muted"), given the row after it:
// when the row says the change is not heard now, that it is only stored, and why.
std::string changeReply(std::string_view change, const AppRow& after);
// A change made but not saved (`done`: "Music: 40%") is not done: it is lost
// when Sonvel quits, and the caller hears so with the reason.
Error unsaved(std::string_view done, std::string_view saveError);

// The wire format between the service and `sonvelctl`, and `--json`.
nlohmann::json toJson(const AppRow& row);
nlohmann::json toJson(const OutputRow& row);
nlohmann::json toJson(const Status& status);
Result<std::vector<AppRow>> appRowsFromJson(std::string_view text);
Result<std::vector<OutputRow>> outputRowsFromJson(std::string_view text);
Result<Status> statusFromJson(std::string_view text);

// D-Bus error names: the service replies with one, `sonvelctl` turns it back
// into its exit code.
std::string errorName(ExitCode code);
ExitCode exitCodeOf(std::string_view errorName);

// One `sonvelctl` command line, checked before anything is sent.
struct Invocation {
    enum class Verb {
        help,
        list,
        set,
        mute,
        unmute,
        toggle,
        route,
        outputs,
        pause,
        resume,
        status,
        watch
    };
    Verb verb = Verb::help;
    std::string app;
    Level level;
    std::string device;
    bool json = false;
    bool operator==(const Invocation&) const = default;
};

Result<Invocation> parseInvocation(const std::vector<std::string>& arguments);
std::string usage();

std::string formatApps(const std::vector<AppRow>& rows);
std::string formatOutputs(const std::vector<OutputRow>& rows);
std::string formatStatus(const Status& status);

}  // namespace sonvel::ControlCommands
