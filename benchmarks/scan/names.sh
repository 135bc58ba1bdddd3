#!/usr/bin/env bash
# Names benchmark on a lab of seventeen hosts: reverse DNS only, mDNS only (avahi-daemon),
# NetBIOS only (nmbd), DNS and mDNS, mDNS and NetBIOS, no name, a responder that sends only
# garbage, two hosts whose MACs lie in an MA-M and an MA-S block; and devices that say what they
# are: minidlna (UPnP), a DNS-SD printer and speaker (avahi-daemon), a TV with UPnP, DNS-SD and
# a reverse DNS name, a UPnP router, and UPnP devices whose answers must not be used (LOCATION
# on another host, a huge description, an entity bomb). Prints
#   - what quenZOR's own-name lookup (mDNS, NetBIOS) gives for each host and how long it took,
#   - the host names of quenZOR's second pass and the evidence behind them,
#   - the names nmap -sn finds with reverse DNS (when nmap is installed), and the vendors it
#     shows, and what nmap's broadcast-upnp-info and dns-service-discovery scripts find,
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
host 0 192.168.93.20 02:00:00:93:00:20
host 0 192.168.93.21 02:00:00:93:00:21
host 0 192.168.93.22 02:00:00:93:00:22
host 0 192.168.93.23 02:00:00:93:00:23 tv.lab
host 0 192.168.93.24 02:00:00:93:00:24
host 0 192.168.93.25 02:00:00:93:00:25
host 0 192.168.93.26 02:00:00:93:00:26
host 0 192.168.93.27 02:00:00:93:00:27
minidlna 192.168.93.20 Lab Media
dnssd 192.168.93.21 printer21 no _ipp._tcp ty=LaserJet-M404 Office Printer
dnssd 192.168.93.22 speaker22 yes _airplay._tcp model=AudioAccessory5,1 Kitchen speaker
dnssd 192.168.93.23 tv23 no _googlecast._tcp md=Chromecast Living Room TV cast
ssdp 192.168.93.23 describe MediaRenderer Living Room TV
ssdp 192.168.93.24 describe InternetGatewayDevice Lab Router
ssdp 192.168.93.25 location http://192.168.93.10:8081/d.xml
ssdp 192.168.93.26 huge
ssdp 192.168.93.27 bomb
LAB
prefix="$("$qzlab" up "$work/names.lab" 2>/dev/null | tail -n 1)"
[ -n "$prefix" ] || { echo "names.sh: the lab did not come up" >&2; exit 1; }
hosts=(192.168.93.{10..18} 192.168.93.{20..27})

echo "quenZOR's name lookup (address, name, ms):"
"$qzlab" exec "$prefix" "$helper" devicename "${hosts[@]}" | sed 's/^/  /'
named=$("$qzlab" exec "$prefix" "$helper" devicename "${hosts[@]}" | awk '$1 != $2' | wc -l)
echo "  named: $named of ${#hosts[@]}"

echo "quenZOR's second pass (address, host name; evidence):"
"$qzlab" exec "$prefix" "$runner" --pass2-only >"$work/pass2"
for ip in "${hosts[@]}"; do
  awk -F'\t' -v ip="$ip" '$1 == "host " ip { printf "  %s  %s\n", ip, $2 }
    $1 == "evidence " ip { printf "      %s %s (%s)\n", $2, $3, $4 }
    $1 == "type " ip { printf "      type %s\n", $2 }' "$work/pass2"
done
named=$(for ip in "${hosts[@]}"; do
  awk -F'\t' -v ip="$ip" '$1 == "host " ip && $2 != ip' "$work/pass2"
done | wc -l)
echo "  named: $named of ${#hosts[@]}"

if command -v nmap >/dev/null; then
  echo "nmap -sn with reverse DNS (system resolver):"
  "$qzlab" exec "$prefix" nmap -sn -R --system-dns "${hosts[@]}" >"$work/nmap"
  grep -E '^Nmap scan report|^MAC Address' "$work/nmap" | sed 's/^/  /'
  echo "  named: $(grep -c '^Nmap scan report for [^0-9]' "$work/nmap" || true) of ${#hosts[@]}"
  # broadcast-upnp-info is a pre-scan script (its search goes to the SSDP group on the lab's
  # adapter); dns-service-discovery asks each host's UDP 5353.
  echo "nmap --script broadcast-upnp-info (on qzs0):"
  "$qzlab" exec "$prefix" nmap -sn -e qzs0 --script broadcast-upnp-info 192.168.93.20 \
    >"$work/nmap-upnp" 2>&1 || true
  sed -n '/broadcast-upnp-info/,/^Nmap scan report/p' "$work/nmap-upnp" | grep -v '^Nmap' |
    sed 's/^/  /'
  echo "  UPnP devices named: $(grep -cE '^\| +Name: ' "$work/nmap-upnp" || true)"
  echo "nmap -sU -p 5353 --script dns-service-discovery:"
  "$qzlab" exec "$prefix" nmap -sU -p 5353 --script dns-service-discovery "${hosts[@]}" \
    >"$work/nmap-dnssd" 2>&1 || true
  awk '/^Nmap scan report/ { ip = $NF } /dns-service-discovery/ { on = 1 } on { print "  " ip " " $0 }
    /^\|_/ { on = 0 }' "$work/nmap-dnssd"
  dnssd=$(awk '/^Nmap scan report/ { ip = $NF } /dns-service-discovery/ { print ip }' \
    "$work/nmap-dnssd" | sort -u | wc -l)
  echo "  hosts with DNS-SD services shown: $dnssd"
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
