#pragma once

#include <expected>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "Sonvel/Published.hpp"
#include "core/OneOf.hpp"

// Update checks without an update framework: an appcast (an RSS 2.0 feed whose
// items carry the Sparkle namespace's version, short version string and
// release-notes link, and a download enclosure) is read, the newest item is
// compared with the running version, and the outcome becomes one sentence.
// Pure: the network fetch is platform/qt/QtUpdateChecker's.
namespace sonvel {

// Whether `url` may leave the application: an http or https address with a
// host, and nothing a URL opener could read another way (no white space,
// control characters, backslashes or user name). Every address a feed gives
// passes here before it is offered, and again before it is opened.
bool isWebLink(std::string_view url);

struct AppcastItem {
    std::string title;
    // What versions compare by (the build); `shortVersion` is what people read.
    std::string version;
    std::optional<std::string> shortVersion;
    std::optional<std::string> releaseNotesURL;
    std::optional<std::string> enclosureURL;
    std::optional<std::string> link;
    // The item's notes as plain text, at most UpdateFeed::maximumNotesBytes:
    // feeds give HTML, and nothing in it is ever rendered as such.
    std::string description;

    [[nodiscard]] const std::string& displayVersion() const {
        return shortVersion ? *shortVersion : version;
    }
    // The item's web page, else the enclosure, else nothing: only web links,
    // so that a feed cannot make the user's click open a local file or
    // another program.
    [[nodiscard]] std::optional<std::string> downloadPage() const;
    [[nodiscard]] std::optional<std::string> releaseNotesPage() const;

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

// Where the settings window's update checks come from, so the window needs
// no network library. Main thread only.
class UpdateChecker {
  public:
    virtual ~UpdateChecker() = default;
    [[nodiscard]] virtual const UpdateCheckState& state() const = 0;
    // Does nothing while a check runs or when no feed is configured.
    virtual void checkForUpdates() = 0;
    // `observer` runs after every change of the state.
    [[nodiscard]] Subscription subscribe(std::function<void()> observer) {
        return changed_.add(std::move(observer));
    }

  protected:
    void notifyChanged() const { changed_.notify(); }

  private:
    ObserverList<> changed_;
};

namespace UpdateFeed {

// What a feed may hold. The notes are shown in a small window, and a feed is
// read whole before anything is shown, so neither needs to be large.
inline constexpr std::size_t maximumNotesBytes = 64 * 1024;
inline constexpr std::size_t maximumItems = 1000;

// The feed's items that are offered to everyone (items on a named channel,
// such as a beta, are left out), in feed order. An item without a version is
// skipped. Fails with the parser's reason when the document is not an RSS
// feed, declares a document type (whose entities could expand without
// bound), lists more than `maximumItems`, or `stop` is requested.
std::expected<std::vector<AppcastItem>, std::string> parse(std::string_view xml,
                                                           std::stop_token stop = {});

// HTML as the plain text a reader would see, at most `limit` bytes of UTF-8
// (cut between characters, ending in an ellipsis when cut): tags are dropped,
// paragraphs and line breaks kept, character references decoded, scripts,
// styles and comments left out and runs of white space collapsed.
std::string plainText(std::string_view html, std::size_t limit);

// Negative when `a` is older than `b`, zero when they are the same version,
// positive when newer. Numbers compare as numbers (1.10 is newer than 1.9),
// missing trailing numbers count as 0 (1.0 is 1.0.0), and letters after a
// number mark a pre-release, older than the number alone (1.0b2 before 1.0).
int compareVersions(std::string_view a, std::string_view b);

// Reads a fetched feed against the running version.
UpdateOutcome evaluate(std::string_view xml, std::string_view currentVersion,
                       std::stop_token stop = {});

// One plain sentence for the user.
std::string sentence(const UpdateOutcome& outcome);

}  // namespace UpdateFeed

}  // namespace sonvel
