#include "ui/LevelDot.hpp"

#include <QPainter>

#include "ui/ToneStyle.hpp"

namespace sonvel {

LevelDot::LevelDot(QWidget* parent) : QWidget(parent) {
    setFixedSize(6, 6);
    setAccessibleName(QString::fromStdString(RowView::levelDot(0).accessibleName));
}

void LevelDot::render(const LevelDotState& state) {
    if (state == state_) return;
    state_ = state;
    setAccessibleName(QString::fromStdString(state.accessibleName));
    update();
}

void LevelDot::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    QColor colour = QColor(0x34, 0xC7, 0x59);
    if (!state_.lit) {
        colour = ToneStyle::colour(Tone::secondary, palette());
        colour.setAlphaF(0.4f);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawEllipse(QRectF(0, 0, 6, 6));
}

}  // namespace sonvel
