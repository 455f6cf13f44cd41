#!/usr/bin/env bash
# Checks that the package list in deps.sh installs everything the configure step
# of a build tree used, as a fresh machine would install it: without
# recommendations. Every package whose files configure found (CMake config
# files, pkg-config modules, the chemistry libraries found by path) must be in
# the list or in the recursive closure of its hard Depends.
#   scripts/check-packages.sh BUILD_DIR
# Prints each package that is missing and exits 1; exits 0 when none is.
set -uo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${1:?usage: check-packages.sh BUILD_DIR}
cache=$build/CMakeCache.txt
[ -f "$cache" ] || { echo "check-packages: no CMakeCache.txt in $build"; exit 2; }
command -v dpkg-query >/dev/null && command -v apt-cache >/dev/null || { echo "check-packages: needs dpkg and apt"; exit 2; }

# shellcheck source=deps.sh
source "$top/scripts/deps.sh"
set +e

# The packages the list brings in: its names and, recursively, their hard Depends
# (PreDepends too). Alternatives ("a | b") count through whichever is installed.
closure() {
  apt-cache depends --recurse --installed --no-recommends --no-suggests --no-conflicts --no-breaks \
    --no-replaces --no-enhances "${ORVANE_PACKAGES[@]}" 2>/dev/null |
    grep -v '^ ' | sed 's/:[a-z0-9]*$//' | sort -u
}

# The files configure used: each package config file (the config file itself,
# since one folder may hold files of several packages), each pkg-config module's
# .pc file, and each library our own CMake code looks up by name.
used_files() {
  local dir module
  grep -E '^[A-Za-z0-9_]+_DIR:PATH=/' "$cache" | grep -v '_INCLUDE_DIR:' | sed 's/^[^=]*=//' | sort -u |
    while read -r dir; do
      ls "$dir"/*[Cc]onfig.cmake "$dir"/*-config.cmake 2>/dev/null | grep -v -i 'version' | head -1
    done
  grep -E '^__pkg_config_arguments_[A-Za-z0-9_]+:INTERNAL=' "$cache" | sed 's/^[^=]*=//' | tr ';' '\n' |
    grep -v -E '^(REQUIRED|QUIET|IMPORTED_TARGET|GLOBAL|NO_CMAKE_PATH|NO_CMAKE_ENVIRONMENT_PATH)$' |
    sed 's/[<>=].*$//' | sort -u | while read -r module; do
      [ -n "$module" ] && echo "$(pkg-config --variable=pcfiledir "$module" 2>/dev/null)/$module.pc"
    done
  grep -E '^RDKIT_[A-Za-z]+:FILEPATH=/' "$cache" | sed 's/^[^=]*=//'
  grep -E '^RDKIT_INCLUDE_DIR:PATH=/' "$cache" | sed 's/^[^=]*=//; s|$|/GraphMol/ROMol.h|'
}

brought=$(closure)
[ -n "$brought" ] || { echo "check-packages: the package list resolves to nothing"; exit 2; }
missing=0 checked=0
declare -A seen=()
while read -r file; do
  [ -e "$file" ] || continue
  owners=$(dpkg-query -S "$(readlink -f "$file")" 2>/dev/null | head -1 | sed 's/: \/.*$//; s/:[a-z0-9]*//g; s/,/ /g')
  [ -n "$owners" ] || owners=$(dpkg-query -S "$file" 2>/dev/null | head -1 | sed 's/: \/.*$//; s/:[a-z0-9]*//g; s/,/ /g')
  [ -n "$owners" ] || continue
  checked=$((checked + 1))
  ok=0
  for package in $owners; do grep -qx "$package" <<<"$brought" && ok=1; done
  if [ $ok = 0 ] && [ -z "${seen[$owners]:-}" ]; then
    seen[$owners]=1
    echo "missing from scripts/deps.sh: $owners (configure used $file)"
    missing=1
  fi
done < <(used_files)
[ $missing = 0 ] && echo "check-packages: the package list installs all $checked files configure used"
exit $missing
