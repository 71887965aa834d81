#include "tap/Uuid.hpp"

#include <fmt/format.h>

#include <mutex>
#include <random>

namespace sonvel::Uuid {

std::string make() {
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    std::uint64_t high, low;
    {
        const std::lock_guard lock(mutex);
        high = random();
        low = random();
    }
    high = (high & ~0xF000ULL) | 0x4000ULL;                        // version 4
    low = (low & ~0xC000000000000000ULL) | 0x8000000000000000ULL;  // RFC 4122 variant
    return fmt::format("{:08X}-{:04X}-{:04X}-{:04X}-{:012X}", high >> 32, (high >> 16) & 0xFFFF,
                       high & 0xFFFF, low >> 48, low & 0xFFFFFFFFFFFFULL);
}

}  // namespace sonvel::Uuid
