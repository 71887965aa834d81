#pragma once

#include <string>

#include "core/ControlGate.hpp"

// Every sentence the windows, the control gate and the validation reasons use
// where the words name the operating system or its settings. The product's texts describe macOS,
// and they stay for the simulated audio system, whose capture-permission switch
// behaves as macOS's does; a build on the Linux desktop's own audio server says
// what is true there instead, since no Linux desktop has a capture-permission
// pane or asks the user to allow capture. Pure, no platform.
namespace sonvel {

struct PlatformWording {
    // Names the build in the record summary ("(macOS 24A335)"); empty where
    // the build names itself.
    std::string systemName;
    // Where the live test proves per-app volume ("on your Mac").
    std::string computer;
    // The diagnostics row that shows the model's build.
    std::string buildLabel;
    // The access-check step's opening paragraph.
    std::string accessIntro;
    // The state line while the probe listens and something plays.
    std::string listening;
    // The state line before any check, or after one could not start.
    std::string accessSteps;
    // What to do when only silence arrived.
    std::string deniedInstructions;
    // Whether there is a privacy pane for the button to open, and its title.
    bool hasPrivacySettings = true;
    std::string privacySettingsButton;
    // The control gate's details and the validation reasons; the model's gate
    // carries them, so everything that shows a gate speaks these words.
    GateWording gate;
    // For views given a gate without words: in place of its detail for a
    // permission not yet proven and for one that heard only silence; empty
    // keeps the gate's.
    std::string needsPermissionDetail;
    std::string permissionDeniedDetail;

    // The product's own texts, for the simulated audio system.
    static PlatformWording simulatedMacOS();
    // For a build that captures through the desktop's audio server.
    static PlatformWording linuxDesktop();

    bool operator==(const PlatformWording&) const = default;
};

}  // namespace sonvel
