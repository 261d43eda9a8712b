"""A call's data both ways at once, checked byte for byte at the other end. Each end is a DTE
(a pty master) or the test peer (a socket)."""

import os
import select
import socket
import threading
import time

import harness as h

POLL = 0.2  # how often blocked writers and readers look at the stop flag


class PtyEnd:
    def __init__(self, master):
        self.fd = master

    def write(self, data, stopping):
        view = memoryview(data)
        while view and not stopping.is_set():
            select.select([], [self.fd], [], POLL)
            try:
                view = view[os.write(self.fd, view):]
            except BlockingIOError:
                pass
        return len(data) - len(view)

    def read(self):
        r, _, _ = select.select([self.fd], [], [], POLL)
        if not r:
            return None
        try:
            return os.read(self.fd, 65536)
        except BlockingIOError:
            return None


class SockEnd:
    def __init__(self, sock):
        self.sock = sock
        sock.settimeout(POLL)

    def write(self, data, stopping):
        view = memoryview(data)
        while view and not stopping.is_set():
            try:
                view = view[self.sock.send(view):]
            except socket.timeout:
                continue
        return len(data) - len(view)

    def read(self):
        try:
            data = self.sock.recv(65536)
        except socket.timeout:
            return None
        if not data:
            raise EOFError
        return data


def end(x):
    return SockEnd(x) if isinstance(x, socket.socket) else PtyEnd(x)


class Stream:
    """`size` pseudo-random bytes from `one` to `two` and as many from `two` to `one`, at `rate`
    bytes a second each way (None: as fast as they are taken), checked byte for byte. An end is
    a pty master (the DTE) or a socket (the test peer). `without` names bytes left out of the
    data (an escape character, when the call must not see an escape sequence)."""

    def __init__(self, one, two, size, rate=None, without=b""):
        self.ends = (end(one), end(two))
        self.rate = rate
        self.data = [h.pattern(size, 11), h.pattern(size, 12)]  # one → two, two → one
        for b in without:
            self.data = [d.replace(bytes([b]), b"\x00") for d in self.data]
        self.sent = [0, 0]
        self.got = [0, 0]
        self.errors = []
        self.stopping = threading.Event()
        self.done = False
        self.threads = [threading.Thread(target=self._send, args=(0,), daemon=True),
                        threading.Thread(target=self._send, args=(1,), daemon=True),
                        threading.Thread(target=self._receive, args=(0,), daemon=True),
                        threading.Thread(target=self._receive, args=(1,), daemon=True)]

    def start(self):
        for t in self.threads:
            t.start()

    def finish(self, timeout, settle=20):
        """Waits until all bytes have been sent (or `timeout`), then stops as stop() does,
        giving them `settle` seconds to arrive."""
        deadline = time.monotonic() + timeout
        while self.sent != [len(d) for d in self.data] and time.monotonic() < deadline:
            if self.errors:
                break
            time.sleep(0.05)
        return self.stop(settle)

    def stop(self, timeout=20):
        """Stops sending, waits until everything sent has arrived; returns the bytes sent each
        way."""
        self.stopping.set()
        deadline = time.monotonic() + timeout
        while self.got != self.sent and time.monotonic() < deadline and not self.errors:
            time.sleep(0.05)
        if self.got != self.sent and not self.errors:
            self.errors.append(f"sent {self.sent}, arrived {self.got} (each way)")
        self.done = True
        for t in self.threads:
            t.join(5)
        return list(self.sent)

    def _send(self, way):
        chunk = max(1, self.rate // 50) if self.rate else 16384
        buf = self.data[way]
        start = time.monotonic()
        try:
            while not self.stopping.is_set() and self.sent[way] < len(buf) and not self.errors:
                if self.rate:
                    delay = start + self.sent[way] / self.rate - time.monotonic()
                    if delay > 0:
                        time.sleep(delay)
                piece = buf[self.sent[way]:self.sent[way] + chunk]
                self.sent[way] += self.ends[way].write(piece, self.stopping)
        except OSError as e:
            self.errors.append(f"way {way + 1}: write failed: {e}")

    def _receive(self, way):
        buf = self.data[way]
        dst = self.ends[1 - way]
        while not self.errors and not self.done:
            try:
                data = dst.read()
            except (EOFError, OSError):
                return
            if not data:
                continue
            pos = self.got[way]
            if buf[pos:pos + len(data)] != data:
                self.errors.append(f"way {way + 1}: bytes differ at offset {pos}")
            self.got[way] += len(data)
