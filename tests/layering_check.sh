#!/usr/bin/env bash
# Checks the library layering from the outside.
# Usage: layering_check.sh <support source folder> <executable>...
# support is plain C++: no Qt header in its sources. The executables (the HTTP client's tests
# and fuzz replays, linked without --as-needed so that every library of the link shows) need
# neither ALSA nor Qt's GUI library.
set -uo pipefail
support="$1"
shift
status=0
if grep -rn "include <Q" "$support"; then
  echo "FAIL: $support includes Qt" >&2
  status=1
fi
for executable in "$@"; do
  needed="$(ldd "$executable")" || { echo "FAIL: ldd $executable" >&2; status=1; continue; }
  if grep -E 'libasound|libQt6Gui' <<<"$needed"; then
    echo "FAIL: $executable links a desktop library" >&2
    status=1
  fi
done
exit "$status"
