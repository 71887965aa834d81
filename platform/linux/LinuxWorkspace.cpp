#include "platform/linux/LinuxWorkspace.hpp"

#include <spawn.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace sonvel {

namespace {

// Starts a program found on PATH; when `wait` is set, true only if it exited 0.
bool run(const std::vector<std::string>& command, bool wait) {
    std::vector<char*> argv;
    for (const std::string& part : command) argv.push_back(const_cast<char*>(part.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    if (!wait) return true;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool onPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    if (!path) return false;
    std::stringstream folders(path);
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (!folder.empty() &&
            ::access((std::filesystem::path(folder) / program).c_str(), X_OK) == 0) {
            return true;
        }
    }
    return false;
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

LinuxWorkspace::LinuxWorkspace(std::shared_ptr<DispatchQueue> mainQueue, std::function<void()> quit)
    : mainQueue_(std::move(mainQueue)), quit_(std::move(quit)) {}

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

bool LinuxWorkspace::open(const std::string& url) {
    // xdg-open exits non-zero when no handler takes the URL.
    return onPath("xdg-open") && run({"xdg-open", url}, true);
}

bool LinuxWorkspace::openDesktopSoundSettings() {
    const std::vector<std::vector<std::string>> candidates{
        {"gnome-control-center", "sound"},
        {"systemsettings", "kcm_pulseaudio"},
        {"kcmshell6", "kcm_pulseaudio"},
        {"kcmshell5", "kcm_pulseaudio"},
        {"xfce4-mixer"},
        {"pavucontrol"},
    };
    for (const auto& command : candidates) {
        if (onPath(command.front()) && run(command, false)) return true;
    }
    return false;
}

void LinuxWorkspace::relaunch(std::function<void()> then) {
    std::error_code error;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (!error) run({self.string()}, false);
    if (then) then();
}

void LinuxWorkspace::terminate() {
    if (quit_) quit_();
}

}  // namespace sonvel
