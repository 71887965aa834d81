#pragma once

#include <filesystem>
#include <functional>
#include <thread>

#include "Sonvel/Workspace.hpp"

namespace sonvel {

// Launch at login as a freedesktop.org autostart entry in the user's
// configuration folder ($XDG_CONFIG_HOME, or ~/.config). Other programs (a
// desktop's startup-apps settings, a file manager) change the same file, so
// it is watched with inotify once observed.
class XdgLoginItem final : public LoginItem {
  public:
    // `configHome` and `executable` default to the user's and this program's.
    explicit XdgLoginItem(std::filesystem::path configHome = {},
                          std::filesystem::path executable = {});
    ~XdgLoginItem() override;
    XdgLoginItem(const XdgLoginItem&) = delete;
    XdgLoginItem& operator=(const XdgLoginItem&) = delete;

    std::expected<void, std::string> setEnabled(bool enabled) override;
    [[nodiscard]] bool isEnabled() const override;
    // Calls `changed` on a thread of its own after each change to the entry,
    // its folder appearing or going; until this item is destroyed.
    void observe(std::function<void()> changed) override;

    [[nodiscard]] const std::filesystem::path& entry() const { return entry_; }

  private:
    void stopWatching();

    std::filesystem::path entry_;
    std::filesystem::path executable_;
    std::jthread watcher_;
    int wake_ = -1;
};

}  // namespace sonvel
