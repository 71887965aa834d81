#pragma once

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/OneOf.hpp"

// Update checks without an update framework: an appcast (an RSS 2.0 feed whose
// items carry the Sparkle namespace's version, short version string and
// release-notes link, and a download enclosure) is read, the newest item is
// compared with the running version, and the outcome becomes one sentence.
// Pure: the network fetch is platform/qt/QtUpdateChecker's.
namespace sonvel {

struct AppcastItem {
    std::string title;
    // What versions compare by (the build); `shortVersion` is what people read.
    std::string version;
    std::optional<std::string> shortVersion;
    std::optional<std::string> releaseNotesURL;
    std::optional<std::string> enclosureURL;
    std::optional<std::string> link;
    // The item's notes as the feed gives them (usually HTML).
    std::string description;

    [[nodiscard]] const std::string& displayVersion() const {
        return shortVersion ? *shortVersion : version;
    }
    // The item's web page, else the enclosure: only http and https, so that a
    // feed cannot make the user's click open a local file or another program.
    [[nodiscard]] std::optional<std::string> downloadPage() const;

    bool operator==(const AppcastItem&) const = default;
};

// Why a check ended without an answer; `sentence` words it for the user.
struct UpdateError {
    enum class Kind { notConfigured, unreachable, timedOut, serverError, malformed, noVersions };
    Kind kind = Kind::unreachable;
    std::string detail;  // the parser's complaint, for `malformed`
    long httpStatus = 0;
    long seconds = 0;  // for `timedOut`
    bool operator==(const UpdateError&) const = default;
};

namespace update_outcome {
struct UpToDate {
    std::string current;
    bool operator==(const UpToDate&) const = default;
};
struct Available {
    AppcastItem item;
    std::string current;
    bool operator==(const Available&) const = default;
};
struct Failed {
    UpdateError error;
    bool operator==(const Failed&) const = default;
};
}  // namespace update_outcome

struct UpdateOutcome
    : OneOf<update_outcome::UpToDate, update_outcome::Available, update_outcome::Failed> {
    using UpToDate = update_outcome::UpToDate;
    using Available = update_outcome::Available;
    using Failed = update_outcome::Failed;
    using OneOf::OneOf;
    bool operator==(const UpdateOutcome&) const = default;
};

// What the settings window knows of update checks.
struct UpdateCheckState {
    bool configured = false;
    bool checking = false;
    std::optional<UpdateOutcome> last;

    [[nodiscard]] bool canCheckForUpdates() const { return configured && !checking; }
    bool operator==(const UpdateCheckState&) const = default;
};

namespace UpdateFeed {

// The feed's items that are offered to everyone (items on a named channel,
// such as a beta, are left out), in feed order. An item without a version is
// skipped. Fails with the parser's reason when the document is not an RSS feed.
std::expected<std::vector<AppcastItem>, std::string> parse(std::string_view xml);

// Negative when `a` is older than `b`, zero when they are the same version,
// positive when newer. Numbers compare as numbers (1.10 is newer than 1.9),
// missing trailing numbers count as 0 (1.0 is 1.0.0), and letters after a
// number mark a pre-release, older than the number alone (1.0b2 before 1.0).
int compareVersions(std::string_view a, std::string_view b);

// Reads a fetched feed against the running version.
UpdateOutcome evaluate(std::string_view xml, std::string_view currentVersion);

// One plain sentence for the user.
std::string sentence(const UpdateOutcome& outcome);

}  // namespace UpdateFeed

}  // namespace sonvel
