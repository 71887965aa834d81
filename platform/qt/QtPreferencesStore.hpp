#pragma once

#include <string>

#include "Sonvel/PreferencesStore.hpp"

namespace sonvel {

// The user defaults in Qt's settings format, in the application's own domain
// (~/.config/velmorra/app.velmorra.sonvel.conf), or in a given file. The file
// is only ever opened once it is known to be a plain file, and replaced
// whole: a temporary file in the same folder, synced, then renamed over it
// (over its target, when it is a symbolic link, so the link stays).
class QtPreferencesStore final : public PreferencesStore {
  public:
    QtPreferencesStore();
    explicit QtPreferencesStore(std::string file);

    // Where Qt keeps the application's own settings for this user.
    static std::string userFile();
    [[nodiscard]] const std::string& file() const { return file_; }
    // Why the file cannot be read at all (a folder, FIFO, device or socket at
    // its path, or no permission); none when it can, or when there is none.
    [[nodiscard]] std::optional<std::string> refusal() const;

    [[nodiscard]] std::expected<std::optional<std::string>, std::string> data(
        const std::string& key) const override;
    std::expected<void, std::string> setData(const std::string& key,
                                             const std::string& bytes) override;
    // Named after the settings file, e.g.
    // app.velmorra.sonvel.unreadable-2026-12-08T04-38-07.json, in UTC.
    std::expected<std::string, std::string> keepCopy(
        const std::string& bytes, std::chrono::system_clock::time_point when) override;

  private:
    std::string file_;
};

}  // namespace sonvel
