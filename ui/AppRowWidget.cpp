#include "ui/AppRowWidget.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>
#include <QVBoxLayout>

#include "ui/Accessibility.hpp"
#include "ui/LevelDot.hpp"
#include "ui/LevelSlider.hpp"
#include "ui/OutputMenuButton.hpp"
#include "ui/QtString.hpp"
#include "ui/SymbolIcons.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

namespace {

constexpr int iconSide = 22;
constexpr int levelWidth = 42;
// What the panel's width leaves beside the icon, with room for a scroll bar.
constexpr int besideText = 72;

}  // namespace

AppRowWidget::AppRowWidget(MixerModel& model, AppIconNames iconNames, int panelWidth,
                           QWidget* parent)
    : QWidget(parent),
      model_(model),
      textWidth_(panelWidth - besideText),
      iconNames_(std::move(iconNames)),
      icon_(new QLabel(this)),
      name_(new QLabel(this)),
      note_(new QLabel(this)),
      dot_(new LevelDot(this)),
      mute_(new QToolButton(this)),
      slider_(new LevelSlider(this)),
      level_(new QLabel(this)),
      outputs_(new OutputMenuButton(
          [this](const std::optional<OutputContext>& output) {
              model_.setRoute(output, state_->group);
          },
          this)),
      captionLine_(new QWidget(this)),
      caption_(new QLabel(captionLine_)),
      retry_(new QPushButton("Retry", captionLine_)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 2, 0, 2);
    row->setSpacing(8);
    icon_->setFixedSize(iconSide, iconSide);
    row->addWidget(icon_, 0, Qt::AlignVCenter);

    auto* lines = new QVBoxLayout;
    lines->setSpacing(2);
    row->addLayout(lines, 1);

    auto* nameLine = new QHBoxLayout;
    nameLine->setSpacing(4);
    name_->setFont(ViewStyle::callout());
    note_->setFont(ViewStyle::caption2());
    ToneStyle::setTone(*note_, Tone::secondary);
    note_->hide();
    dot_->hide();
    nameLine->addWidget(name_);
    nameLine->addWidget(note_);
    nameLine->addStretch(1);
    nameLine->addWidget(dot_);
    lines->addLayout(nameLine);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(6);
    mute_->setAutoRaise(true);
    mute_->setIconSize(QSize(16, 16));
    mute_->setFixedWidth(22);
    // A toggle, so a screen reader says whether it is pressed.
    mute_->setCheckable(true);
    Accessibility::activateOnEnter(*mute_);
    Accessibility::activateOnEnter(*outputs_);
    Accessibility::activateOnEnter(*retry_);
    slider_->setAttribute(Qt::WA_MacSmallSize);
    level_->setFont(ViewStyle::caption());
    level_->setFixedWidth(levelWidth);
    level_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    outputs_->hide();
    controls->addWidget(mute_);
    controls->addWidget(slider_, 1);
    controls->addWidget(level_);
    controls->addWidget(outputs_);
    lines->addLayout(controls);

    auto* captionLayout = new QHBoxLayout(captionLine_);
    captionLayout->setContentsMargins(0, 0, 0, 0);
    captionLayout->setSpacing(4);
    caption_->setFont(ViewStyle::caption2());
    retry_->setFont(ViewStyle::caption2());
    retry_->setFlat(true);
    retry_->setCursor(Qt::PointingHandCursor);
    retry_->setStyleSheet("QPushButton { color: palette(link); border: none; padding: 0; }");
    captionLayout->addWidget(caption_);
    captionLayout->addWidget(retry_);
    captionLayout->addStretch(1);
    captionLine_->hide();
    lines->addWidget(captionLine_);

    // Toggled, not clicked: a screen reader's Toggle action only toggles.
    connect(mute_, &QToolButton::toggled, this, [this](bool on) {
        if (on != state_->muted) model_.toggleMute(state_->group);
    });
    connect(slider_, &LevelSlider::moved, this,
            [this](double position) { model_.setPosition(position, state_->group); });
    // A change from elsewhere (a script) that came in during the drag shows
    // once the knob is let go.
    connect(slider_, &QSlider::sliderReleased, this,
            [this] { slider_->showPosition(state_->position); });
    connect(retry_, &QPushButton::clicked, this, [this] { model_.retry(state_->group.key); });
}

void AppRowWidget::render(const RowState& s) {
    if (state_ == s) return;
    const RowState* old = state_ ? &*state_ : nullptr;

    if (!old || old->iconPath != s.iconPath) {
        icon_->setPixmap(appIcon(s.iconPath, iconNames_, palette()).pixmap(iconSide, iconSide));
    }
    icon_->setAccessibleName(qs(s.group.name));
    note_->setVisible(s.note.has_value());
    if (s.note) note_->setText(qs(*s.note));
    if (!old || old->group.name != s.group.name || old->note != s.note) {
        const int room = textWidth_ - (s.note ? note_->sizeHint().width() + 4 : 0) - 10;
        name_->setText(name_->fontMetrics().elidedText(qs(s.group.name), Qt::ElideRight, room));
        name_->setToolTip(qs(s.group.name));
    }
    dot_->setVisible(s.dot.has_value());
    if (s.dot) dot_->render(*s.dot);

    if (!old || old->muteSymbol != s.muteSymbol) {
        mute_->setIcon(
            SymbolIcons::icon(s.muteSymbol, ToneStyle::colour(Tone::primary, palette())));
    }
    mute_->setAccessibleName(qs(s.muteAccessibleName));
    mute_->setToolTip(qs(s.muteAccessibleName));
    {
        const QSignalBlocker quiet(mute_);
        mute_->setChecked(s.muted);
    }
    mute_->setEnabled(s.controlsEnabled);

    slider_->setAccessibleName(qs(s.sliderAccessibleName));
    slider_->setLevelText(qs(s.levelText));
    slider_->showPosition(s.position);
    slider_->setEnabled(s.controlsEnabled);
    level_->setText(qs(s.levelText));
    ToneStyle::setTone(*level_, s.levelRole);

    outputs_->setVisible(s.outputMenu.has_value());
    if (s.outputMenu) outputs_->render(*s.outputMenu);

    captionLine_->setVisible(s.caption.has_value());
    if (s.caption) {
        // One line: the whole sentence stays in the tooltip.
        const int room = textWidth_ - (s.showsRetry ? retry_->sizeHint().width() + 4 : 0);
        caption_->setText(
            caption_->fontMetrics().elidedText(qs(s.caption->text), Qt::ElideRight, room));
        caption_->setToolTip(qs(s.caption->text));
        ToneStyle::setTone(*caption_, s.caption->role);
    }
    retry_->setVisible(s.showsRetry);
    state_ = s;
}

std::vector<QWidget*> AppRowWidget::focusOrder() const {
    return {mute_, slider_, outputs_, retry_};
}

}  // namespace sonvel
