#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/MeterSnapshot.hpp"
#include "core/RenderStats.hpp"

namespace sonvel {

// Lock-free accumulator written by one IO thread and drained by readers on
// other threads. Every word is independent; one cycle may be split across two
// consecutive snapshots, but none is lost or counted twice.
class EngineMeter {
  public:
    EngineMeter() = default;
    EngineMeter(const EngineMeter&) = delete;
    EngineMeter& operator=(const EngineMeter&) = delete;

    // Real-time safe: a fixed number of atomic operations, nothing else.
    void record(const RenderStats& stats);
    MeterSnapshot takeSnapshot();

    [[nodiscard]] std::uint64_t totalCallbacks() const;
    [[nodiscard]] std::uint64_t totalInputNonZeroSamples() const;
    // Whether the latest callback's input held a non-zero sample.
    [[nodiscard]] bool lastInputHeard() const {
        return lastInputHeard_.load(std::memory_order_relaxed);
    }

    // Sums of squares are held in millionths so that they can be added
    // atomically. A sum that is not finite (a NaN or infinite sample) has no
    // such form and adds nothing; a finite sum too large for the counter adds
    // the largest amount one cycle may contribute.
    static std::uint64_t fixedPoint(double sumOfSquares);

  private:
    std::atomic<std::uint64_t> callbacks_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::atomic<std::uint64_t> inputNonZero_{0};
    std::atomic<std::uint64_t> inputSamples_{0};
    std::atomic<std::uint64_t> outputSamples_{0};
    std::atomic<std::uint64_t> inputSquares_{0};
    std::atomic<std::uint64_t> outputSquares_{0};
    std::atomic<std::uint32_t> inputPeakBits_{0};
    std::atomic<std::uint32_t> outputPeakBits_{0};
    std::atomic<std::uint64_t> inputNonZeroEver_{0};
    std::atomic<std::uint64_t> callbacksEver_{0};
    std::atomic<bool> lastInputHeard_{false};
};

// Splits a live test's measurements by segment. Cycles that are not steady
// (a ramp in progress, a segment change) or name no known segment go to
// `transitions`, so each segment meter sees only settled audio.
class SegmentedMeter {
  public:
    explicit SegmentedMeter(long segmentCount);

    void record(const RenderStats& stats, std::uint32_t segment, bool steady);

    [[nodiscard]] const std::vector<std::shared_ptr<EngineMeter>>& segments() const {
        return segments_;
    }
    [[nodiscard]] const std::shared_ptr<EngineMeter>& transitions() const { return transitions_; }

  private:
    std::vector<std::shared_ptr<EngineMeter>> segments_;
    std::shared_ptr<EngineMeter> transitions_;
};

}  // namespace sonvel
