#include "platform/linux/DesktopEntries.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string_view>

namespace sonvel {

namespace fs = std::filesystem;

namespace {

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    }
    return out;
}

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The escapes string values may hold.
std::string unescaped(std::string_view value) {
    std::string out;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's':
                out += ' ';
                break;
            case 'n':
                out += '\n';
                break;
            case 't':
                out += '\t';
                break;
            case 'r':
                out += '\r';
                break;
            default:
                out += value[i];
        }
    }
    return out;
}

// Exec's arguments, quoted as its rules allow.
std::vector<std::string> arguments(std::string_view exec) {
    std::vector<std::string> out;
    std::string current;
    bool quoted = false, started = false;
    for (std::size_t i = 0; i < exec.size(); ++i) {
        const char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            current += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            started = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (started) out.push_back(std::move(current));
            current.clear();
            started = false;
        } else {
            current += c;
            started = true;
        }
    }
    if (started) out.push_back(std::move(current));
    return out;
}

// The program Exec runs, looking through `env VAR=value program`, which
// launchers use to set a variable for one application.
std::string programOf(std::string_view exec) {
    const std::vector<std::string> args = arguments(exec);
    std::size_t at = 0;
    if (at < args.size() && fs::path(args[at]).filename() == "env") {
        ++at;
        while (at < args.size() &&
               (args[at].starts_with('-') || args[at].find('=') != std::string::npos)) {
            ++at;
        }
    }
    if (at == args.size()) return {};
    return fs::path(args[at]).filename().string();
}

// Icon= names a theme icon without an extension; many entries add one anyway.
std::string iconValue(std::string_view value) {
    if (!value.starts_with('/')) {
        const std::string lower = lowercased(value);
        for (const std::string_view ext : {".png", ".svg", ".xpm"}) {
            if (lower.size() > ext.size() && lower.ends_with(ext)) {
                return std::string(value.substr(0, value.size() - ext.size()));
            }
        }
    }
    return std::string(value);
}

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value || !*value) return std::nullopt;
    return std::string(value);
}

// At most `maxFileBytes` of a file, and whether that was all of it.
std::optional<std::pair<std::string, bool>> readCapped(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(DesktopEntries::maxFileBytes + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(std::size_t(in.gcount()));
    const bool complete = text.size() <= DesktopEntries::maxFileBytes;
    if (!complete) text.resize(DesktopEntries::maxFileBytes);
    return std::pair{std::move(text), complete};
}

}  // namespace

std::optional<DesktopEntries::Parsed> DesktopEntries::parse(const std::string& text,
                                                            bool complete) {
    // Binary junk, not an entry.
    if (text.find('\0') != std::string::npos) return std::nullopt;
    Parsed parsed;
    std::string type, exec;
    bool inEntry = false, entryEnded = false;
    for (std::size_t start = 0; start < text.size() && !entryEnded;) {
        const std::size_t end = text.find('\n', start);
        // A cut-off last line could be a cut-off value.
        if (end == std::string::npos && !complete) return std::nullopt;
        const std::size_t stop = end == std::string::npos ? text.size() : end;
        const std::string_view line = trimmed(std::string_view(text).substr(start, stop - start));
        start = stop + 1;
        if (line.size() > maxLineBytes || line.empty() || line.starts_with('#')) continue;
        if (line.starts_with('[')) {
            entryEnded = inEntry;
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!inEntry || eq == std::string_view::npos) continue;
        const std::string_view key = trimmed(line.substr(0, eq));
        std::string value = unescaped(trimmed(line.substr(eq + 1)));
        if (key == "Type")
            type = std::move(value);
        else if (key == "Name")
            parsed.entry.name = std::move(value);
        else if (key == "Exec")
            exec = std::move(value);
        else if (key == "Icon")
            parsed.entry.icon = iconValue(value);
        else if (key == "StartupWMClass")
            parsed.entry.wmClass = std::move(value);
        else if (key == "NoDisplay")
            parsed.entry.noDisplay = value == "true";
        else if (key == "Hidden")
            parsed.hidden = value == "true";
    }
    if (!inEntry && !entryEnded) return std::nullopt;
    if (type != "Application") return std::nullopt;
    parsed.entry.program = programOf(exec);
    return parsed;
}

std::vector<fs::path> DesktopEntries::applicationDirs() {
    std::vector<fs::path> dirs;
    const auto absolute = [](const std::string& dir) { return dir.starts_with('/'); };
    if (const auto home = environment("XDG_DATA_HOME"); home && absolute(*home)) {
        dirs.push_back(fs::path(*home) / "applications");
    } else if (const auto user = environment("HOME")) {
        dirs.push_back(fs::path(*user) / ".local/share/applications");
    }
    const std::string shared = environment("XDG_DATA_DIRS").value_or("/usr/local/share:/usr/share");
    for (std::size_t start = 0; start <= shared.size();) {
        const std::size_t colon = std::min(shared.find(':', start), shared.size());
        const std::string dir = shared.substr(start, colon - start);
        if (absolute(dir)) dirs.push_back(fs::path(dir) / "applications");
        start = colon + 1;
    }
    return dirs;
}

DesktopEntries DesktopEntries::scan(const std::vector<fs::path>& applicationDirs) {
    DesktopEntries entries;
    // An id found in a directory of higher precedence hides the others, even
    // when that entry is Hidden: that is how a user removes an application.
    std::set<std::string> seen;
    std::size_t files = 0;
    for (const fs::path& dir : applicationDirs) {
        std::error_code ec;
        fs::recursive_directory_iterator it(dir, fs::directory_options::skip_permission_denied, ec);
        for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            if (it.depth() > 4) it.disable_recursion_pending();
            const fs::path& path = it->path();
            if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
            if (++files > maxFiles) return entries;
            std::string id = path.lexically_relative(dir).replace_extension().string();
            std::ranges::replace(id, '/', '-');
            if (seen.contains(id)) continue;
            const auto text = readCapped(path);
            if (!text) continue;
            auto parsed = parse(text->first, text->second);
            if (!parsed) continue;
            seen.insert(id);
            if (parsed->hidden) continue;
            parsed->entry.id = std::move(id);
            parsed->entry.file = path;
            entries.add(std::move(parsed->entry));
        }
    }
    return entries;
}

const DesktopEntries& DesktopEntries::installed() {
    static const DesktopEntries entries = scan(applicationDirs());
    return entries;
}

void DesktopEntries::add(DesktopEntry entry) {
    const std::size_t at = entries_.size();
    // Where two entries run the same program, the one in menus speaks for it.
    const auto index = [&](std::map<std::string, std::size_t>& map, const std::string& key) {
        if (key.empty()) return;
        const auto [slot, added] = map.try_emplace(key, at);
        if (!added && entries_[slot->second].noDisplay && !entry.noDisplay) slot->second = at;
    };
    index(byID_, entry.id);
    index(byLowerID_, lowercased(entry.id));
    index(byProgram_, entry.program);
    index(byLowerWMClass_, lowercased(entry.wmClass));
    entries_.push_back(std::move(entry));
}

const DesktopEntry* DesktopEntries::find(const std::map<std::string, std::size_t>& index,
                                         const std::string& key) const {
    if (key.empty()) return nullptr;
    const auto hit = index.find(key);
    return hit == index.end() ? nullptr : &entries_[hit->second];
}

const DesktopEntry* DesktopEntries::match(const AppIdentity& app) const {
    if (const auto* e = find(byID_, app.id)) return e;
    if (const auto* e = find(byLowerID_, lowercased(app.id))) return e;
    if (const auto* e = find(byProgram_, app.binary)) return e;
    for (const std::string* key : {&app.id, &app.binary, &app.name}) {
        if (const auto* e = find(byLowerWMClass_, lowercased(*key))) return e;
    }
    return find(byLowerID_, lowercased(app.binary));
}

const DesktopEntry* DesktopEntries::atFile(const fs::path& file) const {
    const auto hit = std::ranges::find(entries_, file, &DesktopEntry::file);
    return hit == entries_.end() ? nullptr : &*hit;
}

std::optional<std::string> DesktopEntries::iconName(const AppIdentity& app) const {
    if (!app.iconHint.empty()) return app.iconHint;
    const DesktopEntry* entry = match(app);
    if (!entry || entry->icon.empty()) return std::nullopt;
    return entry->icon;
}

}  // namespace sonvel
