#include "platform/linux/XdgLoginItem.hpp"

#include <fmt/format.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <system_error>

namespace sonvel {

namespace fs = std::filesystem;

namespace {

fs::path userConfigHome() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return xdg;
    if (const char* home = std::getenv("HOME"); home && *home) return fs::path(home) / ".config";
    return fs::temp_directory_path();
}

// Exec= needs quoting when the path has spaces or specials.
std::string quoted(const fs::path& path) {
    std::string out = "\"";
    for (char c : path.string()) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

constexpr std::uint32_t folderEvents = IN_CREATE | IN_DELETE | IN_MODIFY | IN_CLOSE_WRITE |
                                       IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF |
                                       IN_MOVE_SELF;

// Watches `entry` until `stop`: its folder for the entry's own events, and
// the nearest existing folder above it for the missing ones appearing (the
// autostart folder does not exist until some program first asks to start at
// login). A newly watched folder counts as a change, since the entry may have
// been written before the watch began. Sleeps in poll; a write to `wake`
// after the stop request wakes it. `wake` belongs to the caller.
void watch(const fs::path& entry, const std::function<void()>& changed, std::stop_token stop,
           int wake, std::latch& ready) {
    const int events = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (events < 0) {
        ready.count_down();
        return;
    }
    const fs::path folder = entry.parent_path();
    const std::string name = entry.filename().string();
    int folderWatch = -1;
    int aboveWatch = -1;
    fs::path above;
    // True when the folder's watch began now. The nearest folder is watched
    // before looking again, so nothing made in between goes unseen.
    const auto rewatch = [&] {
        for (;;) {
            std::error_code error;
            fs::path nearest = folder.parent_path();
            while (nearest.has_relative_path() && !fs::is_directory(nearest, error)) {
                nearest = nearest.parent_path();
            }
            if (nearest == above) break;
            if (aboveWatch >= 0) ::inotify_rm_watch(events, aboveWatch);
            aboveWatch = ::inotify_add_watch(events, nearest.c_str(), IN_CREATE | IN_MOVED_TO);
            above = nearest;
        }
        return folderWatch < 0 &&
               (folderWatch = ::inotify_add_watch(events, folder.c_str(), folderEvents)) >= 0;
    };
    rewatch();
    ready.count_down();
    while (!stop.stop_requested()) {
        pollfd fds[2] = {{events, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) <= 0 || (fds[1].revents & POLLIN)) continue;
        alignas(inotify_event) char buffer[4096];
        bool relevant = false;
        for (ssize_t n; (n = ::read(events, buffer, sizeof buffer)) > 0;) {
            for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
                inotify_event event{};
                std::memcpy(&event, buffer + at, sizeof event);
                const std::string named = event.len ? buffer + at + sizeof event : "";
                at += sizeof event + event.len;
                if (event.wd == folderWatch) {
                    if (event.mask & IN_IGNORED) folderWatch = -1;
                    relevant |= named == name || (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF));
                }
            }
        }
        if (rewatch() || relevant) changed();
    }
    ::close(events);
}

}  // namespace

void XdgLoginItem::observe(std::function<void()> changed) {
    stopWatching();
    wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_ < 0) return;
    // Changes from the moment this returns are seen.
    std::latch ready(1);
    watcher_ = std::jthread(
        [entry = entry_, changed = std::move(changed), wake = wake_, &ready](std::stop_token stop) {
            watch(entry, changed, std::move(stop), wake, ready);
        });
    ready.wait();
}

// The wake descriptor is closed here, after the join, never by the watcher:
// closing it there would race the write that wakes it.
void XdgLoginItem::stopWatching() {
    if (watcher_.joinable()) {
        watcher_.request_stop();
        const std::uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        watcher_.join();
    }
    if (wake_ >= 0) ::close(wake_);
    wake_ = -1;
}

XdgLoginItem::~XdgLoginItem() {
    stopWatching();
}

XdgLoginItem::XdgLoginItem(fs::path configHome, fs::path executable)
    : entry_((configHome.empty() ? userConfigHome() : configHome) / "autostart" /
             "app.velmorra.sonvel.desktop"),
      executable_(executable.empty() ? fs::read_symlink("/proc/self/exe") : executable) {}

std::expected<void, std::string> XdgLoginItem::setEnabled(bool enabled) {
    std::error_code error;
    if (!enabled) {
        fs::remove(entry_, error);
        if (error) {
            return std::unexpected(fmt::format(
                "Sonvel could not be removed from the login items: {}.", error.message()));
        }
        return {};
    }
    fs::create_directories(entry_.parent_path(), error);
    std::ofstream file(entry_, std::ios::trunc);
    if (error || !file) {
        return std::unexpected(
            fmt::format("Sonvel could not be added to the login items: {} cannot be written.",
                        entry_.string()));
    }
    file << "[Desktop Entry]\n"
         << "Type=Application\n"
         << "Name=Sonvel\n"
         << "Comment=Per-application volume\n"
         << "Exec=" << quoted(executable_) << "\n"
         << "X-GNOME-Autostart-enabled=true\n";
    file.close();
    if (!file) {
        return std::unexpected(
            fmt::format("Sonvel could not be added to the login items: {} cannot be written.",
                        entry_.string()));
    }
    return {};
}

bool XdgLoginItem::isEnabled() const {
    std::ifstream file(entry_);
    if (!file) return false;
    for (std::string line; std::getline(file, line);) {
        if (line == "Hidden=true" || line == "X-GNOME-Autostart-enabled=false") return false;
    }
    return true;
}

}  // namespace sonvel
