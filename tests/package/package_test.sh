#!/usr/bin/env bash
# The Debian package from scripts/package, on this machine: built and checked by lintian, installed
# with dpkg, a snapshot taken as www-data, then removed and purged, after which nothing of it is left
# and no user or group has changed. Needs root; exits 77 (skipped) where it cannot run without harm.
# Usage: package_test.sh SOURCE_DIR WORK_DIR
set -euo pipefail
source_dir=$1 work=$2

skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "installing a package needs root"
# Never touch a stillcam that somebody installed on this machine.
if dpkg-query -W -f='${Status}' stillcam 2>/dev/null | grep -qv 'not-installed'; then
  skip "a stillcam package is installed here; the test would remove it"
fi
for path in /usr/lib/cgi-bin/stillcam /usr/share/stillcam /usr/share/doc/stillcam; do
  [ ! -e "$path" ] || skip "$path exists (an installation from source?); the test would remove it"
done

# One package test at a time on this machine, whichever tree it comes from: they share dpkg's state.
exec 9>/run/lock/stillcam-package-test.lock
flock 9

fail() { echo "FAIL: $*" >&2; exit 1; }
installed=
cleanup() { [ -z "$installed" ] || dpkg --purge stillcam >/dev/null 2>&1 || true; }
trap cleanup EXIT

STILLCAM_PACKAGE_DIR="$work" "$source_dir/scripts/package" >"$work.log" 2>&1 ||
  { cat "$work.log"; fail "scripts/package (the build or lintian) failed"; }
grep -E '^(E|W): ' "$work.log" || true
deb=$(tail -n 1 "$work.log")
case $deb in */stillcam_[0-9]*_"$(dpkg --print-architecture)".deb) ;; *) fail "unexpected package name: $deb" ;; esac
version=$(sed -n 's/^project(stillcam VERSION \([0-9.]*\).*/\1/p' "$source_dir/CMakeLists.txt")
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not the CMake project version $version"

# The program, the page and the documentation, nothing else.
dpkg-deb -c "$deb" | awk '{print $NF}' | sed 's|^\./|/|; s|/$||' | grep -v '^$' | sort >"$work/contents"
unexpected=$(grep -Ev '^/usr(/lib(/cgi-bin(/stillcam)?)?|/share(/stillcam(/index\.html)?|/doc(/stillcam(/[^/]+)?)?)?)?$' \
  "$work/contents" || true)
[ -z "$unexpected" ] || fail "the package holds more than it should: $unexpected"
for path in /usr/lib/cgi-bin/stillcam /usr/share/stillcam/index.html /usr/share/doc/stillcam/README.Debian \
  /usr/share/doc/stillcam/copyright; do
  # Documentation over 4 kB is compressed, as Debian policy asks.
  grep -qxE "$path(\.gz)?" "$work/contents" || fail "the package lacks $path"
done

# Linked against the system's libraries, so that their security updates reach it.
rm -rf "$work/unpacked"
dpkg-deb -x "$deb" "$work/unpacked"
needed=$(objdump -p "$work/unpacked/usr/lib/cgi-bin/stillcam" | awk '/NEEDED/ {print $2}')
for library in libjpeg.so libv4l2.so; do
  grep -q "^$library" <<<"$needed" || fail "the program does not load $library; it loads: $needed"
done
# FreeType is the system's too, loaded only for glyphs beyond the built-in ones; so recommended.
dpkg-deb -f "$deb" Recommends | grep -q 'libfreetype6' || fail "the package does not recommend libfreetype6"

# What was there before, so that "nothing left" means nothing of ours.
users_before=$(cat /etc/passwd /etc/group | md5sum)
tmp_before=$(find /tmp -maxdepth 1 -user www-data -name '*stillcam*' | sort)
existed=$(while read -r path; do if [ -e "$path" ]; then echo "$path"; fi; done <"$work/contents")

dpkg -i "$deb" >/dev/null
installed=yes
mode=$(stat -c '%a %U' /usr/lib/cgi-bin/stillcam)
[ "$mode" = "755 root" ] || fail "the program is $mode, not 755 root"

# A snapshot as the web server takes it.
runuser -u www-data -- env -i STILLCAM_DEVICE=test QUERY_STRING='large&timestamp' TMPDIR=/tmp \
  /usr/lib/cgi-bin/stillcam >"$work/snapshot"
[ "$(head -c 25 "$work/snapshot")" = "$(printf 'Content-type: image/jpg\n\n')" ] || fail "no CGI header"
tail -c +26 "$work/snapshot" >"$work/snapshot.jpg"
djpeg -pnm -outfile "$work/snapshot.pnm" "$work/snapshot.jpg" || fail "the snapshot is no JPEG"
size=$(head -c 15 "$work/snapshot.pnm" | sed -n 2p)
[ "$size" = "640 480" ] || fail "the snapshot does not decode to 640x480 (got '$size')"

dpkg --remove stillcam >/dev/null
[ ! -e /usr/lib/cgi-bin/stillcam ] || fail "the program is still there after removal"
dpkg --purge stillcam >/dev/null
installed=
dpkg-query -W -f='${Status}' stillcam 2>/dev/null | grep -q 'not-installed' ||
  [ -z "$(dpkg-query -W stillcam 2>/dev/null)" ] || fail "dpkg still knows stillcam after purge"
left=$(while read -r path; do
  if [ -e "$path" ] && ! grep -qx "$path" <<<"$existed"; then echo "$path"; fi
done <"$work/contents")
[ -z "$left" ] || fail "left after purge: $left"
! compgen -G '/var/lib/dpkg/info/stillcam.*' >/dev/null || fail "dpkg's records of stillcam are left"
[ "$(cat /etc/passwd /etc/group | md5sum)" = "$users_before" ] || fail "users or groups changed"
[ "$(find /tmp -maxdepth 1 -user www-data -name '*stillcam*' | sort)" = "$tmp_before" ] ||
  fail "the snapshot left files in /tmp"
echo "package $deb: built, lintian clean of errors, installed, snapshot taken as www-data, purged without trace"
