#pragma once

#include <filesystem>

#include "Sonvel/Workspace.hpp"

namespace sonvel {

// Launch at login as a freedesktop.org autostart entry in the user's
// configuration folder ($XDG_CONFIG_HOME, or ~/.config).
class XdgLoginItem final : public LoginItem {
  public:
    // `configHome` and `executable` default to the user's and this program's.
    explicit XdgLoginItem(std::filesystem::path configHome = {},
                          std::filesystem::path executable = {});

    std::expected<void, std::string> setEnabled(bool enabled) override;
    [[nodiscard]] bool isEnabled() const override;

    [[nodiscard]] const std::filesystem::path& entry() const { return entry_; }

  private:
    std::filesystem::path entry_;
    std::filesystem::path executable_;
};

}  // namespace sonvel
