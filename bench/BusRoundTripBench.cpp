// The round trip a script or keyboard shortcut pays: a call to the running
// Sonvel over the session bus, made directly and through a `sonvelctl`
// process. Starts a private dbus-daemon and a `sonvel` on the shipped default
// world (offscreen, preferences in a temporary folder), and stops both by
// process id at the end.

#include <benchmark/benchmark.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <cstdio>

#include "bus/SonvelBusService.hpp"

namespace {

using sonvel::SonvelBusService;

QString busAddress;
constexpr const char* connectionName = "bench";

QDBusMessage call(const QString& method, const QList<QVariant>& arguments = {}) {
    QDBusMessage m =
        QDBusMessage::createMethodCall(SonvelBusService::serviceName, SonvelBusService::objectPath,
                                       SonvelBusService::interfaceName, method);
    m.setArguments(arguments);
    return QDBusConnection(connectionName).call(m);
}

void directCall(benchmark::State& state, const char* method) {
    for (auto _ : state) {
        const QDBusMessage reply = call(method);
        if (reply.type() == QDBusMessage::ErrorMessage) {
            state.SkipWithError(qPrintable(reply.errorMessage()));
            break;
        }
        benchmark::DoNotOptimize(reply);
    }
}
void BM_ListApps(benchmark::State& state) {
    directCall(state, "ListApps");
}
void BM_Status(benchmark::State& state) {
    directCall(state, "Status");
}

// What a shortcut costs end to end: a process, its bus connection, one call.
void BM_SonvelctlList(benchmark::State& state) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    for (auto _ : state) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(SONVELCTL_PATH, {"list"});
        if (!p.waitForFinished(10000) || p.exitCode() != 0) {
            state.SkipWithError(qPrintable(p.readAllStandardError()));
            break;
        }
    }
}

BENCHMARK(BM_ListApps)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_Status)->Unit(benchmark::kMicrosecond)->UseRealTime();
BENCHMARK(BM_SonvelctlList)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir folder;
    busAddress = "unix:path=" + folder.filePath("bus");
    // Not forked, so that it stays our child and is reaped when stopped.
    QProcess daemon;
    daemon.start("dbus-daemon",
                 {"--session", "--address=" + busAddress, "--nofork", "--print-address"});
    while (daemon.waitForReadyRead(10000) && !daemon.canReadLine()) {
    }
    if (!daemon.canReadLine()) {
        std::fputs("bus_round_trip_bench: could not start dbus-daemon\n", stderr);
        return 1;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", busAddress);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", folder.filePath("config"));
    QProcess sonvel;
    sonvel.setProcessEnvironment(env);
    sonvel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    sonvel.start(SONVEL_PATH, {"--window"});

    QDBusConnection bus = QDBusConnection::connectToBus(busAddress, connectionName);
    QElapsedTimer waited;
    waited.start();
    while (!bus.interface()->isServiceRegistered(SonvelBusService::serviceName) &&
           waited.elapsed() < 20000) {
        QThread::msleep(20);
    }
    int result = 1;
    if (bus.interface()->isServiceRegistered(SonvelBusService::serviceName)) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        result = 0;
    } else {
        std::fputs("bus_round_trip_bench: sonvel did not appear on the bus\n", stderr);
    }
    sonvel.terminate();
    sonvel.waitForFinished(10000);
    QDBusConnection::disconnectFromBus(connectionName);
    ::kill(static_cast<pid_t>(daemon.processId()), SIGTERM);
    daemon.waitForFinished(10000);
    return result;
}
