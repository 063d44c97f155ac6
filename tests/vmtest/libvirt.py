"""A libvirt daemon that a test starts itself: libvirtd in session mode, run
as nobody with its folders and socket in a scratch folder, so no real
domain is seen and nothing is left running; and the TCG domains defined in
it, booting OVMF.
"""

import os
import shutil
import signal
import subprocess
import time

from vmtest import machine

NOBODY = 65534
URI = "qemu:///session"
# What a session needs, with the Debian packages that bring it.
PROGRAMS = ("libvirtd", "virsh", "setpriv", "qemu-system-x86_64")
PACKAGES = "libvirt-daemon-driver-qemu, libvirt-clients, qemu-system-x86, ovmf"

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


def missing(*paths):
    """What a session lacks on this machine, or nothing: root, programs and
    the files at paths."""
    lacking = [] if os.geteuid() == 0 else ["root"]
    lacking += [name for name in PROGRAMS if not shutil.which(name)]
    return lacking + [path for path in (machine.OVMF.code, *paths) if not os.path.exists(path)]

