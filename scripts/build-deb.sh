#!/bin/bash
# Builds brisvane's Debian package: brisvane-vars built in the CMake tree
# TOOL_TREE with dpkg-buildflags' flags, and the EFI images make built in
# BUILD_DIR; the files that `make install PREFIX=/usr` puts down, with the
# manual page and changelog compressed, a copyright file, md5sums, Depends
# computed by dpkg-shlibdeps, and Recommends naming what brisvane-vars loads
# at run time for a qcow2 image.
# Usage: build-deb.sh VERSION ARCH BUILD_DIR TOOL_TREE OUT.deb
set -euo pipefail

usage="usage: build-deb.sh VERSION ARCH BUILD_DIR TOOL_TREE OUT.deb"
VERSION=${1:?$usage}
ARCH=${2:?$usage}
BUILD=${3:?$usage}
TREE=${4:?$usage}
OUT=${5:?$usage}
SCRIPTS=$(dirname "$0")

# As a Debian package build sets them, every hardening feature on (bindnow
# is not by default); CMake reads them at a first configure, so the tree's
# cache goes first.
eval "$(DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --export=sh)"
rm -f "$TREE/CMakeCache.txt"
cmake -S "$SCRIPTS/.." -B "$TREE" >/dev/null
cmake --build "$TREE" -j"$(nproc)" --target brisvane-vars >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/brisvane-deb.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
doc=$root/usr/share/doc/brisvane

"$SCRIPTS/install-files.sh" install "$root/usr" "$BUILD" "$TREE" >/dev/null
# dpkg keeps its own list of a package's files.
rm "$root/usr/share/brisvane/installed"
gzip -9n "$root/usr/share/man/man1/brisvane-vars.1"
strip --strip-unneeded --remove-section=.comment --remove-section=.note "$root/usr/bin/brisvane-vars"

cat >"$doc/copyright" <<COPYRIGHT
brisvane

Copyright 2026 the brisvane developers.

License: BSD-2-Clause-Patent. brisvane.efi links the libraries of EDK II,
which are under the same license; its full text is at
https://opensource.org/licenses/BSDplusPatent
COPYRIGHT

# The last commit's time, so that two builds of one commit give the same package.
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}
printf 'brisvane (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- brisvane developers <brisvane@example.com>  %s\n' \
    "$VERSION" "$VERSION" "$(date -R -d @"$SOURCE_DATE_EPOCH")" |
    gzip -9n >"$doc/changelog.gz"

# dpkg-shlibdeps wants a source package's debian/control beside it.
mkdir -p "$work/src/debian"
printf 'Source: brisvane\n\nPackage: brisvane\nArchitecture: any\n' >"$work/src/debian/control"
depends=$(cd "$work/src" && dpkg-shlibdeps -O -e"$root/usr/bin/brisvane-vars" 2>/dev/null |
    sed -n 's/^shlibs:Depends=//p')

mkdir -p "$root/DEBIAN"
cat >"$root/DEBIAN/control" <<CONTROL
Package: brisvane
Version: $VERSION
Architecture: $ARCH
Maintainer: brisvane developers <brisvane@example.com>
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $depends
Recommends: qemu-system-common, libnbd0, libjson-c5, libvirt0
Section: admin
Priority: optional
Description: UEFI Shell start-up options, kept in a UEFI variable
 brisvane is a UEFI Shell application that sets, clears and queries the
 start-up options the UEFI Shell takes when it starts, kept in one
 non-volatile UEFI variable. This package holds brisvane.efi for each
 built architecture and brisvane-vars, which runs the same logic on a
 virtual machine's NVRAM file from Linux while the machine is off.
CONTROL

(cd "$root" && find . -path ./DEBIAN -prune -o -type f -printf '%P\0' | sort -z | xargs -0 md5sum) \
    >"$root/DEBIAN/md5sums"
find "$root" -type d -exec chmod 755 {} +
find "$root/DEBIAN" -type f -exec chmod 644 {} +
mkdir -p "$(dirname "$OUT")"
dpkg-deb --root-owner-group -Zxz --build "$root" "$OUT" >/dev/null
echo "built $OUT ($(stat -c %s "$OUT") bytes; Depends: $depends)"
