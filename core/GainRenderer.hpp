#pragma once

#include <cstdint>
#include <memory>

#include "core/AudioBufferList.hpp"
#include "core/EngineMeter.hpp"
#include "core/EngineTakeover.hpp"
#include "core/GainControl.hpp"
#include "core/RenderStats.hpp"

namespace sonvel {

// The per-engine state of the IO callback: it remembers the gain reached and
// the segment in force at the end of the previous cycle. After construction it
// is used only from the engine's IO thread, so its own fields need no
// synchronisation; it reads the control word once per cycle and writes only
// the meters' atomics.
class GainRenderer {
  public:
    GainRenderer(std::shared_ptr<GainControl> control, std::shared_ptr<EngineMeter> meter,
                 std::shared_ptr<SegmentedMeter> segments = nullptr);

    // Before IO starts: this engine replaces another (see EngineTakeover).
    void takeOver(std::shared_ptr<EngineTakeover> takeover) { takeover_ = std::move(takeover); }

    // Real-time safe: no allocation, lock, log or system call.
    RenderStats process(const AudioBufferList* input, std::int64_t firstInputBuffer,
                        const AudioBufferList& output);

    [[nodiscard]] const std::shared_ptr<GainControl>& control() const { return control_; }
    [[nodiscard]] const std::shared_ptr<EngineMeter>& meter() const { return meter_; }
    [[nodiscard]] const std::shared_ptr<SegmentedMeter>& segments() const { return segments_; }

  private:
    std::shared_ptr<GainControl> control_;
    std::shared_ptr<EngineMeter> meter_;
    std::shared_ptr<SegmentedMeter> segments_;
    std::shared_ptr<EngineTakeover> takeover_;
    float currentGain_;
    std::uint32_t lastSegment_;
    bool hasRendered_ = false;
};

}  // namespace sonvel
