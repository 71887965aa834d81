#include "platform/qt/QtUpdateChecker.hpp"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSettings>
#include <QTimer>

namespace sonvel {

namespace {

const char* name(UpdateError::Kind kind) {
    switch (kind) {
        case UpdateError::Kind::notConfigured:
            return "not configured";
        case UpdateError::Kind::unreachable:
            return "unreachable";
        case UpdateError::Kind::timedOut:
            return "timed out";
        case UpdateError::Kind::serverError:
            return "server error";
        case UpdateError::Kind::malformed:
            return "malformed feed";
        case UpdateError::Kind::noVersions:
            return "no versions";
    }
    return "unknown";
}

}  // namespace

std::optional<QUrl> QtUpdateChecker::feedFrom(const QSettings& settings) {
    const QString text = settings.value(QString::fromLatin1(feedKey)).toString().trimmed();
    const QUrl url(text, QUrl::StrictMode);
    if (!isWebLink(text.toStdString()) || !url.isValid()) return std::nullopt;
    return url;
}

std::optional<QUrl> QtUpdateChecker::configuredFeed() {
    const QSettings settings(QSettings::NativeFormat, QSettings::UserScope,
                             QStringLiteral("velmorra"), QStringLiteral("app.velmorra.sonvel"));
    return feedFrom(settings);
}

QtUpdateChecker::QtUpdateChecker(std::optional<QUrl> feed, std::string currentVersion,
                                 std::chrono::milliseconds timeout, QObject* parent)
    : QObject(parent),
      feed_(std::move(feed)),
      currentVersion_(std::move(currentVersion)),
      timeout_(timeout),
      network_(new QNetworkAccessManager(this)),
      deadline_(new QTimer(this)) {
    state_.configured = feed_.has_value();
    deadline_->setSingleShot(true);
    deadline_->setTimerType(Qt::PreciseTimer);
    // A whole-check deadline rather than an idle timeout alone, so a server
    // that trickles a byte now and then cannot keep the check open.
    connect(deadline_, &QTimer::timeout, this, [this] {
        if (reply_) {
            timedOut_ = true;
            reply_->abort();
        } else if (state_.checking) {
            reader_.request_stop();
            conclude(timedOut());
        }
    });
}

QtUpdateChecker::~QtUpdateChecker() {
    // Before any member goes: the reader posts its result to this object.
    reader_.request_stop();
    if (reader_.joinable()) reader_.join();
    if (reply_) {
        reply_->disconnect(this);
        reply_->abort();
    }
}

void QtUpdateChecker::checkForUpdates() {
    if (!state_.canCheckForUpdates()) return;
    timedOut_ = false;
    tooLarge_ = false;
    ++check_;
    QNetworkRequest request(*feed_);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QString::fromStdString("Sonvel/" + currentVersion_));
    reply_ = network_->get(request);
    connect(reply_, &QNetworkReply::downloadProgress, this, [this](qint64 received, qint64) {
        if (received > maximumFeedBytes && reply_) {
            tooLarge_ = true;
            reply_->abort();
        }
    });
    connect(reply_, &QNetworkReply::finished, this,
            [this, reply = reply_.data()] { finish(reply); });
    deadline_->start(timeout_);
    state_.checking = true;
    log_.info("Checking {} for updates", feed_->toString().toStdString());
    emit changed();
    notifyChanged();
}

void QtUpdateChecker::finish(QNetworkReply* reply) {
    reply->deleteLater();
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    using Kind = UpdateError::Kind;
    if (timedOut_) {
        conclude(timedOut());
    } else if (tooLarge_) {
        conclude(UpdateOutcome::Failed{{Kind::malformed, "the feed is too large"}});
    } else if (status >= 400) {
        conclude(UpdateOutcome::Failed{{Kind::serverError, {}, status}});
    } else if (reply->error() != QNetworkReply::NoError) {
        conclude(UpdateOutcome::Failed{{Kind::unreachable, reply->errorString().toStdString()}});
    } else {
        read(reply->readAll());
    }
}

void QtUpdateChecker::read(QByteArray body) {
    // The deadline keeps running: it bounds the reading too. A reading it
    // gave up on was asked to stop and ends within a piece of the feed, so
    // waiting for it here is short.
    reader_ = std::jthread([this, body = std::move(body), version = currentVersion_,
                            check = check_](const std::stop_token& stop) {
        UpdateOutcome outcome = UpdateFeed::evaluate(
            std::string_view(body.constData(), static_cast<std::size_t>(body.size())), version,
            stop);
        if (stop.stop_requested()) return;
        {
            const std::lock_guard lock(readingMutex_);
            reading_.emplace(check, std::move(outcome));
        }
        QMetaObject::invokeMethod(this, &QtUpdateChecker::takeReading, Qt::QueuedConnection);
    });
}

void QtUpdateChecker::takeReading() {
    std::optional<std::pair<std::uint64_t, UpdateOutcome>> reading;
    {
        const std::lock_guard lock(readingMutex_);
        reading.swap(reading_);
    }
    if (reading && reading->first == check_ && state_.checking)
        conclude(std::move(reading->second));
}

UpdateOutcome QtUpdateChecker::timedOut() const {
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(timeout_).count();
    return UpdateOutcome::Failed{{UpdateError::Kind::timedOut, {}, 0, static_cast<long>(seconds)}};
}

void QtUpdateChecker::conclude(UpdateOutcome outcome) {
    deadline_->stop();
    if (const auto* failed = outcome.as<UpdateOutcome::Failed>()) {
        log_.notice("Update check failed: {} (HTTP {}) {}", name(failed->error.kind),
                    failed->error.httpStatus, failed->error.detail);
    } else {
        log_.info("{}", UpdateFeed::sentence(outcome));
    }
    state_.checking = false;
    state_.last = std::move(outcome);
    emit changed();
    notifyChanged();
}

}  // namespace sonvel
