#include "ui/AppWindows.hpp"

#include <QGuiApplication>
#include <QScreen>

#include "Sonvel/views/UpdateFeed.hpp"
#include "ui/AccessStepView.hpp"
#include "ui/SettingsWindow.hpp"
#include "ui/SetupWindow.hpp"

namespace sonvel {

namespace {

template <class Window>
Window* present(QPointer<Window>& slot, const std::function<Window*()>& make) {
    if (!slot) {
        slot = make();
        slot->setAttribute(Qt::WA_DeleteOnClose);
        slot->adjustSize();
        if (const QScreen* screen = QGuiApplication::primaryScreen()) {
            QRect frame = slot->frameGeometry();
            frame.moveCenter(screen->availableGeometry().center());
            slot->move(frame.topLeft());
        }
    }
    slot->show();
    slot->raise();
    slot->activateWindow();
    return slot;
}

}  // namespace

AppWindows::AppWindows(std::shared_ptr<MixerModel> model, PlatformWording wording,
                       UpdateChecker* updates, GeneralSettingsTab::OpenURL openURL)
    : model_(std::move(model)),
      wording_(std::move(wording)),
      updates_(updates),
      openURL_(std::move(openURL)) {}

AppWindows::~AppWindows() {
    delete setup_.data();
    delete settings_.data();
}

SetupWindow* AppWindows::setup() const {
    return setup_;
}

SettingsWindow* AppWindows::settings() const {
    return settings_;
}

SetupWindow* AppWindows::openSetup() {
    return present<SetupWindow>(setup_, [this] {
        auto* window = new SetupWindow(model_, wording_);
        if (openSystemSettings_) window->access()->setOpenSystemSettings(openSystemSettings_);
        return window;
    });
}

SettingsWindow* AppWindows::openSettings() {
    return present<SettingsWindow>(
        settings_, [this] { return new SettingsWindow(model_, wording_, updates_, openURL_); });
}

}  // namespace sonvel
