#pragma once

#include <memory>
#include <string>

#include "Sonvel/PreferencesStore.hpp"

class QSettings;

namespace sonvel {

// The user defaults on Qt's settings, in the application's own domain
// (~/.config/velmorra/app.velmorra.sonvel.conf), or in a given file.
class QtPreferencesStore final : public PreferencesStore {
  public:
    QtPreferencesStore();
    explicit QtPreferencesStore(const std::string& file);
    ~QtPreferencesStore() override;

    [[nodiscard]] std::optional<std::string> data(const std::string& key) const override;
    void setData(const std::string& key, const std::string& bytes) override;

  private:
    std::unique_ptr<QSettings> settings_;
};

}  // namespace sonvel
