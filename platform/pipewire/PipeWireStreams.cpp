// Taps, aggregates and IO procedures: our stream pairs and the real-time
// callback. Which streams move into them is PipeWireRouting.cpp's.

#include <fmt/format.h>
#include <spa/debug/types.h>
#include <spa/param/audio/type-info.h>

#include <algorithm>
#include <thread>

#include "platform/pipewire/PipeWireState.hpp"

namespace sonvel::pw {

using State = PipeWireAudioSystem::State;

namespace {

// One IO cycle. Runs on PipeWire's real-time thread: no allocation, no lock,
// no system call. The buffers are PipeWire's own, handed to the procedure
// without a copy.
void runCycle(IOState& io, pw_buffer* in, pw_buffer* out) {
    AudioBuffer input{};
    AudioBuffer output{};
    std::uint32_t frames = 0;
    if (in && in->buffer->n_datas > 0) {
        const spa_data& d = in->buffer->datas[0];
        if (d.data && d.chunk) {
            const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
            const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
            frames = size / 8;
            input = {2, frames * 8, static_cast<float*>(SPA_PTROFF(d.data, offset, void))};
        }
    }
    spa_data* od = out && out->buffer->n_datas > 0 ? &out->buffer->datas[0] : nullptr;
    const std::uint32_t stride = 4 * io.outputChannels;
    if (od && od->data && stride > 0) {
        const std::uint32_t room = od->maxsize / stride;
        std::uint32_t wanted = in ? frames : room;
        if (!in && out->requested > 0) wanted = std::uint32_t(out->requested);
        frames = std::min(wanted, room);
        output = {io.outputChannels, frames * stride, static_cast<float*>(od->data)};
    }
    const AudioBufferList inputs{std::span(&input, input.data ? 1 : 0)};
    const AudioBufferList outputs{std::span(&output, output.data ? 1 : 0)};
    bool rendered = false;
    if (io.running.load(std::memory_order_acquire)) {
        io.inside.fetch_add(1, std::memory_order_acq_rel);
        // Checked again inside, so a stop that waits for `inside` to drain
        // knows no later call begins.
        if (io.running.load(std::memory_order_acquire)) {
            io.block(input.data ? &inputs : nullptr, outputs);
            rendered = true;
        }
        io.inside.fetch_sub(1, std::memory_order_acq_rel);
    }
    if (output.data && !rendered) std::fill_n(output.data, frames * io.outputChannels, 0.0f);
    if (od && od->chunk) {
        od->chunk->offset = 0;
        od->chunk->stride = std::int32_t(stride);
        od->chunk->size = output.byteSize;
    }
    io.cycles.fetch_add(1, std::memory_order_relaxed);
}

void onCaptureProcess(void* data) {
    auto* io = static_cast<IOState*>(data);
    if (io->playback) {
        // The playback side dequeues both buffers, once our input is ready.
        pw_stream_trigger_process(io->playback);
        return;
    }
    pw_buffer* in = pw_stream_dequeue_buffer(io->capture);
    if (!in) return;
    runCycle(*io, in, nullptr);
    pw_stream_queue_buffer(io->capture, in);
}

void onPlaybackProcess(void* data) {
    auto* io = static_cast<IOState*>(data);
    pw_buffer* in = pw_stream_dequeue_buffer(io->capture);
    pw_buffer* out = pw_stream_dequeue_buffer(io->playback);
    runCycle(*io, in, out);
    if (in) pw_stream_queue_buffer(io->capture, in);
    if (out) pw_stream_queue_buffer(io->playback, out);
}

void onStateChanged(void* data, pw_stream_state, pw_stream_state state, const char*) {
    auto* io = static_cast<IOState*>(data);
    if (state == PW_STREAM_STATE_ERROR && !io->failed.exchange(true) && io->onError) {
        io->onError();
    }
}

const pw_stream_events captureEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.process = onCaptureProcess;
    return e;
}();

const pw_stream_events playbackEvents = [] {
    pw_stream_events e{};
    e.version = PW_VERSION_STREAM_EVENTS;
    e.state_changed = onStateChanged;
    e.process = onPlaybackProcess;
    return e;
}();

std::uint32_t channelPosition(const std::string& name) {
    const spa_type_info* info = spa_debug_type_find_short(spa_type_audio_channel, name.c_str());
    return info ? info->type : std::uint32_t(SPA_AUDIO_CHANNEL_UNKNOWN);
}

// Interleaved 32-bit float at `rate`, with the given channel positions.
const spa_pod* floatFormat(spa_pod_builder& builder, double rate,
                           const std::vector<std::string>& positions, std::uint32_t channels) {
    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = std::uint32_t(rate);
    info.channels = std::min<std::uint32_t>(channels, SPA_AUDIO_MAX_CHANNELS);
    std::vector<std::string> names = positions;
    if (names.size() != info.channels) {
        names = info.channels == 1   ? std::vector<std::string>{"MONO"}
                : info.channels == 2 ? std::vector<std::string>{"FL", "FR"}
                                     : std::vector<std::string>{};
    }
    if (names.size() == info.channels) {
        for (std::uint32_t i = 0; i < info.channels; ++i)
            info.position[i] = channelPosition(names[i]);
    } else {
        info.flags |= SPA_AUDIO_FLAG_UNPOSITIONED;
    }
    return spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info);
}

}  // namespace

const NodeInfo* State::listenedStream(const AggregateObject& a) const {
    for (const AudioObjectID id : a.taps) {
        const auto t = taps.find(id);
        if (t == taps.end() || t->second.description.muteBehavior != TapDescription::unmuted)
            continue;
        for (const auto& [nodeID, node] : nodes) {
            if (!node->serial.empty() && covers(t->second, *node)) return node.get();
        }
    }
    return nullptr;
}

OSStatus State::startIO(AudioObjectID aggregateID, AggregateObject& a, AudioDeviceIOBlock block) {
    const NodeInfo* out = a.outputUID ? sinkNamed(*a.outputUID) : nullptr;
    if (a.outputUID && !out) return hal::badDeviceError;
    auto io = std::make_shared<IOState>();
    io->block = std::move(block);
    // In the sink's own layout: the render path maps stereo to it with the
    // same coefficients the server's adapter uses for the application when
    // Sonvel is not there (a stereo adapter in front of a mono sink would
    // sum instead, 3 dB louder).
    io->outputChannels = out ? channelsOf(*out) : 0;
    if (out) io->sinkName = out->name;
    const std::string group = fmt::format("{}group.{}.{}", ownNodePrefix, ownPID, aggregateID);
    io->captureName = fmt::format("{}tap.{}.{}", ownNodePrefix, ownPID, aggregateID);
    io->playbackName = fmt::format("{}play.{}.{}", ownNodePrefix, ownPID, aggregateID);
    io->onError = [this, aggregateID] { notify(aggregateID, hal::selector::ioStoppedAbnormally); };

    std::uint8_t storage[1024];
    // A probe listens to what the default output plays; an engine's capture
    // is linked only to the streams moved into it.
    pw_properties* captureProps =
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_NODE_NAME, io->captureName.c_str(), PW_KEY_NODE_DESCRIPTION,
                          a.name.c_str(), PW_KEY_NODE_GROUP, group.c_str(), nullptr);
    if (!out) {
        // An unmuted tap on named processes listens to their own stream
        // beside the sink, which the session manager links as it links a
        // recorder aimed at a stream; anything else hears the default
        // output's mix.
        if (const NodeInfo* stream = listenedStream(a)) {
            pw_properties_set(captureProps, PW_KEY_TARGET_OBJECT, stream->serial.c_str());
        } else {
            pw_properties_set(captureProps, PW_KEY_STREAM_CAPTURE_SINK, "true");
        }
    }
    io->capture = pw_stream_new(core, a.name.c_str(), captureProps);
    if (!io->capture) return hal::unspecifiedError;
    pw_stream_add_listener(io->capture, &io->captureHook, &captureEvents, io.get());
    if (out) {
        pw_properties* playbackProps = pw_properties_new(
            PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_NODE_NAME,
            io->playbackName.c_str(), PW_KEY_NODE_DESCRIPTION, a.name.c_str(), PW_KEY_NODE_GROUP,
            group.c_str(), PW_KEY_TARGET_OBJECT, out->name.c_str(), PW_KEY_NODE_DONT_RECONNECT,
            "true", nullptr);
        io->playback = pw_stream_new(core, a.name.c_str(), playbackProps);
        if (!io->playback) {
            a.io = io;
            stopIO(a);
            return hal::unspecifiedError;
        }
        pw_stream_add_listener(io->playback, &io->playbackHook, &playbackEvents, io.get());
    }
    a.io = io;
    io->running.store(true, std::memory_order_release);

    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
    const spa_pod* captureFormat = floatFormat(builder, rate, {"FL", "FR"}, 2);
    const auto rtFlags = pw_stream_flags(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    int failed = pw_stream_connect(
        io->capture, PW_DIRECTION_INPUT, PW_ID_ANY,
        pw_stream_flags(rtFlags | (out ? 0 : PW_STREAM_FLAG_AUTOCONNECT)), &captureFormat, 1);
    if (failed >= 0 && out) {
        const spa_pod* playbackFormat =
            floatFormat(builder, rate, out->positions, io->outputChannels);
        failed = pw_stream_connect(
            io->playback, PW_DIRECTION_OUTPUT, PW_ID_ANY,
            pw_stream_flags(rtFlags | PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_TRIGGER),
            &playbackFormat, 1);
    }
    if (failed < 0) {
        stopIO(a);
        return hal::unspecifiedError;
    }
    for (const AudioObjectID tap : a.taps) engage(tap);
    return hal::noError;
}

void State::stopIO(AggregateObject& a) {
    if (!a.io) return;
    IOState& io = *a.io;
    io.running.store(false, std::memory_order_release);
    // Once this returns the procedure is not called again.
    while (io.inside.load(std::memory_order_acquire) > 0) std::this_thread::yield();
    for (const AudioObjectID tap : a.taps) release(tap);
    if (io.playback) {
        spa_hook_remove(&io.playbackHook);
        pw_stream_destroy(io.playback);
    }
    if (io.capture) {
        spa_hook_remove(&io.captureHook);
        pw_stream_destroy(io.capture);
    }
    io.onError = nullptr;
    a.io.reset();
}

}  // namespace sonvel::pw
