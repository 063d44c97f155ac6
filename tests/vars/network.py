#!/usr/bin/env python3
"""brisvane-vars on network stores it cannot use, each on a real server of
the test's on loopback: a qemu-nbd export, a tgtd target and a one-OSD Ceph
cluster, each skipped with its reason where it cannot start.

Each row's run must end with its status and a one-line refusal naming the
cause, leave the store as it was, and leave no private folder or process
(qemu-nbd, qemu-storage-daemon) behind: this test is the subreaper of what a
run leaves. The firmware suite's table of stacks sets a value on each protocol
and boots OVMF from the same store.

    network.py --tool brisvane-vars OVMF_VARS_4M.fd [--benchmark COUNT]

--benchmark prints, for each protocol, the mean microseconds of COUNT sets
with --offline on a store served over loopback, instead.
"""

import argparse
import contextlib
import ctypes
import os
import shutil
import subprocess
import sys
import tempfile
import time

from vmtest import ceph, network
from vmtest.checks import Checks
from vmtest.media import Unavailable, contents, qemu_img

SET = ("-s", "-nomap")
PR_SET_CHILD_SUBREAPER = 36  # linux/prctl.h


def nbd_rows(store, unix, held):
    """(name, NVRAM, the tool's options, words, status, phrase) on exports of
    store: one on a UNIX socket, one on TCP that another client holds."""
    return [
        ("a write without --offline", unix.uri, (), SET, 82, "whose users this tool cannot see"),
        ("a read is always made", unix.uri, (), ("--show",), 0, ""),
        ("a refused connection", f"nbd://127.0.0.1:{network.free_port()}/nvram", (), ("-g",), 83,
         "refused the connection"),
        ("no such export", unix.uri.replace("///nvram", "///absent"), ("--offline",), SET, 84, "no such export"),
        ("a store held by another client", held.uri, ("--offline", "--timeout", "2"), SET, 83,
         "one client at a time"),
        ("--template on the network", unix.uri, ("--template", store), SET, 64, "store on the network"),
    ]


def not_a_store_rows(work, template):
    """Exports of a file of zeros and of a store cut short (not a store, 65),
    and of a qcow2 image over a backing file, which is never opened (80)."""
    rows = []
    for name, data in (("zeros", bytes(len(contents(template)))), ("cut", contents(template)[:65536])):
        path = os.path.join(work, name)
        with open(path, "wb") as f:
            f.write(data)
        rows.append((f"an export of {name}", path, (), ("-g",), 65, ""))
    qemu_img("create", "-f", "qcow2", "-b", template, "-F", "raw", os.path.join(work, "backed"))
    return rows + [("an export of a qcow2 image over a backing file", os.path.join(work, "backed"), (), ("-g",),
                    80, "over the backing file")]


def iscsi_rows(server):
    base = server.uri.rsplit("/", 2)[0]
    return [("no such target", f"{base}/iqn.2024-01.test:absent/1", (), ("-g",), 84, "no such target"),
            ("no such LUN", f"{server.uri[:-1]}7", (), ("-g",), 84, "no such LUN")]


def rbd_rows(cluster):
    """Rows on images of cluster: "nvram", and "held", which another client has open."""
    name = cluster.qemu_name("nvram")
    return [("no such image", name.replace("/nvram:", "/absent:"), (), ("-g",), 84, "does not exist"),
            ("no such pool", name.replace("rbd/nvram", "absent/nvram"), (), ("-g",), 84, "does not exist"),
            ("refused credentials", name.replace(cluster.keyring, os.devnull), (), ("-g",), 85,
             "credentials were refused"),
            ("a write with no such image", name.replace("/nvram:", "/absent:"), (), SET, 84, "cannot be opened"),
            ("a write with refused credentials", name.replace(cluster.keyring, os.devnull), (), SET, 85, ""),
            ("another client has it open", cluster.qemu_name("held"), ("--offline",), SET, 76,
             "another client of the cluster has open"),
            ("a write when no one has it open", name, (), SET, 0, "")]


def children():
    """This process's children, ended or not: its servers, and, as it is a
    subreaper, whatever a run left behind when it ended."""
    return set(subprocess.run(["pgrep", "-P", str(os.getpid())], capture_output=True, text=True).stdout.split())


def check_row(tool, row, stored, scratch):
    name, nvram, options, words, status, phrase = row
    before, running = stored(), children()
    # A row about a missing program runs with a PATH that has none.
    path = {"PATH": "/nonexistent"} if "missing" in name else {}
    result = subprocess.run([tool, *options, nvram, *words], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, TMPDIR=scratch, **path))
    problems = [] if result.returncode == status else [f"exit {result.returncode}: {result.stderr.strip()!r}"]
    if status:
        # A usage error's line is followed by the usage text.
        lines = result.stderr.splitlines()
        problems += [] if lines and phrase in lines[0] and (len(lines) == 1 or status == 64) else [result.stderr]
        problems += [] if stored() == before else ["the store was written"]
    left = os.listdir(scratch) + [f"process {pid}" for pid in children() - running]
    return problems + [f"left behind: {thing}" for thing in left]


def check_protocol(tool, label, make, checks, work):
    """Runs the rows that make(stack) gives, as (rows, stored)."""
    scratch = tempfile.mkdtemp(dir=work)
    with contextlib.ExitStack() as stack:
        try:
            rows, stored = make(stack)
        except Unavailable as reason:
            checks.skip(label, reason)
            return
        for row in rows:
            checks.record(f"{label}: {row[0]}", check_row(tool, row, stored, scratch))


def benchmark(tool, stores, count):
    """Prints a line for each protocol: its name and the mean microseconds of
    count sets, or why it was not measured."""
    for label, make in stores:
        with contextlib.ExitStack() as stack:
            try:
                uri = make(stack)
            except Unavailable as reason:
                print(f"{label}: not measured: {reason}")
                continue
            start = time.monotonic_ns()
            for run in range(count):
                subprocess.run([tool, "--offline", uri, "-s", "-delay", str(run)], check=True, capture_output=True)
            print(f"{label}: {(time.monotonic_ns() - start) // count // 1000}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", required=True, help="brisvane-vars")
    parser.add_argument("template", help="an OVMF variable store template")
    parser.add_argument("--benchmark", type=int, metavar="COUNT")
    options = parser.parse_args()
    checks, tool, template = Checks(), os.path.abspath(options.tool), options.template
    ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    with tempfile.TemporaryDirectory() as work:
        store = shutil.copy(template, os.path.join(work, "store.fd"))
        if options.benchmark:
            def rbd_store(stack):
                cluster = stack.enter_context(ceph.Cluster(tempfile.mkdtemp(dir=work)))
                cluster.image("nvram", template)
                return cluster.qemu_name("nvram")
            stores = [("NBD over TCP", lambda stack: stack.enter_context(
                          network.Nbd(tempfile.mkdtemp(dir=work), store, tcp=True)).uri),
                      ("iSCSI", lambda stack: stack.enter_context(network.Iscsi(work, store)).uri),
                      ("Ceph RBD", rbd_store)]
            benchmark(tool, stores, options.benchmark)
            return 0

        def nbd(stack):
            unix = stack.enter_context(network.Nbd(tempfile.mkdtemp(dir=work), store))
            tcp = stack.enter_context(network.Nbd(tempfile.mkdtemp(dir=work), store, tcp=True))
            stack.enter_context(network.client_of(tcp.uri, lambda: network.connected(tcp.port)))
            rows = nbd_rows(store, unix, tcp) + [("qemu-nbd missing", unix.uri, (), ("-g",), 69,
                                                  "qemu-nbd is missing")]
            for row in not_a_store_rows(work, template):
                served = stack.enter_context(network.Nbd(tempfile.mkdtemp(dir=work), row[1]))
                rows.append((row[0], served.uri, *row[2:]))
            return rows, lambda: contents(store)

        def iscsi(stack):
            return iscsi_rows(stack.enter_context(network.Iscsi(work, store))), lambda: contents(store)

        def rbd(stack):
            cluster = stack.enter_context(ceph.Cluster(tempfile.mkdtemp(dir=work)))
            cluster.image("nvram", template)
            cluster.image("held", template)
            stack.enter_context(cluster.client_of("held"))
            return rbd_rows(cluster), lambda: cluster.contents("nvram") + cluster.contents("held")

        for label, make in (("NBD", nbd), ("iSCSI", iscsi), ("Ceph RBD", rbd)):
            check_protocol(tool, label, make, checks, work)
    print(checks.summary())
    return 1 if checks.failed else 0


if __name__ == "__main__":
    sys.exit(main())
