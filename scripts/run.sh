#!/usr/bin/env bash
# Installs what is missing, builds, and opens the search panel on the default
# index (~/.local/share/orvane/index.sqlite, or $ORVANE_INDEX).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
orvane_install_dependencies
orvane_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found; starting the panel in a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a build/bin/orvane "$@"
fi
exec build/bin/orvane "$@"
