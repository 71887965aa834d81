#include "platform/linux/LinuxSystemServices.hpp"

#include <sys/utsname.h>
#include <unistd.h>

#include <array>
#include <string>

namespace sonvel {

ProcessID LinuxSystemServices::ownPID() const {
    return static_cast<ProcessID>(::getpid());
}

std::optional<std::string> LinuxSystemServices::processPath(ProcessID pid) const {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    std::array<char, 4096> buffer{};
    const ssize_t length = ::readlink(link.c_str(), buffer.data(), buffer.size());
    if (length < 1) return std::nullopt;
    return std::string(buffer.data(), static_cast<std::size_t>(length));
}

std::optional<std::string> LinuxSystemServices::systemValue(const std::string& name) const {
    if (name != "kern.osversion") return std::nullopt;
    utsname info{};
    if (::uname(&info) != 0) return std::nullopt;
    return std::string(info.release);
}

}  // namespace sonvel
