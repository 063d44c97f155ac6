#!/bin/sh
# Installs brisvane's files under ROOT (DESTDIR and PREFIX joined), or removes
# them again. Usage:
#   install-files.sh install ROOT BUILD_DIR TOOL_TREE
#   install-files.sh uninstall ROOT
#
# brisvane-vars' own files are what `cmake --install` of its built CMake
# tree TOOL_TREE puts down (the tool, its manual page and its bash
# completion); the EFI images and the README are BUILD_DIR's and the repo's.
#
# install records every file and every folder it creates in a manifest,
# share/brisvane/installed, so that uninstall removes exactly those: folders
# that were there before, such as ROOT/bin, stay.
set -eu

action=${1:?usage: install-files.sh install|uninstall ROOT [BUILD_DIR]}
root=${2:?usage: install-files.sh install|uninstall ROOT [BUILD_DIR]}
manifest=share/brisvane/installed

# Each line: the built file, where it goes under ROOT, its mode. Each
# architecture's folder holds brisvane.efi and the brisvane.man that the
# shell's help prints from beside it.
files() {
    build=$1
    (cd "$stage" && find . -type f | sort) | while read -r file; do
        file=${file#./}
        echo "$stage/$file $file $(stat -c %a "$stage/$file")"
    done
    echo "README.md share/doc/brisvane/README.md 644"
    for arch in x64 ia32 aarch64 arm riscv64 loongarch64; do
        case $arch in
        x64) image=$build/brisvane.efi ;;
        *) image=$build/$arch/brisvane.efi ;;
        esac
        [ -f "$image" ] || continue
        echo "$image share/brisvane/$arch/brisvane.efi 644"
        echo "$build/brisvane.man share/brisvane/$arch/brisvane.man 644"
    done
}

# Creates a folder under ROOT and its missing parents, recording each one.
make_folder() {
    [ -d "$root/$1" ] && return 0
    make_folder "$(dirname "$1")"
    mkdir "$root/$1"
    echo "$1/" >>"$record"
}

install_all() {
    record=$(mktemp)
    stage=$(mktemp -d)
    trap 'rm -rf "$record" "$stage"' EXIT
    # Into a stage first, so that the loop below records each file and
    # folder; a DESTDIR from make's command line is in ROOT already.
    DESTDIR='' cmake --install "$2" --prefix "$stage" >/dev/null
    [ -d "$root" ] || { mkdir -p "$root" && echo "./" >>"$record"; }
    make_folder share/brisvane
    files "$1" | while read -r source target mode; do
        make_folder "$(dirname "$target")"
        install -m "$mode" "$source" "$root/$target"
        echo "$target" >>"$record"
        echo "installed $root/$target"
    done
    echo "$manifest" >>"$record"
    install -m 644 "$record" "$root/$manifest"
}

# Files first, then folders deepest first, each only if install made it.
uninstall_all() {
    if [ ! -f "$root/$manifest" ]; then
        echo "uninstall: nothing to remove: $root/$manifest, the list of installed files, is missing" >&2
        exit 1
    fi
    list=$(cat "$root/$manifest")
    printf '%s\n' "$list" | grep -v '/$' | while read -r target; do
        rm -f "$root/$target" && echo "removed $root/$target"
    done
    printf '%s\n' "$list" | grep '/$' | sort -r | while read -r folder; do
        # "./" is ROOT itself.
        rmdir "$root/${folder#./}" 2>/dev/null || echo "uninstall: kept $root/$folder: it is not empty" >&2
    done
}

case $action in
install) install_all "${3:?usage: install-files.sh install ROOT BUILD_DIR TOOL_TREE}" \
    "${4:?usage: install-files.sh install ROOT BUILD_DIR TOOL_TREE}" ;;
uninstall) uninstall_all ;;
*) echo "install-files: unknown action $action" >&2; exit 2 ;;
esac
