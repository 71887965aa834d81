// Update checks against a feed the test serves itself on the loopback
// address: every check ends with an outcome, and the event loop keeps running
// while one waits.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QNetworkProxy>
#include <QSettings>
#include <QTemporaryDir>

#include "platform/qt/QtUpdateChecker.hpp"
#include "support/FeedServer.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Kind = UpdateError::Kind;

using testsupport::FeedServer;

class QtUpdateCheckerTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy); }

    // Runs the event loop until the check ends, watching it in `loop`.
    UpdateOutcome check(std::optional<QUrl> feed, std::chrono::milliseconds timeout = 5s) {
        QtUpdateChecker checker(std::move(feed), "1.9", timeout);
        EXPECT_TRUE(checker.canCheckForUpdates());
        checker.checkForUpdates();
        EXPECT_FALSE(checker.canCheckForUpdates());  // one check at a time
        loop = testsupport::runLoopUntil([&] { return !checker.state().checking; });
        EXPECT_TRUE(checker.canCheckForUpdates());
        return checker.state().last.value_or(UpdateOutcome::Failed{{Kind::notConfigured}});
    }
    // The same, against a feed this test serves.
    UpdateOutcome served(const QByteArray& body, std::chrono::milliseconds timeout = 5s,
                         const char* status = "200 OK") {
        return check(FeedServer(FeedServer::http(status, body)).url(), timeout);
    }
    static Kind failure(const UpdateOutcome& outcome) {
        const auto* failed = outcome.as<UpdateOutcome::Failed>();
        return failed ? failed->error.kind : Kind::notConfigured;
    }

    testsupport::LoopRun loop;
};

// What the server sends decides the outcome; the version rules themselves are
// UpdateFeedTest's.
TEST_F(QtUpdateCheckerTest, EachAnswerOrSilenceEndsTheCheckWithItsOutcome) {
    EXPECT_EQ(UpdateFeed::sentence(served(FeedServer::feedOffering("1.10"))),
              "Version 1.10 of Sonvel is available. You have version 1.9.");
    EXPECT_EQ(served(FeedServer::feedOffering("1.9")),
              UpdateOutcome{UpdateOutcome::UpToDate{"1.9"}});
    EXPECT_EQ(failure(served("<rss><channel><item>")), Kind::malformed);
    EXPECT_EQ(served("oops", 5s, "500 Internal Server Error"),
              (UpdateOutcome{UpdateOutcome::Failed{{Kind::serverError, "", 500}}}));

    // The server goes with the statement: nothing listens on that port any more.
    const QUrl closed = FeedServer(std::nullopt).url();
    EXPECT_EQ(failure(check(closed)), Kind::unreachable);

    // A silent server: the check ends at its deadline.
    EXPECT_EQ(failure(check(FeedServer(std::nullopt).url(), 300ms)), Kind::timedOut);
    EXPECT_GE(loop.elapsed, 250ms);  // measured from just after the check began
    EXPECT_LT(loop.elapsed, 3s);
    EXPECT_GT(loop.ticks, 5);  // the event loop ran all along
}

// Feeds made to hurt: a document type that declares entities is refused
// before anything is expanded, and 4 MB of notes are read off the event loop
// and kept to their cap.
TEST_F(QtUpdateCheckerTest, HostileFeedsEndWithinTheBoundWithoutStallingTheLoop) {
    SONVEL_SKIP_MAIN_THREAD_BOUND();
    const QByteArray laughs = "<!DOCTYPE rss [<!ENTITY a \"" + QByteArray(4000, 'a') +
                              "\"><!ENTITY b \"" + QByteArray("&a;").repeated(1000) + "\">]>";
    const QByteArray notes = "<description><![CDATA[" +
                             QByteArray("<p>Quieter &amp; faster.</p>").repeated(142'000) +
                             "]]></description>";
    EXPECT_EQ(failure(served(laughs + FeedServer::feedOffering("1.10", "<title>&b;</title>"), 15s)),
              Kind::malformed);
    EXPECT_LT(loop.elapsed, 1s);
    EXPECT_LT(loop.largestGap, testsupport::mainThreadBound);

    const UpdateOutcome outcome = served(FeedServer::feedOffering("1.10", notes), 15s);
    EXPECT_LT(loop.largestGap, testsupport::mainThreadBound);
    const auto* available = outcome.as<UpdateOutcome::Available>();
    ASSERT_NE(available, nullptr) << UpdateFeed::sentence(outcome);
    EXPECT_LE(available->item.description.size(), UpdateFeed::maximumNotesBytes);
    EXPECT_TRUE(available->item.description.starts_with("Quieter & faster.\n"));
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

// The application object lives for the whole run, as in a program, and goes
// before Qt's own statics do.
int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
