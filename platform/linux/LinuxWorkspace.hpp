#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "Sonvel/Workspace.hpp"
#include "tap/DispatchQueue.hpp"

namespace sonvel {

// The Linux desktop: sleep and wake from systemd-logind's PrepareForSleep
// signal on the system bus (nothing where there is no such bus), URLs through
// xdg-open, the desktop's own sound settings where one is installed, and a
// relaunch that starts this program again.
//
// Linux desktops have no audio-capture privacy pane, so the privacy-settings
// URLs simply find nothing to open; the simulated audio system's permission
// switch stands in for the permission.
class LinuxWorkspace final : public Workspace {
  public:
    LinuxWorkspace(std::shared_ptr<DispatchQueue> mainQueue, std::function<void()> quit);
    ~LinuxWorkspace() override;

    void observeSleep(std::function<void()> willSleep, std::function<void()> didWake) override;
    bool open(const std::string& url) override;
    bool openDesktopSoundSettings() override;
    void relaunch(std::function<void()> then) override;
    void terminate() override;

    // Whether the system bus could be reached for sleep notifications.
    [[nodiscard]] bool watchesSleep() const { return watching_.load(); }

  private:
    std::shared_ptr<DispatchQueue> mainQueue_;
    std::function<void()> quit_;
    std::atomic<bool> watching_{false};
    std::jthread busThread_;
};

}  // namespace sonvel
