#include "ui/BannerWidget.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/QtString.hpp"
#include "ui/SymbolIcons.hpp"
#include "ui/ToneStyle.hpp"
#include "ui/ViewStyle.hpp"

namespace sonvel {

BannerWidget::BannerWidget(Act act, QWidget* parent)
    : QFrame(parent),
      act_(std::move(act)),
      icon_(new QLabel(this)),
      title_(new QLabel(this)),
      detail_(new QLabel(this)),
      button_(new QPushButton(this)) {
    setObjectName("banner");
    setStyleSheet("#banner { background-color: rgba(128, 128, 128, 40); border-radius: 8px; }");
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(8, 8, 8, 8);
    row->setSpacing(8);
    icon_->setFixedSize(16, 16);
    icon_->setAccessibleName(QString());
    row->addWidget(icon_, 0, Qt::AlignTop);
    auto* text = new QVBoxLayout;
    text->setSpacing(4);
    title_->setFont([] {
        QFont f = ViewStyle::callout();
        f.setWeight(QFont::DemiBold);
        return f;
    }());
    title_->setWordWrap(true);
    detail_->setFont(ViewStyle::caption());
    detail_->setWordWrap(true);
    ToneStyle::setTone(*detail_, Tone::secondary);
    button_->setAttribute(Qt::WA_MacSmallSize);
    text->addWidget(title_);
    text->addWidget(detail_);
    text->addWidget(button_, 0, Qt::AlignLeft);
    row->addLayout(text, 1);
    connect(button_, &QPushButton::clicked, this, [this] { act_(state_->action); });
}

void BannerWidget::render(const BannerState& s) {
    if (state_ == s) return;
    icon_->setPixmap(
        SymbolIcons::icon(s.symbol, ToneStyle::colour(s.symbolRole, palette())).pixmap(16, 16));
    title_->setText(qs(s.title));
    detail_->setText(qs(s.detail));
    button_->setText(qs(s.actionTitle));
    button_->setEnabled(s.actionEnabled);
    button_->setToolTip(qs(s.actionTooltip));
    setAccessibleName(qs(s.title));
    setAccessibleDescription(qs(s.detail));
    state_ = s;
}

}  // namespace sonvel
