#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/ProcessRecord.hpp"

namespace sonvel {

// What the process inspector asks of the operating system besides the audio
// layer: the registry of running applications, bundles on disk, the kernel's
// process paths and system values.
class SystemServices {
  public:
    struct RunningApplication {
        ProcessID pid = 0;
        std::optional<std::string> bundlePath;
        std::optional<std::string> localizedName;
        bool isRegular = false;  // the Dock-visible activation policy

        bool operator==(const RunningApplication&) const = default;
    };
    struct Bundle {
        std::optional<std::string> bundleID;
        // As the file manager shows the bundle's path (it may end in ".app").
        std::string displayName;

        bool operator==(const Bundle&) const = default;
    };

    virtual ~SystemServices() = default;
    [[nodiscard]] virtual ProcessID ownPID() const = 0;
    [[nodiscard]] virtual std::vector<RunningApplication> runningApplications() const = 0;
    [[nodiscard]] virtual std::optional<RunningApplication> runningApplication(
        ProcessID pid) const = 0;
    [[nodiscard]] virtual std::optional<Bundle> bundle(const std::string& path) const = 0;
    // The kernel's path of a process, as raw bytes (not always valid UTF-8).
    [[nodiscard]] virtual std::optional<std::string> processPath(ProcessID pid) const = 0;
    // A system value by name, as raw bytes; "kern.osversion" is the one asked for.
    [[nodiscard]] virtual std::optional<std::string> systemValue(const std::string& name) const = 0;
    // The icon of the application at a path the inspector was given, as an
    // icon-theme name or an absolute image path, where the system names one
    // apart from the bundle itself.
    [[nodiscard]] virtual std::optional<std::string> iconName(const std::string&) const {
        return std::nullopt;
    }
};

}  // namespace sonvel
