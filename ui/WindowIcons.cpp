#include "ui/WindowIcons.hpp"

#include <QPainter>
#include <QPainterPath>
#include <array>
#include <cmath>

#include "Sonvel/views/Symbols.hpp"
#include "ui/SymbolIcons.hpp"

namespace sonvel::WindowIcons {

namespace {

using Draw = void (*)(QPainter&);

// Every drawing is in a 16 by 16 box, pen and brush already in the colour.
void check(QPainter& p, double width) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(4.5, 8.3), QPointF(7, 10.8), QPointF(11.6, 5.4)}));
}

void cleared(QPainter& p, void (*shape)(QPainter&)) {
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    shape(p);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);
}

void checkCircleFill(QPainter& p) {
    p.drawEllipse(QRectF(1, 1, 14, 14));
    cleared(p, [](QPainter& q) { check(q, 1.8); });
}

void circle(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.3));
    p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
}

void checkSealFill(QPainter& p) {
    QPolygonF seal;
    for (int i = 0; i < 24; ++i) {
        const double angle = i * M_PI / 12;
        const double radius = i % 2 ? 6.4 : 7.6;
        seal << QPointF(8 + radius * std::cos(angle), 8 + radius * std::sin(angle));
    }
    p.drawPolygon(seal);
    cleared(p, [](QPainter& q) { check(q, 1.7); });
}

void xmarkOctagonFill(QPainter& p) {
    QPolygonF octagon;
    for (int i = 0; i < 8; ++i) {
        const double angle = M_PI / 8 + i * M_PI / 4;
        octagon << QPointF(8 + 7.4 * std::cos(angle), 8 + 7.4 * std::sin(angle));
    }
    p.drawPolygon(octagon);
    cleared(p, [](QPainter& q) {
        q.setPen(QPen(Qt::black, 1.8, Qt::SolidLine, Qt::RoundCap));
        q.drawLine(QPointF(5.2, 5.2), QPointF(10.8, 10.8));
        q.drawLine(QPointF(10.8, 5.2), QPointF(5.2, 10.8));
    });
}

void checkmark(QPainter& p) {
    check(p, 1.6);
}

void sliders(QPainter& p) {
    p.setPen(QPen(p.pen().color(), 1.3, Qt::SolidLine, Qt::RoundCap));
    const double knobs[] = {10.5, 5.0, 8.0};
    for (int i = 0; i < 3; ++i) {
        const double y = 3.5 + i * 4.5;
        p.drawLine(QPointF(1.5, y), QPointF(14.5, y));
        p.drawEllipse(QPointF(knobs[i], y), 1.8, 1.8);
    }
}

void ecg(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(0.8, 9), QPointF(4, 9), QPointF(5.6, 5), QPointF(7.6, 13),
                              QPointF(9.8, 2.5), QPointF(11.6, 9), QPointF(15.2, 9)}));
}

struct Entry {
    std::string_view symbol;
    Draw draw;
};

constexpr std::array table{
    Entry{Symbols::stepComplete, checkCircleFill},
    Entry{Symbols::stepOpen, circle},
    Entry{Symbols::accessConfirmed, checkSealFill},
    Entry{Symbols::testFailed, xmarkOctagonFill},
    Entry{Symbols::stepDone, checkmark},
    Entry{Symbols::controlsAvailable, sliders},
    Entry{Symbols::diagnosticsTab, ecg},
};

}  // namespace

QIcon icon(std::string_view symbol, const QColor& colour) {
    // The panel's drawings already stand for these.
    if (symbol == Symbols::generalTab) return SymbolIcons::drawn(Symbols::soundSettings, colour);
    if (QIcon panels = SymbolIcons::drawn(symbol, colour); !panels.isNull()) return panels;
    for (const Entry& e : table) {
        if (e.symbol == symbol) return SymbolIcons::fromDrawing(e.draw, colour);
    }
    return {};
}

}  // namespace sonvel::WindowIcons
