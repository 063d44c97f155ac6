#!/usr/bin/env python3
"""brisvane-vars --domain against a libvirt daemon that this test starts
itself: libvirtd in session mode, run as nobody with its folders and socket
in a scratch folder, so no real domain is seen and nothing is left running.

One table of cases (each refusal leaving no NVRAM, or the NVRAM as it was;
a set on a domain that has never started; a paused one, whose QEMU holds the
NVRAM, and a saved one), the owner and mode of the NVRAM made compared with
those libvirt gives a twin's, and one TCG boot whose dmpstore shows the value.

    libvirt.py --tool build/brisvane-vars [--benchmark COUNT]

--benchmark prints the mean microseconds of COUNT --domain sets instead
(for scripts/benchmark-vars.sh). Exits 77 (skipped) when it cannot run.
"""

import argparse
import hashlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

from vmtest import machine, shell, ucs2
from vmtest.checks import Checks

SKIPPED = 77
NOBODY = 65534
URI = "qemu:///session"
VALUE = "-nomap -delay 3"
BOOT_SECONDS = 120

DOMAIN = """<domain type='qemu'>
  <name>{name}</name>
  <memory unit='MiB'>256</memory>
  <os>
    <type arch='x86_64' machine='q35'>hvm</type>
    {firmware}
  </os>
  <features><acpi/></features>
  <on_poweroff>destroy</on_poweroff>
  <devices>
    <emulator>/usr/bin/qemu-system-x86_64</emulator>
    {devices}
    <video><model type='none'/></video>
  </devices>
</domain>
"""
LOADER = f"<loader readonly='yes' type='pflash'>{machine.OVMF.code}</loader>"
UEFI = LOADER + f"<nvram template='{machine.OVMF.vars_template}'/>"
NETWORK = LOADER + ("<nvram type='network'><source protocol='iscsi' name='iqn.2013-07.test:nvram/0'>"
                    "<host name='nvram.invalid' port='3260'/></source></nvram>")
# FS0: of the boot, read-only, and the serial console in a file.
BOOT_DEVICES = """<disk type='dir' device='disk'><driver name='qemu' type='fat'/>
      <source dir='{work}/fs'/><target dev='vda' bus='virtio'/><readonly/></disk>
    <serial type='file'><source path='{work}/console.log'/></serial>"""


class Session:
    """libvirtd and every client, run as nobody in work."""

    def __init__(self, work):
        self.work = work
        home = os.path.join(work, "home")
        self.env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=os.path.join(home, "run"),
                        XDG_CONFIG_HOME=os.path.join(home, "config"), XDG_CACHE_HOME=os.path.join(home, "cache"))
        self.pid_file = os.path.join(home, "run", "libvirtd.pid")
        for folder in (self.env["XDG_RUNTIME_DIR"], self.env["XDG_CONFIG_HOME"], self.env["XDG_CACHE_HOME"]):
            os.makedirs(folder, mode=0o700)
        for folder, _, files in os.walk(work):
            for name in [folder] + [os.path.join(folder, f) for f in files]:
                os.chown(name, NOBODY, NOBODY)

    def run(self, *command):
        return subprocess.run(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups", *command],
                              env=self.env, capture_output=True, text=True, timeout=60)

    def virsh(self, *words):
        result = self.run("virsh", "-q", "-c", URI, *words)
        if result.returncode != 0:
            raise RuntimeError(f"virsh {' '.join(words)}: {result.stderr.strip()}")
        return result.stdout

    def start(self):
        result = self.run("libvirtd", "--daemon", "--pid-file", self.pid_file)
        if result.returncode != 0:
            raise RuntimeError(f"libvirtd did not start: {result.stderr.strip()}")
        socket = os.path.join(self.env["XDG_RUNTIME_DIR"], "libvirt", "libvirt-sock")
        for _ in range(100):
            if os.path.exists(socket):
                return
            time.sleep(0.1)
        raise RuntimeError("libvirtd made no socket")

    def stop(self):
        """Destroys every running domain, then stops the daemon by its pid."""
        try:
            for name in self.virsh("list", "--name").split():
                self.virsh("destroy", name)
            with open(self.pid_file) as f:
                pid = int(f.read())
        except (OSError, RuntimeError, ValueError) as error:
            print(f"stopping libvirtd: {error}")
            return
        os.kill(pid, signal.SIGTERM)
        for _ in range(100):
            if not os.path.exists(f"/proc/{pid}"):
                return
            time.sleep(0.1)
        os.kill(pid, signal.SIGKILL)

    def define(self, name, firmware=UEFI, devices=""):
        path = os.path.join(self.work, f"{name}.xml")
        with open(path, "w") as f:
            f.write(DOMAIN.format(name=name, firmware=firmware, devices=devices.format(work=self.work)))
        self.virsh("define", path)

    def nvram(self, name):
        return os.path.join(self.env["XDG_CONFIG_HOME"], "libvirt", "qemu", "nvram", f"{name}_VARS.fd")


def fingerprint(path):
    """The file's bytes, owner and mode, or None when it is absent."""
    try:
        status = os.stat(path)
        with open(path, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest(), status.st_uid, status.st_gid, oct(status.st_mode)
    except FileNotFoundError:
        return None


def boot_shows_value(session, name):
    """Boots the domain into OVMF's built-in shell, whose startup.nsh dumps
    the variable and powers off; problems with what dmpstore showed."""
    with open(os.path.join(session.work, "fs", "startup.nsh"), "wb") as f:
        f.write(shell.script([([], [])]))
    session.virsh("start", name)
    deadline = time.monotonic() + BOOT_SECONDS
    while session.virsh("domstate", name).strip() != "shut off":
        if time.monotonic() > deadline:
            return [f"still running after {BOOT_SECONDS} s"]
        time.sleep(0.5)
    with open(os.path.join(session.work, "console.log"), "rb") as f:
        output = shell.read_output(f.read(), 0)
    if output is None:
        return ["the console holds no dmpstore output"]
    stored = shell.parse_dmpstore(output.dump)
    return [] if stored and stored.data == ucs2(VALUE) else [f"dmpstore showed {stored}"]


def run_cases(session, tool, checks):
    session.define("bv-test", devices=BOOT_DEVICES)
    session.define("bv-twin")
    session.define("bv-bios", firmware="")
    session.define("bv-network", firmware=NETWORK)
    test, twin = session.nvram("bv-test"), session.nvram("bv-twin")
    # (name, domain, words, URI, status, what it prints, the file it must leave alone, before)
    cases = [
        ("no such domain", "bv-absent", ["-g"], URI, 67, "no such domain", None, None),
        ("a remote connection", "bv-test", ["-g"], "qemu+ssh://host.invalid/system", 68, "not a local", test, None),
        ("no NVRAM", "bv-bios", ["-g"], URI, 67, "no NVRAM", None, None),
        ("a network NVRAM", "bv-network", ["-g"], URI, 81, "network (iscsi)", None, None),
        ("a refused set leaves no NVRAM", "bv-test", ["-s", "-bogus"], URI, 2, "removed again", test, None),
        ("never started: made and set", "bv-test", ["-s", *VALUE.split()], URI, 0, "", None, None),
        ("read back", "bv-test", ["--show"], URI, 0, VALUE, test, None),
        ("paused: QEMU holds its NVRAM", "bv-twin", ["-c"], URI, 75, "it is paused", twin, "start --paused"),
        ("a managed save image", "bv-twin", ["-c"], URI, 79, "managedsave-remove", twin, "managedsave"),
    ]
    for name, domain, words, uri, status, said, kept, before in cases:
        if before:
            session.virsh(*before.split(), domain)
        was = fingerprint(kept) if kept else None
        result = session.run(tool, "--domain", domain, "--connect", uri, *words)
        problems = [] if result.returncode == status else [f"exit status {result.returncode}, expected {status}"]
        said_all = result.stdout + result.stderr
        problems += [] if said in said_all else [f"it printed {said_all!r}, which does not say {said!r}"]
        problems += [] if not kept or fingerprint(kept) == was else [f"{kept} changed"]
        checks.record(f"--domain: {name}", problems)
    made, libvirts = fingerprint(test), fingerprint(twin)
    checks.record("--domain: the NVRAM made has the owner and mode libvirt gives its own",
                  [] if made and libvirts and made[1:] == libvirts[1:] else [f"made {made}, libvirt's {libvirts}"])
    checks.record("--domain: a boot of OVMF shows the value", boot_shows_value(session, "bv-test"))


def benchmark(session, tool, count):
    """Prints the mean microseconds of count sets through --domain."""
    session.define("bv-bench")
    line = [tool, "--domain", "bv-bench", "--connect", URI, "-s", "-nomap", "-delay"]
    if session.run(*line, "0").returncode != 0:
        raise RuntimeError("the first set failed")
    start = time.monotonic_ns()
    failed = sum(session.run(*line, str(run)).returncode != 0 for run in range(count))
    print((time.monotonic_ns() - start) // count // 1000)
    if failed:
        raise RuntimeError(f"{failed} sets failed")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True)
    parser.add_argument("--benchmark", type=int, metavar="COUNT")
    args = parser.parse_args()
    needed = ["libvirtd", "virsh", "setpriv", "qemu-system-x86_64"]
    missing = [n for n in needed if not shutil.which(n)] + [p for p in (machine.OVMF.code, args.tool)
                                                             if not os.path.exists(p)]
    if os.geteuid() != 0 or missing:
        print(f"skipped: needs root and {', '.join(missing) or 'nothing else'} (libvirt-daemon-driver-qemu, "
              "libvirt-clients, qemu-system-x86, ovmf; the tool: make build/brisvane-vars)")
        return SKIPPED
    checks = Checks()
    work = tempfile.mkdtemp(prefix="brisvane-libvirt.")
    try:
        os.chmod(work, 0o755)
        os.makedirs(os.path.join(work, "fs"))
        tool = shutil.copy(args.tool, os.path.join(work, "brisvane-vars"))
        session = Session(work)
        session.start()
        try:
            if args.benchmark:
                return benchmark(session, tool, args.benchmark)
            run_cases(session, tool, checks)
        finally:
            session.stop()
    except (OSError, RuntimeError, ValueError, subprocess.TimeoutExpired) as error:
        checks.record("--domain: the libvirt session runs", [str(error)])
    finally:
        shutil.rmtree(work, ignore_errors=True)
    print(checks.summary())
    return 1 if checks.failed or not checks.passed else 0


if __name__ == "__main__":
    sys.exit(main())
