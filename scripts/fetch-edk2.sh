#!/bin/sh
# Fetches Debian's edk2 source package into DEST (unpacked, with Debian's
# patches applied) unless DEST already holds it, then builds BaseTools there
# if they are not built yet.
#
# The machine's apt sources list binary packages only, so a deb-src entry is
# derived from its own sources file into a private apt configuration; the
# system's apt configuration is left untouched.
set -eu

DEST=${1:?usage: fetch-edk2.sh DEST}
VERSION=${EDK2_DEBIAN_VERSION:-2022.11-6+deb12u2}
SYSTEM_SOURCES=/etc/apt/sources.list.d/debian.sources

fetch() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/edk2-fetch.XXXXXX")
    trap 'rm -rf "$work"' EXIT
    mkdir -p "$work/sources" "$work/lists/partial" "$work/archives/partial"
    [ -r "$SYSTEM_SOURCES" ] || {
        echo "fetch-edk2: $SYSTEM_SOURCES is missing; cannot derive a source entry" >&2
        exit 1
    }
    sed 's/^Types:.*/Types: deb-src/' "$SYSTEM_SOURCES" >"$work/sources/edk2-src.sources"
    set -- -o Dir::Etc::SourceList=/dev/null -o APT::Sandbox::User=root \
        -o Dir::Etc::SourceParts="$work/sources" \
        -o Dir::State::Lists="$work/lists" \
        -o Dir::Cache::Archives="$work/archives"
    echo "fetch-edk2: downloading Debian source package edk2 $VERSION"
    apt-get "$@" -qq update
    (cd "$work" && apt-get "$@" -qq --download-only source "edk2=$VERSION")
    dsc=$(ls "$work"/edk2_*.dsc)
    mkdir -p "$(dirname "$DEST")"
    rm -rf "$DEST.partial"
    dpkg-source --no-check -x "$dsc" "$DEST.partial" >/dev/null
    mv "$DEST.partial" "$DEST"
}

[ -f "$DEST/edksetup.sh" ] || fetch

if [ ! -x "$DEST/BaseTools/Source/C/bin/GenFw" ]; then
    echo "fetch-edk2: building BaseTools"
    make -s -C "$DEST/BaseTools" -j"$(nproc)" >"$DEST/BaseTools.log" 2>&1 || {
        tail -40 "$DEST/BaseTools.log" >&2
        exit 1
    }
fi
