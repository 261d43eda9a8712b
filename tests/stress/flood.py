"""Flood: while daemon A has a call up with the test peer and bytes move both ways at the pace of
a 115200 bit/s line, connections arrive at A's port from other loopback addresses (each one is
refused, as A is busy): first at a fixed rate, then (full size) as fast as the machine allows.
The call must stay byte-exact; A's CPU, memory, descriptors and log lines are measured."""

import errno
import os
import select
import selectors
import socket
import threading
import time

import harness as h
import transfer

LINE_RATE = 11520  # bytes per second each way: a 115200 bit/s serial line
CPU_GOAL = 0.05
RATE_GOAL = 400
CONNECT_TIMEOUT = 10.0  # a flood connection not closed by A by then is counted as failed
MAX_IN_FLIGHT = 256
BACKLOG = 8  # the daemon's listen backlog


def run(ctx):
    seconds = ctx.size["flood_seconds"]
    # No escape character: the random data must not end the call.
    box = h.Sandbox("flood-A", MOD_ORVANE_SREG_ESC="256")
    a = h.start_daemon(box, ctx.binary)
    peer = h.listener()
    h.point_dial_port(box, peer.getsockname()[1])
    conn = h.dial_peer(a, peer)
    call = transfer.Stream(box.master, conn, LINE_RATE * (seconds * 3 + 30), LINE_RATE)
    call.start()

    base_window = min(3.0, seconds)
    c0 = a.figures()["cpu"]
    time.sleep(base_window)
    base_cpu = (a.figures()["cpu"] - c0) / base_window
    figures = [f"call alone: {base_cpu * 100:.2f}% of a core"]
    problems = []
    goal = None
    phases = [("paced", ctx.size["flood_rate"])]
    if ctx.size["flood_max"]:
        phases.append(("as fast as possible", 0))
    for label, rate in phases:
        before = a.figures()
        since = time.monotonic()
        lines_before, bytes_before = len(a.lines), a.log_bytes
        fl = flood(a.port, seconds, rate)
        time.sleep(0.5)  # the daemon takes what is still queued
        wall = time.monotonic() - since
        after = a.figures()
        cpu = (after["cpu"] - before["cpu"]) / wall
        lines = len(a.lines) - lines_before
        figures.append(
            f"{label}: {fl['done'] / seconds:.0f} conn/s for {seconds} s ({fl['done']} refused "
            f"and closed by A); A at {cpu * 100:.2f}% of a core, {cpu * wall / max(fl['done'], 1) * 1e6:.0f} "
            f"µs per connection; {lines} log lines ({a.log_bytes - bytes_before} bytes); VmRSS "
            f"{before['VmRSS']}→{after['VmRSS']} KiB, RssAnon {before['RssAnon']}→"
            f"{after['RssAnon']} KiB, fds {before['fds']}→{after['fds']}")
        if after["fds"] != before["fds"]:
            problems.append(f"{label}: descriptors {before['fds']}→{after['fds']}")
        if fl["failed"]:
            # Under a stall of the machine the kernel may drop connections from a full listen
            # backlog before A sees them: counted, a failure only when A stops taking them.
            figures.append(f"{label}: {fl['failed']} connections not closed by A within "
                           f"{CONNECT_TIMEOUT:.0f} s")
        if fl["done"] < 0.9 * fl["started"]:
            problems.append(f"{label}: A closed {fl['done']} of {fl['started']} connections")
        if rate:
            met = fl["done"] / seconds >= RATE_GOAL * 0.95 and cpu < CPU_GOAL
            goal = (f"≥ {RATE_GOAL} conn/s with A under {CPU_GOAL * 100:.0f}% of a core", met)
    sent = call.stop()
    figures.append(f"call: {sent[0]} bytes DTE→peer and {sent[1]} bytes peer→DTE, "
                   f"{'byte-exact' if not call.errors else 'NOT exact'}")
    problems += call.errors
    conn.close()
    box.expect(h.NO_CARRIER, what="NO CARRIER after the flood")
    box.command(b"AT")
    if a.stop() != 0:
        problems.append(f"exit status {a.proc.returncode} after SIGTERM")
    return {
        "ok": not problems,
        "load": f"{ctx.size['flood_rate']} conn/s for {seconds} s"
                + (f", then unpaced for {seconds} s" if ctx.size["flood_max"] else "")
                + ", call at 11.5 kB/s each way",
        "goal": goal,
        "figures": figures,
        "problems": problems,
    }


def flood(port, seconds, rate):
    """Connections to 127.0.0.1:port from 127.0.0.2 to 127.0.0.254 in turn (never the call's
    address, which would replace the call), `rate` a second for `seconds`; each one counts as done
    when the daemon has closed it. With rate 0 they come as fast as the daemon takes them, as
    many at once as its listen backlog holds. Returns the counts."""
    sel = selectors.DefaultSelector()
    start = time.monotonic()
    end = start + seconds
    next_at = start
    limit = MAX_IN_FLIGHT if rate else BACKLOG
    started = done = failed = 0
    in_flight = {}

    def finish(s, ok):
        nonlocal done, failed
        done += ok
        failed += not ok
        sel.unregister(s)
        del in_flight[s]
        s.close()

    try:
        while True:
            now = time.monotonic()
            while now < end and len(in_flight) < limit and (rate == 0 or next_at <= now):
                s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
                s.setblocking(False)
                s.bind((f"127.0.0.{2 + started % 253}", 0))
                s.connect_ex(("127.0.0.1", port))
                sel.register(s, selectors.EVENT_READ)
                in_flight[s] = now
                started += 1
                next_at += 1 / rate if rate else 0
            if now >= end and not in_flight:
                break
            wait = 0.05 if rate == 0 else max(0.0, min(0.05, next_at - now))
            for key, _ in sel.select(timeout=wait):
                try:
                    closed = key.fileobj.recv(1) == b""
                except BlockingIOError:
                    continue
                except OSError as e:
                    closed = e.errno == errno.ECONNRESET
                finish(key.fileobj, closed)
            now = time.monotonic()
            for s, t in list(in_flight.items()):
                if now - t > CONNECT_TIMEOUT:
                    finish(s, False)
    finally:
        for s in in_flight:
            s.close()
        sel.close()
    return {"done": done, "failed": failed, "started": started}
