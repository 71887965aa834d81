// The two proofs before any audio is touched: the access check and the
// live test.

#include <algorithm>

#include "Sonvel/MixerModel.hpp"
#include "core/PermissionProbeEvaluator.hpp"

namespace sonvel {

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
    expectMainQueue();
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
    const double elapsed = toSeconds(now - *probeStartedAt_);
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
            if (elapsed >= toSeconds(permissionCheckLimit)) {
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
    expectMainQueue();
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
    const auto index = LiveTest::stepIndex(toSeconds(now - running->startedAt));
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
    expectMainQueue();
    if (isShutDown_) return;
    host_->stopTestEngine();
    liveTest.set(LiveTestPhase::Idle{});
    reconcile(false);
}

void MixerModel::answerLiveTest(bool worked) {
    expectMainQueue();
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
