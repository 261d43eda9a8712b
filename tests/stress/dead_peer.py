"""Dead peer: daemon A in one network namespace calls daemon B in another over a veth pair, with
TCP keepalive on; then B's end of the link is taken down, once with the call idle and once with
data in flight from A. Both sides must see NO CARRIER within the keepalive span (idle time plus
probes times interval) give or take a second. Then a live peer that answers but stops reading
(after a second, shrinking its receive buffer to 4 KiB: A's kernel probes the closed window with
data) calls A while A's DTE keeps writing: A keeps the call for the stall time, far beyond the
span. All of it with each keepalive set. The namespaces and the veth pair are the suite's own:
no traffic leaves them."""

import os
import shutil
import subprocess
import sys
import time

import harness as h

ADDR_A, ADDR_B = "192.0.2.1", "192.0.2.2"  # a documentation range, only inside the namespaces
DIAL_B = b"ATD192000002002\r"
TOLERANCE = 1.0
EXTRA_WAIT = 15  # seconds waited beyond the span before a side counts as never noticing


def ip(*args):
    r = subprocess.run(["ip", *args], capture_output=True, text=True, check=False)
    if r.returncode != 0:
        raise h.Failure(f"ip {' '.join(args)}: {r.stderr.strip()}")


def make_namespaces(tag):
    """Two namespaces joined by a veth pair; skips the scenario when the machine refuses."""
    if os.geteuid() != 0:
        raise h.Skip("needs root for network namespaces")
    if shutil.which("ip") is None:
        raise h.Skip("needs ip (iproute2) for network namespaces")
    names = (tag + "a", tag + "b")
    for n in names:
        r = subprocess.run(["ip", "netns", "add", n], capture_output=True, text=True, check=False)
        if r.returncode != 0:
            raise h.Skip(f"network namespaces refused: {r.stderr.strip()}")
        h.add_namespace(n)
    try:
        ip("-n", names[0], "link", "add", "va", "type", "veth", "peer", "name", "vb", "netns",
           names[1])
    except h.Failure as e:
        raise h.Skip(f"veth pair refused: {e}") from e
    for n, dev, addr in ((names[0], "va", ADDR_A), (names[1], "vb", ADDR_B)):
        ip("-n", n, "link", "set", "lo", "up")
        ip("-n", n, "addr", "add", addr + "/24", "dev", dev)
        ip("-n", n, "link", "set", dev, "up")
    return names


# A caller that reads for a second from its first line of input, then shrinks its receive
# buffer to 4 KiB and reads nothing until its stdin closes.
STALLED_CALLER = """
import socket, sys, time
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=2)
print("connected", flush=True)
sys.stdin.readline()
end = time.monotonic() + 1
while time.monotonic() < end:
    s.recv(65536)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
sys.stdin.read()
"""


def stalled_peer(ctx, a, ns_b):
    """A's DTE writes while the caller in B's namespace takes nothing; returns (seconds the call
    lasted or None when it was kept, KiB A's DTE got rid of)."""
    hold = ctx.size["stall_seconds"]
    caller = subprocess.Popen(["ip", "netns", "exec", ns_b, sys.executable, "-c", STALLED_CALLER,
                               ADDR_A, str(a.box.port)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True, bufsize=1)
    try:
        if caller.stdout.readline().strip() != "connected":
            raise h.Failure("the stalled caller did not connect")
        a.box.expect(h.RING)
        a.box.send(b"ATA\r")
        a.box.expect(h.CONNECT)
        caller.stdin.write("read\n")
        start = time.monotonic()
        chunk, written, lasted = h.pattern(1024, 7).replace(b"+", b"-"), 0, None
        while time.monotonic() - start < hold:
            try:
                written += os.write(a.box.master, chunk)
            except BlockingIOError:
                time.sleep(0.05)
            if a.box.arrived(h.NO_CARRIER):
                lasted = time.monotonic() - start
                break
    finally:
        caller.stdin.close()
        caller.wait()
    if lasted is None:
        try:
            a.box.expect(h.NO_CARRIER, timeout=10)  # the caller's close resets the call
        except h.Failure:
            h.escape(a.box)
            a.box.command(b"ATH")
    # What the DTE wrote and the call did not take is command text now: end its line.
    a.box.send(b"\r")
    a.box.drain(0.5)
    a.box.command(b"AT")
    return lasted, written // 1024


def run(ctx):
    ns_a, ns_b = make_namespaces(f"{h.NETNS_PREFIX}{os.getpid()}")
    sets = [(f"{i}/{v}/{p}: ", one_set(ctx, ns_a, ns_b, i, v, p))
            for i, v, p in ctx.size["keepalive"]]
    for n in (ns_a, ns_b):
        subprocess.run(["ip", "netns", "delete", n], check=False)
        h.forget_namespace(n)
    return {"ok": all(r["ok"] for _, r in sets), "load": "; ".join(r["load"] for _, r in sets),
            "goal": ("NO CARRIER within the span ± 1 s; the stalled call kept",
                     all(r["goal"][1] for _, r in sets)),
            "figures": [tag + f for tag, r in sets for f in r["figures"]],
            "problems": [tag + p for tag, r in sets for p in r["problems"]]}


def one_set(ctx, ns_a, ns_b, idle, interval, probes):
    span = idle + interval * probes
    settings = {"MOD_ORVANE_KEEPALIVE": "1", "MOD_ORVANE_KEEPALIVE_TIME": str(idle),
                "MOD_ORVANE_KEEPALIVE_INTVL": str(interval),
                "MOD_ORVANE_KEEPALIVE_PROBES": str(probes)}
    a = h.start_daemon(h.Sandbox(f"dead-A{span}", **settings), ctx.binary, netns=ns_a)
    b = h.start_daemon(h.Sandbox(f"dead-B{span}", **settings), ctx.binary, netns=ns_b)
    figures, problems = [], []
    met = True
    for case in ("idle", "data in flight"):
        a.box.send(DIAL_B)
        b.box.expect(h.RING)
        b.box.send(b"ATA\r")
        b.box.expect(h.CONNECT)
        a.box.expect(h.CONNECT)
        connected = time.monotonic()
        ip("-n", ns_b, "link", "set", "vb", "down")
        down = time.monotonic()
        if case == "data in flight":
            a.box.send(h.pattern(4096, 31).replace(b"+", b"-"))
        # A's probes or retransmissions start from the last packet it had from B (the answer);
        # with data in flight, from the moment the data could not be delivered.
        origin = connected if case == "idle" else down
        seen = {"A": None, "B": None}
        deadline = down + span + EXTRA_WAIT
        while None in seen.values() and time.monotonic() < deadline:
            for name, d in (("A", a), ("B", b)):
                if seen[name] is None and d.box.arrived(h.NO_CARRIER):
                    seen[name] = time.monotonic() - (connected if name == "B" else origin)
            time.sleep(0.01)
        ip("-n", ns_b, "link", "set", "vb", "up")
        text = []
        for name in ("A", "B"):
            t = seen[name]
            if t is None:
                text.append(f"{name}: no NO CARRIER within {span + EXTRA_WAIT} s")
                met = False
                problems.append(f"{case}: {name} did not notice the dead link within "
                                f"{span + EXTRA_WAIT} s")
            else:
                text.append(f"{name}: NO CARRIER after {t:.1f} s")
                met = met and abs(t - span) <= TOLERANCE
        figures.append(f"{case}: " + ", ".join(text))
        for name, d in (("A", a), ("B", b)):
            if seen[name] is None:
                # Still in the call: with the link back the call may end by itself; otherwise
                # the DTE ends it before the next case.
                try:
                    d.box.expect(h.NO_CARRIER, timeout=5)
                except h.Failure:
                    h.escape(d.box)
                    d.box.command(b"ATH")
            d.box.drain(0.2)
            d.box.command(b"AT")
    hold = ctx.size["stall_seconds"]
    lasted, kib = stalled_peer(ctx, a, ns_b)
    if lasted is None:
        figures.append(f"stalled but answering peer: call kept for {hold} s "
                       f"(A's DTE wrote {kib} KiB)")
    else:
        met = False
        problems.append(f"stalled but answering peer: NO CARRIER after {lasted:.1f} s")
        figures.append(f"stalled but answering peer: NO CARRIER after {lasted:.1f} s")
    for d in (a, b):
        if d.stop() != 0:
            problems.append(f"{d.box.name}: exit status {d.proc.returncode} after SIGTERM")
    return {
        "ok": not problems,
        "load": f"keepalive {idle} s + {probes} × {interval} s = {span} s; link down idle and "
                f"with 4 KiB in flight; a caller that stops reading for {hold} s",
        "goal": (f"NO CARRIER within {span} ± {TOLERANCE:.0f} s; the stalled call kept", met),
        "figures": figures,
        "problems": problems,
    }
