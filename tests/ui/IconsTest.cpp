// The status icon drawn to an image, checked at its geometry's key points and
// against the backgrounds trays draw; how the tray's background is told from
// our icon in a capture of its slot; the symbols' icons with and without the
// theme.

#include <gtest/gtest.h>

#include <QIcon>
#include <QPainter>
#include <functional>

#include "Sonvel/views/Symbols.hpp"
#include "ui/StatusIconPainter.hpp"
#include "ui/SymbolIcons.hpp"

namespace sonvel {
namespace {

using V = StatusIcon::Variant;

// How many of the image's pixels pass `test`, given where they are and their colour.
int countPixels(const QImage& image, const std::function<bool(int x, int y, QRgb)>& test) {
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) n += test(x, y, image.pixel(x, y));
    return n;
}

double luminance(QRgb c) {
    return StatusIcon::relativeLuminance(qRed(c), qGreen(c), qBlue(c));
}

// `icon` at `at` on 22 pixels of a bar.
QImage over(const QColor& background, const QImage& icon, QPoint at = {}) {
    QImage shown(22, 22, QImage::Format_RGB32);
    shown.fill(background);
    QPainter(&shown).drawImage(at, icon);
    return shown;
}

TEST(StatusIconPainterTest, EachVariantInksAndClearsItsKeyPoints) {
    const QColor ink(0x20, 0x40, 0x60);
    // Icon points, origin at the bottom left; whether inked; what is there.
    using Probes = std::vector<std::tuple<double, double, bool, const char*>>;
    const std::pair<V, Probes> cases[] = {
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
    for (const auto& [variant, probes] : cases) {
        const QImage image = StatusIconPainter::render(variant, 2, ink);
        ASSERT_EQ(image.size(), QSize(36, 36));
        EXPECT_EQ(image.devicePixelRatio(), 2.0);  // what a high-density tray shows it at
        for (const auto& [x, y, inked, what] : probes) {
            const QRgb px = image.pixel(int(x * 2), int((StatusIcon::size - y) * 2));
            EXPECT_TRUE(inked ? qAlpha(px) > 200 : qAlpha(px) < 30)
                << int(variant) << ": " << what << ", alpha " << qAlpha(px);
            if (!inked) continue;
            EXPECT_EQ(QColor(px).rgb(), ink.rgb()) << "monochrome: " << what;
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
        const auto solid = [&](auto shade) {
            return countPixels(
                image, [&](int, int, QRgb px) { return qAlpha(px) >= 250 && shade(qGray(px)); });
        };
        EXPECT_GT(solid([](int grey) { return grey > 215; }), side)
            << side << " px: no outline to show the glyph on black";
        EXPECT_GT(solid([](int grey) { return grey < 40; }), side)
            << side << " px: no glyph to show on white";
    }
}

// The slot is 22 pixels; the glyph must span at least 18 of them both ways,
// and its solid pixels reach 4.5:1 against the bar.
TEST(TrayIconTest, InkContrastsWithTheBarAndTheGlyphFillsTheSlot) {
    for (const QColor bar : {QColor(Qt::black), QColor(Qt::white), QColor(0x2e, 0x34, 0x36),
                             QColor(0x80, 0x80, 0x80), QColor(0xdd, 0xe1, 0xe6)}) {
        for (const auto v : {V::active, V::paused, V::locked}) {
            const QImage icon =
                StatusIconPainter::renderFilling(v, 22, StatusIconPainter::inkAgainst(bar));
            QRect box;
            double worst = 21;
            const int solid = countPixels(over(bar, icon), [&](int x, int y, QRgb px) {
                if (px != bar.rgb()) box |= QRect(x, y, 1, 1);
                if (qAlpha(icon.pixel(x, y)) < 255) return false;
                worst =
                    std::min(worst, StatusIcon::contrastRatio(luminance(px), luminance(bar.rgb())));
                return true;
            });
            const auto what = bar.name().toStdString() + " variant " + std::to_string(int(v));
            EXPECT_GT(solid, 40) << what;
            EXPECT_GE(worst, 4.5) << what;
            EXPECT_GE(std::min(box.width(), box.height()), 18) << what;
        }
    }
}

TEST(TrayIconTest, TheBarIsReadWhereOurIconLeavesItClear) {
    for (const QColor bar : {QColor(Qt::black), QColor(Qt::white), QColor(0x2e, 0x34, 0x36)}) {
        const QImage ours =
            StatusIconPainter::renderFilling(V::locked, 22, StatusIconPainter::inkAgainst(bar));
        // Still showing an earlier glyph, smaller and in the palette's colour.
        QImage grab = over(
            bar, StatusIconPainter::renderFilling(V::active, 18, QColor(0x10, 0x90, 0x10)), {2, 2});
        QPainter(&grab).drawImage(0, 0, ours);
        EXPECT_EQ(StatusIconPainter::backgroundBehind(grab, ours), bar) << bar.name().toStdString();
    }
    QImage full(22, 22, QImage::Format_ARGB32_Premultiplied);
    full.fill(Qt::black);
    EXPECT_FALSE(StatusIconPainter::backgroundBehind(full, full));
}

TEST(SymbolIconsTest, EverySymbolHasAThemeNameAndADrawing) {
    for (const std::string_view symbol : Symbols::panel) {
        EXPECT_TRUE(SymbolIcons::themeName(symbol)) << symbol;
        const QImage image = SymbolIcons::drawn(symbol, Qt::black).pixmap(32, 32).toImage();
        EXPECT_GT(countPixels(image, [](int, int, QRgb px) { return qAlpha(px) > 128; }), 20)
            << symbol << " draws something";
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
