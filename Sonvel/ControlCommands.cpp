#include "Sonvel/ControlCommands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Sonvel/RowState.hpp"
#include "core/GainTaper.hpp"
#include "core/NameOrder.hpp"
#include "core/Position.hpp"

namespace sonvel::ControlCommands {

namespace {

Error bad(std::string message) {
    return {ExitCode::badArgument, std::move(message)};
}

bool hasControlCharacter(std::string_view text) {
    return std::ranges::any_of(text, [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return u < 0x20 || u == 0x7f;
    });
}

bool sameText(std::string_view a, std::string_view b) {
    return NameOrder::lowercased(a) == NameOrder::lowercased(b);
}

// Candidates in a message: quoted, so a name with a comma stays readable.
template <class Rows, class Describe>
std::string candidates(const Rows& rows, Describe describe) {
    std::string list;
    for (const auto& row : rows) {
        if (!list.empty()) list += ", ";
        list += describe(row);
    }
    return list.empty() ? std::string("none") : list;
}

}  // namespace

Result<Level> parseLevel(std::string_view text) {
    if (text.size() > maxArgumentLength) return std::unexpected(bad("The level is too long."));
    const std::string shown(text);
    if (text.empty()) {
        return std::unexpected(bad("The level is empty; give it as 40%, +10%, -10% or 0.4."));
    }
    Level level;
    double sign = 1;
    if (text.front() == '+' || text.front() == '-') {
        level.relative = true;
        sign = text.front() == '-' ? -1 : 1;
        text.remove_prefix(1);
    }
    const bool percent = !text.empty() && text.back() == '%';
    if (percent) text.remove_suffix(1);
    double number = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), number);
    // from_chars reads "nan" and "inf" as numbers; neither is a level.
    // A second sign ("+-5%") is a typo, not a direction.
    if (text.empty() || text.front() == '-' || text.front() == '+' || ec != std::errc{} ||
        end != text.data() + text.size() || !std::isfinite(number)) {
        return std::unexpected(
            bad("'" + shown + "' is not a level; give it as 40%, +10%, -10% or 0.4."));
    }
    const double limit = percent ? 100.0 : 1.0;
    if (number > limit) {
        return std::unexpected(bad(fmt::format("'{}' is out of range: a level goes from 0 to {}.",
                                               shown, percent ? "100%" : "1")));
    }
    level.value = sign * (percent ? number / 100.0 : number);
    return level;
}

Result<double> checkedPosition(double position) {
    if (!std::isfinite(position) || position < 0.0 || position > 1.0) {
        return std::unexpected(
            bad(fmt::format("The position {} is out of range: it goes from 0 to 1.", position)));
    }
    return position;
}

Result<double> checkedPercent(double percent) {
    if (!std::isfinite(percent) || percent < 0.0 || percent > 100.0) {
        return std::unexpected(
            bad(fmt::format("The level {}% is out of range: it goes from 0% to 100%.", percent)));
    }
    return percent / 100.0;
}

double applyLevel(const Level& level, double current) {
    if (!level.relative) return level.value;
    return std::clamp(sanitizedPosition(current) + level.value, 0.0, 1.0);
}

Result<std::string> checkedName(std::string_view text, std::string_view what) {
    if (text.empty()) return std::unexpected(bad(fmt::format("The {} is empty.", what)));
    if (text.size() > maxArgumentLength) {
        return std::unexpected(bad(fmt::format("The {} is too long.", what)));
    }
    if (hasControlCharacter(text)) {
        return std::unexpected(bad(fmt::format("The {} contains control characters.", what)));
    }
    return std::string(text);
}

std::vector<AppRow> appRows(const PanelInput& input) {
    const PanelView::Descriptors lists = PanelView::descriptors(input.groups, input.preferences);
    std::vector<AppRow> rows;
    const auto add = [&](const AppGroupDescriptor& group) {
        std::optional<GroupStatus> groupStatus;
        if (auto found = input.statuses.find(group.key); found != input.statuses.end()) {
            groupStatus = found->second;
        }
        const std::optional<AppPreference> preference = input.preferences.preference(group.key);
        const bool silent =
            input.silenceNotice && std::ranges::count(input.silenceNotice->keys, group.key) > 0;
        const auto caption =
            RowView::caption(group, groupStatus, preference, input.outputs, silent);
        const AppPreference p = preference.value_or(AppPreference{});
        rows.push_back({group.key, group.name, group.isPlaying, sanitizedPosition(p.position),
                        GainTaper::percentText(p.position), p.muted, p.outputDeviceUID,
                        p.outputDeviceName, caption ? caption->text : std::string()});
    };
    std::ranges::for_each(lists.playing, add);
    std::ranges::for_each(lists.others, add);
    return rows;
}

std::vector<OutputRow> outputRows(const PanelInput& input) {
    std::vector<OutputRow> rows;
    for (const OutputContext& o : input.outputs) {
        rows.push_back(
            {o.uid, o.name, input.output && input.output->uid == o.uid, o.unsupportedReason});
    }
    return rows;
}

Status status(const ControlGate& gate, const Preferences& preferences) {
    if (gate.isReady()) return {true, preferences.isPaused, {}, {}};
    return {false, preferences.isPaused, gate.title(), gate.detail()};
}

std::optional<Error> refusal(const ControlGate& gate) {
    if (gate.isReady()) return std::nullopt;
    return Error{ExitCode::controlsUnavailable, gate.title() + " " + gate.detail()};
}

Result<AppRow> matchApp(std::string_view query, const std::vector<AppRow>& rows) {
    const auto name = checkedName(query, "application name");
    if (!name) return std::unexpected(name.error());
    const auto describe = [](const AppRow& r) { return fmt::format("'{}' ({})", r.name, r.key); };
    std::vector<AppRow> found;
    for (const AppRow& row : rows) {
        if (sameText(row.key, query)) return row;
        if (sameText(row.name, query)) found.push_back(row);
    }
    if (found.size() == 1) return found.front();
    if (found.empty()) {
        return std::unexpected(
            Error{ExitCode::noSuchApp, fmt::format("No application is called '{}'. Known: {}.",
                                                   *name, candidates(rows, describe))});
    }
    return std::unexpected(Error{
        ExitCode::noSuchApp, fmt::format("'{}' names {} applications; give one of their keys: {}.",
                                         *name, found.size(), candidates(found, describe))});
}

Result<std::optional<OutputRow>> matchOutput(std::string_view query,
                                             const std::vector<OutputRow>& outputs) {
    const auto name = checkedName(query, "output name");
    if (!name) return std::unexpected(name.error());
    if (sameText(query, "default")) return std::optional<OutputRow>();
    const auto describe = [](const OutputRow& o) { return fmt::format("'{}'", o.name); };
    std::vector<OutputRow> found;
    for (const OutputRow& o : outputs) {
        if (o.uid == query) {
            found = {o};
            break;
        }
        if (sameText(o.name, query) || sameText(o.uid, query)) found.push_back(o);
    }
    if (found.empty()) {
        return std::unexpected(
            Error{ExitCode::noSuchOutput, fmt::format("No output is called '{}'. Outputs: {}.",
                                                      *name, candidates(outputs, describe))});
    }
    if (found.size() > 1) {
        return std::unexpected(Error{
            ExitCode::noSuchOutput,
            fmt::format("'{}' names {} outputs; give one of their UIDs: {}.", *name, found.size(),
                        candidates(found, [](const OutputRow& o) { return o.uid; }))});
    }
    if (found.front().unavailableReason) {
        return std::unexpected(
            Error{ExitCode::noSuchOutput, fmt::format("{} cannot be chosen: {}", found.front().name,
                                                      *found.front().unavailableReason)});
    }
    return std::optional(found.front());
}

nlohmann::json toJson(const AppRow& r) {
    return {{"key", r.key},
            {"name", r.name},
            {"playing", r.playing},
            {"position", r.position},
            {"percent", r.percent},
            {"muted", r.muted},
            {"outputUID", r.outputUID ? nlohmann::json(*r.outputUID) : nlohmann::json()},
            {"outputName", r.outputName ? nlohmann::json(*r.outputName) : nlohmann::json()},
            {"caption", r.caption}};
}

nlohmann::json toJson(const OutputRow& o) {
    return {{"uid", o.uid},
            {"name", o.name},
            {"default", o.isDefault},
            {"unavailableReason",
             o.unavailableReason ? nlohmann::json(*o.unavailableReason) : nlohmann::json()}};
}

nlohmann::json toJson(const Status& s) {
    return {{"ready", s.ready}, {"paused", s.paused}, {"title", s.title}, {"detail", s.detail}};
}

namespace {

std::optional<std::string> optionalText(const nlohmann::json& j, const char* field) {
    const auto& v = j.at(field);
    if (v.is_null()) return std::nullopt;
    return v.get<std::string>();
}

// The service and the command are built together, so a reply that does not
// parse means a different Sonvel answered: say so rather than print half.
template <class T, class Read>
Result<T> parsed(std::string_view text, Read read) {
    try {
        return read(nlohmann::json::parse(text));
    } catch (const nlohmann::json::exception& e) {
        return std::unexpected(
            Error{ExitCode::failed,
                  fmt::format("Sonvel sent a reply this command cannot read ({}).", e.what())});
    }
}

}  // namespace

Result<std::vector<AppRow>> appRowsFromJson(std::string_view text) {
    return parsed<std::vector<AppRow>>(text, [](const nlohmann::json& j) {
        std::vector<AppRow> rows;
        for (const auto& r : j) {
            rows.push_back({r.at("key"), r.at("name"), r.at("playing"), r.at("position"),
                            r.at("percent"), r.at("muted"), optionalText(r, "outputUID"),
                            optionalText(r, "outputName"), r.at("caption")});
        }
        return rows;
    });
}

Result<std::vector<OutputRow>> outputRowsFromJson(std::string_view text) {
    return parsed<std::vector<OutputRow>>(text, [](const nlohmann::json& j) {
        std::vector<OutputRow> rows;
        for (const auto& o : j) {
            rows.push_back(
                {o.at("uid"), o.at("name"), o.at("default"), optionalText(o, "unavailableReason")});
        }
        return rows;
    });
}

Result<Status> statusFromJson(std::string_view text) {
    return parsed<Status>(text, [](const nlohmann::json& j) {
        return Status{j.at("ready"), j.at("paused"), j.at("title"), j.at("detail")};
    });
}

std::string formatApps(const std::vector<AppRow>& rows) {
    if (rows.empty()) return "No applications.\n";
    std::size_t width = 0;
    for (const AppRow& r : rows) width = std::max(width, r.name.size());
    std::string out;
    for (const AppRow& r : rows) {
        out += fmt::format("{:<{}}  {:>4}{}{}{}  [{}]{}\n", r.name, width, r.percent,
                           r.muted ? " muted" : "", r.playing ? " playing" : "",
                           r.outputName ? " -> " + *r.outputName : std::string(), r.key,
                           r.caption.empty() ? std::string() : "  " + r.caption);
    }
    return out;
}

std::string formatOutputs(const std::vector<OutputRow>& rows) {
    if (rows.empty()) return "No outputs.\n";
    std::string out;
    for (const OutputRow& o : rows) {
        out += fmt::format(
            "{}{}  [{}]{}\n", o.isDefault ? "* " : "  ", o.name, o.uid,
            o.unavailableReason ? "  unavailable: " + *o.unavailableReason : std::string());
    }
    return out;
}

std::string formatStatus(const Status& s) {
    if (s.ready) return "Controls are available.\n";
    return s.title + "\n" + s.detail + "\n";
}

}  // namespace sonvel::ControlCommands
