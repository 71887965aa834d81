// Applications' icons on Linux: desktop entries and icons in temporary XDG
// data directories, read as the application reads the user's own.

#include <gtest/gtest.h>

#include <QDir>
#include <QIcon>
#include <QImage>
#include <QTemporaryDir>
#include <chrono>
#include <fstream>

#include "platform/linux/DesktopEntries.hpp"
#include "ui/AppIcons.hpp"
#include "ui/SymbolIcons.hpp"

namespace sonvel {
namespace {

void write(const QString& path, const std::string& text) {
    QDir().mkpath(QFileInfo(path).path());
    std::ofstream(path.toStdString(), std::ios::binary) << text;
}

std::string entry(const std::string& keys) {
    return "# a comment\n[Desktop Entry]\nType=Application\n" + keys + "\n[Desktop Action x]\n";
}

QImage drawn(const QIcon& icon) {
    return icon.pixmap(48, 48).toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST(AppIconsTest, EachApplicationShowsItsHintOrItsEntrysIconElseTheGenericSymbol) {
    QTemporaryDir home, shared;
    const QString apps = shared.path() + "/applications/", own = home.path() + "/applications/";
    const std::string root = shared.path().toStdString();
    write(own + "foo.desktop", entry("Name=Foo\nExec=foo-bin %U\nIcon=foo"));
    write(apps + "foo.desktop", entry("Exec=foo-bin\nIcon=shadowed"));
    write(apps + "tools/bar.desktop",
          entry("Exec=env A=1 \"" + root + "/my bar/bar run\" %f\nIcon=" + root +
                "/bar.png\nStartupWMClass=BarWindow"));
    write(own + "gone.desktop", entry("Hidden=true"));
    write(apps + "gone.desktop", entry("Exec=gone\nIcon=foo"));
    write(apps + "link.desktop", "[Desktop Entry]\nType=Link\nIcon=foo\n");
    const QString theme = shared.path() + "/icons/hicolor/";
    write(theme + "index.theme",
          "[Icon Theme]\nDirectories=48x48/apps\n[48x48/apps]\nSize=48\nType=Fixed\n");
    for (const auto& [file, colour] : {std::pair{theme + "48x48/apps/foo.png", Qt::red},
                                       {theme + "48x48/apps/hinted.png", Qt::green},
                                       {shared.path() + "/bar.png", Qt::blue}}) {
        QDir().mkpath(QFileInfo(file).path());
        QImage image(48, 48, QImage::Format_ARGB32);
        image.fill(colour);
        ASSERT_TRUE(image.save(file));
    }

    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    qputenv("XDG_DATA_DIRS", shared.path().toUtf8());
    const QStringList searchPaths = QIcon::themeSearchPaths();
    SymbolIcons::useDesktopTheme();
    const DesktopEntries entries = DesktopEntries::scan(DesktopEntries::applicationDirs());
    qunsetenv("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_DIRS");
    EXPECT_EQ(entries.size(), 2U) << "shadowed, hidden and link entries are left out";

    const QImage generic = drawn(appIcon(std::nullopt, {}, QPalette()));
    // Each application and its icon's colour; none: the generic symbol.
    const std::pair<AppIdentity, std::optional<QRgb>> cases[] = {
        {{"foo", "", "", ""}, qRgb(255, 0, 0)},
        {{"", "foo-bin", "", ""}, qRgb(255, 0, 0)},
        {{"", "", "barwindow", ""}, qRgb(0, 0, 255)},
        {{"", "bar run", "", ""}, qRgb(0, 0, 255)},
        {{"tools-bar", "", "", ""}, qRgb(0, 0, 255)},
        {{"foo", "foo-bin", "Foo", "hinted"}, qRgb(0, 255, 0)},
        {{"gone", "gone", "", ""}, std::nullopt},
        {{"nobody", "nobody", "Nobody", ""}, std::nullopt},
    };
    for (const auto& [app, colour] : cases) {
        const QIcon icon = appIcon(
            "app", [&](const std::string&) { return entries.iconName(app); }, QPalette());
        if (colour)
            EXPECT_EQ(drawn(icon).pixel(24, 24), *colour) << app.id << app.binary;
        else
            EXPECT_EQ(drawn(icon), generic) << app.id;
    }
    QIcon::setThemeSearchPaths(searchPaths);
}

TEST(DesktopEntriesTest, HostileFilesAreSkippedQuicklyAmongHundredsOfEntries) {
    QTemporaryDir dir;
    const QString apps = dir.path() + "/applications/";
    for (int i = 0; i < 400; ++i) {
        write(apps + QString("app%1.desktop").arg(i),
              entry("Exec=/usr/bin/app" + std::to_string(i) + "\nIcon=app"));
    }
    write(apps + "huge.desktop", "[Desktop Entry]\nType=Application\nIcon=" +
                                     std::string(10 << 20, 'x') + "\nExec=huge\n");
    std::string junk(1 << 20, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = char((i * 7919) % 251);
    write(apps + "junk.desktop", junk);
    write(apps + "long.desktop", entry("Name=" + std::string(8192, 'n') + "\nExec=long\nIcon=ok"));

    const auto start = std::chrono::steady_clock::now();
    const DesktopEntries entries = DesktopEntries::scan({apps.toStdString()});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(entries.size(), 401U);
    EXPECT_EQ(entries.iconName({"", "huge", "", ""}), std::nullopt);
    EXPECT_EQ(entries.iconName({"", "app399", "", ""}), "app");
    EXPECT_EQ(entries.iconName({"long", "", "", ""}), "ok") << "an overlong line alone is dropped";
}

}  // namespace
}  // namespace sonvel
