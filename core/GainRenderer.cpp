#include "core/GainRenderer.hpp"

#include <algorithm>
#include <span>
#include <utility>

#include "core/RenderKernel.hpp"

namespace sonvel {

namespace {

bool hasSound(const AudioBufferList* input, std::int64_t firstInputBuffer) {
    if (!input || firstInputBuffer < 0) return false;
    const auto& buffers = input->buffers;
    for (std::size_t b = std::size_t(firstInputBuffer); b < buffers.size(); ++b) {
        const AudioBuffer& buffer = buffers[b];
        if (!buffer.data) continue;
        const std::span samples(buffer.data, buffer.byteSize / sizeof(float));
        if (std::ranges::any_of(samples, [](float x) { return x != 0.0f; })) return true;
    }
    return false;
}

}  // namespace

GainRenderer::GainRenderer(std::shared_ptr<GainControl> control, std::shared_ptr<EngineMeter> meter,
                           std::shared_ptr<SegmentedMeter> segments)
    : control_(std::move(control)),
      meter_(std::move(meter)),
      segments_(std::move(segments)),
      currentGain_(control_->state().gain),
      lastSegment_(control_->state().segment) {}

RenderStats GainRenderer::process(const AudioBufferList* input, std::int64_t firstInputBuffer,
                                  const AudioBufferList& output) {
    if (takeover_ && !takeover_->done() &&
        takeover_->cycle(hasSound(input, firstInputBuffer), *control_)) {
        // The application was moved here, not copied: there is nothing to
        // crossfade with, so its first cycle here plays at its level.
        hasRendered_ = false;
    }
    const GainControl::State target = control_->state();
    if (!hasRendered_) {
        // The first cycle plays the target flat: there is nothing to ramp from.
        hasRendered_ = true;
        currentGain_ = target.gain;
    }
    const float from = currentGain_;
    const RenderStats stats =
        RenderKernel::render(input, firstInputBuffer, output, from, target.gain);
    const bool steady = from == target.gain && lastSegment_ == target.segment;
    currentGain_ = target.gain;
    lastSegment_ = target.segment;
    meter_->record(stats);
    if (segments_) segments_->record(stats, target.segment, steady);
    return stats;
}

}  // namespace sonvel
