#!/usr/bin/env bash
# The panel's folders keep to their layers: Qt only through platform/toolkit,
# results/ below query/, and panel/ below both. Prints each include that does
# not, and fails then.
set -uo pipefail
cd "${1:-$(dirname "$0")/..}"
status=0
report() {
  echo "$1:"
  echo "$2"
  status=1
}
found=$(grep -rn --include='*.h' --include='*.cpp' '^#include <Q' app panel query results commands)
[ -z "$found" ] || report "Qt headers outside platform/toolkit" "$found"
found=$(grep -rn --include='*.h' --include='*.cpp' '^#include "query/' results panel)
[ -z "$found" ] || report "query/ included from below it" "$found"
found=$(grep -rn --include='*.h' --include='*.cpp' -E '^#include "(results|commands|app)/' panel)
[ -z "$found" ] || report "panel/ includes what is built on it" "$found"
exit $status
