#!/usr/bin/env bash
# Installs a build tree into a fresh folder and checks what a desktop needs of it:
# the programs, the interface descriptions and help book beside them, the menu
# entry naming the installed program and icon, the icon, and the manual pages.
#   tests/install/install_tree.sh CMAKE BUILD_DIR
set -uo pipefail
cmake=${1:?usage: install_tree.sh CMAKE BUILD_DIR}
build=${2:?usage: install_tree.sh CMAKE BUILD_DIR}
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
  cat "$prefix.log"; rm -f "$prefix.log"
  echo "FAIL: cmake --install $build --prefix $prefix"
  exit 1
fi
rm -f "$prefix.log"

for program in orvane orvane-find orvane-ls orvane-index; do
  [ -x "$prefix/bin/$program" ] || fail "bin/$program is not installed as a program"
done

for ui in main.ui orvane.ui; do
  [ -s "$prefix/share/orvane/$ui" ] || fail "share/orvane/$ui is missing"
done
[ -s "$prefix/share/orvane/help/Varnix Help/pgs/metadata.html" ] || fail "the help book is missing"
# Nothing but the program's own run-time files lands in share/orvane.
stray=$(find "$prefix/share/orvane" \( -name '*.desktop*' -o -name '*.svg' -o -name '*.1' -o -name man -o -name desktop \))
[ -z "$stray" ] || fail "stray files in share/orvane: $stray"

entry=$prefix/share/applications/orvane.desktop
if [ -s "$entry" ]; then
  grep -qx "Exec=$prefix/bin/orvane" "$entry" || fail "the menu entry's Exec does not name $prefix/bin/orvane: $(grep '^Exec=' "$entry")"
  grep -qx "TryExec=$prefix/bin/orvane" "$entry" || fail "the menu entry's TryExec does not name $prefix/bin/orvane"
  grep -qx "Icon=orvane" "$entry" || fail "the menu entry's Icon is not orvane: $(grep '^Icon=' "$entry")"
  grep -qx "Type=Application" "$entry" || fail "the menu entry is not of an application"
  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$entry" || fail "desktop-file-validate refuses the menu entry"
  else
    echo "note: desktop-file-validate not found; the menu entry was checked by its lines only"
  fi
else
  fail "share/applications/orvane.desktop is missing"
fi

icon=$prefix/share/icons/hicolor/scalable/apps/orvane.svg
if [ -s "$icon" ]; then
  grep -q '<svg' "$icon" || fail "the icon is not an SVG image"
  if command -v xmllint >/dev/null; then xmllint --noout "$icon" || fail "the icon is not well-formed XML"; fi
else
  fail "share/icons/hicolor/scalable/apps/orvane.svg is missing"
fi

for tool in orvane orvane-find orvane-ls orvane-index; do
  page=$prefix/share/man/man1/$tool.1
  if [ -s "$page" ]; then
    grep -q "^\.TH \"\?${tool^^}\"\? \"\?1\"\?" "$page" || fail "$tool.1 has no .TH header for section 1"
    grep -q '^\.SH "\?NAME"\?' "$page" || fail "$tool.1 has no NAME section"
    if command -v groff >/dev/null; then
      out=$(groff -man -Tutf8 -ww -z "$page" 2>&1) || fail "groff cannot read $tool.1"
      [ -z "$out" ] || fail "groff warns about $tool.1: $out"
    fi
  else
    fail "share/man/man1/$tool.1 is missing"
  fi
done

unit=$prefix/lib/systemd/user/orvane-index.service
if [ -s "$unit" ]; then
  grep -qx "ExecStart=$prefix/bin/orvane-index --watch" "$unit" || fail "the user service does not start $prefix/bin/orvane-index --watch: $(grep '^ExecStart=' "$unit")"
  grep -qx "WantedBy=default.target" "$unit" || fail "the user service is not wanted by default.target"
else
  fail "lib/systemd/user/orvane-index.service is missing"
fi

# The installed tool runs on its own, away from the build tree.
version=$(cd / && "$prefix/bin/orvane-find" --version 2>&1) || fail "the installed orvane-find --version fails: $version"
[ -n "$version" ] || fail "the installed orvane-find --version prints nothing"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) of the installed tree failed"
  exit 1
fi
echo "the installed tree is complete: $(find "$prefix" -type f | wc -l) files"
