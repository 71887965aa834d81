#include "tap/CoreAudioError.hpp"

#include <fmt/format.h>

namespace sonvel {

namespace OSStatusFormatter {

std::optional<std::string> fourCharacterCode(std::uint32_t value) {
    std::string code;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const auto byte = static_cast<unsigned char>((value >> shift) & 0xFF);
        if (byte < 32 || byte > 126) return std::nullopt;
        code.push_back(static_cast<char>(byte));
    }
    return code;
}

std::string describe(OSStatus status) {
    if (auto code = fourCharacterCode(static_cast<std::uint32_t>(status))) {
        return fmt::format("'{}' ({})", *code, status);
    }
    return std::to_string(status);
}

}  // namespace OSStatusFormatter

std::string selectorName(AudioObjectPropertySelector selector) {
    return OSStatusFormatter::fourCharacterCode(selector).value_or(std::to_string(selector));
}

}  // namespace sonvel
