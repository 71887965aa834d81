#!/usr/bin/env bash
# Builds the application (installing what the build needs, when missing) and
# starts it on the simulated audio world. Arguments go to sonvel:
#
#   tools/run.sh                    the shipped default world
#   tools/run.sh --audio-world      with the Audio World window open
#   tools/run.sh --world FILE       another world file
#   tools/run.sh --window           the panel as a window even where a tray exists
#   tools/run.sh --screenshots DIR  no display needed: saves the panel, the status
#                                   icon and the Audio World window as PNG files
#   tools/run.sh --backend pipewire this desktop's own PipeWire server instead
#
# The installed program chooses by itself (--backend auto); here the simulated
# world is the default, so a first run never touches real applications.
set -euo pipefail

cd "$(dirname "$0")/.."
bash tools/test.sh packages
[[ -f build/build.ninja ]] || cmake --preset default >/dev/null
cmake --build build --target sonvel -j "$(nproc)"
backend=(--backend simulated)
for argument in "$@"; do
    [[ $argument == --backend* ]] && backend=()
done
exec build/app/sonvel "${backend[@]}" "$@"
