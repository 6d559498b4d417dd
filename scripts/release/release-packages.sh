#!/usr/bin/env bash
# The packages for another Debian release, each built inside a root of that
# release, so that its compilers and libraries build it and dpkg-shlibdeps
# writes its Depends. The root (debootstrap, then the build dependencies;
# for armhf the release's own cross compiler and armhf -dev packages) is made
# once into build/release/RELEASE/root; the source is bound into it. For each
# architecture: the service and the unit tests built with warnings on (a
# warning fails the build), the unit tests run (armhf through
# qemu-user-static and binfmt_misc), then the package, checked by
# scripts/release/check-package.sh with the release's own lintian and systemd.
#   scripts/release/release-packages.sh [RELEASE] [amd64] [armhf]   (default: trixie, both)
# The packages land in build/release/RELEASE/ARCH/; DEBIAN_MIRROR overrides
# the mirror; ROOT_ONLY=1 only makes the root.
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/release/common.sh
as_root "$@"
release_args trixie "$@"
top=$PWD/build/release/$release
root=$top/root

scripts/deps.sh system

fail() { echo "[$release] FAILED: $*" >&2; exit 1; }

# Runs a command in the root, the source at /src.
in_root() { scripts/release/in-root.sh "$root" --bind="$PWD:/src" --chdir=/src -- "$@"; }

if [ ! -e "$root/.complete" ]; then
  rm -rf "$root"
  mkdir -p "$top/cache"
  echo "[$release] making the build root (a few minutes the first time)"
  debootstrap --arch=amd64 --variant=minbase --cache-dir="$top/cache" "$release" "$root" "$mirror" \
    >"$top/debootstrap.log" 2>&1 || {
    tail -n 20 "$top/debootstrap.log" >&2
    fail "debootstrap"
  }
  # The build dependencies through apt, whose resolver (unlike debootstrap's)
  # handles virtual packages.
  in_root sh -c 'dpkg --add-architecture armhf && apt-get update -qq &&
    apt-get install -y -qq --no-install-recommends cmake make g++ pkg-config dpkg-dev file binutils lintian \
      systemd mosquitto nlohmann-json3-dev libfmt-dev libssl-dev libsystemd-dev libgtest-dev libgmock-dev \
      g++-arm-linux-gnueabihf libfmt-dev:armhf libssl-dev:armhf libsystemd-dev:armhf \
      libgtest-dev:armhf libgmock-dev:armhf >/dev/null' >>"$top/debootstrap.log" 2>&1 || {
    tail -n 20 "$top/debootstrap.log" >&2
    fail "installing the build dependencies"
  }
  touch "$root/.complete"
fi
[ -z "${ROOT_ONLY:-}" ] || exit 0

armhf_binfmt  # for the armhf unit tests

for arch in "${archs[@]}"; do
  build=build/release/$release/$arch
  args=()
  [ "$arch" = amd64 ] || args=(-DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake)
  rm -rf "$build"
  start=$SECONDS
  # Only what the package and the unit tests need; the install (and so
  # cpack) does not build everything first.
  in_root sh -c "cmake -S . -B $build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON ${args[*]} >/dev/null &&
    cmake --build $build -j$(nproc) --target external-source-data-getter debian-changelog manual-page unit-tests" \
    >"$top/build-$arch.log" 2>&1 || {
    tail -n 30 "$top/build-$arch.log" >&2
    fail "$arch: the build"
  }
  ! grep -n 'warning:' "$top/build-$arch.log" >&2 || fail "$arch: the build gave warnings"
  in_root "$build/tests/unit-tests" --gtest_brief=1 >"$top/unit-tests-$arch.log" 2>&1 || {
    tail -n 40 "$top/unit-tests-$arch.log" >&2
    fail "$arch: unit tests"
  }
  echo "[$release] $arch: built without warnings and the unit tests passed ($(grep -o 'PASSED  ] [0-9]* tests' "$top/unit-tests-$arch.log" | grep -o '[0-9]*') tests) in $((SECONDS - start)) s"
  in_root scripts/release/check-package.sh "$build" "$arch" | sed "s/^/[$release] $arch: /" || fail "$arch: the package check"
  in_root dpkg-deb -f "$(ls "$build"/*.deb)" Version Depends | sed "s/^/[$release] $arch: /"
done
