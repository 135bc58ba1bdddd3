#!/usr/bin/env bash
# Checks the library layering from the outside.
# Usage: layering_check.sh <plain folder>... -- <raw-ARP helper> <executable>...
# The plain folders (support, arpwire) are plain C++: no Qt header in their sources. The
# raw-ARP helper links no Qt library at all, and no library the wire (libc, libseccomp, the C++
# runtime) does not need. The other executables (the HTTP client's tests and fuzz replays,
# linked without --as-needed so that every library of the link shows) need neither ALSA nor
# Qt's GUI library.
set -uo pipefail
status=0
while [ "$#" -gt 0 ] && [ "$1" != "--" ]; do
  if grep -rn "include <Q" "$1"; then
    echo "FAIL: $1 includes Qt" >&2
    status=1
  fi
  shift
done
shift  # --
helper="$1"
shift
if needed="$(ldd "$helper")"; then
  unexpected="$(grep -vE 'linux-vdso|ld-linux|/libc\.so|/libm\.so|/libgcc_s\.so|/libstdc\+\+\.so|/libseccomp\.so' <<<"$needed")"
  if [ -n "$unexpected" ]; then
    echo "$unexpected"
    echo "FAIL: $helper links more than libc, libseccomp and the C++ runtime" >&2
    status=1
  fi
else
  echo "FAIL: ldd $helper" >&2
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
