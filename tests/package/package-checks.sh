#!/bin/bash
# Checks what Linux users install: the manual page renders without a
# warning, make install and make uninstall leave nothing behind, the
# tool-only CMake build installs brisvane-vars' files with no network, and
# the Debian package passes lintian's pedantic run and works once unpacked,
# its bash completion too.
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

# A packager's build of the tool alone: a fresh tree, no network to fetch
# anything through.
isolate=()
unshare -n true 2>/dev/null && isolate=(unshare -n)
tool_files=(bin/brisvane-vars share/man/man1/brisvane-vars.1 share/bash-completion/completions/brisvane-vars)
if "${isolate[@]}" cmake -S . -B "$work/tool" >/dev/null &&
    "${isolate[@]}" cmake --build "$work/tool" -j"$(nproc)" >/dev/null &&
    DESTDIR=$work/tool-dest cmake --install "$work/tool" --prefix /usr >/dev/null; then
    for file in "${tool_files[@]}"; do
        [ -f "$work/tool-dest/usr/$file" ] || fail "the tool-only build installed no $file"
    done
    ! grep -q @VERSION@ "$work/tool-dest/usr/${tool_files[1]}" || fail "the installed manual page has no version"
else
    fail "the tool-only CMake build failed"
fi

lintian_out=$(lintian --pedantic --tag-display-limit 0 "$DEB" 2>&1 | grep -v "^running with root privileges") || true
echo "package: lintian --pedantic: ${lintian_out:-no tags}"
grep -q '^[EWP]:' <<<"$lintian_out" && fail "lintian reports tags"

dpkg -x "$DEB" "$work/root"
tool=$work/root/usr/bin/brisvane-vars
version=$("$tool" --version) || fail "brisvane-vars --version failed"
cp /usr/share/OVMF/OVMF_VARS_4M.fd "$work/vars.fd"
"$tool" "$work/vars.fd" -s -NoMap -delay 3 || fail "the packaged brisvane-vars could not set"
shown=$("$tool" "$work/vars.fd" --show)
[ "$shown" = "-nomap -delay 3" ] || fail "the packaged brisvane-vars shows '$shown'"

# The packaged completion: registered, and --domain completes the names that
# virsh lists on the URI given (libvirt's test driver needs no daemon).
line='brisvane-vars --connect=test:///default --domain t'
completion=$(COMP_LINE=$line bash -c '. "$1" && complete -p brisvane-vars &&
    COMP_WORDS=(brisvane-vars --connect = test : ///default --domain t) COMP_CWORD=7 &&
    COMP_POINT=${#COMP_LINE} _brisvane_vars && echo "${COMPREPLY[*]}"' _ \
    "$work/root/usr/${tool_files[2]}" 2>&1) || true
[ "$completion" = $'complete -F _brisvane_vars brisvane-vars\ntest' ] ||
    fail "the bash completion gave '$completion' for '$line'"

[ "$failed" -eq 0 ] || exit 1
echo "package: $(basename "$DEB"), $(stat -c %s "$DEB") bytes: manual page, install and uninstall, the tool-only build, lintian and the unpacked $version with its completion all fine"
