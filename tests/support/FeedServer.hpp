#pragma once

// An update feed served on the loopback address by the test itself: every
// request gets one canned HTTP response, or none at all (a server that never
// answers). It stops with the object.

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QObject>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <chrono>
#include <optional>

namespace sonvel::testsupport {

// The longest the main thread may go unanswered while a feed is handled.
// AddressSanitizer slows every instruction a few times over (what this guards
// against took seconds); under ThreadSanitizer the feed's reading thread runs
// for tens of seconds on a 4 MB feed, so the bound is not measured there.
#if defined(__SANITIZE_THREAD__)
#define SONVEL_SKIP_MAIN_THREAD_BOUND() \
    GTEST_SKIP() << "ThreadSanitizer slows the feed's reading thread by orders of magnitude"
#else
#define SONVEL_SKIP_MAIN_THREAD_BOUND() (void)0
#endif
#if defined(__SANITIZE_ADDRESS__)
inline constexpr std::chrono::milliseconds mainThreadBound{500};
#else
inline constexpr std::chrono::milliseconds mainThreadBound{50};
#endif

// How the event loop fared while a test waited on it.
struct LoopRun {
    std::chrono::milliseconds elapsed{};  // until the wait was over, or gave up
    // The longest the loop went without its 10 ms tick, and the ticks: both
    // show whether anything blocked it.
    std::chrono::milliseconds largestGap{};
    int ticks = 0;
};

// Runs the event loop until `done` holds, then `linger` longer for what it
// sets off; gives up after 20 s.
template <class Done>
LoopRun runLoopUntil(Done done, std::chrono::milliseconds linger = {}) {
    LoopRun run;
    QTimer ticker;
    QElapsedTimer waited, sinceTick;
    const auto tick = [&] {
        run.largestGap = std::max(run.largestGap, std::chrono::milliseconds(sinceTick.restart()));
    };
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        ++run.ticks;
        tick();
    });
    ticker.start(10);
    waited.start();
    sinceTick.start();
    qint64 doneAt = -1;
    while ((doneAt < 0 || waited.elapsed() < doneAt + linger.count()) &&
           waited.elapsed() < 20'000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
        if (doneAt < 0 && done()) doneAt = waited.elapsed();
    }
    tick();
    run.elapsed = std::chrono::milliseconds(doneAt < 0 ? waited.elapsed() : doneAt);
    return run;
}

class FeedServer {
  public:
    explicit FeedServer(std::optional<QByteArray> response) : response_(std::move(response)) {
        listening_ = server_.listen(QHostAddress::LocalHost, 0);
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
    // A one-item appcast offering `version`, the item's other elements `rest`.
    static QByteArray feedOffering(
        const char* version,
        const QByteArray& rest = "<enclosure url=\"https://example.org/sonvel.tar.gz\"/>") {
        return QByteArray(
                   "<rss version=\"2.0\" "
                   "xmlns:sparkle=\"http://www.andymatuschak.org/xml-namespaces/sparkle\">"
                   "<channel><item><sparkle:version>") +
               version + "</sparkle:version>" + rest + "</item></channel></rss>";
    }

    [[nodiscard]] bool listening() const { return listening_; }
    [[nodiscard]] QUrl url() const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(server_.serverPort()));
    }

  private:
    QTcpServer server_;
    bool listening_ = false;
    std::optional<QByteArray> response_;
    QByteArray request_;
};

}  // namespace sonvel::testsupport
