"""Slow WAN: daemons A and B call each other through a relay that adds 300 ms each way and lets
64 kbit/s through, as a cellular link does. A ZMODEM-size transfer each way must arrive
byte-exact; then escape and ATH on A must end the call promptly on both sides."""

import os
import select
import threading
import time

import harness as h
import relay
import transfer

DELAY = 0.3  # seconds each way
RATE = 8000  # bytes a second each way: 64 kbit/s
PROMPT = 3.0  # seconds allowed beyond the guard time and the delay (a busy machine is slow)
BUSY_SECONDS = 5  # how long A's DTE sends before escaping in the middle of a transfer


def run(ctx):
    size = ctx.size["wan_kib"] << 10
    a = h.start_daemon(h.Sandbox("wan-A"), ctx.binary)
    b = h.start_daemon(h.Sandbox("wan-B"), ctx.binary)
    link = relay.Relay(b.port, DELAY, RATE)
    h.point_dial_port(a.box, link.port)
    start = time.monotonic()
    h.call_daemons(a, b)
    setup = time.monotonic() - start

    # The escape character is left out of the data: at this rate the DTE is held back for
    # seconds at a time, long enough for the guard time to pass after any "+++" in the data.
    call = transfer.Stream(a.box.master, b.box.master, size, without=b"+")
    start = time.monotonic()
    call.start()
    sent = call.finish(timeout=size / RATE * 2 + 60, settle=size / RATE + 30)
    elapsed = time.monotonic() - start
    problems = list(call.errors)

    guard = int(a.box.settings["MOD_ORVANE_SREG_ESC_DELAY"]) * 0.02
    start = time.monotonic()
    h.escape(a.box)
    escaped = time.monotonic() - start
    start = time.monotonic()
    a.box.command(b"ATH")
    hung_up = time.monotonic() - start
    b.box.expect(h.NO_CARRIER, timeout=10, what="NO CARRIER at B after ATH at A")
    far_end = time.monotonic() - start
    busy = escape_during_transfer(a, b, BUSY_SECONDS if size >= 256 << 10 else 1)
    link.close()
    if escaped > guard + PROMPT:
        problems.append(f"escape took {escaped:.2f} s (guard {guard:.2f} s)")
    if far_end > DELAY + PROMPT:
        problems.append(f"B saw the end {far_end:.2f} s after ATH")
    for d in (a, b):
        if d.stop() != 0:
            problems.append(f"{d.box.name}: exit status {d.proc.returncode} after SIGTERM")
    rate = sent[0] / elapsed if elapsed else 0
    return {
        "ok": not problems,
        "load": f"{h.size_text(size)} each way over {DELAY * 1000:.0f} ms and "
                f"{RATE * 8 // 1000} kbit/s each way",
        "figures": [
            f"call set up in {setup:.2f} s",
            f"transfer: {h.size_text(sent[0])} each way in {elapsed:.1f} s ({rate * 8 / 1000:.1f} "
            f"kbit/s each way), {'byte-exact' if not call.errors else 'NOT exact'}",
            f"escape after the transfer: OK {escaped:.2f} s after +++ (guard {guard:.2f} s); ATH: "
            f"OK after {hung_up * 1000:.0f} ms, NO CARRIER at B after {far_end:.2f} s",
            busy,
        ],
        "problems": problems,
    }


def escape_during_transfer(a, b, seconds):
    """A second call: A's DTE sends as fast as the link lets it for `seconds`, then stops and
    types the escape sequence and ATH at once. Returns the figures: how long the escape and the
    far end's NO CARRIER took while the link still held A's bytes."""
    h.call_daemons(a, b)
    data = h.pattern(RATE * seconds * 4, 41).replace(b"+", b"-")
    stop = threading.Event()
    got = {"bytes": 0, "end": None}

    def receive():  # B's DTE: counts what arrives, notes when NO CARRIER does
        tail = b""
        while got["end"] is None and not stop.is_set():
            chunk = b.box.read_some(0.2)
            got["bytes"] += len(chunk)
            tail = (tail + chunk)[-64:]
            if h.NO_CARRIER in tail:
                got["end"] = time.monotonic()

    reader = threading.Thread(target=receive, daemon=True)
    reader.start()
    sent = 0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        select.select([], [a.box.master], [], 0.1)
        try:
            sent += os.write(a.box.master, data[sent:sent + 4096])
        except BlockingIOError:
            pass
    start = time.monotonic()
    try:
        h.escape_slowly(a.box, timeout=120)
        escaped = time.monotonic() - start
        a.box.command(b"ATH")
        hung_up = time.monotonic()
        reader.join(120)
        far = f"{got['end'] - hung_up:.1f} s" if got["end"] else "not within 120 s"
        return (f"escape during a transfer ({h.size_text(sent)} sent by A's DTE in {seconds} s): "
                f"OK {escaped:.1f} s after +++; after ATH B received "
                f"{h.size_text(got['bytes'])} in all and NO CARRIER {far} after it")
    finally:
        stop.set()
