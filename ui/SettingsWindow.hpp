#pragma once

#include <QWidget>
#include <memory>

#include "Sonvel/PlatformWording.hpp"
#include "ui/GeneralSettingsTab.hpp"

class QTabWidget;

namespace sonvel {

class DiagnosticsTab;
class MixerModel;
class UpdateChecker;

// The settings window: the General and Diagnostics tabs, 520 by 380. Main
// thread only.
class SettingsWindow final : public QWidget {
  public:
    static constexpr const char* identifier = "settings";

    SettingsWindow(std::shared_ptr<MixerModel> model, PlatformWording wording,
                   UpdateChecker* updates, GeneralSettingsTab::OpenURL openURL,
                   QWidget* parent = nullptr);

    [[nodiscard]] QTabWidget* tabs() const { return tabs_; }
    [[nodiscard]] GeneralSettingsTab* general() const { return general_; }
    [[nodiscard]] DiagnosticsTab* diagnostics() const { return diagnostics_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    QTabWidget* tabs_;
    GeneralSettingsTab* general_;
    DiagnosticsTab* diagnostics_;
};

}  // namespace sonvel
