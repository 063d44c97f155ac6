#!/bin/bash
# Builds the package (brisvane.efi and the test harness) with EDK II's own
# build. Usage:
#
#   build-efi.sh [-a ARCH]... [-t TOOLCHAIN] EDK2_DIR OUT_DIR [TARGET]
#
# ARCH is X64 (the default), IA32, AARCH64, ARM, RISCV64 or LOONGARCH64, and may
# repeat; TARGET is RELEASE (the default) or DEBUG. Without -t the tree's GCC
# tool chain is used: GCC where the tree has it (2025.02 and later), else
# GCC5. The workspace is OUT_DIR/edk2-ws, shared by every tool chain; the
# images are copied to OUT_DIR/x64/, OUT_DIR/aarch64/ and so on (the
# architecture in lower case), or with -t to OUT_DIR/<toolchain>/x64/ and so
# on (the tool chain's name in lower case).
#
# EDK II finds packages by directory name, while a clone's folder name is
# not ours to choose, so the workspace holds a link named BrisvanePkg to
# the repo.
set -euo pipefail

usage="usage: build-efi.sh [-a ARCH]... [-t TOOLCHAIN] EDK2_DIR OUT_DIR [TARGET]"
ARCHS=()
TOOLCHAIN=
while getopts a:t: option; do
    case $option in
    a) ARCHS+=("$OPTARG") ;;
    t) TOOLCHAIN=$OPTARG ;;
    *) echo "$usage" >&2 && exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ ${#ARCHS[@]} -gt 0 ] || ARCHS=(X64)

EDK2=$(realpath "${1:?$usage}")
OUT=$(realpath -m "${2:?$usage}")
TARGET=${3:-RELEASE}
REPO=$(realpath "$(dirname "$0")/..")
WS=$OUT/edk2-ws
TOOLS_DEF=$EDK2/BaseTools/Conf/tools_def.template

IMAGES=$OUT
if [ -n "$TOOLCHAIN" ]; then
    IMAGES=$OUT/${TOOLCHAIN,,}
elif grep -q '^\*_GCC_\*_\*_FAMILY' "$TOOLS_DEF"; then
    TOOLCHAIN=GCC
else
    TOOLCHAIN=GCC5
fi
for arch in "${ARCHS[@]}"; do
    grep -q "^\*_${TOOLCHAIN}_${arch}_CC_PATH" "$TOOLS_DEF" || {
        echo "build-efi: this EDK II has no $TOOLCHAIN tool chain for $arch" >&2
        exit 1
    }
done

# edksetup.sh fills the workspace's Conf from the tree's templates once, so
# a workspace serves the tree it was made for.
if [ ! -d "$WS/Conf" ]; then
    mkdir -p "$WS/Conf"
    echo "$EDK2" >"$WS/edk2-tree"
elif [ -f "$WS/edk2-tree" ] && [ "$(cat "$WS/edk2-tree")" != "$EDK2" ]; then
    echo "build-efi: $WS was made for $(cat "$WS/edk2-tree"), not $EDK2" >&2
    exit 1
fi
ln -sfn "$REPO" "$WS/BrisvanePkg"
# The GCC AArch64 link looks for liblto-aarch64.a under $(WORKSPACE), in the
# folder where the tree keeps it (fetch-edk2.sh assembles it there).
for lto in ArmPkg/Library/GccLto BaseTools/Bin/GccLto; do
    [ -d "$EDK2/$lto" ] || continue
    mkdir -p "$WS/$(dirname "$lto")"
    ln -sfn "$EDK2/$lto" "$WS/$lto"
done

# GenFw records the path of the linked image in the .efi's debug directory
# (zeroed, but its length stays), so the workspace is reached through a link
# whose path has the same length for every clone: the bytes do not depend on
# where the repo lives.
LINK=/tmp/brisvane-ws.$(printf '%s' "$WS" | sha256sum | cut -c1-16)
ln -sfn "$WS" "$LINK"
trap 'rm -f "$LINK"' EXIT

# Cross compilers and clang, under the names the tool chains read (GCC5 in
# 2022.11, GCC in newer trees); by default those on the PATH. IA32 builds
# with the host's gcc, as X64 does (-m32; nothing of its C library is linked).
# ARM with the soft-float compiler, as Debian builds AAVMF32: EDK II gives
# -mfloat-abi=soft to C compiles alone, and the hard-float one's default
# breaks its assembly.
for arch in AARCH64 ARM RISCV64 LOONGARCH64; do
    gcc=GCC_${arch}_PREFIX gcc5=GCC5_${arch}_PREFIX
    triplet=${arch,,}-linux-gnu
    [ "$arch" = ARM ] && triplet=arm-linux-gnueabi
    prefix=${!gcc:-${!gcc5:-$triplet-}}
    export "$gcc=$prefix" "$gcc5=${!gcc5:-$prefix}"
done
if command -v clang >/dev/null; then
    clang_bin=$(dirname "$(realpath "$(command -v clang)")")/
    export CLANG_BIN=${CLANG_BIN:-$clang_bin}
    export CLANGDWARF_BIN=${CLANGDWARF_BIN:-$CLANG_BIN}
fi

# shellcheck source=scripts/edk2-env.sh
. "$(dirname "$0")/edk2-env.sh"
edk2_setup "$EDK2" "$LINK" "$LINK:$EDK2"

mkdir -p "$IMAGES"
arch_options=()
for arch in "${ARCHS[@]}"; do
    arch_options+=(-a "$arch")
done
edk2_build build-efi "$IMAGES/edk2-build.log" "${arch_options[@]}" -t "$TOOLCHAIN" -b "$TARGET" \
    -p BrisvanePkg/BrisvanePkg.dsc

for arch in "${ARCHS[@]}"; do
    mkdir -p "$IMAGES/${arch,,}"
    cp "$WS/Build/Brisvane/${TARGET}_$TOOLCHAIN/$arch/"{brisvane,harness}.efi "$IMAGES/${arch,,}/"
done
