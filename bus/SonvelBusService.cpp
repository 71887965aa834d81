#include "bus/SonvelBusService.hpp"

#include <dlfcn.h>

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QtGlobal>
#include <cmath>
#include <limits>

#include "core/GainTaper.hpp"

namespace sonvel {

namespace cc = ControlCommands;

namespace {

QString jsonText(const nlohmann::json& json) {
    return QString::fromStdString(json.dump());
}

template <class Rows>
nlohmann::json jsonArray(const Rows& rows) {
    nlohmann::json array = nlohmann::json::array();
    for (const auto& row : rows) array.push_back(cc::toJson(row));
    return array;
}

// A change the model holds but could not write down is lost at the next
// start, so the caller is told rather than answered as if it were done.
std::optional<ControlCommands::Error> unsaved(MixerModel& model, const std::string& done) {
    if (auto saved = model.saveNow(); !saved) return cc::unsaved(done, saved.error());
    return std::nullopt;
}

// libdbus stops reading a connection while the messages it has read and not
// yet freed pass 63 MiB, and starts again when one is freed. A call that big
// is freed on the main thread after its reply, so the restart reaches Qt's
// socket notifier from outside its bus thread, which Qt refuses: the
// connection was never read again. Without the limit reading never stops; a
// single message is still bounded by the bus daemon and the protocol.
std::optional<QString> neverStopReading(const QDBusConnection& connection) {
    using SetLimit = void (*)(void*, long);
    void* library = ::dlopen("libdbus-1.so.3", RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) return QStringLiteral("libdbus-1.so.3 is not the bus library in use");
    const auto setBytes =
        reinterpret_cast<SetLimit>(::dlsym(library, "dbus_connection_set_max_received_size"));
    const auto setDescriptors =
        reinterpret_cast<SetLimit>(::dlsym(library, "dbus_connection_set_max_received_unix_fds"));
    ::dlclose(library);  // Qt's own reference keeps it loaded
    void* raw = connection.internalPointer();
    if (setBytes == nullptr || setDescriptors == nullptr || raw == nullptr) {
        return QStringLiteral("the bus library has no limits to lift");
    }
    setBytes(raw, std::numeric_limits<long>::max());
    setDescriptors(raw, std::numeric_limits<long>::max());
    return std::nullopt;
}

}  // namespace

SonvelBusService::SonvelBusService(std::shared_ptr<MixerModel> model, QObject* parent)
    : QObject(parent), model_(std::move(model)) {
    changedTimer_.setSingleShot(true);
    changedTimer_.setInterval(changedIntervalMs);
    connect(&changedTimer_, &QTimer::timeout, this, [this] {
        // The model changes on every tick (meters, timers); only a change a
        // script can see is worth waking it for.
        std::string list = jsonArray(cc::appRows(PanelInput::of(*model_))).dump();
        if (list == lastList_) return;
        lastList_ = std::move(list);
        emit Changed();
    });
    lastList_ = jsonArray(cc::appRows(PanelInput::of(*model_))).dump();
    subscription_ = model_->subscribeToChanges([this] { noteChanged(); });
}

std::optional<QString> SonvelBusService::registerOn(QDBusConnection connection) {
    if (!connection.isConnected()) {
        return QStringLiteral("There is no session bus: %1").arg(connection.lastError().message());
    }
    // Scripts still reach Sonvel without it, only an oversized call would end that.
    if (const auto why = neverStopReading(connection)) {
        qWarning("Sonvel: one oversized bus call could stop the bus service: %s.",
                 qPrintable(*why));
    }
    if (!connection.registerObject(
            objectPath, this,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals)) {
        return QStringLiteral("Could not export %1 on the session bus.").arg(objectPath);
    }
    if (!connection.registerService(serviceName)) {
        connection.unregisterObject(objectPath);
        return QStringLiteral("Another program already owns %1 on the session bus: %2")
            .arg(serviceName, connection.lastError().message());
    }
    return std::nullopt;
}

void SonvelBusService::noteChanged() {
    // Started once per burst and never restarted, so a steady stream of
    // changes still reaches scripts every interval.
    if (!changedTimer_.isActive()) changedTimer_.start();
}

void SonvelBusService::fail(const Error& error) {
    sendErrorReply(QString::fromStdString(cc::errorName(error.code)),
                   QString::fromStdString(error.message));
}

QString SonvelBusService::ListApps() {
    return jsonText(jsonArray(cc::appRows(PanelInput::of(*model_))));
}

QString SonvelBusService::ListOutputs() {
    return jsonText(jsonArray(cc::outputRows(PanelInput::of(*model_))));
}

QString SonvelBusService::Status() {
    return jsonText(cc::toJson(cc::status(model_->gate(), model_->preferences)));
}

QString SonvelBusService::GateTitle() {
    const ControlGate gate = model_->gate();
    return gate.isReady() ? QString() : QString::fromStdString(gate.title());
}

QString SonvelBusService::GateDetail() {
    const ControlGate gate = model_->gate();
    return gate.isReady() ? QString() : QString::fromStdString(gate.detail());
}

auto SonvelBusService::changeableApp(const QString& app) const -> Result<cc::AppRow> {
    // The name is checked first: a malformed argument is the caller's error
    // whatever state the controls are in.
    const std::string query = app.toStdString();
    if (auto name = cc::checkedName(query, "application name"); !name) {
        return std::unexpected(name.error());
    }
    if (auto refused = cc::refusal(model_->gate())) return std::unexpected(*refused);
    return cc::matchApp(query, cc::appRows(PanelInput::of(*model_)));
}

AppGroupDescriptor SonvelBusService::descriptor(const cc::AppRow& row) const {
    const PanelView::Descriptors lists =
        PanelView::descriptors(model_->groups, model_->preferences);
    for (const auto* list : {&lists.playing, &lists.others}) {
        for (const AppGroupDescriptor& d : *list) {
            if (d.key == row.key) return d;
        }
    }
    return {row.key, row.name};
}

QString SonvelBusService::setPosition(const QString& app, const Result<double>& position,
                                      bool relative) {
    if (!position) {
        fail(position.error());
        return {};
    }
    const auto row = changeableApp(app);
    if (!row) {
        fail(row.error());
        return {};
    }
    const double target = cc::applyLevel({*position, relative}, row->position);
    model_->setPosition(target, descriptor(*row));
    // The row only knows after the change whether the level is heard.
    const auto after = cc::matchApp(row->key, cc::appRows(PanelInput::of(*model_)));
    const std::string reply = cc::changeReply(GainTaper::percentText(target), after.value_or(*row));
    if (auto notSaved = unsaved(*model_, row->name + ": " + reply)) {
        fail(*notSaved);
        return {};
    }
    return QString::fromStdString(reply);
}

QString SonvelBusService::SetLevel(const QString& app, double position) {
    return setPosition(app, cc::checkedPosition(position), false);
}

QString SonvelBusService::SetPercent(const QString& app, double percent) {
    return setPosition(app, cc::checkedPercent(percent), false);
}

QString SonvelBusService::AdjustLevel(const QString& app, double positionChange) {
    Result<double> change = positionChange;
    if (!std::isfinite(positionChange) || positionChange < -1.0 || positionChange > 1.0) {
        change = std::unexpected(
            Error{cc::ExitCode::badArgument, "A level change goes from -1 to 1 (-100% to +100%)."});
    }
    return setPosition(app, change, true);
}

bool SonvelBusService::setMuted(const QString& app, std::optional<bool> muted) {
    const auto row = changeableApp(app);
    if (!row) {
        fail(row.error());
        return false;
    }
    const bool wanted = muted.value_or(!row->muted);
    if (wanted != row->muted) {
        model_->toggleMute(descriptor(*row));
        if (auto notSaved = unsaved(*model_, row->name + (wanted ? ": muted" : ": unmuted"))) {
            fail(*notSaved);
        }
    }
    return wanted;
}

bool SonvelBusService::Mute(const QString& app) {
    return setMuted(app, true);
}

bool SonvelBusService::Unmute(const QString& app) {
    return setMuted(app, false);
}

bool SonvelBusService::ToggleMute(const QString& app) {
    return setMuted(app, std::nullopt);
}

void SonvelBusService::Route(const QString& app, const QString& device) {
    const std::string deviceText = device.toStdString();
    if (auto name = cc::checkedName(deviceText, "output name"); !name) return fail(name.error());
    const auto row = changeableApp(app);
    if (!row) return fail(row.error());
    const auto chosen = cc::matchOutput(deviceText, cc::outputRows(PanelInput::of(*model_)));
    if (!chosen) return fail(chosen.error());
    const AppGroupDescriptor group = descriptor(*row);
    if (!*chosen) {
        model_->setRoute(std::nullopt, group);
        if (auto notSaved = unsaved(*model_, row->name + ": follows the default output")) {
            fail(*notSaved);
        }
        return;
    }

    // The panel offers the output menu only when routing can work; the bus
    // follows the same rule rather than store a route that would do nothing.
    const auto routable = model_->routableOutputs(row->key);
    const auto output = routable
                            ? std::ranges::find((*routable), (*chosen)->uid, &OutputContext::uid)
                            : std::vector<OutputContext>::const_iterator{};
    if (!routable || output == routable->end()) {
        return fail(
            {cc::ExitCode::noSuchOutput,
             row->name + " cannot be routed now" +
                 (row->caption.empty() ? std::string(": fewer than two outputs can be used.")
                                       : ": " + row->caption + ".")});
    }
    model_->setRoute(*output, group);
    if (auto notSaved = unsaved(*model_, row->name + ": plays on " + output->name)) fail(*notSaved);
}

void SonvelBusService::setPaused(bool paused) {
    // Pausing is how the gate becomes Paused, so only other closed states refuse.
    const ControlGate gate = model_->gate();
    if (!gate.isReady() && !gate.is<ControlGate::Paused>()) return fail(*cc::refusal(gate));
    model_->setPaused(paused);
    if (auto notSaved = unsaved(*model_, paused ? "Paused" : "Resumed")) fail(*notSaved);
}

void SonvelBusService::Pause() {
    setPaused(true);
}

void SonvelBusService::Resume() {
    setPaused(false);
}

}  // namespace sonvel
