#!/usr/bin/env bash
# Installs every Debian package Drevik needs to build, test and run.
# Safe to run again: packages already present are skipped, so a second run costs seconds.
set -euo pipefail

packages=(
  # the private Slurm cluster of the cluster export test
  slurm-wlm munge
  # toolchain
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  # tests and benchmarks
  googletest libgtest-dev libgmock-dev libbenchmark-dev locales
  # Vulkan: loader, headers, software driver, validation, shader compiler
  libvulkan-dev vulkan-validationlayers mesa-vulkan-drivers
  libshaderc-dev glslang-dev glslang-tools spirv-tools
  # window, input and sound
  libsdl2-dev libasound2-dev xvfb xauth
  # the private sound server of the live input's tests and benchmark
  pulseaudio pulseaudio-utils
  # images and movies
  libpng-dev libavformat-dev libavcodec-dev libswscale-dev libswresample-dev libavutil-dev ffmpeg
  # recordings: loudness measurement, and real recordings for the tests
  libebur128-dev sound-theme-freedesktop
  # drawings from SVG files (SVG++ with libxml2) and, in the tests, an independent SVG renderer
  libsvgpp-dev libxml2-dev libboost-dev librsvg2-bin
  # real SVG drawings that nobody here drew, for the import tests
  adwaita-icon-theme tango-icon-theme
  # drawings from text and traced pictures: fonts, the tracer; real fonts and pictures for the tests
  libfreetype-dev hershey-fonts-data libpotrace-dev fonts-dejavu-core desktop-base
  # the .deb package and the portable bundle (scripts/build-deb.sh, scripts/build-bundle.sh)
  dpkg-dev patchelf python3
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  sudo=sudo
else
  sudo=
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
