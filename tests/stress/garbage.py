"""Garbage: random bytes into daemon A's serial port in command mode (echo on), through a call in
data mode both ways, and from a caller while A rings. A must answer AT with OK after each phase,
pass the call's bytes exactly, and log a bounded amount whatever the input."""

import threading
import time

import harness as h
import transfer

CHUNK = 4096
# Log lines the whole scenario may cause: a few per call and phase, nothing per byte.
LOG_LINE_LIMIT = 200


def run(ctx):
    size = ctx.size["garbage_mib"] << 20
    box = h.Sandbox("garbage-A", MOD_ORVANE_STAT_ECHO="1", MOD_ORVANE_SREG_ESC="256")
    a = h.start_daemon(box, ctx.binary)
    settings_before = box.read("opt/orvane/etc/settings")
    figures, problems = [], []

    # Command mode: the line editor and the interpreter get everything.
    cpu = a.figures()["cpu"]
    t, echoed = feed_command_mode(box, h.pattern(size, 21))
    cpu = a.figures()["cpu"] - cpu
    reply = time_to_ok(box)
    figures.append(f"command mode: {h.size_text(size)} in {t:.1f} s ({size / t / 2**20:.1f} MiB/s, "
                   f"A's CPU {cpu:.1f} s), {h.size_text(echoed)} echoed back, AT answered "
                   f"{reply * 1000:.1f} ms after")
    if box.read("opt/orvane/etc/settings") != settings_before:
        figures.append("the settings file was rewritten by a random AT&W")
    box.command(b"ATZ")
    box.command(b"ATE0")

    # Data mode, both ways at once.
    peer = h.listener()
    h.point_dial_port(box, peer.getsockname()[1])
    conn = h.dial_peer(a, peer)
    start = time.monotonic()
    call = transfer.Stream(box.master, conn, size)
    call.start()
    sent = call.finish(timeout=max(120, size / 2**20 * 10))
    t = time.monotonic() - start
    problems += call.errors
    figures.append(f"data mode: {h.size_text(sent[0])} each way in {t:.1f} s, "
                   f"{'byte-exact' if not call.errors else 'NOT exact'}")
    conn.close()
    box.expect(h.NO_CARRIER)
    reply = time_to_ok(box)

    # A caller that sends garbage while A rings, then gives up.
    conn = h.connect(a.port)
    box.expect(h.RING)
    start = time.monotonic()
    conn.sendall(h.pattern(size // 4, 22))
    t = time.monotonic() - start
    conn.close()
    box.expect(h.NO_CARRIER, what="NO CARRIER after the ringing caller left")
    reply = time_to_ok(box)
    figures.append(f"ringing: {h.size_text(size // 4)} from the caller taken in {t:.1f} s and "
                   f"dropped, AT answered {reply * 1000:.1f} ms after")

    lines = len(a.lines)
    figures.append(f"log: {lines} lines, {a.log_bytes} bytes for {h.size_text(size * 13 // 4)} "
                   f"of input")
    if lines > LOG_LINE_LIMIT:
        problems.append(f"{lines} log lines (limit {LOG_LINE_LIMIT}): {a.log_tail()}")
    if a.stop() != 0:
        problems.append(f"exit status {a.proc.returncode} after SIGTERM")
    return {
        "ok": not problems,
        "load": f"{h.size_text(size)} in command mode, {h.size_text(size)} each way in a call, "
                f"{h.size_text(size // 4)} while ringing",
        "figures": figures,
        "problems": problems,
    }


def feed_command_mode(box, data):
    """Writes `data` to the DTE side while a thread reads what the daemon writes back; returns
    the seconds it took and the bytes read back."""
    back = [0]
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            back[0] += len(box.read_some(0.1))

    t = threading.Thread(target=reader, daemon=True)
    t.start()
    start = time.monotonic()
    for i in range(0, len(data), CHUNK):
        box.send(data[i:i + CHUNK], timeout=60)
    elapsed = time.monotonic() - start
    # Let the daemon finish what is queued before the reader stops.
    quiet_since = time.monotonic()
    last = back[0]
    while time.monotonic() - quiet_since < 0.5:
        time.sleep(0.1)
        if back[0] != last:
            last, quiet_since = back[0], time.monotonic()
    stop.set()
    t.join(5)
    return elapsed, back[0]


def time_to_ok(box):
    """Ends whatever line the garbage left open, then AT: the seconds until its OK."""
    box.send(b"\r")
    box.drain(0.2)
    start = time.monotonic()
    box.command(b"AT", timeout=10)
    return time.monotonic() - start
