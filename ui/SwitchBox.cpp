#include "ui/SwitchBox.hpp"

#include <QPainter>
#include <QStyleOptionFocusRect>
#include <QStylePainter>

namespace sonvel {

namespace {
constexpr int gap = 6;
}  // namespace

QSize SwitchBox::track() const {
    const int h = fontMetrics().height();
    return {h * 2 - 2, h};
}

QSize SwitchBox::sizeHint() const {
    const QSize t = track();
    return {t.width() + gap + fontMetrics().horizontalAdvance(text()) + 4, t.height() + 4};
}

void SwitchBox::paintEvent(QPaintEvent*) {
    QStylePainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QSize t = track();
    const QRectF trackRect(1, (height() - t.height()) / 2.0, t.width(), t.height());
    QColor fill =
        isChecked() ? palette().color(QPalette::Highlight) : palette().color(QPalette::Mid);
    if (!isEnabled()) fill.setAlphaF(0.4f);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawRoundedRect(trackRect, t.height() / 2.0, t.height() / 2.0);
    const double knob = t.height() - 4.0;
    const double x = isChecked() ? trackRect.right() - 2 - knob : trackRect.left() + 2;
    p.setBrush(palette().color(QPalette::Base));
    p.drawEllipse(QRectF(x, trackRect.top() + 2, knob, knob));

    const QRect label(int(trackRect.right()) + gap, 0, width() - int(trackRect.right()) - gap,
                      height());
    p.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    p.drawText(label, Qt::AlignLeft | Qt::AlignVCenter, text());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = trackRect.toAlignedRect().adjusted(-1, -1, 1, 1);
        p.drawPrimitive(QStyle::PE_FrameFocusRect, focus);
    }
}

}  // namespace sonvel
