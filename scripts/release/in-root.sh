#!/usr/bin/env bash
# Runs a command in a Debian root with systemd-nspawn (not booted), with the
# host's network and name servers, no input and apt in non-interactive mode.
# (Without a host systemd, nspawn ends with a harmless complaint about its
# propagation folder, left out here.) Needs root.
#   scripts/release/in-root.sh ROOT [NSPAWN-OPTION...] -- COMMAND...
set -euo pipefail
root=$1
shift
options=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  options+=("$1")
  shift
done
shift
exec systemd-nspawn -q -D "$root" --register=no --keep-unit --console=pipe --resolv-conf=copy-host \
  -E DEBIAN_FRONTEND=noninteractive -E LC_ALL=C.UTF-8 "${options[@]}" -- "$@" </dev/null \
  2> >(grep -v '^Attempted to remove disk file system under' >&2)
