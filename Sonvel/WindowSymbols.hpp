#pragma once

#include <array>
#include <string_view>

namespace sonvel::WindowSymbols {

// The symbol names the setup and settings windows ask for, as the product's
// design names them; ui/WindowIcons.cpp draws each.
inline constexpr std::string_view controlsAvailable = "slider.horizontal.3";
inline constexpr std::string_view locked = "lock.fill";
inline constexpr std::string_view stepComplete = "checkmark.circle.fill";
inline constexpr std::string_view stepOpen = "circle";
inline constexpr std::string_view accessConfirmed = "checkmark.seal.fill";
inline constexpr std::string_view warning = "exclamationmark.triangle.fill";
inline constexpr std::string_view testFailed = "xmark.octagon.fill";
inline constexpr std::string_view stepDone = "checkmark";
inline constexpr std::string_view stepPlaying = "speaker.wave.2.fill";
inline constexpr std::string_view stepLater = "circle";
inline constexpr std::string_view generalTab = "gearshape";
inline constexpr std::string_view diagnosticsTab = "waveform.path.ecg";

inline constexpr std::array all{controlsAvailable, locked,     stepComplete,  stepOpen,
                                accessConfirmed,   warning,    testFailed,    stepDone,
                                stepPlaying,       generalTab, diagnosticsTab};

}  // namespace sonvel::WindowSymbols
