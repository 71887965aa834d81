#pragma once

#include <atomic>
#include <cstdint>

namespace sonvel {

// Hands a target gain and a measurement segment from control threads to the
// real-time IO thread in one 64-bit word: the gain's bits in the low half, the
// segment in the high half, so the two are always written and read together.
// Shared (through std::shared_ptr) by the engine, its renderer and whoever
// adjusts the gain.
class GainControl {
  public:
    struct State {
        float gain = 0.0f;  // finite, within [0, 1]
        std::uint32_t segment = 0;

        bool operator==(const State&) const = default;
    };

    explicit GainControl(float gain = 1.0f, std::uint32_t segment = 0);
    GainControl(const GainControl&) = delete;
    GainControl& operator=(const GainControl&) = delete;

    [[nodiscard]] float target() const;
    [[nodiscard]] State state() const;

    // Replaces the gain only; a segment written concurrently is kept.
    void set(float gain);
    void set(float gain, std::uint32_t segment);

    // NaN, infinities, zeros and negatives become +0; anything else is capped
    // at 1, so the control can never amplify.
    static float sanitized(float gain);

  private:
    static std::uint64_t pack(float gain, std::uint32_t segment);

    std::atomic<std::uint64_t> packed_;
    static_assert(std::atomic<std::uint64_t>::is_always_lock_free);
};

}  // namespace sonvel
