#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Sonvel/PlatformWording.hpp"
#include "core/OutputContext.hpp"
#include "core/PermissionState.hpp"
#include "core/ValidationPolicy.hpp"
#include "core/ValidationRecord.hpp"
#include "tap/GainTapEngine.hpp"

// What the settings window's Diagnostics tab shows, as pure functions: the
// validation state and, per running engine, its timing and health. No
// platform; main thread or any.
namespace sonvel {

class MixerModel;

// What the page shows of one running engine, read from its readout.
struct EngineFacts {
    std::optional<GainTapSetupInfo> setup;
    long overloads = 0;
    std::uint64_t inputNonZeroSamples = 0;
    bool operator==(const EngineFacts&) const = default;
};

struct DiagnosticsInput {
    std::string osBuild;
    std::optional<ValidationRecord> validation;
    std::optional<OutputContext> output;
    PermissionState permission{PermissionState::Unknown{}};
    // By group key, so the sections come out in key order.
    std::map<std::string, EngineFacts> engines;
    std::optional<std::string> silenceNotice;
    std::optional<std::string> unreadableSettings;
    std::optional<std::string> saveError;

    // Reads the engine readouts from the host, on the main thread.
    static DiagnosticsInput of(const MixerModel& model);
};

struct DiagnosticsRow {
    std::string label;
    std::string value;
    bool operator==(const DiagnosticsRow&) const = default;
};

struct DiagnosticsSection {
    std::string title;
    std::vector<DiagnosticsRow> rows;
    bool operator==(const DiagnosticsSection&) const = default;
};

struct DiagnosticsState {
    std::vector<DiagnosticsRow> rows;
    std::vector<DiagnosticsSection> engines;
    bool operator==(const DiagnosticsState&) const = default;
};

namespace DiagnosticsView {

// Case names, with the payload in parentheses: a debugging aid.
std::string text(const ValidationStatus& status);
std::string text(const PermissionState& permission);

std::vector<DiagnosticsRow> engineRows(const EngineFacts& engine);

DiagnosticsState diagnostics(const DiagnosticsInput& input, const PlatformWording& wording);

}  // namespace DiagnosticsView

}  // namespace sonvel
