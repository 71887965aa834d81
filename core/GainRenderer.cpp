#include "core/GainRenderer.hpp"

#include <utility>

#include "core/RenderKernel.hpp"

namespace sonvel {

GainRenderer::GainRenderer(std::shared_ptr<GainControl> control, std::shared_ptr<EngineMeter> meter,
                           std::shared_ptr<SegmentedMeter> segments)
    : control_(std::move(control)),
      meter_(std::move(meter)),
      segments_(std::move(segments)),
      currentGain_(control_->state().gain),
      lastSegment_(control_->state().segment) {}

RenderStats GainRenderer::process(const AudioBufferList* input, std::int64_t firstInputBuffer,
                                  const AudioBufferList& output) {
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
