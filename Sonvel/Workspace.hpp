#pragma once

#include <expected>
#include <functional>
#include <string>

namespace sonvel {

// The desktop around the application: sleep and wake, opening URLs and
// starting a new instance of the application.
class Workspace {
  public:
    virtual ~Workspace() = default;
    // Both are called on the main queue.
    virtual void observeSleep(std::function<void()> willSleep, std::function<void()> didWake) = 0;
    // False when nothing could open it.
    virtual bool open(const std::string& url) = 0;
    // The desktop's own sound settings, for when no settings URL opens.
    virtual bool openDesktopSoundSettings() = 0;
    // Starts a new instance, then calls `then` on the main queue whatever happened.
    virtual void relaunch(std::function<void()> then) = 0;
    virtual void terminate() = 0;
};

// Whether the application starts when the user logs in; the system keeps it.
class LoginItem {
  public:
    virtual ~LoginItem() = default;
    // Fails with a sentence for the user.
    virtual std::expected<void, std::string> setEnabled(bool enabled) = 0;
    [[nodiscard]] virtual bool isEnabled() const = 0;
};

}  // namespace sonvel
