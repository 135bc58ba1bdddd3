#!/usr/bin/env bash
# Names benchmark on a lab of nine hosts: reverse DNS only, mDNS only (avahi-daemon), NetBIOS
# only (nmbd), DNS and mDNS, mDNS and NetBIOS, no name, a responder that sends only garbage,
# and two hosts whose MACs lie in an MA-M and an MA-S block. Prints
#   - what quenZOR's name lookup gives for each host and how long it took,
#   - the names nmap -sn finds with reverse DNS (when nmap is installed), and the vendors it
#     shows,
#   - pass 2's wall time with and without the name step (median of RUNS runs, default 3).
# Everything runs inside the lab's namespaces.
#
# Usage (as root): benchmarks/scan/names.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build-bench}"
runs="${RUNS:-3}"

[ "$(id -u)" -eq 0 ] || { echo "names.sh: needs root to build the lab's namespaces" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target scan_pass2_run qzlab qz_netinfo_helper >/dev/null
runner="$(realpath "$build/tests/scan/scan_pass2_run")"
helper="$(realpath "$build/tests/netinfo/qz_netinfo_helper")"
qzlab="$(realpath "$build/tests/lab/qzlab")"

work="$(mktemp -d)"
prefix=""
cleanup() {
  [ -n "$prefix" ] && "$qzlab" down "$prefix" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/names.lab" <<'LAB'
segment 192.168.93.1/24 02:00:00:00:93:01
host 0 192.168.93.10 02:00:00:93:00:10 dns-only.lab
host 0 192.168.93.11 02:00:00:93:00:11
host 0 192.168.93.12 02:00:00:93:00:12
host 0 192.168.93.13 02:00:00:93:00:13 router.lab
host 0 192.168.93.14 02:00:00:93:00:14
host 0 192.168.93.15 02:00:00:93:00:15
host 0 192.168.93.16 02:00:00:93:00:16
host 0 192.168.93.17 20:85:93:b0:00:17
host 0 192.168.93.18 70:b3:d5:f2:f0:18
mdns 192.168.93.11 johns-macbook
netbios 192.168.93.12 KITCHEN-PC
mdns 192.168.93.13 router-mdns
mdns 192.168.93.14 nas-mdns
netbios 192.168.93.14 NAS-NETBIOS
badnames 192.168.93.16
LAB
prefix="$("$qzlab" up "$work/names.lab" 2>/dev/null | tail -n 1)"
[ -n "$prefix" ] || { echo "names.sh: the lab did not come up" >&2; exit 1; }
hosts=(192.168.93.{10..18})

echo "quenZOR's name lookup (address, name, ms):"
"$qzlab" exec "$prefix" "$helper" devicename "${hosts[@]}" | sed 's/^/  /'
named=$("$qzlab" exec "$prefix" "$helper" devicename "${hosts[@]}" | awk '$1 != $2' | wc -l)
echo "  named: $named of ${#hosts[@]}"

if command -v nmap >/dev/null; then
  echo "nmap -sn with reverse DNS (system resolver):"
  "$qzlab" exec "$prefix" nmap -sn -R --system-dns "${hosts[@]}" >"$work/nmap"
  grep -E '^Nmap scan report|^MAC Address' "$work/nmap" | sed 's/^/  /'
  echo "  named: $(grep -c '^Nmap scan report for [^0-9]' "$work/nmap" || true) of ${#hosts[@]}"
else
  echo "nmap is not installed: no comparison"
fi

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
for mode in names no-names; do
  flag=""
  [ "$mode" = names ] || flag="--no-names"
  ms=$(for i in $(seq 1 "$runs"); do
    "$qzlab" exec "$prefix" "$runner" $flag | awk '/^pass2_ms/ { print $2 }'
  done | median)
  printf 'pass 2, %s: median %s ms over %s runs\n' "$mode" "$ms" "$runs"
done
