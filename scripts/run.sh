#!/usr/bin/env bash
# Installs what is missing, builds, and opens the search panel on the default
# index (~/.local/share/orvane/index.sqlite, or $ORVANE_INDEX).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
orvane_install_dependencies
orvane_build build -DCMAKE_BUILD_TYPE=RelWithDebInfo

# A newcomer's index: the examples, the first time (when no folder is recorded yet).
if ! build/bin/orvane-index --status 2>/dev/null | grep -q '^  /'; then
  echo "Adding examples/ to the index (add your own folders with: build/bin/orvane-index FOLDER)" >&2
  build/bin/orvane-index examples || true
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "No display found; starting the panel in a virtual X server (xvfb-run)." >&2
  exec xvfb-run -a build/bin/orvane "$@"
fi
exec build/bin/orvane "$@"
