#include <gtest/gtest.h>

#include <utility>

#include "platform/sim/SimulatedAudioSystem.hpp"
#include "support/SteppedQueue.hpp"
#include "tap/AudioChangeObserver.hpp"

namespace sonvel {
namespace {

using namespace std::chrono_literals;
using Change = AudioChangeObserver::Change;
using enum AudioChangeObserver::Change;
using sim::SimulatedAudioSystem;

TEST(SteppedQueueTest, RunsInOrderOnlyWhenPumpedAndWhenDue) {
    SteppedQueue queue("q");
    std::vector<int> ran;
    queue.after(100ms, [&] { ran.push_back(3); });
    queue.async([&] { ran.push_back(1), queue.async([&] { ran.push_back(2); }); });
    EXPECT_EQ(queue.runUntilIdle(), 2u);
    EXPECT_EQ(queue.advance(99ms), 0u);
    EXPECT_EQ(queue.advance(1ms), 1u);
    queue.sync([&] { ran.push_back(4); });
    EXPECT_EQ(ran, (std::vector<int>{1, 2, 3, 4}));
}

using Deliveries = std::vector<std::set<Change>>;

class AudioChangeObserverTest : public ::testing::Test {
  protected:
    // The initial refresh notes the processes it found.
    AudioChangeObserverTest() { EXPECT_EQ(delivered(), Deliveries{{processActivity}}); }
    // Lets listener calls and coalescing run `by` on in virtual time, and
    // takes what reached the main queue.
    Deliveries delivered(std::chrono::milliseconds by = 100ms) {
        queue->runUntilIdle();
        queue->advance(by);
        main->runUntilIdle();
        return std::exchange(deliveries, {});
    }

    std::shared_ptr<SimulatedAudioSystem> hal = std::make_shared<SimulatedAudioSystem>();
    std::shared_ptr<SteppedQueue> main = std::make_shared<SteppedQueue>("main");
    std::shared_ptr<SteppedQueue> queue =
        std::make_shared<SteppedQueue>(AudioChangeObserver::queueLabel);
    AudioObjectID speakers = hal->addDevice({.uid = "spk", .name = "Speakers"}),
                  a = hal->addProcess({.pid = 10}), b = hal->addProcess({.pid = 20});
    Deliveries deliveries;
    std::shared_ptr<AudioChangeObserver> observer = AudioChangeObserver::make(
        hal, main, [this](const std::set<Change>& c) { deliveries.push_back(c); }, queue);
};

TEST_F(AudioChangeObserverTest, ABurstIsOneDeliveryPerWindow) {
    hal->setPlaying(a, true);
    hal->setPlaying(b, true);
    hal->setPlaying(a, false);
    hal->addDevice({.uid = "usb", .name = "USB"});
    EXPECT_TRUE(delivered(50ms).empty());  // the window is still open
    hal->setOutputDevices(b, {"usb"});     // arrives before the flush: joins it
    EXPECT_EQ(delivered(50ms), (Deliveries{{processActivity, deviceList}}));

    hal->setDefaultOutput(hal->deviceID("usb"));  // a new window
    EXPECT_EQ(delivered(), (Deliveries{{defaultOutputDevice, processActivity}}));
    EXPECT_TRUE(delivered(500ms).empty());
}

TEST_F(AudioChangeObserverTest, ProcessListenersFollowTheProcessList) {
    EXPECT_EQ(observer->processListenerCount(), 4u);
    const AudioObjectID c = hal->addProcess({.pid = 30});
    hal->removeProcess(a);
    EXPECT_EQ(delivered(), Deliveries{{processList}});
    observer->refreshProcessListeners();
    EXPECT_EQ(delivered(), Deliveries{{processActivity}});
    EXPECT_EQ(observer->processListenerCount(), 4u);  // a's went, c's came
    hal->setPlaying(c, true);
    EXPECT_EQ(delivered(), Deliveries{{processActivity}});

    // A refresh that finds nothing new notes nothing.
    observer->refreshProcessListeners();
    EXPECT_TRUE(delivered().empty());
}

TEST_F(AudioChangeObserverTest, RestartIsNotedAndNothingArrivesAfterDestruction) {
    hal->restartServer();
    EXPECT_EQ(delivered(), (Deliveries{{deviceList, processActivity, serviceRestarted}}));
    // Per-process listeners are registered afresh: activity is still heard.
    EXPECT_EQ(observer->processListenerCount(), 4u);
    hal->setPlaying(a, true);
    EXPECT_EQ(delivered(), Deliveries{{processActivity}});

    hal->setPlaying(b, true);  // queued, not yet run
    observer.reset();
    EXPECT_TRUE(delivered(200ms).empty());
    EXPECT_EQ(hal->accounting().listeners, 0u);
}

}  // namespace
}  // namespace sonvel
