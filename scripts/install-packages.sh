#!/bin/sh
# Installs the Debian packages that the build and the tests need and that
# this machine lacks; prints what it installs. Runs apt-get as root, or
# through sudo for another user.
set -eu

# Each line: a command or file that proves the package is there, then the package.
needs='
nasm nasm
gcc gcc
g++ g++
make make
python3 python3
cmake cmake
ctest cmake
dpkg-source dpkg-dev
lintian lintian
man man-db
/usr/include/uuid/uuid.h uuid-dev
/usr/src/googletest/googletest/CMakeLists.txt libgtest-dev
qemu-system-x86_64 qemu-system-x86
/usr/share/OVMF/OVMF_CODE_4M.fd ovmf
/usr/share/OVMF/OVMF_VARS_4M.fd ovmf
/usr/share/AAVMF/AAVMF_VARS.ms.fd qemu-efi-aarch64
sbsign sbsigntool
openssl openssl
UEFIExtract uefitool-cli
clang clang
clang++ clang
aarch64-linux-gnu-gcc gcc-aarch64-linux-gnu
aarch64-linux-gnu-g++ g++-aarch64-linux-gnu
riscv64-linux-gnu-gcc gcc-riscv64-linux-gnu
riscv64-linux-gnu-g++ g++-riscv64-linux-gnu
qemu-system-aarch64 qemu-system-arm
/usr/share/AAVMF/AAVMF_CODE.fd qemu-efi-aarch64
/usr/share/AAVMF/AAVMF_VARS.fd qemu-efi-aarch64
/usr/lib/llvm-14/bin/clang clang-14
/usr/lib/llvm-14/bin/lld-link lld
/usr/lib/llvm-14/bin/ld.lld lld
/usr/lib/llvm-14/bin/llvm-ar llvm-14
/usr/lib/llvm-14/bin/llvm-rc llvm-14
clang-format clang-format
/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev
'

missing=''
for probe_pkg in $(printf '%s\n' "$needs" | awk 'NF == 2 { print $1 "=" $2 }'); do
    probe=${probe_pkg%%=*}
    pkg=${probe_pkg#*=}
    case $probe in
    /*) [ -e "$probe" ] && continue ;;
    *) command -v "$probe" >/dev/null 2>&1 && continue ;;
    esac
    case " $missing " in
    *" $pkg "*) ;;
    *) missing="$missing $pkg" ;;
    esac
done

[ -z "$missing" ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    SUDO=
elif command -v sudo >/dev/null 2>&1; then
    SUDO=sudo
else
    echo "install-packages: not root and no sudo; please install:$missing" >&2
    exit 1
fi

echo "install-packages: installing Debian packages:$missing"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086 # the list is meant to split into words
$SUDO apt-get install -y -qq --no-install-recommends $missing
