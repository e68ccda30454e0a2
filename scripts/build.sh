#!/usr/bin/env bash
# Configures and builds Corvaline.
#   scripts/build.sh [--sanitize|--tsan] [--no-app] [--build-dir DIR] [-- extra cmake args]
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="$root/build"
cmake_args=()
while (($#)); do
  case "$1" in
    --sanitize) cmake_args+=(-DCORVALINE_SANITIZE=ON); build_dir="$root/build-asan" ;;
    --tsan) cmake_args+=(-DCORVALINE_TSAN=ON); build_dir="$root/build-tsan" ;;
    --no-app) cmake_args+=(-DCORVALINE_BUILD_APP=OFF) ;;
    --build-dir) shift; build_dir="$1" ;;
    --) shift; cmake_args+=("$@"); break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
bash "$root/scripts/setup-deps.sh"
cmake -S "$root" -B "$build_dir" -G Ninja "${cmake_args[@]}" >/dev/null
cmake --build "$build_dir" -j"$(nproc)"
echo "$build_dir"
