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

LINE_RATE = 11520  # bytes per second each way: a 115200 bit/s serial line
CPU_GOAL = 0.05
RATE_GOAL = 400
CONNECT_TIMEOUT = 3.0  # a flood connection not closed by A by then is counted as failed
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
    call = Stream(box.master, conn, LINE_RATE, seconds * 3 + 30)
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
        refused = a.log_count("rejected", since)
        lines = len(a.lines) - lines_before
        figures.append(
            f"{label}: {fl['done'] / seconds:.0f} conn/s for {seconds} s ({fl['done']} refused "
            f"and closed by A); A at {cpu * 100:.2f}% of a core, {cpu / max(refused, 1) * wall * 1e6:.0f} "
            f"µs per connection; {lines} log lines ({a.log_bytes - bytes_before} bytes); VmRSS "
            f"{before['VmRSS']}→{after['VmRSS']} KiB, RssAnon {before['RssAnon']}→"
            f"{after['RssAnon']} KiB, fds {before['fds']}→{after['fds']}")
        if after["fds"] != before["fds"]:
            problems.append(f"{label}: descriptors {before['fds']}→{after['fds']}")
        if fl["failed"]:
            problems.append(f"{label}: {fl['failed']} connections not closed by A within "
                            f"{CONNECT_TIMEOUT} s")
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
    return {"done": done, "failed": failed}


class Stream:
    """Pseudo-random bytes both ways through a call, `rate` bytes a second each way, checked
    byte for byte at the other end: DTE (pty master) to peer socket and back."""

    def __init__(self, master, sock, rate, max_seconds):
        self.master = master
        self.sock = sock
        self.rate = rate
        size = int(rate * max_seconds)
        self.out = h.pattern(size, 11)  # DTE → peer
        self.back = h.pattern(size, 12)  # peer → DTE
        self.sent = [0, 0]
        self.got = [0, 0]
        self.errors = []
        self.stopping = threading.Event()
        self.done = False
        self.threads = [threading.Thread(target=f, daemon=True) for f in
                        (self._write_dte, self._read_peer, self._write_peer, self._read_dte)]

    def start(self):
        for t in self.threads:
            t.start()

    def stop(self, timeout=20):
        """Stops sending, waits until everything sent has arrived; returns the bytes sent each
        way."""
        self.stopping.set()
        deadline = time.monotonic() + timeout
        while self.got != self.sent and time.monotonic() < deadline and not self.errors:
            time.sleep(0.05)
        if self.got != self.sent and not self.errors:
            self.errors.append(f"call: sent {self.sent}, arrived {self.got} (DTE→peer, peer→DTE)")
        self.done = True
        for t in self.threads:
            t.join(5)
        return list(self.sent)

    def _paced(self, direction, write):
        chunk = max(1, self.rate // 50)
        buf = self.out if direction == 0 else self.back
        start = time.monotonic()
        while not self.stopping.is_set() and self.sent[direction] + chunk <= len(buf):
            due = start + self.sent[direction] / self.rate
            delay = due - time.monotonic()
            if delay > 0:
                time.sleep(delay)
            n = write(buf[self.sent[direction]:self.sent[direction] + chunk])
            self.sent[direction] += n

    def _write_dte(self):
        def write(data):
            view = memoryview(data)
            while view:
                select.select([], [self.master], [], 1)
                try:
                    view = view[os.write(self.master, view):]
                except BlockingIOError:
                    pass
            return len(data)
        self._paced(0, write)

    def _write_peer(self):
        def write(data):
            self.sock.sendall(data)
            return len(data)
        self._paced(1, write)

    def _check(self, direction, data):
        buf = self.out if direction == 0 else self.back
        pos = self.got[direction]
        if buf[pos:pos + len(data)] != data:
            self.errors.append(f"{'DTE→peer' if direction == 0 else 'peer→DTE'}: bytes differ "
                               f"at offset {pos}")
        self.got[direction] += len(data)

    def _read_peer(self):
        self.sock.settimeout(0.2)
        while not self.errors and not self.done:
            try:
                data = self.sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                return
            if not data:
                return
            self._check(0, data)

    def _read_dte(self):
        while not self.errors and not self.done:
            r, _, _ = select.select([self.master], [], [], 0.2)
            if not r:
                continue
            try:
                data = os.read(self.master, 65536)
            except BlockingIOError:
                continue
            self._check(1, data)
