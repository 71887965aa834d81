#include "app/Screenshots.hpp"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QImage>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <functional>

#include "app/sim/AudioWorldWindow.hpp"
#include "app/sim/SimulatorWindows.hpp"
#include "ui/MixerPanel.hpp"
#include "ui/SonvelApplication.hpp"
#include "ui/StatusIconPainter.hpp"

namespace sonvel {

namespace {

// Runs the event loop (and so the model and the audio system) for a while.
void run(int milliseconds) {
    QEventLoop loop;
    QTimer::singleShot(milliseconds, &loop, &QEventLoop::quit);
    loop.exec();
}

bool runUntil(const std::function<bool()>& done, int limitMilliseconds) {
    QElapsedTimer timer;
    timer.start();
    while (!done()) {
        if (timer.elapsed() > limitMilliseconds) return false;
        run(100);
    }
    return true;
}

std::optional<AppGroupDescriptor> descriptor(const MixerModel& model, const std::string& key) {
    for (const AppGroup& g : model.groups.get()) {
        if (g.key == key)
            return AppGroupDescriptor{g.key,      g.displayName, g.appPath,
                                      g.isShared, true,          g.isRunningOutput};
    }
    return std::nullopt;
}

// The three variants side by side, large enough to see their geometry.
QImage iconSheet(const QColor& ink) {
    constexpr qreal ratio = 6;
    constexpr int cell = int(StatusIcon::size * ratio) + 24;
    QImage sheet(cell * 3, cell, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(QColor(0xF2, 0xF2, 0xF2));
    QPainter p(&sheet);
    int x = 0;
    for (const auto v :
         {StatusIcon::Variant::active, StatusIcon::Variant::paused, StatusIcon::Variant::locked}) {
        QImage icon = StatusIconPainter::render(v, ratio, ink);
        icon.setDevicePixelRatio(1);
        p.drawImage(x + 12, 12, icon);
        x += cell;
    }
    return sheet;
}

}  // namespace

QStringList takeScreenshots(SonvelApplication& app, SimulatorWindows* simulator,
                            const QString& directory, QString& error) {
    QStringList written;
    const QDir dir(directory);
    if (!QDir().mkpath(directory)) {
        error = "Cannot create " + directory;
        return {};
    }
    const auto save = [&](const QImage& image, const QString& name) {
        const QString path = dir.absoluteFilePath(name);
        if (image.save(path)) {
            written << path;
        } else {
            error = "Cannot write " + path;
        }
    };
    const auto grab = [](QWidget* w) { return w->grab().toImage(); };

    app.start();
    app.openPanel();
    MixerModel& model = *app.model();
    run(1500);
    save(grab(app.panel()), "panel-setup-needed.png");

    model.startPermissionCheck();
    if (!runUntil([&] { return model.permission->is<PermissionState::Verified>(); }, 20000)) {
        error = "The access check did not pass.";
        return written;
    }
    const auto candidates = model.liveTestCandidates();
    if (candidates.empty()) {
        error = "Nothing plays in this world, so the live test cannot run.";
        return written;
    }
    model.startLiveTest(candidates.front().key);
    if (!runUntil([&] { return model.liveTest->is<LiveTestPhase::AwaitingAnswer>(); }, 30000)) {
        error = "The live test did not finish.";
        return written;
    }
    model.answerLiveTest(true);
    if (!model.gate().isReady()) {
        error = "The live test did not open the controls: " +
                QString::fromStdString(model.gate().title());
        return written;
    }
    // A few settings, so that the picture shows what the rows can say.
    if (const auto first = descriptor(model, candidates.front().key))
        model.setPosition(0.5, *first);
    for (const AppGroup& g : model.groups.get()) {
        const auto d = descriptor(model, g.key);
        if (g.isShared && model.outputs->size() > 1) model.setRoute(model.outputs->at(1), *d);
        if (g.displayName == "Slack") model.toggleMute(*d);
    }
    run(2500);
    save(grab(app.panel()), "panel.png");

    const QColor ink(0x1E, 0x1E, 0x1E);
    for (const auto& [variant, name] : {std::pair{StatusIcon::Variant::active, "active"},
                                        std::pair{StatusIcon::Variant::paused, "paused"},
                                        std::pair{StatusIcon::Variant::locked, "locked"}}) {
        save(StatusIconPainter::render(variant, 2, ink),
             QString("status-icon-%1@2x.png").arg(name));
    }
    save(iconSheet(ink), "status-icons.png");

    if (AudioWorldWindow* world = simulator ? simulator->open() : nullptr) {
        world->updateMeters();  // drops what played before the controls opened
        run(650);               // the window's own meter readings since
        save(grab(world), "audio-world.png");
    }
    return written;
}

}  // namespace sonvel
