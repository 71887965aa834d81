#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <string>

namespace sonvel {

// The application's own user-defaults domain: one binary value per key.
// Failures are whole sentences naming the file and the system's reason.
class PreferencesStore {
  public:
    virtual ~PreferencesStore() = default;
    // None when the key was never written.
    [[nodiscard]] virtual std::expected<std::optional<std::string>, std::string> data(
        const std::string& key) const = 0;
    // Written completely or not at all.
    virtual std::expected<void, std::string> setData(const std::string& key,
                                                     const std::string& bytes) = 0;
    // Keeps `bytes` beside the store, under a name that carries `when` and
    // never replaces an earlier copy; gives where the copy is.
    virtual std::expected<std::string, std::string> keepCopy(
        const std::string& bytes, std::chrono::system_clock::time_point when) = 0;
};

}  // namespace sonvel
