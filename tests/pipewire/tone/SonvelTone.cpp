// A playback client for the PipeWire tests: a sine on every channel, until
// SIGTERM or SIGINT. Tests hear it on the null sinks' monitors, so the sine
// must be clean: the phase carries over from one buffer to the next.
// With --burst-period-ms it plays short bursts instead, for timing.
#include <pipewire/pipewire.h>
#include <spa/node/io.h>
#include <spa/param/audio/format-utils.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <string>
#include <string_view>

namespace {

constexpr std::uint32_t kRate = 48000;
// Long enough to be found in a recording, short enough that a period of
// silence stays far longer than any delay being measured.
constexpr std::uint64_t kBurstFrames = kRate * 5 / 1000;
constexpr double kBurstFrequency = 1000.0;

struct Options {
    double frequency = 440.0;
    double amplitude = 0.5;
    std::uint32_t channels = 2;
    std::string name = "sonvel-tone";
    std::string target;
    std::string binary;
    std::uint32_t burstPeriodMs = 0;  // 0: a continuous sine
};

struct Tone {
    Options options;
    pw_main_loop* loop = nullptr;
    pw_stream* stream = nullptr;
    double phase = 0.0;  // radians, only touched on the data thread
    // The graph's clock: set when the stream's io changes, read by process,
    // possibly on two threads.
    std::atomic<spa_io_position*> position = nullptr;
    std::uint64_t ownFrames = 0;  // the clock while the graph gives none
    int status = 0;
    bool leaving = false;
};

// Bursts start where the driver's clock is a multiple of the period, not
// where this stream's own sample count is: a stream that is moved or paused
// misses cycles, and a burst timed by its own count would move by as much,
// which a recording would read as delay.
std::uint64_t clockFrame(Tone& tone) {
    const spa_io_position* position = tone.position.load(std::memory_order_acquire);
    if (position == nullptr || position->clock.rate.denom == 0) return tone.ownFrames;
    return position->clock.position * kRate * position->clock.rate.num / position->clock.rate.denom;
}

void fillBursts(Tone& tone, float* samples, std::uint64_t frames) {
    const std::uint32_t channels = tone.options.channels;
    const std::uint64_t period = std::uint64_t{kRate} * tone.options.burstPeriodMs / 1000;
    const std::uint64_t first = clockFrame(tone);
    // A cosine, so the first sample of a burst is already at full level.
    const double step = 2.0 * std::numbers::pi * kBurstFrequency / kRate;
    for (std::uint64_t frame = 0; frame < frames; ++frame) {
        const std::uint64_t into = (first + frame) % period;
        const float value =
            into < kBurstFrames
                ? static_cast<float>(tone.options.amplitude * std::cos(step * double(into)))
                : 0.0f;
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            samples[frame * channels + channel] = value;
        }
    }
    tone.ownFrames += frames;
}

void ioChanged(void* data, std::uint32_t id, void* area, std::uint32_t /*size*/) {
    if (id != SPA_IO_Position) return;
    static_cast<Tone*>(data)->position.store(static_cast<spa_io_position*>(area),
                                             std::memory_order_release);
}

void process(void* data) {
    auto* tone = static_cast<Tone*>(data);
    pw_buffer* buffer = pw_stream_dequeue_buffer(tone->stream);
    if (buffer == nullptr) return;
    spa_data& out = buffer->buffer->datas[0];
    if (out.data == nullptr) {
        pw_stream_queue_buffer(tone->stream, buffer);
        return;
    }
    const std::uint32_t channels = tone->options.channels;
    const auto stride = static_cast<std::uint32_t>(sizeof(float)) * channels;
    std::uint64_t frames = out.maxsize / stride;
    if (buffer->requested != 0 && buffer->requested < frames) frames = buffer->requested;

    auto* samples = static_cast<float*>(out.data);
    if (tone->options.burstPeriodMs > 0) {
        fillBursts(*tone, samples, frames);
        out.chunk->offset = 0;
        out.chunk->stride = static_cast<std::int32_t>(stride);
        out.chunk->size = static_cast<std::uint32_t>(frames * stride);
        pw_stream_queue_buffer(tone->stream, buffer);
        return;
    }
    const double step = 2.0 * std::numbers::pi * tone->options.frequency / kRate;
    for (std::uint64_t frame = 0; frame < frames; ++frame) {
        const auto value = static_cast<float>(tone->options.amplitude * std::sin(tone->phase));
        for (std::uint32_t channel = 0; channel < channels; ++channel) {
            samples[frame * channels + channel] = value;
        }
        tone->phase += step;
        // Wrapped so that precision does not drift over a long run.
        if (tone->phase >= 2.0 * std::numbers::pi) tone->phase -= 2.0 * std::numbers::pi;
    }
    out.chunk->offset = 0;
    out.chunk->stride = static_cast<std::int32_t>(stride);
    out.chunk->size = static_cast<std::uint32_t>(frames * stride);
    pw_stream_queue_buffer(tone->stream, buffer);
}

void quit(void* data, int /*signal*/) {
    auto* tone = static_cast<Tone*>(data);
    tone->leaving = true;
    pw_main_loop_quit(tone->loop);
}

// A restarted server does not take old clients back; a tone left behind
// would only hold its test's process slot, so it leaves with an error.
void stateChanged(void* data, pw_stream_state /*old*/, pw_stream_state state, const char* error) {
    auto* tone = static_cast<Tone*>(data);
    // A lost connection reads as "unconnected", not as an error.
    const bool lost = state == PW_STREAM_STATE_UNCONNECTED && !tone->leaving;
    if (state != PW_STREAM_STATE_ERROR && !lost) return;
    std::fprintf(stderr, "sonvel_tone: the stream is %s: %s\n", pw_stream_state_as_string(state),
                 error ? error : "no reason given");
    tone->status = 1;
    tone->leaving = true;
    pw_main_loop_quit(tone->loop);
}

int usage(const char* problem) {
    std::fprintf(stderr,
                 "sonvel_tone: %s\nusage: sonvel_tone [--frequency HZ] [--amplitude A] "
                 "[--channels 1|2|6] [--name NAME] [--target SINK] [--binary NAME] "
                 "[--burst-period-ms MS]\n",
                 problem);
    return 2;
}

bool parse(int argc, char** argv, Options& options, std::string& problem) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view flag = argv[i];
        if (i + 1 >= argc) {
            problem = std::string(flag) + " needs a value";
            return false;
        }
        const char* value = argv[++i];
        if (flag == "--frequency") {
            options.frequency = std::strtod(value, nullptr);
        } else if (flag == "--amplitude") {
            options.amplitude = std::strtod(value, nullptr);
        } else if (flag == "--channels") {
            options.channels = static_cast<std::uint32_t>(std::strtoul(value, nullptr, 10));
            if (options.channels != 1 && options.channels != 2 && options.channels != 6) {
                problem = "--channels must be 1, 2 or 6";
                return false;
            }
        } else if (flag == "--name") {
            options.name = value;
        } else if (flag == "--target") {
            options.target = value;
        } else if (flag == "--binary") {
            options.binary = value;
        } else if (flag == "--burst-period-ms") {
            const unsigned long period = std::strtoul(value, nullptr, 10);
            // The period must hold the burst and some silence after it.
            if (period < 10 || period > 60000) {
                problem = "--burst-period-ms must be between 10 and 60000";
                return false;
            }
            options.burstPeriodMs = static_cast<std::uint32_t>(period);
        } else {
            problem = "unknown option " + std::string(flag);
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Tone tone;
    std::string problem;
    if (!parse(argc, argv, tone.options, problem)) return usage(problem.c_str());
    const Options& options = tone.options;

    pw_init(&argc, &argv);
    tone.loop = pw_main_loop_new(nullptr);
    pw_loop* loop = pw_main_loop_get_loop(tone.loop);
    pw_loop_add_signal(loop, SIGINT, quit, &tone);
    pw_loop_add_signal(loop, SIGTERM, quit, &tone);

    // The binary name is a client property; set on the context so the node
    // carries it too, the way a real application's would.
    pw_properties* clientProps = pw_properties_new(PW_KEY_APP_NAME, options.name.c_str(), nullptr);
    if (!options.binary.empty()) {
        pw_properties_set(clientProps, PW_KEY_APP_PROCESS_BINARY, options.binary.c_str());
    }
    pw_context* context = pw_context_new(loop, clientProps, 0);
    pw_core* core = context ? pw_context_connect(context, nullptr, 0) : nullptr;
    if (core == nullptr) {
        std::fprintf(stderr, "sonvel_tone: cannot connect to PipeWire: %s\n", std::strerror(errno));
        return 1;
    }

    pw_properties* props = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_APP_NAME, options.name.c_str(), PW_KEY_NODE_NAME, options.name.c_str(),
        PW_KEY_NODE_DESCRIPTION, options.name.c_str(), nullptr);
    if (!options.binary.empty()) {
        pw_properties_set(props, PW_KEY_APP_PROCESS_BINARY, options.binary.c_str());
    }
    if (!options.target.empty())
        pw_properties_set(props, PW_KEY_TARGET_OBJECT, options.target.c_str());

    static const pw_stream_events events = {
        .version = PW_VERSION_STREAM_EVENTS,
        .state_changed = stateChanged,
        .io_changed = ioChanged,
        .process = process,
    };
    spa_hook listener{};
    tone.stream = pw_stream_new(core, options.name.c_str(), props);
    pw_stream_add_listener(tone.stream, &listener, &events, &tone);

    spa_audio_info_raw info{};
    info.format = SPA_AUDIO_FORMAT_F32;
    info.rate = kRate;
    info.channels = options.channels;
    if (options.channels == 1) {
        info.position[0] = SPA_AUDIO_CHANNEL_MONO;
    } else {
        const std::uint32_t layout[] = {SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR,
                                        SPA_AUDIO_CHANNEL_FC, SPA_AUDIO_CHANNEL_LFE,
                                        SPA_AUDIO_CHANNEL_RL, SPA_AUDIO_CHANNEL_RR};
        for (std::uint32_t channel = 0; channel < options.channels; ++channel) {
            info.position[channel] = layout[channel];
        }
    }
    std::uint8_t storage[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof(storage));
    const spa_pod* params[] = {spa_format_audio_raw_build(&builder, SPA_PARAM_EnumFormat, &info)};

    const auto flags = static_cast<pw_stream_flags>(
        PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
    if (pw_stream_connect(tone.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY, flags, params, 1) < 0) {
        std::fprintf(stderr, "sonvel_tone: the stream could not connect\n");
        return 1;
    }

    pw_main_loop_run(tone.loop);

    pw_stream_destroy(tone.stream);
    pw_core_disconnect(core);
    pw_context_destroy(context);
    pw_main_loop_destroy(tone.loop);
    pw_deinit();
    return tone.status;
}
