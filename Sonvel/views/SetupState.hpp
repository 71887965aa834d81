#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Sonvel/LiveTestPhase.hpp"
#include "Sonvel/PlatformWording.hpp"
#include "Sonvel/views/Tone.hpp"
#include "core/AppGroup.hpp"
#include "core/ControlGate.hpp"
#include "core/OutputContext.hpp"
#include "core/PermissionState.hpp"
#include "core/ValidationRecord.hpp"

// What the setup window shows, as pure functions of the model's state: the
// widgets in ui/ render a SetupState and call the model's commands, nothing
// more. No platform; main thread or any.
namespace sonvel {

class MixerModel;

// The model's state the setup window reads, copied out so that the rules can
// be exercised without a model.
struct SetupInput {
    ControlGate gate{ControlGate::NeedsPermission{}};
    PermissionState permission{PermissionState::Unknown{}};
    std::optional<std::string> permissionMessage;
    LiveTestPhase liveTest{LiveTestPhase::Idle{}};
    bool isLiveTesting = false;
    std::vector<AppGroup> candidates;
    std::optional<OutputContext> output;
    std::optional<ValidationRecord> validation;
    std::string osBuild;

    static SetupInput of(const MixerModel& model);
};

// A date and time in the user's locale, abbreviated date and shortened time.
using DateFormat = std::function<std::string(std::chrono::system_clock::time_point)>;

struct ControlsStatusState {
    std::string symbol;
    Tone symbolTone = Tone::warning;
    std::string title;
    std::string detail;
    bool operator==(const ControlsStatusState&) const = default;
};

struct StepHeaderState {
    std::string title;
    bool complete = false;
    std::string symbol;
    bool operator==(const StepHeaderState&) const = default;
};

struct AccessStepState {
    // A label carries a symbol; a progress line a spinner; instructions neither.
    enum class Line { label, progress, instructions };

    std::string intro;
    Line line = Line::instructions;
    std::string lineSymbol;
    Tone lineTone = Tone::primary;
    std::string lineText;
    std::optional<std::string> message;
    std::optional<std::string> instructions;
    bool checkAccessEnabled = true;
    bool showsPrivacySettings = true;
    std::string privacySettingsTitle;
    bool operator==(const AccessStepState&) const = default;
};

struct TestChoice {
    std::string key;
    std::string name;
    bool operator==(const TestChoice&) const = default;
};

struct IdleTestState {
    struct Record {
        std::string text;
        Tone tone = Tone::secondary;
        bool operator==(const Record&) const = default;
    };

    std::string intro;
    std::optional<Record> record;
    // "Complete step 1 first."; nothing else follows it.
    std::optional<std::string> blocked;
    // Shown when nothing can be tested, instead of the picker.
    std::optional<std::string> hint;
    std::optional<std::string> outputProblem;
    std::vector<TestChoice> choices;
    // The key the picker shows, which is also the one the start button tests.
    std::optional<std::string> selection;
    bool operator==(const IdleTestState&) const = default;
};

// Starting and finishing: a spinner and one sentence.
struct BusyTestState {
    std::string text;
    bool operator==(const BusyTestState&) const = default;
};

struct RunningTestState {
    struct StepLine {
        std::string symbol;
        std::string instruction;
        bool current = false;
        bool operator==(const StepLine&) const = default;
    };

    std::string heading;
    std::vector<StepLine> steps;
    bool operator==(const RunningTestState&) const = default;
};

struct AnswerTestState {
    std::optional<std::string> automaticFailure;
    std::string question;
    // Empty when nothing was measured; then no "Measured" block shows.
    std::vector<std::string> measured;
    bool yesEnabled = true;
    bool operator==(const AnswerTestState&) const = default;
};

using LiveTestStepState =
    std::variant<IdleTestState, BusyTestState, RunningTestState, AnswerTestState>;

struct SetupState {
    ControlsStatusState status;
    StepHeaderState accessHeader;
    AccessStepState access;
    StepHeaderState liveTestHeader;
    LiveTestStepState liveTest;
    bool operator==(const SetupState&) const = default;
};

namespace SetupView {

inline constexpr const char* windowIdentifier = "setup";
inline constexpr const char* windowTitle = "Sonvel Setup";
inline constexpr int windowWidth = 520;

ControlsStatusState controlsStatus(const ControlGate& gate, const PlatformWording& wording);

AccessStepState accessStep(const PermissionState& permission,
                           const std::optional<std::string>& message, bool isLiveTesting,
                           const PlatformWording& wording);

// "Passed on <date> with <app> via <device> (<system> <build>)." and, when the
// record no longer applies to `current`, why it must be repeated.
std::string recordSummary(const ValidationRecord& record, const ValidationPath& current,
                          const DateFormat& formatDate, const PlatformWording& wording);

// The key the start button tests: the chosen one while it can still be
// tested, otherwise the first candidate; none without candidates.
std::optional<std::string> keyToTest(const std::vector<AppGroup>& candidates,
                                     const std::optional<std::string>& selectedKey);

// `selectedKey` is the window's own choice in the picker, if any.
SetupState setup(const SetupInput& input, const std::optional<std::string>& selectedKey,
                 const DateFormat& formatDate, const PlatformWording& wording);

}  // namespace SetupView

}  // namespace sonvel
