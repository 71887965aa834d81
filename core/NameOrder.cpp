#include "core/NameOrder.hpp"

#include <utf8proc.h>

#include <cstdlib>
#include <memory>

namespace sonvel::NameOrder {

namespace {

struct FreeDeleter {
    void operator()(utf8proc_uint8_t* p) const { std::free(p); }
};

// Runs utf8proc_map, or gives nothing when the text is not valid UTF-8.
bool mapped(std::string_view text, int options, std::string& out) {
    utf8proc_uint8_t* raw = nullptr;
    const utf8proc_ssize_t length = utf8proc_map(
        reinterpret_cast<const utf8proc_uint8_t*>(text.data()),
        static_cast<utf8proc_ssize_t>(text.size()), &raw, static_cast<utf8proc_option_t>(options));
    std::unique_ptr<utf8proc_uint8_t, FreeDeleter> owned(raw);
    if (length < 0) return false;
    out.assign(reinterpret_cast<const char*>(owned.get()), static_cast<std::size_t>(length));
    return true;
}

std::string lowerEachCodePoint(std::string_view composed) {
    std::string out;
    out.reserve(composed.size());
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(composed.data());
    utf8proc_ssize_t offset = 0;
    const auto size = static_cast<utf8proc_ssize_t>(composed.size());
    while (offset < size) {
        utf8proc_int32_t codePoint = 0;
        const utf8proc_ssize_t read = utf8proc_iterate(bytes + offset, size - offset, &codePoint);
        if (read <= 0) return std::string(composed);
        offset += read;
        utf8proc_uint8_t encoded[4];
        const utf8proc_ssize_t written = utf8proc_encode_char(utf8proc_tolower(codePoint), encoded);
        out.append(reinterpret_cast<const char*>(encoded), static_cast<std::size_t>(written));
    }
    return out;
}

}  // namespace

std::string lowercased(std::string_view text) {
    std::string composed;
    if (!mapped(text, UTF8PROC_STABLE | UTF8PROC_COMPOSE, composed)) return std::string(text);
    return lowerEachCodePoint(composed);
}

Key key(std::string_view displayName) {
    Key result;
    result.lower = lowercased(displayName);
    if (!mapped(displayName,
                UTF8PROC_STABLE | UTF8PROC_COMPAT | UTF8PROC_DECOMPOSE | UTF8PROC_CASEFOLD |
                    UTF8PROC_STRIPMARK,
                result.base)) {
        result.base = result.lower;
    }
    return result;
}

}  // namespace sonvel::NameOrder
