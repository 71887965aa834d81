// The tray icon's pixels against the backgrounds trays draw, and how the
// tray's background is told from our icon in a capture of its slot.

#include <gtest/gtest.h>

#include <QPainter>

#include "ui/StatusIconPainter.hpp"

namespace sonvel {
namespace {

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

// The slot is 22 pixels; the glyph must span at least 18 of them both ways,
// and its solid pixels reach 4.5:1 against the bar.
TEST(TrayIconTest, InkContrastsWithTheBarAndTheGlyphFillsTheSlot) {
    for (const QColor bar : {QColor(Qt::black), QColor(Qt::white), QColor(0x2e, 0x34, 0x36),
                             QColor(0x80, 0x80, 0x80), QColor(0xdd, 0xe1, 0xe6)}) {
        for (const auto v : {StatusIcon::Variant::active, StatusIcon::Variant::paused,
                             StatusIcon::Variant::locked}) {
            const QImage icon =
                StatusIconPainter::renderFilling(v, 22, StatusIconPainter::inkAgainst(bar));
            const QImage shown = over(bar, icon);
            QRect box;
            int solid = 0;
            double worst = 21;
            for (int y = 0; y < 22; ++y) {
                for (int x = 0; x < 22; ++x) {
                    if (shown.pixel(x, y) != bar.rgb()) box |= QRect(x, y, 1, 1);
                    if (qAlpha(icon.pixel(x, y)) < 255) continue;
                    ++solid;
                    worst = std::min(worst, StatusIcon::contrastRatio(luminance(shown.pixel(x, y)),
                                                                      luminance(bar.rgb())));
                }
            }
            const auto what = bar.name().toStdString() + " variant " + std::to_string(int(v));
            EXPECT_GT(solid, 40) << what;
            EXPECT_GE(worst, 4.5) << what;
            EXPECT_GE(box.width(), 18) << what;
            EXPECT_GE(box.height(), 18) << what;
        }
    }
}

TEST(TrayIconTest, TheBarIsReadWhereOurIconLeavesItClear) {
    for (const QColor bar : {QColor(Qt::black), QColor(Qt::white), QColor(0x2e, 0x34, 0x36)}) {
        const QImage ours = StatusIconPainter::renderFilling(StatusIcon::Variant::locked, 22,
                                                             StatusIconPainter::inkAgainst(bar));
        // Still showing an earlier glyph, smaller and in the palette's colour.
        QImage grab = over(bar,
                           StatusIconPainter::renderFilling(StatusIcon::Variant::active, 18,
                                                            QColor(0x10, 0x90, 0x10)),
                           {2, 2});
        QPainter(&grab).drawImage(0, 0, ours);
        EXPECT_EQ(StatusIconPainter::backgroundBehind(grab, ours), bar) << bar.name().toStdString();
    }
    QImage full(22, 22, QImage::Format_ARGB32_Premultiplied);
    full.fill(Qt::black);
    EXPECT_FALSE(StatusIconPainter::backgroundBehind(full, full));
}

}  // namespace
}  // namespace sonvel
