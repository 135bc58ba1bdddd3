#!/usr/bin/env bash
# Scan pass benchmark: our ARP-only first pass in raw mode (the raw-ARP helper with CAP_NET_RAW,
# our own ARP requests) and in kernel mode (without it: the kernel's neighbour resolution),
# against Debian's
# arp-scan --localnet on each scanner adapter, all in one lab:
#   segment 0: a /24 with 60 live hosts
#   segment 1: an otherwise empty /24 with one host whose ARP replies come 300 ms late
# Each tool runs RUNS times (default 5); the neighbour caches are flushed before every run.
# Prints the medians side by side with recall (found/expected) and false hosts, the time from
# start to the first row and the peak memory of the program and of its helper, once for each
# loss level of LOSS (default "0 10 30"): the percentage of ARP frames that every host drops
# on the way in (an nftables arp table in each host namespace).
#
# Usage (as root): benchmarks/scan/run.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build-bench}"
runs="${RUNS:-5}"

[ "$(id -u)" -eq 0 ] || { echo "run.sh: needs root to build the lab's namespaces" >&2; exit 1; }
command -v arp-scan >/dev/null || { echo "run.sh: arp-scan is missing (scripts/install-deps.sh)" >&2; exit 1; }

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target scan_bench qzlab qz_arp_delay_responder >/dev/null
cmake --build "$build" -j2 --target quenzor-arp >/dev/null 2>&1 || true  # absent in old trees
bench="$(realpath "$build/benchmarks/scan/scan_bench")"
qzlab="$(realpath "$build/tests/lab/qzlab")"

work="$(mktemp -d)"
prefix=""
cleanup() {
  [ -n "$prefix" ] && "$qzlab" down "$prefix" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/lab.txt" <<'LAB'
segment 192.168.60.1/24 02:00:00:00:60:01
hosts 0 192.168.60.10 60 00:00:0c:60
segment 192.168.61.1/24 02:00:00:00:61:01
host 1 192.168.61.77 00:00:0c:61:00:77
arpdelay 192.168.61.77 300
LAB
prefix="$("$qzlab" up "$work/lab.txt" 2>/dev/null | tail -n 1)"
[ -n "$prefix" ] || { echo "run.sh: the lab did not come up" >&2; exit 1; }

# Expected remote hosts (the scanner's own addresses are neither expected nor false).
for i in $(seq 10 69); do echo "192.168.60.$i"; done >"$work/expected"
echo "192.168.61.77" >>"$work/expected"
printf '192.168.60.1\n192.168.61.1\n' >"$work/own"
expected=$(wc -l <"$work/expected")

in_lab() { "$qzlab" exec "$prefix" "$@"; }
now_ms() { date +%s%3N; }

# Runs one tool once; appends "wall_ms found false" to $work/<tool>.runs.
measure() {
  local tool="$1" out="$work/out" start end
  in_lab ip neigh flush all >/dev/null 2>&1 || true
  start=$(now_ms)
  case "$tool" in
    raw) in_lab "$bench" >"$out" ;;
    kernel) in_lab setpriv --inh-caps=-net_raw --bounding-set=-net_raw "$bench" >"$out" ;;
    arp-scan)
      : >"$out"
      for ifname in qzs0 qzs1; do
        in_lab arp-scan --localnet --quiet --plain -I "$ifname" >>"$out" 2>/dev/null
      done ;;
  esac
  end=$(now_ms)
  if [ "$tool" = arp-scan ]; then
    awk '{print $1}' "$out"
  else
    awk '$1 == "host" {print $2}' "$out"
  fi | sort -u >"$work/found"
  local hit false
  hit=$(comm -12 "$work/found" <(sort "$work/expected") | wc -l)
  false=$(comm -23 "$work/found" <(sort "$work/expected" "$work/own") | wc -l)
  echo "$((end - start)) $hit $false" >>"$work/$tool.runs"
  if [ "$tool" != arp-scan ]; then
    awk 'BEGIN {f="-"; h="-"} $1 == "wall_ms" {w=$2} $1 == "peak_rss_kb" {r=$2}
         $1 == "peak_workers" {p=$2} $1 == "first_row_ms" {f=$2} $1 == "helper_peak_rss_kb" {h=$2}
         $1 == "median_row_ms" {m=$2} END {print w, r, p, f, h, m}' "$out" >>"$work/$tool.inner"
  fi
}

median() { sort -n | awk '{v[NR]=$1} END {if (NR == 0) print "-"; else print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2] + v[NR/2+1]) / 2)}'; }

# Every host namespace of the lab drops the given percentage of the ARP frames it receives.
set_loss() {
  local ns
  for ns in $(ip netns list | awk '{print $1}' | grep -E "^${prefix}h[0-9]+$"); do
    ip netns exec "$ns" nft delete table arp qzloss 2>/dev/null || true
    [ "$1" -gt 0 ] || continue
    ip netns exec "$ns" nft -f - <<NFT
table arp qzloss {
  chain in {
    type filter hook input priority 0;
    numgen random mod 100 < $1 drop
  }
}
NFT
  done
}

report() {
  arp_wall=$(awk '{print $1}' "$work/arp-scan.runs" | median)
  printf '\n-- hosts drop %s %% of ARP frames\n' "$1"
  printf '%-9s %8s %10s %11s %7s %6s %8s %10s %10s %8s %10s %8s\n' tool wall_ms vs_arpscan \
    vs_per_adpt recall false pass_ms first_row median_row rss_kb helper_rss workers
  for tool in raw kernel arp-scan; do
    wall=$(awk '{print $1}' "$work/$tool.runs" | median)
    hit=$(awk '{print $2}' "$work/$tool.runs" | sort -n | head -n 1)
    false=$(awk '{print $3}' "$work/$tool.runs" | sort -n | tail -n 1)
    pass="-" rss="-" workers="-" first="-" helper="-" mrow="-"
    if [ -f "$work/$tool.inner" ]; then
      pass=$(awk '{print $1}' "$work/$tool.inner" | median)
      rss=$(awk '{print $2}' "$work/$tool.inner" | median)
      workers=$(awk '{print $3}' "$work/$tool.inner" | median)
      first=$(awk '$4 != "-" && $4 >= 0 {print $4}' "$work/$tool.inner" | median)
      helper=$(awk '$5 != "-" && $5 >= 0 {print $5}' "$work/$tool.inner" | median)
      mrow=$(awk '$6 != "" && $6 >= 0 {print $6}' "$work/$tool.inner" | median)
    fi
    ratio=$(awk -v a="$wall" -v b="$arp_wall" 'BEGIN {printf "%.2fx", a / b}')
    # arp-scan runs once per adapter (two): our one pass against one of its runs.
    per=$(awk -v a="$wall" -v b="$arp_wall" 'BEGIN {printf "%.2fx", a / (b / 2)}')
    printf '%-9s %8s %10s %11s %7s %6s %8s %10s %10s %8s %10s %8s\n' "$tool" "$wall" "$ratio" \
      "$per" "$hit/$expected" "$false" "$pass" "$first" "$mrow" "$rss" "$helper" "$workers"
  done
}

for loss in ${LOSS:-0 10 30}; do
  set_loss "$loss"
  rm -f "$work"/*.runs "$work"/*.inner
  for run in $(seq 1 "$runs"); do
    for tool in raw kernel arp-scan; do measure "$tool"; done
  done
  report "$loss"
done
echo "(medians of $runs runs; recall is the worst run's, false hosts the worst run's; wall_ms is the"
echo " whole command as started in the lab, pass_ms the pass alone, first_row and median_row from the"
echo " start of main to the first and the median report (the first is the scanner's own address);"
echo " vs_per_adpt compares with one arp-scan run, which covers one adapter)"
