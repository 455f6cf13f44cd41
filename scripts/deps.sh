#!/usr/bin/env bash
# Installs the Debian packages Orvane needs to build, test and run; skips what
# is there already. Sourced by run.sh and test.sh. (dpkg-dev: cpack -G DEB reads
# the package dependencies off the programs with dpkg-shlibdeps.)
set -euo pipefail

ORVANE_PACKAGES=(
  cmake ninja-build g++ pkg-config
  qt6-base-dev qt6-tools-dev qt6-svg-dev libqt6opengl6-dev libgl-dev
  libsqlite3-dev sqlite3 libicu-dev nlohmann-json3-dev libcli11-dev
  librdkit-dev libboost-dev libopenbabel-dev libxml2-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils xdotool imagemagick xdg-utils locales
  desktop-file-utils dpkg-dev dbus-daemon
  libpq-dev postgresql-15 postgresql-15-rdkit
  libroaring-dev
)

orvane_missing_packages() {
  local package
  for package in "${ORVANE_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' || echo "$package"
  done
}

orvane_install_dependencies() {
  local missing
  missing=$(orvane_missing_packages)
  [ -z "$missing" ] && return 0
  local sudo=()
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  echo "Installing: $(echo $missing | tr '\n' ' ')" >&2
  "${sudo[@]}" apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends $missing >&2
}

# Configures (once) and builds a build tree: orvane_build DIR [CMAKE OPTIONS...]
# (a -S FOLDER among the options names another source folder than the top one)
orvane_build() {
  local dir=$1
  shift
  local top source
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  source=$top
  local options=()
  while [ $# -gt 0 ]; do
    if [ "$1" = "-S" ]; then source=$top/$2; shift 2; else options+=("$1"); shift; fi
  done
  if [ ! -f "$top/$dir/build.ninja" ]; then
    cmake -S "$source" -B "$top/$dir" -G Ninja "${options[@]}" >&2
  elif [ ${#options[@]} -gt 0 ]; then
    cmake -S "$source" -B "$top/$dir" "${options[@]}" >/dev/null  # options given now hold, on a tree made earlier too
  fi
  cmake --build "$top/$dir" -j "$(nproc)"
}
