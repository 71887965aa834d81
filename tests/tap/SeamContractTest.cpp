// The promises every backend behind tap/AudioHardware.hpp keeps, run on the
// simulator always and on a private PipeWire server where one starts. Where a
// backend maps a promise differently, its Traits say so, and only there.

#include <gtest/gtest.h>
#include <sched.h>

#include <future>
#include <thread>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/AllocationCounter.hpp"
#include "support/Tones.hpp"
#include "tap/SeamRig.hpp"
#include "tap/SerialQueue.hpp"
#ifdef SONVEL_SEAM_PIPEWIRE
#include <filesystem>

#include "platform/pipewire/PipeWireAudioSystem.hpp"
#include "support/PipeWireServer.hpp"
#endif

namespace sonvel {
namespace {

using namespace std::chrono_literals;
namespace sel = hal::selector;
using Tap = TapDescription;
using Bytes = std::vector<std::byte>;

// Two processes told apart by their tones (a 10 ms window holds whole
// periods of both), each a sine of peak 0.5.
constexpr double tapped = 400, bystander = 1000, full = -6.02, silent = -80;
constexpr AudioObjectID nothing = 0x7fff'ffff;
constexpr OSStatus nope = hal::illegalOperationError, badObject = hal::badObjectError;

struct SimulatorWorld {
    struct Traits {
        // A tap that mutes without IO silences its process at once.
        static constexpr bool mutedTapSilencesWithoutIO = true;
        // Only the system object's listeners outlive a restart.
        static constexpr OSStatus removingAListenerFromBefore = nope;
        // A restart may keep every object's number or hand out new ones.
        static constexpr std::array restartRenumbers{false, true};
        // An unplugged device stays readable, as dead, until a restart.
        static constexpr OSStatus readingAGoneDevice = hal::noError;
        // The world is the backend: there is nothing left to hear.
        static constexpr bool worldOutlivesBackend = false;
        // Stepped IO runs on the thread that steps, which allocates.
        static constexpr bool realTimeIOThread = false;
    };
    std::optional<sim::SimulatedAudioSystem> simulator{std::in_place};
    std::map<double, ProcessID> pids{{tapped, 10}, {bystander, 20}};
    std::string output = "spk";

    std::string start() {
        simulator->addDevice({.uid = output});
        for (const auto& [tone, pid] : pids)
            simulator->addProcess(
                {.pid = pid, .signal = {sim::Signal::Kind::sine, tone}, .playing = true});
        return {};
    }
    AudioHardware& hal() { return *simulator; }
    void advance() { simulator->step(4); }
    double level(double tone) {
        const AudioObjectID d = simulator->deviceID(output);
        simulator->clearSpeaker(d);
        simulator->step(40);
        return testsupport::toneDB(simulator->speaker(d), tone);
    }
    void add(const std::string& uid) { simulator->addDevice({.uid = uid}); }
    void remove(const std::string& uid) { simulator->removeDevice(simulator->deviceID(uid)); }
    void restart(bool renumber) { simulator->restartServer({.renumber = renumber}); }
    void destroy() { simulator.reset(); }
};

#ifdef SONVEL_SEAM_PIPEWIRE
struct PipeWireWorld {
    struct Traits {
        // A stream can only move into a capture that exists, so a muted tap
        // mutes only while its aggregate runs.
        static constexpr bool mutedTapSilencesWithoutIO = false;
        // Listeners stay, on IDs the new server never hands out.
        static constexpr OSStatus removingAListenerFromBefore = hal::noError;
        static constexpr std::array restartRenumbers{true};
        // A sink that leaves the registry is forgotten at once.
        static constexpr OSStatus readingAGoneDevice = badObject;
        static constexpr bool worldOutlivesBackend = true;
        // PipeWire's own data thread, with a real client's scheduling.
        static constexpr bool realTimeIOThread = true;
    };
    std::unique_ptr<pwtest::PipeWireServer> server;
    std::shared_ptr<pw::PipeWireAudioSystem> backend;
    std::map<double, ProcessID> pids;
    std::string output{pwtest::kSinkA};

    std::string start() {
        auto started = pwtest::PipeWireServer::start();
        if (!started) return started.error();
        server = std::move(*started);
        play();
        backend = pw::PipeWireAudioSystem::connect().value();
        return {};
    }
    // Players leave with their connection; new ones stand for applications
    // that connect again.
    void play() {
        pids = {
            {tapped, server->play({.frequency = tapped})},
            {bystander, server->play({.player = pwtest::Player::paplay, .frequency = bystander})}};
    }
    AudioHardware& hal() { return *backend; }
    void advance() { std::this_thread::sleep_for(50ms); }
    double level(double tone) {
        auto recorder = pwtest::Recorder::start({output}).value();
        std::this_thread::sleep_for(400ms);
        return pwtest::heardDB(recorder->stop().at(0), tone);
    }
    void add(const std::string& uid) {
        const std::string load = "pactl load-module module-null-sink sink_name=" + uid;
        EXPECT_EQ(std::system((load + " >/dev/null").c_str()), 0);
    }
    void remove(const std::string&) {
        EXPECT_EQ(std::system("pactl unload-module module-null-sink"), 0);
    }
    void restart(bool) {
        ASSERT_TRUE(server->restart());
        play();
    }
    void destroy() { backend.reset(); }
    // The scheduling the tapped player's own data thread got.
    int dataThreadPolicy() {
        int policy = SCHED_OTHER;
        for (const auto& task : std::filesystem::directory_iterator(
                 "/proc/" + std::to_string(pids[tapped]) + "/task")) {
            const int p = ::sched_getscheduler(std::stoi(task.path().filename().string()));
            if ((p & ~SCHED_RESET_ON_FORK) != SCHED_OTHER) policy = p & ~SCHED_RESET_ON_FORK;
        }
        return policy;
    }
};
using Worlds = ::testing::Types<SimulatorWorld, PipeWireWorld>;
#else
using Worlds = ::testing::Types<SimulatorWorld>;
#endif

using testsupport::listener;

// What the cycles of an IO procedure showed, written on the IO thread.
struct IOSeen {
    std::atomic<int> cycles{0}, threads{0}, policy{-1};
    std::atomic<std::size_t> allocations{0};
    std::atomic<pthread_t> thread{};
};

// Plays the tap back at `gain`, noting in `seen` what each cycle showed.
AudioDeviceIOBlock playBack(std::shared_ptr<IOSeen> seen, float gain) {
    return [seen, gain](const AudioBufferList* in, const AudioBufferList& out) {
        static thread_local testing::AllocationCounter counter;
        seen->allocations = counter.count();
        seen->threads += seen->thread.exchange(pthread_self()) != pthread_self();
        seen->policy = ::sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        ++seen->cycles;
        if (!in || out.buffers.empty()) return;  // PipeWire: a cycle without audio
        const AudioBuffer &from = in->buffers.back(), &to = out.buffers[0];
        for (std::size_t i = 0; i < std::min(from.byteSize, to.byteSize) / 4; ++i)
            to.data[i] = from.data[i] * gain;
    };
}

// An engine as built through the seam, playing its tap back.
struct Engine : testsupport::Rig {
    std::shared_ptr<IOSeen> seen;
};

template <class World>
class SeamContractTest : public ::testing::Test {
  protected:
    using Traits = typename World::Traits;

    void SetUp() override {
        if (const std::string why = world.start(); !why.empty()) GTEST_SKIP() << why;
        ASSERT_TRUE(eventually([&] { return heard(tapped, full) && heard(bystander, full); }));
    }
    AudioHardware& hal() { return world.hal(); }
    // Listeners run on `queue`, and a server answers in its own time.
    bool eventually(const std::function<bool()>& condition, int times = 100) {
        for (int i = 0; i < times; ++i, world.advance()) {
            queue->sync([] {});
            if (condition()) return true;
        }
        return false;
    }
    bool heard(double tone, double level) {
        const double dB = world.level(tone);
        return level <= silent ? dB < silent : std::abs(dB - level) < 0.1;
    }
    AudioObjectID read(AudioObjectPropertySelector s, std::span<const std::byte> qualifier = {}) {
        AudioObjectID id = 0;
        std::uint32_t size = sizeof id;
        return hal().getPropertyData(hal::systemObject, {s}, qualifier, size, &id) == 0 ? id : 0;
    }
    AudioObjectID process(double tone) {
        const ProcessID pid = world.pids[tone];
        return read(sel::translatePIDToProcessObject, std::as_bytes(std::span(&pid, 1)));
    }
    AudioObjectID device(const std::string& uid) {
        return read(sel::translateUIDToDevice, std::as_bytes(std::span(uid)));
    }
    Engine engine(std::int32_t mute, float gain = 0, std::vector<double> tones = {tapped}) {
        Tap tap{.uuid = "contract." + std::to_string(++made), .muteBehavior = mute};
        for (const double tone : tones) tap.processes.push_back(process(tone));
        const auto seen = std::make_shared<IOSeen>();
        return {testsupport::Rig(hal(), tap, world.output, playBack(seen, gain)), seen};
    }
    // Runs `then` while a `dev#` notice waits behind a busy queue.
    void whileANoticeWaits(const std::function<void()>& then) {
        std::promise<void> release;
        queue->async([busy = release.get_future().share()] { busy.wait(); });
        engine(Tap::unmuted);
        then();
        release.set_value();
        queue->sync([] {});
    }
    auto count(AudioObjectID object, AudioObjectPropertySelector s) {
        return testsupport::countCalls(hal(), object, s, queue);
    }

    World world;
    std::shared_ptr<SerialQueue> queue = SerialQueue::make("seam.contract");
    int made = 0;
};
TYPED_TEST_SUITE(SeamContractTest, Worlds);

TYPED_TEST(SeamContractTest, ReadsGiveTheSizeThenTheValueOrSayWhyNot) {
    const AudioObjectID output = this->device(this->world.output);
    const auto uid = std::as_bytes(std::span(this->world.output));
    constexpr OSStatus tooSmall = hal::badPropertySizeError, unknown = hal::unknownPropertyError;
    // The size read's status, the value read's, the room given it (0: the size
    // reported) and what it holds then.
    using Case = std::tuple<AudioObjectID, AudioObjectPropertySelector, OSStatus, OSStatus,
                            std::uint32_t, Bytes>;
    const Case cases[] = {
        {output, sel::deviceUID, 0, 0, 0, {uid.begin(), uid.end()}},
        {output, sel::deviceUID, 0, 0, 2, {uid[0], uid[1]}},  // a string is cut to fit
        {output, sel::nominalSampleRate, 0, tooSmall, 4, {}},
        {nothing, sel::nominalSampleRate, badObject, badObject, 0, {}},
        {output, fourCC("zzzz"), unknown, unknown, 0, {}},
    };
    for (const auto& [object, selector, sizeStatus, status, room, value] : cases) {
        std::uint32_t size = 0;
        EXPECT_EQ(this->hal().getPropertyDataSize(object, {selector}, {}, size), sizeStatus);
        Bytes bytes(std::max(size, 8u));
        size = room ? room : size;
        EXPECT_EQ(this->hal().getPropertyData(object, {selector}, {}, size, bytes.data()), status);
        bytes.resize(status ? 0 : size);
        EXPECT_EQ(bytes, value) << selector;
    }
}

TYPED_TEST(SeamContractTest, ListenersRunOnTheirQueueAndNeverOnceRemoved) {
    AudioHardware& hal = this->hal();
    const auto q = this->queue;
    std::atomic<int> calls{0}, offQueue{0};
    const auto block = listener([&] { ++calls, offQueue += !q->isCurrent(); });
    const auto add = [&](AudioObjectID object, std::shared_ptr<DispatchQueue> on) {
        return hal.addPropertyListenerBlock(object, {sel::devices}, on, block);
    };
    const auto remove = [&](std::shared_ptr<DispatchQueue> on, ListenerBlock b) {
        return hal.removePropertyListenerBlock(hal::systemObject, {sel::devices}, on, b);
    };
    EXPECT_EQ(add(nothing, q), badObject);
    EXPECT_EQ(add(hal::systemObject, nullptr), hal::paramError);
    ASSERT_EQ(add(hal::systemObject, q), 0);
    this->whileANoticeWaits([] {});
    EXPECT_EQ(std::pair(calls.load(), offQueue.load()), std::pair(1, 0));
    // Removal names the object, address, queue and block that adding did.
    EXPECT_EQ(remove(SerialQueue::make("other"), block), nope);
    EXPECT_EQ(remove(q, listener([] {})), nope);
    this->whileANoticeWaits([&] { EXPECT_EQ(remove(q, block), 0); });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(remove(q, block), nope);
}

TYPED_TEST(SeamContractTest, ATapSilencesItsProcessAsItsMuteBehaviourSays) {
    using Case = std::tuple<std::int32_t, bool, bool>;  // mute, started, silences
    for (const auto& [mute, started, silences] :
         {Case{Tap::mutedWhenTapped, false, false},
          {Tap::mutedWhenTapped, true, true},
          {Tap::muted, false, TestFixture::Traits::mutedTapSilencesWithoutIO},
          {Tap::muted, true, true},
          {Tap::unmuted, true, false}}) {
        Engine engine = this->engine(mute);
        if (started) engine.start();
        EXPECT_TRUE(this->eventually([&] { return this->heard(tapped, silences ? silent : full); }))
            << mute << started;
        EXPECT_TRUE(this->heard(bystander, full));
        engine.tearDown();
        EXPECT_TRUE(this->eventually([&] { return this->heard(tapped, full); }));
    }
}

TYPED_TEST(SeamContractTest, IOProceduresRunOnOneThreadFromStartUntilStopReturns) {
    AudioHardware& hal = this->hal();
    Engine engine = this->engine(Tap::mutedWhenTapped, 0.5f, {tapped, bystander});
    EXPECT_EQ(hal.deviceStart(engine.aggregate, engine.proc + 1), nope);
    EXPECT_EQ(hal.deviceStart(nothing, engine.proc), badObject);
    IOSeen& seen = *engine.seen;
    for (int run = 0; run < 2; ++run) {
        engine.start();
        // Its input is the mix of the tapped processes, and its output is heard.
        EXPECT_TRUE(this->eventually([&] {
            return seen.cycles > 20 && this->heard(tapped, full - 6.02) &&
                   this->heard(bystander, full - 6.02);
        }));
        ASSERT_EQ(hal.deviceStop(engine.aggregate, engine.proc), 0);
        const int cycles = seen.cycles;
        this->eventually([] { return false; }, 10);
        EXPECT_EQ(seen.cycles, cycles);
    }
    EXPECT_EQ(seen.threads, 1);
    if constexpr (TestFixture::Traits::realTimeIOThread) {
        EXPECT_EQ(seen.allocations, 0u);
        EXPECT_EQ(seen.policy, this->world.dataThreadPolicy());
    }
    engine.tearDown();
}

TYPED_TEST(SeamContractTest, ARestartForgetsWhatWasMadeBeforeItIsAnnounced) {
    AudioHardware& hal = this->hal();
    const AudioObjectPropertyAddress piro{sel::processIsRunningOutput}, srst{sel::serviceRestarted};
    for (const bool renumber : TestFixture::Traits::restartRenumbers) {
        Engine engine = this->engine(Tap::mutedWhenTapped);
        engine.start();
        ASSERT_TRUE(this->eventually([&] { return this->heard(tapped, silent); }));
        const AudioObjectID before = this->process(tapped);
        const auto onProcess = listener([] {});
        ASSERT_EQ(hal.addPropertyListenerBlock(before, piro, this->queue, onProcess), 0);
        std::array<OSStatus, 3> atNotice{};  // destroying the tap, starting IO, removing
        std::atomic<int> cyclesAtNotice = -1;
        const auto onRestart = listener([&] {
            atNotice = {hal.destroyProcessTap(engine.tap),
                        hal.deviceStart(engine.aggregate, engine.proc),
                        hal.removePropertyListenerBlock(before, piro, this->queue, onProcess)};
            cyclesAtNotice = engine.seen->cycles.load();
        });
        ASSERT_EQ(hal.addPropertyListenerBlock(hal::systemObject, srst, this->queue, onRestart), 0);
        this->world.restart(renumber);
        ASSERT_TRUE(this->eventually([&] { return cyclesAtNotice >= 0; }));
        const OSStatus removal = TestFixture::Traits::removingAListenerFromBefore;
        EXPECT_EQ(atNotice, (std::array{badObject, badObject, removal}));
        EXPECT_TRUE(this->eventually([&] { return this->heard(tapped, full); }));
        EXPECT_EQ(engine.seen->cycles, cyclesAtNotice);
        EXPECT_EQ(this->process(tapped) != before, renumber);
        EXPECT_EQ(this->read(sel::defaultOutputDevice), this->device(this->world.output));
        EXPECT_EQ(hal.removePropertyListenerBlock(hal::systemObject, srst, this->queue, onRestart),
                  0);
    }
}

TYPED_TEST(SeamContractTest, ADeviceThatGoesSaysSoAndLeavesTheList) {
    const std::string uid = "sonvel-contract-gone";
    this->world.add(uid);
    AudioObjectID gone = 0;
    ASSERT_TRUE(this->eventually([&] { return (gone = this->device(uid)) != 0; }));
    const auto alive = this->count(gone, sel::isAlive);
    const auto list = this->count(hal::systemObject, sel::devices);
    this->world.remove(uid);
    EXPECT_TRUE(this->eventually([&] { return *alive == 1 && *list > 0; }));
    EXPECT_EQ(this->device(uid), hal::unknownObject);
    std::uint32_t size = 0;
    EXPECT_EQ(this->hal().getPropertyDataSize(gone, {sel::isAlive}, {}, size),
              TestFixture::Traits::readingAGoneDevice);
}

// Nothing runs once the backend is gone, and a server that outlives it has
// every application back.
TYPED_TEST(SeamContractTest, DestructionReleasesEverything) {
    Engine engine = this->engine(Tap::mutedWhenTapped);
    engine.start();
    ASSERT_TRUE(this->eventually([&] { return this->heard(tapped, silent); }));
    const auto calls = this->count(hal::systemObject, sel::devices);
    int cycles = 0;
    this->whileANoticeWaits([&] {
        this->world.destroy();
        cycles = engine.seen->cycles;
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(*calls, 0);
    EXPECT_EQ(engine.seen->cycles, cycles);
    if constexpr (TestFixture::Traits::worldOutlivesBackend) {
        EXPECT_TRUE(this->eventually([&] { return this->heard(tapped, full); }));
    }
}

}  // namespace
}  // namespace sonvel
