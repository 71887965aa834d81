#include "tap/Log.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/sinks/systemd_sink.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <mutex>

namespace sonvel::Log {

namespace {

spdlog::level::level_enum toSpdlog(Level level) {
    switch (level) {
        case Level::debug:
            return spdlog::level::debug;
        case Level::info:
            return spdlog::level::info;
        case Level::notice:
            return spdlog::level::warn;
        case Level::error:
            return spdlog::level::err;
        case Level::fault:
            return spdlog::level::critical;
    }
    return spdlog::level::info;
}

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
            sink = std::make_shared<spdlog::sinks::systemd_sink_mt>(std::string(subsystem));
        } else {
            sink = std::make_shared<spdlog::sinks::stderr_color_sink_mt>();
        }
        s.system = std::make_shared<spdlog::logger>(std::string(subsystem), sink);
        s.system->set_level(spdlog::level::debug);
        s.system->set_pattern("%Y-%m-%d %H:%M:%S.%e %l %v");
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
    logger->log(toSpdlog(level), "[{}] {}", category_, message);
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
