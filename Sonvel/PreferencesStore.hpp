#pragma once

#include <optional>
#include <string>

namespace sonvel {

// The application's own user-defaults domain: one binary value per key.
class PreferencesStore {
  public:
    virtual ~PreferencesStore() = default;
    [[nodiscard]] virtual std::optional<std::string> data(const std::string& key) const = 0;
    virtual void setData(const std::string& key, const std::string& bytes) = 0;
};

}  // namespace sonvel
