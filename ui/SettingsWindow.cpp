#include "ui/SettingsWindow.hpp"

#include <QTabWidget>
#include <QVBoxLayout>

#include "Sonvel/views/SettingsState.hpp"
#include "Sonvel/views/Symbols.hpp"
#include "ui/DiagnosticsTab.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/WindowIcons.hpp"

namespace sonvel {

SettingsWindow::SettingsWindow(std::shared_ptr<MixerModel> model, PlatformWording wording,
                               UpdateChecker* updates, GeneralSettingsTab::OpenURL openURL,
                               QWidget* parent)
    : QWidget(parent, Qt::Window),
      tabs_(new QTabWidget(this)),
      general_(new GeneralSettingsTab(model, updates, std::move(openURL), tabs_)),
      diagnostics_(new DiagnosticsTab(model, std::move(wording), tabs_)) {
    setObjectName(identifier);
    setWindowTitle("Sonvel Settings");
    setFixedSize(SettingsView::windowWidth, SettingsView::windowHeight);
    const QColor colour = ToneStyle::colour(Tone::primary, palette());
    tabs_->addTab(general_, WindowIcons::icon(Symbols::generalTab, colour), "General");
    tabs_->addTab(diagnostics_, WindowIcons::icon(Symbols::diagnosticsTab, colour), "Diagnostics");
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->addWidget(tabs_);
}

void SettingsWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The application has no main window: bring this one over the others.
    raise();
    activateWindow();
}

}  // namespace sonvel
