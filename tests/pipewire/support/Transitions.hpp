// Changes around one application that Sonvel holds at 50% (or that plays at
// its own level, on the direct path), each recorded on both stereo sinks'
// monitors from before the change in 10 ms windows: how long it was heard
// louder than that level, and silent while it played.
#pragma once

#include <algorithm>
#include <functional>
#include <map>
#include <set>

#include "../support/Tones.hpp"
#include "platform/sim/SpeakerAnalysis.hpp"
#include "support/ModelSession.hpp"

namespace sonvel::pwtest {

class Transitions {
  public:
    // paplay, as most desktop applications reach the server through
    // pipewire-pulse. Every player is named alike, so that a grouping by
    // application.name makes one application of paplay and gst-launch-1.0.
    static constexpr Player controlled = Player::paplay;
    static constexpr double music = 400, joiner = 1000;  // Hz, each at half scale
    static constexpr double ownDB = -6.02, storedDB = ownDB + testsupport::halfSliderDB;
    static std::string key() { return rowKey(controlled, "music"); }

    struct Figures {
        double aboveMs = 0, silentMs = 0;  // the longest over every sound
        double controlledMs = 0;           // music's first sound to its first window at the level
        double settledMs = -1;             // the last mark() to 50 ms in a row at the level
    };
    struct Scenario {
        std::string name;
        bool playing;     // the application plays before the change
        bool sonvelOnly;  // a change only Sonvel makes
        std::function<void(Transitions&)> change;
    };

    static std::vector<Scenario> scenarios() {
        using namespace std::chrono_literals;
        std::vector<Scenario> all = {
            {"nothing changes", true, false, [](Transitions& t) { t.record(), t.hold(2s); }},
            {"route to B and back", true, true,
             [](Transitions& t) {
                 t.record(), t.sonvel->route(kSinkB, key()), t.hold(1s);
                 t.sonvel->route(std::nullopt, key()), t.hold(1s);
             }},
            {"a second instance starts and stops", true, false,
             [](Transitions& t) { t.joinAndLeave(controlled); }},
            {"default output to B and back", true, false,
             [](Transitions& t) {
                 t.record(), t.server.setDefaultSink(kSinkB), t.hold(1s);
                 t.server.setDefaultSink(kSinkA), t.hold(1s);
             }},
            {"Reset Audio", true, true,
             [](Transitions& t) {
                 t.record(), t.onModel([](MixerModel& m) { m.resetSonvelAudio(); }), t.hold(1s);
             }},
            {"level to 25% and back to 50%", true, true,
             [](Transitions& t) {
                 const auto set = [&](double position) {
                     t.mark(), t.onModel([&](MixerModel& m) {
                         m.setPosition(position, t.sonvel->row(key()));
                     });
                 };
                 t.record(), set(0.25), t.hold(1s), set(0.5), t.hold(1s);
             }},
            {"a new stream starts", false, false,
             [](Transitions& t) { t.record(), t.start(controlled, music), t.hold(1s); }},
            {"the server restarts", true, false,
             [](Transitions& t) {
                 if (auto restarted = t.server.restart(); !restarted) t.error = restarted.error();
                 t.record(), t.start(controlled, music), t.hold(2s);
             }},
        };
        // Only while the two programs make one application.
        if (rowKey(Player::gst, "music") == key()) {
            all.insert(all.begin() + 3, {"gst-launch-1.0 joins and leaves", true, false,
                                         [](Transitions& t) { t.joinAndLeave(Player::gst); }});
        }
        return all;
    }

    // `sonvel` null: the direct path.
    Transitions(PipeWireServer& s, ModelSession* model) : server(s), sonvel(model) {}
    // The last scenario's players would otherwise play on into whatever is
    // measured next, a second copy of the tone.
    ~Transitions() {
        for (const pid_t pid : players) server.stopPlayer(pid);
    }
    double level() const { return sonvel ? storedDB : ownDB; }

    std::expected<Figures, std::string> run(const Scenario& scenario) {
        for (const pid_t pid : players) server.stopPlayer(pid);
        players.clear(), played.clear(), stoppedMs.clear(), error.clear();
        markMs.reset();
        if (scenario.playing) {
            start(controlled, music);
            if (const double heard = heardAtLevel(); std::abs(heard - level()) >= 0.5) {
                return std::unexpected("heard at " + std::to_string(heard) + " dB before" +
                                       server.exitedDaemons());
            }
        }
        scenario.change(*this);
        if (!recorder) return std::unexpected(error + server.exitedDaemons());
        const auto recordings = recorder->stop();
        recorder.reset();
        Figures f;
        for (const double frequency : played) {
            const auto levels = envelope(recordings, frequency);
            const auto at = levels.begin();
            const auto end = std::ssize(levels);
            const auto window = [&](double ms) {
                return std::min(end, std::ptrdiff_t(ms / kWindowMs));
            };
            // From its first window louder than the level - 30 dB; a sound
            // never heard was silent throughout.
            auto from =
                std::find_if(at, levels.end(), [&](double l) { return l > level() - 30; }) - at;
            if (from == end) from = 0;
            // A player stopped on purpose is judged until it was stopped:
            // after that, the click of another stream's move can leak a
            // window into its tone and look like sound.
            const auto stopped = stoppedMs.find(frequency);
            const auto to = stopped == stoppedMs.end() ? end : window(stopped->second);
            double above = 0, silent = 0;  // the stretches running, in ms
            for (auto w = from; w < to; ++w) {
                above = at[w] > level() + 0.5 ? above + kWindowMs : 0;
                silent = at[w] < level() - 30 ? silent + kWindowMs : 0;
                f.aboveMs = std::max(f.aboveMs, above);
                f.silentMs = std::max(f.silentMs, silent);
            }
            if (frequency != music) continue;
            // From window `first` to the first of `run` in a row at the level.
            const auto atLevel = [&](double l) { return std::abs(l - level()) < 0.5; };
            const auto toLevel = [&](std::ptrdiff_t first, std::ptrdiff_t run) {
                auto w = first;
                while (w + run <= end && !std::all_of(at + w, at + w + run, atLevel)) ++w;
                return double(w - first) * kWindowMs;
            };
            f.controlledMs = toLevel(from, 1);
            if (markMs) f.settledMs = toLevel(window(*markMs), 5);
        }
        return f;
    }

    // The level of one frequency on channel 0 in consecutive 10 ms windows,
    // dBFS: in each, the loudest of the recordings, as a listener to all would
    // hear it. Over the windows every sink recorded: one recording can stop a
    // cycle after another, and the other's missing tail would read as silence.
    static constexpr double kWindowMs = 10;
    static std::vector<double> envelope(const std::vector<SinkRecording>& recordings,
                                        double frequency) {
        std::vector<double> levels;
        for (std::size_t i = 0; !recordings.empty(); ++i) {
            double loudest = sim::SpeakerAnalysis::dB(0.0);
            for (const auto& r : recordings) {
                const auto n = static_cast<std::size_t>(r.rate * kWindowMs / 1000) * r.channels;
                if (n == 0 || (i + 1) * n > r.samples.size()) return levels;
                loudest = std::max(
                    loudest,
                    sim::SpeakerAnalysis::dB(sim::SpeakerAnalysis::toneAmplitude(
                        std::span(r.samples).subspan(i * n, n), r.channels, 0, frequency, r.rate)));
            }
            levels.push_back(loudest);
        }
        return levels;
    }

    // For the scenarios: the recording starts 300 ms before the change and
    // goes on while they hold.
    void record() {
        auto started = Recorder::start({kSinkA, kSinkB});
        if (!started) error += started.error();
        if (started)
            recorder = std::move(*started), recordedFrom = std::chrono::steady_clock::now();
        hold(std::chrono::milliseconds(300));
    }
    void hold(std::chrono::milliseconds span) { std::this_thread::sleep_for(span); }
    double sinceRecordingMs() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                         recordedFrom)
            .count();
    }
    void mark() { markMs = sinceRecordingMs(); }
    void start(Player player, double frequency) {
        players.push_back(server.play({.player = player, .frequency = frequency, .name = "music"}));
        played.insert(frequency);
    }
    void joinAndLeave(Player player) {
        using namespace std::chrono_literals;
        record(), start(player, joiner), hold(1s);
        stoppedMs[joiner] = sinceRecordingMs();
        server.stopPlayer(players.back()), hold(1s);
    }
    void onModel(const std::function<void(MixerModel&)>& command) {
        if (sonvel) sonvel->main->sync([&] { command(*sonvel->model); });
    }
    // Music's level on sink A, once within 0.5 dB of the level, listening
    // 0.5 s at a time (WirePlumber and Sonvel move streams on their own
    // time); a dropout of a cycle moves a 0.5 s reading by more than 0.1 dB.
    double heardAtLevel() {
        double heard = -120;
        for (int i = 0; i < 12 && std::abs(heard - level()) >= 0.5; ++i) {
            auto listening = Recorder::start({kSinkA});
            if (!listening) break;
            hold(std::chrono::milliseconds(500));
            heard = toneDB((*listening)->stop().front(), music);
        }
        return heard;
    }

    PipeWireServer& server;
    ModelSession* sonvel;
    std::unique_ptr<Recorder> recorder;
    std::chrono::steady_clock::time_point recordedFrom;
    std::optional<double> markMs;
    std::vector<pid_t> players;
    std::set<double> played;
    std::map<double, double> stoppedMs;  // frequency: when its player was stopped
    std::string error;
};

}  // namespace sonvel::pwtest
