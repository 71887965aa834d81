// `sonvelctl`: drives the running Sonvel over the session bus, for scripts and
// keyboard shortcuts. Arguments are checked here before anything is sent, and
// the service checks them again for clients that are not this one.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "bus/ControlCommands.hpp"
#include "bus/SonvelBusService.hpp"

namespace {

using namespace sonvel;
namespace cc = ControlCommands;
using Verb = cc::Invocation::Verb;

// A connection of our own, closed before the application object goes: a
// message arriving on the shared session connection during exit makes Qt
// print warnings into the script's error output.
constexpr const char* connectionName = "sonvelctl";

QDBusConnection bus() {
    return QDBusConnection(connectionName);
}

// A shortcut must not hang the desktop for the bus's default 25 seconds.
constexpr int callTimeoutMs = 5000;

int exitWith(cc::ExitCode code) {
    return static_cast<int>(code);
}

int report(const cc::Error& error) {
    std::fprintf(stderr, "sonvelctl: %s\n", error.message.c_str());
    return exitWith(error.code);
}

cc::Error notRunning(const QString& why) {
    return {cc::ExitCode::notRunning,
            "Sonvel is not running (" + why.toStdString() + "). Start Sonvel, then try again."};
}

cc::Result<QDBusMessage> call(const QString& method, const QList<QVariant>& arguments = {}) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(SonvelBusService::serviceName, SonvelBusService::objectPath,
                                       SonvelBusService::interfaceName, method);
    message.setArguments(arguments);
    // Sonvel is started by the user, never by the bus on a script's behalf.
    message.setAutoStartService(false);
    const QDBusMessage reply = bus().call(message, QDBus::Block, callTimeoutMs);
    if (reply.type() != QDBusMessage::ErrorMessage) return reply;
    const cc::ExitCode code = cc::exitCodeOf(reply.errorName().toStdString());
    if (code == cc::ExitCode::notRunning) return std::unexpected(notRunning(reply.errorMessage()));
    return std::unexpected(cc::Error{code, reply.errorMessage().toStdString()});
}

cc::Result<std::string> text(const cc::Result<QDBusMessage>& reply) {
    if (!reply) return std::unexpected(reply.error());
    return reply->arguments().value(0).toString().toStdString();
}

template <class Read, class Format>
int print(const QString& method, bool json, Read read, Format format) {
    const auto body = text(call(method));
    if (!body) return report(body.error());
    const auto value = read(*body);
    if (!value) return report(value.error());
    if (json) {
        std::printf("%s\n", nlohmann::json::parse(*body).dump().c_str());
    } else {
        std::printf("%s", format(*value).c_str());
    }
    std::fflush(stdout);
    return 0;
}

// The row after a change: Mute and Route answer in yes-or-no or nothing, so
// whether the change is heard now is read from the list, as the panel has it.
std::optional<cc::AppRow> rowNow(const std::string& app) {
    const auto body = text(call("ListApps"));
    if (!body) return std::nullopt;
    const auto rows = cc::appRowsFromJson(*body);
    if (!rows) return std::nullopt;
    const auto row = cc::matchApp(app, *rows);
    return row ? std::optional(*row) : std::nullopt;
}

int printApps(bool json) {
    return print("ListApps", json, cc::appRowsFromJson,
                 [](const auto& rows) { return cc::formatApps(rows); });
}

// QDBusConnection::connect takes a slot by its signature, so the Changed
// signal reaches a function object through this.
class ChangeRelay final : public QObject {
    Q_OBJECT
  public:
    std::function<void()> onChanged;
  public slots:
    void changed() { onChanged(); }
};

int watch(bool json) {
    if (const int code = printApps(json); code != 0) return code;
    QDBusConnection connection = bus();
    QDBusServiceWatcher gone(SonvelBusService::serviceName, connection,
                             QDBusServiceWatcher::WatchForUnregistration);
    QObject::connect(&gone, &QDBusServiceWatcher::serviceUnregistered, &gone, [] {
        QCoreApplication::exit(report(notRunning("it quit while being watched")));
    });
    ChangeRelay relay;
    relay.onChanged = [json] {
        if (const int code = printApps(json); code != 0) QCoreApplication::exit(code);
    };
    if (!connection.connect(SonvelBusService::serviceName, SonvelBusService::objectPath,
                            SonvelBusService::interfaceName, "Changed", &relay, SLOT(changed()))) {
        return report({cc::ExitCode::failed, "Could not listen for Sonvel's changes: " +
                                                 connection.lastError().message().toStdString()});
    }
    return QCoreApplication::exec();
}

int run(const cc::Invocation& invocation) {
    const QDBusConnection connection = bus();
    if (!connection.isConnected()) return report(notRunning("there is no session bus"));
    if (!connection.interface()->isServiceRegistered(SonvelBusService::serviceName)) {
        return report(notRunning(QStringLiteral("nothing owns %1 on the session bus")
                                     .arg(SonvelBusService::serviceName)));
    }

    const cc::Invocation& call_ = invocation;
    const QString appName = QString::fromStdString(call_.app);
    const auto done = [&](const cc::Result<QDBusMessage>& reply, auto describe) {
        if (!reply) return report(reply.error());
        const std::string line = describe(reply->arguments().value(0));
        if (!line.empty()) std::printf("%s\n", line.c_str());
        return 0;
    };
    switch (call_.verb) {
        case Verb::help:
        case Verb::list:
            return printApps(call_.json);
        case Verb::outputs:
            return print("ListOutputs", call_.json, cc::outputRowsFromJson,
                         [](const auto& rows) { return cc::formatOutputs(rows); });
        case Verb::status:
            return print("Status", call_.json, cc::statusFromJson,
                         [](const auto& s) { return cc::formatStatus(s); });
        case Verb::watch:
            return watch(call_.json);
        case Verb::set:
            return done(
                call(call_.level.relative ? "AdjustLevel" : "SetLevel",
                     {appName, call_.level.value}),
                [&](const QVariant& v) { return call_.app + ": " + v.toString().toStdString(); });
        case Verb::mute:
        case Verb::unmute:
        case Verb::toggle: {
            const char* method = call_.verb == Verb::mute     ? "Mute"
                                 : call_.verb == Verb::unmute ? "Unmute"
                                                              : "ToggleMute";
            return done(call(method, {appName}), [&](const QVariant& v) {
                const std::string change = v.toBool() ? "muted" : "unmuted";
                const auto row = rowNow(call_.app);
                return call_.app + ": " + (row ? cc::changeReply(change, *row) : change);
            });
        }
        case Verb::route:
            // A route heard at once needs no answer; one that waits says so.
            return done(call("Route", {appName, QString::fromStdString(call_.device)}),
                        [&](const QVariant&) {
                            const auto row = rowNow(call_.app);
                            if (!row || row->hearing == RowView::Hearing::now) return std::string();
                            return call_.app + ": " +
                                   cc::changeReply(row->outputName ? "plays on " + *row->outputName
                                                                   : "follows the default output",
                                                   *row);
                        });
        case Verb::pause:
        case Verb::resume:
            return done(call(call_.verb == Verb::pause ? "Pause" : "Resume"),
                        [](const QVariant&) { return std::string(); });
    }
    return exitWith(cc::ExitCode::failed);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    // Named here, before the command's shape is checked, which would count a
    // mistyped option as one operand too many.
    for (const std::string& argument : arguments) {
        if (!argument.starts_with("--") || argument == "--json" || argument == "--help") continue;
        const auto option = cc::checkedName(argument, "option");
        return report(option ? cc::Error{cc::ExitCode::badArgument,
                                         "Unknown option " + argument + " (use --json or --help)."}
                             : option.error());
    }
    const auto invocation = cc::parseInvocation(arguments);
    if (!invocation) return report(invocation.error());
    if (invocation->verb == Verb::help) {
        std::fputs(cc::usage().c_str(), stdout);
        return 0;
    }
    // Scripts read our error output, so it holds only our own sentences. Qt's
    // D-Bus thread sometimes warns about metatypes while the process exits
    // after an error reply ("Trying to construct an instance of an invalid
    // type"); the reply was already read in full, so that noise is dropped.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type == QtCriticalMsg || type == QtFatalMsg) {
            std::fprintf(stderr, "sonvelctl: %s\n", qPrintable(message));
        }
    });
    QCoreApplication app(argc, argv);
    QDBusConnection::connectToBus(QDBusConnection::SessionBus, connectionName);
    const int code = run(*invocation);
    QDBusConnection::disconnectFromBus(connectionName);
    return code;
}

#include "sonvelctl.moc"
