#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>
#include <thread>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

SimulatedAudioSystem::FaultID SimulatedAudioSystem::inject(Fault fault) {
    const std::lock_guard lock(mutex_);
    faults_.push_back({nextFault_, std::move(fault)});
    return nextFault_++;
}

SimulatedAudioSystem::FaultID SimulatedAudioSystem::injectCycleFault(CycleFault fault) {
    const std::lock_guard lock(mutex_);
    cycleFaults_.push_back({nextFault_, std::move(fault)});
    return nextFault_++;
}

bool SimulatedAudioSystem::lift(FaultID fault) {
    const std::lock_guard lock(mutex_);
    return std::erase_if(faults_, [&](const auto& f) { return f.id == fault; }) +
               std::erase_if(cycleFaults_, [&](const auto& f) { return f.id == fault; }) >
           0;
}

void SimulatedAudioSystem::clearFaults() {
    const std::lock_guard lock(mutex_);
    faults_.clear();
    cycleFaults_.clear();
}

void SimulatedAudioSystem::setCallHook(std::function<void(Call)> hook) {
    const std::lock_guard lock(mutex_);
    callHook_ = std::move(hook);
}

void SimulatedAudioSystem::setDelayHandler(
    std::function<void(Call, std::chrono::nanoseconds)> handler) {
    const std::lock_guard lock(mutex_);
    delayHandler_ = std::move(handler);
}

// Called with the lock held.
SimulatedAudioSystem::Subject SimulatedAudioSystem::subjectOf(const Request& request) const {
    Subject subject;
    const auto addAggregate = [&](const Aggregate& a) {
        subject.names.push_back(a.name);
        for (AudioObjectID tap : a.taps) {
            if (const auto t = taps_.find(tap); t != taps_.end()) {
                subject.taps.push_back(&t->second.description);
                subject.names.push_back(t->second.description.name);
            }
        }
    };
    if (request.tap) {
        subject.taps.push_back(request.tap);
        subject.names.push_back(request.tap->name);
    } else if (const nlohmann::json* d = request.aggregate; d && d->is_object()) {
        // Not yet an aggregate: what its description names.
        Aggregate a;
        if (const auto name = d->find("name"); name != d->end() && name->is_string())
            a.name = name->get<std::string>();
        if (const auto list = d->find("taps"); list != d->end() && list->is_array()) {
            for (const auto& entry : *list) {
                if (!entry.is_object() || !entry.contains("uid") || !entry["uid"].is_string())
                    continue;
                for (const auto& [id, t] : taps_) {
                    if (t.description.uuid == entry["uid"].get<std::string>()) a.taps.push_back(id);
                }
            }
        }
        addAggregate(a);
    } else if (const auto t = taps_.find(request.object); t != taps_.end()) {
        subject.taps.push_back(&t->second.description);
        subject.names.push_back(t->second.description.name);
    } else if (const auto a = aggregates_.find(request.object); a != aggregates_.end()) {
        addAggregate(a->second);
    }
    return subject;
}

// Called with the lock held.
bool SimulatedAudioSystem::aimsAt(const std::optional<AudioObjectID>& tappedProcess,
                                  const std::string& nameContains, const Subject& subject) const {
    if (subject.taps.empty() && subject.names.empty()) return false;
    if (tappedProcess) {
        const auto p = processes_.find(*tappedProcess);
        const Process* process = p == processes_.end() ? nullptr : &p->second;
        if (std::ranges::none_of(subject.taps, [&](const TapDescription* tap) {
                return tapIncludes(*tap, *tappedProcess, process);
            })) {
            return false;
        }
    }
    return nameContains.empty() || std::ranges::any_of(subject.names, [&](const std::string& name) {
               return name.find(nameContains) != std::string::npos;
           });
}

// Every seam call passes here first, without the lock held.
SimulatedAudioSystem::Verdict SimulatedAudioSystem::admit(const Request& request) {
    std::function<void(Call)> hook;
    {
        const std::lock_guard lock(mutex_);
        hook = callHook_;
    }
    if (hook) hook(request.call);
    Verdict verdict;
    std::chrono::nanoseconds delay{0};
    std::function<void(Call, std::chrono::nanoseconds)> delayHandler;
    {
        const std::lock_guard lock(mutex_);
        const bool creates = request.call == Call::createProcessTap ||
                             request.call == Call::createAggregateDevice ||
                             request.call == Call::createIOProcID;
        const AudioObjectPropertyAddress* address = request.address;
        std::optional<Subject> subject;
        for (auto live = faults_.begin(); live != faults_.end(); ++live) {
            const Fault& f = live->fault;
            if ((f.effect == Effect::zeroObject && !creates) ||
                (f.effect == Effect::shortRead && request.call != Call::getPropertyData) ||
                (f.call && *f.call != request.call) || (f.object && *f.object != request.object) ||
                (f.selector && (!address || address->selector != *f.selector)) ||
                (f.scope && (!address || address->scope != *f.scope)) ||
                (f.proc && request.proc != f.proc)) {
                continue;
            }
            if (f.tappedProcess || !f.nameContains.empty()) {
                if (!subject) subject = subjectOf(request);
                if (!aimsAt(f.tappedProcess, f.nameContains, *subject)) continue;
            }
            if (++live->seen < f.onCall) continue;
            switch (f.effect) {
                case Effect::fail:
                    verdict.refusal = f.status;
                    break;
                case Effect::zeroObject:
                    verdict.zeroObject = true;
                    break;
                case Effect::shortRead:
                    verdict.readBytes = f.readBytes;
                    break;
                case Effect::failAfterEffect:
                    verdict.afterEffect = f.status;
                    break;
                case Effect::proceed:
                    break;
            }
            delay = f.delay;
            delayHandler = delayHandler_;
            if (!f.persistent) faults_.erase(live);
            break;
        }
        if (!serverRunning_ && !verdict.refusal) verdict.refusal = hal::notRunningError;
    }
    if (delay > std::chrono::nanoseconds::zero()) {
        if (delayHandler) {
            delayHandler(request.call, delay);
        } else if (mode_ == ClockMode::realTime) {
            std::this_thread::sleep_for(delay);
        }
    }
    return verdict;
}

void SimulatedAudioSystem::setIOCallWrapper(
    std::function<void(const std::function<void()>&)> wrapper) {
    const std::lock_guard lock(mutex_);
    ioCallWrapper_ = std::move(wrapper);
}

void SimulatedAudioSystem::overload(AudioObjectID aggregate) {
    const std::lock_guard lock(mutex_);
    if (aggregates_.contains(aggregate)) notify(aggregate, sel::processorOverload);
}

void SimulatedAudioSystem::stopIOAbnormally(AudioObjectID aggregate) {
    {
        const std::lock_guard lock(mutex_);
        auto found = aggregates_.find(aggregate);
        if (found == aggregates_.end()) return;
        for (auto& [id, proc] : found->second.procs) proc.started = false;
        notify(aggregate, sel::ioStoppedAbnormally);
    }
    waitForCycle(aggregate);
}

void SimulatedAudioSystem::changeFormat(AudioObjectID device, FormatChange change) {
    std::shared_ptr<Clock> clock;
    {
        const std::lock_guard lock(mutex_);
        if (const auto found = clocks_.find(device); found != clocks_.end()) clock = found->second;
    }
    // The change falls between two cycles, never inside one.
    std::unique_lock<std::mutex> io;
    if (clock) io = std::unique_lock(clock->io);
    const std::lock_guard lock(mutex_);
    const auto d = devices_.find(device);
    if (d == devices_.end() || !d->second.alive) return;
    DeviceSpec& spec = d->second.spec;
    std::vector<AudioObjectPropertySelector> changed;
    if (change.sampleRate && *change.sampleRate != spec.sampleRate) {
        spec.sampleRate = *change.sampleRate;
        changed.push_back(sel::nominalSampleRate);
    }
    const bool outputs = change.outputStreams && *change.outputStreams != spec.outputStreams;
    const bool inputs = change.inputStreams && *change.inputStreams != spec.inputStreams;
    if (outputs) {
        spec.outputStreams = *change.outputStreams;
        d->second.speaker.clear();
    }
    if (inputs) spec.inputStreams = *change.inputStreams;
    if (outputs || inputs) changed.push_back(sel::streamConfiguration);
    for (AudioObjectPropertySelector s : changed) {
        notify(device, s);
        for (const auto& [id, a] : aggregates_) {
            if (a.mainDevice == device) notify(id, s);
        }
    }
}

void SimulatedAudioSystem::setServerRunning(bool running) {
    const std::lock_guard lock(mutex_);
    serverRunning_ = running;
}

}  // namespace sonvel::sim
