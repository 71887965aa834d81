#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

void SimulatedAudioSystem::restartServer(RestartOptions options) {
    std::vector<std::shared_ptr<Clock>> retired;
    std::vector<std::shared_ptr<Listener>> forgotten;
    std::vector<std::shared_ptr<Clock>> physical;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& [id, a] : aggregates_) {
            if (const auto c = clocks_.find(id); c != clocks_.end()) {
                retired.push_back(c->second);
                clocks_.erase(c);
            }
        }
        aggregates_.clear();
        taps_.clear();
        // Only the system object's listeners outlive the server: that is how
        // `srst` reaches anyone.
        const auto gone = std::stable_partition(listeners_.begin(), listeners_.end(), [](auto& l) {
            return l->object == hal::systemObject;
        });
        forgotten.assign(gone, listeners_.end());
        listeners_.erase(gone, listeners_.end());
        if (options.renumber) renumber();
        serverRunning_ = true;
        for (const auto& [id, clock] : clocks_) physical.push_back(clock);
    }
    for (const auto& listener : forgotten) {
        listener->retire();  // waits for a call in progress
    }
    retireClocks(retired);
    // Cycles in flight on the physical devices finish, so that no procedure
    // of the old server runs once anyone hears of the new one.
    for (const auto& clock : physical) const std::lock_guard io(clock->io);

    // Queued only now and outside the lock, so that even a listener whose
    // queue runs work at once may register again from inside its call.
    Deliveries deliveries;
    {
        const std::lock_guard lock(mutex_);
        notify(hal::systemObject, sel::devices, &deliveries);
        if (options.renumber) {
            notify(hal::systemObject, sel::processObjectList, &deliveries);
            notify(hal::systemObject, sel::defaultOutputDevice, &deliveries);
        }
        notify(hal::systemObject, sel::serviceRestarted, &deliveries);
    }
    for (auto& [queue, work] : deliveries) queue->async(std::move(work));
}

// Called with the lock held, once the old server's own objects are gone.
// Map nodes move with their keys changed, so the objects stay where a cycle
// in flight found them.
void SimulatedAudioSystem::renumber() {
    std::map<AudioObjectID, AudioObjectID> moved;
    const auto renumberAll = [&](auto& objects, auto keep) {
        std::remove_reference_t<decltype(objects)> fresh;
        while (!objects.empty()) {
            auto node = objects.extract(objects.begin());
            if (!keep(node.mapped())) continue;
            moved[node.key()] = nextID_;
            node.key() = nextID_++;
            fresh.insert(std::move(node));
        }
        objects = std::move(fresh);
    };
    // An unplugged device is forgotten altogether.
    renumberAll(devices_, [](const Device& d) { return d.alive; });
    renumberAll(processes_, [](const Process&) { return true; });

    std::map<AudioObjectID, std::shared_ptr<Clock>> clocks;
    for (auto& [id, clock] : clocks_) {
        const auto m = moved.find(id);
        if (m != moved.end()) clock->device = m->second;
        clocks.emplace(clock->device, clock);
    }
    clocks_ = std::move(clocks);
    const auto m = moved.find(defaultOutput_);
    defaultOutput_ = m == moved.end() ? hal::unknownObject : m->second;
}

}  // namespace sonvel::sim
