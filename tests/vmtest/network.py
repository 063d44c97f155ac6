"""Network stores for tests, served on loopback by the test's own children:
qemu-nbd exporting an image over a UNIX socket or TCP (Nbd), and tgtd
offering a file as LUN 1 of an iSCSI target (Iscsi); each with its URI for
QEMU's block layer, and killed by stop() or at the end of a with block.
"""

import contextlib
import glob
import os
import shutil
import socket
import subprocess
import time

from vmtest import media

START_TIME_LIMIT = 10
IQN = "iqn.2024-01.test.brisvane:nvram"


def free_port():
    """A TCP port of 127.0.0.1 that nothing listens on now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def sockets(pid):
    """The inodes of the sockets that process pid holds, or none when its
    descriptors cannot be read this time (the caller looks again)."""
    folder = f"/proc/{pid}/fd"
    with contextlib.suppress(OSError):
        links = [os.readlink(f"{folder}/{fd}") for fd in os.listdir(folder)]
        return {link[8:-1] for link in links if link.startswith("socket:[")}
    return set()


def listening(pid, port=None, path=None):
    """Whether process pid listens on 127.0.0.1:port or at the UNIX socket
    path; read from /proc, since a probing client would use up a server's
    only client, and tgtd runs on without the portal it could not bind."""
    held = sockets(pid)
    if port is not None:
        with open("/proc/net/tcp") as table:
            return any(row[1] == f"0100007F:{port:04X}" and row[3] == "0A" and row[9] in held
                       for row in map(str.split, table))
    with open("/proc/net/unix") as table:
        return any(row[3] == "00010000" and row[6] in held and row[7:] == [path] for row in map(str.split, table))


def require(package, *programs):
    """Raises Unavailable naming the Debian package when a program is missing."""
    for program in programs:
        if not shutil.which(program):
            raise media.Unavailable(f"no {program}: Debian's {package} brings it")


class Daemon:
    """A server run in the foreground as the test's child, its messages in
    NAME.log in work."""

    name, process = "daemon", None

    def __init__(self, work):
        self.work, self.env = os.path.abspath(work), dict(os.environ)  # QEMU takes absolute socket paths

    def launch(self, command, ready):
        """Runs command, waiting until ready(pid) holds; raises RuntimeError
        with the log when it exits or takes too long."""
        log_path = os.path.join(self.work, f"{self.name}.log")
        with open(log_path, "w") as log:
            self.process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=log,
                                            stderr=subprocess.STDOUT, env=self.env)
        deadline = time.monotonic() + START_TIME_LIMIT
        while self.process.poll() is None and time.monotonic() < deadline:
            if ready(self.process.pid):
                return
            time.sleep(0.05)
        self.stop()
        with open(log_path) as log:
            raise RuntimeError(f"{self.name} did not start: {log.read().strip()}")

    def stop(self):
        if self.process:
            self.process.kill()
            self.process.wait()
            self.process = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *_):
        self.stop()


class Nbd(Daemon):
    """qemu-nbd serving image, in format fmt, as export to at most clients
    at once, on after each leaves (-t): on the UNIX socket nbd.sock in work,
    or with tcp on a free port of 127.0.0.1."""

    name = "qemu-nbd"

    def __init__(self, work, image, fmt="raw", export="nvram", clients=1, tcp=False):
        require("qemu-utils", "qemu-nbd")
        super().__init__(work)
        self.image, self.fmt, self.export, self.clients = os.path.abspath(image), fmt, export, clients
        self.port = free_port() if tcp else None
        self.socket = None if tcp else os.path.join(self.work, "nbd.sock")
        self.uri = f"nbd://127.0.0.1:{self.port}/{export}" if tcp else f"nbd+unix:///{export}?socket={self.socket}"

    def start(self):
        where = ["-b", "127.0.0.1", "-p", str(self.port)] if self.port else ["-k", self.socket]
        self.launch(["qemu-nbd", "-t", "-e", str(self.clients), "-f", self.fmt, "-x", self.export, *where, self.image],
                    lambda pid: listening(pid, self.port, self.socket))


class Iscsi(Daemon):
    """tgtd on a free port of 127.0.0.1 with target iqn, whose LUN 1 is the
    file image, open to initiators on 127.0.0.1; its control socket is in
    work, so a system tgtd is never reached."""

    name = "tgtd"

    def __init__(self, work, image, iqn=IQN):
        require("tgt", "tgtd", "tgtadm")
        if not glob.glob("/usr/lib/*/qemu/block-iscsi.so"):
            raise media.Unavailable("QEMU has no iSCSI driver: Debian's qemu-block-extra brings it")
        super().__init__(work)
        self.image, self.iqn = os.path.abspath(image), iqn
        self.port = free_port()
        self.env["TGT_IPC_SOCKET"] = os.path.join(self.work, "tgtd.socket")
        self.uri = f"iscsi://127.0.0.1:{self.port}/{iqn}/1"

    def start(self):
        control = self.env["TGT_IPC_SOCKET"] + ".0"
        self.launch(["tgtd", "-f", "--iscsi", f"portal=127.0.0.1:{self.port}"],
                    lambda pid: listening(pid, self.port) and listening(pid, path=control))
        try:
            for words in (("target", "new", "--targetname", self.iqn),
                          ("logicalunit", "new", "--lun", "1", "--backing-store", self.image),
                          ("target", "bind", "--initiator-address", "127.0.0.1")):
                self.tgtadm("--mode", words[0], "--op", words[1], "--tid", "1", *words[2:])
        except BaseException:
            self.stop()
            raise

    def tgtadm(self, *words):
        """Runs tgtadm against this tgtd and returns what it printed; raises
        RuntimeError with its message when it fails."""
        result = subprocess.run(["tgtadm", "--lld", "iscsi", *words], env=self.env,
                                capture_output=True, text=True, timeout=START_TIME_LIMIT)
        if result.returncode != 0:
            raise RuntimeError(f"tgtadm {' '.join(words)}: {result.stderr.strip()}")
        return result.stdout


def connected(port):
    """Whether a client on 127.0.0.1 has a connection to port."""
    with open("/proc/net/tcp") as table:
        return any(row[2:4] == [f"0100007F:{port:04X}", "01"] for row in map(str.split, table))


@contextlib.contextmanager
def client_of(uri, ready):
    """Another client that has the store at uri open for as long as it
    lasts, as a running machine has: qemu-io, waiting, once ready() holds;
    RuntimeError when it does not in time."""
    process = subprocess.Popen(["qemu-io", "-f", "raw", "-c", "sleep 600000", uri], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + START_TIME_LIMIT
        while not ready():
            if process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"qemu-io did not open {uri}")
            time.sleep(0.05)
        yield process
    finally:
        process.kill()
        process.wait()
