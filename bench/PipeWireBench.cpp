// One gain engine on a private PipeWire server, each figure printed next to
// the direct path's own: the delay the engine adds, the silence (or double
// sound) when it engages and when it lets go, and its CPU per second of audio;
// then Sonvel's whole model through the changes of support/Transitions.hpp.
//
// A plain main rather than Google Benchmark: every figure is read from a
// live graph over seconds of wall time (recordings of a sink, CPU clocks of
// two processes), baseline and engine must share one server and one
// recording's sample clock, and none of it is a loop of identical iterations.

#include <fmt/format.h>
#include <time.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "support/PipeWireServer.hpp"
#include "support/Transitions.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/GainTapEngine.hpp"

namespace {

using namespace std::chrono_literals;
using sonvel::GainTapEngine;
using sonvel::pwtest::kSinkA;
using sonvel::pwtest::Player;
using Clock = std::chrono::steady_clock;

constexpr double kRate = 48000;
constexpr int kBurstPeriodMs = 250;
constexpr std::int64_t kBurstPeriod = std::int64_t(kRate) * kBurstPeriodMs / 1000;
constexpr double kSineAmplitude = 0.5;
constexpr double kSineFrequency = 480;
constexpr double kBurstFrequency = 1000;
constexpr std::size_t kSinePeriod = 100;  // samples, so windows hold whole periods
constexpr float kEngineGain = 0.25f;      // -12 dB: told apart from the direct level
constexpr float kSilence = 1e-4f;
constexpr int kSwitchRepeats = 5;
constexpr int kCpuRepeats = 3;
constexpr auto kCpuWindow = 5s;
constexpr int kTransitionRuns = 10;

double seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

template <class T>
T median(std::vector<T> values) {
    std::ranges::sort(values);
    return values[values.size() / 2];
}

// --- one recording of sink A, with its wall time --------------------------

struct Take {
    std::vector<float> left;  // channel 0
    double wallSeconds = 0;
    std::uint64_t missedFrames = 0;

    double recordedSeconds() const { return double(left.size()) / kRate; }
    // The graph's clock saw no hole, and the length agrees with the wall
    // clock to within the cycles at either end (1024 frames each).
    bool gapFree() const {
        return missedFrames == 0 && std::abs(recordedSeconds() - wallSeconds) < 2048 / kRate;
    }
    std::size_t index(double secondsIn) const {
        return std::min(left.size(), std::size_t(std::max(0.0, secondsIn) * kRate));
    }
};

class Recording {
  public:
    static std::optional<Recording> start() {
        auto recorder = sonvel::pwtest::Recorder::start({std::string(kSinkA)});
        if (!recorder) {
            fmt::print(stderr, "the recording could not start: {}\n", recorder.error());
            return std::nullopt;
        }
        return Recording(std::move(*recorder));
    }
    // Seconds since the recording started, on the wall clock.
    double now() const { return seconds(Clock::now() - started_); }
    Take stop() {
        Take take;
        take.wallSeconds = now();
        auto recordings = recorder_->stop();
        const auto& r = recordings.front();
        take.missedFrames = r.missedFrames;
        for (std::size_t i = 0; i < r.samples.size(); i += r.channels) {
            take.left.push_back(r.samples[i]);
        }
        return take;
    }

  private:
    explicit Recording(std::unique_ptr<sonvel::pwtest::Recorder> recorder)
        : recorder_(std::move(recorder)), started_(Clock::now()) {}
    std::unique_ptr<sonvel::pwtest::Recorder> recorder_;
    Clock::time_point started_;
};

std::string gapNote(const Take& take) {
    return fmt::format("{:.3f} s recorded in {:.3f} s, {} frames missed{}", take.recordedSeconds(),
                       take.wallSeconds, take.missedFrames, take.gapFree() ? "" : "  NOT GAP-FREE");
}

// --- the server, the tone and the engine ----------------------------------

struct Bench {
    std::unique_ptr<sonvel::pwtest::PipeWireServer> server;
    std::shared_ptr<sonvel::pw::PipeWireAudioSystem> hal;
    bool allGapFree = true;
    pid_t player = -1;  // the tone's pw-play, whose own CPU is the yardstick

    // pw-play, whose bursts are timed by its file: a stream that loses or
    // repeats samples when moved moves them too, which "direct after
    // release" shows.
    pid_t play(double frequency, int burstPeriodMs) {
        return server->play(
            {.frequency = frequency, .amplitude = kSineAmplitude, .burstPeriodMs = burstPeriodMs});
    }

    std::optional<sonvel::AudioObjectID> processOf(pid_t pid) {
        const auto deadline = Clock::now() + 5s;
        while (Clock::now() < deadline) {
            if (auto snapshots = sonvel::AudioSystem::processSnapshots(*hal)) {
                for (const auto& s : *snapshots) {
                    if (s.pid == pid && s.isRunningOutput) return s.objectID;
                }
            }
            std::this_thread::sleep_for(20ms);
        }
        return std::nullopt;
    }

    std::shared_ptr<GainTapEngine> engine(sonvel::AudioObjectID process, float gain) {
        GainTapEngine::Configuration c;
        c.name = "bench";
        c.processObjectIDs = {process};
        c.muting = sonvel::TapPlan::Muting::whileTapped;
        c.disableDeviceInputs = true;
        c.outputDevice = *sonvel::AudioSystem::device(*hal, std::string(kSinkA));
        auto made = GainTapEngine::make(hal, c, gain, [](GainTapEngine::FaultKind, const auto& m) {
            fmt::print(stderr, "engine fault: {}\n", m);
        });
        if (!made) {
            fmt::print(stderr, "no engine: {}\n", made.error().description());
            return nullptr;
        }
        return *made;
    }

    // Whether the tone plays into something other than sink A (our capture)
    // or straight into sink A.
    bool tapped(const std::string& tone) const {
        return server->waitFor([&](const sonvel::pwtest::Graph& g) {
            const auto* node = g.node(tone);
            if (node == nullptr || g.linked(tone, kSinkA)) return false;
            return std::ranges::any_of(g.links,
                                       [&](const auto& l) { return l.outputNode == node->id; });
        });
    }
    bool direct(const std::string& tone) const {
        return server->waitFor(
            [&](const sonvel::pwtest::Graph& g) { return g.linked(tone, kSinkA); });
    }

    void note(const Take& take) { allGapFree = allGapFree && take.gapFree(); }
};

// --- 1. added latency -----------------------------------------------------

// Sample indices where a burst begins: a sample above half the burst's level
// after a quiet stretch far longer than the burst.
std::vector<std::int64_t> onsets(const Take& take, std::size_t from, std::size_t to) {
    std::vector<std::int64_t> found;
    std::int64_t lastLoud = std::int64_t(from);
    for (std::size_t i = from; i < to; ++i) {
        const float level = std::abs(take.left[i]);
        if (level > kSineAmplitude / 2 && std::int64_t(i) - lastLoud > 2000) {
            found.push_back(std::int64_t(i));
        }
        if (level > 0.01f) lastLoud = std::int64_t(i);
    }
    return found;
}

std::vector<std::int64_t> phases(const std::vector<std::int64_t>& at) {
    std::vector<std::int64_t> out;
    for (const auto i : at) out.push_back(i % kBurstPeriod);
    return out;
}

bool latency(Bench& b) {
    const std::string tone(sonvel::pwtest::nodeName(Player::pwPlay));
    const pid_t pid = b.play(kBurstFrequency, kBurstPeriodMs);
    const auto process = b.processOf(pid);
    if (pid <= 0 || !process) {
        fmt::print(stderr, "the bursts did not appear\n");
        return false;
    }
    auto engine = b.engine(*process, 1.0f);
    if (!engine) return false;
    std::this_thread::sleep_for(300ms);

    auto recording = Recording::start();
    if (!recording) return false;
    std::this_thread::sleep_for(3s);
    const double engaged = recording->now();
    if (auto started = engine->start(); !started) {
        fmt::print(stderr, "the engine did not start: {}\n", started.error().description());
        return false;
    }
    const bool moved = b.tapped(tone);
    const double tappedAt = recording->now() + 0.5;
    const auto callbacks0 = engine->meter().totalCallbacks();
    const auto heard0 = engine->meter().totalInputNonZeroSamples();
    std::this_thread::sleep_for(3s);
    const double released = recording->now();
    const auto callbacks = engine->meter().totalCallbacks() - callbacks0;
    const auto heard = engine->meter().totalInputNonZeroSamples() - heard0;
    (void)engine->stop();
    const bool back = b.direct(tone);
    const double directAgain = recording->now() + 0.5;
    std::this_thread::sleep_for(2s);
    const Take take = recording->stop();
    b.note(take);
    b.server->stopPlayer(pid);
    if (!moved || !back) {
        fmt::print(stderr, "the tone was {}\n", moved ? "not given back" : "not moved");
        return false;
    }

    const auto before = phases(onsets(take, take.index(0.2), take.index(engaged - 0.1)));
    const auto during = phases(onsets(take, take.index(tappedAt), take.index(released - 0.1)));
    const auto after = phases(onsets(take, take.index(directAgain), take.left.size()));
    if (before.size() < 3 || during.size() < 3 || after.size() < 3) {
        fmt::print(stderr, "too few bursts heard: {} direct, {} through the engine, {} after\n",
                   before.size(), during.size(), after.size());
        return false;
    }
    const std::int64_t directPhase = median(before);
    std::vector<std::int64_t> added;
    for (const auto p : during)
        added.push_back(((p - directPhase) % kBurstPeriod + kBurstPeriod) % kBurstPeriod);
    const auto [directMin, directMax] = std::ranges::minmax(before);
    const auto [afterMin, afterMax] = std::ranges::minmax(after);
    const auto [addedMin, addedMax] = std::ranges::minmax(added);
    const auto ms = [](std::int64_t samples) { return double(samples) / kRate * 1000; };

    fmt::print("1. Added latency (bursts every {} ms of pw-play's file, one recording of sink A)\n",
               kBurstPeriodMs);
    fmt::print("   recording: {}\n", gapNote(take));
    fmt::print("   direct (baseline): onset phase {}..{} samples in {} bursts\n", directMin,
               directMax, before.size());
    fmt::print("   direct after release: onset phase {}..{} samples in {} bursts\n", afterMin,
               afterMax, after.size());
    fmt::print("   engine's own meter over 3 s: {} IO cycles, {} non-zero input samples\n",
               callbacks, heard);
    fmt::print(
        "   engine, gain 1.0: {} bursts, added latency best {} samples ({:.2f} ms), "
        "median {} ({:.2f} ms), worst {} ({:.2f} ms)\n\n",
        added.size(), addedMin, ms(addedMin), median(added), ms(median(added)), addedMax,
        ms(addedMax));
    return true;
}

// --- 2. gaps on engaging and on release -----------------------------------

struct Switch {
    std::size_t silent = 0;   // samples in silent runs (two or more in a row)
    std::size_t longest = 0;  // the longest silent run
    std::size_t twice = 0;    // samples louder than the direct path alone
    bool ended = false;       // the level at the end is the one expected
    double shift = 0;         // samples the tone's sine moved by, modulo its period
};

// The sine's phase over whole periods from `from`, in radians.
double phaseAt(const Take& take, std::size_t from, std::size_t periods) {
    const double step = 2 * std::numbers::pi * kSineFrequency / kRate;
    double inPhase = 0, quadrature = 0;
    for (std::size_t i = from; i < from + periods * kSinePeriod && i < take.left.size(); ++i) {
        inPhase += take.left[i] * std::sin(step * double(i));
        quadrature += take.left[i] * std::cos(step * double(i));
    }
    return std::atan2(quadrature, inPhase);
}

// A 480 Hz sine of 0.125 or more never has two samples in a row below
// kSilence, so every such run is silence the listener hears.
Switch analyse(const Take& take, double finalPeak) {
    Switch s;
    std::size_t run = 0;
    for (const float x : take.left) {
        if (std::abs(x) < kSilence) {
            ++run;
            continue;
        }
        if (run >= 2) s.silent += run;
        s.longest = std::max(s.longest, run);
        run = 0;
        if (std::abs(x) > kSineAmplitude * 1.01) ++s.twice;
    }
    if (run >= 2) s.silent += run;
    s.longest = std::max(s.longest, run);
    float peak = 0;
    for (std::size_t i = take.index(take.recordedSeconds() - 0.1); i < take.left.size(); ++i) {
        peak = std::max(peak, std::abs(take.left[i]));
    }
    s.ended = std::abs(peak - finalPeak) < 0.01;
    // The tone keeps its own phase, so a sine that comes back moved by some
    // samples was held up (or repeated) by that many; one that comes back in
    // phase lost nothing but what the silence shows.
    const double before = phaseAt(take, take.index(0.05), 30);
    const double after = phaseAt(take, take.left.size() - 35 * kSinePeriod, 30);
    const double cycles = (before - after) / (2 * std::numbers::pi);
    s.shift = (cycles - std::floor(cycles)) * double(kSinePeriod);
    if (s.shift > double(kSinePeriod) - 0.5) s.shift -= double(kSinePeriod);
    if (std::abs(s.shift) < 0.05) s.shift = 0;  // no "-0.0"
    return s;
}

bool switches(Bench& b, const std::string& tone, sonvel::AudioObjectID process) {
    std::vector<Switch> direct, engage, release;
    for (int r = 0; r < kSwitchRepeats; ++r) {
        // The same reading of a recording as long, with nothing switching.
        auto still = Recording::start();
        if (!still) return false;
        std::this_thread::sleep_for(1000ms);
        const Take alone = still->stop();
        b.note(alone);
        direct.push_back(analyse(alone, kSineAmplitude));

        auto engine = b.engine(process, kEngineGain);
        if (!engine) return false;
        auto recording = Recording::start();
        if (!recording) return false;
        std::this_thread::sleep_for(400ms);
        if (auto started = engine->start(); !started) {
            fmt::print(stderr, "the engine did not start: {}\n", started.error().description());
            return false;
        }
        const bool moved = b.tapped(tone);
        std::this_thread::sleep_for(400ms);
        Take take = recording->stop();
        b.note(take);
        engage.push_back(analyse(take, kSineAmplitude * kEngineGain));
        if (!moved) fmt::print(stderr, "the tone was not moved\n");

        recording = Recording::start();
        if (!recording) return false;
        std::this_thread::sleep_for(400ms);
        (void)engine->stop();
        const bool back = b.direct(tone);
        std::this_thread::sleep_for(400ms);
        take = recording->stop();
        b.note(take);
        release.push_back(analyse(take, kSineAmplitude));
        if (!back) fmt::print(stderr, "the tone was not given back\n");
        if (!moved || !back) return false;
    }

    const auto ms = [](std::size_t samples) { return double(samples) / kRate * 1000; };
    const auto row = [&](const char* what, const std::vector<Switch>& all) {
        std::vector<std::size_t> silent, longest, twice;
        std::vector<double> shifts;
        int ended = 0;
        for (const auto& s : all) {
            silent.push_back(s.silent);
            longest.push_back(s.longest);
            twice.push_back(s.twice);
            shifts.push_back(s.shift);
            ended += s.ended ? 1 : 0;
        }
        const auto [sMin, sMax] = std::ranges::minmax(silent);
        const auto [tMin, tMax] = std::ranges::minmax(twice);
        const auto [shiftMin, shiftMax] = std::ranges::minmax(shifts);
        fmt::print(
            "   {:<9} silent samples min/median/max {}/{}/{} ({:.2f}/{:.2f}/{:.2f} ms), "
            "longest run median {} ({:.2f} ms); samples above the direct level "
            "min/max {}/{}; expected level reached {}/{}; sine moved by {:.1f}..{:.1f} "
            "samples (mod {})\n",
            what, sMin, median(silent), sMax, ms(sMin), ms(median(silent)), ms(sMax),
            median(longest), ms(median(longest)), tMin, tMax, ended, all.size(), shiftMin, shiftMax,
            kSinePeriod);
    };
    fmt::print("2. Switching (480 Hz sine at {}, engine gain {}, {} repeats, |x| < {} is silent)\n",
               kSineAmplitude, kEngineGain, kSwitchRepeats, kSilence);
    row("direct", direct);
    row("engaging", engage);
    row("release", release);
    fmt::print("\n");
    return true;
}

// --- 3. CPU -----------------------------------------------------------------

// Nanoseconds on a CPU, summed over the process's threads. /proc/<pid>/stat
// counts in 10 ms ticks, too coarse for a few milliseconds a second;
// schedstat counts nanoseconds. The server's and the player's threads live as
// long as they do.
double cpuSecondsOf(pid_t pid) {
    double total = 0;
    std::error_code error;
    for (const auto& task :
         std::filesystem::directory_iterator(fmt::format("/proc/{}/task", pid), error)) {
        std::ifstream in(task.path() / "schedstat");
        double ns = 0;
        if (in >> ns) total += ns / 1e9;
    }
    return total;
}

// Includes threads that have exited, which a sum over /proc/self/task would not.
double ownCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

struct CpuRate {
    double own = 0;  // CPU seconds per second of audio
    double server = 0;
    double player = 0;
};

CpuRate measureCpu(pid_t server, pid_t player) {
    const double own0 = ownCpuSeconds();
    const double server0 = cpuSecondsOf(server);
    const double player0 = cpuSecondsOf(player);
    const auto t0 = Clock::now();
    std::this_thread::sleep_for(kCpuWindow);
    const double wall = seconds(Clock::now() - t0);
    return {(ownCpuSeconds() - own0) / wall, (cpuSecondsOf(server) - server0) / wall,
            (cpuSecondsOf(player) - player0) / wall};
}

bool cpu(Bench& b, const std::string& tone, sonvel::AudioObjectID process) {
    const pid_t server = b.server->pipewirePid();
    std::vector<CpuRate> direct, engine;
    // Interleaved, so a change in the machine's load falls on both.
    for (int r = 0; r < kCpuRepeats; ++r) {
        std::this_thread::sleep_for(500ms);
        direct.push_back(measureCpu(server, b.player));
        auto e = b.engine(process, kEngineGain);
        if (!e || !e->start() || !b.tapped(tone)) {
            fmt::print(stderr, "the engine did not take the tone\n");
            return false;
        }
        std::this_thread::sleep_for(500ms);
        engine.push_back(measureCpu(server, b.player));
        (void)e->stop();
        if (!b.direct(tone)) return false;
    }
    const auto best = [](const std::vector<CpuRate>& all, double CpuRate::*field) {
        double least = all.front().*field;
        for (const auto& c : all) least = std::min(least, c.*field);
        return least * 1000;  // ms per s
    };
    const double dOwn = best(direct, &CpuRate::own), dServer = best(direct, &CpuRate::server);
    const double eOwn = best(engine, &CpuRate::own), eServer = best(engine, &CpuRate::server);
    // The application's own client does the same per-cycle work (a wake-up,
    // a buffer through an adapter), so it is the floor one more PipeWire
    // client costs on this machine.
    const double player = std::min(best(direct, &CpuRate::player), best(engine, &CpuRate::player));
    fmt::print(
        "3. CPU per second of audio (ms CPU / s, best of {} windows of {} s, tone playing)\n",
        kCpuRepeats, std::chrono::duration<double>(kCpuWindow).count());
    fmt::print("   {:<22} {:>12} {:>12} {:>12}\n", "", "this process", "pipewire", "both");
    fmt::print("   {:<22} {:>12.3f} {:>12.3f} {:>12.3f}\n", "direct (baseline)", dOwn, dServer,
               dOwn + dServer);
    fmt::print("   {:<22} {:>12.3f} {:>12.3f} {:>12.3f}\n", "one engine", eOwn, eServer,
               eOwn + eServer);
    fmt::print("   {:<22} {:>12.3f} {:>12.3f} {:>12.3f}\n", "engine - direct", eOwn - dOwn,
               eServer - dServer, eOwn + eServer - dOwn - dServer);
    fmt::print("   {:<22} {:>12.3f}\n", "pw-play playing it", player);
    fmt::print("   one engine costs {:.2f} times what the application's own client costs\n",
               (eOwn - dOwn) / player);
    return true;
}

// --- 4. transitions through Sonvel's model --------------------------------

bool transitions(Bench& b) {
    using sonvel::pwtest::Transitions;
    const auto scenarios = Transitions::scenarios();
    // Per scenario, on the direct path and through Sonvel.
    std::vector<std::array<std::vector<Transitions::Figures>, 2>> runs(scenarios.size());
    sonvel::ModelSession sonvel;
    for (const bool through : {false, true}) {
        if (auto started = through ? sonvel.start(sonvel.atHalf(Transitions::key()))
                                   : std::expected<void, std::string>();
            !started) {
            fmt::print(stderr, "Sonvel did not start: {}\n", started.error());
            return false;
        }
        Transitions t(*b.server, through ? &sonvel : nullptr);
        for (std::size_t i = 0; i < scenarios.size(); ++i) {
            for (int r = 0; r < kTransitionRuns && (through || !scenarios[i].sonvelOnly); ++r) {
                if (auto f = t.run(scenarios[i])) {
                    runs[i][through].push_back(*f);
                } else {
                    fmt::print(stderr, "{}: {}\n", scenarios[i].name, f.error());
                }
            }
        }
    }
    sonvel.stop();

    const auto stat = [](const std::vector<Transitions::Figures>& all,
                         double Transitions::Figures::*field) -> std::string {
        std::vector<double> values;
        for (const auto& f : all) values.push_back(f.*field);
        if (values.empty() || values.front() < 0) return "-";
        return fmt::format("{:.0f}/{:.0f}", median(values), std::ranges::max(values));
    };
    using F = Transitions::Figures;
    fmt::print(
        "4. Transitions ({} runs each; ms, median/max over 10 ms windows): the longest stretch\n"
        "   above the level + 0.5 dB and the longest silence while playing, at the player's own\n"
        "   level direct and at 50% (-12.04 dB) through Sonvel; a new stream's first sound to its\n"
        "   level; a level change (setPosition) to the level settled on the monitor\n",
        kTransitionRuns);
    constexpr const char* row = "   {:<36} {:>9} {:>9} | {:>9} {:>9} {:>9} {:>9} {:>6}\n";
    fmt::print(row, "", "above", "silent", "above", "silent", "to level", "settled", "runs");
    for (std::size_t i = 0; i < scenarios.size(); ++i) {
        const auto& [direct, through] = runs[i];
        fmt::print(row, scenarios[i].name, stat(direct, &F::aboveMs), stat(direct, &F::silentMs),
                   stat(through, &F::aboveMs), stat(through, &F::silentMs),
                   scenarios[i].playing ? "-" : stat(through, &F::controlledMs),
                   stat(through, &F::settledMs),
                   fmt::format("{}+{}", direct.size(), through.size()));
    }
    return true;
}

}  // namespace

// Every section by default; named ones only (latency, switching, cpu,
// transitions) when given, to repeat one figure without the minutes the
// others take.
int main(int argc, char** argv) {
    const std::vector<std::string_view> named(argv + 1, argv + argc);
    const auto wanted = [&](std::string_view section) {
        return named.empty() || std::ranges::find(named, section) != named.end();
    };
    auto started = sonvel::pwtest::PipeWireServer::start();
    if (!started) {
        fmt::print("pipewire_bench: skipped, no private PipeWire server: {}\n", started.error());
        return 0;
    }
    Bench b;
    b.server = std::move(*started);
    auto connected = sonvel::pw::PipeWireAudioSystem::connect();
    if (!connected) {
        fmt::print(stderr, "pipewire_bench: cannot connect: {}\n", connected.error());
        return 1;
    }
    b.hal = *connected;

    bool ok = !wanted("latency") || latency(b);
    // A sine each, as pw-play's file lasts a minute.
    using Section = bool (*)(Bench&, const std::string&, sonvel::AudioObjectID);
    for (const auto& [name, section] : {std::pair<std::string_view, Section>{"switching", switches},
                                        std::pair<std::string_view, Section>{"cpu", cpu}}) {
        if (!ok) break;
        if (!wanted(name)) continue;
        const std::string tone(sonvel::pwtest::nodeName(Player::pwPlay));
        const pid_t pid = b.player = b.play(kSineFrequency, 0);
        const auto process = b.processOf(pid);
        ok = pid > 0 && process && section(b, tone, *process);
        b.server->stopPlayer(pid);
    }
    fmt::print("{}\n", b.allGapFree
                           ? "Every recording was gap-free."
                           : "Some recording was NOT gap-free: read its figures with care.");
    b.hal.reset();
    ok = ok && (!wanted("transitions") || transitions(b));
    b.server.reset();
    return ok ? 0 : 1;
}
