#include "platform/linux/DetachedProcess.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

extern char** environ;

namespace sonvel::DetachedProcess {

namespace {

// Reads exactly `size` bytes unless the pipe ends first; the count read.
std::size_t readAll(int fd, void* into, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::read(fd, static_cast<char*>(into) + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace

std::optional<std::filesystem::path> find(const std::string& program, const std::string& path) {
    if (program.empty()) return std::nullopt;
    if (program.find('/') != std::string::npos) {
        if (::access(program.c_str(), X_OK) == 0) return std::filesystem::path(program);
        return std::nullopt;
    }
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (folder.empty()) continue;
        const auto candidate = std::filesystem::path(folder) / program;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error) &&
            ::access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return std::nullopt;
}

std::optional<std::filesystem::path> find(const std::string& program) {
    const char* path = std::getenv("PATH");
    return find(program, path ? path : "");
}

// Two forks, as a daemon starts: the intermediate child exits at once, so the
// program ends up a child of init (or the session's subreaper) and this
// process never has to reap it. Between fork and exec only async-signal-safe
// calls are made, since other threads may hold locks the child inherits.
// The pipe reports the program's pid, then closes on a successful exec or
// carries exec's errno.
std::expected<pid_t, std::string> start(const std::vector<std::string>& command) {
    if (command.empty()) return std::unexpected("Nothing to start.");
    const auto program = find(command.front());
    if (!program) return std::unexpected(fmt::format("{} is not installed.", command.front()));
    const std::string file = program->string();
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);

    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) {
        return std::unexpected(
            fmt::format("{} could not be started: {}.", command.front(), std::strerror(errno)));
    }
    const pid_t middle = ::fork();
    if (middle == 0) {
        ::close(report[0]);
        ::setsid();
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::execve(file.c_str(), argv.data(), environ);
            const int error = errno;
            (void)!::write(report[1], &error, sizeof error);
            ::_exit(127);
        }
        (void)!::write(report[1], &pid, sizeof pid);
        ::_exit(pid > 0 ? 0 : 1);
    }
    ::close(report[1]);
    if (middle < 0) {
        ::close(report[0]);
        return std::unexpected(
            fmt::format("{} could not be started: {}.", command.front(), std::strerror(errno)));
    }
    int status = 0;
    while (::waitpid(middle, &status, 0) < 0 && errno == EINTR) {
    }
    pid_t pid = -1;
    int error = 0;
    const bool havePid = readAll(report[0], &pid, sizeof pid) == sizeof pid && pid > 0;
    const bool execFailed = havePid && readAll(report[0], &error, sizeof error) == sizeof error;
    ::close(report[0]);
    if (!havePid || execFailed) {
        return std::unexpected(fmt::format("{} could not be started: {}.", command.front(),
                                           std::strerror(execFailed ? error : EAGAIN)));
    }
    return pid;
}

}  // namespace sonvel::DetachedProcess
