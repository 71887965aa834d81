#include "tap/Log.hpp"

#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <mutex>

namespace sonvel::Log {

namespace {

// spdlog has no notice level, so its warn slot carries notice (nothing here
// logs warnings). Both sinks are told: the journal files those lines at
// LOG_NOTICE, and standard error names them "notice", never "warning".
struct LevelMapping {
    Level level;
    spdlog::level::level_enum slot;
    int priority;  // syslog's
    std::string_view name;
};
// In the order of `Level`.
constexpr LevelMapping levels[] = {
    {Level::debug, spdlog::level::debug, LOG_DEBUG, "debug"},
    {Level::info, spdlog::level::info, LOG_INFO, "info"},
    {Level::notice, spdlog::level::warn, LOG_NOTICE, "notice"},
    {Level::error, spdlog::level::err, LOG_ERR, "error"},
    {Level::fault, spdlog::level::critical, LOG_CRIT, "fault"},
};

static_assert([] {
    for (std::size_t i = 0; i < std::size(levels); ++i) {
        if (levels[i].level != static_cast<Level>(i)) return false;
    }
    return std::size(levels) == static_cast<std::size_t>(Level::fault) + 1;
}());

const LevelMapping& mapping(Level level) {
    return levels[static_cast<std::size_t>(level)];
}

class JournalSink final : public spdlog::sinks::systemd_sink<std::mutex> {
  public:
    JournalSink() : systemd_sink(std::string(subsystem)) {
        for (const LevelMapping& m : levels)
            syslog_levels_.at(static_cast<std::size_t>(m.slot)) = m.priority;
    }
    int priority(Level level) { return syslog_level(mapping(level).slot); }
};

class LevelName final : public spdlog::custom_flag_formatter {
  public:
    void format(const spdlog::details::log_msg& msg, const std::tm&,
                spdlog::memory_buf_t& dest) override {
        for (const LevelMapping& m : levels) {
            if (m.slot == msg.level) dest.append(m.name.data(), m.name.data() + m.name.size());
        }
    }
    std::unique_ptr<custom_flag_formatter> clone() const override {
        return std::make_unique<LevelName>();
    }
};

struct State {
    std::mutex mutex;
    std::shared_ptr<spdlog::logger> system;
    std::vector<Entry> captured;
    int captures = 0;
};

State& state() {
    static State s;
    return s;
}

std::shared_ptr<spdlog::logger> systemLogger() {
    State& s = state();
    if (!s.system) {
        spdlog::sink_ptr sink;
        if (std::filesystem::exists("/run/systemd/journal/socket")) {
            sink = std::make_shared<JournalSink>();
        } else {
            sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
            auto formatter = std::make_unique<spdlog::pattern_formatter>();
            formatter->add_flag<LevelName>('*').set_pattern("%Y-%m-%d %H:%M:%S.%e %* %v");
            sink->set_formatter(std::move(formatter));
        }
        s.system = std::make_shared<spdlog::logger>(std::string(subsystem), sink);
        s.system->set_level(spdlog::level::debug);
    }
    return s.system;
}

}  // namespace

Logger::Logger(std::string category) : category_(std::move(category)) {}

void Logger::log(Level level, std::string_view message) const {
    State& s = state();
    std::shared_ptr<spdlog::logger> logger;
    {
        const std::lock_guard lock(s.mutex);
        if (s.captures > 0) {
            s.captured.push_back({level, category_, std::string(message)});
            return;
        }
        logger = systemLogger();
    }
    logger->log(mapping(level).slot, "[{}] {}", category_, message);
}

int journalPriority(Level level) {
    return JournalSink().priority(level);
}

Capture::Capture() {
    const std::lock_guard lock(state().mutex);
    if (state().captures++ == 0) state().captured.clear();
}

Capture::~Capture() {
    const std::lock_guard lock(state().mutex);
    --state().captures;
}

std::vector<Entry> Capture::entries() const {
    const std::lock_guard lock(state().mutex);
    return state().captured;
}

std::vector<std::string> Capture::messages(std::string_view category) const {
    std::vector<std::string> out;
    for (const Entry& e : entries()) {
        if (e.category == category) out.push_back(e.message);
    }
    return out;
}

}  // namespace sonvel::Log
