#pragma once

#include <sys/types.h>

#include <expected>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace sonvel::DetachedProcess {

// The program's path in one of PATH's folders (`path`, colon-separated), if
// an executable file of that name is there.
std::optional<std::filesystem::path> find(const std::string& program, const std::string& path);
// The same, in this process's PATH.
std::optional<std::filesystem::path> find(const std::string& program);

// Starts `command` (a program found on PATH, or a path) in a session of its
// own, not as a child of this process: nothing waits for it to end and no
// zombie is left when it does. Returns once it has been executed, with its
// process id, or fails with a sentence.
std::expected<pid_t, std::string> start(const std::vector<std::string>& command);

}  // namespace sonvel::DetachedProcess
