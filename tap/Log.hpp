#pragma once

#include <fmt/format.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sonvel::Log {

inline constexpr std::string_view subsystem = "app.velmorra.quillaster";

enum class Level { debug, info, notice, error, fault };

// One category of the system log. Messages go to the systemd journal when it
// is there and to standard error otherwise; a test may capture them instead.
class Logger {
  public:
    explicit Logger(std::string category);

    void log(Level level, std::string_view message) const;

    template <class... Args>
    void debug(fmt::format_string<Args...> f, Args&&... args) const {
        log(Level::debug, fmt::format(f, std::forward<Args>(args)...));
    }
    template <class... Args>
    void info(fmt::format_string<Args...> f, Args&&... args) const {
        log(Level::info, fmt::format(f, std::forward<Args>(args)...));
    }
    template <class... Args>
    void notice(fmt::format_string<Args...> f, Args&&... args) const {
        log(Level::notice, fmt::format(f, std::forward<Args>(args)...));
    }
    template <class... Args>
    void error(fmt::format_string<Args...> f, Args&&... args) const {
        log(Level::error, fmt::format(f, std::forward<Args>(args)...));
    }

    [[nodiscard]] const std::string& category() const { return category_; }

  private:
    std::string category_;
};

// The syslog priority that messages of this level carry into the journal.
[[nodiscard]] int journalPriority(Level level);

struct Entry {
    Level level;
    std::string category;
    std::string message;

    bool operator==(const Entry&) const = default;
};

// While one exists, every message is captured here (and nowhere else).
class Capture {
  public:
    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    [[nodiscard]] std::vector<Entry> entries() const;
    [[nodiscard]] std::vector<std::string> messages(std::string_view category) const;
};

}  // namespace sonvel::Log
