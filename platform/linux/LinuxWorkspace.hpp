#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Sonvel/Workspace.hpp"
#include "tap/DispatchQueue.hpp"

namespace sonvel {

// The Linux desktop: sleep and wake from systemd-logind's PrepareForSleep
// signal on the system bus (nothing where there is no such bus), the
// desktop's own sound settings app, started detached so nothing waits for
// it, and a relaunch that starts this program again with its arguments.
// Linux desktops have no audio-capture privacy pane, so there is none to open.
class LinuxWorkspace final : public Workspace {
  public:
    // Each part defaults to the real desktop's.
    struct Options {
        // XDG_CURRENT_DESKTOP.
        std::optional<std::string> desktop;
        // Whether a program is on PATH.
        std::function<bool(const std::string&)> isInstalled;
        // Starts a command without waiting for it; false when it could not.
        std::function<bool(const std::vector<std::string>&)> launch;
        // This program and its arguments, as a relaunch repeats them: the
        // executable, then the arguments it was started with.
        std::optional<std::vector<std::string>> command;
    };

    LinuxWorkspace(std::shared_ptr<DispatchQueue> mainQueue, std::function<void()> quit,
                   Options options = {});
    ~LinuxWorkspace() override;

    void observeSleep(std::function<void()> willSleep, std::function<void()> didWake) override;
    bool openSoundSettings() override;
    [[nodiscard]] std::optional<std::string> soundSettingsUnavailableReason() const override;
    bool openPrivacySettings() override { return false; }
    void relaunch(std::function<void()> then) override;
    void terminate() override;

    // Whether the system bus could be reached for sleep notifications.
    [[nodiscard]] bool watchesSleep() const { return watching_.load(); }
    // What a relaunch starts.
    [[nodiscard]] std::vector<std::string> relaunchCommand() const;

  private:
    std::shared_ptr<DispatchQueue> mainQueue_;
    std::function<void()> quit_;
    Options options_;
    std::atomic<bool> watching_{false};
    std::jthread busThread_;
};

}  // namespace sonvel
