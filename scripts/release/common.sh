# Shared by release-packages.sh and system-test.sh, sourced: how both start.
# Their arguments are [RELEASE] [amd64] [armhf]; they work as root, on roots
# of that release for those architectures.

# Runs the calling script again through sudo unless it runs as root.
as_root() {  # script-arguments...
  [ "$(id -u)" -eq 0 ] || exec sudo --preserve-env=DEBIAN_MIRROR,BASE_ONLY "$0" "$@"
}

# Sets release (the first argument unless it names an architecture), archs
# (the rest; default: both) and mirror (DEBIAN_MIRROR, or Debian's own).
release_args() {  # default-release [RELEASE] [amd64] [armhf]
  release=$1
  shift
  if [ $# -gt 0 ] && [[ $1 != amd64 && $1 != armhf ]]; then
    release=$1
    shift
  fi
  archs=("$@")
  [ ${#archs[@]} -gt 0 ] || archs=(amd64 armhf)
  local arch
  for arch in "${archs[@]}"; do
    [[ $arch == amd64 || $arch == armhf ]] || { echo "unknown architecture: $arch (amd64 or armhf)" >&2; exit 2; }
  done
  mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
}

# armhf programs in the roots run through qemu-user-static.
armhf_binfmt() {
  [[ " ${archs[*]} " != *" armhf "* ]] || scripts/release/arm-binfmt.sh
}
