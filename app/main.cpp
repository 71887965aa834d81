// The `sonvel` executable: the Qt application on the user's PipeWire server,
// or on the simulated audio world.

#include <fcntl.h>
#include <unistd.h>
#include <QApplication>
#include <QCommandLineParser>
#include <QPalette>
#include <QSocketNotifier>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <expected>

#include "Sonvel/AppVersion.hpp"
#include "Sonvel/Clock.hpp"
#include "app/Screenshots.hpp"
#include "app/sim/SimulatorWindows.hpp"
#include "bus/SonvelBusService.hpp"
#include "platform/BackendChoice.hpp"
#include "platform/linux/LinuxWorkspace.hpp"
#include "platform/linux/XdgLoginItem.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "platform/qt/QtPreferencesStore.hpp"
#include "platform/qt/QtUpdateChecker.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "ui/SonvelApplication.hpp"
#include "ui/StatusIconPainter.hpp"
#include "ui/SymbolIcons.hpp"

#ifdef SONVEL_HAVE_PIPEWIRE
#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "platform/pipewire/PipeWireSystemServices.hpp"
#endif

namespace {

using namespace sonvel;

bool hasArgument(int argc, char** argv, std::initializer_list<const char*> names) {
    for (int i = 1; i < argc; ++i) {
        for (const char* name : names) {
            if (std::strcmp(argv[i], name) == 0 ||
                (std::strncmp(argv[i], name, std::strlen(name)) == 0 &&
                 argv[i][std::strlen(name)] == '=')) {
                return true;
            }
        }
    }
    return false;
}

bool hasDisplay() {
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") ||
           !qEnvironmentVariableIsEmpty("DISPLAY") ||
           !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// SIGTERM (a logout, `kill`) and SIGINT end Sonvel as Quit does, so every
// application gets its normal sound back first. The handler only writes a
// byte; the event loop does the rest.
int quitPipe[2] = {-1, -1};

void quitOnSignals(SonvelApplication& shell) {
    if (::pipe2(quitPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    auto* notifier = new QSocketNotifier(quitPipe[0], QSocketNotifier::Read, &shell);
    QObject::connect(notifier, &QSocketNotifier::activated, &shell, [&shell, notifier] {
        char byte = 0;
        while (::read(quitPipe[0], &byte, 1) > 0) {
        }
        notifier->setEnabled(false);
        shell.quit();
    });
    struct sigaction action {};
    action.sa_handler = [](int) {
        const char byte = 1;
        (void)!::write(quitPipe[1], &byte, 1);
    };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
}

// The audio system Sonvel runs on, and the operating system as it sees it.
struct Backend {
    std::shared_ptr<AudioHardware> hal;
    std::shared_ptr<const SystemServices> system;
    std::optional<SimulatorWindows::Simulation> simulated;
};

Backend simulatedBackend(const BackendChoice::Simulated& simulated) {
    const auto& world = simulated.world;
    return Backend{
        simulated.audio, std::make_shared<sim::SimulatedSystemServices>(*world),
        SimulatorWindows::Simulation{simulated.audio, world, world->capturePermission()}};
}

Backend pipeWireBackend(const std::shared_ptr<pw::PipeWireAudioSystem>& audio) {
#ifdef SONVEL_HAVE_PIPEWIRE
    return Backend{audio, std::make_shared<pw::PipeWireSystemServices>(audio), std::nullopt};
#else
    (void)audio;
    return Backend{};
#endif
}

}  // namespace

int main(int argc, char** argv) {
    const bool screenshots = hasArgument(argc, argv, {"--screenshots"});
    if (screenshots || hasArgument(argc, argv, {"--help", "-h", "--help-all", "--version", "-v"})) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    } else if (!hasDisplay()) {
        std::fputs(
            "Sonvel needs a graphical desktop, and none is reachable here (neither DISPLAY "
            "nor WAYLAND_DISPLAY is set).\nTo see it anyway, save its windows as pictures:"
            "\n  sonvel --screenshots DIR\n",
            stderr);
        return 2;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName("Sonvel");
    QApplication::setApplicationVersion(QString::fromLatin1(AppVersion::current));
    // So that a compositor (the Wayland app id) and a taskbar find the
    // installed entry, its name and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("app.velmorra.Sonvel"));
    QApplication::setWindowIcon(QIcon::fromTheme(
        QStringLiteral("app.velmorra.Sonvel"),
        StatusIconPainter::trayIcon(StatusIcon::Variant::active,
                                    QApplication::palette().color(QPalette::WindowText))));
    // The status icon and the Audio World window are not reasons to live on
    // after the panel: only Quit (or closing the panel's window) ends Sonvel.
    QApplication::setQuitOnLastWindowClosed(false);
    SymbolIcons::useDesktopTheme();

    QCommandLineParser parser;
    parser.setApplicationDescription("Sonvel, a per-application volume mixer.");
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption worldOption(
        "world", "The simulated audio world to load (default: the shipped default world).", "file",
        QString::fromStdString(sim::SimulatedWorld::defaultWorldPath()));
    const QCommandLineOption audioWorldOption("audio-world",
                                              "Open the Audio World window at start.");
    const QCommandLineOption windowOption("window",
                                          "Show the panel as a window even where a tray exists.");
    const QCommandLineOption screenshotsOption(
        "screenshots",
        "Run without a display, save the panel, the status icon and the Audio World window as "
        "PNG files in DIR, print their paths and quit.",
        "DIR");
    const QCommandLineOption backendOption(
        "backend",
        "The audio system: 'pipewire' (this desktop's own server), 'simulated' (a simulated "
        "world) or 'auto' (PipeWire where a server with a session manager answers, else the "
        "simulated world).",
        "name", "auto");
    parser.addOptions(
        {worldOption, audioWorldOption, windowOption, screenshotsOption, backendOption});
    parser.process(app);

    // The simulated world's own windows and the screenshots need the simulator.
    QString backendName = parser.value(backendOption);
    const bool wantsWorld =
        parser.isSet(worldOption) || parser.isSet(audioWorldOption) || screenshots;
    if (backendName != "auto" && backendName != "pipewire" && backendName != "simulated") {
        std::fprintf(stderr, "Sonvel: unknown backend '%s' (use pipewire, simulated or auto).\n",
                     qPrintable(backendName));
        return 2;
    }
    if (backendName == "pipewire" && wantsWorld) {
        std::fprintf(stderr,
                     "Sonvel: --world, --audio-world and --screenshots need the simulated "
                     "backend.\n");
        return 2;
    }
    const auto chosen = BackendChoice::choose(*BackendChoice::parse(backendName.toStdString()),
                                              wantsWorld, parser.value(worldOption).toStdString());
    if (chosen && chosen->fallback) {
        std::fprintf(stderr, "Sonvel: using the simulated audio world. %s\n",
                     chosen->fallback->c_str());
    }
    std::expected<Backend, std::string> backend = std::unexpected(std::string());
    if (!chosen) {
        backend = std::unexpected(chosen.error());
    } else if (chosen->simulated) {
        backend = simulatedBackend(*chosen->simulated);
    } else {
        backend = pipeWireBackend(chosen->pipewire);
    }
    if (!backend) {
        std::fprintf(stderr, "Sonvel: %s\n", backend.error().c_str());
        return 1;
    }

    // The screenshots must not read or change the user's own settings.
    std::unique_ptr<QTemporaryDir> scratch;
    if (screenshots) scratch = std::make_unique<QTemporaryDir>();

    MixerModel::Environment env;
    env.hal = backend->hal;
    env.system = backend->system;
    env.mainQueue = std::make_shared<QtMainQueue>();
    env.clock = std::make_shared<SystemClock>();
    const auto store = scratch ? std::make_shared<QtPreferencesStore>(
                                     scratch->filePath("preferences.conf").toStdString())
                               : std::make_shared<QtPreferencesStore>();
    env.store = store;
    env.workspace =
        std::make_shared<LinuxWorkspace>(env.mainQueue, [] { QCoreApplication::quit(); });
    env.loginItem = std::make_shared<XdgLoginItem>();
    // The simulated capture switch behaves as macOS's permission does.
    env.wording =
        backend->simulated ? PlatformWording::simulatedMacOS() : PlatformWording::linuxDesktop();

    SonvelApplication* running = nullptr;
    std::unique_ptr<SimulatorWindows> simulator;
    if (backend->simulated) {
        simulator = std::make_unique<SimulatorWindows>(*backend->simulated, [&running] {
            return running ? running->model() : std::shared_ptr<MixerModel>();
        });
    }
    SonvelApplication shell(
        env,
        {.panelAsWindow = parser.isSet(windowOption) || screenshots,
         // Qt reads the feed's setting from the same file, and would wait for
         // ever on a FIFO there.
         .updates = std::make_shared<QtUpdateChecker>(
             screenshots || store->refusal() ? std::nullopt : QtUpdateChecker::configuredFeed(),
             std::string(AppVersion::current)),
         .openAudioWorld = simulator ? std::function<void(bool)>([&simulator](bool atSwitch) {
             simulator->open(atSwitch);
         })
                                     : nullptr});
    running = &shell;

    if (screenshots) {
        QString error;
        const QStringList files =
            takeScreenshots(shell, simulator.get(), parser.value(screenshotsOption), error);
        for (const QString& file : files) std::printf("%s\n", qPrintable(file));
        shell.quit();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "Sonvel: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }

    Subscription expecting;
    QTimer::singleShot(0, &shell, [&] {
        shell.start();
#ifdef SONVEL_HAVE_PIPEWIRE
        // The server's session manager links a new stream within a few ms,
        // before an engine can be built: tell the backend which ones to hold.
        if (const auto pipewire = std::dynamic_pointer_cast<pw::PipeWireAudioSystem>(env.hal)) {
            const auto model = shell.model();
            const auto tell = [pipewire, weak = std::weak_ptr(model),
                               told = std::make_shared<std::map<std::string, float>>()] {
                const auto m = weak.lock();
                if (!m || m->applicationsToControl() == *told) return;
                *told = m->applicationsToControl();
                pipewire->expectApplications(*told);
            };
            tell();
            expecting = model->subscribeToChanges(tell);
        }
#endif
        // Scripts and shortcuts (`sonvelctl`) reach the model through this;
        // without a session bus Sonvel still works, only not from scripts.
        auto* bus = new SonvelBusService(shell.model(), &shell);
        if (const auto error = bus->registerOn(QDBusConnection::sessionBus())) {
            std::fprintf(stderr, "Sonvel: sonvelctl will not reach this Sonvel. %s\n",
                         qPrintable(*error));
        }
        if (parser.isSet(audioWorldOption) && simulator) simulator->open();
    });
    quitOnSignals(shell);
    return QApplication::exec();
}
