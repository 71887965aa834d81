// Draws the application icon for the desktop (hicolor theme) from the status
// icon's own geometry, so the launcher and the tray show the same faders, and
// the tray's symbolic icons, which a tray host recolours for its background.
//
//   sonvel-render-icon DIR   writes DIR/<size>x<size>/apps/app.velmorra.Sonvel.png
//                            and DIR/symbolic/apps/app.velmorra.Sonvel-<state>-symbolic.svg

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QPainter>
#include <QPainterPath>
#include <cstdio>

#include "ui/StatusIconPainter.hpp"

namespace {

// The sizes desktops look up in the hicolor theme.
constexpr int sizes[]{16, 22, 24, 32, 48, 64, 128, 256};
// The faders fill this share of the tile; the rest is the tile's margin.
constexpr double faderShare = 0.62;

QImage tile(int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath square;
    const double radius = size * 0.22;
    square.addRoundedRect(QRectF(0, 0, size, size), radius, radius);
    p.fillPath(square, QColor(0x2b, 0x5d, 0x8c));
    const double dpr = size * faderShare / sonvel::StatusIcon::size;
    const QImage faders =
        sonvel::StatusIconPainter::render(sonvel::StatusIcon::Variant::active, dpr, Qt::white);
    // Placed in pixels: this tile has no device pixel ratio of its own.
    const QSizeF drawn(faders.size());
    p.drawImage(QRectF(QPointF((size - drawn.width()) / 2, (size - drawn.height()) / 2), drawn),
                faders);
    return image;
}

}  // namespace

int main(int argc, char** argv) {
    // Drawing into images needs no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fputs("usage: sonvel-render-icon DIR\n", stderr);
        return 2;
    }
    const QDir root(QString::fromLocal8Bit(argv[1]));
    for (int size : sizes) {
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString file = root.filePath(folder + "/app.velmorra.Sonvel.png");
        if (!root.mkpath(folder) || !tile(size).save(file)) {
            std::fprintf(stderr, "sonvel-render-icon: could not write %s\n", qPrintable(file));
            return 1;
        }
    }
    if (!root.mkpath("symbolic/apps")) return 1;
    for (const auto variant :
         {sonvel::StatusIcon::Variant::active, sonvel::StatusIcon::Variant::paused,
          sonvel::StatusIcon::Variant::locked}) {
        const QString name = QString::fromStdString(sonvel::StatusIcon::themeName(variant));
        QFile file(root.filePath("symbolic/apps/" + name + ".svg"));
        const QByteArray svg = sonvel::StatusIconPainter::symbolicSvg(variant);
        if (!file.open(QIODevice::WriteOnly) || file.write(svg) != svg.size()) {
            std::fprintf(stderr, "sonvel-render-icon: could not write %s\n",
                         qPrintable(file.fileName()));
            return 1;
        }
    }
    return 0;
}
