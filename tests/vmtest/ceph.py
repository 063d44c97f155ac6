"""A Ceph cluster that a test starts itself: one monitor and one OSD keeping
its objects in memory, on 127.0.0.1 with cephx, every file of theirs in a
scratch folder, and a pool "rbd" whose images QEMU opens through librbd.
"""

import json
import os
import shutil
import subprocess
import time
import uuid

from vmtest import media
from vmtest import network

# What a cluster needs, with the Debian packages that bring it.
PROGRAMS = ("ceph-mon", "ceph-osd", "ceph", "ceph-authtool", "monmaptool", "rbd")
PACKAGES = "ceph-mon, ceph-osd, ceph-common, qemu-block-extra"
START_TIME_LIMIT = 60
POOL = "rbd"

# A monitor that proposes every 0.1 s instead of every second brings the
# cluster up in 2 s instead of 8.
CONF = """[global]
fsid = {fsid}
mon host = [v2:127.0.0.1:{port}]
auth cluster required = cephx
auth service required = cephx
auth client required = cephx
keyring = {work}/admin.keyring
run dir = {work}/run
crash dir = {work}/crash
public addr = 127.0.0.1
osd pool default size = 1
osd pool default min size = 1
osd crush chooseleaf type = 0
mon allow pool size one = true
mon allow pool delete = true
osd pool default pg autoscale mode = off
mon warn on pool no redundancy = false
paxos propose interval = 0.1
[mon]
mon data = {work}/mon.$id
mon cluster log file = {work}/log/$cluster.$channel.log
log file = {work}/log/$name.log
[osd]
osd data = {work}/osd.$id
keyring = {work}/osd.$id/keyring
log file = {work}/log/$name.log
osd objectstore = memstore
memstore device bytes = 536870912
"""


class Cluster:
    """ceph-mon and ceph-osd run in work, and their clients' settings."""

    user = "admin"

    def __init__(self, work):
        self.work = os.path.abspath(work)  # the names QEMU is given hold these paths
        self.conf = os.path.join(self.work, "ceph.conf")
        self.keyring = os.path.join(self.work, "admin.keyring")
        self.daemons = []

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *_):
        self.stop()

    def run(self, program, *args, check=True):
        """Runs a Ceph program (ceph, rbd, ...) on this cluster; its output, or
        RuntimeError with its message when it fails and check is set."""
        result = subprocess.run([program, "--conf", self.conf, *args], capture_output=True, text=True,
                                timeout=START_TIME_LIMIT)
        if check and result.returncode != 0:
            raise RuntimeError(f"{program} {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def qemu_name(self, image):
        """The QEMU filename that opens image in the pool."""
        return f"rbd:{POOL}/{image}:conf={self.conf}:id={self.user}:keyring={self.keyring}"

    def image(self, name, path):
        """An image in the pool holding the bytes of the file at path."""
        self.run("rbd", "import", "--no-progress", path, f"{POOL}/{name}")
        return f"{POOL}/{name}"

    def contents(self, name):
        """The bytes of the image in the pool."""
        return subprocess.run(["rbd", "--conf", self.conf, "export", "--no-progress", f"{POOL}/{name}", "-"],
                              capture_output=True, check=True, timeout=START_TIME_LIMIT).stdout

    def daemon(self, program, *args):
        """Starts a daemon in the foreground, so that stop() can kill it."""
        log = open(os.path.join(self.work, "log", f"{program}.out"), "w")
        self.daemons.append(subprocess.Popen([program, "-f", "--conf", self.conf, *args], stdin=subprocess.DEVNULL,
                                             stdout=log, stderr=subprocess.STDOUT))
        log.close()

    def wait(self, what, ready):
        """Waits until ready() is true; raises RuntimeError past the limit
        or when a daemon has died."""
        deadline = time.monotonic() + START_TIME_LIMIT
        while not ready():
            if time.monotonic() > deadline or any(d.poll() is not None for d in self.daemons):
                raise RuntimeError(f"Ceph: {what} did not happen; see {self.work}/log")
            time.sleep(0.1)

    def start(self):
        """Makes and starts the cluster; raises media.Unavailable when this
        machine lacks Ceph."""
        lacking = [name for name in PROGRAMS if not shutil.which(name)]
        if lacking:
            raise media.Unavailable(f"no {', '.join(lacking)} (Debian packages {PACKAGES})")
        port = network.free_port()
        for folder in ("run", "crash", "log", "osd.0"):
            os.makedirs(os.path.join(self.work, folder))
        fsid = str(uuid.uuid4())
        with open(self.conf, "w") as f:
            f.write(CONF.format(fsid=fsid, port=port, work=self.work))
        mon_keyring = os.path.join(self.work, "mon.keyring")
        self.run("ceph-authtool", "--create-keyring", "--gen-key", "-n", "mon.", "--cap", "mon", "allow *", mon_keyring)
        self.run("ceph-authtool", "--create-keyring", "--gen-key", "-n", "client.admin", "--cap", "mon", "allow *",
                 "--cap", "osd", "allow *", "--cap", "mgr", "allow *", self.keyring)
        self.run("ceph-authtool", mon_keyring, "--import-keyring", self.keyring)
        monmap = os.path.join(self.work, "monmap")
        self.run("monmaptool", "--create", "--fsid", fsid, "--addv", "a", f"[v2:127.0.0.1:{port}]", monmap)
        self.run("ceph-mon", "--mkfs", "-i", "a", "--monmap", monmap, "--keyring", mon_keyring)
        self.daemon("ceph-mon", "-i", "a")
        self.add_osd()
        self.wait("osd.0 up", lambda: json.loads(self.run("ceph", "osd", "stat", "-f", "json"))["num_up_osds"] == 1)
        self.run("ceph", "osd", "pool", "create", POOL, "8")
        self.run("rbd", "pool", "init", POOL)

    def add_osd(self):
        """Registers osd.0 with the monitor, makes its store and starts it."""
        secret = self.run("ceph-authtool", "--gen-print-key").strip()
        osd_uuid = str(uuid.uuid4())
        new = os.path.join(self.work, "osd.0", "new.json")
        with open(new, "w") as f:
            json.dump({"cephx_secret": secret}, f)
        self.run("ceph", "osd", "new", osd_uuid, "-i", new)
        with open(os.path.join(self.work, "osd.0", "keyring"), "w") as f:
            f.write(f"[osd.0]\n\tkey = {secret}\n")
        self.run("ceph-osd", "-i", "0", "--mkfs", "--osd-uuid", osd_uuid)
        self.daemon("ceph-osd", "-i", "0")

    def stop(self):
        """Kills every daemon and waits for it to end."""
        for daemon in reversed(self.daemons):
            daemon.kill()
            daemon.wait()
        self.daemons = []

    def client_of(self, name):
        """Another client that has the image open, as a machine on another
        host would (network.client_of), once it shows as a watcher."""
        return network.client_of(self.qemu_name(name), lambda: json.loads(
            self.run("rbd", "status", "--format", "json", f"{POOL}/{name}"))["watchers"])
