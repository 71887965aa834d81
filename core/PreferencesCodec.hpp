#pragma once

#include <optional>
#include <string>

#include "core/Preferences.hpp"

namespace sonvel::PreferencesCodec {

struct Decoded {
    Preferences preferences;
    // Why the stored document was not used, when it was not.
    std::optional<std::string> issue;

    bool operator==(const Decoded&) const = default;
};

// One line of JSON with sorted keys, keeping only entries that change something
// (or carry members a newer version wrote, which go back out as they came in).
// Positions are written and read through `sanitizedPosition`, so every
// document written decodes again; text that is not UTF-8 has its bad bytes
// replaced. Never fails.
std::string encode(const Preferences& preferences);

// Never fails: a document that cannot be used gives the defaults and an issue.
Decoded decode(const std::optional<std::string>& data);

}  // namespace sonvel::PreferencesCodec
