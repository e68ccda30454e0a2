#!/usr/bin/env bash
# Installs every Debian package the build, the tests and the command-line front end need.
# Packages already present are skipped, so a configured machine does nothing here.
set -euo pipefail

PACKAGES=(
  cmake ninja-build pkg-config g++ git
  libsndfile1-dev libsoxr-dev libebur128-dev
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev
  libcurl4-openssl-dev libssl-dev libfftw3-dev uuid-dev
  libpugixml-dev nlohmann-json3-dev libsdl2-dev libtorch-dev
  qt6-base-dev qt6-svg-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  ffmpeg sox python3
  # The fuzz targets (fuzz/, run by the test command): Clang with libFuzzer and the sanitizer
  # runtimes. The main build keeps GCC.
  clang libclang-rt-dev
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
SUDO=""
if [[ $(id -u) -ne 0 ]]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
