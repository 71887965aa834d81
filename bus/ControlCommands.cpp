#include "bus/ControlCommands.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "Sonvel/views/RowState.hpp"
#include "core/GainTaper.hpp"
#include "core/NameOrder.hpp"
#include "core/Position.hpp"

namespace sonvel::RowView {
// A value this build does not know reads as heard: the reply then only says less.
NLOHMANN_JSON_SERIALIZE_ENUM(Hearing, {{Hearing::now, "now"},
                                       {Hearing::oncePlaying, "oncePlaying"},
                                       {Hearing::notNow, "notNow"}})
}  // namespace sonvel::RowView

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
        const auto [caption, hearing] =
            RowView::describe(group, groupStatus, preference, input.outputs, silent);
        const AppPreference p = preference.value_or(AppPreference{});
        rows.push_back({group.key, group.name, group.isPlaying, sanitizedPosition(p.position),
                        GainTaper::percentText(p.position), p.muted, p.outputDeviceUID,
                        p.outputDeviceName, caption ? caption->text : std::string(), hearing});
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
    return Error{ExitCode::controlsUnavailable, gate.title() + ". " + gate.detail()};
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

std::string changeReply(std::string_view change, const AppRow& after) {
    switch (after.hearing) {
        case RowView::Hearing::now:
            break;
        case RowView::Hearing::oncePlaying:
            return fmt::format("{} (stored for when it plays)", change);
        case RowView::Hearing::notNow:
            return fmt::format("{} (stored; not in effect now: {})", change, after.caption);
    }
    return std::string(change);
}

Error unsaved(std::string_view done, std::string_view saveError) {
    return {ExitCode::failed, fmt::format("{}, but only until Sonvel quits. {}", done, saveError)};
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
            {"caption", r.caption},
            {"hearing", r.hearing}};
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
                            optionalText(r, "outputName"), r.at("caption"), r.at("hearing")});
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

namespace {
constexpr std::pair<ExitCode, const char*> errorNames[]{
    {ExitCode::badArgument, "app.velmorra.Sonvel1.Error.BadArgument"},
    {ExitCode::noSuchApp, "app.velmorra.Sonvel1.Error.NoSuchApp"},
    {ExitCode::controlsUnavailable, "app.velmorra.Sonvel1.Error.ControlsUnavailable"},
    {ExitCode::noSuchOutput, "app.velmorra.Sonvel1.Error.NoSuchOutput"},
    {ExitCode::failed, "app.velmorra.Sonvel1.Error.Failed"},
};
}  // namespace

std::string errorName(ExitCode code) {
    for (const auto& [c, name] : errorNames) {
        if (c == code) return name;
    }
    return errorNames[std::size(errorNames) - 1].second;
}

ExitCode exitCodeOf(std::string_view name) {
    for (const auto& [c, n] : errorNames) {
        if (n == name) return c;
    }
    // Nobody owns the name, or the bus gave up waiting for an owner to start.
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == "org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == "org.freedesktop.DBus.Error.NoReply" ||
        name == "org.freedesktop.DBus.Error.Disconnected") {
        return ExitCode::notRunning;
    }
    return ExitCode::failed;
}

std::string usage() {
    return "Usage: sonvelctl COMMAND [ARGUMENTS] [--json]\n"
           "  list                     applications, their levels and outputs\n"
           "  set APP LEVEL            LEVEL: 40%, +10%, -10% or a position such as 0.4\n"
           "  mute|unmute|toggle APP   the application's mute switch\n"
           "  route APP DEVICE|default play APP through DEVICE, or the default output\n"
           "  outputs                  the output devices\n"
           "  pause|resume             stop or restart every volume change\n"
           "  status                   whether controls are available, and why not\n"
           "  watch                    print the list again whenever it changes\n"
           "APP is a key or a display name, in any case. --json prints read commands as JSON.\n"
           "Exit codes: 0 done, 1 failed, 2 bad argument, 3 Sonvel not running, 4 no such\n"
           "application, 5 controls unavailable, 6 no such output.\n";
}

Result<Invocation> parseInvocation(const std::vector<std::string>& arguments) {
    using Verb = Invocation::Verb;
    Invocation call;
    std::vector<std::string> words;
    for (const std::string& a : arguments) {
        if (a.size() > maxArgumentLength) {
            return std::unexpected(bad("An argument is too long."));
        }
        if (a == "--json") {
            call.json = true;
        } else if (a == "--help" || a == "-h") {
            return Invocation{};
        } else {
            words.push_back(a);
        }
    }
    if (words.empty()) return std::unexpected(bad("No command given.\n" + usage()));
    struct Shape {
        const char* word;
        Verb verb;
        std::size_t operands;
        bool reads;
    };
    constexpr Shape shapes[]{
        {"list", Verb::list, 0, true},      {"outputs", Verb::outputs, 0, true},
        {"status", Verb::status, 0, true},  {"watch", Verb::watch, 0, true},
        {"set", Verb::set, 2, false},       {"mute", Verb::mute, 1, false},
        {"unmute", Verb::unmute, 1, false}, {"toggle", Verb::toggle, 1, false},
        {"route", Verb::route, 2, false},   {"pause", Verb::pause, 0, false},
        {"resume", Verb::resume, 0, false}, {"help", Verb::help, 0, false},
    };
    const auto shape = std::ranges::find(shapes, words.front(), &Shape::word);
    if (shape == std::end(shapes)) {
        const auto shown = checkedName(words.front(), "command");
        if (!shown) return std::unexpected(shown.error());
        return std::unexpected(bad("'" + words.front() + "' is not a command.\n" + usage()));
    }
    if (words.size() - 1 != shape->operands) {
        return std::unexpected(
            bad(fmt::format("'{}' takes {} argument{}.\n{}", shape->word, shape->operands,
                            shape->operands == 1 ? "" : "s", usage())));
    }
    if (call.json && !shape->reads) {
        return std::unexpected(
            bad(fmt::format("'{}' prints nothing to format as JSON.", shape->word)));
    }
    call.verb = shape->verb;
    if (shape->operands > 0) {
        const auto app = checkedName(words[1], "application name");
        if (!app) return std::unexpected(app.error());
        call.app = *app;
    }
    if (call.verb == Verb::set) {
        const auto level = parseLevel(words[2]);
        if (!level) return std::unexpected(level.error());
        call.level = *level;
    } else if (call.verb == Verb::route) {
        const auto device = checkedName(words[2], "output name");
        if (!device) return std::unexpected(device.error());
        call.device = *device;
    }
    return call;
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
