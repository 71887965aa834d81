#pragma once

#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sonvel {

// An installed application as its desktop entry describes it: Linux's nearest
// thing to an application bundle.
struct DesktopEntry {
    std::string id;  // "org.gnome.Rhythmbox3", "kde-okular" for applications/kde/okular.desktop
    std::filesystem::path file;
    std::string name;
    std::string program;  // the file name of Exec's program
    std::string icon;     // an icon-theme name or an absolute image path; may be empty
    std::string wmClass;  // StartupWMClass
    bool noDisplay = false;

    bool operator==(const DesktopEntry&) const = default;
};

// What a running application says of itself through its audio streams.
struct AppIdentity {
    std::string id;        // application.id
    std::string binary;    // application.process.binary, else the executable's file name
    std::string name;      // application.name
    std::string iconHint;  // application.icon_name
};

// Every desktop entry of the XDG data directories, read once. Entries are
// small ini files anyone can drop in ~/.local/share/applications, so each
// read is capped: a file that is not text, or whose [Desktop Entry] group
// does not fit the cap, is left out instead of slowing the start.
class DesktopEntries {
  public:
    static constexpr std::size_t maxFileBytes = 64 * 1024;
    static constexpr std::size_t maxLineBytes = 4 * 1024;
    static constexpr std::size_t maxFiles = 10'000;

    // $XDG_DATA_HOME's applications directory, then each of $XDG_DATA_DIRS',
    // in that order of precedence, with the defaults the base directory
    // rules give when they are unset.
    static std::vector<std::filesystem::path> applicationDirs();
    static DesktopEntries scan(const std::vector<std::filesystem::path>& applicationDirs);
    // The entries of the user's directories, scanned on first use.
    static const DesktopEntries& installed();

    // One file's [Desktop Entry] group; none for anything but a shown or
    // hidden application. Hidden entries come back with `hidden` set.
    struct Parsed {
        DesktopEntry entry;
        bool hidden = false;
    };
    static std::optional<Parsed> parse(const std::string& text, bool complete);

    // The entry an application belongs to: by desktop id, by Exec's program,
    // by StartupWMClass, last by a desktop id that is its binary's name.
    [[nodiscard]] const DesktopEntry* match(const AppIdentity& app) const;
    [[nodiscard]] const DesktopEntry* atFile(const std::filesystem::path& file) const;
    // The application's own icon hint, else its entry's icon.
    [[nodiscard]] std::optional<std::string> iconName(const AppIdentity& app) const;
    [[nodiscard]] std::size_t size() const { return entries_.size(); }

  private:
    void add(DesktopEntry entry);
    [[nodiscard]] const DesktopEntry* find(const std::map<std::string, std::size_t>& index,
                                           const std::string& key) const;

    std::vector<DesktopEntry> entries_;
    std::map<std::string, std::size_t> byID_, byLowerID_, byProgram_, byLowerWMClass_;
};

}  // namespace sonvel
