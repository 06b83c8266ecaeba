"""Where the time of one request goes at light load: one master, one request at a time.

    python bench/request_breakdown.py [--requests N] [--warmup N] [--pause-ms MS] [--placement split|shared]
                                      [--trace-build DIR] [--strace] [--tools DIR] [--json FILE]

A master in this process (a raw socket, read 100 registers, closed loop) stamps each request's
send and the answer's arrival with time.monotonic_ns(). The server is a Holdbank build made with
-DHOLDBANK_TRACE=ON (built into --trace-build when missing), whose event loop stamps each wake-up
on the same clock: woken (its wait returned), locked (the interpreter lock taken), received, shaped
(the server's attributes read), executed, sent, unlocked. Matched by transaction id, the stages of
a request are:

    wake-up       master's send -> the loop's wait returns (the network path and the thread's wake-up)
    lock          -> the interpreter lock taken
    receive       -> the bytes received
    checks        -> what Python could observe looked at (the server's attributes, once per wake-up)
    bank+answer   -> the request executed and its answer built
    send          -> the answer sent
    unlock        -> the interpreter lock let go (after the send: not on the master's path)
    return        answer sent -> the master's receive returns (the network path, the master's wake-up)

The same master also measures the limit responder (bench/limit_server.cpp, from --tools), which
stamps its wake-up, receive and send the same way when LIMIT_TRACE_FILE is set. --strace runs the
Holdbank server twice more under `strace -f -c` (N and 2N requests) and prints the difference per
request: the system calls of one request, start-up and connection cancelled out. The server is pinned to core 0 and this master to core 1
(--placement shared: both to core 0). Figures are medians and 90th percentiles in microseconds.
"""
import argparse
import json
import os
import re
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
REGISTERS = 1000
SERVER_CORE, MASTER_CORE = 0, 1
SPANS = [  # (name, from, to): "send" and "recv" are the master's stamps
    ("wake-up", "send", "woken"),
    ("lock", "woken", "locked"),
    ("receive", "locked", "received"),
    ("checks", "received", "shaped"),
    ("bank+answer", "shaped", "executed"),
    ("send", "executed", "sent"),
    ("return", "sent", "recv"),
    ("unlock (after the send)", "sent", "unlocked"),
    ("round trip", "send", "recv"),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def build_traced(folder):
    """A Release-like build of the modules with the loop's stage stamps compiled in."""
    if not (folder / "build.ninja").exists():
        subprocess.run([str(ROOT / ".venv" / "bin" / "cmake"), "-S", str(ROOT), "-B", str(folder), "-G", "Ninja",
                        "-DCMAKE_BUILD_TYPE=Release", "-DHOLDBANK_TRACE=ON", "-DPython_EXECUTABLE=" + sys.executable],
                       check=True, stdout=subprocess.DEVNULL)
    subprocess.run([str(ROOT / ".venv" / "bin" / "cmake"), "--build", str(folder)], check=True,
                   stdout=subprocess.DEVNULL)


def start(command, env=None, core=SERVER_CORE):
    proc = subprocess.Popen(["taskset", "-c", str(core)] + command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env)
    return proc


def wait_for_port(port, proc, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if proc.poll() is not None:
            raise RuntimeError("the server ended: %s" % proc.stdout.read().decode(errors="replace"))
        try:
            socket.create_connection(("127.0.0.1", port), timeout=1.0).close()
            return
        except OSError:
            time.sleep(0.05)
    raise RuntimeError("the server did not listen within %.0f s" % timeout)


def recv_exactly(sock, n):
    data = bytearray()
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise RuntimeError("the server closed the connection")
        data += chunk
    return bytes(data)


PAUSE_S = 0.0005


def master(port, warmup, count):
    """Stamps of each measured request: {tx_id: (send_ns, recv_ns)}."""
    os.sched_setaffinity(0, {MASTER_CORE})
    stamps = {}
    with socket.create_connection(("127.0.0.1", port), timeout=10.0) as sock:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        pdu = struct.pack(">BHH", 3, 0, 100)
        for i in range(warmup + count):
            tx = i & 0xFFFF
            frame = struct.pack(">HHHB", tx, 0, len(pdu) + 1, 1) + pdu
            t0 = time.monotonic_ns()
            sock.sendall(frame)
            answer = recv_exactly(sock, 9 + 200)
            t1 = time.monotonic_ns()
            if answer[:2] != frame[:2]:
                raise RuntimeError("answer to another request")
            if i >= warmup:
                stamps[tx] = (t0, t1)
            # A light load: the next request leaves after a pause, so every request meets a sleeping
            # server, as a master polling a few times a second would.
            if PAUSE_S:
                time.sleep(PAUSE_S)
    return stamps


def percentile(values, q):
    values = sorted(values)
    if not values:
        return float("nan")
    return values[min(len(values) - 1, int(q * len(values)))]


def summary(values_ns):
    return {"p50": percentile(values_ns, 0.5) / 1000.0, "p90": percentile(values_ns, 0.9) / 1000.0}


def match(trace_file, stamps, span_table):
    """How many requests of the server's trace file (a header of column names, then one line per
    wake-up that served a request) the master's stamps match, and each span's summary."""
    lines = trace_file.read_text().splitlines()
    columns = lines[0].split()[1:]
    spans = {name: [] for name, _, _ in span_table}
    matched = 0
    for line in lines[1:]:
        fields = [int(x) for x in line.split()]
        if not fields or fields[0] not in stamps:
            continue
        at = dict(zip(columns, fields[1:]))
        at["send"], at["recv"] = stamps.pop(fields[0])
        matched += 1
        for name, a, b in span_table:
            spans[name].append(at[b] - at[a])
    return matched, {name: summary(v) for name, v in spans.items()}


def measured(args, command, env):
    """Starts the server `command(port)`, lets the master run against it, stops it by closing its
    standard input (a traced server writes its stamps then); the master's stamps and its output."""
    port = free_port()
    proc = start(command(port), env=env)
    try:
        wait_for_port(port, proc)
        stamps = master(port, args.warmup, args.requests)
    finally:
        proc.stdin.close()
        proc.wait(timeout=30)
    return stamps, proc.stdout.read().decode(errors="replace")


def holdbank_breakdown(args, env_base):
    trace_file = Path(tempfile.mkdtemp(prefix="breakdown-")) / "trace.txt"
    env = dict(env_base, PYTHONPATH=str(args.trace_build), HOLDBANK_TRACE_FILE=str(trace_file))
    stamps, out = measured(args, lambda port: [sys.executable, str(BENCH / "holdbank_server.py"), str(port),
                                               str(REGISTERS), str(trace_file.with_name("backup.json"))], env)
    if str(args.trace_build) not in out:
        raise RuntimeError("the server did not load the traced build:\n" + out)
    return match(trace_file, stamps, SPANS)


LIMIT_SPANS = [
    ("wake-up", "send", "woken"),
    ("receive", "woken", "received"),
    ("answer+send", "received", "sent"),
    ("return", "sent", "recv"),
    ("round trip", "send", "recv"),
]


def limit_breakdown(args):
    """The limit responder's stages, stamped the same way (LIMIT_TRACE_FILE)."""
    limit = args.tools / "limit_server"
    if not limit.exists():
        return 0, None
    trace_file = Path(tempfile.mkdtemp(prefix="breakdown-limit-")) / "trace.txt"
    stamps, _ = measured(args, lambda port: [str(limit), str(port), str(REGISTERS)],
                         dict(os.environ, LIMIT_TRACE_FILE=str(trace_file)))
    return match(trace_file, stamps, LIMIT_SPANS)


def strace_calls(args, env_base, count):
    """System calls of the whole server process, under strace -f -c, while the master makes
    `count` requests: {name: calls}."""
    port = free_port()
    out = Path(tempfile.mkdtemp(prefix="breakdown-strace-")) / "calls.txt"
    env = dict(env_base, PYTHONPATH=str(args.trace_build))
    proc = start(["strace", "-f", "-c", "-o", str(out), sys.executable, str(BENCH / "holdbank_server.py"), str(port),
                  str(REGISTERS), str(out.with_name("backup.json"))], env=env)
    try:
        wait_for_port(port, proc, timeout=60)
        master(port, 0, count)
    finally:
        proc.stdin.close()
        proc.wait(timeout=60)
    calls = {}
    for line in out.read_text().splitlines():
        m = re.match(r"\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\w+)$", line)
        if m:
            calls[m.group(2)] = int(m.group(1))
    return calls


def strace_counts(args, env_base):
    """System calls per request: a run of 2N requests minus a run of N, so that the start-up and
    the connection cancel out. Calls under a tenth per request are left out."""
    short = strace_calls(args, env_base, args.requests)
    long = strace_calls(args, env_base, 2 * args.requests)
    per = {name: (long.get(name, 0) - short.get(name, 0)) / args.requests for name in set(short) | set(long)}
    return {name: n for name, n in per.items() if n >= 0.1 and name != "total"}


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--requests", type=int, default=3000)
    ap.add_argument("--warmup", type=int, default=300)
    ap.add_argument("--placement", choices=["split", "shared"], default="split",
                    help="split: server on core 0, master on core 1 (a wake-up across cores); shared: both on core 0")
    ap.add_argument("--trace-build", type=lambda p: Path(p).resolve(), default=ROOT / "build" / "trace",
                    help="folder of the traced build (made when missing)")
    ap.add_argument("--tools", type=lambda p: Path(p).resolve(), default=ROOT / "build" / "bench-tools",
                    help="build folder of the benchmark's C/C++ parts, for the limit responder")
    ap.add_argument("--pause-ms", type=float, default=0.5,
                    help="the master's pause between an answer and the next request (0: a closed loop)")
    ap.add_argument("--strace", action="store_true", help="also count the server's system calls per request")
    ap.add_argument("--json", type=Path, help="also write the figures to this file")
    args = ap.parse_args()
    global MASTER_CORE, PAUSE_S
    PAUSE_S = args.pause_ms / 1000.0
    if args.placement == "shared":
        MASTER_CORE = SERVER_CORE

    build_traced(args.trace_build)
    env = dict(os.environ)
    env.pop("PYTHONPATH", None)
    matched, spans = holdbank_breakdown(args, env)
    limit_matched, limit = limit_breakdown(args)
    print("One master, read 100, one request at a time with a %g ms pause; %d requests matched (%s placement)"
          % (args.pause_ms, matched, args.placement))
    print("%-26s %10s %10s" % ("Holdbank (µs)", "p50", "p90"))
    for name, _, _ in SPANS:
        print("%-26s %10.1f %10.1f" % (name, spans[name]["p50"], spans[name]["p90"]))
    if limit:
        print("%-26s %10s %10s   (%d requests matched)" % ("limit responder (µs)", "p50", "p90", limit_matched))
        for name, _, _ in LIMIT_SPANS:
            print("%-26s %10.1f %10.1f" % (name, limit[name]["p50"], limit[name]["p90"]))
    result = {"placement": args.placement, "pause_ms": args.pause_ms, "requests": matched, "holdbank": spans,
              "limit": limit}
    if args.strace:
        calls = strace_counts(args, env)
        result["syscalls_per_request"] = calls
        print("system calls per request (server, all threads): " +
              ", ".join("%s %.2f" % kv for kv in sorted(calls.items(), key=lambda kv: -kv[1])))
    if args.json:
        args.json.write_text(json.dumps(result, indent=2))


if __name__ == "__main__":
    main()
