#pragma once

#include <expected>
#include <functional>
#include <optional>
#include <string>

namespace sonvel {

// The desktop around the application: sleep and wake, its settings apps and
// starting a new instance of the application.
class Workspace {
  public:
    virtual ~Workspace() = default;
    // Both are called on the main queue.
    virtual void observeSleep(std::function<void()> willSleep, std::function<void()> didWake) = 0;
    // Starts the desktop's own sound settings without waiting for them; false
    // when none could be started.
    virtual bool openSoundSettings() = 0;
    // A sentence saying why there are no sound settings to open; none when
    // there are, so the buttons can be disabled with the reason.
    [[nodiscard]] virtual std::optional<std::string> soundSettingsUnavailableReason() const = 0;
    // The system's privacy settings for audio capture; false where it has none.
    virtual bool openPrivacySettings() = 0;
    // Starts a new instance with this one's arguments, then calls `then` on
    // the main queue whatever happened.
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
    // Calls `changed`, on any thread, whenever the item may have been changed
    // outside the application (another program, the user's file manager).
    // By default nothing else changes it.
    virtual void observe(std::function<void()> changed) { (void)changed; }
};

}  // namespace sonvel
