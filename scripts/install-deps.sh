#!/bin/sh
# Installs every Debian package the project needs. Idempotent; run as root
# (or through sudo) on a fresh Debian 12 machine.
set -eu

PACKAGES="
  build-essential cmake ninja-build pkg-config git
  clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-charts-dev libqt6opengl6-dev libqt6svg6
  libgl-dev libglu1-mesa-dev freeglut3-dev libgl1-mesa-dri libx11-dev libpng-dev
  libeigen3-dev nlohmann-json3-dev libfcl-dev
  xvfb xauth x11-utils fonts-dejavu-core
  libcli11-dev
  libzmq3-dev cppzmq-dev
  liblo-dev cyclonedds-dev cyclonedds-tools libfastrtps-dev fastddsgen
  iproute2 util-linux
"

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  SUDO="sudo"
fi

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update
  # shellcheck disable=SC2086
  $SUDO apt-get install -y --no-install-recommends $missing
fi
