#!/usr/bin/env bash
# The packages of this build on a booted Debian under systemd, checked as an
# operator meets them. For each architecture: a minimal root made with
# debootstrap (systemd, mosquitto), booted with systemd-nspawn in a network
# of its own (armhf through qemu-user-static and binfmt_misc), the shipped
# unit unmodified. Where qemu-user cannot run the release's systemd (Debian
# 13 armhf: it cannot set up credentials or mount namespaces there, so even
# journald fails) the root boots as a whole emulated machine instead:
# qemu-system-arm's virt board with the release's armmp-lpae kernel, reached
# over ssh (scripts/release/arm-machine.sh). Checked inside: installing enables and
# starts the unit; READY and a status with the devices; a configuration and
# a data message through the system's broker give the device tree and the
# values; an invalid message is in `journalctl -p err`; a killed service is
# restarted, a stopped (hung) one by the watchdog; a reinstall restarts it;
# the README's setups work (TLS with a client key and the password as
# credentials, not under qemu-user, which cannot set up credentials;
# mosquitto's Unix socket); removal stops it; a purge leaves nothing. Each
# system is powered off and every process of it ended, also on failure.
#   scripts/release/system-test.sh [RELEASE] [amd64] [armhf]   (default: bookworm, both,
#   one after the other: without a host systemd, two containers started alike
#   share one cgroup)
# bookworm (Debian 12) runs the packages of build/host and build/target;
# another release those of scripts/release/release-packages.sh RELEASE. The roots are
# made once into build/system/RELEASE/ (BASE_ONLY=1: only that) and copied
# fresh for every run; DEBIAN_MIRROR overrides the mirror.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/release/common.sh
as_root "$@"
release_args bookworm "$@"
top=$PWD/build/system/$release
# The package's run-time libraries, which the system cannot fetch.
case $release in
  bookworm) libraries=libssl3,libsystemd0,libfmt9 ;;
  trixie) libraries=libssl3t64,libsystemd0,libfmt10 ;;
  *) echo "no run-time libraries known for $release" >&2; exit 2 ;;
esac
unit=external-source-data-getter
mkdir -p "$top"

scripts/deps.sh system
source scripts/lib/harness.sh

armhf_binfmt  # for the armhf roots

# Whether an architecture's root boots as an emulated machine rather than
# in a container.
is_machine() { [ "$1" = armhf ] && [ "$release" != bookworm ]; }

# The package of this build for an architecture, built when missing.
package() {  # arch
  if [ "$release" != bookworm ]; then
    ls "$PWD"/build/release/"$release/$1"/${unit}_*_"$1".deb 2>/dev/null ||
      { scripts/release/release-packages.sh "$release" "$1" >&2 && ls "$PWD"/build/release/"$release/$1"/${unit}_*_"$1".deb; }
    return
  fi
  local build=build/host
  [ "$1" = amd64 ] || build=build/target
  configure_build "$build" &&
    cmake --build "$build" -j"$(nproc)" >/dev/null &&
    (cd "$build" && cpack -G DEB >/dev/null 2>&1) &&
    ls "$PWD/$build"/${unit}_*_"$1".deb
}

# A pristine root per architecture, made once.
base() {  # arch
  local dir=$top/$1/base mark=.complete
  ! is_machine "$1" || mark=.complete-machine
  [ -e "$dir/$mark" ] && return 0
  rm -rf "$dir"
  # A cache per root: two debootstraps must not fetch one file at once.
  mkdir -p "$top/$1/cache"
  debootstrap --arch="$1" --variant=minbase --cache-dir="$top/$1/cache" \
    --include=systemd,systemd-sysv,dbus,mosquitto,mosquitto-clients,$libraries \
    "$release" "$dir" "$mirror" >"$top/$1/debootstrap.log" 2>&1 || {
    echo "[$1] debootstrap failed:" >&2
    tail -n 20 "$top/$1/debootstrap.log" >&2
    return 1
  }
  if is_machine "$1"; then
    scripts/release/arm-machine.sh "$dir" "$top/$1/machine" >>"$top/$1/debootstrap.log" 2>&1 || {
      echo "[$1] making the root a machine failed:" >&2
      tail -n 20 "$top/$1/debootstrap.log" >&2
      return 1
    }
  fi
  touch "$dir/$mark"
}

# The broker as the README's setups need it: plain on 1883; TLS with a
# client certificate and a login on 8883; the Unix socket.
prepare_root() {  # arch root
  local root=$2
  scripts/lib/make-certificates.sh "$root/etc/mosquitto/certs/test" >/dev/null
  local c=/etc/mosquitto/certs/test
  touch "$root/etc/mosquitto/passwd"
  chmod 0644 "$root/etc/mosquitto/passwd"
  mosquitto_passwd -b "$root/etc/mosquitto/passwd" controller s3cret-pass
  # In the main file: under qemu-user a 32-bit mosquitto cannot read the
  # folder conf.d (readdir fails with EOVERFLOW on the host's file system).
  cat >>"$root/etc/mosquitto/mosquitto.conf" <<CONF
per_listener_settings true
listener 1883 127.0.0.1
allow_anonymous true
listener 8883 127.0.0.1
cafile $c/ca.pem
certfile $c/server.pem
keyfile $c/server.key
require_certificate true
password_file /etc/mosquitto/passwd
listener 0 /run/mosquitto/mqtt.sock
allow_anonymous true
CONF
  # What the README tells: the client's files, its key and the password
  # root's own, mode 0600; the socket's folder open to mosquitto's group.
  mkdir -p "$root/etc/$unit" "$root/etc/systemd/system/mosquitto.service.d"
  install -m 0644 "$root$c/ca.pem" "$root/etc/$unit/ca.pem"
  install -m 0644 "$root$c/client.pem" "$root/etc/$unit/client.pem"
  install -m 0600 "$root$c/client.key" "$root/etc/$unit/client.key"
  install -m 0600 /dev/stdin "$root/etc/$unit.password" <<<'s3cret-pass'
  cat >"$root/etc/systemd/system/mosquitto.service.d/socket.conf" <<'CONF'
[Service]
ExecStartPre=/bin/chgrp mosquitto /run/mosquitto
ExecStartPre=/bin/chmod 0750 /run/mosquitto
CONF
}

# The system under test, one architecture at a time (each run_arch is a
# subshell of its own). Kept global: inside, fail and the EXIT trap
# (stop_system) read them whichever function fails.
arch=""      # amd64 or armhf
machine=""   # an emulated machine's folder (kernel, initramfs, ssh keys); empty for a container
runner=""    # the pid of systemd-nspawn or qemu-system-arm
init=""      # the container's init, as the host sees it
ssh_port=""  # the machine's ssh, forwarded from this loopback port
control=""   # the folder of the ssh connection kept open to the machine
up=""        # set once the system runs: inside reaches it
seen=""      # the device tree last read, told on failure

# One architecture from boot to power-off; its lines start with [release arch].
run_arch() {  # arch
  arch=$1
  ! is_machine "$arch" || machine=$top/$arch/machine
  trap stop_system EXIT
  trap 'exit 143' TERM INT
  set -E
  trap 'fail "line $LINENO: $BASH_COMMAND"' ERR

  local deb
  deb=$(package "$arch") || fail "no package"
  base "$arch" || fail "debootstrap failed"
  fresh_root "$deb"
  deb=/root/$(basename "$deb")
  boot_system
  check_install "$deb"
  check_tree
  check_journal
  check_restarts
  check_upgrade "$deb"
  check_setups
  check_removal
  stop_system
  say "powered off; all checks passed"
}

say() { echo "[$release $arch] $*"; }

fail() {
  trap - ERR
  say "FAILED: $*"
  [ -z "$seen" ] || printf '%s\n' "$seen" | sed "s/^/[$release $arch]   /"
  if [ -n "$up" ]; then
    say "the service: $(show ActiveState) $(show SubState), status '$(show StatusText)'; its journal:"
    inside journalctl -u "$unit" --no-pager -n 40 2>&1 | sed "s/^/[$release $arch]   /" || true
  fi
  exit 1
}

# A command in the system: through nsenter into the container, over ssh
# (one connection, kept open) into the machine.
inside() {
  if [ -n "$machine" ]; then
    timeout "${inside_limit:-120}" ssh -q -p "$ssh_port" -i "$machine/id" -o BatchMode=yes -o HostKeyAlias=machine \
      -o UserKnownHostsFile="$machine/known_hosts" -o StrictHostKeyChecking=yes -o ConnectTimeout=30 \
      -o ControlMaster=auto -o ControlPath="$control/ssh" -o ControlPersist=yes -o ServerAliveInterval=10 \
      root@127.0.0.1 -- "$(printf '%q ' "$@")"
  else
    timeout "${inside_limit:-120}" nsenter -t "$init" -a -- "$@"
  fi
}

show() { inside systemctl show -p "$1" --value "$unit"; }

# The root of this run: the base copied afresh, prepared, the package in /root.
fresh_root() {  # deb (on the host)
  local root=$top/$arch/root
  rm -rf "$root"
  cp -a "$top/$arch/base" "$root"
  prepare_root "$arch" "$root"
  cp "$1" "$root/root/"
}

# Starts the fresh root, as a container or as an emulated machine, and waits
# until its systemd runs (or runs degraded) with mosquitto.
boot_system() {
  local start=$SECONDS boot_limit=120 state=""
  if [ -n "$machine" ]; then
    start_machine
    boot_limit=600
  else
    systemd-nspawn -D "$top/$arch/root" -M "esdg-$release-$arch" -b --register=no --keep-unit --private-network \
      >"$top/$arch/boot.log" 2>&1 </dev/null &
    runner=$!
  fi
  while [ $((SECONDS - start)) -lt $boot_limit ]; do
    [ -n "$machine" ] || init=$(pgrep -P "$runner" | head -n 1 || true)
    if [ -n "$machine" ] || [ -n "$init" ]; then
      state=$(inside_limit=40 inside systemctl is-system-running 2>/dev/null || true)
      case "$state" in running | degraded) break ;; esac
    fi
    kill -0 "$runner" 2>/dev/null ||
      fail "$([ -n "$machine" ] && echo qemu-system-arm || echo systemd-nspawn) ended: $(tail -n 5 "$top/$arch/boot.log" "$top/$arch/qemu.log" 2>/dev/null)"
    sleep 0.5
  done
  case "$state" in running | degraded) ;; *) fail "the system did not boot (state '$state')" ;; esac
  up=1
  inside systemctl is-active --quiet mosquitto || fail "mosquitto is not running in the system"
  say "booted in $((SECONDS - start)) s ($state)"
}

# The fresh root as the machine's disk; ssh on a free loopback port of the host.
start_machine() {
  rm -f "$top/$arch/disk.img"
  truncate -s 3G "$top/$arch/disk.img"
  mke2fs -q -t ext4 -d "$top/$arch/root" "$top/$arch/disk.img"
  control=$(mktemp -d /tmp/esdg-ssh.XXXXXX)
  ssh_port=$(free_port)
  qemu-system-arm -M virt -cpu cortex-a15 -smp 2 -m 1024 -accel tcg,thread=multi \
    -kernel "$machine/vmlinuz" -initrd "$machine/initrd.gz" -append "console=ttyAMA0" \
    -drive if=none,file="$top/$arch/disk.img",format=raw,id=disk -device virtio-blk-device,drive=disk \
    -netdev user,id=net,restrict=on,hostfwd=tcp:127.0.0.1:$ssh_port-:22 -device virtio-net-device,netdev=net \
    -display none -monitor none -serial file:"$top/$arch/boot.log" -no-reboot \
    >"$top/$arch/qemu.log" 2>&1 </dev/null &
  runner=$!
}

# Power off, then make sure: under emulation the container's init can
# outlive systemd-nspawn, and its end ends every process of the container.
stop_system() {
  [ -n "$runner" ] || return 0
  [ -z "$up" ] || inside systemctl poweroff >/dev/null 2>&1 || true
  local i
  for i in $(seq 120); do
    kill -0 "$runner" 2>/dev/null || { [ -n "$init" ] && kill -0 "$init" 2>/dev/null; } || break
    sleep 0.5
  done
  kill -9 "$runner" $init 2>/dev/null || true
  wait "$runner" 2>/dev/null || true
  [ -z "$control" ] || rm -rf "$control"
  runner="" up=""
}

# Polls a condition (a command) until it holds or time runs out.
wait_until() {  # seconds description command...
  local limit=$((SECONDS + $1)) what=$2
  shift 2
  until "$@"; do
    [ $SECONDS -lt $limit ] || fail "$what"
    sleep 0.25
  done
}

# Conditions of the service, for wait_until.
active() { [ "$(show ActiveState)" = active ]; }
status_is() { [ "$(show StatusText)" = "$1" ]; }
status_starts() { [[ "$(show StatusText)" == "$1"* ]]; }
running_again() {  # old-pid old-restarts
  active && [ "$(show NRestarts)" -gt "$2" ] && [ "$(show MainPID)" != "$1" ] && [ "$(show MainPID)" != 0 ]
}
replaced() {  # old-pid
  [ "$(show MainPID)" != "$1" ] && active
}
error_recorded() {  # record: a line of journalctl -p err
  inside journalctl -u "$unit" -p err -o cat --no-pager | grep -qxF "$1"
}
# Sends a data message (again), reads the device tree into seen and holds it
# against the expected one.
tree_complete() {  # expected
  inside mosquitto_pub -h 127.0.0.1 -t /qv/bridge/thirdparty_data/boiler -m "{\"version\": 1, \"io_id\": \"boiler\",
    \"timestamp\": $(date +%s), \"data\": {\"temp\": {\"avg\": [21.0, 0.5]}, \"pressure\": {\"avg\": 1.5}}}"
  seen=$(inside mosquitto_sub -h 127.0.0.1 -t '/devices/#' -v -W 2 2>/dev/null | LC_ALL=C sort || true)
  [ "$seen" = "$1" ]
}

# Installing enables and starts it; READY comes with a status.
check_install() {  # deb (in the system)
  inside dpkg -i "$1" >/dev/null 2>&1 || fail "dpkg -i"
  [ "$(inside systemctl is-enabled "$unit")" = enabled ] || fail "not enabled after install"
  wait_until 60 "not active after install" active
  wait_until 30 "no status 'waiting for the configuration'" status_is "waiting for the configuration"
  say "ok: installed, enabled, active; status '$(show StatusText)'"
}

# A configuration and a data message through the system's broker.
check_tree() {
  inside mosquitto_pub -h 127.0.0.1 -r -t /qv/bridge/configuration \
    -m '{"version": 2, "remote_ios": [{"id": "boiler", "types": ["temp", "pressure"]}, {"id": "pump", "types": ["rpm"]}]}'
  local configured="connected to tcp://127.0.0.1:1883; 2 devices, 3 controls, 3 stale; 0 messages"
  wait_until 60 "no status '$configured'" status_is "$configured"
  say "ok: status '$configured'"
  local expected
  expected=$(
    cat <<'TREE'
/devices/boiler/controls/pressure 1.5
/devices/boiler/controls/pressure/meta/order 2
/devices/boiler/controls/pressure/meta/readonly 1
/devices/boiler/controls/pressure/meta/type value
/devices/boiler/controls/temp 21.5
/devices/boiler/controls/temp/meta/order 1
/devices/boiler/controls/temp/meta/readonly 1
/devices/boiler/controls/temp/meta/type value
/devices/boiler/meta/name boiler
/devices/pump/controls/rpm/meta/error r
/devices/pump/controls/rpm/meta/order 1
/devices/pump/controls/rpm/meta/readonly 1
/devices/pump/controls/rpm/meta/type value
/devices/pump/meta/name pump
TREE
  )
  # Sent again until it is seen: the data subscription may still be on its way.
  wait_until 60 "the device tree is not as expected; it is:" tree_complete "$expected"
  seen=""
  say "ok: the announced tree, the values and the stale marker"
}

# An invalid message is an error in the journal, without a raw priority.
check_journal() {
  inside mosquitto_pub -h 127.0.0.1 -t /qv/bridge/thirdparty_data/boiler -m 'broken{'
  local record="ERROR src/services/external-source-data-getter/main:154 perform: Ошибка обработки: broken{"
  wait_until 30 "no error record in journalctl -p err" error_recorded "$record"
  ! inside journalctl -u "$unit" -o cat --no-pager | grep -q '^<[0-9]>' || fail "raw <N> prefixes in the journal"
  say "ok: journalctl -p err: $record"
}

# Killed: restarted. Hung: restarted by the watchdog.
check_restarts() {
  local pid restarts start
  pid=$(show MainPID) restarts=$(show NRestarts)
  inside systemctl kill -s KILL "$unit"
  wait_until 60 "not restarted after SIGKILL" running_again "$pid" "$restarts"
  say "ok: restarted after SIGKILL"
  pid=$(show MainPID) restarts=$(show NRestarts)
  start=$SECONDS
  inside systemctl kill -s STOP "$unit"
  wait_until 120 "not restarted by the watchdog after SIGSTOP" running_again "$pid" "$restarts"
  inside journalctl -u "$unit" -o cat --no-pager | grep -q 'Watchdog timeout' || fail "no watchdog timeout"
  say "ok: restarted by the watchdog $((SECONDS - start)) s after SIGSTOP"
}

# An upgrade (the same package again) restarts it.
check_upgrade() {  # deb (in the system)
  local pid
  pid=$(show MainPID)
  inside dpkg -i "$1" >/dev/null 2>&1 || fail "reinstalling"
  wait_until 60 "not restarted by the upgrade" replaced "$pid"
  say "ok: restarted by the upgrade"
}

# The README's setups, each as a drop-in.
check_setups() {
  if [ "$arch" = amd64 ] || [ -n "$machine" ]; then
    check_setup "TLS, client key and password as credentials" "mqtts://controller@127.0.0.1:8883" \
      "Environment=MQTT_BROKER=mqtts://controller@127.0.0.1:8883" \
      "Environment=MQTT_CA_FILE=/etc/$unit/ca.pem" \
      "Environment=MQTT_CERT_FILE=/etc/$unit/client.pem" \
      "LoadCredential=mqtt-client.key:/etc/$unit/client.key" \
      'Environment=MQTT_KEY_FILE=%d/mqtt-client.key' \
      "LoadCredential=mqtt-password:/etc/$unit.password"
  else
    say "skipped: the TLS setup, whose credentials qemu-user cannot set up (243/CREDENTIALS, as for systemd's own units here)"
  fi
  check_setup "mosquitto's Unix socket" "unix:///run/mosquitto/mqtt.sock" \
    "Environment=MQTT_BROKER=unix:///run/mosquitto/mqtt.sock" "SupplementaryGroups=mosquitto"
  inside rm -r "/etc/systemd/system/$unit.service.d"
  inside systemctl daemon-reload
}

check_setup() {  # name uri drop-in-lines...
  local name=$1 uri=$2
  shift 2
  inside mkdir -p "/etc/systemd/system/$unit.service.d"
  { echo '[Service]'; printf '%s\n' "$@"; } | inside tee "/etc/systemd/system/$unit.service.d/setup.conf" >/dev/null
  inside systemctl daemon-reload
  inside systemctl restart "$unit" || true
  wait_until 60 "$name: not connected to $uri" status_starts "connected to $uri;"
  say "ok: $name: status '$(show StatusText)'"
}

# Removal stops it; a purge leaves nothing behind.
check_removal() {
  inside dpkg -r "$unit" >/dev/null 2>&1 || fail "dpkg -r"
  [ "$(inside systemctl is-active "$unit" || true)" = inactive ] || fail "still active after removal"
  ! inside sh -c 'cat /proc/[0-9]*/cmdline 2>/dev/null | tr "\0" "\n"' | grep -q "/usr/bin/$unit" ||
    fail "still running after removal"
  inside dpkg -P "$unit" >/dev/null 2>&1 || fail "dpkg -P"
  local left
  left=$(inside find / -xdev \( -path /proc -o -path /sys -o -path /root -o -path "/etc/$unit" \) -prune \
    -o -name "*$unit*" -print 2>/dev/null | grep -v "^/etc/$unit.password$" || true)
  [ -z "$left" ] || fail "left after purge: $left"
  say "ok: removal stops it; purge leaves no unit link, state or file"
}

pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The roots side by side (the network is the slow part), then the runs.
for a in "${archs[@]}"; do
  mkdir -p "$top/$a"
  base "$a" &
  pids+=($!)
done
failed=0
for p in "${pids[@]}"; do wait "$p" || failed=1; done
pids=()
[ $failed = 0 ] || exit 1
[ -z "${BASE_ONLY:-}" ] || exit 0

start=$SECONDS
failed=0
for a in "${archs[@]}"; do
  run_arch "$a" &
  pids=($!)
  wait "${pids[0]}" || failed=1
  pids=()
done
echo "system test: $([ $failed = 0 ] && echo passed || echo FAILED) in $((SECONDS - start)) s ($release: ${archs[*]})"
exit $failed
