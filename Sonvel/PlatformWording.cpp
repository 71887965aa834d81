#include "Sonvel/PlatformWording.hpp"

namespace sonvel {

PlatformWording PlatformWording::simulatedMacOS() {
    return {
        .systemName = "macOS",
        .computer = "your Mac",
        .buildLabel = "macOS build",
        .accessIntro =
            "Sonvel needs macOS’s “System Audio Recording Only” permission to read "
            "each app’s sound. It never records or saves audio. The check below listens "
            "without changing anything you hear.",
        .listening =
            "Listening… If macOS asks to allow Sonvel to record system audio, click Allow.",
        .accessSteps =
            "1. Start playing any sound.  2. Click Check Access.  3. If macOS asks, click Allow.",
        .deniedInstructions =
            "Open System Settings › Privacy & Security › Screen & System Audio Recording. Under "
            "“System Audio Recording Only”, turn on Sonvel (use + to add it if it is missing). "
            "Then relaunch Sonvel and check again.",
        .hasPrivacySettings = true,
        .privacySettingsButton = "Open System Settings",
        .gate =
            {
                .needsPermission = "Allow “System Audio Recording Only” for Sonvel and confirm it "
                                   "with sound playing.",
                .permissionDenied =
                    "Sonvel only received silence. Turn on Sonvel in System Settings › Privacy & "
                    "Security › Screen & System Audio Recording › System Audio Recording Only, "
                    "then relaunch.",
                .computer = "this Mac",
                .build = {.changed = "macOS changed from build {old} to {new}."},
            },
    };
}

// On a Linux desktop any program of the user may read other programs' sound
// from the audio server, so nothing asks and nothing can be switched on; only
// a sandbox can withhold it. Telling the user to look for a permission would
// send them hunting for a setting that does not exist.
//
// What a live test proves is the audio path, which on Linux is the audio
// server and its session manager: their versions are the build ("PipeWire
// 0.3.65, WirePlumber 0.4.13"), so a kernel update leaves the controls alone.
PlatformWording PlatformWording::linuxDesktop() {
    const std::string needsPermission = "Check with sound playing that Sonvel can hear other apps.";
    const std::string permissionDenied =
        "Sonvel only received silence. If it runs in a sandbox, give it access to the audio "
        "server, then relaunch.";
    return {
        .systemName = "",
        .computer = "this computer",
        .buildLabel = "Audio server",
        .accessIntro =
            "Sonvel reads each app’s sound from your desktop’s audio server. It never "
            "records or saves audio. The check below listens without changing anything "
            "you hear.",
        .listening = "Listening… Linux does not ask for permission; this takes a few seconds.",
        .accessSteps = "1. Start playing any sound.  2. Click Check Access.",
        .deniedInstructions =
            "Linux has no privacy setting for this: silence means the audio server kept other "
            "apps’ sound from Sonvel. If Sonvel runs in a sandbox (Flatpak or Snap), give it "
            "access to the audio server (PipeWire or PulseAudio). Then relaunch Sonvel and check "
            "again.",
        .hasPrivacySettings = false,
        .gate =
            {
                .needsPermission = needsPermission,
                .permissionDenied = permissionDenied,
                .computer = "this computer",
                .build = {.changed = "The audio server changed from {old} to {new}.",
                          .prefix = "PipeWire "},
            },
        .needsPermissionDetail = needsPermission,
        .permissionDeniedDetail = permissionDenied,
    };
}

}  // namespace sonvel
