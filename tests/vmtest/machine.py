"""Boots a UEFI Shell under QEMU and captures its console: the firmware's
built-in shell, or, on a machine described with a boot file, a shell put on
FS0:. Each machine is a Firmware: its QEMU, firmware files and flags; OVMF
for X64 and IA32, AAVMF for AARCH64 and ARM, and Debian 13's builds of EDK
II's RiscVVirt and LoongArchVirt for RISCV64 and LOONGARCH64 (MACHINES).

A host folder is the shell's FS0:, and its startup.nsh runs as soon as the
shell is up: the driver answers the shell's start-up countdown with a key on
the serial console, so the script starts at once instead of after five
seconds. The script is expected to end with `reset -s`, which powers the
machine off; with -no-reboot QEMU then exits. Every boot has a hard time
limit, and a boot that hits it, or that ends without powering off cleanly,
raises BootError with the console saved to a log file.
"""

import os
import re
import selectors
import shutil
import subprocess
import time
from typing import NamedTuple, Optional, Tuple


class Firmware(NamedTuple):
    """A virtual machine to boot: QEMU, the firmware's files and the flags
    that differ from one machine to the next."""

    name: str  # the firmware's; its NVRAM file is kept as NAME_VARS.fd
    qemu: str
    code: str  # the read-only firmware image
    vars_template: str  # copied as the machine's NVRAM file
    flags: Tuple[str, ...]  # the machine's flags, before its flash and disk
    disk: Tuple[str, ...]  # the flags that make the folder {} a disk, FS0:
    # Where on FS0: a shell of one's own must be to be booted instead of the
    # built-in one; None for a machine that boots its built-in shell.
    boot_file: Optional[str] = None
    # False for a template that holds no variable store yet (all zeros):
    # the firmware formats it at its first boot.
    formatted_template: bool = True
    # False for a firmware that does not boot a store whose fault-tolerant
    # write was cut while copying into place (RiscVVirt stops at start-up
    # with a load page fault): its tests boot the store brisvane-vars
    # completed instead.
    finishes_cut_writes: bool = True
    # Shell lines that every script runs first, to set up the console.
    shell_setup: Tuple[str, ...] = ()
    # EFI_STATUS's error bit: the top one of the machine's natural width.
    error_bit: int = 1 << 63


# TCG alone everywhere: it needs no KVM, and behaves the same on every machine.
# A plain -drive lands on q35's own SATA (AHCI) controller.
OVMF = Firmware(
    "OVMF",
    "qemu-system-x86_64",
    "/usr/share/OVMF/OVMF_CODE_4M.fd",
    "/usr/share/OVMF/OVMF_VARS_4M.fd",
    ("-machine", "q35,accel=tcg", "-m", "256"),
    ("-drive", "file=fat:rw:{},format=raw,media=disk"),
)

# Secure Boot enforced, with Debian's public test key ("snakeoil") enrolled
# as PK, KEK and db: for tests only. The secure flash needs SMM. Debian's
# built-in shell refuses to start under Secure Boot, so a shell signed with
# the test key is booted from FS0:. X64 alone (see run_tests.py).
OVMF_SECURE_BOOT = OVMF._replace(
    code="/usr/share/OVMF/OVMF_CODE_4M.secboot.fd",
    vars_template="/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd",
    flags=("-machine", "q35,smm=on,accel=tcg", "-m", "256", "-global", "driver=cfi.pflash01,property=secure,value=on"),
    boot_file="EFI/BOOT/BOOTX64.EFI",
)

# The virt board has no IDE or SATA controller: the folder goes on a
# virtio disk. Both flash files are 64 MiB; Debian's plain AAVMF_VARS.fd is
# all zeros, and the firmware lays out its variable store at the first boot.
AAVMF = Firmware(
    "AAVMF",
    "qemu-system-aarch64",
    "/usr/share/AAVMF/AAVMF_CODE.fd",
    "/usr/share/AAVMF/AAVMF_VARS.fd",
    ("-machine", "virt,accel=tcg", "-cpu", "cortex-a57", "-m", "512"),
    ("-drive", "file=fat:rw:{},format=raw,if=none,id=fs0", "-device", "virtio-blk-pci,drive=fs0"),
    formatted_template=False,
)

# The 32-bit builds. Debian 12 ships OVMF's IA32 code in its SMM build alone,
# which needs SMM and the secure flash; its template is OVMF's own, with no
# keys enrolled, so Secure Boot is not enforced. AAVMF32's template is blank,
# as AAVMF's is; the virt board keeps its memory below 4 GB for a 32-bit CPU.
OVMF32 = OVMF._replace(
    name="OVMF32",
    qemu="qemu-system-i386",
    code="/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd",
    vars_template="/usr/share/OVMF/OVMF32_VARS_4M.fd",
    flags=OVMF_SECURE_BOOT.flags,
    error_bit=1 << 31,
)
AAVMF32 = AAVMF._replace(
    name="AAVMF32",
    qemu="qemu-system-arm",
    code="/usr/share/AAVMF/AAVMF32_CODE.fd",
    vars_template="/usr/share/AAVMF/AAVMF32_VARS.fd",
    flags=("-machine", "virt,highmem=off,accel=tcg", "-cpu", "cortex-a15", "-m", "512"),
    error_bit=1 << 31,
)

# Debian 13's firmware for RISC-V 64 and LoongArch64, and the QEMU 10 that
# boots it, are unpacked into folders of the cache rather than installed
# (make names them); without them, the system's own.
QEMU_ROOT = os.environ.get("BRISVANE_QEMU_ROOT", "/")
FIRMWARE_ROOT = os.environ.get("BRISVANE_FIRMWARE_ROOT", "/")


def firmware_file(package, name):
    return os.path.join(FIRMWARE_ROOT, "usr/share", package, name)


# QEMU's virt board with OpenSBI, and EDK II on top of it; flash files of 32
# MiB. The console starts at 80x50 and wraps dmpstore's long lines: the mode
# the others start in comes first.
RISCV_VIRT = Firmware(
    "RiscVVirt",
    os.path.join(QEMU_ROOT, "usr/bin/qemu-system-riscv64"),
    firmware_file("qemu-efi-riscv64", "RISCV_VIRT_CODE.fd"),
    firmware_file("qemu-efi-riscv64", "RISCV_VIRT_VARS.fd"),
    ("-machine", "virt,accel=tcg", "-m", "512"),
    AAVMF.disk,
    shell_setup=("mode 100 31",),
    finishes_cut_writes=False,
)

# Flash files of 16 MiB; the template holds a store.
LOONGARCH_VIRT = Firmware(
    "LoongArchVirt",
    os.path.join(QEMU_ROOT, "usr/bin/qemu-system-loongarch64"),
    firmware_file("qemu-efi-loongarch64", "QEMU_EFI.fd"),
    firmware_file("qemu-efi-loongarch64", "QEMU_VARS.fd"),
    ("-machine", "virt,accel=tcg", "-cpu", "la464", "-m", "512"),
    AAVMF.disk,
)

# The machine that runs the images of each architecture, by EDK II's name
# for it.
MACHINES = {"X64": OVMF, "IA32": OVMF32, "AARCH64": AAVMF, "ARM": AAVMF32, "RISCV64": RISCV_VIRT,
            "LOONGARCH64": LOONGARCH_VIRT}

# The shell prints this (with attributes around "ESC" and "startup.nsh")
# once a second while it waits; any key but ESC ends the wait.
COUNTDOWN = re.compile(rb"Press .{0,40}ESC.{0,40} in \d+ seconds")


def efi_status(code, firmware):
    """The EFI_STATUS on firmware's machine of success (code 0) or of the
    error with this code."""
    return code | firmware.error_bit if code else 0


class BootError(Exception):
    """A boot that did not power off cleanly within its time limit; console
    holds what it printed."""

    def __init__(self, message, console):
        super().__init__(message)
        self.console = console


def vars_path(folder, firmware):
    """Where a machine's NVRAM file is kept in folder."""
    return os.path.join(folder, f"{firmware.name}_VARS.fd")


def fresh_vars(path, firmware=OVMF):
    """Puts a fresh copy of the firmware's variable store template at path."""
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    shutil.copyfile(firmware.vars_template, path)


def install_shell(fs_dir, shell_efi, firmware):
    """Puts shell_efi in fs_dir where firmware boots it from."""
    path = os.path.join(fs_dir, *firmware.boot_file.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    shutil.copyfile(shell_efi, path)


def qemu_command(fs_dir, vars_file, firmware, drive="format=raw"):
    return [
        firmware.qemu,
        *firmware.flags,
        "-nographic",
        "-no-reboot",
        "-net", "none",
        "-drive", f"if=pflash,format=raw,readonly=on,file={firmware.code}",
        "-drive", f"if=pflash,{drive},file={vars_file}",
        *(flag.format(fs_dir) for flag in firmware.disk),
    ]


def boot(fs_dir, vars_file, log_file, time_limit, firmware=OVMF, drive="format=raw"):
    """Boots firmware once and returns the console's raw bytes; drive holds
    the -drive options of the NVRAM besides if and file.

    The console is always written to log_file as well. Raises BootError when
    QEMU is still running after time_limit seconds (it is killed) or exits
    with a non-zero status.
    """
    # A store on the network is QEMU's to reach.
    local = not vars_file.startswith(("nbd:", "nbd+unix:", "iscsi:", "rbd:"))
    needed = [firmware.code, *([vars_file] if local else []), os.path.join(fs_dir, "startup.nsh")]
    if firmware.boot_file:
        needed.append(os.path.join(fs_dir, *firmware.boot_file.split("/")))
    for path in needed:
        if not os.path.exists(path):
            raise BootError(f"{path} is missing", b"")

    process = subprocess.Popen(
        qemu_command(fs_dir, vars_file, firmware, drive),
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
    )
    console = bytearray()
    answered = 0  # countdown prompts seen so far and answered with a key
    deadline = time.monotonic() + time_limit
    selector = selectors.DefaultSelector()
    selector.register(process.stdout, selectors.EVENT_READ)
    timed_out = False
    try:
        while True:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                timed_out = True
                break
            if not selector.select(timeout=min(remaining, 1.0)):
                continue
            chunk = os.read(process.stdout.fileno(), 65536)
            if not chunk:
                break
            console += chunk
            prompts = len(COUNTDOWN.findall(console))
            if prompts > answered:
                answered = prompts
                try:
                    process.stdin.write(b" ")
                    process.stdin.flush()
                except BrokenPipeError:
                    pass
        if timed_out:
            process.kill()
        try:
            process.wait(timeout=max(deadline - time.monotonic(), 5))
        except subprocess.TimeoutExpired:
            timed_out = True
            process.kill()
            process.wait()
    finally:
        if process.poll() is None:
            process.kill()
            process.wait()
        selector.close()
        process.stdout.close()
        try:
            process.stdin.close()
        except BrokenPipeError:
            pass
        os.makedirs(os.path.dirname(os.path.abspath(log_file)), exist_ok=True)
        with open(log_file, "wb") as log:
            log.write(console)

    if timed_out:
        raise BootError(
            f"the virtual machine was still running after {time_limit} s and was "
            f"stopped; its console is in {log_file}",
            bytes(console),
        )
    if process.returncode != 0:
        raise BootError(
            f"QEMU exited with status {process.returncode}; its console is in {log_file}", bytes(console)
        )
    return bytes(console)
