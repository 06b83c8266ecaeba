"""Instructions the Holdbank server executes per request, counted by callgrind.

    python bench/callgrind_requests.py [--holdbank-path DIR] [--requests N] [--kinds read100,write10,write1] [--hooks] [--keep]

Each kind runs twice: a server process under `valgrind --tool=callgrind` serves one master (a raw
socket in this process, one request at a time on one connection) for W requests, then for W + N.
The difference of the two counts, divided by N, is what one request costs: the connection's set-up
and tear-down, the interpreter's start and the first requests' one-time work cancel out. Printed
per kind: the whole server process, and the inclusive count of each request-serving function
that appears (the handler thread's `handle`, the loop thread's `EventLoop::run`, its executor's
`QuietExecutor::serve` (`serve_in_loop` in older builds),
`modbus::execute`). Instruction counts do not depend on the machine's load, so before and after
a change can be compared on a busy machine. --hooks sets CUE_OnRead and CUE_OnWrite (a counting
function, as in the benchmark), so every request runs on the connection's handler thread. Needs
valgrind (apt-get install valgrind).
"""
import argparse
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
REGISTERS = 1000

# kind: (title, request PDU builder, expected answer length)
KINDS = {
    "read100": ("read 100 (function 3)", lambda i: struct.pack(">BHH", 3, 0, 100), 9 + 200),
    "write10": ("write-multiple 10 (function 16)",
                lambda i: struct.pack(">BHHB10H", 16, 20, 10, 20, *[(i * 31 + k) & 0xFFFF for k in range(10)]), 12),
    "write1": ("write-single (function 6)", lambda i: struct.pack(">BHH", 6, 40, i & 0xFFFF), 12),
}

# Functions whose inclusive counts are reported, by the start of their demangled name.
FUNCTIONS = [
    ("handle", "holdbank::(anonymous namespace)::handle("),
    ("EventLoop::run", "holdbank::EventLoop::run("),
    ("EventLoop::batch", "holdbank::EventLoop::batch("),
    ("executor", "holdbank::QuietExecutor::serve("),
    ("serve_in_loop", "holdbank::serve_in_loop("),  # the executor's name in builds before it was a class
    ("modbus::execute", "modbus::Result modbus::execute<"),
]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def recv_exactly(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise RuntimeError("the server closed the connection")
        data += chunk
    return data


def master(port, kind, count):
    """One connection, `count` requests, each answer awaited and checked before the next."""
    _title, build, answer_len = KINDS[kind]
    with socket.create_connection(("127.0.0.1", port), timeout=120) as s:
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for i in range(count):
            pdu = build(i)
            tx = i & 0xFFFF
            s.sendall(struct.pack(">HHHB", tx, 0, len(pdu) + 1, 1) + pdu)
            answer = recv_exactly(s, answer_len)
            if struct.unpack_from(">H", answer)[0] != tx or answer[7] != pdu[0]:
                raise RuntimeError("unexpected answer to request %d: %s" % (i, answer.hex()))


def counted_run(kind, count, holdbank_path, workdir, hooks=False):
    """Runs one server under callgrind for `count` requests; returns its output file."""
    port = free_port()
    out = workdir / ("%s-%d.callgrind" % (kind, count))
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dictionaries, run after run
    if holdbank_path:
        env["PYTHONPATH"] = str(holdbank_path) + (os.pathsep + env["PYTHONPATH"] if env.get("PYTHONPATH") else "")
    cmd = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s" % out, "--log-file=%s.log" % out,
           sys.executable, str(BENCH / "holdbank_server.py"), str(port), str(REGISTERS),
           str(workdir / "backup.json")] + (["--hooks"] if hooks else [])
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env, cwd=workdir)
    try:
        lines = []
        while True:
            line = proc.stdout.readline()
            if not line:
                raise RuntimeError("the server exited before it was ready: %s" % b"".join(lines).decode(errors="replace"))
            lines.append(line)
            if line.strip() == b"ready":
                break
        master(port, kind, count)
        proc.stdin.close()
        proc.wait(timeout=600)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    for line in lines:
        if line.startswith(b"module "):
            print("  %s" % line.decode().strip(), file=sys.stderr)
    return out


def inclusive_counts(path):
    """Total instructions and the inclusive count of each function of FUNCTIONS, from the callgrind
    file itself: a function's own instructions (every inlined piece of it, whatever source file
    they come from) plus the inclusive cost callgrind recorded at each of its call sites, calls to
    itself left out."""
    names = {}  # compressed id -> name, per kind of name
    inclusive = {}  # function name -> instructions
    total = None
    fn = None
    call_pending = False
    with open(path, errors="replace") as f:
        for line in f:
            if line[0].isdigit() or line[0] in "+-*":
                cost = int(line.split()[1]) if len(line.split()) > 1 else 0
                if call_pending:
                    call_pending = False
                    if callee == fn:
                        continue  # recursion: already counted in the outer call
                inclusive[fn] = inclusive.get(fn, 0) + cost
                continue
            m = re.match(r"^(fn|cfn)=\((\d+)\)(?: (.*))?$", line.rstrip("\n"))
            if m:
                key = m.group(2)
                if m.group(3) is not None:
                    names[key] = m.group(3)
                if m.group(1) == "fn":
                    fn = names[key]
                else:
                    callee = names[key]
                continue
            if line.startswith("calls="):
                call_pending = True
            elif line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    if total is None:
        raise RuntimeError("no totals in %s" % path)
    counts = {key: sum(v for name, v in inclusive.items() if name.startswith(prefix)) for key, prefix in FUNCTIONS}
    return total, counts


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    # Resolved here: the server runs in another working folder, where a relative path would name
    # nothing and the installed build would be counted without a word.
    ap.add_argument("--holdbank-path", type=lambda p: Path(p).resolve(),
                    help="folder of the Holdbank build to count (put first on PYTHONPATH)")
    ap.add_argument("--requests", type=int, default=1000, help="requests counted per kind (default 1000)")
    ap.add_argument("--warmup", type=int, default=200, help="requests of the shorter run (default 200)")
    ap.add_argument("--kinds", default=",".join(KINDS), help="comma-separated subset of " + ",".join(KINDS))
    ap.add_argument("--json", type=Path, help="also write the figures to this file")
    ap.add_argument("--hooks", action="store_true", help="with CUE_OnRead and CUE_OnWrite set")
    ap.add_argument("--keep", action="store_true", help="keep the callgrind files (their folder is printed)")
    args = ap.parse_args()
    if not shutil.which("valgrind"):
        sys.exit("valgrind not found (apt-get install valgrind)")
    workdir = Path(tempfile.mkdtemp(prefix="callgrind-requests-"))
    results = {}
    try:
        for kind in args.kinds.split(","):
            started = time.monotonic()
            short = inclusive_counts(counted_run(kind, args.warmup, args.holdbank_path, workdir, args.hooks))
            long = inclusive_counts(counted_run(kind, args.warmup + args.requests, args.holdbank_path, workdir,
                                                args.hooks))
            per = {"process": (long[0] - short[0]) / args.requests}
            for key, _ in FUNCTIONS:
                if long[1][key] or short[1][key]:
                    per[key] = (long[1][key] - short[1][key]) / args.requests
            results[kind] = per
            print("%s: %.0f s" % (kind, time.monotonic() - started), file=sys.stderr, flush=True)
    finally:
        if args.keep:
            print("callgrind files in %s" % workdir, file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    keys = ["process"] + [key for key, _ in FUNCTIONS if any(key in r for r in results.values())]
    print("Instructions per request (%d requests on one connection, minus the first %d; build: %s%s)"
          % (args.requests, args.warmup, args.holdbank_path or "installed", "; hooks set" if args.hooks else ""))
    print("%-34s" % "request" + "".join("%18s" % k for k in keys))
    for kind, per in results.items():
        print("%-34s" % KINDS[kind][0] + "".join("%18s" % ("%.0f" % per[k] if k in per else "-") for k in keys))
    if args.json:
        args.json.write_text(json.dumps({"build": str(args.holdbank_path or "installed"), "hooks": args.hooks,
                                         "requests": args.requests,
                                         "warmup": args.warmup, "per_request": results}, indent=1))


if __name__ == "__main__":
    main()
