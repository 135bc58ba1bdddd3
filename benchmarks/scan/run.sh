#!/usr/bin/env bash
# Scan pass benchmark: our ARP-only first pass in raw mode (the raw-ARP helper with CAP_NET_RAW,
# our own ARP requests) and in kernel mode (without it: the kernel's neighbour resolution),
# against Debian's arp-scan --localnet on each scanner adapter and, on the hard devices, nmap -sn.
#
# Part 1, responsive devices, in a lab of its own (so its figures stay comparable with earlier
# runs of this script):
#   segment 0: a /24 with 60 live hosts
#   segment 1: an otherwise empty /24 with one host whose ARP replies come 300 ms late
# Each tool runs RUNS times (default 3); the neighbour caches are flushed before every run.
# Prints the medians side by side with recall (found/expected) and false hosts, the time from
# start to the first row and the peak memory of the program and of its helper, once for each
# loss level of LOSS (default "0 10 30"): the percentage of ARP frames that every host drops
# on the way in (an nftables arp table in each host namespace).
#
# Part 2, hard devices (skipped with HARD=0), in a second lab: one /24 on its own scanner
# adapter with
#   late:       3 hosts whose ARP replies come 1200, 1800 and 2400 ms late
#   doze:       4 hosts in power save that lose 85 % of the broadcast who-has frames at random
#               and answer every who-has sent to their MAC
#   spacing:    3 hosts that ignore a who-has within 400 ms of the previous one, and whose first
#               who-has after 10 s of quiet only wakes them
#   responsive: 5 plain hosts
# Each round runs raw mode on a fresh history (raw), raw mode again with the pairs the first
# run saved as its history (raw2), kernel mode, arp-scan and nmap -sn, each after 10 s of quiet
# on the segment (QUIET), so that no tool finds a spacing device woken by the one before.
# Prints recall per kind for the worst run, the found counts of every run, and the raw helper's
# peak frames per second (sent frames of all scanner adapters, sampled every 100 ms; median of
# the runs' peaks).
#
# One full run takes about 6 minutes on an idle machine: nmap alone takes about 30 s per run on
# the hard segment (the late devices stretch its timeouts) and the quiet times 140 s. HARD=0
# leaves part 2 out, NMAP=0 leaves nmap out of it.
#
# Usage (as root): benchmarks/scan/run.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build="${1:-build-bench}"
runs="${RUNS:-3}"
hard="${HARD:-1}"
quiet="${QUIET:-10}"

[ "$(id -u)" -eq 0 ] || { echo "run.sh: needs root to build the lab's namespaces" >&2; exit 1; }
command -v arp-scan >/dev/null || { echo "run.sh: arp-scan is missing (scripts/install-deps.sh)" >&2; exit 1; }
use_nmap="${NMAP:-1}"
if [ "$hard" != 0 ] && [ "$use_nmap" != 0 ] && ! command -v nmap >/dev/null; then
  echo "run.sh: nmap is missing; the hard segment runs without it" >&2
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQZ_BUILD_BENCHMARKS=ON >/dev/null
cmake --build "$build" -j2 --target scan_bench qzlab qz_arp_delay_responder >/dev/null
cmake --build "$build" -j2 --target quenzor-arp >/dev/null 2>&1 || true  # absent in old trees
bench="$(realpath "$build/benchmarks/scan/scan_bench")"
qzlab="$(realpath "$build/tests/lab/qzlab")"
# Whether this scan_bench takes a history (--known FILE) and saves what it found (--save FILE).
history=0
grep -qa -- '--known' "$bench" && grep -qa -- '--save' "$bench" && history=1

work="$(mktemp -d)"
prefix=""
sampler=""
stop_sampler() {
  [ -n "$sampler" ] || return 0
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  sampler=""
}
lab_down() {
  [ -n "$prefix" ] && "$qzlab" down "$prefix" >/dev/null 2>&1 || true
  prefix=""
}
cleanup() {
  stop_sampler
  lab_down
  rm -rf "$work"
}
trap cleanup EXIT

lab_up() {
  prefix="$("$qzlab" up "$1" 2>/dev/null | tail -n 1)"
  [ -n "$prefix" ] || { echo "run.sh: the lab did not come up" >&2; exit 1; }
}

in_lab() { "$qzlab" exec "$prefix" "$@"; }
now_ms() { date +%s%3N; }
median() { sort -n | awk '{v[NR]=$1} END {if (NR == 0) print "-"; else print (NR % 2) ? v[(NR+1)/2] : int((v[NR/2] + v[NR/2+1]) / 2)}'; }

# Samples the sent frames of all scanner adapters every 100 ms ("<ns> <frames>" lines in $1).
# Started as a plain command (qzlab and ip exec into the shell), so that $! is the shell itself
# and the kill ends it.
start_sampler() {
  "$qzlab" exec "$prefix" sh -c 'while :; do t=$(date +%s%N); n=0
    for f in /sys/class/net/qzs*/statistics/tx_packets; do read v <"$f"; n=$((n + v)); done
    echo "$t $n"; sleep 0.1; done' >"$1" 2>/dev/null &
  sampler=$!
}
# The highest rate between two samples, in frames per second.
peak_fps() {
  awk 'NR > 1 && $1 > t {r = ($2 - n) * 1e9 / ($1 - t); if (r > p) p = r} {t = $1; n = $2}
       END {printf "%d\n", p}' "$1"
}

# Runs one tool once; appends "wall_ms found false" to $work/<name>.runs and, for our program,
# its own figures to $work/<name>.inner, and the found addresses to $work/<name>.found.<n>.
# Uses $adapters, $subnets, $work/expected and $work/own. extra: arguments for scan_bench.
measure() {
  local name="$1" tool="$2" out="$work/out" start end fps="-"
  shift 2
  in_lab ip neigh flush all >/dev/null 2>&1 || true
  [ "$tool" = raw ] && start_sampler "$work/samples"
  start=$(now_ms)
  case "$tool" in
    raw) in_lab "$bench" "$@" >"$out" ;;
    kernel) in_lab setpriv --inh-caps=-net_raw --bounding-set=-net_raw "$bench" >"$out" ;;
    arp-scan)
      : >"$out"
      for ifname in $adapters; do
        in_lab arp-scan --localnet --quiet --plain -I "$ifname" >>"$out" 2>/dev/null
      done ;;
    nmap)
      : >"$out"
      for net in $subnets; do in_lab nmap -sn -n -oG - "$net" >>"$out" 2>/dev/null; done ;;
  esac
  end=$(now_ms)
  if [ "$tool" = raw ]; then
    stop_sampler
    fps=$(peak_fps "$work/samples")
  fi
  case "$tool" in
    arp-scan) awk '{print $1}' "$out" ;;
    nmap) awk '$1 == "Host:" && /Status: Up/ {print $2}' "$out" ;;
    *) awk '$1 == "host" {print $2}' "$out" ;;
  esac | sort -u >"$work/found"
  local n hit false
  n=1
  [ -f "$work/$name.runs" ] && n=$(($(wc -l <"$work/$name.runs") + 1))
  cp "$work/found" "$work/$name.found.$n"
  hit=$(comm -12 "$work/found" <(sort "$work/expected") | wc -l)
  false=$(comm -23 "$work/found" <(sort "$work/expected" "$work/own") | wc -l)
  echo "$((end - start)) $hit $false" >>"$work/$name.runs"
  if [ "$tool" = raw ] || [ "$tool" = kernel ]; then
    awk -v fps="$fps" 'BEGIN {f="-"; h="-"; m="-"; a="-"; l="-"}
         $1 == "wall_ms" {w=$2} $1 == "peak_rss_kb" {r=$2}
         $1 == "peak_workers" {p=$2} $1 == "first_row_ms" {f=$2} $1 == "helper_peak_rss_kb" {h=$2}
         $1 == "median_row_ms" {m=$2} $1 == "median_ask_to_row_ms" {a=$2} $1 == "late_hosts" {l=$2}
         END {print w, r, p, f, h, m, a, l, fps}' "$out" >>"$work/$name.inner"
  fi
}

# Median of column $2 of $work/$1.inner over the runs, counting only values >= 0.
inner() {
  [ -f "$work/$1.inner" ] || { echo "-"; return; }
  awk -v c="$2" '$c != "-" && $c >= 0 {print $c}' "$work/$1.inner" | median
}

# ---- part 1: responsive devices ----

cat >"$work/lab.txt" <<'LAB'
segment 192.168.60.1/24 02:00:00:00:60:01
hosts 0 192.168.60.10 60 00:00:0c:60
segment 192.168.61.1/24 02:00:00:00:61:01
host 1 192.168.61.77 00:00:0c:61:00:77
arpdelay 192.168.61.77 300
LAB
lab_up "$work/lab.txt"
adapters="qzs0 qzs1"
subnets="192.168.60.0/24 192.168.61.0/24"

# Expected remote hosts (the scanner's own addresses are neither expected nor false).
for i in $(seq 10 69); do echo "192.168.60.$i"; done >"$work/expected"
echo "192.168.61.77" >>"$work/expected"
printf '192.168.60.1\n192.168.61.1\n' >"$work/own"
expected=$(wc -l <"$work/expected")

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
  printf '%-9s %8s %10s %11s %7s %6s %8s %10s %10s %8s %8s %10s %8s %6s\n' tool wall_ms vs_arpscan \
    vs_per_adpt recall false pass_ms first_row median_row ask_row rss_kb helper_rss workers fps
  for tool in raw kernel arp-scan; do
    wall=$(awk '{print $1}' "$work/$tool.runs" | median)
    hit=$(awk '{print $2}' "$work/$tool.runs" | sort -n | head -n 1)
    false=$(awk '{print $3}' "$work/$tool.runs" | sort -n | tail -n 1)
    ratio=$(awk -v a="$wall" -v b="$arp_wall" 'BEGIN {printf "%.2fx", a / b}')
    # arp-scan runs once per adapter (two): our one pass against one of its runs.
    per=$(awk -v a="$wall" -v b="$arp_wall" 'BEGIN {printf "%.2fx", a / (b / 2)}')
    printf '%-9s %8s %10s %11s %7s %6s %8s %10s %10s %8s %8s %10s %8s %6s\n' "$tool" "$wall" \
      "$ratio" "$per" "$hit/$expected" "$false" "$(inner "$tool" 1)" "$(inner "$tool" 4)" \
      "$(inner "$tool" 6)" "$(inner "$tool" 7)" "$(inner "$tool" 2)" "$(inner "$tool" 5)" \
      "$(inner "$tool" 3)" "$(inner "$tool" 9)"
  done
}

echo "== responsive devices: 60 hosts on 192.168.60.0/24, one 300 ms late on 192.168.61.0/24"
for loss in ${LOSS:-0 10 30}; do
  set_loss "$loss"
  rm -f "$work"/*.runs "$work"/*.inner "$work"/*.found.*
  for run in $(seq 1 "$runs"); do
    for tool in raw kernel arp-scan; do measure "$tool" "$tool"; done
  done
  report "$loss"
done
echo "(medians of $runs runs; recall is the worst run's, false hosts the worst run's; wall_ms is the"
echo " whole command as started in the lab, pass_ms the pass alone, first_row and median_row from the"
echo " start of main to the first and the median report (the first is the scanner's own address);"
echo " ask_row the median time from a device's ARP ask to its report; vs_per_adpt compares with one"
echo " arp-scan run, which covers one adapter; fps the raw helper's peak frames per second)"
lab_down

# ---- part 2: hard devices ----

[ "$hard" != 0 ] || exit 0

{
  echo "segment 192.168.62.1/24 02:00:00:00:62:01"
  for i in 10 11 12 20 21 22 23 30 31 32 40 41 42 43 44; do
    echo "host 0 192.168.62.$i 00:00:0c:62:00:$i"
  done
  echo "arp 192.168.62.10 delay 1200"
  echo "arp 192.168.62.11 delay 1800"
  echo "arp 192.168.62.12 delay 2400"
  for i in 20 21 22 23; do echo "arp 192.168.62.$i doze 85"; done
  for i in 30 31 32; do echo "arp 192.168.62.$i spacing 400"; done
} >"$work/hard.txt"
lab_up "$work/hard.txt"
adapters="qzs0"
subnets="192.168.62.0/24"
kinds="late doze spacing responsive"
printf '192.168.62.%s\n' 10 11 12 >"$work/late"
printf '192.168.62.%s\n' 20 21 22 23 >"$work/doze"
printf '192.168.62.%s\n' 30 31 32 >"$work/spacing"
printf '192.168.62.%s\n' 40 41 42 43 44 >"$work/responsive"
cat "$work/late" "$work/doze" "$work/spacing" "$work/responsive" >"$work/expected"
echo "192.168.62.1" >"$work/own"
expected=$(wc -l <"$work/expected")

tools="raw raw2 kernel arp-scan"
[ "$use_nmap" != 0 ] && command -v nmap >/dev/null && tools="$tools nmap"
rm -f "$work"/*.runs "$work"/*.inner "$work"/*.found.*
first=1
for run in $(seq 1 "$runs"); do
  for name in $tools; do
    [ "$first" = 1 ] || sleep "$quiet"  # the lab's devices start cold
    first=0
    case "$name" in
      raw)
        if [ "$history" = 1 ]; then
          rm -f "$work/history.$run"
          measure raw raw --save "$work/history.$run"
        else
          measure raw raw
        fi ;;
      raw2)
        if [ "$history" = 1 ]; then
          touch "$work/history.$run"
          measure raw2 raw --known "$work/history.$run"
        else
          measure raw2 raw
        fi ;;
      *) measure "$name" "$name" ;;
    esac
  done
done

# Found per kind in run n of a tool.
kind_hits() { comm -12 "$work/$1.found.$2" <(sort "$work/$3") | wc -l; }

printf '\n== hard devices on 192.168.62.0/24: recall per kind (worst run), found per run\n'
printf '%-9s %6s %6s %8s %11s %7s %-10s %6s %8s %8s %10s %8s %5s %6s\n' tool late doze spacing \
  responsive worst per_run false wall_ms pass_ms median_row ask_row late fps
for name in $tools; do
  line=$(printf '%-9s' "$name")
  for kind in $kinds; do
    size=$(wc -l <"$work/$kind")
    worst=$(for n in $(seq 1 "$runs"); do kind_hits "$name" "$n" "$kind"; done | sort -n | head -n 1)
    case "$kind" in
      responsive) width=11 ;;
      spacing) width=8 ;;
      *) width=6 ;;
    esac
    line+=$(printf " %${width}s" "$worst/$size")
  done
  worst=$(awk '{print $2}' "$work/$name.runs" | sort -n | head -n 1)
  per=$(awk '{print $2}' "$work/$name.runs" | paste -sd, -)
  false=$(awk '{print $3}' "$work/$name.runs" | sort -n | tail -n 1)
  wall=$(awk '{print $1}' "$work/$name.runs" | median)
  line+=$(printf ' %7s %-10s %6s %8s %8s %10s %8s %5s %6s' "$worst/$expected" "$per" "$false" \
    "$wall" "$(inner "$name" 1)" "$(inner "$name" 6)" "$(inner "$name" 7)" "$(inner "$name" 8)" \
    "$(inner "$name" 9)")
  echo "$line"
done
echo "(each kind: the fewest found in one of $runs runs; worst: the worst run's total; per_run: found"
echo " in each run; false: the worst run's; wall_ms: median of the whole command, pass_ms the pass,"
echo " median_row from the start of main, ask_row from a device's ARP ask to its report, late the"
echo " devices reported after their ask's window; fps the raw helper's peak frames per second,"
echo " median of the runs' peaks. raw2 runs raw mode again with raw's saved pairs as its history)"
[ "$history" = 1 ] || echo "(this scan_bench takes no --known/--save: raw2 is a plain second raw run)"
