#!/usr/bin/env bash
# The main job: builds Corvaline, then
#  - on a desktop (DISPLAY or WAYLAND_DISPLAY set): opens the application on the built-in test
#    recording;
#  - without a display: writes the demo recording, finishes it through the default chain
#    ("Dialogue Balanced") into a 24-bit WAV with the recorder metadata, and prints the
#    loudness of the finished file, through the command-line front end.
# CORVALINE_HEADLESS=1 forces the headless job on a desktop.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(bash "$root/scripts/build.sh" | tail -n 1)"
bin="$build_dir/bin"

if [[ -z "${CORVALINE_HEADLESS:-}" && ( -n "${DISPLAY:-}" || -n "${WAYLAND_DISPLAY:-}" ) ]]; then
  exec "$bin/corvaline" --demo "$@"
fi

out="${CORVALINE_OUT:-$root/out}"
mkdir -p "$out"
"$bin/corvaline-cli" demo "$out/demo.wav"
"$bin/corvaline-cli" info "$out/demo.wav"
"$bin/corvaline-cli" render "$out/demo.wav" -o "$out/demo-finished.wav" --bits 24
echo "Loudness of the finished recording (measured as written, chain bypassed):"
"$bin/corvaline-cli" loudness "$out/demo-finished.wav" --preset Transparent
