#include "app/sim/AudioWorldWindow.hpp"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cmath>

#include "ui/QtString.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

namespace {

using DeviceSpec = sim::SimulatedAudioSystem::DeviceSpec;
using ProcessSpec = sim::SimulatedAudioSystem::ProcessSpec;

QString signalText(const sim::Signal& s) {
    switch (s.kind) {
        case sim::Signal::Kind::sine:
            return QString("sine %1 Hz at %2").arg(s.frequency).arg(s.level, 0, 'f', 2);
        case sim::Signal::Kind::noise:
            return QString("noise at %1").arg(s.level, 0, 'f', 2);
        case sim::Signal::Kind::silence:
            return "silence";
    }
    return {};
}

QString dBText(double dB) {
    return dB <= -119.5 ? QString("silent") : QString("%1 dB").arg(dB, 0, 'f', 1);
}

bool hasOutput(const DeviceSpec& d) {
    return std::ranges::any_of(d.outputStreams, [](std::uint32_t c) { return c > 0; });
}

// The application a helper process belongs to: the outermost ".app" folder on
// its executable path that the world knows as a bundle.
std::optional<std::string> bundleName(const sim::SimulatedWorld& world, ProcessID pid) {
    const auto path = world.executablePath(pid);
    if (!path) return std::nullopt;
    for (auto end = path->find(".app/"); end != std::string::npos;
         end = path->find(".app/", end + 1)) {
        if (const auto bundle = world.bundle(path->substr(0, end + 4))) return bundle->name;
    }
    return std::nullopt;
}

}  // namespace

AudioWorldWindow::AudioWorldWindow(std::shared_ptr<sim::SimulatedAudioSystem> audio,
                                   std::shared_ptr<const sim::SimulatedWorld> world,
                                   AppName appName, bool capturePermission, QWidget* parent)
    : QWidget(parent),
      audio_(std::move(audio)),
      world_(std::move(world)),
      appName_(std::move(appName)) {
    setWindowTitle("Audio World");
    for (const ProcessSpec& p : world_->processes()) playing_[p.pid] = p.playing;

    auto* column = new QVBoxLayout(this);
    auto* intro = new QLabel(
        "The simulated audio system Sonvel runs on. Each application plays its own tone, so "
        "every speaker's meter shows each application's level apart.",
        this);
    intro->setWordWrap(true);
    column->addWidget(intro);

    // Dozens of devices and applications would make the window taller and
    // wider than any screen, its buttons out of reach: they scroll instead.
    auto* scroll = new QScrollArea(this);
    auto* inside = new QWidget(scroll);
    auto* parts = new QVBoxLayout(inside);
    parts->setContentsMargins(0, 0, 0, 0);
    auto* devices = new QGroupBox("Devices", inside);
    auto* grid = new QGridLayout(devices);
    int line = 0;
    for (const DeviceSpec& d : world_->devices()) {
        DeviceRow row{new QLabel(devices), new QPushButton("Make Default", devices),
                      new QPushButton(devices), new QProgressBar(devices), new QLabel(devices)};
        row.name->setToolTip(qs(d.uid));
        row.makeDefault->setObjectName(qs("default:" + d.uid));
        row.plug->setObjectName(qs("plug:" + d.uid));
        grid->addWidget(row.name, line, 0);
        grid->addWidget(row.makeDefault, line, 1);
        grid->addWidget(row.plug, line, 2);
        connect(row.makeDefault, &QPushButton::clicked, this, [this, uid = d.uid] {
            audio_->setDefaultOutput(audio_->deviceID(uid));
            renderDevices();
        });
        connect(row.plug, &QPushButton::clicked, this, [this, spec = d] {
            const AudioObjectID id = audio_->deviceID(spec.uid);
            if (id == hal::unknownObject) {
                audio_->addDevice(spec);
            } else {
                audio_->removeDevice(id);
            }
            levels_.erase(spec.uid);
            renderDevices();
        });
        row.meter->setRange(0, 600);  // tenths of a dB above -60 dBFS
        row.meter->setTextVisible(false);
        row.meter->setMaximumHeight(8);
        row.meter->setVisible(hasOutput(d));
        row.levels->setFont(ViewStyle::caption());
        row.levels->setVisible(hasOutput(d));
        grid->addWidget(row.meter, line + 1, 0, 1, 3);
        grid->addWidget(row.levels, line + 2, 0, 1, 3);
        line += 3;
        devices_.emplace(d.uid, row);
    }
    parts->addWidget(devices);
    parts->addWidget(processesBox(inside));
    parts->addStretch(1);
    scroll->setWidget(inside);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    column->addWidget(scroll, 1);

    auto* server = new QHBoxLayout;
    auto* capture = new QCheckBox("Capture permission granted", this);
    capture->setObjectName("capture");
    capture->setChecked(capturePermission);
    capture->setToolTip("Without it every tap hears digital silence, and still mutes.");
    connect(capture, &QCheckBox::toggled, this,
            [this](bool granted) { audio_->setCapturePermission(granted); });
    auto* restart = new QPushButton("Restart audio server", this);
    restart->setObjectName("restart");
    connect(restart, &QPushButton::clicked, this, [this] {
        audio_->restartServer();
        renderDevices();
    });
    server->addWidget(capture);
    server->addStretch(1);
    server->addWidget(restart);
    column->addLayout(server);

    meterTimer_.setInterval(meterInterval);
    connect(&meterTimer_, &QTimer::timeout, this, &AudioWorldWindow::updateMeters);
    renderDevices();
    // A small world shows whole; a large one fills most of the screen.
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QSize room = screen->availableGeometry().size() * 0.85;
        const QSize whole = inside->sizeHint() + QSize(40, 40 + intro->sizeHint().height() +
                                                               restart->sizeHint().height());
        resize(whole.expandedTo(sizeHint()).boundedTo(room));
    }
}

std::string AudioWorldWindow::nameOf(const ProcessSpec& p) const {
    if (appName_) {
        if (auto name = appName_(p.pid)) return *name;
    }
    if (const auto app = world_->runningApplication(p.pid); app && app->localizedName)
        return *app->localizedName;
    if (auto name = bundleName(*world_, p.pid)) return *name;
    return p.bundleID.empty() ? "Process " + std::to_string(p.pid) : p.bundleID;
}

QWidget* AudioWorldWindow::processesBox(QWidget* parent) {
    auto* box = new QGroupBox("Processes by application", parent);
    auto* grid = new QGridLayout(box);
    std::map<std::string, std::vector<const ProcessSpec*>> byApp;
    for (const ProcessSpec& p : world_->processes()) {
        if (p.pid != world_->ownPID()) byApp[nameOf(p)].push_back(&p);
    }
    int line = 0;
    for (const auto& [app, processes] : byApp) {
        auto* name = new QLabel(qs(app), box);
        QFont bold = name->font();
        bold.setBold(true);
        name->setFont(bold);
        grid->addWidget(name, line++, 0, 1, 2);
        for (const ProcessSpec* p : processes) {
            auto* what =
                new QLabel(QString("pid %1 · %2").arg(p->pid).arg(signalText(p->signal)), box);
            what->setToolTip(qs(p->bundleID));
            auto* playing = new QCheckBox("Playing", box);
            playing->setChecked(p->playing);
            playing->setObjectName(QString("playing:%1").arg(p->pid));
            connect(playing, &QCheckBox::toggled, this, [this, pid = p->pid](bool on) {
                playing_[pid] = on;
                audio_->setPlaying(audio_->processObject(pid), on);
            });
            grid->addWidget(what, line, 0);
            grid->addWidget(playing, line++, 1);
        }
    }
    return box;
}

void AudioWorldWindow::renderDevices() {
    const AudioObjectID defaultOutput = audio_->defaultOutput();
    for (const DeviceSpec& d : world_->devices()) {
        const DeviceRow& row = devices_.at(d.uid);
        const AudioObjectID id = audio_->deviceID(d.uid);
        const bool plugged = id != hal::unknownObject;
        const bool isDefault = plugged && id == defaultOutput;
        QString text = qs(d.name);
        if (d.hidden) text += " (hidden)";
        if (!plugged) text += " (unplugged)";
        row.name->setText(isDefault ? "<b>" + text.toHtmlEscaped() + "</b> · default output"
                                    : text.toHtmlEscaped());
        row.makeDefault->setEnabled(plugged && !isDefault && hasOutput(d));
        row.plug->setText(plugged ? "Unplug" : "Plug In");
        row.meter->setEnabled(plugged);
        row.levels->setEnabled(plugged);
        if (!plugged) {
            row.meter->setValue(0);
            row.levels->setText("unplugged");
        }
    }
}

void AudioWorldWindow::updateMeters() {
    std::vector<SpeakerLevels::Tone> tones;
    for (const auto& p : world_->processes()) {
        if (playing_[p.pid] && p.signal.kind == sim::Signal::Kind::sine)
            tones.push_back({nameOf(p), p.signal.frequency});
    }
    for (const DeviceSpec& d : world_->devices()) {
        const AudioObjectID id = audio_->deviceID(d.uid);
        if (id == hal::unknownObject || !hasOutput(d)) continue;
        // What played since the last reading; emptied so that it stays short.
        const std::vector<float> samples = audio_->speaker(id);
        audio_->clearSpeaker(id);
        const SpeakerLevels::Levels l =
            SpeakerLevels::measure(samples, audio_->speakerChannels(id), d.sampleRate, tones);
        levels_[d.uid] = l;
        const DeviceRow& row = devices_.at(d.uid);
        row.meter->setValue(int(std::lround(std::clamp(l.rmsDB + 60.0, 0.0, 60.0) * 10)));
        QStringList parts{"level " + dBText(l.rmsDB)};
        for (const auto& reading : l.tones) {
            if (reading.dB > SpeakerLevels::audibleDB)
                parts << qs(reading.name) + " " + dBText(reading.dB);
        }
        row.levels->setText(parts.join(" · "));
    }
}

std::optional<SpeakerLevels::Levels> AudioWorldWindow::levels(const std::string& uid) const {
    const auto found = levels_.find(uid);
    return found == levels_.end() ? std::nullopt : std::optional(found->second);
}

void AudioWorldWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    meterTimer_.start();
}

void AudioWorldWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    meterTimer_.stop();
}

void AudioWorldWindow::showCaptureSwitch() {
    show();
    raise();
    activateWindow();
    auto* capture = findChild<QCheckBox*>("capture");
    if (!capture) return;
    for (QWidget* above = capture->parentWidget(); above; above = above->parentWidget()) {
        if (auto* area = qobject_cast<QScrollArea*>(above)) area->ensureWidgetVisible(capture);
    }
    capture->setFocus(Qt::OtherFocusReason);
}

}  // namespace sonvel
