#!/usr/bin/env bash
# Installs dependencies, builds everything and runs the whole test suite.
#   scripts/test.sh              normal build (build/)
#   scripts/test.sh --sanitize   AddressSanitizer + UndefinedBehaviorSanitizer (build-asan/)
#   scripts/test.sh --tsan       ThreadSanitizer (build-tsan/)
# Extra arguments after -- go to ctest (for example: -- -R dsp).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_args=()
ctest_args=()
while (($#)); do
  case "$1" in
    --sanitize|--tsan|--no-app) build_args+=("$1") ;;
    --) shift; ctest_args=("$@"); break ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
  shift
done
build_dir="$(bash "$root/scripts/build.sh" "${build_args[@]}" | tail -n 1)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
export SDL_AUDIODRIVER="${SDL_AUDIODRIVER:-dummy}"
cd "$build_dir"
ctest --output-on-failure -j"$(nproc)" "${ctest_args[@]}"
