#include "tap/AudioChangeObserver.hpp"

#include "tap/AudioObject.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {

namespace sel = hal::selector;

std::shared_ptr<AudioChangeObserver> AudioChangeObserver::make(
    std::shared_ptr<AudioHardware> hal, std::shared_ptr<DispatchQueue> mainQueue, OnChange onChange,
    std::shared_ptr<DispatchQueue> queue) {
    if (!queue) queue = SerialQueue::make(queueLabel);
    std::shared_ptr<AudioChangeObserver> observer(new AudioChangeObserver(
        std::move(hal), std::move(mainQueue), std::move(onChange), std::move(queue)));
    observer->queue_->sync([&] {
        for (auto [selector, change] :
             {std::pair{sel::defaultOutputDevice, Change::defaultOutputDevice},
              {sel::devices, Change::deviceList},
              {sel::processObjectList, Change::processList},
              {sel::serviceRestarted, Change::serviceRestarted}}) {
            if (auto r = observer->listen(hal::systemObject, {selector}, change)) {
                observer->systemListeners_.push_back(std::move(*r));
            }
        }
    });
    observer->refreshProcessListeners();
    return observer;
}

AudioChangeObserver::AudioChangeObserver(std::shared_ptr<AudioHardware> hal,
                                         std::shared_ptr<DispatchQueue> mainQueue,
                                         OnChange onChange, std::shared_ptr<DispatchQueue> queue)
    : hal_(std::move(hal)),
      mainQueue_(std::move(mainQueue)),
      onChange_(std::move(onChange)),
      queue_(std::move(queue)) {}

AudioChangeObserver::~AudioChangeObserver() {
    // Blocks hold the observer weakly, so nothing of it runs past this point;
    // the registrations themselves are released here.
    const auto remove = [&](const Registration& r) {
        (void)hal_->removePropertyListenerBlock(r.object, r.address, queue_, r.block);
    };
    for (const Registration& r : systemListeners_) remove(r);
    for (const auto& [process, registrations] : processListeners_) {
        for (const Registration& r : registrations) remove(r);
    }
}

std::optional<AudioChangeObserver::Registration> AudioChangeObserver::listen(
    AudioObjectID object, AudioObjectPropertyAddress address, Change change) {
    std::weak_ptr<AudioChangeObserver> weak = weak_from_this();
    auto block = std::make_shared<const AudioObjectPropertyListenerBlock>(
        [weak, change](std::span<const AudioObjectPropertyAddress>) {
            if (auto self = weak.lock()) self->note(change);
        });
    if (hal_->addPropertyListenerBlock(object, address, queue_, block) != hal::noError)
        return std::nullopt;
    return Registration{object, address, std::move(block)};
}

void AudioChangeObserver::note(Change change) {
    if (change == Change::serviceRestarted) {
        // The restarted server forgot the per-process registrations (and its
        // process objects may be new): register afresh rather than removing.
        processListeners_.clear();
        refreshNow();
    }
    pending_.insert(change);
    if (flushScheduled_) return;
    flushScheduled_ = true;
    queue_->after(window, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->flush();
    });
}

void AudioChangeObserver::flush() {
    std::set<Change> taken;
    taken.swap(pending_);
    flushScheduled_ = false;
    mainQueue_->async([weak = weak_from_this(), taken = std::move(taken)] {
        if (auto self = weak.lock()) self->onChange_(taken);
    });
}

void AudioChangeObserver::refreshProcessListeners() {
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->refreshNow();
    });
}

void AudioChangeObserver::refreshNow() {
    const std::vector<AudioObjectID> listed =
        AudioObject::readObjectIDs(*hal_, hal::systemObject, sel::processObjectList)
            .value_or(std::vector<AudioObjectID>{});
    const std::set<AudioObjectID> current(listed.begin(), listed.end());
    for (auto it = processListeners_.begin(); it != processListeners_.end();) {
        if (current.contains(it->first)) {
            ++it;
            continue;
        }
        for (const Registration& r : it->second) {
            (void)hal_->removePropertyListenerBlock(r.object, r.address, queue_, r.block);
        }
        it = processListeners_.erase(it);
    }
    bool gained = false;
    for (AudioObjectID process : listed) {
        if (processListeners_.contains(process)) continue;
        std::vector<Registration> registrations;
        if (auto r = listen(process, {sel::processIsRunningOutput}, Change::processActivity)) {
            registrations.push_back(std::move(*r));
        }
        if (auto r =
                listen(process, {sel::processDevices, hal::outputScope}, Change::processActivity)) {
            registrations.push_back(std::move(*r));
        }
        gained = gained || !registrations.empty();
        processListeners_.emplace(process, std::move(registrations));
    }
    if (gained) note(Change::processActivity);
}

std::size_t AudioChangeObserver::processListenerCount() const {
    std::size_t count = 0;
    queue_->sync([&] {
        for (const auto& [process, registrations] : processListeners_)
            count += registrations.size();
    });
    return count;
}

}  // namespace sonvel
