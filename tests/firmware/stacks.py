"""One table of the stacks a virtual machine's NVRAM lives on (a raw file, a
block device, a qcow2 image, a libvirt domain, an NBD export, an iSCSI LUN,
a Ceph RBD image),
each run through the same cases on a store made from OVMF's template: while
a real QEMU holds it (stopped before its first instruction), brisvane-vars
refuses (75 where it sees QEMU, by its locks, its open files or an RBD
image's watchers, 82 over NBD and iSCSI, where it sees no one, 83 where a
server of one client at a time has it) and writes nothing; with QEMU gone
it sets a value; then one boot of OVMF,
with the NVRAM attached as that stack attaches it, shows in the shell that
the firmware sees the value. A row that cannot get what it needs (a loop
device, qemu-img, a libvirt daemon) says so and is skipped.
"""

import contextlib
import os
import shutil
import tempfile
import time

import cases
from boots import prepare, run_boot
from vmtest import ceph, libvirt, machine, media, network, shell
from vmtest.media import contents
from vmtest.nvram import run_tool

FIRMWARE = machine.OVMF
# A volume rounded up to its extent size, as LVM rounds an efidisk up to 4 MiB.
DEVICE_SIZE = 4 << 20
DOMAIN = "bv-stack"
# FS0: of the domain's boot, read-only, and its serial console in a file.
BOOT_DEVICES = """<disk type='dir' device='disk'><driver name='qemu' type='fat'/>
      <source dir='{work}/fs'/><target dev='vda' bus='virtio'/><readonly/></disk>
    <serial type='file'><source path='{work}/console.log'/></serial>"""


class Drive:
    """An NVRAM that QEMU takes as a flash drive and brisvane-vars by its path."""

    def __init__(self, fs_dir, path, drive, untouched=None):
        self.fs_dir, self.path, self.drive = fs_dir, path, drive
        self.untouched = untouched  # problems with what follows the store, on a device

    def stored(self):
        """The bytes that must be left as they were while it is held."""
        return contents(self.path)

    def run(self, tool, *words, every=False):
        """brisvane-vars run on the NVRAM: its result, in a list."""
        return [run_tool(tool, self.path, *words)]

    def held(self, work):
        return media.qemu_holding(work, f"{self.drive},file={self.path}", FIRMWARE)

    def boot(self, time_limit):
        """A boot as run_boot takes it: the shell run by QEMU on the drive."""
        return lambda steps, log: shell.run(steps, self.fs_dir, self.path, log, time_limit, FIRMWARE, self.drive)


def raw_file(work, fs_dir, tool, stack):
    return Drive(fs_dir, machine.vars_path(work, FIRMWARE), "format=raw")


def block_device(work, fs_dir, tool, stack):
    """A loop device holding the store and leftovers after it, given to QEMU
    with size= as Proxmox VE gives its efidisk."""
    if os.geteuid() != 0:
        raise media.Unavailable("loop devices need root")
    store = contents(FIRMWARE.vars_template)
    backing = os.path.join(work, "volume")
    with open(backing, "wb") as f:
        f.write(store + os.urandom(DEVICE_SIZE - len(store)))
    loop, leftovers = media.loop_device(backing, stack), contents(backing)[len(store):]
    untouched = lambda: [] if contents(loop)[len(store):] == leftovers else ["the leftovers were written"]
    return Drive(fs_dir, loop, f"format=raw,size={len(store)}", untouched)


def qcow2_image(work, fs_dir, tool, stack):
    lacking = [name for name in ("qemu-img", "qemu-storage-daemon") if not shutil.which(name)]
    if lacking:
        raise media.Unavailable(f"{', '.join(lacking)} missing")
    path = os.path.join(work, "OVMF_VARS.qcow2")
    media.to_qcow2(FIRMWARE.vars_template, path)
    return Drive(fs_dir, path, "format=qcow2")


class NetworkDrive(Drive):
    """A store on a server of the test's, whose bytes stored() gives: set
    with options (--offline where its server shows no user); while held,
    each of held_options' ways refuses."""

    def __init__(self, fs_dir, uri, stored, held_options, options=("--offline",), drive="format=raw"):
        super().__init__(fs_dir, uri, drive)
        self.stored, self.held_options, self.options = stored, held_options, options

    def run(self, tool, *words, every=False):
        if every:
            return [run_tool(tool, *options, self.path, *words) for options in self.held_options]
        return [run_tool(tool, *self.options, self.path, *words)]


def nbd_export(work, fs_dir, tool, stack):
    """qemu-nbd serving the store to one client at a time, as a running
    machine's export is; a second waits, and the tool gives up."""
    backing = machine.vars_path(work, FIRMWARE)
    server = stack.enter_context(network.Nbd(work, backing))
    return NetworkDrive(fs_dir, server.uri, lambda: contents(backing), ((), ("--offline", "--timeout", "3")))


def qcow2_on_nbd(work, fs_dir, tool, stack):
    """A qcow2 image exported as it is, which QEMU's storage daemon then
    opens as a qcow2 file, and the firmware's QEMU too."""
    image = os.path.join(work, "OVMF_VARS.qcow2")
    media.to_qcow2(FIRMWARE.vars_template, image)
    server = stack.enter_context(network.Nbd(work, image))
    return NetworkDrive(fs_dir, server.uri, lambda: contents(image), ((), ("--offline", "--timeout", "3")),
                        drive="format=qcow2")


def iscsi_lun(work, fs_dir, tool, stack):
    backing = machine.vars_path(work, FIRMWARE)
    server = stack.enter_context(network.Iscsi(work, backing))
    return NetworkDrive(fs_dir, server.uri, lambda: contents(backing), ((),))


def rbd_image(work, fs_dir, tool, stack):
    """An image in a Ceph cluster of the test's, made from the template: its
    watchers show who has it open, with --offline too."""
    cluster = stack.enter_context(ceph.Cluster(work))
    cluster.image("nvram", FIRMWARE.vars_template)
    return NetworkDrive(fs_dir, cluster.qemu_name("nvram"), lambda: cluster.contents("nvram"),
                        ((), ("--offline",)), options=())


class Domain:
    """A libvirt domain in a session of its own, which libvirt starts and
    brisvane-vars finds by name; its NVRAM file is checked in plain file mode too."""

    untouched = None

    def __init__(self, session, tool):
        self.session, self.tool = session, tool
        self.fs_dir, self.path = os.path.join(session.work, "fs"), session.nvram(DOMAIN)
        self.stored = lambda: contents(self.path)

    def run(self, tool, *words, every=False):
        """brisvane-vars run on the domain, and with every on its NVRAM file
        too: their results."""
        by_name = self.session.run(self.tool, "--domain", DOMAIN, "--connect", libvirt.URI, *words)
        return [by_name] + ([run_tool(tool, self.path, *words)] if every else [])

    @contextlib.contextmanager
    def held(self, work):
        self.session.virsh("start", "--paused", DOMAIN)
        try:
            yield
        finally:
            self.session.virsh("destroy", DOMAIN)

    def boot(self, time_limit):
        return lambda steps, log: self.boot_domain(steps, log, time_limit)

    def boot_domain(self, steps, log, time_limit):
        """shell.run through libvirt: the countdown answered with a key sent to the domain."""
        with open(os.path.join(self.fs_dir, "startup.nsh"), "wb") as f:
            f.write(shell.script(steps))
        self.session.virsh("start", DOMAIN)
        console_log = os.path.join(self.session.work, "console.log")
        deadline, answered, failure = time.monotonic() + time_limit, 0, None
        while self.session.virsh("domstate", DOMAIN).strip() != "shut off":
            if time.monotonic() > deadline:
                self.session.virsh("destroy", DOMAIN)
                failure = f"still running after {time_limit} s"
                continue
            prompts = len(machine.COUNTDOWN.findall(contents(console_log)))
            if prompts > answered:
                answered = prompts
                self.session.virsh("send-key", DOMAIN, "KEY_SPACE")
            time.sleep(0.2)
        shutil.copyfile(console_log, log)
        console = contents(console_log)
        return [shell.read_output(console, number) for number in range(len(steps))], failure


def libvirt_domain(work, fs_dir, tool, stack):
    """A domain defined in a libvirt session of its own, in a scratch folder
    that its daemon, run as nobody, can reach."""
    lacking = libvirt.missing(tool)
    if lacking:
        raise media.Unavailable(f"needs {', '.join(lacking)} ({libvirt.PACKAGES})")
    scratch = tempfile.mkdtemp(prefix="brisvane-stack.")
    stack.callback(shutil.rmtree, scratch, ignore_errors=True)
    os.chmod(scratch, 0o755)
    shutil.copytree(fs_dir, os.path.join(scratch, "fs"))
    session = libvirt.Session(scratch)
    session.start()
    stack.callback(session.stop)
    session.define(DOMAIN, devices=BOOT_DEVICES)
    return Domain(session, shutil.copy(tool, scratch))


# Each row: the stack, how its NVRAM is made, and the status and what the
# refusal while QEMU holds it says, for each way of naming it (Drive.run,
# Domain.run and NetworkDrive.run with every).
LOCKS = (75, "QEMU holds its locks")
UNSEEN = (82, "whose users this tool cannot see")
STACKS = [
    ("raw file", raw_file, (LOCKS,)),
    ("block device", block_device, (LOCKS,)),
    ("qcow2 image", qcow2_image, ((75, "running virtual machine"),)),
    ("libvirt domain", libvirt_domain, ((75, "it is paused"), LOCKS)),
    ("NBD export", nbd_export, (UNSEEN, (83, "serves one client at a time"))),
    ("qcow2 image on NBD", qcow2_on_nbd, (UNSEEN, (83, "serves one client at a time"))),
    ("iSCSI LUN", iscsi_lun, (UNSEEN,)),
    ("Ceph RBD image", rbd_image, ((75, "a running virtual machine has open"),) * 2),
]


def refused(nvram, tool, work, refusals):
    """Problems with a set while a real QEMU holds the NVRAM: each way of
    naming it must get its status and phrase, and nothing written."""
    with nvram.held(work):
        before = nvram.stored()
        results = nvram.run(tool, *cases.VARS_WORDS, every=True)
        after = nvram.stored()
    problems = [f"exit {result.returncode}, {result.stderr.strip()!r}" for result, (status, phrase)
                in zip(results, refusals) if result.returncode != status or phrase not in result.stderr]
    return problems + ([] if after == before else ["it was written"])


def run_stack(name, make, refusals, tool, efi, work, time_limit, checks):
    slug = name.replace(" ", "-")
    work = os.path.join(work, slug)
    with contextlib.ExitStack() as stack:
        fs_dir, _ = prepare(work, efi, firmware=FIRMWARE)
        try:
            nvram = make(work, fs_dir, tool, stack)
        except media.Unavailable as reason:
            checks.skip(name, reason)
            return
        checks.record(f"{name}: held by a real QEMU, brisvane-vars refuses and writes nothing",
                      refused(nvram, tool, work, refusals))
        [result] = nvram.run(tool, *cases.VARS_WORDS)
        checks.record(f"{name}: with QEMU gone, brisvane-vars sets the value",
                      [] if result.returncode == 0 else [f"exit {result.returncode}, {result.stderr.strip()!r}"])
        run_boot(f"{slug}-boot", [(f"{name}, booted", cases.VARS_THEN_SHELL[0])], nvram.fs_dir, nvram.path, work,
                 time_limit, checks, FIRMWARE, nvram.boot(time_limit))
        if nvram.untouched:
            checks.record(f"{name}: the bytes after the store are untouched", nvram.untouched())


def run_stacks(tool, efi, work, time_limit, checks):
    """Runs every row of STACKS, each in a folder of its own under work."""
    for row in STACKS:
        try:
            run_stack(*row, tool, efi, work, time_limit, checks)
        except Exception as error:  # noqa: BLE001 - a broken row must still count, and the next one run
            checks.record(f"{row[0]}: ran to the end", [repr(error)])
