#include "platform/sim/SimulatedSystemServices.hpp"

namespace sonvel::sim {

namespace {

SystemServices::RunningApplication convert(const sim::RunningApplication& app) {
    return {app.pid, app.bundlePath, app.localizedName,
            app.activationPolicy == sim::RunningApplication::ActivationPolicy::regular};
}

}  // namespace

std::vector<SystemServices::RunningApplication> SimulatedSystemServices::runningApplications()
    const {
    std::vector<RunningApplication> list;
    for (const auto& app : world_.runningApplications()) list.push_back(convert(app));
    return list;
}

std::optional<SystemServices::RunningApplication> SimulatedSystemServices::runningApplication(
    ProcessID pid) const {
    const auto app = world_.runningApplication(pid);
    if (!app) return std::nullopt;
    return convert(*app);
}

std::optional<SystemServices::Bundle> SimulatedSystemServices::bundle(
    const std::string& path) const {
    ++bundleLookups_;
    const auto found = world_.bundle(path);
    if (!found) return std::nullopt;
    // The file manager shows the bundle's own file name unless the world names it.
    std::string display = found->name;
    if (display.empty()) display = path.substr(path.find_last_of('/') + 1);
    return Bundle{found->bundleID, display};
}

std::optional<std::string> SimulatedSystemServices::processPath(ProcessID pid) const {
    return world_.executablePath(pid);
}

std::optional<std::string> SimulatedSystemServices::systemValue(const std::string& name) const {
    if (name == "kern.osversion") return world_.osBuild();
    return std::nullopt;
}

}  // namespace sonvel::sim
