#!/bin/bash
# Builds EDK II's UEFI Shell (ShellPkg/Application/Shell/Shell.inf; X64,
# GCC5, RELEASE) from the EDK II tree given, into DEST/Shell.efi, unless it
# is there already. Usage: build-shell.sh EDK2_DIR DEST
#
# Debian patches its shell to refuse to start while Secure Boot is enforced,
# which would keep the shell from ever running under Secure Boot. The build
# therefore uses a private copy of ShellPkg with that patch reversed, in a
# workspace of its own: the EDK II tree itself, which builds brisvane, is
# not changed.
set -euo pipefail

EDK2=$(realpath "${1:?usage: build-shell.sh EDK2_DIR DEST}")
DEST=$(realpath -m "${2:?usage: build-shell.sh EDK2_DIR DEST}")
PATCH=$EDK2/debian/patches/Disable-the-Shell-when-SecureBoot-is-enabled.patch

[ -f "$DEST/Shell.efi" ] && exit 0

WS=$DEST/workspace
rm -rf "$WS"
mkdir -p "$WS/Conf"
cp -a "$EDK2/ShellPkg" "$WS/ShellPkg"
if [ -f "$PATCH" ]; then
    patch -s -R -p1 -d "$WS" <"$PATCH" || {
        echo "build-shell: cannot reverse $PATCH in the copy of ShellPkg" >&2
        exit 1
    }
fi

# The workspace comes first, so EDK II takes ShellPkg from the copy.
# shellcheck source=scripts/edk2-env.sh
. "$(dirname "$0")/edk2-env.sh"
edk2_setup "$EDK2" "$WS" "$WS:$EDK2"

echo "build-shell: building the UEFI Shell (a few minutes, once)"
edk2_build build-shell "$DEST/build.log" -a X64 -t GCC5 -b RELEASE -p ShellPkg/ShellPkg.dsc \
    -m ShellPkg/Application/Shell/Shell.inf

# The dsc lists Shell.inf twice; the first, under its own FILE_GUID, is the
# shell that firmware images carry.
cp "$WS/Build/Shell/RELEASE_GCC5/X64/ShellPkg/Application/Shell/Shell/OUTPUT/Shell.efi" \
    "$DEST/Shell.efi.partial"
mv "$DEST/Shell.efi.partial" "$DEST/Shell.efi"
rm -rf "$WS"
echo "build-shell: built $DEST/Shell.efi ($(stat -c %s "$DEST/Shell.efi") bytes)"
