#include "ui/OutputMenuButton.hpp"

#include <QActionGroup>
#include <QMenu>

#include "ui/SymbolIcons.hpp"
#include "ui/ToneStyle.hpp"

namespace sonvel {

OutputMenuButton::OutputMenuButton(Select select, QWidget* parent)
    : QToolButton(parent), select_(std::move(select)), menu_(new QMenu(this)) {
    setAutoRaise(true);
    setPopupMode(QToolButton::InstantPopup);
    // A picture alone does not say what the button is for.
    setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    setStyleSheet("QToolButton::menu-indicator { image: none; width: 0px; }");
    setMenu(menu_);
    menu_->setToolTipsVisible(true);
}

void OutputMenuButton::render(const OutputMenuState& state) {
    if (state_ == state) return;
    if (!state_ || state_->symbol != state.symbol) {
        setIcon(SymbolIcons::icon(state.symbol, ToneStyle::colour(Tone::primary, palette())));
    }
    const QString name = QString::fromStdString(state.accessibleName);
    setToolTip(name);
    setAccessibleName(name);
    setText(fontMetrics().elidedText(QString::fromStdString(state.label), Qt::ElideRight,
                                     maximumLabelWidth));
    menu_->clear();
    // One of several: radio marks, not check marks.
    auto* choices = new QActionGroup(menu_);
    choices->setExclusive(true);
    for (std::size_t i = 0; i < state.items.size(); ++i) {
        const OutputMenuItem& item = state.items[i];
        // A reason only in a tooltip is a reason few ever read.
        QString label = QString::fromStdString(item.label);
        if (!item.enabled && !item.tooltip.empty()) {
            label += QString::fromUtf8(" — ") + QString::fromStdString(item.tooltip);
        }
        QAction* action = menu_->addAction(label);
        action->setCheckable(true);
        choices->addAction(action);
        action->setChecked(item.checked);
        action->setEnabled(item.enabled);
        action->setToolTip(QString::fromStdString(item.tooltip));
        const bool wasOn = item.checked;
        connect(action, &QAction::triggered, this, [this, action, output = item.output, wasOn] {
            if (wasOn) {
                action->setChecked(true);  // turning the current choice off is no choice
            } else {
                select_(output);
            }
        });
        if (i == 0) menu_->addSeparator();
    }
    state_ = state;
}

}  // namespace sonvel
