#pragma once

#include <QObject>
#include <QPointer>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>

#include "Sonvel/views/UpdateFeed.hpp"
#include "tap/Log.hpp"

class QNetworkAccessManager;
class QNetworkReply;
class QSettings;
class QTimer;

namespace sonvel {

// Checks an appcast for a newer version when the user asks, with Qt Network:
// one request at a time, never in the background, and nothing is downloaded
// but the feed. Every check ends, within `timeout` at the latest, with an
// outcome that UpdateFeed words as a sentence. The feed is read on a thread
// of its own, since a large one takes the main thread too long, and its
// result comes back through the event loop. Main thread only; `changed` is
// emitted on it.
class QtUpdateChecker final : public QObject, public UpdateChecker {
    Q_OBJECT
  public:
    // The application's settings key holding the feed's address. Packagers set
    // it system-wide (/etc/xdg/velmorra/app.velmorra.sonvel.conf, section
    // [updates], key feedURL); a user's own settings file overrides it.
    static constexpr const char* feedKey = "updates/feedURL";
    static constexpr std::chrono::seconds defaultTimeout{15};
    // A feed is a few kilobytes; anything far larger is not one.
    static constexpr qint64 maximumFeedBytes = 4 * 1024 * 1024;

    // The feed from `settings`, only when it is a web link (isWebLink).
    static std::optional<QUrl> feedFrom(const QSettings& settings);
    // The feed from the application's own settings.
    static std::optional<QUrl> configuredFeed();

    QtUpdateChecker(std::optional<QUrl> feed, std::string currentVersion,
                    std::chrono::milliseconds timeout = defaultTimeout, QObject* parent = nullptr);
    ~QtUpdateChecker() override;

    [[nodiscard]] const UpdateCheckState& state() const override { return state_; }
    [[nodiscard]] bool canCheckForUpdates() const { return state_.canCheckForUpdates(); }

    // Does nothing while a check runs or when no feed is configured.
    void checkForUpdates() override;

  signals:
    void changed();

  private:
    void finish(QNetworkReply* reply);
    void read(QByteArray body);
    void takeReading();
    void conclude(UpdateOutcome outcome);
    [[nodiscard]] UpdateOutcome timedOut() const;

    std::optional<QUrl> feed_;
    std::string currentVersion_;
    std::chrono::milliseconds timeout_;
    QNetworkAccessManager* network_;
    QTimer* deadline_;
    QPointer<QNetworkReply> reply_;
    bool timedOut_ = false;
    bool tooLarge_ = false;
    // Counts checks, so that a reading the deadline gave up on cannot end a
    // later check.
    std::uint64_t check_ = 0;
    UpdateCheckState state_;
    // The reader's outcome and the check it read for. It is handed over
    // under this lock, and Qt only announces it, because the race detector
    // cannot see Qt's own locks and would take the hand-over for a race.
    std::mutex readingMutex_;
    std::optional<std::pair<std::uint64_t, UpdateOutcome>> reading_;
    Log::Logger log_{"updates"};
    std::jthread reader_;
};

}  // namespace sonvel
