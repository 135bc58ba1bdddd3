#!/usr/bin/env bash
# Checks that an executable was built hardened, from the file itself, and prints what it found:
# a position-independent executable (ELF type DYN, PIE flag), a GNU_RELRO segment, BIND_NOW
# (relocations resolved at start, so that all of RELRO is read-only), the stack protector
# (__stack_chk_fail imported) and FORTIFY (a *_chk function imported).
#
# FORTIFY leaves a trace only where a call's bound is known to the compiler but the length
# only at run time; a small program may have no such call (the raw-ARP helper has none). When
# the file imports no *_chk function and a CMake build folder (Ninja) and targets are given (the
# executable's, then the static libraries it links), every compile command of those targets
# must define _FORTIFY_SOURCE instead.
#
# Usage: scripts/check-hardening.sh <file> [<build-dir> <target>...]
# Exits 0 when every check passes, 1 otherwise.
set -euo pipefail
file="$1"
build="${2:-}"
targets=("${@:3}")
target="${targets[0]:-}"
failed=0

say() {  # say ok|FAIL what
  echo "    $1 $2"
  [ "$1" = ok ] || failed=1
}

header="$(readelf -hW "$file")"
dynamic="$(readelf -dW "$file")"
segments="$(readelf -lW "$file")"
# The functions it takes from shared libraries, without their version.
imports="$(readelf --dyn-syms -W "$file" | awk '$7 == "UND" && $8 != "" {sub(/@.*/, "", $8); print $8}' | sort -u)"

type="$(sed -n 's/^ *Type: *\([A-Z]*\).*/\1/p' <<<"$header")"
flags1="$(sed -n 's/.*(FLAGS_1) *Flags: *//p' <<<"$dynamic")"
if [ "$type" = DYN ] && grep -qw PIE <<<"$flags1"; then
  say ok "PIE: ELF type $type, FLAGS_1 $flags1"
else
  say FAIL "PIE: ELF type ${type:-?}, FLAGS_1 ${flags1:-none}"
fi
if grep -q GNU_RELRO <<<"$segments"; then
  say ok "RELRO: a GNU_RELRO segment"
else
  say FAIL "RELRO: no GNU_RELRO segment"
fi
flags="$(sed -n 's/.*(FLAGS) *//p' <<<"$dynamic")"
if grep -qw BIND_NOW <<<"$flags" || grep -qw NOW <<<"$flags1"; then
  say ok "BIND_NOW: FLAGS ${flags:-none}, FLAGS_1 $flags1"
else
  say FAIL "BIND_NOW: FLAGS ${flags:-none}, FLAGS_1 ${flags1:-none}"
fi
if grep -qx '__stack_chk_fail' <<<"$imports"; then
  say ok "stack protector: imports __stack_chk_fail"
else
  say FAIL "stack protector: no __stack_chk_fail among its imports"
fi
fortified="$(grep -E '^__.*_chk$' <<<"$imports" | grep -vx '__stack_chk_fail' | tr '\n' ' ' || true)"
if [ -n "$fortified" ]; then
  say ok "FORTIFY: imports ${fortified% }"
elif [ -n "$build" ] && [ -n "$target" ]; then
  # `ninja -t commands` lists the commands of the target and of what it depends on: only the
  # compiles of the named targets' own objects count.
  compiles="$(for t in "${targets[@]}"; do
    ninja -C "$build" -t commands "$t" | grep -F "CMakeFiles/$t.dir/" | grep -E ' -c ' || true
  done | sort -u)"
  total="$(grep -c . <<<"$compiles" || true)"
  defined="$(grep -cE -- '-D_FORTIFY_SOURCE=[1-9]' <<<"$compiles" || true)"
  if [ "$total" -gt 0 ] && [ "$defined" -eq "$total" ]; then
    say ok "FORTIFY: no *_chk import (no call with a bound known only at run time); $defined of $total compiles of ${targets[*]} in $build define $(grep -oE -- '-D_FORTIFY_SOURCE=[1-9]' <<<"$compiles" | sort -u | paste -sd " ")"
  else
    say FAIL "FORTIFY: no *_chk import, and ${defined:-0} of ${total:-0} compiles of ${targets[*]} in $build define _FORTIFY_SOURCE"
  fi
else
  say FAIL "FORTIFY: no *_chk function among its imports"
fi
exit "$failed"
