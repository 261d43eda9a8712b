"""Soak: call/hang-up cycles between two daemons (A, B) and between A and a test peer (P),
calling from both sides and hanging up from alternating sides by every cause; memory and
descriptors of both daemons must not grow after the first 100 calls."""

import os
import time

import harness as h

# Who calls whom, in turn: A dials B, B dials A, A dials P, P calls A.
PAIRS = ("A>B", "B>A", "A>P", "P>A")
# Hang-up causes of a daemon's side, and of the test peer's side.
DAEMON_CAUSES = ("escape + ATH", "DTR drop (&D2)")
PEER_CAUSES = ("peer close", "peer reset")
WARM_UP = 100  # calls; fewer in a short run (a quarter of it)
# Bytes each side sends in every call, checked at the other end.
CALL_BYTES = 64
# A growth up to one page after warm-up is taken as a first use of a page, not as growth.
PAGE_KIB = 4


def run(ctx):
    calls = ctx.size["calls"]
    inactivity_every = ctx.size["inactivity_every"]
    boxes = {n: h.Sandbox("soak-" + n, MOD_ORVANE_STAT_DTR_ACTION="2") for n in "AB"}
    flags = {n: os.path.join(boxes[n].root, "dtr-down") for n in "AB"}
    daemons = {n: h.start_daemon(boxes[n], ctx.binary, preload=ctx.shim,
                                 env={"ORVANE_STRESS_DTR_DOWN": flags[n]}) for n in "AB"}
    peer = h.listener()
    peer_port = peer.getsockname()[1]
    a, b = daemons["A"], daemons["B"]
    b_port = b.port
    # B always dials A; A dials B or P and is pointed at the right port before each dial.
    h.point_dial_port(b.box, a.port)
    a_target = None
    samples = []  # (calls done, figures of A, figures of B)
    causes_seen = {}
    started = time.monotonic()
    inactivity_calls = 0
    every = 100 if calls >= 1000 else 10  # calls between two samples of the figures
    warm_up = WARM_UP if calls >= 4 * WARM_UP else max(every, calls // 4 // every * every)

    for i in range(calls):
        pair = PAIRS[i % 4]
        hang_caller = (i // 4) % 2 == 0
        variant = (i // 8) % 2
        inactivity = inactivity_every and i % inactivity_every == 1
        if pair in ("A>B", "A>P"):
            want = b_port if pair == "A>B" else peer_port
            if a_target != want:
                h.point_dial_port(a.box, want)
                a_target = want
        if inactivity:
            pair = "A>B"
            if a_target != b_port:
                h.point_dial_port(a.box, b_port)
                a_target = b_port
        try:
            cause = one_call(i, pair, hang_caller, variant, inactivity, daemons, flags, peer)
        except h.Failure as e:
            raise h.Failure(f"call {i + 1} ({pair}): {e}") from e
        inactivity_calls += inactivity
        causes_seen[cause] = causes_seen.get(cause, 0) + 1
        done = i + 1
        if done % every == 0 or done == calls:
            # AT answered: the daemons have finished the pass that ended the call (a socket is
            # closed after the NO CARRIER is sent), so a descriptor is not counted in passing.
            a.box.command(b"AT")
            b.box.command(b"AT")
            samples.append((done, a.figures(), b.figures()))
            ctx.progress(f"soak: {done} calls")

    elapsed = time.monotonic() - started
    for d in daemons.values():
        if d.stop() != 0:
            raise h.Failure(f"{d.box.name}: exit status {d.proc.returncode} after SIGTERM")
    return judge(calls, elapsed, samples, causes_seen, inactivity_calls, warm_up)


def one_call(i, pair, hang_caller, variant, inactivity, daemons, flags, peer):
    """Call number i: set up, bytes both ways, hang-up; returns the cause used."""
    a, b = daemons["A"], daemons["B"]
    sock = None
    if pair == "A>B":
        ends = (a, b)
        h.call_daemons(a, b)
    elif pair == "B>A":
        ends = (b, a)
        h.call_daemons(b, a)
    elif pair == "A>P":
        ends = (a, None)
        sock = h.dial_peer(a, peer)
    else:
        ends = (None, a)
        sock = h.peer_calls(a)
    exchange(ends, sock, i)
    if inactivity:
        # Only A has an inactivity limit: the call ends after 10 s without traffic.
        return hang_up_inactivity(a, b)
    hanger, other = ends if hang_caller else ends[::-1]
    if hanger is None:
        cause = PEER_CAUSES[variant]
        if variant == 0:
            sock.close()
        else:
            h.close_with_reset(sock)
        other.box.expect(h.NO_CARRIER, what="NO CARRIER after the peer closed")
        return cause
    cause = DAEMON_CAUSES[variant]
    if variant == 0:
        h.escape(hanger.box)
        hanger.box.command(b"ATH")
    else:
        flag = next(flags[n] for n, d in daemons.items() if d is hanger)
        open(flag, "w").close()
        hanger.box.expect(h.NO_CARRIER, what="NO CARRIER after the DTR drop")
        os.unlink(flag)
    if other is None:
        if not h.wait_closed(sock):
            raise h.Failure("test peer: connection not closed after the daemon hung up")
        sock.close()
    else:
        other.box.expect(h.NO_CARRIER, what="NO CARRIER on the far side")
    return cause


def exchange(ends, sock, i):
    """CALL_BYTES each way (different in every call), checked byte for byte."""
    data = [h.pattern(CALL_BYTES, 2 * i).replace(b"+", b"-"),
            h.pattern(CALL_BYTES, 2 * i + 1).replace(b"+", b"-")]
    for (src, dst), payload in zip((ends, ends[::-1]), data):
        if src is None:
            sock.sendall(payload)
        else:
            src.box.send(payload)
        if dst is None:
            got = h.recv_exact(sock, len(payload))
        else:
            got = b""
            deadline = time.monotonic() + 10
            while len(got) < len(payload) and time.monotonic() < deadline:
                got += dst.box.read_some(deadline - time.monotonic())
            dst.box.pending = got[len(payload):]
            got = got[:len(payload)]
        if got != payload:
            raise h.Failure(f"data in the call not exact: sent {payload!r}, got {got!r}")


def hang_up_inactivity(a, b):
    """A has S10=1: both sides see NO CARRIER about 10 s after the last byte."""
    a.box.send(b"+++")
    a.box.expect(h.OK)
    a.box.command(b"ATS10=1")
    a.box.command(b"ATO", token=h.CONNECT)
    start = time.monotonic()
    a.box.expect(h.NO_CARRIER, timeout=25, what="NO CARRIER after S10 inactivity")
    b.box.expect(h.NO_CARRIER, what="NO CARRIER on the far side after inactivity")
    waited = time.monotonic() - start
    if not 9 <= waited <= 13:
        raise h.Failure(f"inactivity hang-up after {waited:.1f} s, not about 10 s")
    a.box.command(b"ATS10=0")
    return "S10 inactivity"


def judge(calls, elapsed, samples, causes_seen, inactivity_calls, warm_up):
    lines = [f"{calls} calls in {elapsed:.0f} s ({calls / elapsed:.1f} calls/s)",
             "causes: " + ", ".join(f"{k} {v}" for k, v in sorted(causes_seen.items()))]
    growth = []
    base = next((s for s in samples if s[0] == warm_up), samples[0])
    for idx, name in ((1, "A"), (2, "B")):
        series = [(s[0], s[idx]) for s in samples]
        first, last = base[idx], series[-1][1]
        peak_rss = max(f["VmRSS"] for n, f in series if n >= base[0])
        peak_anon = max(f["RssAnon"] for n, f in series if n >= base[0])
        fds = sorted({f["fds"] for n, f in series if n >= base[0]})
        lines.append(f"{name}: VmRSS {first['VmRSS']}→{last['VmRSS']} KiB (peak {peak_rss}), "
                     f"RssAnon {first['RssAnon']}→{last['RssAnon']} KiB (peak {peak_anon}), "
                     f"fds {'/'.join(map(str, fds))}, CPU {last['cpu']:.2f} s")
        if peak_rss > first["VmRSS"] + PAGE_KIB or peak_anon > first["RssAnon"] + PAGE_KIB:
            growth.append(f"{name} memory grew after call {base[0]}")
        if len(fds) > 1:
            growth.append(f"{name} descriptors changed after call {base[0]}")
    step = max(1, (len(samples) - 1) // 10)
    series = samples[::step]
    if series[-1][0] != samples[-1][0]:
        series.append(samples[-1])
    missing = [c for c in DAEMON_CAUSES + PEER_CAUSES if c not in causes_seen]
    if inactivity_calls == 0:
        missing.append("S10 inactivity")
    return {
        "ok": not growth and not missing,
        "load": f"{calls} calls (4 directions, {len(causes_seen)} hang-up causes)",
        "goal": (f"no growth of memory or descriptors after call {base[0]}", not growth),
        "figures": lines,
        "series": {
            "title": "Soak: the daemons' figures after every tenth of the calls",
            "head": ["calls", "A VmRSS (KiB)", "A RssAnon (KiB)", "A fds", "B VmRSS (KiB)",
                     "B RssAnon (KiB)", "B fds"],
            "rows": [[n, fa["VmRSS"], fa["RssAnon"], fa["fds"], fb["VmRSS"], fb["RssAnon"],
                      fb["fds"]] for n, fa, fb in series],
        },
        "problems": growth + [f"cause never used: {c}" for c in missing],
    }
