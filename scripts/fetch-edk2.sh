#!/bin/sh
# Fetches an EDK II release, as Debian's edk2 source package, into DEST
# (unpacked, with Debian's patches applied) unless DEST already holds it, then
# builds BaseTools and the AArch64 and ARM link-time objects there if they
# are not built yet. Usage: fetch-edk2.sh DEST [RELEASE]; RELEASE is 2022.11
# (Debian 12, the default) or 2025.02 (Debian 13).
#
# The machine's apt sources list binary packages only, so a deb-src entry for
# the release's Debian suite is derived from its own sources file into a
# private apt configuration (private-apt.sh).
set -eu

DEST=${1:?usage: fetch-edk2.sh DEST [RELEASE]}
RELEASE=${2:-2022.11}
# shellcheck source=scripts/private-apt.sh
. "$(dirname "$0")/private-apt.sh"

case $RELEASE in
2022.11) SUITE=bookworm DEBIAN_VERSION=2022.11-6+deb12u2 ;;
2025.02) SUITE=trixie DEBIAN_VERSION=2025.02-8+deb13u1 ;;
*)
    echo "fetch-edk2: no Debian source package known for EDK II $RELEASE" >&2
    exit 1
    ;;
esac
VERSION=${EDK2_DEBIAN_VERSION:-$DEBIAN_VERSION}

fetch() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/edk2-fetch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    private_apt_setup "$work" deb-src "$SUITE"
    echo "fetch-edk2: downloading Debian source package edk2 $VERSION ($SUITE)"
    dsc=$work/edk2_${VERSION#*:}.dsc
    if ! (cd "$work" && private_apt -qq --download-only source "edk2=$VERSION") &&
        [ ! -f "$dsc" ]; then
        # Some mirrors serve the tarballs but not the .dsc. The source index,
        # authenticated as the .dsc would be, holds the same fields and
        # checksums, and dpkg-source checks the tarballs against them.
        echo "fetch-edk2: no .dsc served; writing it from the source index"
        private_apt_cache showsrc edk2 | awk -v version="$VERSION" '
            BEGIN { RS = "" }
            index($0, "\nVersion: " version "\n") { sub(/^Package:/, "Source:"); print }' |
            grep -v '\.dsc$' >"$dsc"
        [ -s "$dsc" ] || {
            echo "fetch-edk2: edk2 $VERSION is not in the $SUITE source index" >&2
            exit 1
        }
    fi
    mkdir -p "$(dirname "$DEST")"
    rm -rf "$DEST.partial"
    dpkg-source --no-check -x "$dsc" "$DEST.partial" >/dev/null
    mv "$DEST.partial" "$DEST"
}

# The GCC AArch64 and ARM links ask for liblto-aarch64.a and liblto-arm.a
# beside their sources (ArmPkg/Library/GccLto in 2022.11, BaseTools/Bin/GccLto
# in 2025.02), objects that reference the compiler intrinsics from outside
# the link-time optimisation; Debian's source package carries only their
# sources and, as Debian's own build does, each is assembled into an object
# named .a. Written under a temporary name, so that two builds at once never
# see half of it.
assemble_lto_objects() {
    for folder in "$DEST/BaseTools/Bin/GccLto" "$DEST/ArmPkg/Library/GccLto"; do
        for target in aarch64=aarch64-linux-gnu arm=arm-linux-gnueabi; do
            source=$folder/liblto-${target%%=*}.s
            object=${source%.s}.a
            if [ -f "$source" ] && [ ! -f "$object" ]; then
                "${target#*=}-gcc" -c -fpic -o "$object.$$" "$source"
                mv "$object.$$" "$object"
            fi
        done
    done
}

[ -f "$DEST/edksetup.sh" ] || fetch

if [ ! -x "$DEST/BaseTools/Source/C/bin/GenFw" ]; then
    echo "fetch-edk2: building BaseTools"
    make -s -C "$DEST/BaseTools" -j"$(nproc)" >"$DEST/BaseTools.log" 2>&1 || {
        tail -40 "$DEST/BaseTools.log" >&2
        exit 1
    }
fi

assemble_lto_objects
