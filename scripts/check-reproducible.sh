#!/bin/bash
# Builds brisvane.efi twice from nothing, in two different folders, and
# checks that the two images are the same bytes. Usage:
# check-reproducible.sh EDK2_DIR WORK_DIR
set -euo pipefail

EDK2=${1:?usage: check-reproducible.sh EDK2_DIR WORK_DIR}
WORK=${2:?usage: check-reproducible.sh EDK2_DIR WORK_DIR}
SCRIPTS=$(dirname "$0")
IMAGE=edk2-ws/Build/Brisvane/RELEASE_GCC5/X64/brisvane.efi

rm -rf "$WORK"
hashes=()
for build in first second-build-elsewhere; do
    "$SCRIPTS/build-efi.sh" "$EDK2" "$WORK/$build" RELEASE
    hash=$(sha256sum "$WORK/$build/$IMAGE" | cut -d' ' -f1)
    echo "reproducible: $build clean build: sha256 $hash"
    hashes+=("$hash")
done
rm -rf "$WORK"

if [ "${hashes[0]}" != "${hashes[1]}" ]; then
    echo "reproducible: FAILED, the two clean builds differ" >&2
    exit 1
fi
echo "reproducible: the two clean builds are byte-identical"
