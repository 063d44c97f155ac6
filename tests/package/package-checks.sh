#!/bin/bash
# Checks what Linux users install: the manual page renders without a
# warning, make install and make uninstall leave nothing behind, and the
# Debian package passes lintian and works once unpacked.
# Usage: package-checks.sh DEB MANUAL_PAGE
set -euo pipefail

DEB=${1:?usage: package-checks.sh DEB MANUAL_PAGE}
PAGE=${2:?usage: package-checks.sh DEB MANUAL_PAGE}
work=$(mktemp -d "${TMPDIR:-/tmp}/brisvane-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
failed=0

fail() {
    echo "package: FAILED: $*" >&2
    failed=1
}

warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$PAGE" 2>&1 >/dev/null)
[ -z "$warnings" ] || fail "the manual page gives warnings: $warnings"

# A folder of its own, so that what uninstall leaves is all that is in it.
make -s install DESTDIR="$work/dest" PREFIX=/usr >/dev/null
[ -x "$work/dest/usr/bin/brisvane-vars" ] || fail "install put no brisvane-vars in bin"
[ -f "$work/dest/usr/share/brisvane/x64/brisvane.efi" ] || fail "install put no x64 brisvane.efi"
for arch in ia32 aarch64 arm riscv64 loongarch64; do
    [ ! -f "build/$arch/brisvane.efi" ] || [ -f "$work/dest/usr/share/brisvane/$arch/brisvane.efi" ] ||
        fail "install put no $arch brisvane.efi, though it is built"
done
make -s uninstall DESTDIR="$work/dest" PREFIX=/usr >/dev/null
left=$(cd "$work" && find dest -mindepth 1)
[ -z "$left" ] || fail "uninstall left: $left"

lintian_out=$(lintian --tag-display-limit 0 "$DEB" 2>&1 | grep -v "^running with root privileges") || true
echo "package: lintian: ${lintian_out:-no tags}"
grep -q '^E:' <<<"$lintian_out" && fail "lintian reports errors"

dpkg -x "$DEB" "$work/root"
tool=$work/root/usr/bin/brisvane-vars
version=$("$tool" --version) || fail "brisvane-vars --version failed"
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
"$tool" "$work/vars.fd" -s -NoMap -delay 3 || fail "the packaged brisvane-vars could not set"
shown=$("$tool" "$work/vars.fd" --show)
[ "$shown" = "-nomap -delay 3" ] || fail "the packaged brisvane-vars shows '$shown'"

[ "$failed" -eq 0 ] || exit 1
echo "package: $(basename "$DEB"), $(stat -c %s "$DEB") bytes: manual page, install and uninstall, lintian and the unpacked $version all fine"
