#pragma once

#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "Sonvel/views/PanelState.hpp"
#include "ui/AppIcons.hpp"
#include "ui/SwitchBox.hpp"

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QToolButton;
class QVBoxLayout;

namespace sonvel {

class AppRowWidget;
class BannerWidget;

// The panel: header, banners, the application list and the footer. It holds
// no state of its own; it renders the model's state on every change while it
// lives, and tells the model when it is shown and hidden. Main thread only.
class MixerPanel final : public QWidget {
    Q_OBJECT
  public:
    static constexpr int panelWidth = 340;
    static constexpr int listMaximumHeight = 420;
    // However short the screen, a few rows stay in view.
    static constexpr int minimumListHeight = 120;

    MixerPanel(std::shared_ptr<MixerModel> model, AppIconNames iconNames,
               std::function<void()> quit, QWidget* parent = nullptr);
    ~MixerPanel() override;

    // Re-reads the model; called on every change the model reports.
    void refresh();

    [[nodiscard]] const PanelState& state() const { return state_; }
    [[nodiscard]] AppRowWidget* row(const std::string& key) const;
    [[nodiscard]] std::vector<AppRowWidget*> rowsInOrder() const;
    [[nodiscard]] const std::vector<BannerWidget*>& banners() const { return banners_; }
    [[nodiscard]] QCheckBox* pausedSwitch() const { return paused_; }
    // 340 at the default font, wider at larger ones.
    [[nodiscard]] int panelWidthNow() const { return width_; }
    // The screen's height left for the panel; the list scrolls to fit it.
    void setAvailableHeight(int height);
    [[nodiscard]] QLabel* defaultOutputLabel() const { return defaultOutput_; }
    [[nodiscard]] QScrollArea* list() const { return list_; }
    [[nodiscard]] QPushButton* footerButton(const QString& title) const;
    // Enables "Setup…", "Settings…" and the banner's "Open Setup…"; until
    // then they stay disabled and say why.
    void setWindowOpeners(std::function<void()> openSetup, std::function<void()> openSettings);
    // The platform's own words for the gates that name a privacy pane.
    void setPermissionDetails(std::string needsPermission, std::string permissionDenied);

  protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    struct Section {
        QWidget* box;
        QLabel* title;
        QLabel* empty;
        QVBoxLayout* rows;
    };
    void render(const PanelState& state);
    void relayout();
    void restack();
    void act(BannerState::Action action);
    Section& section(std::size_t index);

    std::shared_ptr<MixerModel> model_;
    AppIconNames iconNames_;
    std::function<void()> quit_;
    PanelState state_;
    bool rendered_ = false;
    int width_ = panelWidth;
    int availableHeight_ = 0;
    QLabel* product_;
    QLabel* defaultOutput_;
    QToolButton* soundSettings_;
    QCheckBox* paused_;
    QVBoxLayout* bannerArea_;
    std::vector<BannerWidget*> banners_;
    QScrollArea* list_;
    QWidget* divider_ = nullptr;
    QWidget* content_;
    QVBoxLayout* sectionsLayout_;
    std::vector<Section> sections_;
    std::map<std::string, AppRowWidget*> rows_;
    std::vector<QPushButton*> footer_;
    std::function<void()> openSetup_;
    std::function<void()> openSettings_;
    std::string needsPermissionDetail_;
    std::string permissionDeniedDetail_;
};

}  // namespace sonvel
