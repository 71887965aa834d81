// What the user asks of the model (levels, routes, resets, pausing), and the
// saving of the preferences those change.

#include <algorithm>

#include "Sonvel/MixerModel.hpp"
#include "core/Position.hpp"
#include "core/PreferencesCodec.hpp"
#include "core/Routing.hpp"

namespace sonvel {

// ------------------------------------------------------------------ saving

void MixerModel::scheduleSave(std::chrono::milliseconds delay) {
    if (isShutDown_) return;
    if (saveCancelled_) *saveCancelled_ = true;
    saveCancelled_ = std::make_shared<bool>(false);
    env_.mainQueue->after(delay, [weak = weak_from_this(), cancelled = saveCancelled_] {
        if (*cancelled) return;
        if (auto self = weak.lock()) (void)self->saveNow();
    });
}

// Whatever could not be read may be a newer Sonvel's settings or the user's
// only record of their levels: it is copied aside before anything else, and
// the file itself is left alone until there is something of the user's to
// write in its place.
void MixerModel::keepUnreadable(const std::optional<std::string>& bytes, const std::string& issue) {
    startedOnDefaults_ = preferences.get();
    std::string message = issue + " Sonvel started with its defaults";
    if (!bytes) {
        message += " and leaves the stored settings as they are.";
    } else if (auto copy = env_.store->keepCopy(*bytes, env_.clock->now())) {
        message += "; the unreadable settings are kept at " + *copy + ".";
    } else {
        uncopied_ = bytes;
        message += "; they could not be copied aside (" + copy.error() +
                   "), so they are left as they are.";
    }
    log_.error("{}", message);
    unreadableSettings.set(message);
}

std::expected<void, std::string> MixerModel::saveNow() {
    expectMainQueue();
    if (startedOnDefaults_) {
        if (preferences.get() == *startedOnDefaults_) return {};
        if (uncopied_) {
            auto copy = env_.store->keepCopy(*uncopied_, env_.clock->now());
            if (!copy) {
                return saveFailed("the unreadable settings could not be copied aside first: " +
                                  copy.error());
            }
            uncopied_.reset();
            unreadableSettings.set(*unreadableSettings.get() + " They are now kept at " + *copy +
                                   ".");
        }
    }
    if (auto written = env_.store->setData(preferencesKey, PreferencesCodec::encode(preferences));
        !written) {
        return saveFailed(written.error());
    }
    startedOnDefaults_.reset();
    saveFailures_ = 0;
    saveError.set(std::nullopt);
    return {};
}

std::expected<void, std::string> MixerModel::saveFailed(const std::string& why) {
    std::string sentence = "Settings could not be saved: " + why + ".";
    if (saveError.get() != sentence) log_.error("{}", sentence);
    saveError.set(sentence);
    // A full disk or a folder locked for a moment often comes back.
    ++saveFailures_;
    scheduleSave(
        std::min(saveRetryLongest, saveRetryFirst * (1 << std::min(saveFailures_ - 1, 6))));
    return std::unexpected(std::move(sentence));
}

void MixerModel::dismissUnreadableSettings() {
    unreadableSettingsDismissed.set(true);
}

// ------------------------------------------------------------------ commands

bool MixerModel::isLiveTesting() const {
    return liveTest->is<LiveTestPhase::Starting>() || liveTest->is<LiveTestPhase::Running>() ||
           liveTest->is<LiveTestPhase::Finishing>();
}

template <class Change>
void MixerModel::changePreference(const AppGroupDescriptor& group, Change change, bool saveAtOnce) {
    expectMainQueue();
    if (isShutDown_ || !gate().isReady()) return;
    AppPreference preference =
        preferences->preference(group.key).value_or(AppPreference(1.0, false, group.name));
    change(preference);
    Preferences p = preferences;
    p.set(std::move(preference), group.key);
    preferences.set(std::move(p));
    failures_.erase(group.key);
    retryCounts_.erase(group.key);
    if (saveAtOnce) {
        saveNow();
    } else {
        scheduleSave();
    }
    reconcile(false);
}

void MixerModel::setPosition(double position, const AppGroupDescriptor& group) {
    changePreference(
        group,
        [&](AppPreference& p) {
            p.position = sanitizedPosition(position);
            p.displayName = group.name;
        },
        false);
}

void MixerModel::toggleMute(const AppGroupDescriptor& group) {
    changePreference(
        group, [](AppPreference& p) { p.muted = !p.muted; }, false);
}

void MixerModel::setRoute(const std::optional<OutputContext>& route,
                          const AppGroupDescriptor& group) {
    changePreference(
        group,
        [&](AppPreference& p) {
            p.outputDeviceUID = route ? std::optional(route->uid) : std::nullopt;
            p.outputDeviceName = route ? std::optional(route->name) : std::nullopt;
            p.displayName = group.name;
        },
        true);
}

std::optional<std::vector<OutputContext>> MixerModel::routableOutputs(
    const std::string& key) const {
    std::optional<GroupStatus> status;
    if (const auto found = statuses->find(key); found != statuses->end()) status = found->second;
    if (!Routing::canRoute(gate(), status, outputs)) return std::nullopt;
    return outputs.get();
}

void MixerModel::clearFailure(const std::string& key) {
    failures_.erase(key);
    retryCounts_.erase(key);
}

void MixerModel::retry(const std::string& key) {
    expectMainQueue();
    if (isShutDown_) return;
    clearFailure(key);
    reconcile(false);
}

void MixerModel::resetSonvelAudio() {
    expectMainQueue();
    if (isShutDown_) return;
    log_.notice("Reset Sonvel Audio requested");
    if (isLiveTesting()) {
        host_->stopTestEngine();
        liveTest.set(LiveTestPhase::Idle{});
        reconcile(false);
    }
    if (permission->is<PermissionState::Probing>()) {
        host_->stopProbe();
        probeStartedAt_.reset();
        permission.set(preferences->permissionVerifiedAt
                           ? PermissionState{PermissionState::Verified{}}
                           : PermissionState{PermissionState::Unknown{}});
    }
    failures_.clear();
    retryCounts_.clear();
    observer_->refreshProcessListeners();
    audioResetAt.set(env_.clock->now());
    refresh(true);
}

void MixerModel::resetAllVolumes() {
    expectMainQueue();
    if (isShutDown_) return;
    Preferences p = preferences;
    p.apps.clear();
    preferences.set(std::move(p));
    failures_.clear();
    retryCounts_.clear();
    saveNow();
    reconcile(false);
}

void MixerModel::resetSetup() {
    expectMainQueue();
    if (isShutDown_) return;
    permission.set(PermissionState::Unknown{});
    permissionMessage.set(std::nullopt);
    Preferences p = preferences;
    p.permissionVerifiedAt.reset();
    p.validation.reset();
    preferences.set(std::move(p));
    captureProven_ = false;
    saveNow();
    reconcile(false);
}

void MixerModel::setLaunchAtLogin(bool enabled) {
    expectMainQueue();
    const auto result = env_.loginItem->setEnabled(enabled);
    launchAtLoginError.set(result ? std::nullopt : std::optional(result.error()));
    launchAtLogin.set(env_.loginItem->isEnabled());
}

void MixerModel::openSoundSettings() {
    if (!env_.workspace->openSoundSettings()) log_.info("No sound settings could be started");
}

std::optional<std::string> MixerModel::soundSettingsUnavailableReason() const {
    return env_.workspace->soundSettingsUnavailableReason();
}

void MixerModel::openPrivacySettings() {
    if (!env_.workspace->openPrivacySettings()) log_.info("This system has no privacy settings");
}

void MixerModel::relaunch() {
    env_.workspace->relaunch([workspace = env_.workspace, main = env_.mainQueue] {
        main->async([workspace] { workspace->terminate(); });
    });
}

void MixerModel::panelDidAppear() {
    if (isShutDown_) return;
    isPanelVisible.set(true);
    lastPanelRefresh_ = env_.clock->uptime();
    refresh(false);
}

void MixerModel::panelDidDisappear() {
    isPanelVisible.set(false);
}

void MixerModel::setPaused(bool paused) {
    expectMainQueue();
    if (isShutDown_) return;
    Preferences p = preferences;
    p.isPaused = paused;
    preferences.set(std::move(p));
    saveNow();
    reconcile(false);
}

void MixerModel::setShowIdleApps(bool show) {
    if (isShutDown_) return;
    Preferences p = preferences;
    p.showIdleApps = show;
    preferences.set(std::move(p));
    saveNow();
}

}  // namespace sonvel
