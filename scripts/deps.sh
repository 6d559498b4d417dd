#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when some are missing.
#   scripts/deps.sh [host|target|fuzz|robust|interop|system|all]...   (default: host)
set -euo pipefail

groups=("$@")
[ ${#groups[@]} -gt 0 ] || groups=(host)

host_pkgs=(cmake g++ make pkg-config libfmt-dev nlohmann-json3-dev libssl-dev openssl ca-certificates libsystemd-dev systemd lintian
           libgtest-dev libgmock-dev mosquitto mosquitto-clients dpkg-dev valgrind clang-format time procps)
target_pkgs=(g++-arm-linux-gnueabihf qemu-user libfmt-dev:armhf libssl-dev:armhf libsystemd-dev:armhf
             libgtest-dev:armhf libgmock-dev:armhf)

fuzz_pkgs=(clang-14 libclang-rt-14-dev)
# The robustness suite (tests/robustness) runs under Debian's own Python.
robust_pkgs=(python3 python3-pytest)
# Other brokers for the interop tests: RabbitMQ with its MQTT plugin, and npm
# for aedes (a Node.js that brings its own npm conflicts with Debian's).
interop_pkgs=(rabbitmq-server)
command -v npm >/dev/null || interop_pkgs+=(npm)
# Booted Debian roots for both architectures (the packages come from host and
# target); armhf ones that qemu-user cannot run boot as emulated machines.
system_pkgs=(systemd-container debootstrap qemu-user-static binfmt-support
             qemu-system-arm openssh-client kmod cpio xz-utils e2fsprogs)

pkgs=()
armhf=""
for g in "${groups[@]}"; do
  case "$g" in
    host) pkgs+=("${host_pkgs[@]}") ;;
    target) pkgs+=("${target_pkgs[@]}"); armhf=1 ;;
    fuzz) pkgs+=("${host_pkgs[@]}" "${fuzz_pkgs[@]}") ;;
    robust) pkgs+=("${host_pkgs[@]}" "${robust_pkgs[@]}") ;;
    interop) pkgs+=("${host_pkgs[@]}" "${robust_pkgs[@]}" "${interop_pkgs[@]}") ;;
    system) pkgs+=("${host_pkgs[@]}" "${target_pkgs[@]}" "${system_pkgs[@]}"); armhf=1 ;;
    all) pkgs+=("${host_pkgs[@]}" "${target_pkgs[@]}" "${fuzz_pkgs[@]}" "${robust_pkgs[@]}" "${interop_pkgs[@]}" "${system_pkgs[@]}"); armhf=1 ;;
    *) echo "usage: $0 [host|target|fuzz|robust|interop|system|all]..." >&2; exit 2 ;;
  esac
done

missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -n "$armhf" ] && ! dpkg --print-foreign-architectures | grep -qx armhf; then
  $sudo dpkg --add-architecture armhf
fi
echo "Installing: ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
# A mirror caught syncing serves an index that fails its checksum: try again
# a few times, then go on with the indexes that did come.
for attempt in 1 2 3; do
  $sudo apt-get update -qq && break
  [ "$attempt" -lt 3 ] || { echo "apt-get update failed; installing from the indexes it has" >&2; break; }
  sleep 20
done
install() { $sudo apt-get install -y -qq --no-install-recommends "$@" >/dev/null; }
install "${missing[@]}" && exit 0
[ -n "$armhf" ] || exit 1

# Without an armhf index of the security updates, an armhf library cannot
# match the version of its amd64 twin (Multi-Arch: same). The armhf build of
# the amd64 version lies beside it in the same pool: fetched and installed
# with the rest.
echo "Fetching armhf builds of the amd64 versions the armhf index lacks" >&2
armhf_pkgs=()
for p in "${missing[@]}"; do [[ $p == *:armhf ]] && armhf_pkgs+=("$p"); done
candidate() { apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ {print $2}'; }
fetched=$(mktemp -d)
chmod 755 "$fetched"
extra=()
for p in $(apt-cache depends --recurse --no-recommends --no-suggests --no-conflicts --no-breaks \
             --no-replaces --no-enhances "${armhf_pkgs[@]}" | grep -E '^[a-z0-9]' | sed 's/:armhf$//' | sort -u); do
  ours=$(candidate "$p")
  theirs=$(candidate "$p:armhf")
  [ -n "$theirs" ] && [ "$theirs" != "(none)" ] && [ "$ours" != "(none)" ] && [ "$ours" != "$theirs" ] || continue
  url=$(apt-get --print-uris download "$p=$ours" 2>/dev/null | awk -F"'" '/_amd64\.deb/ {print $2}')
  [ -n "$url" ] || continue
  url=${url/_amd64.deb/_armhf.deb}
  file="$fetched/${p}_armhf.deb"
  /usr/lib/apt/apt-helper download-file "$url" "$file" >/dev/null 2>&1 && chmod 644 "$file" && extra+=("$file")
done
install "${missing[@]}" "${extra[@]}"
