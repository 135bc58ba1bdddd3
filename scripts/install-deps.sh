#!/usr/bin/env bash
# Installs the Debian 12 packages that quenZOR's build, tests and benchmarks need.
# Idempotent: packages already present are not touched. Uses sudo when not root.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config ccache
  qt6-base-dev libasound2-dev libgtest-dev libgmock-dev libseccomp-dev libsqlite3-dev
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # the layout check (scripts/check-format.sh)
  clang-format-14
  # the test network: namespaces, real servers and peers
  iproute2 util-linux libcap2-bin lighttpd busybox python3 procps
  iputils-ping
  # fonts for the offscreen window tests
  fonts-dejavu-core
  # reading the list as a screen reader does: a private X server, D-Bus session and AT-SPI bus
  xvfb dbus at-spi2-core python3-pyatspi
  # packaging
  dpkg-dev file desktop-file-utils lintian appstream
  # name responders that lab hosts run (never started in the machine's own namespace) and
  # the IEEE registry lists the vendor table is generated from and checked against
  avahi-daemon samba ieee-data minidlna
  # benchmarks' peers
  arp-scan curl nmap
  nftables  # a lab host that drops SYNs to port 80 (netfilter rule in its namespace)
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
$sudo apt-get update -qq

# avahi-daemon, samba and minidlna would start their daemons in the machine's own namespace,
# where they would answer the real network: a policy-rc.d that refuses every start keeps them
# down while they install (invoke-rc.d and deb-systemd-invoke both ask it), and on a systemd
# machine their units are disabled afterwards. The lab starts its own copies inside its hosts.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\n# quenZOR install-deps.sh: no service starts while it installs.\nexit 101\n' |
    $sudo tee "$policy" >/dev/null
  $sudo chmod 755 "$policy"
  own_policy=1
fi
remove_policy() { [ -z "$own_policy" ] || $sudo rm -f "$policy"; }
trap remove_policy EXIT
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
  for unit in avahi-daemon.socket avahi-daemon.service nmbd.service smbd.service \
    samba-ad-dc.service minidlna.service; do
    $sudo systemctl disable --now "$unit" >/dev/null 2>&1 || true
  done
fi
