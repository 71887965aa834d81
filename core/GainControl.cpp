#include "core/GainControl.hpp"

#include <bit>
#include <cmath>

namespace sonvel {

namespace {

constexpr std::uint64_t gainMask = 0xFFFF'FFFFull;

GainControl::State unpack(std::uint64_t word) {
    return {std::bit_cast<float>(static_cast<std::uint32_t>(word & gainMask)),
            static_cast<std::uint32_t>(word >> 32)};
}

}  // namespace

float GainControl::sanitized(float gain) {
    if (!std::isfinite(gain) || !(gain > 0.0f)) return 0.0f;
    return gain < 1.0f ? gain : 1.0f;
}

std::uint64_t GainControl::pack(float gain, std::uint32_t segment) {
    return (std::uint64_t{segment} << 32) | std::bit_cast<std::uint32_t>(sanitized(gain));
}

GainControl::GainControl(float gain, std::uint32_t segment) : packed_(pack(gain, segment)) {}

float GainControl::target() const {
    return state().gain;
}

GainControl::State GainControl::state() const {
    return unpack(packed_.load(std::memory_order_acquire));
}

void GainControl::set(float gain) {
    const std::uint64_t bits = std::bit_cast<std::uint32_t>(sanitized(gain));
    std::uint64_t old = packed_.load(std::memory_order_relaxed);
    while (!packed_.compare_exchange_weak(old, (old & ~gainMask) | bits, std::memory_order_release,
                                          std::memory_order_relaxed)) {
    }
}

void GainControl::set(float gain, std::uint32_t segment) {
    packed_.store(pack(gain, segment), std::memory_order_release);
}

}  // namespace sonvel
