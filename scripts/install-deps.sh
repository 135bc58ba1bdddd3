#!/usr/bin/env bash
# Installs the Debian 12 packages that quenZOR's build, tests and benchmarks need.
# Idempotent: packages already present are not touched. Uses sudo when not root.
set -euo pipefail

packages=(
  # build
  build-essential cmake ninja-build pkg-config
  qt6-base-dev libasound2-dev libgtest-dev libgmock-dev
  # fuzzing and sanitizers
  clang libclang-rt-14-dev
  # the test network: namespaces, real servers and peers
  iproute2 util-linux libcap2-bin lighttpd busybox python3 procps
  iputils-ping
  # fonts for the offscreen window tests
  fonts-dejavu-core
  # packaging
  dpkg-dev file desktop-file-utils lintian
  # benchmarks' peers
  arp-scan curl
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
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
