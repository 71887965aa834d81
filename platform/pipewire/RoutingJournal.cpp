#include "platform/pipewire/RoutingJournal.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <nlohmann/json.hpp>

namespace sonvel::pw {

namespace fs = std::filesystem;
using json = nlohmann::json;

namespace {

// SPA's limit on a stream's channels.
constexpr std::size_t maxChannels = 64;

bool isSerial(const std::string& text) {
    return !text.empty() && text.size() <= 20 &&
           std::ranges::all_of(text, [](char c) { return c >= '0' && c <= '9'; });
}

bool areVolumes(const std::vector<float>& volumes) {
    return volumes.size() <= maxChannels &&
           std::ranges::all_of(volumes, [](float v) { return std::isfinite(v) && v >= 0.0f; });
}

struct Descriptor {
    explicit Descriptor(int f) : fd(f) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
    int fd;
};

// None when there is no file. Opened without blocking and checked on the open
// descriptor, so that a fifo left at the path cannot hold the start up.
std::expected<std::optional<std::string>, std::string> readSmallFile(const fs::path& file) {
    const Descriptor d(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (d.fd < 0 && errno == ENOENT) return std::nullopt;
    if (d.fd < 0)
        return std::unexpected(fmt::format("it cannot be opened ({})", std::strerror(errno)));
    struct stat st {};
    if (::fstat(d.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return std::unexpected(std::string("it is not a regular file"));
    }
    std::string bytes;
    char buffer[1 << 16];
    for (;;) {
        const ssize_t n = ::read(d.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0)
            return std::unexpected(fmt::format("it cannot be read ({})", std::strerror(errno)));
        if (n == 0) return bytes;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > RoutingJournal::maxFileSize) {
            return std::unexpected(std::string("it is larger than 1 MiB"));
        }
    }
}

std::optional<RoutingJournal::Entry> entryOf(const json& j) {
    if (!j.is_object()) return std::nullopt;
    const auto target = j.find("target");
    const auto type = j.find("type");
    if (target == j.end() || type == j.end() || !type->is_string()) return std::nullopt;
    if (!target->is_null() && !target->is_string()) return std::nullopt;
    RoutingJournal::Entry entry;
    if (target->is_string()) entry.target = target->get<std::string>();
    entry.type = type->get<std::string>();
    const auto volumes = j.find("volumes");
    if (volumes == j.end() || volumes->is_null()) return entry;
    if (!volumes->is_array()) return std::nullopt;
    std::vector<float> read;
    for (const json& v : *volumes) {
        // Past float's range the conversion is undefined, not merely wrong.
        if (!v.is_number() || std::abs(v.get<double>()) > std::numeric_limits<float>::max()) {
            return std::nullopt;
        }
        read.push_back(static_cast<float>(v.get<double>()));
    }
    if (!areVolumes(read)) return std::nullopt;
    entry.volumes = std::move(read);
    return entry;
}

// Missing folders are made private to the user, as XDG asks of state.
bool makeDirectories(const fs::path& dir) {
    fs::path built;
    for (const fs::path& part : dir) {
        built /= part;
        if (::mkdir(built.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    return true;
}

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = ::write(fd, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

fs::path RoutingJournal::defaultPath() {
    fs::path state;
    // XDG says to ignore a relative value.
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && *xdg == '/') {
        state = xdg;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        state = fs::path(home) / ".local" / "state";
    } else {
        std::error_code error;
        state = fs::temp_directory_path(error);
        if (error) state = "/tmp";
    }
    return state / "sonvel" / "routing.json";
}

RoutingJournal RoutingJournal::open(fs::path file) {
    RoutingJournal journal(std::move(file));
    const auto warn = [&](std::string_view why) {
        journal.warning_ =
            fmt::format("The routing journal {} was not read: {}.", journal.file_.string(), why);
        return std::move(journal);
    };
    const auto bytes = readSmallFile(journal.file_);
    if (!bytes) return warn(bytes.error());
    if (!*bytes) return journal;
    if ((*bytes)->empty()) return warn("it is empty");
    const json doc = json::parse(**bytes, nullptr, false);
    if (doc.is_discarded()) return warn("it is not valid JSON");
    const auto streams = doc.is_object() ? doc.find("streams") : doc.end();
    if (!doc.is_object() || streams == doc.end() || !streams->is_object()) {
        return warn("it holds no streams");
    }
    if (const auto pid = doc.find("pid"); pid != doc.end() && pid->is_number_integer()) {
        const auto value = pid->get<std::int64_t>();
        if (value > 0 && value <= std::numeric_limits<pid_t>::max()) {
            journal.writer_ = static_cast<pid_t>(value);
        }
    }
    std::size_t dropped = 0;
    for (const auto& [serial, value] : streams->items()) {
        auto entry = entryOf(value);
        if (isSerial(serial) && entry) {
            journal.entries_.emplace(serial, std::move(*entry));
        } else {
            ++dropped;
        }
    }
    if (dropped > 0) {
        journal.warning_ =
            fmt::format("The routing journal {} has {} stream{} it cannot understand, left out.",
                        journal.file_.string(), dropped, dropped == 1 ? "" : "s");
    }
    return journal;
}

bool RoutingJournal::writerIsGone() const {
    // kill with 0 only asks; the pid was checked positive, so never a group.
    return writer_ && ::kill(*writer_, 0) != 0 && errno == ESRCH;
}

std::expected<void, std::string> RoutingJournal::remember(const std::string& serial, Entry entry) {
    if (!isSerial(serial)) {
        return std::unexpected(fmt::format("'{}' is not a stream's serial number.", serial));
    }
    if (entry.volumes && !areVolumes(*entry.volumes)) {
        return std::unexpected(fmt::format("Stream {} has volumes no stream can have.", serial));
    }
    entries_.insert_or_assign(serial, std::move(entry));
    return save();
}

std::expected<void, std::string> RoutingJournal::forget(const std::string& serial) {
    if (entries_.erase(serial) == 0) return {};
    return save();
}

std::expected<void, std::string> RoutingJournal::prune(const std::set<std::string>& liveSerials) {
    if (std::erase_if(entries_, [&](const auto& e) { return !liveSerials.contains(e.first); }) ==
        0) {
        return {};
    }
    return save();
}

std::optional<RoutingJournal::Entry> RoutingJournal::saved(const std::string& serial) const {
    const auto found = entries_.find(serial);
    if (found == entries_.end()) return std::nullopt;
    return found->second;
}

std::expected<void, std::string> RoutingJournal::save() const {
    json streams = json::object();
    for (const auto& [serial, e] : entries_) {
        json j{{"target", e.target ? json(*e.target) : json()}, {"type", e.type}};
        if (e.volumes) j["volumes"] = *e.volumes;
        streams[serial] = std::move(j);
    }
    // Metadata values are not promised to be UTF-8; a stray byte must not
    // cost the whole journal.
    const std::string text =
        json{{"version", 1}, {"pid", ::getpid()}, {"streams", std::move(streams)}}.dump(
            1, ' ', false, json::error_handler_t::replace) +
        "\n";

    const auto failed = [&](std::string_view why) {
        return std::unexpected(fmt::format("The routing journal {} could not be written: {} ({}).",
                                           file_.string(), why, std::strerror(errno)));
    };
    const fs::path dir = file_.parent_path();
    if (!makeDirectories(dir)) return failed("its folder cannot be made");
    std::string temp = (dir / (file_.filename().string() + ".XXXXXX")).string();
    Descriptor d(::mkostemp(temp.data(), O_CLOEXEC));
    if (d.fd < 0) return failed("no file can be made beside it");
    const bool written = writeAll(d.fd, text) && ::fsync(d.fd) == 0;
    const int fd = std::exchange(d.fd, -1);
    if (::close(fd) != 0 || !written || ::rename(temp.c_str(), file_.c_str()) != 0) {
        const auto error = failed("the new contents could not be put in place");
        ::unlink(temp.c_str());
        return error;
    }
    // The rename lasts through a power cut only once the folder is on disk too.
    const Descriptor folder(
        ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.fd >= 0) ::fsync(folder.fd);
    return {};
}

}  // namespace sonvel::pw
