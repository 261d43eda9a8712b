"""Signals: a storm of SIGUSR1 at daemon A while a call moves data both ways as fast as it can.
The load is the number of signals: the call carries transfers one after another until all have
been sent, however fast each transfer is. Every read of the three status files must find a
whole file, every transfer must be byte-exact, and no temporary file may be left behind."""

import os
import signal
import threading
import time

import harness as h
import transfer

STORM_GAP = 0.0002  # seconds between two signals (plus the time a kill takes)
STATUS_C = b"On-line  : Yes\nConnected: to 127.0.0.1\n"
STATUS_F = b"Router     : router stress\r\nUser Module: orvane-module stress\r\n"


def run(ctx):
    count = ctx.size["signals"]
    size = ctx.size["transfer_mib"] << 20
    box = h.Sandbox("signals-A", MOD_ORVANE_SREG_ESC="256")
    a = h.start_daemon(box, ctx.binary)
    peer = h.listener()
    h.point_dial_port(box, peer.getsockname()[1])
    conn = h.dial_peer(a, peer)
    status = {n: box.path("var/orvane/" + n) for n in ("status_c", "status_f", "status_s")}

    # One request first: the reference for status_s (the AT&V report) and a check of the others.
    a.signal(signal.SIGUSR1)
    deadline = time.monotonic() + 10
    while not all(os.path.exists(p) for p in status.values()):
        if time.monotonic() > deadline:
            raise h.Failure("no status files 10 s after SIGUSR1")
        time.sleep(0.02)
    expected = {"status_c": STATUS_C, "status_f": STATUS_F, "status_s": box.read(status["status_s"])}
    for name in ("status_c", "status_f"):
        if box.read(status[name]) != expected[name]:
            raise h.Failure(f"{name} is {box.read(status[name])!r}, not {expected[name]!r}")

    storm_done = threading.Event()
    transfers_done = threading.Event()
    sent = [0]
    reads = {"reads": 0, "torn": [], "versions": set()}
    storm_time = [0.0]
    moved = [0]  # bytes each way, over all transfers
    rounds = [0]
    call_errors = []

    def carry():
        # Transfers of `size` each way, one after another, until the storm is over.
        try:
            while not call_errors:
                call = transfer.Stream(box.master, conn, size)
                call.start()
                moved[0] += call.finish(timeout=max(120, size / 2**20 * 10))[0]
                rounds[0] += 1
                call_errors.extend(call.errors)
                if storm_done.is_set():
                    break
        finally:
            transfers_done.set()

    def storm():
        t0 = time.monotonic()
        while sent[0] < count and not call_errors and not transfers_done.is_set():
            a.signal(signal.SIGUSR1)
            sent[0] += 1
            time.sleep(STORM_GAP)
        storm_time[0] = time.monotonic() - t0
        storm_done.set()

    def watch():
        while not transfers_done.is_set():
            for name, path in status.items():
                try:
                    with open(path, "rb") as f:
                        data = f.read()
                        if name == "status_c":
                            st = os.fstat(f.fileno())
                            reads["versions"].add((st.st_ino, st.st_ctime_ns))
                except FileNotFoundError:
                    reads["torn"].append(f"{name} missing")
                    continue
                reads["reads"] += 1
                if data != expected[name]:
                    reads["torn"].append(f"{name}: {data[:60]!r}")
            if len(reads["torn"]) > 5:
                return

    start = time.monotonic()
    threads = [threading.Thread(target=f, daemon=True) for f in (carry, storm, watch)]
    cpu = a.figures()["cpu"]
    for t in threads:
        t.start()
    threads[1].join(600)
    threads[0].join(600)
    elapsed = time.monotonic() - start
    threads[2].join(10)
    cpu = a.figures()["cpu"] - cpu
    problems = list(call_errors) + reads["torn"][:5]
    if sent[0] < count and not problems:
        problems.append(f"only {sent[0]} of {count} SIGUSR1 sent: the transfers stopped first")

    leftovers = [n for n in os.listdir(box.path("var/orvane")) if n not in status]
    if leftovers:
        problems.append(f"left in var/orvane: {leftovers}")
    conn.close()
    box.expect(h.NO_CARRIER)
    box.command(b"AT")
    if a.stop() != 0:
        problems.append(f"exit status {a.proc.returncode} after SIGTERM")
    figures = [
        f"{sent[0]} SIGUSR1 sent in {storm_time[0]:.1f} s, at least {len(reads['versions'])} status file sets written "
        f"(distinct status_c files seen), {reads['reads']} reads: {len(reads['torn'])} not whole",
        f"{rounds[0]} transfer{'s' if rounds[0] != 1 else ''} of {h.size_text(size)}: {h.size_text(moved[0])} each way in {elapsed:.1f} s, "
        f"{'byte-exact' if not call_errors else 'NOT exact'}; A's CPU {cpu:.1f} s",
    ]
    return {
        "ok": not problems,
        "load": f"{count} SIGUSR1 while transfers of {h.size_text(size)} each way run",
        "figures": figures,
        "problems": problems,
    }
