#!/bin/bash
# Builds brisvane.efi with EDK II's own build: X64, GCC5, the target given
# (RELEASE by default). Usage: build-efi.sh EDK2_DIR OUT_DIR [TARGET]
#
# EDK II finds packages by directory name, while a clone's folder name is
# not ours to choose, so the workspace holds a link named BrisvanePkg to
# the repo.
set -euo pipefail

EDK2=$(realpath "${1:?usage: build-efi.sh EDK2_DIR OUT_DIR [TARGET]}")
OUT=$(realpath -m "${2:?usage: build-efi.sh EDK2_DIR OUT_DIR [TARGET]}")
TARGET=${3:-RELEASE}
REPO=$(realpath "$(dirname "$0")/..")
WS=$OUT/edk2-ws

mkdir -p "$WS/Conf"
ln -sfn "$REPO" "$WS/BrisvanePkg"

# GenFw records the path of the linked image in the .efi's debug directory
# (zeroed, but its length stays), so the workspace is reached through a link
# whose path has the same length for every clone: the bytes do not depend on
# where the repo lives.
LINK=/tmp/brisvane-ws.$(printf '%s' "$WS" | sha256sum | cut -c1-16)
ln -sfn "$WS" "$LINK"
trap 'rm -f "$LINK"' EXIT

export WORKSPACE=$LINK
export PACKAGES_PATH=$LINK:$EDK2
export EDK_TOOLS_PATH=$EDK2/BaseTools
export CONF_PATH=$LINK/Conf
export PYTHON_COMMAND=${PYTHON_COMMAND:-python3}

cd "$EDK2"
# edksetup.sh reads its own arguments; give it none of ours.
set --
# shellcheck disable=SC1091 # EDK II's own set-up script
set +u
. ./edksetup.sh >/dev/null
set -u

LOG=$OUT/edk2-build.log
if ! build -a X64 -t GCC5 -b "$TARGET" -n "$(nproc)" \
    -p BrisvanePkg/BrisvanePkg.dsc >"$LOG" 2>&1; then
    grep -E -B2 -A6 "error:|error [0-9A-F]+:" "$LOG" | head -60 >&2
    echo "build-efi: EDK II build failed; the whole log is $LOG" >&2
    exit 1
fi
