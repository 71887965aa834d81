#include <gtest/gtest.h>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/SteppedQueue.hpp"
#include "tap/AudioChangeObserver.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Change = AudioChangeObserver::Change;
using sim::SimulatedAudioSystem;

TEST(SteppedQueueTest, RunsInOrderOnlyWhenPumpedAndWhenDue) {
    SteppedQueue queue("q");
    std::vector<int> ran;
    queue.after(100ms, [&] { ran.push_back(3); });
    queue.async([&] {
        ran.push_back(1);
        queue.async([&] { ran.push_back(2); });
    });
    EXPECT_TRUE(ran.empty());
    EXPECT_EQ(queue.runUntilIdle(), 2u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2}));
    EXPECT_EQ(queue.advance(99ms), 0u);
    EXPECT_EQ(queue.advance(1ms), 1u);
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3}));
    queue.sync([&] { ran.push_back(4); });
    EXPECT_EQ(ran.back(), 4);
}

class AudioChangeObserverTest : public ::testing::Test {
  protected:
    AudioChangeObserverTest() {
        speakers = hal->addDevice({.uid = "spk", .name = "Speakers"});
        a = hal->addProcess({.pid = 10});
        b = hal->addProcess({.pid = 20});
        observer = AudioChangeObserver::make(
            hal, main, [this](const std::set<Change>& changes) { deliveries.push_back(changes); },
            queue);
        pump(100ms);  // the initial refresh notes the processes it found
        EXPECT_EQ(deliveries, std::vector<std::set<Change>>{{Change::processActivity}});
        deliveries.clear();
    }
    // Lets listener calls and coalescing run in virtual time, then delivers.
    void pump(std::chrono::milliseconds by = 0ms) {
        queue->runUntilIdle();
        if (by > 0ms) queue->advance(by);
        main->runUntilIdle();
    }

    std::shared_ptr<SimulatedAudioSystem> hal = std::make_shared<SimulatedAudioSystem>();
    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
    std::shared_ptr<SteppedQueue> queue =
        std::make_shared<SteppedQueue>(AudioChangeObserver::queueLabel);
    AudioObjectID speakers, a, b;
    std::shared_ptr<AudioChangeObserver> observer;
    std::vector<std::set<Change>> deliveries;
};

TEST_F(AudioChangeObserverTest, ABurstIsOneDeliveryPerWindow) {
    hal->setPlaying(a, true);
    hal->setPlaying(b, true);
    hal->setPlaying(a, false);
    hal->addDevice({.uid = "usb", .name = "USB"});
    pump(50ms);
    EXPECT_TRUE(deliveries.empty());    // the window is still open
    hal->setOutputDevices(b, {"usb"});  // arrives before the flush: joins it
    pump(50ms);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0], (std::set<Change>{Change::processActivity, Change::deviceList}));

    hal->setDefaultOutput(hal->deviceID("usb"));  // a new window
    pump(100ms);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1],
              (std::set<Change>{Change::defaultOutputDevice, Change::processActivity}));
    pump(500ms);
    EXPECT_EQ(deliveries.size(), 2u);
}

TEST_F(AudioChangeObserverTest, ProcessListenersFollowTheProcessList) {
    EXPECT_EQ(observer->processListenerCount(), 4u);
    const AudioObjectID c = hal->addProcess({.pid = 30});
    hal->removeProcess(a);
    pump(100ms);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_EQ(deliveries[0], std::set<Change>{Change::processList});
    observer->refreshProcessListeners();
    pump(100ms);
    EXPECT_EQ(observer->processListenerCount(), 4u);  // a's went, c's came
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1], std::set<Change>{Change::processActivity});
    hal->setPlaying(c, true);
    pump(100ms);
    EXPECT_EQ(deliveries.size(), 3u);

    // A refresh that finds nothing new notes nothing.
    observer->refreshProcessListeners();
    pump(100ms);
    EXPECT_EQ(deliveries.size(), 3u);
}

TEST_F(AudioChangeObserverTest, RestartIsNotedAndNothingArrivesAfterDestruction) {
    hal->restartServer();
    pump(100ms);
    ASSERT_EQ(deliveries.size(), 1u);
    EXPECT_TRUE(deliveries[0].contains(Change::serviceRestarted));
    // Per-process listeners are registered afresh: activity is still heard.
    EXPECT_EQ(observer->processListenerCount(), 4u);
    hal->setPlaying(a, true);
    pump(100ms);
    ASSERT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(deliveries[1], std::set<Change>{Change::processActivity});

    hal->setPlaying(b, true);  // queued, not yet run
    observer.reset();
    pump(200ms);
    EXPECT_EQ(deliveries.size(), 2u);
    EXPECT_EQ(hal->accounting().listeners, 0u);
}

}  // namespace
}  // namespace sonvel
