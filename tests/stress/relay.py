"""A slow link on loopback, as a cellular connection is: a TCP relay that delays every byte by a
fixed time in each direction, lets through at most a given rate, and holds a bounded queue (a
full queue stops reading, so the sender is held back as by a real link)."""

import collections
import socket
import threading
import time

import harness as h

SOCKET_BUFFER = 8192
CATCH_UP = 0.1  # seconds


class Direction:
    """One way through the relay: a reader that stamps what arrives and a writer that passes it
    on after the delay, at the rate."""

    def __init__(self, src, dst, delay, rate, queue_limit):
        self.src, self.dst = src, dst
        self.delay, self.rate, self.limit = delay, rate, queue_limit
        self.queue = collections.deque()  # (arrival time, bytes); b"" marks end of stream
        self.queued = 0
        self.cond = threading.Condition()
        self.closed = False
        self.threads = [threading.Thread(target=self._read, daemon=True),
                        threading.Thread(target=self._write, daemon=True)]

    def start(self):
        for t in self.threads:
            t.start()

    def _read(self):
        while not self.closed:
            with self.cond:
                while self.queued >= self.limit and not self.closed:
                    self.cond.wait(0.2)
            try:
                data = self.src.recv(min(4096, self.limit))
            except OSError:
                data = b""
            with self.cond:
                self.queue.append((time.monotonic(), data))
                self.queued += len(data)
                self.cond.notify_all()
            if not data:
                return

    def _write(self):
        next_free = time.monotonic()
        while not self.closed:
            with self.cond:
                while not self.queue and not self.closed:
                    self.cond.wait(0.2)
                if self.closed:
                    return
                stamp, data = self.queue[0]
            wait = stamp + self.delay - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            if not data:
                try:
                    self.dst.shutdown(socket.SHUT_WR)
                except OSError:
                    pass
                return
            # Pass on a piece at a time, each when the rate allows it. A writer that slept too
            # long (a busy machine) catches up, but an idle link saves up at most CATCH_UP.
            piece = data[:max(1, int(self.rate / 50))]
            next_free = max(next_free, time.monotonic() - CATCH_UP)
            wait = next_free - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                self.dst.sendall(piece)
            except OSError:
                return
            next_free += len(piece) / self.rate
            with self.cond:
                if len(piece) == len(data):
                    self.queue.popleft()
                else:
                    self.queue[0] = (stamp, data[len(piece):])
                self.queued -= len(piece)
                self.cond.notify_all()


class Relay:
    """Listens on 127.0.0.1 (a port the kernel picks); each connection is passed to
    127.0.0.1:target_port through two Directions."""

    def __init__(self, target_port, delay, rate, queue_limit=16384):
        self.target_port = target_port
        self.delay, self.rate, self.limit = delay, rate, queue_limit
        # Small socket buffers on the relay's side, so that what the link holds is its queue
        # (accepted sockets take the listener's receive buffer).
        self.sock = h.listener(rcvbuf=SOCKET_BUFFER)
        self.port = self.sock.getsockname()[1]
        self.directions = []
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while True:
            try:
                a, _ = self.sock.accept()
            except OSError:
                return
            h.register_socket(a)
            b = h.connect(self.target_port, sndbuf=SOCKET_BUFFER)
            pair = [Direction(a, b, self.delay, self.rate, self.limit),
                    Direction(b, a, self.delay, self.rate, self.limit)]
            self.directions += pair
            for d in pair:
                d.start()

    def close(self):
        for d in self.directions:
            d.closed = True
        self.sock.close()
