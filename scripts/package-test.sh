#!/usr/bin/env bash
# Builds the Debian package and checks it the way a user meets it: lintian, install with apt
# (dependencies resolved), the installed files, cap_net_raw on the raw-ARP helper alone, the
# hardening of both executables (scripts/check-hardening.sh), the INSTALLED program sweeping a
# lab network as an unprivileged user (raw ARP through the helper, the program itself holding
# no capability and no packet socket; then a copy without the helper in kernel ARP mode),
# reinstall, and a purge that leaves nothing behind.
# Needs root. The program runs only inside the lab's scanner namespace (tests/lab, qzlab).
#
# Usage: scripts/package-test.sh
#   QZ_PACKAGE_BUILD  build folder of the package (default build-package)
#   QZ_LAB_BUILD      build folder whose qzlab is used (default build, the default preset's)
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD"

if [ "$(id -u)" -ne 0 ]; then
  echo "package-test: needs root (installs a package and builds network namespaces)" >&2
  exit 1
fi

package_build="${QZ_PACKAGE_BUILD:-build-package}"
lab_build="${QZ_LAB_BUILD:-build}"
program=/usr/bin/quenzor
helper=/usr/libexec/quenzor/quenzor-arp
user=nobody
group=nogroup
deadline_s=20   # the lab's hosts must be in the CSV by then (pass 1 takes a few seconds)

failures=0
checks=0
work=""
lab_prefix=""
qzlab=""
pids=()
installed_by_us=0

pass() { checks=$((checks + 1)); echo "  ok   $*"; }
fail() { checks=$((checks + 1)); failures=$((failures + 1)); echo "  FAIL $*"; }
check() {  # check "description" command...
  local what="$1"; shift
  if "$@"; then pass "$what"; else fail "$what"; fi
}

alive() {  # the process runs (a child that ended stays a zombie until waited for)
  local state
  state="$(sed -n 's/^State:[[:space:]]*\(.\).*/\1/p' "/proc/$1/status" 2>/dev/null)"
  [ -n "$state" ] && [ "$state" != Z ]
}

stop_pid() {  # ends a process this script started: SIGTERM, up to 5 s, then SIGKILL
  local pid="$1" i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 50; i++)); do
    alive "$pid" || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  local pid
  for pid in "${pids[@]}"; do stop_pid "$pid"; done
  if [ -n "$lab_prefix" ] && [ -n "$qzlab" ]; then "$qzlab" down "$lab_prefix" || true; fi
  if [ "$installed_by_us" -eq 1 ] && dpkg-query -W -f='${Status}' quenzor 2>/dev/null | grep -q installed; then
    echo "package-test: purging the package after a failure"
    DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quenzor >/dev/null || true
  fi
  if [ -n "$work" ]; then rm -rf "$work"; fi
}
trap cleanup EXIT
trap "exit 130" INT TERM HUP

echo "== building the package"
deb="$(scripts/build-package.sh "$package_build" | tail -n 1)"
echo "package: $deb"
dpkg-deb --info "$deb" | sed -n '/Package:/,$p'

echo "== building the lab tool (qzlab) in $lab_build"
cmake -S . -B "$lab_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$lab_build" -j"$(nproc)" --target qzlab >/dev/null
qzlab="$root/$lab_build/tests/lab/qzlab"

work="$(mktemp -d /tmp/qzpkgtest.XXXXXX)"
chmod 755 "$work"

echo "== lintian"
if lintian --display-info --pedantic --fail-on error "$deb" >"$work/lintian.txt" 2>&1; then
  pass "lintian reports no errors"
else
  fail "lintian reports errors"
fi
grep -v '^running with root privileges' "$work/lintian.txt" | sed 's/^/    /' || true

echo "== installing with apt"
if dpkg-query -W -f='${Status}' quenzor 2>/dev/null | grep -q "ok installed"; then
  echo "package-test: quenzor is already installed; purging it first"
  DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quenzor >/dev/null
fi
# apt needs package lists to resolve the dependencies.
if ! apt-cache policy qt6-qpa-plugins 2>/dev/null | grep -q 'Candidate: [0-9]'; then
  apt-get update -qq
fi
installed_by_us=1
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$deb" >"$work/apt-install.txt" 2>&1 ||
  { cat "$work/apt-install.txt"; fail "apt-get install of the package"; exit 1; }
pass "apt-get install of the package"

echo "== installed files"
status="$(dpkg-query -W -f='${Status}' quenzor)"
check "dpkg status is '$status'" test "$status" = "install ok installed"
check "dpkg --verify finds the files as packaged" dpkg --verify quenzor
for f in "$program" "$helper" /usr/share/applications/quenzor.desktop \
         /usr/share/icons/hicolor/scalable/apps/quenzor.svg \
         /usr/share/icons/hicolor/48x48/apps/quenzor.png /usr/share/metainfo/quenzor.metainfo.xml \
         /usr/share/man/man1/quenzor.1.gz /usr/share/doc/quenzor/copyright \
         /usr/share/doc/quenzor/changelog.Debian.gz; do
  check "$f is installed" test -s "$f"
done
check "the program is executable for everybody" test "$(stat -c %a "$program")" = 755
check "the installed desktop entry passes desktop-file-validate" \
  desktop-file-validate /usr/share/applications/quenzor.desktop
# The id is not reverse-DNS (quenZOR has no domain); every other finding fails the check.
check "the installed AppStream metainfo passes appstreamcli validate" \
  appstreamcli validate --no-net --override=cid-desktopapp-is-not-rdns=info \
  /usr/share/metainfo/quenzor.metainfo.xml
check "the 48x48 icon is a 48 x 48 PNG" \
  bash -c "file -b /usr/share/icons/hicolor/48x48/apps/quenzor.png | grep -q 'PNG image data, 48 x 48'"
check "man finds the manual page" bash -c "man -w quenzor | grep -q /usr/share/man/man1/quenzor.1.gz"
caps="$(getcap "$helper")"
check "postinst gave the helper cap_net_raw ('$caps')" \
  bash -c "grep -q 'cap_net_raw[=+]ep' <<<'$caps'"
check "the program itself carries no file capability" test -z "$(getcap "$program")"
check "dpkg --audit finds nothing unfinished (triggers processed)" \
  test -z "$(dpkg --audit 2>&1)"
if [ -f /usr/share/icons/hicolor/icon-theme.cache ]; then
  check "the hicolor icon cache was rebuilt with the icon" \
    grep -q quenzor /usr/share/icons/hicolor/icon-theme.cache
fi

echo "== hardening of the installed executables (readelf)"
# Built with dpkg-buildflags, and the helper with its own flags as well: each is checked on the
# installed file; FORTIFY, where a file shows no trace of it, from the package build's commands.
# The helper's wire (qz_arpwire, a static library it links) is checked with it.
for installed in "$program:quenzor" "$helper:quenzor-arp qz_arpwire"; do
  echo "  ${installed%%:*}"
  # shellcheck disable=SC2086  # the targets are words
  if scripts/check-hardening.sh "${installed%%:*}" "$package_build" ${installed#*:}; then
    pass "${installed%%:*} is built hardened (PIE, RELRO, BIND_NOW, stack protector, FORTIFY)"
  else
    fail "${installed%%:*} is built hardened (PIE, RELRO, BIND_NOW, stack protector, FORTIFY)"
  fi
done

echo "== running the installed program in a lab network"
cat >"$work/lab.txt" <<'EOF'
# One segment, the scanner at .1, three devices (one with a Cisco OUI).
segment 192.168.77.1/24 02:00:00:00:77:01
host 0 192.168.77.10 00:00:0c:12:34:56 printer.lab
host 0 192.168.77.20 02:00:00:00:77:20
host 0 192.168.77.30 02:00:00:00:77:30
EOF
lab_ips=(192.168.77.10 192.168.77.20 192.168.77.30)
lab_macs=(00:00:0C:12:34:56 02:00:00:00:77:20 02:00:00:00:77:30)
lab_prefix="$("$qzlab" up "$work/lab.txt")"
echo "lab: $lab_prefix"

# holds_packet_socket <pid>: yes when one of the inodes of /proc/<pid>/net/packet is among
# its descriptors.
holds_packet_socket() {
  local packet_inodes fd_inodes
  packet_inodes="$(awk 'NR > 1 {print $NF}' "/proc/$1/net/packet" 2>/dev/null | sort -u)"
  fd_inodes="$({ ls -l "/proc/$1/fd" 2>/dev/null || true; } | sed -n 's/.*socket:\[\([0-9]*\)\].*/\1/p' | sort -u)"
  if [ -n "$packet_inodes" ] && [ -n "$(comm -12 <(echo "$packet_inodes") <(echo "$fd_inodes"))" ]; then
    echo yes
  else
    echo no
  fi
}

# run_in_lab <label> <program>: starts it as $user in the scanner namespace with its own HOME
# and XDG_RUNTIME_DIR, waits until the CSV lists the lab's hosts, checks it still runs and
# stops it by pid. Sets run_pid and run_home.
run_in_lab() {
  local label="$1" binary="$2" csv i ip mac found failures_before="$failures" started="$SECONDS"
  run_home="$work/$label-home"
  local runtime="$work/$label-runtime"
  mkdir -p "$run_home" "$runtime"
  chown "$user:$group" "$run_home" "$runtime"
  chmod 700 "$run_home" "$runtime"
  csv="$run_home/quenZOR.csv"
  # qzlab exec, ip netns exec, setpriv and env all exec, so $! is the program's own pid.
  "$qzlab" exec "$lab_prefix" setpriv --reuid="$user" --regid="$group" --clear-groups -- \
    env -i PATH=/usr/bin:/bin HOME="$run_home" XDG_RUNTIME_DIR="$runtime" \
    QT_QPA_PLATFORM=offscreen LANG=C.UTF-8 "$binary" >"$work/$label.log" 2>&1 &
  run_pid=$!
  pids+=("$run_pid")
  sleep 1
  # Every thread's capability sets, and whether the program and its helper (its child) hold
  # a packet socket of their namespace.
  local capsets helper_pid child
  # A thread may end between the glob and cat's open: cat then fails, which under pipefail would
  # end the script, so only what it could read counts.
  capsets="$({ cat /proc/"$run_pid"/task/*/status 2>/dev/null || true; } | awk '/^Cap(Inh|Prm|Eff|Amb):/ {print $2}' | sort -u | tr '\n' ' ')"
  run_packet="$(holds_packet_socket "$run_pid")"
  # The helper is the child named quenzor-arp: other children of the program's threads may come
  # first.
  helper_pid=""
  for child in $({ cat /proc/"$run_pid"/task/*/children 2>/dev/null || true; }); do
    if [ "$(cat "/proc/$child/comm" 2>/dev/null || true)" = quenzor-arp ]; then
      helper_pid="$child"
      break
    fi
  done
  run_helper_packet=no
  [ -n "$helper_pid" ] && run_helper_packet="$(holds_packet_socket "$helper_pid")"
  echo "  $label: pid $run_pid, capability sets of its threads: ${capsets:-gone}, packet socket: $run_packet, helper ${helper_pid:-none} with packet socket: $run_helper_packet"
  while :; do
    found=0
    for ip in "${lab_ips[@]}"; do
      grep -q ";$ip;" "$csv" 2>/dev/null && found=$((found + 1))
    done
    [ "$found" -eq "${#lab_ips[@]}" ] && break
    alive "$run_pid" || break
    [ $((SECONDS - started)) -ge "$deadline_s" ] && break
    sleep 0.5
  done
  local took=$((SECONDS - started))
  run_capsets="$capsets"
  check "$label: the program is still running after ${took} s" alive "$run_pid"
  check "$label: $csv lists all ${#lab_ips[@]} lab hosts within ${deadline_s} s (took ${took} s)" \
    test "$found" -eq "${#lab_ips[@]}"
  check "$label: the CSV starts with the header host;ip;vendor;title;mac" \
    bash -c "head -n 1 '$csv' 2>/dev/null | tr -d '\r' | grep -qx 'host;ip;vendor;title;mac'"
  for i in "${!lab_ips[@]}"; do
    ip="${lab_ips[$i]}"; mac="${lab_macs[$i]}"
    check "$label: the row of $ip carries its MAC $mac" \
      bash -c "grep ';$ip;' '$csv' 2>/dev/null | tr -d '\r' | grep -q ';$mac\$'"
  done
  check "$label: the vendor of 00:00:0C:12:34:56 comes from the OUI table (Cisco)" \
    bash -c "grep ';192.168.77.10;' '$csv' 2>/dev/null | grep -qi 'cisco'"
  check "$label: the program wrote its files as $user" \
    test "$(stat -c %U "$csv" 2>/dev/null)" = "$user"
  # A desktop session ends its programs with SIGTERM: the window closes and the program ends
  # by itself, with status 0.
  local status=killed
  kill -TERM "$run_pid" 2>/dev/null || true
  for ((i = 0; i < 100; i++)); do
    alive "$run_pid" || break
    sleep 0.1
  done
  if alive "$run_pid"; then
    stop_pid "$run_pid"
  else
    status=0
    wait "$run_pid" || status=$?
  fi
  pids=()   # reaped: its pid may be reused, so the clean-up must not signal it again
  check "$label: SIGTERM ends the program with status 0 (status: $status)" test "$status" = 0
  if [ "$failures" -ne "$failures_before" ]; then
    echo "  --- $label: program output"; sed 's/^/    /' "$work/$label.log"
    echo "  --- $label: $csv"; sed 's/^/    /' "$csv" 2>/dev/null || true
  fi
}

echo "-- raw ARP mode: the installed program as $user, through its helper's file capability"
run_in_lab raw "$program"
check "raw: the helper holds raw ARP's packet socket" test "$run_helper_packet" = yes
check "raw: the program holds no packet socket" test "$run_packet" = no
check "raw: no thread of the program holds any capability ($run_capsets)" \
  test "$run_capsets" = "0000000000000000 "

echo "-- kernel ARP mode: a copy of the installed program without its helper"
"$qzlab" exec "$lab_prefix" ip neigh flush all >/dev/null 2>&1 || true
mkdir -p "$work/plain"
cp "$program" "$work/plain/quenzor"   # cp does not carry the security.capability attribute
chmod 755 "$work/plain" "$work/plain/quenzor"
check "kernel: the copy has no capabilities" test -z "$(getcap "$work/plain/quenzor")"
run_in_lab kernel "$work/plain/quenzor"
check "kernel: the copy has no packet socket and no helper with one" \
  test "$run_packet$run_helper_packet" = nono
check "kernel: no thread of the copy holds any capability ($run_capsets)" \
  test "$run_capsets" = "0000000000000000 "

"$qzlab" down "$lab_prefix"
lab_prefix=""

echo "== reinstalling (prerm takes the capability off, postinst gives it to the new helper)"
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --reinstall "$deb" >"$work/apt-reinstall.txt" 2>&1 ||
  { cat "$work/apt-reinstall.txt"; fail "apt-get install --reinstall"; }
check "after reinstall the helper has cap_net_raw again" \
  bash -c "getcap '$helper' | grep -q 'cap_net_raw[=+]ep'"

echo "== purging"
dpkg -L quenzor >"$work/files.txt"
DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq quenzor >"$work/apt-purge.txt" 2>&1 ||
  { cat "$work/apt-purge.txt"; fail "apt-get purge"; }
installed_by_us=0
check "dpkg knows nothing more of quenzor" \
  bash -c "! dpkg-query -W -f='\${Status}' quenzor 2>/dev/null | grep -q 'installed\|config-files'"
left=()
while IFS= read -r path; do
  [ -z "$path" ] || [ "$path" = "/." ] && continue
  if [ -d "$path" ] && [ ! -L "$path" ]; then
    # A folder may stay when it is not empty or another package owns it.
    if [ -z "$(ls -A "$path")" ] && ! dpkg -S "$path" >/dev/null 2>&1; then left+=("$path/"); fi
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done <"$work/files.txt"
check "none of the package's $(wc -l <"$work/files.txt") paths is left behind${left[*]:+ (left: ${left[*]})}" \
  test "${#left[@]}" -eq 0
stray="$(find /usr/share/icons /usr/share/applications /usr/share/man /usr/share/doc \
         /usr/share/lintian -iname 'quenzor*' 2>/dev/null || true)"
check "no quenzor entries remain under /usr/share${stray:+: $stray}" test -z "$stray"
if [ -f /usr/share/icons/hicolor/icon-theme.cache ]; then
  check "the hicolor icon cache no longer names the icon" \
    bash -c "! grep -q quenzor /usr/share/icons/hicolor/icon-theme.cache"
fi
check "dpkg --audit finds nothing unfinished after the purge" test -z "$(dpkg --audit 2>&1)"

echo "== package test: $((checks - failures)) of $checks checks passed"
[ "$failures" -eq 0 ]
