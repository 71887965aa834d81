#include "Sonvel/MixerModel.hpp"

#include <fmt/ranges.h>

#include <algorithm>

#include "core/AppBrand.hpp"
#include "core/AppCatalog.hpp"
#include "core/PermissionProbeEvaluator.hpp"
#include "core/Position.hpp"
#include "core/PreferencesCodec.hpp"
#include "core/Reconciler.hpp"
#include "core/Routing.hpp"
#include "core/SilenceWatchdog.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {

namespace {

double seconds(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

}  // namespace

std::shared_ptr<MixerModel> MixerModel::make(Environment environment) {
    std::shared_ptr<MixerModel> model(new MixerModel(std::move(environment)));
    model->start();
    return model;
}

MixerModel::MixerModel(Environment environment) : env_(std::move(environment)) {
    lastTick_ = env_.clock->uptime();
}

MixerModel::~MixerModel() {
    if (timerCancelled_) *timerCancelled_ = true;
    if (saveCancelled_) *saveCancelled_ = true;
}

void MixerModel::start() {
    const auto note = [this](const auto&) { noteChanged(); };
    ownSubscriptions_.push_back(preferences.subscribe(note));
    ownSubscriptions_.push_back(groups.subscribe(note));
    ownSubscriptions_.push_back(statuses.subscribe(note));
    ownSubscriptions_.push_back(output.subscribe(note));
    ownSubscriptions_.push_back(outputs.subscribe(note));
    ownSubscriptions_.push_back(audioResetAt.subscribe(note));
    ownSubscriptions_.push_back(permission.subscribe(note));
    ownSubscriptions_.push_back(permissionMessage.subscribe(note));
    ownSubscriptions_.push_back(liveTest.subscribe(note));
    ownSubscriptions_.push_back(outputPeaks.subscribe(note));
    ownSubscriptions_.push_back(launchAtLoginError.subscribe(note));
    ownSubscriptions_.push_back(isPanelVisible.subscribe(note));
    ownSubscriptions_.push_back(silenceNotice.subscribe(note));
    ownSubscriptions_.push_back(launchAtLogin.subscribe(note));
    ownSubscriptions_.push_back(unreadableSettings.subscribe(note));
    ownSubscriptions_.push_back(unreadableSettingsDismissed.subscribe(note));
    ownSubscriptions_.push_back(saveError.subscribe(note));
    launchAtLogin.set(env_.loginItem->isEnabled());
    // Changed outside Sonvel: the switch follows what the system now says.
    env_.loginItem->observe([weak = weak_from_this(), main = env_.mainQueue] {
        main->async([weak] {
            if (const auto self = weak.lock()) {
                self->launchAtLogin.set(self->env_.loginItem->isEnabled());
            }
        });
    });
    osBuild_ = SystemInfo::osBuild(*env_.system);
    const auto stored = env_.store->data(preferencesKey);
    PreferencesCodec::Decoded decoded =
        stored ? PreferencesCodec::decode(*stored)
               : PreferencesCodec::Decoded{
                     {}, "Preferences could not be read: " + stored.error() + "."};
    // A live test recorded under an earlier kind of build (a kernel release)
    // is carried over rather than locking the controls once on upgrading.
    if (auto adopted = ValidationPolicy::adopt(decoded.preferences.validation, osBuild_,
                                               env_.wording.gate.build)) {
        log_.info("Live test of build {} carried over to {}",
                  decoded.preferences.validation->osBuild, osBuild_);
        decoded.preferences.validation = std::move(adopted);
        scheduleSave();
    }
    preferences.set(std::move(decoded.preferences));
    if (decoded.issue) keepUnreadable(stored ? *stored : std::nullopt, *decoded.issue);
    permission.set(preferences->permissionVerifiedAt ? PermissionState{PermissionState::Verified{}}
                                                     : PermissionState{PermissionState::Unknown{}});

    const std::weak_ptr<MixerModel> weak = weak_from_this();
    EngineHost::Dependencies deps;
    deps.hal = env_.hal;
    deps.mainQueue = env_.mainQueue;
    deps.queue = env_.hostQueue;
    deps.now = [clock = env_.clock] { return clock->now(); };
    deps.sleep = env_.handoverSleep;
    deps.makeListenerQueue = env_.makeEngineListenerQueue;
    host_ = EngineHost::make(deps, [weak](const EngineHost::Event& event) {
        if (auto self = weak.lock()) self->handle(event);
    });
    observer_ = AudioChangeObserver::make(
        env_.hal, env_.mainQueue,
        [weak](const std::set<AudioChangeObserver::Change>& changes) {
            if (auto self = weak.lock()) self->handle(changes);
        },
        env_.observerQueue);
    env_.workspace->observeSleep(
        [weak] {
            if (auto self = weak.lock()) {
                self->isAsleep_ = true;
                self->reconcile(false);
            }
        },
        [weak] {
            if (auto self = weak.lock()) {
                self->isAsleep_ = false;
                self->refresh(false);
            }
        });
    timerCancelled_ = std::make_shared<bool>(false);
    scheduleTick();
    refresh(false);
}

void MixerModel::scheduleTick() {
    env_.mainQueue->after(tickInterval, [weak = weak_from_this(), cancelled = timerCancelled_] {
        if (*cancelled) return;
        if (auto self = weak.lock()) {
            self->scheduleTick();
            self->tick();
        }
    });
}

// Afterwards nothing is built again: work still queued (an observer delivery,
// a host event, a wake) finds the model shut and the host closed, and the
// observer's listeners are gone.
void MixerModel::shutdown() {
    if (isShutDown_) return;
    isShutDown_ = true;
    *timerCancelled_ = true;
    if (saveCancelled_) *saveCancelled_ = true;
    saveNow();
    host_->shutdown();
    observer_.reset();
}

Subscription MixerModel::subscribeToChanges(std::function<void()> observer) {
    return changeObservers_.add(std::move(observer));
}

void MixerModel::noteChanged() {
    if (changeScheduled_ || changeObservers_.empty()) return;
    changeScheduled_ = true;
    env_.mainQueue->async([weak = weak_from_this()] {
        const auto self = weak.lock();
        if (!self) return;
        self->changeScheduled_ = false;
        self->changeObservers_.notify();
    });
}

ControlGate MixerModel::gate() const {
    return ControlGate::evaluate(permission, preferences->validation,
                                 ValidationPath{osBuild_, ValidationPath::currentEngineRevision},
                                 preferences->isPaused, env_.wording.gate);
}

std::map<std::string, float> MixerModel::applicationsToControl() const {
    std::map<std::string, float> gains;
    if (!gate().isReady()) return gains;
    for (const auto& [key, preference] : preferences->apps) {
        if (!preference.isDefault()) gains.emplace(key, preference.gain());
    }
    return gains;
}

// ------------------------------------------------------------------ the loop

void MixerModel::refresh(bool rebuildEngines) {
    if (isShutDown_) return;
    AudioWorld snapshot = ProcessInspector::snapshot(*env_.hal, *env_.system);
    refreshDue_ = !snapshot.isWhole();
    if (refreshDue_ && world_ && ++incompleteSnapshots_ <= incompleteSnapshotLimit) {
        // One failed read must not empty the panel or drop engines: keep the
        // last whole picture and look again at the next tick.
        log_.info("Could not read {}; keeping the last snapshot",
                  fmt::format("{}", fmt::join(snapshot.unreadable, ", ")));
        reconcile(rebuildEngines);
        return;
    }
    if (!refreshDue_) incompleteSnapshots_ = 0;
    world_ = std::move(snapshot);
    groups.set(AppCatalog::groups(world_->records, env_.system->ownPID()));
    output.set(world_->output);
    outputs.set(world_->outputs);
    const Time now = env_.clock->uptime();
    for (const AppGroup& group : groups.get()) {
        if (group.isRunningOutput) lastActive_[group.key] = now;
    }
    reconcile(rebuildEngines);
}

void MixerModel::reconcile(bool rebuildEngines) {
    if (isShutDown_) return;
    ReconcileInput input;
    input.gate = isLiveTesting() || isAsleep_ ? ControlGate{ControlGate::Paused{}} : gate();
    for (const auto& [key, failure] : failures_) {
        input.failures.insert_or_assign(
            key, GroupStatus{GroupStatus::Failed{failure.message, failure.retryAt.has_value()}});
    }
    input.groups = groups;
    input.preferences = preferences->apps;
    input.output = output;
    input.outputs = outputs;
    input.lastActive = lastActive_;
    input.now = env_.clock->uptime();
    input.idleGrace = idleGrace;
    ReconcileResult result = Reconciler::reconcile(input);
    statuses.set(std::move(result.statuses));
    if (rebuildEngines) {
        host_->rebuild(std::move(result.specs));
    } else {
        host_->apply(std::move(result.specs));
    }
}

void MixerModel::tick() {
    if (isShutDown_) return;
    const Time now = env_.clock->uptime();
    const double dt = seconds(now - lastTick_);
    lastTick_ = now;
    advancePermissionCheck(now, dt);
    advanceLiveTest(now);
    if (isPanelVisible &&
        (lastPanelRefresh_ == Time::min() || now - lastPanelRefresh_ >= panelRefreshInterval)) {
        lastPanelRefresh_ = now;
        refresh(false);
    } else if (refreshDue_) {
        refresh(false);
    }

    std::map<std::string, float> peaks;
    const Date date = env_.clock->now();
    const auto readouts = host_->readouts();
    watchForSilence(now, readouts);
    for (const auto& [key, readout] : readouts) {
        const std::uint64_t nonZero = readout.meter->totalInputNonZeroSamples();
        if (nonZero > 0 && !captureProven_) markCaptureVerified();
        const double age = std::chrono::duration<double>(date - readout.startedAt).count();
        const auto group = std::ranges::find(groups.get(), key, &AppGroup::key);
        const bool playing = group != groups->end() && group->isRunningOutput;
        if (group != groups->end() &&
            SilenceWatchdog::evaluate(captureProven_, nonZero, age, playing) ==
                SilenceWatchdog::Verdict::tripped) {
            tripWatchdog(key);
            break;
        }
        if (isPanelVisible) peaks[key] = readout.meter->takeSnapshot().outputPeak;
    }
    if (isPanelVisible) outputPeaks.set(std::move(peaks));

    for (auto it = failures_.begin(); it != failures_.end();) {
        if (it->second.retryAt && *it->second.retryAt <= now) {
            retryCounts_[it->first] = it->second.count;
            it = failures_.erase(it);
        } else {
            ++it;
        }
    }
    reconcile(false);
}

// The watchdog guards only the time before capture was proven. After that,
// silence from every engine whose application plays means the user hears
// nothing from any of them while their rows look fine: say so. It is only
// said, never acted on, since one application can legitimately play zeros.
void MixerModel::watchForSilence(Time now, const std::map<std::string, EngineReadout>& readouts) {
    std::map<std::string, std::pair<std::uint64_t, Time>> heard;
    std::vector<std::string> silent;
    bool anyPlaying = false;
    bool allSilent = true;
    for (const auto& [key, readout] : readouts) {
        const std::uint64_t nonZero = readout.meter->totalInputNonZeroSamples();
        const auto previous = inputHeard_.find(key);
        const Time since = previous == inputHeard_.end() || nonZero != previous->second.first
                               ? now
                               : previous->second.second;
        heard.emplace(key, std::pair{nonZero, since});
        const auto group = std::ranges::find(groups.get(), key, &AppGroup::key);
        if (group == groups->end() || !group->isRunningOutput) continue;
        anyPlaying = true;
        if (now - since >= silenceNoticeAfter) {
            silent.push_back(key);
        } else {
            allSilent = false;
        }
    }
    inputHeard_ = std::move(heard);
    if (!captureProven_ || !anyPlaying || !allSilent) {
        silenceNotice.set(std::nullopt);
        return;
    }
    silenceNotice.set(SilenceNotice{
        silent, fmt::format("{0} hears only silence from the apps it controls although they are "
                            "playing, so they cannot be heard. Audio capture may have been turned "
                            "off. Pause {0} to give every app its normal volume back.",
                            AppBrand::name)});
}

void MixerModel::tripWatchdog(const std::string& key) {
    log_.error("Silence watchdog tripped for {}; locking controls", key);
    permission.set(PermissionState::LikelyDenied{});
    permissionMessage.set(std::string(AppBrand::name) + " received only silence from " + key +
                          " while it was playing, so it restored all apps to normal volume. Check "
                          "the permission, then run the access check again.");
    Preferences p = preferences;
    p.permissionVerifiedAt.reset();
    p.validation = ValidationPolicy::invalidate(
        p.validation, std::string(AppBrand::name) + " stopped receiving audio from " + key + ".");
    preferences.set(std::move(p));
    saveNow();
}

void MixerModel::handle(const EngineHost::Event& event) {
    if (isShutDown_) return;
    if (const auto* gone = event.as<EngineHost::Event::OutputGone>()) {
        // Not a failure to retry later: the application moves to the output
        // that routing picks now, before anyone hears it at full level.
        log_.info("Output for {} went away; moving it", gone->key);
        refresh(false);
        return;
    }
    const auto* failed = event.as<EngineHost::Event::Failed>();
    const auto* fault = event.as<EngineHost::Event::Fault>();
    if (!failed && !fault) return;  // a start lifts nothing
    const std::string& key = failed ? failed->key : fault->key;
    const std::string& message = failed ? failed->message : fault->message;
    long previous = 0;
    if (const auto f = failures_.find(key); f != failures_.end()) {
        previous = f->second.count;
    } else if (const auto r = retryCounts_.find(key); r != retryCounts_.end()) {
        previous = r->second;
    }
    const long count = previous + 1;
    Failure failure{count, message, std::nullopt};
    if (const auto delay = RecoveryPolicy::delay(count)) {
        failure.retryAt =
            env_.clock->uptime() + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                       std::chrono::duration<double>(*delay));
    }
    failures_.insert_or_assign(key, std::move(failure));
    log_.error("Engine {} failed ({}): {}", key, count, message);
    reconcile(false);
}

void MixerModel::handle(const std::set<AudioChangeObserver::Change>& changes) {
    if (isShutDown_) return;
    using Change = AudioChangeObserver::Change;
    const bool restarted = changes.contains(Change::serviceRestarted);
    if (restarted) {
        log_.notice("Audio server restarted; rebuilding");
        host_->abandonAll();
        failures_.clear();
    }
    if (changes.contains(Change::processList)) observer_->refreshProcessListeners();
    refresh(false);
    // The probe went with the old server: a check that went on counting it
    // would report a denial that nobody made. Start the check over.
    if (restarted && permission->is<PermissionState::Probing>()) {
        probeStartedAt_ = env_.clock->uptime();
        probeActiveSeconds_ = 0;
        permission.set(PermissionState::Probing{false});
        startProbe();
    }
}

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
    if (isShutDown_) return;
    clearFailure(key);
    reconcile(false);
}

void MixerModel::resetSonvelAudio() {
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

// ------------------------------------------------------------------ access check

void MixerModel::markCaptureVerified() {
    captureProven_ = true;
    permission.set(PermissionState::Verified{});
    if (!preferences->permissionVerifiedAt) {
        Preferences p = preferences;
        p.permissionVerifiedAt = env_.clock->now();
        preferences.set(std::move(p));
        saveNow();
    }
    permissionMessage.set(std::nullopt);
}

void MixerModel::startPermissionCheck() {
    if (isShutDown_) return;
    permission.set(PermissionState::Probing{false});
    permissionMessage.set(std::nullopt);
    probeStartedAt_ = env_.clock->uptime();
    probeActiveSeconds_ = 0;
    refresh(false);
    startProbe();
}

void MixerModel::startProbe() {
    std::vector<AudioObjectID> excluded;
    if (world_ && world_->ownProcessObjectID) excluded.push_back(*world_->ownProcessObjectID);
    host_->startProbe(excluded, [weak = weak_from_this()](const std::optional<std::string>& error) {
        const auto self = weak.lock();
        if (!self || !error) return;
        self->probeStartedAt_.reset();
        self->permission.set(PermissionState::Failed{*error});
        self->permissionMessage.set("The access check could not start: " + *error);
    });
}

void MixerModel::advancePermissionCheck(Time now, double dt) {
    if (!permission->is<PermissionState::Probing>() || !probeStartedAt_) return;
    if (world_ && world_->otherProcessesRunningOutput) probeActiveSeconds_ += dt;
    const double elapsed = seconds(now - *probeStartedAt_);
    switch (PermissionProbeEvaluator::evaluate(host_->probeNonZeroSamples(), elapsed,
                                               probeActiveSeconds_)) {
        case PermissionProbeVerdict::verified:
            host_->stopProbe();
            probeStartedAt_.reset();
            markCaptureVerified();
            reconcile(false);
            break;
        case PermissionProbeVerdict::keepWaiting:
            break;
        case PermissionProbeVerdict::nothingPlaying:
            if (elapsed >= seconds(permissionCheckLimit)) {
                host_->stopProbe();
                probeStartedAt_.reset();
                permission.set(PermissionState::Unknown{});
                permissionMessage.set(
                    "Nothing played during the check. Start some audio, then check again.");
            } else {
                permission.set(PermissionState::Probing{true});
            }
            break;
        case PermissionProbeVerdict::likelyDenied:
            host_->stopProbe();
            probeStartedAt_.reset();
            permission.set(PermissionState::LikelyDenied{});
            permissionMessage.set(
                "Only silence was received while an app was playing. If nothing was actually "
                "audible, play something and check again.");
            break;
    }
}

// ------------------------------------------------------------------ live test

std::vector<AppGroup> MixerModel::liveTestCandidates() const {
    std::vector<AppGroup> candidates;
    if (!output.get() || output.get()->unsupportedReason) return candidates;
    const AudioObjectID device = output.get()->deviceID;
    for (const AppGroup& group : groups.get()) {
        if (group.isRunningOutput &&
            (group.outputDeviceIDs.empty() || group.outputDeviceIDs.contains(device))) {
            candidates.push_back(group);
        }
    }
    return candidates;
}

void MixerModel::startLiveTest(const std::string& groupKey) {
    if (isShutDown_ || !permission->is<PermissionState::Verified>() || isLiveTesting()) return;
    const auto candidates = liveTestCandidates();
    const auto group = std::ranges::find(candidates, groupKey, &AppGroup::key);
    if (group == candidates.end() || !output.get()) return;
    const std::string name = group->displayName;
    liveTest.set(LiveTestPhase::Starting{name});
    reconcile(false);
    EngineSpec spec{group->key,
                    name,
                    {group->processObjectIDs, output.get()->uid},
                    LiveTest::steps().front().gain};
    std::ranges::sort(spec.topology.processObjectIDs);
    host_->startTestEngine(
        spec, static_cast<long>(LiveTest::steps().size()),
        [weak = weak_from_this(), key = group->key, name](const std::optional<std::string>& error) {
            const auto self = weak.lock();
            if (!self || !self->liveTest->is<LiveTestPhase::Starting>()) return;
            if (error) {
                self->liveTest.set(
                    LiveTestPhase::AwaitingAnswer{name, {}, LiveTest::automaticFailure({}, error)});
                self->reconcile(false);
                return;
            }
            self->liveTest.set(LiveTestPhase::Running{key, name, 0, self->env_.clock->uptime()});
        });
}

void MixerModel::advanceLiveTest(Time now) {
    const auto* running = liveTest->as<LiveTestPhase::Running>();
    if (!running) return;
    const auto index = LiveTest::stepIndex(seconds(now - running->startedAt));
    if (index) {
        if (static_cast<long>(*index) != running->step) {
            host_->setTestGain(LiveTest::steps()[*index].gain, static_cast<std::uint32_t>(*index));
            liveTest.set(LiveTestPhase::Running{running->key, running->name,
                                                static_cast<long>(*index), running->startedAt});
        }
        return;
    }
    const std::string name = running->name;
    const auto readout = host_->testEngineReadout();
    std::shared_ptr<SegmentedMeter> segments = readout ? readout->segments : nullptr;
    liveTest.set(LiveTestPhase::Finishing{name});
    host_->stopTestEngine(
        [weak = weak_from_this(), name, segments](const std::optional<std::string>&) {
            if (auto self = weak.lock()) self->finishLiveTest(name, segments);
        });
}

void MixerModel::finishLiveTest(const std::string& name, std::shared_ptr<SegmentedMeter> segments) {
    std::vector<LiveTest::StepMeasurement> measurements;
    if (segments) measurements = LiveTest::measurements(*segments);
    for (const auto& m : measurements) {
        if (m.inputNonZeroSamples > 0) markCaptureVerified();
    }
    const auto failure = LiveTest::automaticFailure(
        measurements,
        segments ? std::nullopt : std::optional<std::string>("No measurements were available."));
    liveTest.set(LiveTestPhase::AwaitingAnswer{name, std::move(measurements), failure});
    reconcile(false);
}

void MixerModel::stopLiveTest() {
    if (isShutDown_) return;
    host_->stopTestEngine();
    liveTest.set(LiveTestPhase::Idle{});
    reconcile(false);
}

void MixerModel::answerLiveTest(bool worked) {
    const auto* awaiting = liveTest->as<LiveTestPhase::AwaitingAnswer>();
    if (isShutDown_ || !awaiting) return;
    ValidationRecord record;
    record.outcome = worked && !awaiting->automaticFailure ? ValidationRecord::Outcome::passed
                                                           : ValidationRecord::Outcome::failed;
    record.osBuild = osBuild_;
    record.date = env_.clock->now();
    record.outputDeviceName = output.get() ? output.get()->name : "-";
    record.appName = awaiting->name;
    for (const auto& m : awaiting->measurements) record.measurements.push_back(m.summary());
    record.note = awaiting->automaticFailure.value_or(
        worked ? "User confirmed by ear." : "User reported incorrect behaviour.");
    record.engineRevision = ValidationPath::currentEngineRevision;
    Preferences p = preferences;
    p.validation = std::move(record);
    preferences.set(std::move(p));
    liveTest.set(LiveTestPhase::Idle{});
    saveNow();
    reconcile(false);
}

}  // namespace sonvel
