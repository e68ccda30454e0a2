#!/usr/bin/env bash
# The main job: builds Corvaline and runs it on the built-in demo recording.
# Without a display, the same job runs headless through the command-line front end.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$(bash "$root/scripts/build.sh" | tail -n 1)"
bin="$build_dir/bin"
out="${CORVALINE_OUT:-$root/out}"
mkdir -p "$out"
"$bin/corvaline-cli" demo "$out/demo.wav"
"$bin/corvaline-cli" info "$out/demo.wav"
