#!/usr/bin/env bash
# Installs what the build needs (when missing), configures, builds and runs
# every test through CTest.
#
#   tools/test.sh           the default build, in build/
#   tools/test.sh asan      AddressSanitizer + UndefinedBehaviorSanitizer, in build-asan/
#   tools/test.sh tsan      ThreadSanitizer, in build-tsan/
#   tools/test.sh packages  only install what the build needs (tools/run.sh uses it)
#
# Warnings are errors. Extra arguments after the configuration go to ctest.
set -euo pipefail

cd "$(dirname "$0")/.."
config="${1:-default}"
shift || true

packages=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libfmt-dev libutf8proc-dev
          libasio-dev libspdlog-dev libsystemd-dev qt6-base-dev libgtest-dev libgmock-dev
          libbenchmark-dev libexpat1-dev adwaita-icon-theme fonts-dejavu-core dbus desktop-file-utils appstream dpkg-dev
          pipewire pipewire-bin wireplumber libpipewire-0.3-dev libspa-0.2-dev
          pipewire-pulse pulseaudio-utils gstreamer1.0-pipewire gstreamer1.0-tools
          gstreamer1.0-plugins-base
          xvfb openbox tint2 xdotool x11-utils at-spi2-core python3-pyatspi
          python3-dbus python3-gi weston qt6-wayland)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Installing: ${missing[*]}"
    sudo=()
    [[ $(id -u) -eq 0 ]] || sudo=(sudo)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The configurations themselves live in CMakePresets.json.
case "$config" in
    default|asan|tsan) ;;
    packages) exit 0 ;;
    *) echo "unknown configuration '$config' (use: default, asan, tsan, packages)" >&2; exit 2 ;;
esac

# Debian's Qt is not built with ThreadSanitizer, which then takes Qt's own
# hand-overs for races: see tests/tsan-qt.supp.
if [[ $config == tsan ]]; then
    export TSAN_OPTIONS="suppressions=$PWD/tests/tsan-qt.supp ${TSAN_OPTIONS:-}"
fi

jobs=$(nproc)
cmake --preset "$config"
cmake --build --preset "$config" -j "$jobs"
ctest --preset "$config" -j "$jobs" "$@"
