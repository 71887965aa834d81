#include "ui/SetupWindow.hpp"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QVBoxLayout>

#include "Sonvel/MixerModel.hpp"
#include "ui/AccessStepView.hpp"
#include "ui/LiveTestStepView.hpp"
#include "ui/LocaleFormats.hpp"
#include "ui/ModelBridge.hpp"
#include "ui/QtString.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"
#include "ui/WindowIcons.hpp"

namespace sonvel {

namespace {

// A titled box: the header's icon and text, then the content with a margin.
QFrame* stepBox(QWidget* parent, QLabel*& icon, QLabel*& title, QWidget* content) {
    auto* box = new QFrame(parent);
    box->setFrameShape(QFrame::StyledPanel);
    auto* layout = new QVBoxLayout(box);
    layout->setContentsMargins(8, 8, 8, 8);
    layout->setSpacing(8);
    auto* header = new QHBoxLayout;
    header->setSpacing(6);
    icon = new QLabel(box);
    icon->setFixedSize(16, 16);
    title = new QLabel(box);
    QFont bold = title->font();
    bold.setWeight(QFont::DemiBold);
    title->setFont(bold);
    header->addWidget(icon);
    header->addWidget(title, 1);
    layout->addLayout(header);
    content->setParent(box);
    layout->addWidget(content);
    return box;
}

}  // namespace

SetupWindow::SetupWindow(std::shared_ptr<MixerModel> model, PlatformWording wording,
                         QWidget* parent)
    : QWidget(parent, Qt::Window),
      model_(std::move(model)),
      wording_(std::move(wording)),
      status_(new QWidget(this)),
      statusIcon_(new QLabel(status_)),
      statusTitle_(new QLabel(status_)),
      statusDetail_(new QLabel(status_)),
      access_(new AccessStepView(model_, this)),
      liveTest_(new LiveTestStepView(
          model_, [this] { refresh(); }, this)) {
    setObjectName(SetupView::windowIdentifier);
    setWindowTitle(SetupView::windowTitle);
    setFixedWidth(SetupView::windowWidth);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(16);
    column->setSizeConstraint(QLayout::SetFixedSize);  // fits its content, as the phase changes

    auto* status = new QHBoxLayout(status_);
    status->setContentsMargins(0, 0, 0, 0);
    status->setSpacing(10);
    statusIcon_->setFixedSize(24, 24);
    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    statusTitle_->setFont(ViewStyle::headline());
    statusTitle_->setWordWrap(true);
    statusDetail_->setFont(ViewStyle::callout());
    statusDetail_->setWordWrap(true);
    ToneStyle::setTone(*statusDetail_, Tone::secondary);
    lines->addWidget(statusTitle_);
    lines->addWidget(statusDetail_);
    status->addWidget(statusIcon_, 0, Qt::AlignTop);
    status->addLayout(lines, 1);
    status_->setFixedWidth(SetupView::windowWidth - 40);
    column->addWidget(status_);

    column->addWidget(stepBox(this, accessIcon_, accessTitle_, access_));
    column->addWidget(stepBox(this, liveIcon_, liveTitle_, liveTest_));
    access_->setFixedWidth(SetupView::windowWidth - 58);
    liveTest_->setFixedWidth(SetupView::windowWidth - 58);

    connect(new ModelBridge(*model_, this), &ModelBridge::changed, this, &SetupWindow::refresh);
    refresh();
}

void SetupWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // The application has no main window: bring this one over the others.
    raise();
    activateWindow();
}

void SetupWindow::refresh() {
    const QLocale locale = this->locale();
    const DateFormat date = [locale](auto when) {
        return LocaleFormats::shortDateTime(when, locale);
    };
    render(SetupView::setup(SetupInput::of(*model_), liveTest_->selectedKey(), date, wording_));
}

void SetupWindow::render(const SetupState& state) {
    if (rendered_ && state == state_) return;
    rendered_ = true;
    state_ = state;

    const ControlsStatusState& s = state.status;
    statusIcon_->setPixmap(
        WindowIcons::icon(s.symbol, ToneStyle::colour(s.symbolTone, palette())).pixmap(24, 24));
    statusTitle_->setText(qs(s.title));
    statusDetail_->setText(qs(s.detail));
    // One element for assistive technology, as the two lines are one statement.
    status_->setAccessibleName(qs(s.title + ". " + s.detail));

    for (const auto& [header, icon, title] :
         {std::tuple{&state.accessHeader, accessIcon_, accessTitle_},
          std::tuple{&state.liveTestHeader, liveIcon_, liveTitle_}}) {
        const Tone tone = header->complete ? Tone::positive : Tone::secondary;
        icon->setPixmap(
            WindowIcons::icon(header->symbol, ToneStyle::colour(tone, palette())).pixmap(16, 16));
        title->setText(qs(header->title));
        title->setAccessibleName(qs(header->title + (header->complete ? ", complete" : "")));
    }
    access_->render(state.access);
    liveTest_->render(state.liveTest);
}

}  // namespace sonvel
