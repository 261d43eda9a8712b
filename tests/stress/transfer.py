"""A call's data both ways at once, checked byte for byte at the other end: the DTE (pty
master) against the test peer's socket."""

import os
import select
import socket
import threading
import time

import harness as h


class Stream:
    """`size` pseudo-random bytes each way through a call, at `rate` bytes a second each way
    (None: as fast as they are taken), checked byte for byte at the other end."""

    def __init__(self, master, sock, size, rate=None):
        self.master = master
        self.sock = sock
        self.rate = rate
        self.out = h.pattern(size, 11)  # DTE → peer
        self.back = h.pattern(size, 12)  # peer → DTE
        self.sent = [0, 0]
        self.got = [0, 0]
        self.errors = []
        self.stopping = threading.Event()
        self.done = False
        sock.settimeout(0.2)
        self.threads = [threading.Thread(target=f, daemon=True) for f in
                        (self._write_dte, self._read_peer, self._write_peer, self._read_dte)]

    def start(self):
        for t in self.threads:
            t.start()

    def finish(self, timeout):
        """Waits until all bytes have been sent (or `timeout`), then stops as stop() does."""
        deadline = time.monotonic() + timeout
        while self.sent != [len(self.out), len(self.back)] and time.monotonic() < deadline:
            if self.errors:
                break
            time.sleep(0.05)
        return self.stop()

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
        chunk = max(1, self.rate // 50) if self.rate else 16384
        buf = self.out if direction == 0 else self.back
        start = time.monotonic()
        while not self.stopping.is_set() and self.sent[direction] < len(buf) and not self.errors:
            if self.rate:
                delay = start + self.sent[direction] / self.rate - time.monotonic()
                if delay > 0:
                    time.sleep(delay)
            n = write(buf[self.sent[direction]:self.sent[direction] + chunk])
            self.sent[direction] += n

    def _write_dte(self):
        def write(data):
            view = memoryview(data)
            while view and not self.stopping.is_set():
                select.select([], [self.master], [], 0.2)
                try:
                    view = view[os.write(self.master, view):]
                except BlockingIOError:
                    pass
            return len(data) - len(view)
        self._paced(0, write)

    def _write_peer(self):
        def write(data):
            # The socket has the reader's short time-out: send what is taken, look at the
            # stop flag in between.
            view = memoryview(data)
            while view and not self.stopping.is_set():
                try:
                    view = view[self.sock.send(view):]
                except socket.timeout:
                    continue
                except OSError as e:
                    self.errors.append(f"peer→DTE: send failed: {e}")
                    break
            return len(data) - len(view)
        self._paced(1, write)

    def _check(self, direction, data):
        buf = self.out if direction == 0 else self.back
        pos = self.got[direction]
        if buf[pos:pos + len(data)] != data:
            self.errors.append(f"{'DTE→peer' if direction == 0 else 'peer→DTE'}: bytes differ "
                               f"at offset {pos}")
        self.got[direction] += len(data)

    def _read_peer(self):
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
