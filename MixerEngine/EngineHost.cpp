#include "MixerEngine/EngineHost.hpp"

#include "core/EnginePlanner.hpp"
#include "tap/AudioSystem.hpp"
#include "tap/SerialQueue.hpp"

namespace sonvel {

namespace {

// The overload count goes through a weak pointer: a readout the main thread
// still holds must not keep a removed engine, and its aggregate, alive.
EngineReadout readoutOf(const std::shared_ptr<GainTapEngine>& engine,
                        std::chrono::system_clock::time_point now) {
    return {engine->sharedMeter(), now, engine->setup(),
            [weak = std::weak_ptr(engine)] {
                const auto e = weak.lock();
                return e ? e->overloadCount() : 0L;
            },
            engine->segments()};
}

}  // namespace

std::shared_ptr<EngineHost> EngineHost::make(Dependencies dependencies, OnEvent onEvent) {
    return std::shared_ptr<EngineHost>(new EngineHost(std::move(dependencies), std::move(onEvent)));
}

EngineHost::EngineHost(Dependencies dependencies, OnEvent onEvent)
    : deps_(std::move(dependencies)), onEvent_(std::move(onEvent)) {
    queue_ = deps_.queue ? deps_.queue : SerialQueue::make(queueLabel);
}

// Work keeps the host alive until it has run. Once shut down, nothing runs.
void EngineHost::run(std::function<void(EngineHost&)> work) {
    queue_->async([self = shared_from_this(), work = std::move(work)] {
        if (!self->closed_) work(*self);
    });
}

void EngineHost::apply(std::vector<EngineSpec> specs) {
    run([specs = std::move(specs)](EngineHost& host) {
        std::map<std::string, EnginePlanner::Running> running;
        for (const auto& [key, r] : host.engines_) {
            // An engine whose output is gone shows an empty topology, which no
            // wanted spec has, so the plan replaces it or drops it.
            running.emplace(
                key, EnginePlanner::Running{r.outputGone ? EngineTopology{} : r.topology, r.gain});
        }
        host.execute(EnginePlanner::actions(running, specs));
    });
}

void EngineHost::rebuild(std::vector<EngineSpec> specs) {
    run([specs = std::move(specs)](EngineHost& host) {
        std::set<std::string> keys;
        for (const auto& [key, r] : host.engines_) keys.insert(key);
        host.execute(EnginePlanner::resetActions(keys, specs));
    });
}

void EngineHost::execute(const std::vector<EngineAction>& actions) {
    for (const EngineAction& action : actions) {
        action.visit(Overloaded{
            [&](const EngineAction::Create& a) { create(a.spec); },
            // Make before break: a new route, or an instance joining or
            // leaving, is a hand-over, so the application is never heard at
            // full level or not at all between the two engines.
            [&](const EngineAction::Rebuild& a) { handOver(a.spec); },
            [&](const EngineAction::UpdateGain& a) {
                if (const auto found = engines_.find(a.key); found != engines_.end()) {
                    found->second.engine->control().set(a.gain);
                    found->second.gain = a.gain;
                }
            },
            [&](const EngineAction::Destroy& a) { destroy(a.key); },
            [&](const EngineAction::Handover& a) { handOver(a.spec); },
        });
    }
}

GainTapEngine::Configuration EngineHost::configuration(const EngineSpec& spec,
                                                       const OutputDeviceInfo& device) const {
    GainTapEngine::Configuration c;
    c.name = spec.displayName;
    c.processObjectIDs = spec.topology.processObjectIDs;
    c.muting = TapPlan::Muting::whileTapped;
    c.disableDeviceInputs = true;
    c.outputDevice = device;
    c.measurementSegments = 0;
    if (deps_.makeListenerQueue) c.listenerQueue = deps_.makeListenerQueue();
    return c;
}

std::expected<std::shared_ptr<GainTapEngine>, std::string> EngineHost::makeEngine(
    const EngineSpec& spec, float initialGain) {
    const auto device = AudioSystem::device(*deps_.hal, spec.topology.deviceUID);
    if (!device) return std::unexpected("Output device " + spec.topology.deviceUID + " is gone.");
    auto tag = std::make_shared<Tag>();
    // Runs on the engine's listener queue. It must never hold the host: if it
    // held the last reference, the host would be torn down inside a listener
    // call that the teardown itself waits for.
    auto onFault = [weakHost = weak_from_this(), weakQueue = std::weak_ptr(queue_), tag,
                    key = spec.key](GainTapEngine::FaultKind kind, const std::string& message) {
        const auto queue = weakQueue.lock();
        if (!queue) return;
        queue->async([weakHost, tag, key, kind, message] {
            const auto self = weakHost.lock();
            if (!self || self->closed_) return;
            const auto found = self->engines_.find(key);
            const auto faulted = tag->engine.lock();
            if (found == self->engines_.end() || !faulted || found->second.engine != faulted)
                return;
            if (kind == GainTapEngine::FaultKind::outputGone) {
                found->second.outputGone = true;
                self->log_.info("Output of the engine for {} went away", key);
                self->report(Event::OutputGone{key, message});
                return;
            }
            self->destroy(key);
            self->report(Event::Fault{key, message});
        });
    };
    auto engine =
        GainTapEngine::make(deps_.hal, configuration(spec, *device), initialGain, onFault);
    if (!engine) return std::unexpected(engine.error().description());
    tag->engine = *engine;
    return *engine;
}

void EngineHost::create(const EngineSpec& spec) {
    destroy(spec.key);  // an engine left without its output
    auto engine = makeEngine(spec, spec.gain);
    if (engine) {
        if (auto started = (*engine)->start(); !started) {
            engine = std::unexpected(started.error().description());
        }
    }
    if (!engine) {
        log_.error("Engine for {} failed: {}", spec.key, engine.error());
        report(Event::Failed{spec.key, engine.error()});
        return;
    }
    install(std::move(*engine), spec);
    log_.info("Engine started for {}", spec.key);
    report(Event::Started{spec.key});
}

void EngineHost::install(std::shared_ptr<GainTapEngine> engine, const EngineSpec& spec) {
    EngineReadout readout = readoutOf(engine, deps_.now());
    engines_.insert_or_assign(spec.key, Running{std::move(engine), spec.topology, spec.gain});
    const std::lock_guard lock(readoutMutex_);
    readoutTable_.insert_or_assign(spec.key, std::move(readout));
}

void EngineHost::destroy(const std::string& key) {
    const auto found = engines_.find(key);
    if (found == engines_.end()) return;
    const std::shared_ptr<GainTapEngine> engine = found->second.engine;
    engines_.erase(found);
    {
        const std::lock_guard lock(readoutMutex_);
        readoutTable_.erase(key);
    }
    (void)engine->stop();
}

void EngineHost::handOver(const EngineSpec& spec) {
    const auto found = engines_.find(spec.key);
    if (found == engines_.end()) {
        create(spec);
        return;
    }
    GainTapHandoverEngine old(found->second.engine);
    const auto replaced = EngineHandover::replace(
        old, spec.gain,
        [&]() -> std::expected<EngineHandover::Engine, std::string> {
            auto made = makeEngine(spec, 0.0f);
            if (!made) return std::unexpected(made.error());
            return std::make_shared<GainTapHandoverEngine>(std::move(*made));
        },
        {.pollInterval = 0.005, .startTimeout = 0.75, .fadeTimeout = 0.25}, deps_.sleep);
    if (!replaced) {
        const std::string message = replaced.error().description();
        destroy(spec.key);
        log_.error("Handover for {} failed: {}", spec.key, message);
        report(Event::Failed{spec.key, message});
        return;
    }
    const auto& fresh = static_cast<GainTapHandoverEngine&>(**replaced);
    install(fresh.engine(), spec);
    log_.info("Engine handed over for {}", spec.key);
    report(Event::Started{spec.key});
}

void EngineHost::stopEverything() {
    if (closed_) return;
    std::vector<std::string> keys;
    for (const auto& [key, r] : engines_) keys.push_back(key);
    for (const std::string& key : keys) destroy(key);
    stopTestEngineNow();
    stopProbeNow();
}

void EngineHost::stopAll(bool wait) {
    auto work = [self = shared_from_this()] { self->stopEverything(); };
    if (wait) {
        queue_->sync(work);
    } else {
        queue_->async(work);
    }
}

void EngineHost::shutdown() {
    queue_->sync([self = shared_from_this()] {
        self->stopEverything();
        self->closed_ = true;
    });
}

void EngineHost::abandonAll() {
    abandonsRequested_.fetch_add(1);
    run([](EngineHost& host) {
        ++host.abandonsRun_;
        // Work queued before the restart was heard of may already have built
        // engines on the new server; those are alive and stay owned.
        std::vector<std::string> gone;
        for (const auto& [key, r] : host.engines_) {
            if (!r.engine->isAlive()) gone.push_back(key);
        }
        for (const std::string& key : gone) {
            host.engines_.at(key).engine->abandon();
            host.engines_.erase(key);
            const std::lock_guard lock(host.readoutMutex_);
            host.readoutTable_.erase(key);
        }
        if (host.testEngine_ && !host.testEngine_->isAlive()) {
            host.testEngine_->abandon();
            host.testEngine_.reset();
            const std::lock_guard lock(host.testMutex_);
            host.testReadout_.reset();
        }
        if (host.probe_ && !host.probe_->isAlive()) {
            host.probe_->abandon();
            host.probe_.reset();
            const std::lock_guard lock(host.probeMutex_);
            host.probeMeter_.reset();
        }
        host.log_.notice("Abandoned all engines after audio server restart");
    });
}

void EngineHost::startTestEngine(EngineSpec spec, long segments, Completion completion) {
    run([spec = std::move(spec), segments, completion = std::move(completion)](EngineHost& host) {
        host.stopTestEngineNow();
        const auto device = AudioSystem::device(*host.deps_.hal, spec.topology.deviceUID);
        if (!device) {
            host.complete(completion, "The output device is gone.");
            return;
        }
        GainTapEngine::Configuration c = host.configuration(spec, *device);
        c.name = "Live test " + spec.displayName;
        c.measurementSegments = segments;
        auto engine = GainTapEngine::make(host.deps_.hal, c, spec.gain, {});
        if (!engine) {
            host.complete(completion, engine.error().description());
            return;
        }
        if (auto started = (*engine)->start(); !started) {
            host.complete(completion, started.error().description());
            return;
        }
        host.testEngine_ = *engine;
        {
            const std::lock_guard lock(host.testMutex_);
            host.testReadout_ = readoutOf(host.testEngine_, host.deps_.now());
        }
        host.complete(completion, std::nullopt);
    });
}

void EngineHost::setTestGain(float gain, std::uint32_t segment) {
    run([gain, segment](EngineHost& host) {
        if (host.testEngine_) host.testEngine_->control().set(gain, segment);
    });
}

void EngineHost::stopTestEngine(Completion completion) {
    run([completion = std::move(completion)](EngineHost& host) {
        host.stopTestEngineNow();
        if (completion) host.complete(completion, std::nullopt);
    });
}

void EngineHost::stopTestEngineNow() {
    if (testEngine_) (void)testEngine_->stop();
    testEngine_.reset();
    const std::lock_guard lock(testMutex_);
    testReadout_.reset();
}

void EngineHost::startProbe(std::vector<AudioObjectID> excludingProcessObjects,
                            Completion completion) {
    run([excluded = std::move(excludingProcessObjects),
         completion = std::move(completion)](EngineHost& host) {
        host.stopProbeNow();
        auto probe = PermissionProbe::make(host.deps_.hal, excluded);
        if (!probe) {
            // One refused call is often the server being busy: one more try
            // spares the user a check that "could not start".
            host.log_.notice("Access check could not start, trying once more: {}",
                             probe.error().description());
            probe = PermissionProbe::make(host.deps_.hal, excluded);
        }
        if (!probe) {
            host.complete(completion, probe.error().description());
            return;
        }
        host.probe_ = *probe;
        {
            const std::lock_guard lock(host.probeMutex_);
            host.probeMeter_ = host.probe_->sharedMeter();
        }
        host.complete(completion, std::nullopt);
    });
}

void EngineHost::stopProbe() {
    run([](EngineHost& host) { host.stopProbeNow(); });
}

void EngineHost::stopProbeNow() {
    if (probe_) (void)probe_->stop();
    probe_.reset();
    const std::lock_guard lock(probeMutex_);
    probeMeter_.reset();
}

void EngineHost::report(Event event) {
    deps_.mainQueue->async([weak = weak_from_this(), onEvent = onEvent_, epoch = abandonsRun_,
                            event = std::move(event)] {
        const auto self = weak.lock();
        if (!event.is<Event::Started>() && (!self || epoch < self->abandonsRequested_.load()))
            return;
        if (onEvent) onEvent(event);
    });
}

void EngineHost::complete(const Completion& completion, std::optional<std::string> message) {
    if (!completion) return;
    deps_.mainQueue->async([completion, message = std::move(message)] { completion(message); });
}

std::map<std::string, EngineReadout> EngineHost::readouts() const {
    const std::lock_guard lock(readoutMutex_);
    return readoutTable_;
}

std::set<std::string> EngineHost::runningKeys() const {
    const std::lock_guard lock(readoutMutex_);
    std::set<std::string> keys;
    for (const auto& [key, readout] : readoutTable_) keys.insert(key);
    return keys;
}

std::optional<EngineReadout> EngineHost::testEngineReadout() const {
    const std::lock_guard lock(testMutex_);
    return testReadout_;
}

std::uint64_t EngineHost::probeNonZeroSamples() const {
    const std::lock_guard lock(probeMutex_);
    return probeMeter_ ? probeMeter_->totalInputNonZeroSamples() : 0;
}

}  // namespace sonvel
