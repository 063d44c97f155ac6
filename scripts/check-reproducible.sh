#!/bin/bash
# Builds brisvane.efi twice from nothing, in two different folders, and
# checks that each architecture's two images are the same bytes. Usage:
# check-reproducible.sh EDK2_DIR WORK_DIR [BUILD_EFI_OPTION...]; the options
# (-a ARCH, -t TOOLCHAIN) go to build-efi.sh.
set -euo pipefail

EDK2=${1:?usage: check-reproducible.sh EDK2_DIR WORK_DIR [BUILD_EFI_OPTION...]}
WORK=${2:?usage: check-reproducible.sh EDK2_DIR WORK_DIR [BUILD_EFI_OPTION...]}
shift 2
SCRIPTS=$(dirname "$0")

rm -rf "$WORK"
for build in first second-build-elsewhere; do
    "$SCRIPTS/build-efi.sh" "$@" "$EDK2" "$WORK/$build" RELEASE
    (cd "$WORK/$build" && find . -name edk2-ws -prune -o -name brisvane.efi -printf '%P\n' |
        sort | xargs sha256sum) >"$WORK/$build.sha256"
    sed "s/^/reproducible: $build clean build: /" "$WORK/$build.sha256"
done

if ! cmp -s "$WORK/first.sha256" "$WORK/second-build-elsewhere.sha256"; then
    echo "reproducible: FAILED, the two clean builds differ" >&2
    exit 1
fi
rm -rf "$WORK"
echo "reproducible: the two clean builds are byte-identical"
