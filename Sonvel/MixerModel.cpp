#include "Sonvel/MixerModel.hpp"

#include <fmt/ranges.h>

#include <algorithm>

#include "core/AppBrand.hpp"
#include "core/AppCatalog.hpp"
#include "core/PreferencesCodec.hpp"
#include "core/Reconciler.hpp"
#include "core/SilenceWatchdog.hpp"
#include "core/ValidationPolicy.hpp"

namespace sonvel {

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
    expectMainQueue();
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
    expectMainQueue();
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
    const auto uid = [](const AudioWorld& w) { return w.output ? w.output->uid : std::string(); };
    if (!world_ || uid(*world_) != uid(snapshot)) {
        log_.info("Default output is {}", snapshot.output ? uid(snapshot) : "none");
    }
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
    expectMainQueue();
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
    expectMainQueue();
    if (isShutDown_) return;
    const Time now = env_.clock->uptime();
    const double dt = toSeconds(now - lastTick_);
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

}  // namespace sonvel
