"""Slow WAN: daemons A and B call each other through a relay that adds 300 ms each way and lets
64 kbit/s through, as a cellular link does. A ZMODEM-size transfer each way must arrive
byte-exact; then escape and ATH on A must end the call promptly on both sides."""

import time

import harness as h
import relay
import transfer

DELAY = 0.3  # seconds each way
RATE = 8000  # bytes a second each way: 64 kbit/s
PROMPT = 1.0  # seconds allowed beyond the guard time and the link's delay


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
    sent = call.finish(timeout=size / RATE * 2 + 60)
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
            f"escape: OK {escaped:.2f} s after +++ (guard {guard:.2f} s); ATH: OK after "
            f"{hung_up * 1000:.0f} ms, NO CARRIER at B after {far_end:.2f} s",
        ],
        "problems": problems,
    }
