#include "platform/sim/SimulatedAudioSystem.hpp"

#include <algorithm>
#include <map>

#include "platform/sim/SimulatedAudioSystemState.hpp"

namespace sonvel::sim {

// `process` is null for a process that no longer exists.
bool SimulatedAudioSystem::tapIncludes(const TapDescription& d, AudioObjectID id,
                                       const Process* process) const {
    const bool listed = std::ranges::count(d.processes, id) > 0;
    if (d.kind == TapDescription::Kind::stereoGlobalTapButExcludeProcesses) return !listed;
    if (listed) return true;
    return process && !process->spec.bundleID.empty() &&
           std::ranges::count(d.bundleIDs, process->spec.bundleID) > 0;
}

bool SimulatedAudioSystem::isMuted(AudioObjectID id, const Process& process) const {
    for (const auto& [tapID, tap] : taps_) {
        if (!tapIncludes(tap.description, id, &process)) continue;
        if (tap.description.muteBehavior == TapDescription::muted) return true;
        if (tap.description.muteBehavior != TapDescription::mutedWhenTapped) continue;
        for (const auto& [aggregateID, a] : aggregates_) {
            if (!std::ranges::count(a.taps, tapID)) continue;
            for (const auto& [procID, proc] : a.procs) {
                if (proc.started) return true;
            }
        }
    }
    return false;
}

// Called with the lock held: what the cycle faults do to one procedure's
// cycle, counting it against each fault that aims at it.
SimulatedAudioSystem::CycleDisturbance SimulatedAudioSystem::disturbance(AudioObjectID aggregate,
                                                                         AudioDeviceIOProcID proc) {
    CycleDisturbance result;
    std::optional<Subject> subject;
    std::erase_if(cycleFaults_, [&](LiveCycleFault& live) {
        const CycleFault& f = live.fault;
        if ((f.aggregate && *f.aggregate != aggregate) || (f.proc && *f.proc != proc)) return false;
        if (f.tappedProcess || !f.nameContains.empty()) {
            if (!subject) subject = subjectOf({.call = Call::deviceStart, .object = aggregate});
            if (!aimsAt(f.tappedProcess, f.nameContains, *subject)) return false;
        }
        if (++live.seen < f.onCycle) return false;
        switch (f.kind) {
            case CycleFault::Kind::overload:
                result.late = true;
                break;
            case CycleFault::Kind::dropInput:
                result.inputDropped = true;
                break;
            case CycleFault::Kind::skip:
                result.skipped = true;
                break;
        }
        return live.seen >= f.onCycle + f.cycles - 1;  // spent
    });
    return result;
}

double SimulatedAudioSystem::runCycle(Clock& clock) {
    const std::lock_guard io(clock.io);

    // One IO procedure's call this cycle, with buffers it owns.
    struct PendingCall {
        AudioDeviceIOBlock block;
        std::vector<std::vector<float>> storage;
        std::vector<AudioBuffer> inputs;
        std::vector<AudioBuffer> outputs;
        std::size_t outputStorage = 0;  // index of the first output buffer's storage
        AudioObjectID aggregate = hal::unknownObject;
        bool late = false;  // what it wrote misses the cycle
    };
    std::vector<PendingCall> calls;
    std::vector<float> mix;
    std::size_t frames = 0;
    std::size_t outChannels = 0;
    const Device* speakerDevice = nullptr;
    std::vector<std::uint32_t> outputStreams;
    double rate = 0;
    {
        const std::lock_guard lock(mutex_);
        rate = tapFormat_.sampleRate;
        frames = 512;
        const auto d = devices_.find(clock.device);
        if (d != devices_.end()) {
            rate = d->second.spec.sampleRate;
            frames = d->second.spec.bufferFrames;
        }
        if (!serverRunning_ || (d != devices_.end() && !d->second.alive))
            return double(frames) / rate;
        if (d != devices_.end()) {
            speakerDevice = &d->second;
            outChannels = d->second.outputChannels();
            outputStreams = d->second.spec.outputStreams;
        }
        const std::int64_t t0 = clock.sampleTime;

        // What a playing process sends this cycle, stereo interleaved. Only
        // what this device plays or taps is rendered, and under the lock every
        // other clock waits for: rendering every process on every device
        // starved the clients of a world with hundreds of devices.
        std::map<AudioObjectID, std::vector<float>> rendered;
        const auto render = [&](AudioObjectID id, const Process& p) -> const std::vector<float>& {
            auto [out, fresh] = rendered.try_emplace(id);
            if (!fresh) return out->second;
            out->second.resize(frames * 2);
            for (std::size_t i = 0; i < frames; ++i) {
                for (int c = 0; c < 2; ++c) {
                    out->second[i * 2 + std::size_t(c)] =
                        p.spec.signal.sample(t0 + std::int64_t(i), rate, c, p.seed);
                }
            }
            return out->second;
        };

        if (speakerDevice) {
            mix.assign(frames * outChannels, 0.0f);
            for (const auto& [id, p] : processes_) {
                if (!p.spec.playing || isMuted(id, p)) continue;
                bool playsHere = false;
                if (p.spec.outputDeviceUIDs.empty()) {
                    playsHere = defaultOutput_ == clock.device;
                } else {
                    playsHere =
                        std::ranges::count(p.spec.outputDeviceUIDs, speakerDevice->spec.uid) > 0;
                }
                if (!playsHere || outChannels == 0) continue;
                const auto& s = render(id, p);
                for (std::size_t i = 0; i < frames; ++i) {
                    if (outChannels == 1) {
                        mix[i] += (s[i * 2] + s[i * 2 + 1]) * 0.5f;
                    } else {
                        mix[i * outChannels] += s[i * 2];
                        mix[i * outChannels + 1] += s[i * 2 + 1];
                    }
                }
            }
        }

        for (const auto& [aggregateID, a] : aggregates_) {
            const AudioObjectID clocked =
                a.mainDevice == hal::unknownObject ? aggregateID : a.mainDevice;
            if (clocked != clock.device) continue;
            for (const auto& [procID, proc] : a.procs) {
                if (!proc.started) continue;
                const CycleDisturbance disturbed = disturbance(aggregateID, procID);
                if (disturbed.skipped) continue;
                PendingCall call;
                call.block = proc.block;
                call.aggregate = aggregateID;
                call.late = disturbed.late;
                std::vector<std::uint32_t> inStreams;
                if (speakerDevice) inStreams = speakerDevice->spec.inputStreams;
                const std::size_t deviceInputs = inStreams.size();
                inStreams.insert(inStreams.end(), a.taps.size(), tapChannels);
                call.storage.reserve(inStreams.size() + outputStreams.size());
                for (std::size_t s = 0; s < inStreams.size(); ++s) {
                    std::vector<float> samples(frames * inStreams[s], 0.0f);
                    if (s >= deviceInputs && capturePermission_ && !disturbed.inputDropped) {
                        const Tap& tap = taps_.at(a.taps[s - deviceInputs]);
                        for (const auto& [pid, p] : processes_) {
                            if (!p.spec.playing || !p.captureAllowed ||
                                !tapIncludes(tap.description, pid, &p)) {
                                continue;
                            }
                            const auto& r = render(pid, p);
                            for (std::size_t k = 0; k < samples.size(); ++k) samples[k] += r[k];
                        }
                    }
                    call.storage.push_back(std::move(samples));
                    const bool on = proc.streamIsOn.empty() || proc.streamIsOn[s] != 0;
                    call.inputs.push_back({inStreams[s],
                                           static_cast<std::uint32_t>(frames * inStreams[s] * 4),
                                           on ? call.storage.back().data() : nullptr});
                }
                call.outputStorage = call.storage.size();
                for (std::uint32_t channels : outputStreams) {
                    call.storage.emplace_back(frames * channels, 0.0f);
                    call.outputs.push_back({channels,
                                            static_cast<std::uint32_t>(frames * channels * 4),
                                            call.storage.back().data()});
                }
                calls.push_back(std::move(call));
            }
        }
    }

    std::function<void(const std::function<void()>&)> wrapper;
    {
        const std::lock_guard lock(mutex_);
        wrapper = ioCallWrapper_;
    }
    for (PendingCall& call : calls) {
        const AudioBufferList input{call.inputs};
        const AudioBufferList output{call.outputs};
        const AudioBufferList* in = call.inputs.empty() ? nullptr : &input;
        if (wrapper) {
            wrapper([&] { call.block(in, output); });
        } else {
            call.block(in, output);
        }
    }

    const std::lock_guard lock(mutex_);
    for (const PendingCall& call : calls) {
        if (call.late && aggregates_.contains(call.aggregate))
            notify(call.aggregate, sel::processorOverload);
    }
    if (speakerDevice) {
        // The device may have been removed while the blocks ran.
        const auto d = devices_.find(clock.device);
        if (d != devices_.end() && d->second.alive) {
            for (const PendingCall& call : calls) {
                if (call.late) continue;
                std::size_t firstChannel = 0;
                for (std::size_t b = 0; b < call.outputs.size(); ++b) {
                    const auto& samples = call.storage[call.outputStorage + b];
                    const std::size_t channels = call.outputs[b].channelCount;
                    for (std::size_t i = 0; i < frames; ++i) {
                        for (std::size_t c = 0; c < channels; ++c) {
                            mix[i * outChannels + firstChannel + c] += samples[i * channels + c];
                        }
                    }
                    firstChannel += channels;
                }
            }
            auto& speaker = d->second.speaker;
            speaker.insert(speaker.end(), mix.begin(), mix.end());
            const auto cap =
                static_cast<std::size_t>(speakerSeconds * d->second.spec.sampleRate) * outChannels;
            if (speaker.size() > cap)
                speaker.erase(speaker.begin(), speaker.end() - std::ptrdiff_t(cap));
        }
    }
    clock.sampleTime += std::int64_t(frames);
    clock.cycles.fetch_add(1);
    return double(frames) / rate;
}

}  // namespace sonvel::sim
