#include "ui/StatusIconPainter.hpp"

#include <QFileInfo>
#include <QIconEngine>
#include <QPainter>
#include <QPainterPathStroker>
#include <QPixmap>
#include <algorithm>
#include <cmath>
#include <vector>

namespace sonvel::StatusIconPainter {

namespace {

using StatusIcon::Variant;

QPointF point(const StatusIcon::Point& p) {
    return {p.x, p.y};
}
QRectF rect(const StatusIcon::Rect& r) {
    return {r.x, r.y, r.width, r.height};
}

QPainterPath stroke(const StatusIcon::Segment& segment, double width) {
    QPainterPath line(point(segment.from));
    line.lineTo(point(segment.to));
    QPainterPathStroker stroker;
    stroker.setWidth(width);
    stroker.setCapStyle(Qt::RoundCap);
    return stroker.createStroke(line);
}

QImage transparentSquare(int side, qreal devicePixelRatio) {
    QImage image(side, side, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(devicePixelRatio);
    return image;
}

// Every size a tray was seen asking for, and their doubles.
constexpr int traySizes[]{16, 22, 24, 32, 44, 48, 64};

// Names the theme's icon, so that a D-Bus tray host loads and recolours it
// itself, while pixmaps asked of it come from our own drawing.
class ThemedEngine final : public QIconEngine {
  public:
    ThemedEngine(QString name, QIcon drawn) : name_(std::move(name)), drawn_(std::move(drawn)) {}
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode,
               QIcon::State state) override {
        drawn_.paint(painter, rect, Qt::AlignCenter, mode, state);
    }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.pixmap(size, mode, state);
    }
    QSize actualSize(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
        return drawn_.actualSize(size, mode, state);
    }
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override {
        return drawn_.availableSizes(mode, state);
    }
    QString iconName() override { return name_; }
    QIconEngine* clone() const override { return new ThemedEngine(name_, drawn_); }

  private:
    QString name_;
    QIcon drawn_;
};

QString number(double value) {
    return QString::number(value, 'g', 6);
}

}  // namespace

QPainterPath outline(Variant variant) {
    // Qt flattens curves for boolean operations at a fixed tolerance in path
    // units: worked on at this scale, caps and corners stay round when drawn
    // large.
    constexpr double precision = 25;
    const QTransform up = QTransform::fromScale(precision, precision);
    const StatusIcon::Geometry g = StatusIcon::geometry(variant);
    QPainterPath ink;
    for (const StatusIcon::Fader& f : g.faders) {
        // A track the knob sits on the end of has no length, and no cap.
        for (const StatusIcon::Segment& track : {f.lower, f.upper}) {
            if (track.from != track.to)
                ink = ink.united(up.map(stroke(track, StatusIcon::faderLineWidth)));
        }
        QPainterPath knob;
        knob.addRoundedRect(rect(f.knob), StatusIcon::knobRadius, StatusIcon::knobRadius);
        ink = ink.united(up.map(knob));
    }
    if (g.slash) {
        ink = ink.subtracted(up.map(stroke(g.slash->line, g.slash->clearWidth)))
                  .united(up.map(stroke(g.slash->line, g.slash->width)));
    }
    if (g.badge) {
        QPainterPath ring;
        ring.addEllipse(rect(g.badge->ring));
        QPainterPath dot;
        dot.addEllipse(rect(g.badge->dot));
        ink = ink.subtracted(up.map(ring)).united(up.map(dot));
    }
    // The geometry's origin is the bottom left, y upwards.
    return QTransform(1 / precision, 0, 0, -1 / precision, 0, StatusIcon::size).map(ink);
}

QImage render(Variant variant, qreal devicePixelRatio, const QColor& colour) {
    QImage image =
        transparentSquare(int(std::lround(StatusIcon::size * devicePixelRatio)), devicePixelRatio);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(outline(variant), colour);
    return image;
}

QIcon icon(Variant variant, const QColor& colour) {
    QIcon icon;
    for (const qreal ratio : {1.0, 2.0})
        icon.addPixmap(QPixmap::fromImage(render(variant, ratio, colour)));
    return icon;
}

QImage renderFilling(Variant variant, int pixels, const QColor& colour,
                     std::optional<QColor> halo) {
    QImage image = transparentSquare(pixels, 1);
    const QRectF frame = rect(StatusIcon::frame());
    const double margin = pixels / 22.0;
    const double scale = (pixels - 2 * margin) / std::max(frame.width(), frame.height());
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.translate(pixels / 2.0, pixels / 2.0);
    p.scale(scale, scale);
    // The frame in canvas points with y downwards, centred.
    p.translate(-frame.center().x(), -(StatusIcon::size - frame.center().y()));
    const QPainterPath glyph = outline(variant);
    if (halo) {
        // About a pixel and a half outside the glyph at 22 pixels: enough to
        // show its shape on a bar of its own ink.
        p.strokePath(glyph, QPen(*halo, 2 * (pixels / 16.0) / scale, Qt::SolidLine, Qt::RoundCap,
                                 Qt::RoundJoin));
    }
    p.fillPath(glyph, colour);
    return image;
}

QIcon trayIcon(Variant variant, const QColor& colour, QSize slot, std::optional<QColor> halo) {
    std::vector<int> sizes(std::begin(traySizes), std::end(traySizes));
    if (!slot.isEmpty()) {
        const int side = std::min(slot.width(), slot.height());
        sizes.insert(sizes.end(), {side, 2 * side});
    }
    std::ranges::sort(sizes);
    const auto [last, end] = std::ranges::unique(sizes);
    sizes.erase(last, end);
    QIcon icon;
    for (const int side : sizes)
        icon.addPixmap(QPixmap::fromImage(renderFilling(variant, side, colour, halo)));
    return icon;
}

std::optional<QIcon> themedIcon(Variant variant, const QColor& colour) {
    const QString name = QString::fromStdString(StatusIcon::themeName(variant));
    // Qt finds a symbolic icon only with its SVG plugin, which a tray host
    // does not need from us: the file being where we install it is enough.
    const auto installed = [&name] {
        return std::ranges::any_of(QIcon::themeSearchPaths(), [&name](const QString& dir) {
            return QFileInfo::exists(dir + "/hicolor/symbolic/apps/" + name + ".svg");
        });
    };
    if (!QIcon::hasThemeIcon(name) && !installed()) return std::nullopt;
    return QIcon(new ThemedEngine(name, trayIcon(variant, colour, {}, inkAgainst(colour))));
}

QColor inkAgainst(const QColor& background) {
    const QColor rgb = background.toRgb();
    return StatusIcon::inkAgainst(rgb.red(), rgb.green(), rgb.blue()) == StatusIcon::Ink::white
               ? QColor(Qt::white)
               : QColor(Qt::black);
}

std::optional<QColor> backgroundBehind(const QImage& grab, const QImage& ours) {
    if (grab.isNull() || ours.isNull()) return std::nullopt;
    const QImage shown = grab.convertToFormat(QImage::Format_RGB32);
    const QImage mask =
        ours.size() == shown.size() ? ours : ours.scaled(shown.size(), Qt::IgnoreAspectRatio);
    std::vector<int> channels[3];
    for (int y = 0; y < shown.height(); ++y) {
        for (int x = 0; x < shown.width(); ++x) {
            if (qAlpha(mask.pixel(x, y)) != 0) continue;
            const QRgb px = shown.pixel(x, y);
            channels[0].push_back(qRed(px));
            channels[1].push_back(qGreen(px));
            channels[2].push_back(qBlue(px));
        }
    }
    if (channels[0].empty()) return std::nullopt;
    int median[3];
    for (int c = 0; c < 3; ++c) {
        auto middle = channels[c].begin() + std::ptrdiff_t(channels[c].size() / 2);
        std::ranges::nth_element(channels[c], middle);
        median[c] = *middle;
    }
    return QColor(median[0], median[1], median[2]);
}

QByteArray symbolicSvg(Variant variant) {
    const QPainterPath path = outline(variant);
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString at = number(e.x) + ' ' + number(e.y);
        if (e.isMoveTo()) {
            d += (i == 0 ? "M" : "ZM") + at;
        } else if (e.isLineTo()) {
            d += 'L' + at;
        } else if (e.isCurveTo()) {
            d += 'C' + at;
        } else {
            d += ' ' + at;
        }
    }
    d += 'Z';
    const QString rule = path.fillRule() == Qt::OddEvenFill ? "evenodd" : "nonzero";
    const QString size = number(StatusIcon::size);
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"16\" height=\"16\" "
               "viewBox=\"0 0 %1 %1\">\n"
               "<style id=\"current-color-scheme\" type=\"text/css\">"
               ".ColorScheme-Text { color:#232629; }</style>\n"
               "<path class=\"ColorScheme-Text\" fill=\"currentColor\" fill-rule=\"%2\" "
               "d=\"%3\"/>\n</svg>\n")
        .arg(size, rule, d)
        .toUtf8();
}

}  // namespace sonvel::StatusIconPainter
