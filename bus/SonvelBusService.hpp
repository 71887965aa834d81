#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <optional>

#include "Sonvel/MixerModel.hpp"
#include "bus/ControlCommands.hpp"

namespace sonvel {

// The running application's session-bus interface, for scripts and keyboard
// shortcuts. Every change goes through the model commands the panel uses,
// after the same gate check the panel makes: while controls are not available
// a change is refused with the gate's title and detail, never dropped.
// Read methods answer JSON text in the shape `sonvelctl --json` prints, so the
// one codec tested without a bus is the one both ends use.
// Main thread only; calls arrive on it because the object lives there.
class SonvelBusService final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "app.velmorra.Sonvel1")
  public:
    static constexpr const char* serviceName = "app.velmorra.Sonvel";
    static constexpr const char* objectPath = "/app/velmorra/Sonvel";
    static constexpr const char* interfaceName = "app.velmorra.Sonvel1";
    // A burst of model changes becomes one Changed signal at most this often.
    static constexpr int changedIntervalMs = 250;

    explicit SonvelBusService(std::shared_ptr<MixerModel> model, QObject* parent = nullptr);

    // Claims the name and exports the object; a sentence when that fails
    // (another Sonvel owns the name, or there is no session bus). The
    // connection reads on however large the calls it was sent.
    std::optional<QString> registerOn(QDBusConnection connection);

  public slots:
    QString ListApps();
    QString ListOutputs();
    QString Status();
    QString GateTitle();
    QString GateDetail();
    // Each answers the level as the panel shows it afterwards ("40%"), and
    // when the row says it is not heard now, that it is stored and why
    // ("40% (stored for when it plays)"): ControlCommands::changeReply.
    QString SetLevel(const QString& app, double position);
    QString SetPercent(const QString& app, double percent);
    QString AdjustLevel(const QString& app, double positionChange);
    // Each answers whether the application is muted afterwards.
    bool Mute(const QString& app);
    bool Unmute(const QString& app);
    bool ToggleMute(const QString& app);
    // DEVICE: an output's UID or name, or "default".
    void Route(const QString& app, const QString& device);
    void Pause();
    void Resume();

  signals:
    // The list of applications or one of its rows changed.
    void Changed();

  private:
    using Error = ControlCommands::Error;
    template <class T>
    using Result = ControlCommands::Result<T>;

    Result<ControlCommands::AppRow> changeableApp(const QString& app) const;
    AppGroupDescriptor descriptor(const ControlCommands::AppRow& row) const;
    QString setPosition(const QString& app, const Result<double>& position, bool relative);
    bool setMuted(const QString& app, std::optional<bool> muted);
    void setPaused(bool paused);
    void fail(const Error& error);
    void noteChanged();

    std::shared_ptr<MixerModel> model_;
    Subscription subscription_;
    QTimer changedTimer_;
    std::string lastList_;
};

}  // namespace sonvel
