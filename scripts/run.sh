#!/usr/bin/env bash
# The main job: builds Corvaline, writes the built-in demo recording, finishes it through the
# default chain ("Dialogue Balanced") into a 24-bit WAV with the recorder metadata, and prints
# the loudness of the finished file.
# Without a display, the same job runs headless through the command-line front end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(bash "$root/scripts/build.sh" | tail -n 1)"
bin="$build_dir/bin"
out="${CORVALINE_OUT:-$root/out}"
mkdir -p "$out"
"$bin/corvaline-cli" demo "$out/demo.wav"
"$bin/corvaline-cli" info "$out/demo.wav"
"$bin/corvaline-cli" render "$out/demo.wav" -o "$out/demo-finished.wav" --bits 24
echo "Loudness of the finished recording (measured as written, chain bypassed):"
"$bin/corvaline-cli" loudness "$out/demo-finished.wav" --preset Transparent
