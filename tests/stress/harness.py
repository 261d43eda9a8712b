"""Sandboxes, daemons, the DTE side of their serial lines, loopback TCP peers and /proc figures
for the stress suite. Everything started here is registered and torn down by cleanup(), which the
runner calls on every way out (normal end, failure, SIGINT, SIGTERM)."""

import ctypes
import errno
import os
import re
import select
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
import tty

SUITE_PREFIX = "orvane-stress-"
NETNS_PREFIX = "orvstress"
PR_SET_PDEATHSIG = 1

# Settings every daemon of the suite starts from (the sample settings, with echo off so that the
# DTE reads only result codes, forwarding without delay, a 100 ms escape guard and DTR not
# watched; scenarios change what they test).
BASE_SETTINGS = {
    "MOD_ORVANE_ENABLED": "1",
    "MOD_ORVANE_SERIAL": "0",
    "MOD_ORVANE_BAUDRATE": "115200",
    "MOD_ORVANE_DATABITS": "8",
    "MOD_ORVANE_PARITY": "N",
    "MOD_ORVANE_STOPBITS": "1",
    "MOD_ORVANE_SPLIT": "0",
    "MOD_ORVANE_PORT": "2000",
    "MOD_ORVANE_KEEPALIVE": "0",
    "MOD_ORVANE_KEEPALIVE_TIME": "",
    "MOD_ORVANE_KEEPALIVE_INTVL": "",
    "MOD_ORVANE_KEEPALIVE_PROBES": "",
    "MOD_ORVANE_STAT_ECHO": "0",
    "MOD_ORVANE_STAT_QUIET": "0",
    "MOD_ORVANE_STAT_VERBOSITY": "1",
    "MOD_ORVANE_STAT_DTR_ACTION": "0",
    "MOD_ORVANE_SREG_AUTO_ANSWER": "0",
    "MOD_ORVANE_SREG_ESC": "43",
    "MOD_ORVANE_SREG_CR": "13",
    "MOD_ORVANE_SREG_LF": "10",
    "MOD_ORVANE_SREG_BS": "8",
    "MOD_ORVANE_SREG_RING_INT": "2",
    "MOD_ORVANE_SREG_CONN_TOUT": "30",
    "MOD_ORVANE_SREG_HUP_DELAY": "0",
    "MOD_ORVANE_SREG_SPLIT": "0",
    "MOD_ORVANE_SREG_ESC_DELAY": "5",
    "MOD_ORVANE_SREG_DTR_IGNORE": "0",
    "MOD_ORVANE_CFG_SCRIPT": "",
    "MOD_ORVANE_SYSLOGLEV": "6",
    "MOD_ORVANE_SPOOF_OK": "0",
}

CONNECT = b"CONNECT 115200\r\n"
NO_CARRIER = b"NO CARRIER\r\n"
OK = b"OK\r\n"
RING = b"RING\r\n"
DIAL_LOOPBACK = b"ATD127000000001\r"


class Failure(Exception):
    """A check of a scenario failed; the message says which and what was seen."""


class Skip(Exception):
    """The machine refuses what a scenario needs; the message says what."""


# --- registry of what must be torn down -----------------------------------------------------

_lock = threading.Lock()
_processes = []  # subprocess.Popen objects started by the suite
_dirs = []
_namespaces = []
_sockets = []


def register_socket(sock):
    with _lock:
        _sockets.append(sock)
    return sock


def cleanup():
    """Kills every daemon the suite started (by its own pid), closes its sockets, deletes its
    network namespaces and temporary directories. Safe to call more than once."""
    with _lock:
        procs, _processes[:] = list(_processes), []
        dirs, _dirs[:] = list(_dirs), []
        names, _namespaces[:] = list(_namespaces), []
        socks, _sockets[:] = list(_sockets), []
    for p in procs:
        if p.poll() is None:
            try:
                p.kill()
            except OSError:
                pass
        try:
            p.wait(timeout=5)
        except subprocess.TimeoutExpired:
            pass
    for s in socks:
        try:
            s.close()
        except OSError:
            pass
    for name in names:
        subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL, check=False)
    for d in dirs:
        shutil.rmtree(d, ignore_errors=True)


def forget_namespace(name):
    with _lock:
        if name in _namespaces:
            _namespaces.remove(name)


def add_namespace(name):
    with _lock:
        _namespaces.append(name)


def sweep_leftovers():
    """Removes what an earlier run that was killed outright (SIGKILL: no clean-up) left behind:
    temporary roots and network namespaces named after a suite process that no longer exists."""
    def gone(pid):
        return not os.path.exists(f"/proc/{pid}")

    tmp = tempfile.gettempdir()
    for entry in os.listdir(tmp):
        m = re.match(SUITE_PREFIX + r"(\d+)-", entry)
        if m and gone(m.group(1)):
            shutil.rmtree(os.path.join(tmp, entry), ignore_errors=True)
    if shutil.which("ip") is None:
        return
    names = subprocess.run(["ip", "netns", "list"], capture_output=True, text=True,
                           check=False).stdout.split()
    for name in names:
        m = re.fullmatch(NETNS_PREFIX + r"(\d+)[ab]", name)
        if m and gone(m.group(1)):
            subprocess.run(["ip", "netns", "delete", name], stderr=subprocess.DEVNULL, check=False)


def die_with_parent():
    """In a child before exec: killed when the suite ends, however it ends."""
    _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)


def interrupt_handler(signum, _frame):
    raise KeyboardInterrupt(f"signal {signum}")


# --- sandbox: a root directory and a pty as the serial port ---------------------------------


class Sandbox:
    """A root for ORVANED_ROOT with the daemon's directories, version files, a settings file and a
    pty whose slave is linked as ROOT/dev/ttyS0. The suite keeps both pty ends open; the master is
    the DTE."""

    def __init__(self, name, **settings):
        self.name = name
        self.root = tempfile.mkdtemp(prefix=f"{SUITE_PREFIX}{os.getpid()}-{name}-")
        with _lock:
            _dirs.append(self.root)
        for rel in ("opt/orvane/etc", "etc", "var/run", "var/lock", "var/orvane", "dev"):
            os.makedirs(os.path.join(self.root, rel), exist_ok=True)
        self.write("opt/orvane/etc/version", "orvane-module stress\n")
        self.write("etc/version", "router stress\n")
        self.master, self.slave = os.openpty()
        tty.setraw(self.slave)  # until the daemon sets the line up itself: no echo, no editing
        os.set_blocking(self.master, False)
        os.symlink(os.ttyname(self.slave), self.path("dev/ttyS0"))
        self.settings = dict(BASE_SETTINGS)
        self.settings.update(settings)
        self.write_settings()
        self.pending = b""  # bytes read from the line but not yet consumed

    def path(self, rel):
        return os.path.join(self.root, rel)

    def write(self, rel, text):
        with open(self.path(rel), "w", encoding="ascii") as f:
            f.write(text)

    def read(self, rel):
        with open(self.path(rel), "rb") as f:
            return f.read()

    def set(self, **settings):
        self.settings.update({k: str(v) for k, v in settings.items()})
        self.write_settings()

    def write_settings(self):
        text = "".join(f"{k}={v}\n" for k, v in self.settings.items())
        self.write("opt/orvane/etc/settings", text)

    @property
    def port(self):
        return int(self.settings["MOD_ORVANE_PORT"])

    def close(self):
        for fd in (self.master, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass

    # DTE side of the serial line.

    def send(self, data, timeout=20):
        view = memoryview(data)
        deadline = time.monotonic() + timeout
        while view:
            try:
                n = os.write(self.master, view)
                view = view[n:]
                continue
            except BlockingIOError:
                pass
            left = deadline - time.monotonic()
            if left <= 0:
                raise Failure(f"{self.name}: serial line takes no bytes ({len(view)} left)")
            select.select([], [self.master], [], min(left, 0.5))

    def read_some(self, timeout):
        """Bytes that arrive within `timeout` (at most one read), b"" when none."""
        if self.pending:
            data, self.pending = self.pending, b""
            return data
        r, _, _ = select.select([self.master], [], [], max(timeout, 0))
        if not r:
            return b""
        try:
            return os.read(self.master, 65536)
        except BlockingIOError:
            return b""

    def expect(self, token, timeout=10, what=None):
        """Reads the line until `token` has arrived; returns what came up to and including it
        and keeps the rest for the next read."""
        got = self.pending
        self.pending = b""
        deadline = time.monotonic() + timeout
        while token not in got:
            left = deadline - time.monotonic()
            r, _, _ = select.select([self.master], [], [], max(left, 0))
            if r:
                try:
                    got += os.read(self.master, 65536)
                except BlockingIOError:
                    pass
            if left <= 0 and token not in got:
                self.pending = got  # a later expect sees them again
                raise Failure(f"{self.name}: no {what or token!r} within {timeout} s; got "
                              f"{got[-200:]!r}")
        end = got.index(token) + len(token)
        self.pending = got[end:]
        return got[:end]

    def arrived(self, token):
        """True when `token` has arrived (consumed with what came before it); does not wait."""
        try:
            self.expect(token, timeout=0)
            return True
        except Failure:
            return False

    def command(self, line, token=OK, timeout=10):
        """Types an AT command line (CR added) and waits for `token`."""
        self.send(line + b"\r")
        return self.expect(token, timeout)

    def drain(self, quiet=0.05):
        """Reads and drops what arrives until the line has been quiet for `quiet` seconds."""
        self.pending = b""
        while self.read_some(quiet):
            pass


# --- the daemon process ---------------------------------------------------------------------


def pick_port():
    """A port that is free now. Another process may take it before the daemon binds it: the
    daemon then fails to start with a bind error and start_daemon tries another port."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("0.0.0.0", 0))
        return s.getsockname()[1]


class Daemon:
    """The daemon binary run on a sandbox with ORVANED_ROOT and ORVANED_LOG_STDERR=1; a thread
    collects its log lines (with their arrival time)."""

    def __init__(self, box, binary, netns=None, preload=None, env=None):
        self.box = box
        self.binary = binary
        self.netns = netns
        self.preload = preload
        self.extra_env = env or {}
        self.proc = None
        self.lines = []  # (monotonic time, text)
        self.log_bytes = 0
        self._reader = None

    @property
    def pid(self):
        return self.proc.pid

    def spawn(self):
        env = dict(os.environ)
        env.update(ORVANED_ROOT=self.box.root, ORVANED_LOG_STDERR="1")
        if self.preload:
            env["LD_PRELOAD"] = self.preload
        env.update(self.extra_env)
        argv = [self.binary]
        self.port = self.box.port  # the port it listens on; the settings may later name another
        if self.netns:
            argv = ["ip", "netns", "exec", self.netns] + argv
        self.lines = []
        self.log_bytes = 0
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
                                     preexec_fn=die_with_parent)
        with _lock:
            _processes.append(self.proc)
        self._reader = threading.Thread(target=self._collect, args=(self.proc,), daemon=True)
        self._reader.start()

    def _collect(self, proc):
        for raw in proc.stderr:
            self.log_bytes += len(raw)
            self.lines.append((time.monotonic(), raw.decode("latin-1").rstrip("\n")))

    def listening(self):
        """The process owns a socket in LISTEN state on its port."""
        if _pidfd_works:
            found = listening_by_descriptor(self.pid, self.port)
            if found is not None:
                return found
        return listening_by_table(self.pid, self.port)

    def wait_listening(self, timeout=10, poll=0.002):
        """Waits until the daemon listens; returns the seconds it took, or raises Failure when
        it exits first or is not listening by the deadline."""
        start = time.monotonic()
        while True:
            if self.proc.poll() is not None:
                raise Failure(f"{self.box.name}: daemon exited with status {self.proc.returncode}"
                              f" before listening; log: {self.log_tail()}")
            if self.listening():
                return time.monotonic() - start
            if time.monotonic() - start > timeout:
                raise Failure(f"{self.box.name}: daemon not listening after {timeout} s; log: "
                              f"{self.log_tail()}")
            time.sleep(poll)

    def log_tail(self, n=8):
        return " | ".join(text for _, text in self.lines[-n:])

    def log_count(self, text, since=0.0):
        return sum(1 for t, line in self.lines if t >= since and text in line)

    def figures(self):
        """Resident and private memory (KiB), open descriptors and CPU time (s) so far."""
        fig = {}
        with open(f"/proc/{self.pid}/status", encoding="ascii") as f:
            for line in f:
                key, _, value = line.partition(":")
                if key in ("VmRSS", "RssAnon"):
                    fig[key] = int(value.split()[0])
        fig["fds"] = len(os.listdir(f"/proc/{self.pid}/fd"))
        fig["cpu"] = cpu_seconds(self.pid)
        return fig

    def signal(self, sig):
        self.proc.send_signal(sig)

    def kill9(self):
        self.proc.kill()
        self.proc.wait()

    def stop(self, timeout=10):
        """SIGTERM, then the exit status (SIGKILL after `timeout`)."""
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            raise Failure(f"{self.box.name}: daemon did not stop within {timeout} s of SIGTERM")


_libc = ctypes.CDLL(None, use_errno=True)
SYS_PIDFD_OPEN, SYS_PIDFD_GETFD = 434, 438  # the same number on every architecture
_pidfd_works = True


def listening_by_descriptor(pid, port):
    """Looks at each socket of the process through a copy of its descriptor (pidfd_getfd):
    listening (SO_ACCEPTCONN) and bound to `port`. Cost does not depend on how many sockets the
    machine has. None when the kernel does not allow it."""
    global _pidfd_works
    pidfd = _libc.syscall(SYS_PIDFD_OPEN, pid, 0)
    if pidfd < 0:
        if ctypes.get_errno() != errno.ESRCH:
            _pidfd_works = False
            return None
        return False
    try:
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                if not os.readlink(f"/proc/{pid}/fd/{fd}").startswith("socket:"):
                    continue
            except OSError:
                continue
            copy = _libc.syscall(SYS_PIDFD_GETFD, pidfd, int(fd), 0)
            if copy < 0:
                if ctypes.get_errno() in (errno.ENOSYS, errno.EPERM):
                    _pidfd_works = False
                    return None
                continue
            with socket.socket(fileno=copy) as s:
                try:
                    if (s.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN)
                            and s.family in (socket.AF_INET, socket.AF_INET6)
                            and s.getsockname()[1] == port):
                        return True
                except OSError:
                    continue
        return False
    except OSError:
        return False
    finally:
        os.close(pidfd)


def listening_by_table(pid, port):
    """The same from the process's /proc/PID/net/tcp, which lists every TCP socket of its
    network namespace (slow when tens of thousands are in TIME_WAIT)."""
    inodes = set()
    try:
        with open(f"/proc/{pid}/net/tcp", encoding="ascii") as f:
            next(f)
            for line in f:
                fields = line.split()
                if fields[3] == "0A" and int(fields[1].split(":")[1], 16) == port:
                    inodes.add(fields[9])
        if not inodes:
            return False
        for fd in os.listdir(f"/proc/{pid}/fd"):
            try:
                target = os.readlink(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if target.startswith("socket:[") and target[8:-1] in inodes:
                return True
    except (OSError, StopIteration):
        return False
    return False


def cpu_seconds(pid):
    """CPU time used by a process, from its scheduler statistics (nanoseconds) when the kernel
    keeps them, else from utime + stime (clock ticks)."""
    try:
        with open(f"/proc/{pid}/schedstat", encoding="ascii") as f:
            return int(f.read().split()[0]) / 1e9
    except (OSError, ValueError, IndexError):
        with open(f"/proc/{pid}/stat", encoding="ascii") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_daemon(box, binary, tries=8, **kw):
    """Starts a daemon on the sandbox and waits until it listens. On loopback its port is picked
    now; a daemon that loses that port to another process before binding it exits with a bind
    error and is started again on another port."""
    for _ in range(tries):
        if kw.get("netns") is None:
            box.set(MOD_ORVANE_PORT=pick_port())
        d = Daemon(box, binary, **kw)
        d.spawn()
        try:
            d.wait_listening()
            return d
        except Failure:
            d.proc.wait()
            time.sleep(0.05)  # let the log reader take the last lines
            if any("bind socket error" in text for _, text in d.lines) and kw.get("netns") is None:
                continue
            raise
    raise Failure(f"{box.name}: no free port found in {tries} tries")


# --- TCP test peer --------------------------------------------------------------------------


def listener(rcvbuf=0):
    """A socket listening on 127.0.0.1 on a port the kernel picked (no race); `rcvbuf` > 0 sets
    the receive buffer of the connections it accepts."""
    s = register_socket(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    s.bind(("127.0.0.1", 0))
    s.listen(64)
    return s


def accept(sock, timeout=10):
    sock.settimeout(timeout)
    try:
        conn, _ = sock.accept()
    except socket.timeout as e:
        raise Failure(f"no connection to the test peer within {timeout} s") from e
    conn.settimeout(None)
    return register_socket(conn)


def connect(port, source=None, timeout=10, sndbuf=0):
    s = register_socket(socket.socket(socket.AF_INET, socket.SOCK_STREAM))
    if sndbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, sndbuf)
    if source:
        s.bind((source, 0))
    s.settimeout(timeout)
    s.connect(("127.0.0.1", port))
    s.settimeout(None)
    return s


def recv_exact(sock, n, timeout=10):
    sock.settimeout(timeout)
    got = b""
    try:
        while len(got) < n:
            chunk = sock.recv(n - len(got))
            if not chunk:
                break
            got += chunk
    except socket.timeout:
        pass
    finally:
        sock.settimeout(None)
    return got


def wait_closed(sock, timeout=10):
    """True when the other end closes (end of stream or reset) within `timeout`; bytes that
    arrive before are dropped."""
    deadline = time.monotonic() + timeout
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        sock.settimeout(left)
        try:
            if not sock.recv(65536):
                return True
        except socket.timeout:
            return False
        except OSError:
            return True
        finally:
            sock.settimeout(None)


def close_with_reset(sock):
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\x01\x00\x00\x00\x00\x00\x00\x00")
    sock.close()


# --- calls ----------------------------------------------------------------------------------


def point_dial_port(box, port):
    """The daemon dials the port of its settings: rewrite it and reload the settings (ATZ)."""
    box.set(MOD_ORVANE_PORT=port)
    box.command(b"ATZ")


def call_daemons(caller, callee):
    """caller dials 127.0.0.1 at the callee's port (already pointed there); the callee's DTE
    answers the first RING with ATA; both DTEs end with CONNECT."""
    caller.box.send(DIAL_LOOPBACK)
    callee.box.expect(RING, what="RING")
    callee.box.send(b"ATA\r")
    callee.box.expect(CONNECT, what="CONNECT (answering side)")
    caller.box.expect(CONNECT, what="CONNECT (calling side)")


def dial_peer(daemon, peer_listener):
    """The daemon (already pointed at the peer's port) dials the test peer, which answers at
    once with the answer byte. Returns the peer's socket."""
    daemon.box.send(DIAL_LOOPBACK)
    conn = accept(peer_listener)
    conn.sendall(b"X")
    daemon.box.expect(CONNECT, what="CONNECT (dialling the test peer)")
    return conn


def peer_calls(daemon, source=None):
    """The test peer calls the daemon, whose DTE answers the first RING with ATA; returns the
    peer's socket once the answer byte has arrived."""
    conn = connect(daemon.port, source)
    daemon.box.expect(RING, what="RING")
    daemon.box.send(b"ATA\r")
    daemon.box.expect(CONNECT, what="CONNECT (answering the test peer)")
    if recv_exact(conn, 1) != b"X":
        raise Failure("test peer: no answer byte")
    return conn


def escape(box):
    """Escape sequence, then the guard time: OK in command mode."""
    box.send(b"+++")
    box.expect(OK, what="OK after the escape sequence")


def escape_slowly(box, timeout):
    """Escape sequence typed while the line may still hold data for the daemon: OK within
    `timeout`."""
    box.send(b"+++", timeout=timeout)
    box.expect(OK, timeout=timeout, what="OK after the escape sequence")


def pattern(n, seed):
    """Reproducible pseudo-random bytes."""
    import random

    return random.Random(seed).randbytes(n)


def size_text(n):
    """A byte count as MiB or KiB."""
    if n >= 2**20:
        return f"{n / 2**20:.1f} MiB".replace(".0 ", " ")
    return f"{n / 1024:.0f} KiB"


def load_average():
    with open("/proc/loadavg", encoding="ascii") as f:
        return f.read().split()[0]
