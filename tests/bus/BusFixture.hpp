#pragma once

// A private session bus for one test: its own dbus-daemon on a socket in a
// temporary folder, started here and stopped by its process id, with the
// Sonvel service exported on it over the model fixture's stepped world.

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <memory>

#include "../Sonvel/ModelFixture.hpp"
#include "bus/SonvelBusService.hpp"

namespace sonvel::bustest {

struct CtlRun {
    int code = -1;  // also when it did not start or end
    std::string out;
    std::string err;
    bool operator==(const CtlRun&) const = default;
    friend void PrintTo(const CtlRun& r, std::ostream* os) {
        *os << "exit " << r.code << ", out: " << ::testing::PrintToString(r.out)
            << ", err: " << ::testing::PrintToString(r.err);
    }
};

class BusTest : public modeltest::MixerModelTest {
  protected:
    static constexpr const char* connectionName = "sonvel-bus-test";

    void SetUp() override {
        const QString program = QStandardPaths::findExecutable("dbus-daemon");
        if (program.isEmpty()) GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(folder.isValid());
        address = "unix:path=" + folder.filePath("bus");
        // Not forked, so that it stays our child and is reaped when stopped.
        daemon.start(program, {"--session", "--address=" + address, "--nofork", "--print-address"});
        ASSERT_TRUE(daemon.waitForStarted(10000));
        // It prints its address once it listens.
        while (!daemon.canReadLine() && daemon.state() == QProcess::Running)
            daemon.waitForReadyRead(100);
        ASSERT_TRUE(daemon.canReadLine()) << daemon.readAllStandardError().toStdString();
        // Every sonvelctl the test starts talks to this bus.
        qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    }

    void TearDown() override {
        service.reset();
        QDBusConnection::disconnectFromBus(connectionName);
        if (daemon.processId() > 0) {
            ::kill(static_cast<pid_t>(daemon.processId()), SIGTERM);
            daemon.waitForFinished(5000);
        }
    }

    // The application as it runs: the model, then the service on the bus.
    void startSonvel() {
        start();
        service = std::make_unique<SonvelBusService>(model);
        const auto error =
            service->registerOn(QDBusConnection::connectToBus(address, connectionName));
        ASSERT_FALSE(error) << error->toStdString();
    }

    // Runs `sonvelctl` as its own process, answering its calls meanwhile.
    CtlRun ctl(const QStringList& arguments) {
        QProcess p;
        p.start(SONVELCTL_PATH, arguments);
        if (!p.waitForStarted(10000)) return {};
        QElapsedTimer waited;
        waited.start();
        while (p.state() != QProcess::NotRunning && waited.elapsed() < 20000) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            p.waitForFinished(5);
        }
        // One still running has no exit code, and is killed as `p` goes.
        return {p.state() == QProcess::NotRunning ? p.exitCode() : -1,
                p.readAllStandardOutput().toStdString(), p.readAllStandardError().toStdString()};
    }

    QTemporaryDir folder;
    QString address;
    QProcess daemon;
    std::unique_ptr<SonvelBusService> service;
};

}  // namespace sonvel::bustest
