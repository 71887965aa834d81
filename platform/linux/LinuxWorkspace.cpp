#include "platform/linux/LinuxWorkspace.hpp"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/DetachedProcess.hpp"
#include "platform/linux/SoundSettingsApp.hpp"

namespace sonvel {

namespace {

// This program as it was started: the executable (still the right file after
// a package upgrade replaced it under the same name) and its arguments.
std::vector<std::string> ownCommand() {
    std::vector<std::string> command;
    std::error_code error;
    std::string self = std::filesystem::read_symlink("/proc/self/exe", error).string();
    constexpr std::string_view deleted = " (deleted)";
    if (self.ends_with(deleted)) self.resize(self.size() - deleted.size());
    if (error || self.empty()) return command;
    command.push_back(self);
    std::ifstream file("/proc/self/cmdline", std::ios::binary);
    bool first = true;
    for (std::string argument; std::getline(file, argument, '\0');) {
        if (!std::exchange(first, false)) command.push_back(argument);
    }
    return command;
}

struct SleepHandlers {
    std::shared_ptr<DispatchQueue> mainQueue;
    std::function<void()> willSleep;
    std::function<void()> didWake;
};

int onPrepareForSleep(sd_bus_message* message, void* userdata, sd_bus_error*) {
    int starting = 0;
    if (sd_bus_message_read(message, "b", &starting) < 0) return 0;
    auto* handlers = static_cast<SleepHandlers*>(userdata);
    handlers->mainQueue->async(starting ? handlers->willSleep : handlers->didWake);
    return 0;
}

}  // namespace

LinuxWorkspace::LinuxWorkspace(std::shared_ptr<DispatchQueue> mainQueue, std::function<void()> quit,
                               Options options)
    : mainQueue_(std::move(mainQueue)), quit_(std::move(quit)), options_(std::move(options)) {
    if (!options_.desktop) {
        const char* desktop = std::getenv("XDG_CURRENT_DESKTOP");
        options_.desktop = desktop ? desktop : "";
    }
    if (!options_.isInstalled) {
        options_.isInstalled = [](const std::string& program) {
            return DetachedProcess::find(program).has_value();
        };
    }
    if (!options_.launch) {
        options_.launch = [](const std::vector<std::string>& command) {
            return DetachedProcess::start(command).has_value();
        };
    }
}

LinuxWorkspace::~LinuxWorkspace() {
    busThread_.request_stop();
    if (busThread_.joinable()) busThread_.join();
}

void LinuxWorkspace::observeSleep(std::function<void()> willSleep, std::function<void()> didWake) {
    auto handlers = std::make_shared<SleepHandlers>(
        SleepHandlers{mainQueue_, std::move(willSleep), std::move(didWake)});
    sd_bus* bus = nullptr;
    if (sd_bus_open_system(&bus) < 0) return;  // no system bus: nothing to follow
    sd_bus_slot* slot = nullptr;
    if (sd_bus_match_signal(bus, &slot, "org.freedesktop.login1", "/org/freedesktop/login1",
                            "org.freedesktop.login1.Manager", "PrepareForSleep", onPrepareForSleep,
                            handlers.get()) < 0) {
        sd_bus_unref(bus);
        return;
    }
    watching_ = true;
    busThread_ = std::jthread([bus, slot, handlers](std::stop_token stop) {
        while (!stop.stop_requested()) {
            while (sd_bus_process(bus, nullptr) > 0) {
            }
            sd_bus_wait(bus, 250'000);  // microseconds: wake up to notice a stop
        }
        sd_bus_slot_unref(slot);
        sd_bus_flush_close_unref(bus);
    });
}

bool LinuxWorkspace::openSoundSettings() {
    const auto command = SoundSettingsApp::choose(*options_.desktop, options_.isInstalled);
    return command && options_.launch(*command);
}

std::optional<std::string> LinuxWorkspace::soundSettingsUnavailableReason() const {
    const auto command = SoundSettingsApp::choose(*options_.desktop, options_.isInstalled);
    if (command) return std::nullopt;
    return command.error();
}

std::vector<std::string> LinuxWorkspace::relaunchCommand() const {
    return options_.command ? *options_.command : ownCommand();
}

void LinuxWorkspace::relaunch(std::function<void()> then) {
    if (const auto command = relaunchCommand(); !command.empty()) options_.launch(command);
    if (then) then();
}

void LinuxWorkspace::terminate() {
    if (quit_) quit_();
}

}  // namespace sonvel
