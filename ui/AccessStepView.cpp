#include "ui/AccessStepView.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "Sonvel/MixerModel.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"
#include "ui/WindowIcons.hpp"

namespace sonvel {

namespace {

QLabel* wrapping(QWidget* parent, const QFont& font) {
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    return label;
}

}  // namespace

AccessStepView::AccessStepView(std::shared_ptr<MixerModel> model, QWidget* parent)
    : QWidget(parent),
      model_(std::move(model)),
      intro_(wrapping(this, font())),
      lineIcon_(new QLabel(this)),
      spinner_(new QProgressBar(this)),
      lineText_(wrapping(this, ViewStyle::callout())),
      message_(wrapping(this, ViewStyle::callout())),
      instructions_(wrapping(this, ViewStyle::callout())),
      checkAccess_(new QPushButton("Check Access", this)),
      openSettings_(new QPushButton(this)),
      relaunch_(new QPushButton("Relaunch Sonvel", this)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(10);
    column->addWidget(intro_);

    auto* line = new QHBoxLayout;
    line->setSpacing(6);
    lineIcon_->setFixedSize(16, 16);
    spinner_->setRange(0, 0);  // busy, with no end to show
    spinner_->setTextVisible(false);
    spinner_->setFixedSize(40, 8);
    spinner_->setAccessibleName("In progress");
    line->addWidget(lineIcon_, 0, Qt::AlignTop);
    line->addWidget(spinner_, 0, Qt::AlignVCenter);
    line->addWidget(lineText_, 1);
    column->addLayout(line);

    ToneStyle::setTone(*message_, Tone::secondary);
    column->addWidget(message_);
    column->addWidget(instructions_);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(checkAccess_);
    buttons->addWidget(openSettings_);
    buttons->addWidget(relaunch_);
    buttons->addStretch(1);
    column->addLayout(buttons);

    connect(checkAccess_, &QPushButton::clicked, this, [this] { model_->startPermissionCheck(); });
    connect(openSettings_, &QPushButton::clicked, this, [this] {
        if (openSystemSettings_) {
            openSystemSettings_();
        } else {
            model_->openPrivacySettings();
        }
    });
    connect(relaunch_, &QPushButton::clicked, this, [this] { model_->relaunch(); });
}

bool AccessStepView::showsProgress() const {
    return !spinner_->isHidden();
}

void AccessStepView::render(const AccessStepState& state) {
    using Line = AccessStepState::Line;
    intro_->setText(QString::fromStdString(state.intro));
    lineIcon_->setVisible(state.line == Line::label);
    if (state.line == Line::label) {
        const QColor colour = ToneStyle::colour(state.lineTone, palette());
        lineIcon_->setPixmap(WindowIcons::icon(state.lineSymbol, colour).pixmap(16, 16));
    }
    spinner_->setVisible(state.line == Line::progress);
    lineText_->setText(QString::fromStdString(state.lineText));
    ToneStyle::setTone(*lineText_, state.lineTone);
    lineText_->setFont(state.line == Line::label ? font() : ViewStyle::callout());

    message_->setVisible(state.message.has_value());
    message_->setText(QString::fromStdString(state.message.value_or("")));
    instructions_->setVisible(state.instructions.has_value());
    instructions_->setText(QString::fromStdString(state.instructions.value_or("")));

    checkAccess_->setEnabled(state.checkAccessEnabled);
    openSettings_->setText(QString::fromStdString(state.privacySettingsTitle));
    openSettings_->setVisible(state.showsPrivacySettings);
}

}  // namespace sonvel
