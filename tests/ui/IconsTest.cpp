// The status icon drawn to an image, checked at its geometry's key points,
// and the symbols' icons with and without the theme.

#include <gtest/gtest.h>

#include <QIcon>

#include "Sonvel/views/Symbols.hpp"
#include "ui/StatusIconPainter.hpp"
#include "ui/SymbolIcons.hpp"

namespace sonvel {
namespace {

using V = StatusIcon::Variant;

struct Probe {
    double x, y;  // icon points, origin at the bottom left
    bool inked;
    const char* what;
};

TEST(StatusIconPainterTest, EachVariantInksAndClearsItsKeyPoints) {
    const QColor ink(0x20, 0x40, 0x60);
    const struct {
        V variant;
        std::vector<Probe> probes;
    } cases[] = {
        // Every probe sits at a pixel centre well inside or outside a shape.
        {V::active,
         {{5.25, 11.75, true, "left knob raised"},
          {9.75, 6.25, true, "middle knob down"},
          {4.25, 5.25, true, "left track below its knob"},
          {9.25, 10.75, true, "middle track, no slash"},
          {14.25, 13.25, true, "right track, no badge"},
          {1.25, 16.75, false, "corner"}}},
        {V::paused,
         {{9.25, 9.25, true, "slash"},
          {9.25, 10.75, false, "channel cleared beside the slash"},
          {14.25, 13.25, true, "right track, no badge"},
          {9.25, 4.25, true, "middle knob lowered"}}},
        {V::locked,
         {{5.25, 11.75, false, "left knob lowered"},
          {9.25, 4.25, true, "middle knob lowered"},
          {9.25, 10.75, true, "middle track, no slash"},
          {14.25, 11.25, false, "ring cleared"},
          {14.75, 14.75, true, "dot"}}},
    };
    for (const auto& c : cases) {
        const QImage image = StatusIconPainter::render(c.variant, 2, ink);
        ASSERT_EQ(image.size(), QSize(36, 36));
        EXPECT_EQ(image.devicePixelRatio(), 2.0);  // what a high-density tray shows it at
        for (const Probe& p : c.probes) {
            const QRgb px = image.pixel(int(p.x * 2), int((StatusIcon::size - p.y) * 2));
            if (p.inked) {
                EXPECT_GT(qAlpha(px), 200) << int(c.variant) << ": " << p.what;
                EXPECT_EQ(QColor(px).rgb(), ink.rgb()) << "monochrome: " << p.what;
            } else {
                EXPECT_LT(qAlpha(px), 30) << int(c.variant) << ": " << p.what;
            }
        }
    }
    EXPECT_EQ(StatusIconPainter::render(V::active, 1, ink).size(), QSize(18, 18));
}

// A StatusNotifier host that takes pixmaps draws them on a bar of unknown
// colour: every size carries both inks, so the glyph reads on black and on
// white alike.
TEST(StatusIconPainterTest, PixmapsForAnUnknownBarReadOnDarkAndLight) {
    const QIcon icon = StatusIconPainter::trayIcon(V::active, Qt::black, {}, QColor(Qt::white));
    for (const int side : {16, 22, 48}) {
        const QImage image = icon.pixmap(side).toImage();
        int dark = 0, light = 0;
        for (int y = 0; y < image.height(); ++y) {
            for (int x = 0; x < image.width(); ++x) {
                const QRgb px = image.pixel(x, y);
                if (qAlpha(px) < 250) continue;
                dark += qGray(px) < 40;
                light += qGray(px) > 215;
            }
        }
        EXPECT_GT(light, side) << side << " px: no outline to show the glyph on black";
        EXPECT_GT(dark, side) << side << " px: no glyph to show on white";
    }
}

TEST(SymbolIconsTest, EverySymbolHasAThemeNameAndADrawing) {
    for (const std::string_view symbol : Symbols::panel) {
        EXPECT_TRUE(SymbolIcons::themeName(symbol)) << symbol;
        const QIcon drawn = SymbolIcons::drawn(symbol, Qt::black);
        const QImage image = drawn.pixmap(32, 32).toImage();
        int inked = 0;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) inked += qAlpha(image.pixel(x, y)) > 128;
        EXPECT_GT(inked, 20) << symbol << " draws something";
    }
    EXPECT_FALSE(SymbolIcons::themeName("no.such.symbol"));

    // Where no theme can be found, every symbol still has its drawing.
    const QStringList paths = QIcon::themeSearchPaths();
    QIcon::setThemeSearchPaths({});
    for (const std::string_view symbol : Symbols::panel)
        EXPECT_FALSE(SymbolIcons::icon(symbol, Qt::black).isNull()) << symbol;
    QIcon::setThemeSearchPaths(paths);
}

}  // namespace
}  // namespace sonvel
