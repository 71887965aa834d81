// Update checks against a feed the test serves itself on the loopback
// address: every check ends with an outcome, and the event loop keeps running
// while one waits.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include "platform/qt/QtUpdateChecker.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Kind = UpdateError::Kind;

QByteArray feedWith(const char* version) {
    return QByteArray(
               R"(<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle"><channel><item>
<sparkle:version>)") +
           version + R"(</sparkle:version>
<enclosure url="https://example.org/sonvel.tar.gz"/></item></channel></rss>)";
}

// Answers every request with one canned response; none leaves it unanswered.
class FeedServer {
  public:
    explicit FeedServer(std::optional<QByteArray> response) : response_(std::move(response)) {
        EXPECT_TRUE(server_.listen(QHostAddress::LocalHost, 0));
        QObject::connect(&server_, &QTcpServer::newConnection, &server_, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                    request_ += socket->readAll();
                    if (!request_.contains("\r\n\r\n") || !response_) return;
                    socket->write(*response_);
                    socket->disconnectFromHost();
                });
            }
        });
    }
    static QByteArray http(const char* status, const QByteArray& body) {
        return QByteArray("HTTP/1.1 ") + status +
               "\r\nContent-Type: application/rss+xml\r\nConnection: close\r\nContent-Length: " +
               QByteArray::number(body.size()) + "\r\n\r\n" + body;
    }
    QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(server_.serverPort()));
    }

  private:
    QTcpServer server_;
    std::optional<QByteArray> response_;
    QByteArray request_;
};

class QtUpdateCheckerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "update_checker_tests";
        static char* argv[] = {name, nullptr};
        if (!QCoreApplication::instance()) app = std::make_unique<QCoreApplication>(argc, argv);
        QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
    }

    // Runs the event loop until the check ends; counts the loop's own timer
    // ticks meanwhile, which stop if anything blocks it.
    UpdateOutcome check(std::optional<QUrl> feed, std::string version = "1.9",
                        std::chrono::milliseconds timeout = 5s) {
        QtUpdateChecker checker(std::move(feed), std::move(version), timeout);
        EXPECT_TRUE(checker.canCheckForUpdates());
        checker.checkForUpdates();
        EXPECT_FALSE(checker.canCheckForUpdates());  // one check at a time
        QTimer ticker;
        ticks = 0;
        QObject::connect(&ticker, &QTimer::timeout, [this] { ++ticks; });
        ticker.start(10);
        QElapsedTimer waited;
        waited.start();
        while (checker.state().checking && waited.elapsed() < 10'000) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        }
        elapsed = std::chrono::milliseconds(waited.elapsed());
        EXPECT_TRUE(checker.canCheckForUpdates());
        return checker.state().last.value_or(UpdateOutcome::Failed{{Kind::notConfigured}});
    }
    static Kind failure(const UpdateOutcome& outcome) {
        const auto* failed = outcome.as<UpdateOutcome::Failed>();
        return failed ? failed->error.kind : Kind::notConfigured;
    }

    static inline std::unique_ptr<QCoreApplication> app;
    int ticks = 0;
    std::chrono::milliseconds elapsed{};
};

TEST_F(QtUpdateCheckerTest, NewerSameAndOlderVersions) {
    FeedServer newer(FeedServer::http("200 OK", feedWith("1.10")));
    const UpdateOutcome found = check(newer.url());
    ASSERT_TRUE(found.is<UpdateOutcome::Available>()) << UpdateFeed::sentence(found);
    EXPECT_EQ(UpdateFeed::sentence(found),
              "Version 1.10 of Sonvel is available. You have version 1.9.");

    FeedServer same(FeedServer::http("200 OK", feedWith("1.9")));
    EXPECT_EQ(check(same.url()), UpdateOutcome{UpdateOutcome::UpToDate{"1.9"}});
    FeedServer older(FeedServer::http("200 OK", feedWith("1.8.7")));
    EXPECT_EQ(check(older.url()), UpdateOutcome{UpdateOutcome::UpToDate{"1.9"}});
}

TEST_F(QtUpdateCheckerTest, FailuresEndWithTheirReason) {
    FeedServer malformed(FeedServer::http("200 OK", "<rss><channel><item>"));
    EXPECT_EQ(failure(check(malformed.url())), Kind::malformed);

    FeedServer broken(FeedServer::http("500 Internal Server Error", "oops"));
    const UpdateOutcome serverError = check(broken.url());
    EXPECT_EQ(failure(serverError), Kind::serverError);
    EXPECT_EQ(serverError.as<UpdateOutcome::Failed>()->error.httpStatus, 500);

    QUrl closed;
    {
        FeedServer gone(std::nullopt);
        closed = gone.url();
    }  // nothing listens on that port any more
    EXPECT_EQ(failure(check(closed)), Kind::unreachable);
}

TEST_F(QtUpdateCheckerTest, ASilentServerEndsTheCheckAtTheDeadline) {
    FeedServer silent(std::nullopt);
    const UpdateOutcome outcome = check(silent.url(), "1.9", 300ms);
    EXPECT_EQ(failure(outcome), Kind::timedOut);
    EXPECT_GE(elapsed, 250ms);  // measured from just after the check began
    EXPECT_LT(elapsed, 3s);
    EXPECT_GT(ticks, 5);  // the event loop ran all along
}

TEST_F(QtUpdateCheckerTest, OnlyAWebAddressConfiguresAFeed) {
    QTemporaryDir dir;
    QSettings settings(dir.filePath("sonvel.conf"), QSettings::IniFormat);
    EXPECT_FALSE(QtUpdateChecker::feedFrom(settings));
    for (const char* bad : {"file:///etc/passwd", "not a url", "https://"}) {
        settings.setValue(QtUpdateChecker::feedKey, bad);
        EXPECT_FALSE(QtUpdateChecker::feedFrom(settings)) << bad;
    }
    settings.setValue(QtUpdateChecker::feedKey, " https://example.org/appcast.xml ");
    EXPECT_EQ(QtUpdateChecker::feedFrom(settings), QUrl("https://example.org/appcast.xml"));

    QtUpdateChecker none(std::nullopt, "1.0");
    EXPECT_FALSE(none.canCheckForUpdates());
    none.checkForUpdates();
    EXPECT_FALSE(none.state().checking);
}

}  // namespace
}  // namespace sonvel
