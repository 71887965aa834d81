// The `sonvel` executable: the Qt application on the simulated audio world.

#include <QApplication>
#include <QCommandLineParser>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstring>

#include "Sonvel/AppVersion.hpp"
#include "Sonvel/Clock.hpp"
#include "bus/SonvelBusService.hpp"
#include "platform/linux/LinuxWorkspace.hpp"
#include "platform/linux/XdgLoginItem.hpp"
#include "platform/qt/QtMainQueue.hpp"
#include "platform/qt/QtPreferencesStore.hpp"
#include "platform/qt/QtUpdateChecker.hpp"
#include "platform/sim/SimulatedSystemServices.hpp"
#include "ui/AudioWorldWindow.hpp"
#include "ui/Screenshots.hpp"
#include "ui/SonvelApplication.hpp"
#include "ui/SymbolIcons.hpp"

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
    // The status icon and the Audio World window are not reasons to live on
    // after the panel: only Quit (or closing the panel's window) ends Sonvel.
    QApplication::setQuitOnLastWindowClosed(false);
    SymbolIcons::useDesktopTheme();

    QCommandLineParser parser;
    parser.setApplicationDescription(
        "Sonvel, a per-application volume mixer, on the simulated audio system.");
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
    parser.addOptions({worldOption, audioWorldOption, windowOption, screenshotsOption});
    parser.process(app);

    const std::string worldPath = parser.value(worldOption).toStdString();
    const auto description = sim::SimulatedWorld::readFile(worldPath);
    if (!description) {
        std::fprintf(stderr, "Sonvel: %s\n", description.error().c_str());
        return 1;
    }
    auto audio =
        std::make_shared<sim::SimulatedAudioSystem>(sim::SimulatedAudioSystem::ClockMode::realTime);
    auto loaded = sim::SimulatedWorld::load(*audio, *description);
    if (!loaded) {
        std::fprintf(stderr, "Sonvel: %s\n", loaded.error().c_str());
        return 1;
    }
    auto world = std::make_shared<const sim::SimulatedWorld>(std::move(*loaded));

    // The screenshots must not read or change the user's own settings.
    std::unique_ptr<QTemporaryDir> scratch;
    if (screenshots) scratch = std::make_unique<QTemporaryDir>();

    MixerModel::Environment env;
    env.hal = audio;
    env.system = std::make_shared<sim::SimulatedSystemServices>(*world);
    env.mainQueue = std::make_shared<QtMainQueue>();
    env.clock = std::make_shared<SystemClock>();
    env.store = scratch ? std::make_shared<QtPreferencesStore>(
                              scratch->filePath("preferences.conf").toStdString())
                        : std::make_shared<QtPreferencesStore>();
    env.workspace =
        std::make_shared<LinuxWorkspace>(env.mainQueue, [] { QCoreApplication::quit(); });
    env.loginItem = std::make_shared<XdgLoginItem>();

    SonvelApplication::SimulatedAudio simulated{audio, world,
                                                description->value("capturePermission", true)};
    SonvelApplication shell(
        env, simulated,
        {.panelAsWindow = parser.isSet(windowOption) || screenshots,
         .updateFeed = screenshots ? std::nullopt : QtUpdateChecker::configuredFeed()});

    if (screenshots) {
        QString error;
        const QStringList files = takeScreenshots(shell, parser.value(screenshotsOption), error);
        for (const QString& file : files) std::printf("%s\n", qPrintable(file));
        shell.quit();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "Sonvel: %s\n", qPrintable(error));
            return 1;
        }
        return 0;
    }

    QTimer::singleShot(0, &shell, [&] {
        shell.start();
        // Scripts and shortcuts (`sonvelctl`) reach the model through this;
        // without a session bus Sonvel still works, only not from scripts.
        auto* bus = new SonvelBusService(shell.model(), &shell);
        if (const auto error = bus->registerOn(QDBusConnection::sessionBus())) {
            std::fprintf(stderr, "Sonvel: sonvelctl will not reach this Sonvel. %s\n",
                         qPrintable(*error));
        }
        if (parser.isSet(audioWorldOption)) shell.openAudioWorld();
    });
    return QApplication::exec();
}
