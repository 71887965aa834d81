#include "ui/SymbolIcons.hpp"

#include <QDir>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <array>
#include <map>
#include <tuple>

#include "Sonvel/views/Symbols.hpp"

namespace sonvel::SymbolIcons {

namespace {

using Draw = void (*)(QPainter&);

constexpr const char* fallbackTheme = "Adwaita";

// Every drawing is in a 16 by 16 box, pen and brush already in the symbol's colour.
void gear(QPainter& p) {
    p.setPen(QPen(p.brush().color(), 2.2, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 8; ++i) {
        p.save();
        p.translate(8, 8);
        p.rotate(45.0 * i);
        p.drawLine(QPointF(0, 4.5), QPointF(0, 6.8));
        p.restore();
    }
    p.setPen(QPen(p.brush().color(), 2.0));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QPointF(8, 8), 3.6, 3.6);
}

void pauseCircle(QPainter& p) {
    p.drawEllipse(QRectF(1, 1, 14, 14));
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawRect(QRectF(5.5, 4.5, 1.8, 7));
    p.drawRect(QRectF(8.7, 4.5, 1.8, 7));
}

void lock(QPainter& p) {
    p.drawRoundedRect(QRectF(2.5, 7, 11, 8), 1.5, 1.5);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.8));
    p.drawArc(QRectF(4.5, 1.5, 7, 10), 0, 180 * 16);
    p.drawLine(QPointF(4.5, 6.5), QPointF(4.5, 7.5));
    p.drawLine(QPointF(11.5, 6.5), QPointF(11.5, 7.5));
}

void warning(QPainter& p) {
    p.drawPolygon(QPolygonF({QPointF(8, 1), QPointF(15.5, 14.5), QPointF(0.5, 14.5)}));
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawRect(QRectF(7.1, 5, 1.8, 5.5));
    p.drawEllipse(QPointF(8, 12.3), 1.0, 1.0);
}

void speaker(QPainter& p) {
    p.drawPolygon(QPolygonF({QPointF(1, 5.5), QPointF(4, 5.5), QPointF(8, 2), QPointF(8, 14),
                             QPointF(4, 10.5), QPointF(1, 10.5)}));
}

void speakerSlash(QPainter& p) {
    speaker(p);
    p.setPen(QPen(p.pen().color(), 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 5.5), QPointF(15, 10.5));
    p.drawLine(QPointF(15, 5.5), QPointF(10, 10.5));
}

void speakerWaves(QPainter& p) {
    speaker(p);
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawArc(QRectF(6, 4.5, 5, 7), -60 * 16, 120 * 16);
    p.drawArc(QRectF(5, 1.5, 10, 13), -60 * 16, 120 * 16);
}

void hifiSpeakerFilled(QPainter& p) {
    p.drawRoundedRect(QRectF(3, 0.5, 10, 15), 2, 2);
    p.setCompositionMode(QPainter::CompositionMode_Clear);
    p.drawEllipse(QPointF(8, 4), 1.4, 1.4);
    p.drawEllipse(QPointF(8, 10.5), 3, 3);
}

void hifiSpeaker(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.3));
    p.drawRoundedRect(QRectF(3.5, 1, 9, 14), 2, 2);
    p.drawEllipse(QPointF(8, 4.2), 1.2, 1.2);
    p.drawEllipse(QPointF(8, 10.3), 2.6, 2.6);
}

void appDash(QPainter& p) {
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(p.pen().color(), 1.3, Qt::DashLine));
    p.drawRoundedRect(QRectF(1.5, 1.5, 13, 13), 3, 3);
}

struct Entry {
    std::string_view symbol;
    std::string_view themeName;
    Draw draw;
};

// The one table of symbols and the icon-theme names that stand for them.
constexpr std::array table{
    Entry{Symbols::soundSettings, "preferences-system", gear},
    Entry{Symbols::paused, "media-playback-pause", pauseCircle},
    Entry{Symbols::locked, "changes-prevent", lock},
    Entry{Symbols::warning, "dialog-warning", warning},
    Entry{Symbols::muted, "audio-volume-muted", speakerSlash},
    Entry{Symbols::unmuted, "audio-volume-high", speakerWaves},
    Entry{Symbols::routed, "audio-speakers", hifiSpeakerFilled},
    Entry{Symbols::followsDefault, "audio-card", hifiSpeaker},
    Entry{Symbols::genericApp, "application-x-executable", appDash},
};

const Entry* find(std::string_view symbol) {
    for (const Entry& e : table) {
        if (e.symbol == symbol) return &e;
    }
    return nullptr;
}

}  // namespace

void useDesktopTheme() {
    QStringList paths = QIcon::themeSearchPaths();
    QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(':', Qt::SkipEmptyParts);
    if (dataDirs.isEmpty()) dataDirs = {"/usr/local/share", "/usr/share"};
    const QString dataHome =
        qEnvironmentVariable("XDG_DATA_HOME", QDir::homePath() + "/.local/share");
    for (const QString& dir : QStringList{dataHome} + dataDirs) {
        if (!paths.contains(dir + "/icons")) paths << dir + "/icons";
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == "hicolor") {
        QIcon::setThemeName(fallbackTheme);
    } else if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == "hicolor") {
        QIcon::setFallbackThemeName(fallbackTheme);
    }
}

std::optional<std::string_view> themeName(std::string_view symbol) {
    const Entry* e = find(symbol);
    return e ? std::optional(e->themeName) : std::nullopt;
}

QIcon fromDrawing(void (*draw)(QPainter&), const QColor& colour) {
    QIcon icon;
    for (const int side : {16, 22, 32, 44}) {
        QPixmap pixmap(side, side);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(side / 16.0, side / 16.0);
        p.setPen(QPen(colour, 1.0));
        p.setBrush(colour);
        draw(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

QIcon drawn(std::string_view symbol, const QColor& colour) {
    const Entry* e = find(symbol);
    return e ? fromDrawing(e->draw, colour) : QIcon();
}

QIcon icon(std::string_view symbol, const QColor& colour) {
    const Entry* e = find(symbol);
    if (!e) return {};
    // A theme lookup reads directories; a panel asks for the same few icons
    // on every row. Kept per theme, so a changed theme is looked up afresh.
    static std::map<std::tuple<QString, std::string_view, QRgb>, QIcon> cache;
    const auto cacheKey = std::tuple(QIcon::themeName() + QIcon::themeSearchPaths().join(':'),
                                     e->symbol, colour.rgba());
    if (const auto found = cache.find(cacheKey); found != cache.end()) return found->second;
    const QString name = QString::fromUtf8(e->themeName.data(), qsizetype(e->themeName.size()));
    QIcon result = QIcon::hasThemeIcon(name) ? QIcon::fromTheme(name) : drawn(symbol, colour);
    cache.emplace(cacheKey, result);
    return result;
}

}  // namespace sonvel::SymbolIcons
