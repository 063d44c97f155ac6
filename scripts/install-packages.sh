#!/bin/sh
# Installs the Debian packages that the build and the tests need and that
# this machine lacks; prints what it installs. Runs apt-get as root, or
# through sudo for another user. With the argument `unit`, only those that
# the unit tests need (make check), so that the fast loop installs no
# emulator or cross compiler.
set -eu

# Two runs at once (make -j starts the build's and the tests' together) would
# meet on apt's lock: the second waits for the first, then probes what is left.
if [ -z "${BRISVANE_PACKAGES_LOCKED:-}" ] && command -v flock >/dev/null 2>&1; then
    BRISVANE_PACKAGES_LOCKED=1 exec flock "${TMPDIR:-/tmp}/brisvane-packages.lock" "$0" "$@"
fi

# Each line: a command or file that proves the package is there, then the
# package, then the groups that need it: `unit`, `build`.
needs='
nasm nasm build
gcc gcc build
g++ g++ build
make make unit build
python3 python3 build
cmake cmake unit build
ctest cmake unit
shellcheck shellcheck
dpkg-source dpkg-dev build
lintian lintian
man man-db
/usr/include/uuid/uuid.h uuid-dev build
/usr/src/googletest/googletest/CMakeLists.txt libgtest-dev unit
qemu-system-x86_64 qemu-system-x86
qemu-storage-daemon qemu-system-common
qemu-img qemu-utils
qemu-nbd qemu-utils
/usr/lib/x86_64-linux-gnu/qemu/block-iscsi.so qemu-block-extra
/usr/lib/x86_64-linux-gnu/qemu/block-rbd.so qemu-block-extra
tgtd tgt
ceph-mon ceph-mon
ceph-osd ceph-osd
rbd ceph-common
/usr/share/doc/libnbd0/copyright libnbd0
/usr/share/doc/libjson-c5/copyright libjson-c5
/usr/include/libnbd.h libnbd-dev unit
/usr/include/json-c/json.h libjson-c-dev unit
/usr/include/libvirt/libvirt.h libvirt-dev unit
/usr/include/libxml2/libxml/xpath.h libxml2-dev unit
/usr/include/rbd/librbd.h librbd-dev unit
/usr/share/doc/librbd1/copyright librbd1
/usr/share/OVMF/OVMF_CODE_4M.fd ovmf
/usr/share/OVMF/OVMF_VARS_4M.fd ovmf unit
/usr/share/AAVMF/AAVMF_VARS.ms.fd qemu-efi-aarch64 unit
sbsign sbsigntool
openssl openssl
UEFIExtract uefitool-cli
clang clang unit
clang++ clang unit
aarch64-linux-gnu-gcc gcc-aarch64-linux-gnu build
aarch64-linux-gnu-g++ g++-aarch64-linux-gnu build
riscv64-linux-gnu-gcc gcc-riscv64-linux-gnu build
riscv64-linux-gnu-g++ g++-riscv64-linux-gnu build
arm-linux-gnueabi-gcc gcc-arm-linux-gnueabi build
arm-linux-gnueabi-g++ g++-arm-linux-gnueabi build
qemu-system-aarch64 qemu-system-arm
/usr/share/AAVMF/AAVMF_CODE.fd qemu-efi-aarch64
/usr/share/AAVMF/AAVMF_VARS.fd qemu-efi-aarch64 unit
qemu-system-i386 qemu-system-x86
/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd ovmf-ia32
/usr/share/OVMF/OVMF32_VARS_4M.fd ovmf-ia32
/usr/share/AAVMF/AAVMF32_CODE.fd qemu-efi-arm
/usr/share/AAVMF/AAVMF32_VARS.fd qemu-efi-arm
/usr/lib/llvm-14/bin/clang clang-14
/usr/lib/llvm-14/bin/lld-link lld
/usr/lib/llvm-14/bin/ld.lld lld
/usr/lib/llvm-14/bin/llvm-ar llvm-14
/usr/lib/llvm-14/bin/llvm-rc llvm-14
clang-format clang-format
libvirtd libvirt-daemon
/usr/lib/x86_64-linux-gnu/libvirt/connection-driver/libvirt_driver_qemu.so libvirt-daemon-driver-qemu
virsh libvirt-clients
/usr/lib/llvm-14/lib/clang/14.0.6/lib/linux/libclang_rt.fuzzer-x86_64.a libclang-rt-14-dev unit
'

missing=''
group=${1:-all}
for probe_pkg in $(printf '%s\n' "$needs" |
    awk -v group="$group" 'NF >= 2 {
        wanted = group == "all"
        for (field = 3; field <= NF; field++) wanted = wanted || $field == group
        if (wanted) print $1 "=" $2
    }'); do
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
