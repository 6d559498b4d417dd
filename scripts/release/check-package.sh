#!/usr/bin/env bash
# Builds the .deb of a configured build tree and checks it as a Debian
# integrator would: contents and dependencies, lintian, the maintainer
# scripts (enable on install, nothing left after purge), the private library,
# the hardening of every ELF file, and the unit's exposure.
#   scripts/release/check-package.sh BUILD_DIR ARCH
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: $0 BUILD_DIR ARCH" >&2; exit 2; }
build=$1
arch=$2

(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/external-source-data-getter_*_"$arch".deb)
info=$(dpkg-deb -I "$deb")
files=$(dpkg-deb -c "$deb")
multiarch=$(dpkg-architecture -a"$arch" -qDEB_HOST_MULTIARCH 2>/dev/null)
private=/usr/lib/$multiarch/external-source-data-getter
unit_name=external-source-data-getter.service

fail() { echo "package check failed ($deb): $*" >&2; exit 1; }
grep -q "^ Architecture: $arch$" <<<"$info" || fail "architecture is not $arch"
# The names of the release built on: fmt 9 and OpenSSL's libssl3 on Debian 12,
# fmt 10 and libssl3t64 (64-bit time on 32 bits) on Debian 13.
for dep in libc6 'libstdc[+][+]6' libgcc-s1 'libfmt[0-9]+' 'libssl3(t64)?' libsystemd0; do
  grep -Eq "^ Depends:(.*[ ,])? $dep( |,|$)" <<<"$info" || fail "no dependency matching $dep"
done
for script in postinst prerm postrm; do
  grep -q "^ .* $script " <<<"$info" || fail "no $script"
done
for f in ./usr/bin/external-source-data-getter ".$private/libmqtt-wrapper.so.1" \
         ./usr/lib/systemd/system/$unit_name ./usr/share/doc/external-source-data-getter/copyright \
         ./usr/share/doc/external-source-data-getter/changelog.gz ./usr/share/man/man8/external-source-data-getter.8.gz; do
  grep -q " $f" <<<"$files" || fail "missing $f"
done
! grep -q " ./usr/lib/$multiarch/libmqtt-wrapper" <<<"$files" || fail "the library is in the public folder"

# No lintian error and no warning.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1 | grep -v 'running with root privileges' || true)
! grep -q -e '^E:' -e '^W:' <<<"$lintian_out" || fail "lintian:
$lintian_out"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg-deb -x "$deb" "$root/pkg"

# Every shared library the binaries load comes with a declared dependency
# (libm with libc6) or with the package itself.
while read -r lib; do
  case $lib in
    libc.so.6 | libm.so.6 | ld-linux-*.so.* | libstdc++.so.6 | libgcc_s.so.1 | libfmt.so.[0-9]* | libssl.so.3 | \
      libcrypto.so.3 | libsystemd.so.0 | libmqtt-wrapper.so.1) ;;
    *) fail "loads $lib, which no declared dependency provides" ;;
  esac
done < <(find "$root/pkg/usr" -type f \( -name '*.so*' -o -perm -u+x \) -exec readelf -d {} + 2>/dev/null |
         sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | sort -u)

# The private library: found through the executable's RUNPATH, exporting its API only.
readelf -d "$root/pkg/usr/bin/external-source-data-getter" | grep -q "(RUNPATH).*\[$private\]" ||
  fail "the executable has no RUNPATH to $private"
# The API (about 30 names) and a few instantiations of the standard library's
# templates, which keep default visibility.
exported=$(nm -D --defined-only "$root/pkg$private/libmqtt-wrapper.so.1" | wc -l)
[ "$exported" -le 48 ] || fail "the library exports $exported symbols"
nm -DC --defined-only "$root/pkg$private/libmqtt-wrapper.so.1" | grep -q -e 'Session::' -e 'Link::' &&
  fail "the library exports its internals"

# Hardening: immediate binding, relro, stack protector, fortified calls.
for elf in "$root/pkg/usr/bin/external-source-data-getter" "$root/pkg$private/libmqtt-wrapper.so.1"; do
  dyn=$(readelf -d "$elf"); seg=$(readelf -lW "$elf"); syms=$(readelf --dyn-syms -W "$elf")
  grep -q 'BIND_NOW' <<<"$dyn" || fail "$elf: no -z now"
  grep -q 'GNU_RELRO' <<<"$seg" || fail "$elf: no relro"
  grep -q '__stack_chk_fail' <<<"$syms" || fail "$elf: no stack protector"
  grep -q '__[a-z]*_chk@' <<<"$syms" || fail "$elf: no fortified calls"
done

# A 32-bit target's files import no function of 32-bit time, which ends in
# January 2038. glibc's: every name it also offers as __NAME64 or
# __NAME_time64 (what _TIME_BITS=64 calls instead); where the other libraries
# are still built with 32-bit time (Debian 12: libssl3, not libssl3t64),
# libstdc++'s system_clock::now and OpenSSL's calls that take a time_t.
libc=$(ls /usr/lib/"$multiarch"/libc.so.6 /lib/"$multiarch"/libc.so.6 2>/dev/null | head -n 1)
libc_names=$(nm -D --defined-only "$libc" | awk '{ sub(/@.*/, "", $3); print $3 }' | sort -u)
if grep -qx __time64 <<<"$libc_names"; then
  time32=$(awk '
    NR == FNR { have[$1] = 1; next }
    $1 ~ /^__.+_time64$/ {
      base = substr($1, 3, length($1) - 9)
      print base; print base "64"
      if (base ~ /64$/) print substr(base, 1, length(base) - 2)
      next
    }
    $1 ~ /^__.+64(_r)?$/ {
      r = ($1 ~ /_r$/) ? "_r" : ""
      body = substr($1, 3, length($1) - 2 - length(r))
      base = substr(body, 1, length(body) - 2) r
      if ((base in have) && !((body r) in have)) print base
    }' <(echo "$libc_names") <(echo "$libc_names") | sort -u)
  [ "$(wc -l <<<"$time32")" -gt 50 ] || fail "found too few 32-bit time functions in $libc"
  if ! grep -Eq '^ Depends:.*\blibssl3t64\b' <<<"$info"; then
    time32+=$'\n_ZNSt6chrono3_V212system_clock3nowEv'
    time32+=$'\nX509_VERIFY_PARAM_set_time\nX509_cmp_time\nX509_time_adj\nX509_time_adj_ex\nASN1_TIME_set'
    time32+=$'\nASN1_TIME_adj\nASN1_TIME_cmp_time_t\nASN1_UTCTIME_cmp_time_t\nOPENSSL_gmtime\nSSL_SESSION_set_time'
  fi
  for elf in "$root/pkg/usr/bin/external-source-data-getter" "$root/pkg$private/libmqtt-wrapper.so.1"; do
    old=$(nm -D --undefined-only "$elf" | awk '{ sub(/@.*/, "", $2); print $2 }' | grep -Fx -f <(echo "$time32") || true)
    [ -z "$old" ] || fail "$elf imports 32-bit time functions: $(echo $old)"
  done
  echo "no 32-bit time function imported ($(wc -l <<<"$time32") names checked)"
fi

# Maintainer scripts, run in an empty root: enabled on install, nothing left after purge.
admin=$root/inst/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
touch "$admin/status"
dpkg_root=(dpkg --root="$root/inst" --force-script-chrootless --force-depends --force-architecture)
"${dpkg_root[@]}" -i "$deb" >/dev/null 2>&1 || fail "does not install"
[ -L "$root/inst/etc/systemd/system/multi-user.target.wants/$unit_name" ] || fail "installing does not enable the unit"
"${dpkg_root[@]}" -P external-source-data-getter >/dev/null 2>&1 || fail "does not purge"
left=$(find "$root/inst/etc" "$root/inst/var/lib/systemd" "$root/inst/usr" -not -type d 2>/dev/null || true)
[ -z "$left" ] || fail "left after purge: $left"

# The unit, with its ExecStart pointing into the unpacked package: clean and confined.
unit="$root/pkg/usr/lib/systemd/system/$unit_name"
sed "s|ExecStart=/usr/bin/|ExecStart=$root/pkg/usr/bin/|" "$unit" > "$root/$unit_name"
out=$(systemd-analyze verify "$root/$unit_name" 2>&1 | grep -v -e 'mosquitto.service' || true)
[ -z "$out" ] || fail "systemd-analyze verify: $out"
exposure=$(systemd-analyze security --offline=yes "$root/$unit_name" 2>&1 |
           sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
awk -v e="$exposure" 'BEGIN { exit !(e != "" && e <= 2.0) }' || fail "unit exposure ${exposure:-unknown} above 2.0"
echo "package ok: $deb (exposure $exposure, $exported exported symbols)"
