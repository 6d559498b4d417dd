#!/usr/bin/env bash
# Makes armhf programs run inside another root: qemu-user-static registered
# with binfmt_misc and opened at registration (flag F), so that the host's
# emulator serves where the root has none. Needs root.
set -euo pipefail
# One at a time: the release build and the system test may start together.
exec 9>/run/lock/esdg-arm-binfmt
flock 9
[ -e /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
[ -e /proc/sys/fs/binfmt_misc/qemu-arm ] || update-binfmts --enable qemu-arm
grep -q '^flags: .*F' /proc/sys/fs/binfmt_misc/qemu-arm || {
  echo "qemu-arm is not registered with binfmt_misc as fixed (F)" >&2
  exit 1
}
