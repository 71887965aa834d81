#include "platform/qt/QtPreferencesStore.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QSettings>
#include <QStandardPaths>
#include <QString>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

namespace sonvel {

namespace fs = std::filesystem;

namespace {

// The system's reason as it reads inside a sentence: "permission denied".
std::string failed(const std::string& what, int error) {
    std::string reason = std::strerror(error);
    if (!reason.empty()) {
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    }
    return what + " (" + reason + ")";
}

// Opening a FIFO waits for a writer, for ever at start-up; a device or a
// folder is no settings file either. Told from the path alone, never opened.
std::optional<std::string> notPlain(const std::string& path, mode_t mode) {
    if (S_ISREG(mode)) return std::nullopt;
    const char* kind = S_ISDIR(mode)                    ? "a folder"
                       : S_ISFIFO(mode)                 ? "a FIFO (named pipe)"
                       : S_ISSOCK(mode)                 ? "a socket"
                       : S_ISCHR(mode) || S_ISBLK(mode) ? "a device"
                                                        : "something other than a file";
    return path + " is " + kind + ", not a settings file";
}

// The whole file, none when there is none.
std::expected<std::optional<std::string>, std::string> readPlain(const std::string& path) {
    struct stat seen {};
    if (::stat(path.c_str(), &seen) != 0) {
        if (errno == ENOENT) return std::nullopt;
        return std::unexpected(failed(path + " cannot be read", errno));
    }
    if (auto refused = notPlain(path, seen.st_mode)) return std::unexpected(*refused);
    // Non-blocking, so that one swapped in since the look cannot hang us either.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return std::unexpected(failed(path + " cannot be read", errno));
    struct stat opened {};
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return std::unexpected(path + " changed while it was being read");
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int error = errno;
            ::close(fd);
            return std::unexpected(failed(path + " cannot be read", error));
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// The file a chain of symbolic links ends at (which may not exist yet): the
// replacement goes there, so the user's link stays a link.
std::expected<std::string, std::string> target(const std::string& path) {
    fs::path current = path;
    for (int depth = 0; depth < 40; ++depth) {
        struct stat seen {};
        if (::lstat(current.c_str(), &seen) != 0 || !S_ISLNK(seen.st_mode)) {
            return current.string();
        }
        std::error_code error;
        const fs::path next = fs::read_symlink(current, error);
        if (error)
            return std::unexpected(failed(current.string() + " cannot be followed", error.value()));
        current = next.is_absolute() ? next : current.parent_path() / next;
    }
    return std::unexpected(failed(path + " cannot be followed", ELOOP));
}

// A file or folder marked read-only for everyone is a lock the user set, kept
// even by a process whose privileges would let it write anyway.
std::optional<std::string> locked(const std::string& path, mode_t mode, int access) {
    if ((mode & 0222) == 0) return failed(path + " is read-only", EACCES);
    if (::access(path.c_str(), access) != 0) return failed(path + " cannot be written", errno);
    return std::nullopt;
}

// 0 or the error.
int writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        done += static_cast<std::size_t>(n);
    }
    return 0;
}

int syncFile(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) return errno;
    const int error = ::fsync(fd) == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

}  // namespace

QtPreferencesStore::QtPreferencesStore() : QtPreferencesStore(userFile()) {}

QtPreferencesStore::QtPreferencesStore(std::string file) : file_(std::move(file)) {}

std::string QtPreferencesStore::userFile() {
    // Where QSettings' native format keeps "velmorra"/"app.velmorra.sonvel"
    // on Linux, worked out without letting QSettings open it.
    return (QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
            QStringLiteral("/velmorra/app.velmorra.sonvel.conf"))
        .toStdString();
}

std::optional<std::string> QtPreferencesStore::refusal() const {
    const auto bytes = readPlain(file_);
    return bytes ? std::nullopt : std::optional(bytes.error());
}

std::expected<std::optional<std::string>, std::string> QtPreferencesStore::data(
    const std::string& key) const {
    const auto bytes = readPlain(file_);
    if (!bytes) return std::unexpected(bytes.error());
    if (!*bytes) return std::nullopt;
    const QSettings settings(QString::fromStdString(file_), QSettings::IniFormat);
    const QVariant value = settings.value(QString::fromStdString(key));
    if (!value.isValid()) return std::nullopt;
    const QByteArray stored = value.toByteArray();
    return std::string(stored.constData(), static_cast<std::size_t>(stored.size()));
}

std::expected<void, std::string> QtPreferencesStore::setData(const std::string& key,
                                                             const std::string& bytes) {
    const auto path = target(file_);
    if (!path) return std::unexpected(path.error());
    const fs::path folder = fs::path(*path).parent_path();
    std::error_code created;
    fs::create_directories(folder, created);
    if (created)
        return std::unexpected(failed(folder.string() + " cannot be created", created.value()));
    // Read first: the file holds other settings than ours, which must stay.
    const auto existing = readPlain(*path);
    if (!existing) return std::unexpected(existing.error());
    mode_t mode = 0600;
    struct stat seen {};
    if (*existing && ::stat(path->c_str(), &seen) == 0) {
        mode = seen.st_mode & 07777;
        if (auto refused = locked(*path, seen.st_mode, W_OK)) return std::unexpected(*refused);
    }
    if (::stat(folder.c_str(), &seen) != 0) {
        return std::unexpected(failed(folder.string() + " cannot be read", errno));
    }
    if (auto refused = locked(folder.string(), seen.st_mode, W_OK | X_OK)) {
        return std::unexpected(*refused);
    }

    const std::string pattern =
        (folder / ("." + fs::path(*path).filename().string() + ".XXXXXX")).string();
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return std::unexpected(failed(folder.string() + " cannot be written", errno));
    const std::string temporary(name.data());
    const auto abandon = [&](std::string why) {
        ::unlink(temporary.c_str());
        return std::unexpected(std::move(why));
    };
    int error = ::fchmod(fd, mode) == 0 ? writeAll(fd, existing->value_or(std::string())) : errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error != 0) return abandon(failed(*path + " cannot be written", error));
    {
        QSettings settings(QString::fromStdString(temporary), QSettings::IniFormat);
        settings.setValue(QString::fromStdString(key),
                          QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
        settings.sync();
        if (settings.status() != QSettings::NoError) {
            return abandon(*path + " cannot be written (the new settings could not be stored)");
        }
    }
    if (const int synced = syncFile(temporary, O_RDONLY); synced != 0) {
        return abandon(failed(*path + " cannot be written", synced));
    }
    if (::rename(temporary.c_str(), path->c_str()) != 0) {
        return abandon(failed(*path + " cannot be replaced", errno));
    }
    // The rename lasts through a power cut only once the folder is on disk.
    syncFile(folder.string(), O_RDONLY | O_DIRECTORY);
    return {};
}

std::expected<std::string, std::string> QtPreferencesStore::keepCopy(
    const std::string& bytes, std::chrono::system_clock::time_point when) {
    const fs::path settings(file_);
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H-%M-%S", &utc);
    const std::string stem =
        (settings.parent_path() / (settings.stem().string() + ".unreadable-" + stamp)).string();
    for (int n = 1; n <= 100; ++n) {
        const std::string path = stem + (n == 1 ? "" : "-" + std::to_string(n)) + ".json";
        const int fd =
            ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return std::unexpected(failed(path + " cannot be written", errno));
        int error = writeAll(fd, bytes);
        if (error == 0 && ::fsync(fd) != 0) error = errno;
        if (::close(fd) != 0 && error == 0) error = errno;
        if (error != 0) {
            ::unlink(path.c_str());
            return std::unexpected(failed(path + " cannot be written", error));
        }
        return path;
    }
    return std::unexpected("A hundred copies of unreadable settings from " + std::string(stamp) +
                           " are kept beside " + file_ + " already");
}

}  // namespace sonvel
