#include "ui/StatusIconPainter.hpp"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace sonvel::StatusIconPainter {

namespace {

QPointF point(const StatusIcon::Point& p) {
    return {p.x, p.y};
}
QRectF rect(const StatusIcon::Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

}  // namespace

QImage render(StatusIcon::Variant variant, qreal devicePixelRatio, const QColor& colour) {
    const int side = int(std::lround(StatusIcon::size * devicePixelRatio));
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(devicePixelRatio);

    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    // The geometry's origin is the bottom left, y upwards.
    p.translate(0, StatusIcon::size);
    p.scale(1, -1);

    const StatusIcon::Geometry g = StatusIcon::geometry(variant);
    for (const StatusIcon::Fader& f : g.faders) {
        p.setPen(QPen(colour, StatusIcon::faderLineWidth, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawLine(point(f.lower.from), point(f.lower.to));
        p.drawLine(point(f.upper.from), point(f.upper.to));
        p.setPen(Qt::NoPen);
        p.setBrush(colour);
        p.drawRoundedRect(rect(f.knob), StatusIcon::knobRadius, StatusIcon::knobRadius);
    }
    if (g.slash) {
        const QLineF line(point(g.slash->line.from), point(g.slash->line.to));
        p.setBrush(Qt::NoBrush);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setPen(QPen(Qt::black, g.slash->clearWidth, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(line);
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setPen(QPen(colour, g.slash->width, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(line);
    }
    if (g.badge) {
        p.setPen(Qt::NoPen);
        p.setCompositionMode(QPainter::CompositionMode_Clear);
        p.setBrush(Qt::black);
        p.drawEllipse(rect(g.badge->ring));
        p.setCompositionMode(QPainter::CompositionMode_SourceOver);
        p.setBrush(colour);
        p.drawEllipse(rect(g.badge->dot));
    }
    return image;
}

QIcon icon(StatusIcon::Variant variant, const QColor& colour) {
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0})
        icon.addPixmap(QPixmap::fromImage(render(variant, ratio, colour)));
    return icon;
}

}  // namespace sonvel::StatusIconPainter
