#include "core/PreferencesCodec.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
#include <nlohmann/json.hpp>
#include <vector>

#include "core/Iso8601.hpp"
#include "core/Position.hpp"

namespace sonvel::PreferencesCodec {

using Json = nlohmann::json;

namespace {

// Members a newer version wrote go back beside ours; ours win a clash, so
// what this version writes always decodes again.
void addUnknown(Json& object, const std::string& unknownMembers) {
    if (unknownMembers.empty()) return;
    const Json unknown = Json::parse(unknownMembers, nullptr, false);
    if (!unknown.is_object()) return;
    for (const auto& [key, value] : unknown.items()) {
        if (!object.contains(key)) object[key] = value;
    }
}

// The members of `object` not named in `known`, as text; empty when none.
std::string unknownOf(const Json& object, std::initializer_list<const char*> known) {
    Json unknown = Json::object();
    for (const auto& [key, value] : object.items()) {
        if (std::ranges::find(known, key) == known.end()) unknown[key] = value;
    }
    return unknown.empty() ? std::string()
                           : unknown.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Json encodeApp(const AppPreference& preference) {
    Json app = {{"position", sanitizedPosition(preference.position)},
                {"muted", preference.muted},
                {"displayName", preference.displayName}};
    if (preference.outputDeviceUID) app["outputDeviceUID"] = *preference.outputDeviceUID;
    if (preference.outputDeviceName) app["outputDeviceName"] = *preference.outputDeviceName;
    addUnknown(app, preference.unknownMembers);
    return app;
}

Json encodeValidation(const ValidationRecord& record) {
    Json validation = {
        {"outcome", record.outcome == ValidationRecord::Outcome::passed ? "passed" : "failed"},
        {"osBuild", record.osBuild},
        {"date", Iso8601::format(record.date)},
        {"outputDeviceName", record.outputDeviceName},
        {"appName", record.appName},
        {"measurements", record.measurements},
        {"note", record.note}};
    if (record.engineRevision) validation["engineRevision"] = *record.engineRevision;
    if (record.invalidatedReason) validation["invalidatedReason"] = *record.invalidatedReason;
    return validation;
}

// Thrown inside the decoder only, with the description that goes into the
// issue sentence.
struct Unreadable {
    std::string description;
};
// A newer version may have changed any other key, so its number is all that
// is read of it.
struct Newer {
    std::int64_t version;
};

// Reads typed values out of one JSON object, naming the place of any fault.
class Reader {
  public:
    Reader(const Json& object, std::string where) : object_(object), where_(std::move(where)) {
        if (!object_.is_object()) fail(where_.empty() ? "the document" : where_, "an object");
    }

    const Json& required(const char* key) const {
        const auto found = object_.find(key);
        if (found == object_.end()) throw Unreadable{fmt::format("missing key {}", place(key))};
        return *found;
    }

    // Absent and null both mean "none".
    const Json* optional(const char* key) const {
        const auto found = object_.find(key);
        if (found == object_.end() || found->is_null()) return nullptr;
        return &*found;
    }

    bool boolean(const char* key, const Json& value) const {
        if (!value.is_boolean()) fail(place(key), "a boolean");
        return value.get<bool>();
    }
    double number(const char* key, const Json& value) const {
        if (!value.is_number()) fail(place(key), "a number");
        return value.get<double>();
    }
    std::string string(const char* key, const Json& value) const {
        if (!value.is_string()) fail(place(key), "a string");
        return value.get<std::string>();
    }
    std::int64_t integer(const char* key, const Json& value) const {
        if (value.is_number_integer() && !value.is_number_unsigned()) {
            return value.get<std::int64_t>();
        }
        if (value.is_number_unsigned() &&
            value.get<std::uint64_t>() <=
                static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return static_cast<std::int64_t>(value.get<std::uint64_t>());
        }
        if (value.is_number_float()) {
            // 1.0 is an integer written another way; 1.5 and 1e30 are not.
            const double d = value.get<double>();
            if (std::trunc(d) == d && std::fabs(d) < 9.2e18) return static_cast<std::int64_t>(d);
        }
        fail(place(key), "an integer");
    }
    std::chrono::system_clock::time_point date(const char* key, const Json& value) const {
        if (auto parsed = Iso8601::parse(string(key, value))) return *parsed;
        fail(place(key), "an ISO 8601 date");
    }

    std::string place(const char* key) const {
        return where_.empty() ? fmt::format("“{}”", key) : fmt::format("{} › “{}”", where_, key);
    }

    [[noreturn]] static void fail(const std::string& what, const char* expected) {
        throw Unreadable{fmt::format("{} is not {}", what, expected)};
    }

  private:
    const Json& object_;
    std::string where_;
};

AppPreference decodeApp(const Json& json, const std::string& where) {
    const Reader r(json, where);
    AppPreference app;
    app.position = sanitizedPosition(r.number("position", r.required("position")));
    app.muted = r.boolean("muted", r.required("muted"));
    app.displayName = r.string("displayName", r.required("displayName"));
    if (const Json* v = r.optional("outputDeviceUID"))
        app.outputDeviceUID = r.string("outputDeviceUID", *v);
    if (const Json* v = r.optional("outputDeviceName"))
        app.outputDeviceName = r.string("outputDeviceName", *v);
    app.unknownMembers = unknownOf(
        json, {"position", "muted", "displayName", "outputDeviceUID", "outputDeviceName"});
    return app;
}

ValidationRecord decodeValidation(const Json& json) {
    const Reader r(json, "“validation”");
    ValidationRecord record;
    const std::string outcome = r.string("outcome", r.required("outcome"));
    if (outcome == "passed") {
        record.outcome = ValidationRecord::Outcome::passed;
    } else if (outcome == "failed") {
        record.outcome = ValidationRecord::Outcome::failed;
    } else {
        throw Unreadable{fmt::format("{} is neither “passed” nor “failed”", r.place("outcome"))};
    }
    record.osBuild = r.string("osBuild", r.required("osBuild"));
    record.date = r.date("date", r.required("date"));
    record.outputDeviceName = r.string("outputDeviceName", r.required("outputDeviceName"));
    record.appName = r.string("appName", r.required("appName"));
    const Json& measurements = r.required("measurements");
    if (!measurements.is_array()) Reader::fail(r.place("measurements"), "an array");
    for (const Json& line : measurements) {
        if (!line.is_string()) Reader::fail(r.place("measurements"), "a list of strings");
        record.measurements.push_back(line.get<std::string>());
    }
    record.note = r.string("note", r.required("note"));
    if (const Json* v = r.optional("engineRevision"))
        record.engineRevision = r.integer("engineRevision", *v);
    if (const Json* v = r.optional("invalidatedReason"))
        record.invalidatedReason = r.string("invalidatedReason", *v);
    return record;
}

Preferences decodeDocument(const Json& json) {
    const Reader r(json, "");
    Preferences preferences;
    preferences.version = r.integer("version", r.required("version"));
    if (preferences.version > Preferences::currentVersion) throw Newer{preferences.version};
    const Json& apps = r.required("apps");
    if (!apps.is_object()) Reader::fail(r.place("apps"), "an object");
    for (const auto& [key, value] : apps.items()) {
        preferences.apps.insert_or_assign(
            key, decodeApp(value, r.place("apps") + fmt::format(" › “{}”", key)));
    }
    preferences.isPaused = r.boolean("isPaused", r.required("isPaused"));
    preferences.showIdleApps = r.boolean("showIdleApps", r.required("showIdleApps"));
    if (const Json* v = r.optional("permissionVerifiedAt")) {
        // Clamped like every date rather than dropped: only its presence is
        // read (the access check once succeeded), and a year the clock cannot
        // hold is no reason to make the user prove the permission again.
        preferences.permissionVerifiedAt = r.date("permissionVerifiedAt", *v);
    }
    if (const Json* v = r.optional("validation")) preferences.validation = decodeValidation(*v);
    preferences.unknownMembers = unknownOf(json, {"version", "apps", "isPaused", "showIdleApps",
                                                  "permissionVerifiedAt", "validation"});
    return preferences;
}

Decoded unreadable(const std::string& description) {
    return {Preferences{}, "Preferences were unreadable (" + description + ")."};
}

}  // namespace

std::string encode(const Preferences& preferences) {
    Json apps = Json::object();
    for (const auto& [key, preference] : preferences.apps) {
        if (!preference.isDefault() || !preference.unknownMembers.empty()) {
            apps[key] = encodeApp(preference);
        }
    }
    Json document = {{"version", preferences.version},
                     {"apps", std::move(apps)},
                     {"isPaused", preferences.isPaused},
                     {"showIdleApps", preferences.showIdleApps}};
    if (preferences.permissionVerifiedAt) {
        document["permissionVerifiedAt"] = Iso8601::format(*preferences.permissionVerifiedAt);
    }
    if (preferences.validation) document["validation"] = encodeValidation(*preferences.validation);
    addUnknown(document, preferences.unknownMembers);
    // Keys come out sorted because the object type is an ordered map.
    return document.dump(-1, ' ', false, Json::error_handler_t::replace);
}

Decoded decode(const std::optional<std::string>& data) {
    if (!data) return {};
    // The JSON reader takes a NUL byte for the end of its input, which would
    // let anything after one hide behind a valid document. A raw NUL is never
    // valid JSON, wherever it stands.
    if (const std::size_t nul = data->find('\0'); nul != std::string::npos) {
        return unreadable(fmt::format("not valid JSON at byte {}", nul + 1));
    }
    Json json;
    try {
        json = Json::parse(*data);
    } catch (const Json::parse_error& e) {
        return unreadable(fmt::format("not valid JSON at byte {}", e.byte));
    } catch (const Json::out_of_range&) {
        return unreadable("a number is too large");
    } catch (const Json::exception&) {
        return unreadable("not valid JSON");
    }
    Preferences preferences;
    try {
        preferences = decodeDocument(json);
    } catch (const Unreadable& e) {
        return unreadable(e.description);
    } catch (const Newer& e) {
        return {Preferences{},
                fmt::format("Preferences were written by a newer Sonvel (version {}).", e.version)};
    } catch (const Json::exception&) {
        return unreadable("a value has the wrong type");
    }
    if (preferences.version != Preferences::currentVersion) {
        return {Preferences{},
                fmt::format("Unsupported preferences version {}.", preferences.version)};
    }
    return {std::move(preferences), std::nullopt};
}

}  // namespace sonvel::PreferencesCodec
