#pragma once

#include <cassert>
#include <chrono>
#include <expected>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "MixerEngine/EngineHost.hpp"
#include "MixerEngine/ProcessInspector.hpp"
#include "Sonvel/Clock.hpp"
#include "Sonvel/LiveTestPhase.hpp"
#include "Sonvel/PlatformWording.hpp"
#include "Sonvel/PreferencesStore.hpp"
#include "Sonvel/Published.hpp"
#include "Sonvel/Workspace.hpp"
#include "core/AppGroup.hpp"
#include "core/ControlGate.hpp"
#include "core/GroupStatus.hpp"
#include "core/PermissionState.hpp"
#include "core/Preferences.hpp"
#include "tap/AudioChangeObserver.hpp"
#include "tap/Log.hpp"

namespace sonvel {

// An application group as the model lists it, and as commands name it.
struct AppGroupDescriptor {
    std::string key;
    std::string name;
    std::optional<std::string> appPath;  // for the icon
    bool isShared = false;               // the shared web-content row
    bool isRunning = false;              // some process of the application exists now
    bool isPlaying = false;              // it produces output now

    bool operator==(const AppGroupDescriptor&) const = default;
};

// The application's one controller. It lives on the main queue: it takes
// snapshots of the audio world, reconciles them with the preferences and
// hands the wanted engines to the host, keeps the retry and silence
// bookkeeping, runs the access check and the live test, and saves.
class MixerModel : public std::enable_shared_from_this<MixerModel> {
  public:
    using Time = std::chrono::steady_clock::time_point;
    using Date = std::chrono::system_clock::time_point;

    struct Failure {
        long count = 0;
        std::string message;
        std::optional<Time> retryAt;  // none once automatic retries are over

        bool operator==(const Failure&) const = default;
    };

    // Everything platform-bound the model uses.
    struct Environment {
        std::shared_ptr<AudioHardware> hal;
        std::shared_ptr<const SystemServices> system;
        std::shared_ptr<DispatchQueue> mainQueue;
        std::shared_ptr<const Clock> clock;
        std::shared_ptr<PreferencesStore> store;
        std::shared_ptr<Workspace> workspace;
        std::shared_ptr<LoginItem> loginItem;
        // The words for the system it runs on; the product's own by default.
        PlatformWording wording = PlatformWording::simulatedMacOS();
        // Defaults: serial queues of their own.
        std::shared_ptr<DispatchQueue> hostQueue;
        std::shared_ptr<DispatchQueue> observerQueue;
        EngineHandover::Sleep handoverSleep = EngineHandover::sleepFor;
        // Each engine's listener queue; default: a serial queue per engine.
        std::function<std::shared_ptr<DispatchQueue>()> makeEngineListenerQueue;
    };

    // Every engine the user hears through has received only digital silence
    // for a while although its application plays: capture has most likely
    // been withdrawn after it was proven, and those applications are silent.
    struct SilenceNotice {
        std::vector<std::string> keys;  // the silent engines' groups, ascending
        std::string message;            // for the diagnostics and a banner
        bool operator==(const SilenceNotice&) const = default;
    };
    static constexpr const char* preferencesKey = "preferences.v1";
    static constexpr std::chrono::milliseconds tickInterval{500};
    static constexpr double idleGrace = 30.0;
    static constexpr std::chrono::milliseconds panelRefreshInterval{2000};
    static constexpr std::chrono::milliseconds saveDebounce{500};
    // A failed save is tried again after 1, 2, 4 … s, at most a minute apart.
    static constexpr std::chrono::milliseconds saveRetryFirst{1000};
    static constexpr std::chrono::milliseconds saveRetryLongest{60000};
    static constexpr std::chrono::seconds permissionCheckLimit{60};
    // Long enough that a pause between tracks or a muted video does not count.
    static constexpr std::chrono::seconds silenceNoticeAfter{10};
    // Snapshots with unreadable parts kept back in a row before the gaps are
    // taken for the truth (a device that really lost its name, say).
    static constexpr int incompleteSnapshotLimit = 10;

    static std::shared_ptr<MixerModel> make(Environment environment);
    ~MixerModel();
    MixerModel(const MixerModel&) = delete;
    MixerModel& operator=(const MixerModel&) = delete;

    void shutdown();

    // Published state.
    Published<Preferences> preferences;
    Published<std::vector<AppGroup>> groups;
    Published<std::map<std::string, GroupStatus>> statuses;
    Published<std::optional<OutputContext>> output;
    Published<std::vector<OutputContext>> outputs;
    Published<std::optional<Date>> audioResetAt;
    Published<PermissionState> permission{PermissionState::Unknown{}};
    Published<std::optional<std::string>> permissionMessage;
    Published<LiveTestPhase> liveTest{LiveTestPhase::Idle{}};
    Published<std::map<std::string, float>> outputPeaks;
    Published<std::optional<std::string>> launchAtLoginError;
    Published<bool> isPanelVisible{false};
    Published<std::optional<SilenceNotice>> silenceNotice;
    // Whether the login item is really registered, as the system says.
    Published<bool> launchAtLogin{false};
    // The stored settings could not be used at start: why, and where they are
    // kept. For the diagnostics, and for the panel until it is dismissed.
    Published<std::optional<std::string>> unreadableSettings;
    Published<bool> unreadableSettingsDismissed{false};
    // The last save failed: "Settings could not be saved: … (reason)."; none
    // once a save succeeds.
    Published<std::optional<std::string>> saveError;

    // Called once per main-queue turn at most, after any published state (and
    // so anything computed from it: the gate, the live-test candidates)
    // changed. For views that show computed state.
    [[nodiscard]] Subscription subscribeToChanges(std::function<void()> observer);
    [[nodiscard]] const std::string& osBuild() const { return osBuild_; }
    [[nodiscard]] const PlatformWording& wording() const { return env_.wording; }

    [[nodiscard]] ControlGate gate() const;
    // The applications whose engine is built as soon as they play, with the
    // gain it will give them, so a backend can keep their first sound from
    // being heard unchanged.
    [[nodiscard]] std::map<std::string, float> applicationsToControl() const;
    [[nodiscard]] bool isLiveTesting() const;
    [[nodiscard]] std::vector<AppGroup> liveTestCandidates() const;

    // User commands.
    void setPosition(double position, const AppGroupDescriptor& group);
    void toggleMute(const AppGroupDescriptor& group);
    void setRoute(const std::optional<OutputContext>& route, const AppGroupDescriptor& group);
    [[nodiscard]] std::optional<std::vector<OutputContext>> routableOutputs(
        const std::string& key) const;
    void resetSonvelAudio();
    void resetAllVolumes();
    void resetSetup();
    void setLaunchAtLogin(bool enabled);
    void openSoundSettings();
    // Why "Open Sound Settings" can do nothing here; none when it can.
    [[nodiscard]] std::optional<std::string> soundSettingsUnavailableReason() const;
    void openPrivacySettings();
    void relaunch();
    void panelDidAppear();
    void panelDidDisappear();
    void setPaused(bool paused);
    void setShowIdleApps(bool show);
    void retry(const std::string& key);
    void dismissUnreadableSettings();

    // Access check and live test.
    void startPermissionCheck();
    void startLiveTest(const std::string& groupKey);
    void stopLiveTest();
    void answerLiveTest(bool worked);

    // Main-queue operations, public for the shell and for tests.
    void tick();
    void refresh(bool rebuildEngines);
    void reconcile(bool rebuildEngines);
    // The sentence of `saveError` when the preferences could not be written.
    std::expected<void, std::string> saveNow();

    [[nodiscard]] const std::map<std::string, Failure>& failures() const { return failures_; }
    [[nodiscard]] const EngineHost& host() const { return *host_; }
    [[nodiscard]] bool captureProvenThisSession() const { return captureProven_; }

  private:
    explicit MixerModel(Environment environment);
    void start();
    void handle(const EngineHost::Event& event);
    void noteChanged();
    void handle(const std::set<AudioChangeObserver::Change>& changes);
    void startProbe();
    void watchForSilence(Time now, const std::map<std::string, EngineReadout>& readouts);
    void scheduleSave(std::chrono::milliseconds delay = saveDebounce);
    void keepUnreadable(const std::optional<std::string>& bytes, const std::string& issue);
    std::expected<void, std::string> saveFailed(const std::string& why);
    void scheduleTick();
    void tripWatchdog(const std::string& key);
    void markCaptureVerified();
    void advancePermissionCheck(Time now, double dt);
    void advanceLiveTest(Time now);
    void finishLiveTest(const std::string& name, std::shared_ptr<SegmentedMeter> segments);
    template <class Change>
    void changePreference(const AppGroupDescriptor& group, Change change, bool saveAtOnce);
    void clearFailure(const std::string& key);
    // The model's state has no lock: everything runs on the main queue, and
    // a debug build stops at the first call from anywhere else.
    void expectMainQueue() const { assert(env_.mainQueue->isCurrent()); }

    Environment env_;
    std::string osBuild_;
    std::shared_ptr<EngineHost> host_;
    std::shared_ptr<AudioChangeObserver> observer_;
    std::optional<AudioWorld> world_;
    std::map<std::string, Time> lastActive_;
    std::map<std::string, Failure> failures_;
    std::map<std::string, long> retryCounts_;
    bool captureProven_ = false;
    std::optional<Time> probeStartedAt_;
    double probeActiveSeconds_ = 0;
    Time lastTick_;
    bool isAsleep_ = false;
    std::shared_ptr<bool> saveCancelled_;
    // While set, the stored document could not be used and is left as it is
    // until the preferences differ from these defaults.
    std::optional<Preferences> startedOnDefaults_;
    // That document, until a copy of it exists.
    std::optional<std::string> uncopied_;
    int saveFailures_ = 0;
    std::shared_ptr<bool> timerCancelled_;
    Time lastPanelRefresh_ = Time::min();
    bool isShutDown_ = false;
    std::vector<Subscription> ownSubscriptions_;
    ObserverList<> changeObservers_;
    bool changeScheduled_ = false;
    int incompleteSnapshots_ = 0;
    bool refreshDue_ = false;
    // Per running engine: the input count last seen and when it last grew.
    std::map<std::string, std::pair<std::uint64_t, Time>> inputHeard_;
    Log::Logger log_{"model"};
};

}  // namespace sonvel
