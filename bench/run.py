"""Runs the Modbus TCP servers side by side and prints a table of ratios.

    python bench/run.py [--passes N | --quick] [--warmup S] [--duration S] [--servers a,b,...]
                        [--placement split|shared] [--holdbank-path DIR [--holdbank-label L]]
                        [--only-passes 1,3] [--chart-dir DIR]
    python bench/run.py --from-json build/bench-results/latest.json [--only-passes 1,3] [--chart-dir DIR]
    (./dev bench [options] builds the project first, installs libmodbus-dev when missing and the
    bench extra, matplotlib, for the charts)

Each server is started on its own port on 127.0.0.1, pinned to core 0; the load generator
(loadgen.cpp) runs pinned to core 1. Every pass runs every cell once, the servers in a rotated
order: two polling cells (16 masters at 100 requests a second each, 1,000 masters at 10 a second)
and five closed-loop cells. The tables show medians over the passes, and ratios as the median of
the per-pass ratios, since two figures taken a few seconds apart share the machine's conditions.

Which passes count: the quiet ones, those in which the limit responder reached at least 90 %
(QUIET_MARGIN) of its own best throughput of the run in every closed-loop scenario. The machine
has slow spells that hit every server alike, and the limit responder, which has nothing of its
own to vary, shows them. When no pass is quiet, every pass is used and the report says so;
--only-passes names the passes instead.

Raw results go to build/bench-results/latest.json, the tables to latest.txt and, when matplotlib
can be imported, the charts to throughput.png and latency.png beside them; --from-json prints the
tables of such a file again and draws its charts beside it; --chart-dir DIR also writes the
charts to DIR.

With hooks ("+ hooks" servers): CUE_OnRead and CUE_OnWrite set on Holdbank and on the plain-Python
server alike, so every request runs a Python function per register on its connection's thread.
--holdbank-path adds a second build of Holdbank (a build folder, put first on PYTHONPATH), with
and without hooks, to compare two versions in the same run.
"""
import argparse
import copy
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

BENCH = Path(__file__).resolve().parent
ROOT = BENCH.parent
if str(BENCH) not in sys.path:  # run.py loaded from elsewhere, as the tests do
    sys.path.insert(0, str(BENCH))
import report_charts  # noqa: E402  (draws with matplotlib only when asked)

REGISTERS = 1000
SERVER_CORE, LOADGEN_CORE = "0", "1"


class Server:
    """hooked: runs only HOOKED_SCENARIOS, with the data hooks set. module_path: the Holdbank build it
    must load (checked against what the server prints)."""

    def __init__(self, key, title, command, hooked=False, module_path=None):
        self.key, self.title, self.command = key, title, command
        self.hooked, self.module_path = hooked, module_path


def servers(tools, backup_dir, alt_path=None, alt_label="other build"):
    py = sys.executable

    def holdbank(key, hooks):
        return lambda port: ([py, str(BENCH / "holdbank_server.py"), str(port), str(REGISTERS),
                              str(backup_dir / ("%s_backup.json" % key))] + (["--hooks"] if hooks else []))

    def plain(hooks):
        return lambda port: [py, str(BENCH / "plain_server.py"), str(port), str(REGISTERS)] + (["--hooks"] if hooks else [])

    alt_title = "Holdbank (%s)" % alt_label
    return [
        Server("limit", "limit", lambda port: [str(tools / "limit_server"), str(port), str(REGISTERS)]),
        Server("libmodbus", "libmodbus", lambda port: [str(tools / "libmodbus_server"), str(port), str(REGISTERS)]),
        Server("plain", "plain Python", plain(False)),
        Server("pymodbus", "pymodbus", lambda port: [py, str(BENCH / "pymodbus_server.py"), str(port), str(REGISTERS)]),
        Server("holdbank", "Holdbank", holdbank("holdbank", False)),
    ] + ([Server("holdbank-alt", alt_title, holdbank("holdbank-alt", False), module_path=alt_path)] if alt_path else []) + [
        Server("plain-hooks", "plain Python + hooks", plain(True), hooked=True),
        Server("holdbank-hooks", "Holdbank + hooks", holdbank("holdbank-hooks", True), hooked=True),
    ] + ([Server("holdbank-alt-hooks", alt_title + " + hooks", holdbank("holdbank-alt-hooks", True), hooked=True,
                 module_path=alt_path)] if alt_path else [])


# Closed loop: (key, title, masters, mix); each master sends its next request when the answer
# to the last is in.
SCENARIOS = [
    ("read100x1", "read 100, 1 master", 1, "read"),
    ("read100x16", "read 100, 16 masters", 16, "read"),
    ("read100x64", "read 100, 64 masters", 64, "read"),
    ("write10x16", "write 10, 16 masters", 16, "write"),
    ("mixx16", "mix, 16 masters", 16, "mix"),
]
# Polling, light load: (key, title, masters, requests per second per master), read 100 each.
POLL_SCENARIOS = [
    ("poll16", "16 masters polling 100/s", 16, 100.0),
    ("poll1000", "1,000 masters polling 10/s", 1000, 10.0),
]
POLL_KEYS = [sc[0] for sc in POLL_SCENARIOS]
# What the servers with hooks run: the requests per second drop by two orders of magnitude.
HOOKED_SCENARIOS = ["read100x1", "read100x16", "write10x16", "mixx16"]
# The latency figures every cell reports: (loadgen's key, name in the tables).
PERCENTILES = [("p50_us", "p50"), ("p99_us", "p99"), ("p999_us", "p99.9")]

# Which passes count. A pass is quiet when the limit responder's throughput in each closed-loop
# scenario is within this share of its own best for that scenario over the run's passes. The
# machine has slow spells that slow every server alike; the limit responder has nothing of its
# own to vary, so a pass where it fell short is a pass the machine was slow.
QUIET_MARGIN = 0.10

# Targets of Holdbank, as ratios within one run (medians of the per-pass ratios).
# Closed loop: its least requests per second as a multiple of each peer's, per scenario.
_MANY_MASTERS = {"limit": 0.85, "libmodbus": 1.2, "plain": 2.5, "pymodbus": 4.0}
TARGET_CLOSED = {
    "read100x1": {"limit": 0.95, "libmodbus": 1.05},
    "read100x16": _MANY_MASTERS,
    "read100x64": _MANY_MASTERS,
    "write10x16": _MANY_MASTERS,
    "mixx16": _MANY_MASTERS,
}
# Polling: its latency percentiles at most these multiples of the limit responder's in the same
# pass; "answered": every request due in the measured window answered, in every pass.
TARGET_POLL = {
    "poll16": {"p50_us": 1.05, "p99_us": 1.5},
    "poll1000": {"answered": True, "p99_us": 1.2},
}
TARGET_REG_OPS = 1.3
TARGET_TYPED_READ_SLOWDOWN = 0.05


def free_port():
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def pinned(core, command, pin):
    return ["taskset", "-c", core] + command if pin else command


class Running:
    """A server process: started, waited for until it prints "ready", stopped by closing its stdin."""

    def __init__(self, server, log_path, pin):
        self.server = server
        self.port = free_port()
        self.log_path = log_path
        self.log = open(log_path, "wb")
        env = None
        if server.module_path:
            env = dict(os.environ)
            env["PYTHONPATH"] = os.pathsep.join([str(server.module_path)] + (
                [env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
        self.proc = subprocess.Popen(
            pinned(SERVER_CORE, server.command(self.port), pin),
            stdin=subprocess.PIPE, stdout=self.log, stderr=subprocess.STDOUT, cwd=log_path.parent, env=env)
        deadline = time.monotonic() + 30
        while True:
            if self.proc.poll() is not None:
                raise RuntimeError("exited with %s: %s" % (self.proc.returncode, self.tail()))
            lines = [line.strip() for line in log_path.read_bytes().splitlines()]
            if b"ready" in lines:
                self.check_module(lines)
                return
            if time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("not ready after 30 s: %s" % self.tail())
            time.sleep(0.05)

    def check_module(self, lines):
        """A build given by path must be the one loaded, not the installed one."""
        if not self.server.module_path:
            return
        loaded = [line[len(b"module "):].decode(errors="replace") for line in lines if line.startswith(b"module ")]
        want = Path(self.server.module_path).resolve()
        if not loaded or want not in Path(loaded[0]).resolve().parents:
            self.stop()
            raise RuntimeError("loaded %s, not the build in %s" % (loaded[0] if loaded else "?", want))

    def hook_calls(self):
        """After stop(): how many hook calls the server reported, or None."""
        for line in self.log_path.read_bytes().splitlines():
            if line.startswith(b"hook calls "):
                return int(line.split()[-1])
        return None

    @property
    def pid(self):
        return self.proc.pid

    def tail(self):
        self.log.flush()
        lines = self.log_path.read_text(errors="replace").strip().splitlines()
        return " | ".join(lines[-3:]) or "no output"

    def stop(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()


def run_loadgen(tools, port, pid, args, pin, timeout):
    cmd = pinned(LOADGEN_CORE, [str(tools / "loadgen"), "--port", str(port), "--server-pid", str(pid)] + args, pin)
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        return {"error": "load generator did not finish in %.0f s" % timeout}
    lines = p.stdout.strip().splitlines()
    try:
        return json.loads(lines[-1])
    except (IndexError, ValueError):
        return {"error": "load generator exited with %d: %s" % (p.returncode, (p.stderr or p.stdout).strip()[-300:])}


def build_tools(tools):
    """Configures and builds the C/C++ parts (incremental: quick when nothing changed)."""
    bindir = Path(sys.executable).parent
    cmake = shutil.which("cmake", path=str(bindir)) or shutil.which("cmake")
    if not cmake:
        sys.exit("cmake not found")
    # Configured every time (quick): a libmodbus installed since the first configure is then found.
    gen = []
    if not (tools / "CMakeCache.txt").exists() and (shutil.which("ninja", path=str(bindir)) or shutil.which("ninja")):
        gen = ["-G", "Ninja"]
    subprocess.run([cmake, "-S", str(BENCH), "-B", str(tools)] + gen, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(tools)], check=True, stdout=subprocess.DEVNULL)


# ---------------------------------------------------------------- formatting

def fmt_rate(x):
    if x is None:
        return "n/a"
    if x >= 100_000:
        return "%.0fk" % (x / 1000)
    if x >= 10_000:
        return "%.1fk" % (x / 1000)
    if x >= 1000:
        return "%.2fk" % (x / 1000)
    return "%.0f" % x


def fmt_ratio(x):
    return "n/a" if x is None else "%.2f" % x


# A latency to three significant figures, in µs below a millisecond: the charts' labels say it the
# same way.
fmt_latency = report_charts.duration


def table(title, header, rows, note=None):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    lines = ["", title]
    if note:
        lines.append(note)
    fmt = lambda r: "  ".join(str(c).ljust(widths[0]) if i == 0 else str(c).rjust(widths[i]) for i, c in enumerate(r))
    lines.append(fmt(header))
    lines.append("  ".join("-" * w for w in widths))
    lines += [fmt(r) for r in rows]
    return "\n".join(lines)


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


# ---------------------------------------------------------------- the run

class Interference:
    """CPU time that processes other than ours used during a stretch of the run, as a share of all
    cores: /proc/stat's busy time minus what this runner and the children it waited for used, and
    minus what `server` (a child still running, so not yet in our children's usage) used."""

    def __init__(self, server=None):
        self.server = server
        self.start = self._sample()

    def _sample(self):
        try:
            with open("/proc/stat") as f:
                fields = [int(x) for x in f.readline().split()[1:]]
        except (OSError, ValueError):
            return None
        tick = os.sysconf("SC_CLK_TCK")
        busy = (sum(fields[:8]) - fields[3] - fields[4]) / tick  # all but idle, iowait
        ours = 0.0
        for who in (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN):
            ru = resource.getrusage(who)
            ours += ru.ru_utime + ru.ru_stime
        if self.server:
            try:
                with open("/proc/%d/stat" % self.server) as f:
                    after_name = f.read().rsplit(")", 1)[1].split()
                ours += (int(after_name[11]) + int(after_name[12])) / tick  # utime, stime: fields 14, 15
            except (OSError, ValueError, IndexError):
                return None
        return time.monotonic(), busy, ours

    def share(self):
        end = self._sample()
        if not self.start or not end or end[0] <= self.start[0]:
            return None
        wall = end[0] - self.start[0]
        other = (end[1] - self.start[1]) - (end[2] - self.start[2])
        return max(0.0, other / (wall * (os.cpu_count() or 1)))


def machine():
    model = "unknown CPU"
    try:
        for line in open("/proc/cpuinfo"):
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    try:
        from importlib.metadata import version

        pymodbus_version = version("pymodbus")
    except Exception:
        pymodbus_version = "?"
    libmodbus = subprocess.run(["pkg-config", "--modversion", "libmodbus"], capture_output=True, text=True)
    return "%s, %d cores, Linux %s, Python %s, pymodbus %s, libmodbus %s" % (
        model, os.cpu_count() or 0, platform.release(), platform.python_version(), pymodbus_version,
        libmodbus.stdout.strip() or "?")


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--passes", type=int, default=5, help="passes over every cell; medians are taken (default 5)")
    ap.add_argument("--quick", action="store_true", help="a single pass")
    ap.add_argument("--warmup", type=float, default=0.4, help="seconds of warm-up per cell (default 0.4)")
    ap.add_argument("--duration", type=float, default=1.2, help="measured seconds per cell (default 1.2)")
    ap.add_argument("--poll-warmup", type=float, default=1.0, help="seconds of warm-up of each polling cell (default 1.0)")
    # 2 s: some 3,200 answers at 16 x 100/s, so that p99.9 is not the single slowest one.
    ap.add_argument("--poll-duration", type=float, default=2.0, help="measured seconds of each polling cell (default 2.0)")
    ap.add_argument("--servers", default="",
                    help="comma-separated subset of limit,libmodbus,plain,pymodbus,holdbank,holdbank-alt,"
                         "plain-hooks,holdbank-hooks,holdbank-alt-hooks")
    # Resolved here: each server runs in its log's folder, where a relative path would name nothing.
    ap.add_argument("--holdbank-path", type=lambda p: Path(p).resolve(),
                    help="a second Holdbank build folder (e.g. from ./dev devbuild), measured beside the installed one")
    ap.add_argument("--holdbank-label", default="other build", help="its name in the tables (default: other build)")
    ap.add_argument("--tools", type=Path, default=ROOT / "build" / "bench-tools", help="build folder of the C/C++ parts")
    ap.add_argument("--out", type=Path, default=ROOT / "build" / "bench-results", help="folder for logs and raw results")
    ap.add_argument("--placement", choices=["split", "shared"], default="split",
                    help="split: server on core 0, load generator on core 1 (the method); "
                         "shared: both on core 0 (a diagnostic of cross-core wake-ups)")
    ap.add_argument("--from-json", type=Path, help="print the tables of a raw results file instead of measuring")
    ap.add_argument("--only-passes", default="",
                    help="the passes to take medians over, e.g. 1,3 (default: the quiet ones, see above)")
    ap.add_argument("--chart-dir", type=Path, help="also write the charts (throughput.png, latency.png) to this folder")
    args = ap.parse_args()
    try:
        args.only_passes = parse_passes(args.only_passes)
    except ValueError as e:
        sys.exit(str(e))
    if args.from_json:
        rerender(args.from_json, args.only_passes, args.chart_dir)
        return
    if args.holdbank_path and not args.holdbank_path.is_dir():
        sys.exit("no such folder: %s" % args.holdbank_path)
    passes = 1 if args.quick else max(1, args.passes)
    if args.only_passes and max(args.only_passes) >= passes:
        sys.exit("--only-passes: the run has passes 1 to %d" % passes)
    started = time.monotonic()

    global LOADGEN_CORE
    pin = shutil.which("taskset") is not None and (os.cpu_count() or 1) >= 2
    if args.placement == "shared":
        LOADGEN_CORE = SERVER_CORE
    if not pin:
        print("note: no taskset or fewer than 2 cores: processes are not pinned", file=sys.stderr)

    # 1,000 masters need as many descriptors in the load generator and in the servers.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    if soft != resource.RLIM_INFINITY and (hard == resource.RLIM_INFINITY or soft < hard):
        resource.setrlimit(resource.RLIMIT_NOFILE, (hard if hard != resource.RLIM_INFINITY else 65536, hard))

    build_tools(args.tools)
    run_all(args, passes, pin, started)


def run_all(args, passes, pin, started):
    args.out.mkdir(parents=True, exist_ok=True)
    logs = args.out / "logs"
    logs.mkdir(exist_ok=True)
    backup_dir = Path(tempfile.mkdtemp(prefix="bench-"))

    all_servers = servers(args.tools, backup_dir, args.holdbank_path, args.holdbank_label)
    if args.servers:
        wanted = args.servers.split(",")
        all_servers = [s for s in all_servers if s.key in wanted]
    keys = [s.key for s in all_servers]
    cell_timeout = args.warmup + args.duration + 40

    # results[server][scenario] = list of loadgen results, one per pass
    results = {s.key: {sc[0]: [] for sc in SCENARIOS + POLL_SCENARIOS} for s in all_servers}
    hook_calls = {s.key: [] for s in all_servers if s.hooked}
    unavailable = {}
    hostops = []
    refused = []
    background = []

    def progress(msg):
        print("[%5.1fs] %s" % (time.monotonic() - started, msg), file=sys.stderr, flush=True)

    def cell(running, extra, timeout):
        watch = Interference(running.pid)
        r = run_loadgen(args.tools, running.port, running.pid, extra, pin, timeout)
        r["background_cpu"] = watch.share()
        return r

    for p in range(passes):
        watch = Interference()
        order = all_servers[p % len(all_servers):] + all_servers[:p % len(all_servers)]
        for server in order:
            if server.key in unavailable:
                continue
            progress("pass %d/%d: %s" % (p + 1, passes, server.title))
            program = Path(server.command(0)[0])
            if not program.exists():
                unavailable[server.key] = "%s was not built%s" % (
                    program.name, " (libmodbus-dev missing?)" if server.key == "libmodbus" else "")
                progress("  " + unavailable[server.key])
                continue
            try:
                running = Running(server, logs / ("%s-pass%d.log" % (server.key, p + 1)), pin)
            except (RuntimeError, OSError) as e:
                unavailable[server.key] = str(e)
                progress("  %s not available: %s" % (server.title, e))
                continue
            try:
                # The polling cells first, the most masters first, on a fresh process: so the
                # 1,000-master cell's memory figure is per connection.
                polling = sorted(POLL_SCENARIOS, key=lambda sc: -sc[2])
                for key, _title, masters, rate in ([] if server.hooked else polling):
                    results[server.key][key].append(cell(
                        running, ["--mode", "poll", "--masters", str(masters), "--rate", str(rate),
                                  "--warmup", str(args.poll_warmup), "--duration", str(args.poll_duration)],
                        args.poll_warmup + args.poll_duration + 60))
                for key, _title, masters, mix in SCENARIOS:
                    if server.hooked and key not in HOOKED_SCENARIOS:
                        continue
                    results[server.key][key].append(cell(
                        running, ["--masters", str(masters), "--mix", mix, "--size", str(REGISTERS),
                                  "--warmup", str(args.warmup), "--duration", str(args.duration)], cell_timeout))
            finally:
                running.stop()
            if server.hooked:
                hook_calls[server.key].append(running.hook_calls())
        if not args.servers or "holdbank" in keys:
            progress("pass %d/%d: host-side operations" % (p + 1, passes))
            hostops.append(run_hostops(args, logs, p, pin, backup_dir))
            progress("pass %d/%d: refused write-multiples" % (p + 1, passes))
            refused.append(run_refused(args, logs, p, pin, backup_dir))
        background.append(watch.share())

    shutil.rmtree(backup_dir, ignore_errors=True)
    elapsed = time.monotonic() - started
    raw = {"machine": machine(), "passes": passes, "warmup_s": args.warmup, "duration_s": args.duration,
           "poll_warmup_s": args.poll_warmup, "poll_duration_s": args.poll_duration, "placement": args.placement,
           "placement_cores": [SERVER_CORE, LOADGEN_CORE], "elapsed_s": elapsed, "background_cpu": background,
           "servers": [{"key": s.key, "title": s.title, "hooked": s.hooked,
                        "module_path": str(s.module_path) if s.module_path else None} for s in all_servers],
           "results": results, "hook_calls": hook_calls, "unavailable": unavailable, "hostops": hostops,
           "refused": refused}
    (args.out / "latest.json").write_text(json.dumps(raw, indent=1))
    report = Report(raw, args.only_passes)
    print(report.text())
    (args.out / "latest.txt").write_text(report.text() + "\n")
    print(write_charts(report, [args.out] + ([args.chart_dir] if args.chart_dir else [])))


def rerender(path, only_passes=None, chart_dir=None):
    """Prints the report of a raw results file, over its quiet passes or the ones named (0-based),
    and draws its charts beside it (and into chart_dir)."""
    raw = json.loads(Path(path).read_text())
    if only_passes and max(only_passes) >= raw["passes"]:
        sys.exit("--only-passes: the file has passes 1 to %d" % raw["passes"])
    report = Report(raw, only_passes)
    print(report.text())
    print(write_charts(report, [Path(path).resolve().parent] + ([chart_dir] if chart_dir else [])))


def parse_passes(text):
    """--only-passes "1,3" as 0-based pass numbers, or None when empty."""
    if not text.strip():
        return None
    try:
        chosen = [int(x) - 1 for x in text.split(",")]
    except ValueError:
        raise ValueError("--only-passes takes pass numbers separated by commas, e.g. 1,3") from None
    if any(p < 0 for p in chosen):
        raise ValueError("--only-passes: passes are numbered from 1")
    return sorted(set(chosen))


def write_charts(report, folders):
    """Draws the charts into each folder; returns lines saying where they went, or why not."""
    data, said = report.chart_data(), []
    for folder in folders:
        try:
            written = report_charts.draw(data, [folder])
        except ImportError as e:
            return ("No charts drawn: matplotlib cannot be imported (%s); ./dev bench installs it "
                    "(the bench extra of pyproject.toml)" % e)
        except (OSError, ValueError) as e:
            said.append("No charts drawn in %s: %s" % (folder, e))
            continue
        said.append("Charts: " + ", ".join(str(p) for p in written))
    return "\n".join(said)


def run_hostops(args, logs, p, pin, backup_dir):
    hold = [s for s in servers(args.tools, backup_dir) if s.key == "holdbank"][0]
    try:
        running = Running(hold, logs / ("hostops-holdbank-pass%d.log" % (p + 1)), pin)
    except (RuntimeError, OSError) as e:
        return {"error": "Holdbank server: %s" % e}
    try:
        cmd = pinned(LOADGEN_CORE, [sys.executable, str(BENCH / "hostops.py"), "--port", str(running.port)], pin)
        out = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
        try:
            return json.loads(out.stdout.strip().splitlines()[-1])
        except (IndexError, ValueError):
            return {"error": "hostops exited with %d: %s" % (out.returncode, out.stderr.strip()[-300:])}
    except subprocess.TimeoutExpired:
        return {"error": "hostops did not finish in 120 s"}
    finally:
        running.stop()


def run_refused(args, logs, p, pin, backup_dir):
    """Server CPU per refused write-multiple of 65,535 registers, served by the event loop (no
    hooks) and by the connection's thread (hooks set), for each Holdbank build measured."""
    found = {}
    for server in servers(args.tools, backup_dir, args.holdbank_path, args.holdbank_label):
        if not server.key.startswith("holdbank"):
            continue
        limited = Server(server.key, server.title, lambda port, s=server: s.command(port) + ["--writable-below", "100"],
                         server.hooked, server.module_path)
        try:
            running = Running(limited, logs / ("refused-%s-pass%d.log" % (server.key, p + 1)), pin)
        except (RuntimeError, OSError) as e:
            found[server.key] = {"error": str(e)}
            continue
        try:
            cmd = pinned(LOADGEN_CORE, [sys.executable, str(BENCH / "refused_writes.py"), "--port", str(running.port),
                                        "--server-pid", str(running.pid)], pin)
            out = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
            try:
                found[server.key] = json.loads(out.stdout.strip().splitlines()[-1])
            except (IndexError, ValueError):
                found[server.key] = {"error": "exited with %d: %s" % (out.returncode, out.stderr.strip()[-300:])}
        except subprocess.TimeoutExpired:
            found[server.key] = {"error": "did not finish in 60 s"}
        finally:
            running.stop()
    return found


# ---------------------------------------------------------------- the report

def cell_ok(r):
    return bool(r) and "error" not in r


def normalised(raw):
    """A copy of a raw results file in today's form: files written before the run named its servers,
    or when it had one polling cell ("poll": 1,000 masters at 10/s), still load; a figure a file
    lacks (p999_us, say) is shown as n/a."""
    raw = copy.deepcopy(raw)
    if "servers" not in raw:
        known = {s.key: s for s in servers(Path("."), Path("."))}
        raw["servers"] = [{"key": k, "title": known[k].title if k in known else k,
                           "hooked": known[k].hooked if k in known else False} for k in raw["results"]]
    for cells in raw["results"].values():
        if "poll" in cells and "poll1000" not in cells:
            cells["poll1000"] = cells.pop("poll")
        for sc, *_ in SCENARIOS + POLL_SCENARIOS:
            cells.setdefault(sc, [])
    raw.setdefault("hook_calls", {})
    raw.setdefault("hostops", [])
    raw.setdefault("refused", [])
    raw.setdefault("unavailable", {})
    raw.setdefault("background_cpu", [])
    return raw


class PassJudgement:
    """Which passes of a run were quiet: those in which the limit responder's requests per second
    in every closed-loop scenario were at least 1 - QUIET_MARGIN of its best for that scenario in
    the run. shortfalls[p] lists (scenario, share of its best, None when it has no figure) for
    the scenarios where pass p fell short; judged is False when the run had no limit responder."""

    def __init__(self, raw):
        self.passes = raw["passes"]
        limit = raw["results"].get("limit")
        self.judged = limit is not None
        self.shortfalls = {}
        if not self.judged:
            self.quiet = list(range(self.passes))
            return
        for p in range(self.passes):
            self.shortfalls[p] = []
        for sc, *_ in SCENARIOS:
            runs = limit.get(sc, [])
            rates = [runs[p]["rps"] if p < len(runs) and cell_ok(runs[p]) else None for p in range(self.passes)]
            best = max((x for x in rates if x is not None), default=None)
            for p, x in enumerate(rates):
                if x is None or not best:
                    self.shortfalls[p].append((sc, None))
                elif x < (1 - QUIET_MARGIN) * best:
                    self.shortfalls[p].append((sc, x / best))
        self.quiet = [p for p in range(self.passes) if not self.shortfalls[p]]

    def lines(self, titles):
        """What the judgement found, one line per pass that was not quiet."""
        rule = ("the limit responder within %.0f%% of its own best in every closed-loop scenario"
                % (100 * QUIET_MARGIN))
        if not self.judged:
            return ["Quiet passes: none judged (no limit responder in this run)"]
        quiet = ", ".join(str(p + 1) for p in self.quiet) or "none"
        out = ["Quiet passes (%s): %s (%d of %d passes)" % (rule, quiet, len(self.quiet), self.passes)]
        for p in range(self.passes):
            if self.shortfalls[p]:
                out.append("  pass %d: " % (p + 1) + "; ".join(
                    "%s no figure" % titles[sc] if share is None else
                    "%s %.0f%% short of its best" % (titles[sc], 100 * (1 - share))
                    for sc, share in self.shortfalls[p]))
        return out


class Report:
    """The tables of one raw results file: one method per table, each returning its text. The
    figures are taken over the quiet passes (PassJudgement), or over only_passes (0-based) when
    given, or over every pass when none was quiet."""

    def __init__(self, raw, only_passes=None):
        full = normalised(raw)
        self.judgement = PassJudgement(full)
        self.warning = None
        if only_passes:
            chosen, self.chosen_by = list(only_passes), "named by --only-passes"
        elif not self.judgement.judged:
            chosen, self.chosen_by = list(range(full["passes"])), "all"
            self.warning = ("WARNING: no limit responder in this run, so no pass could be judged quiet: "
                            "the tables use every pass")
        elif self.judgement.quiet:
            chosen, self.chosen_by = self.judgement.quiet, "the quiet ones"
        else:
            chosen, self.chosen_by = list(range(full["passes"])), "all"
            self.warning = ("WARNING: no pass was quiet; the tables use every pass, and their figures "
                            "may come from slow spells of the machine")
        self.full, self.chosen = full, chosen
        self.raw = self.pick(full, chosen)
        self.results, self.passes = self.raw["results"], self.raw["passes"]
        servers_run = self.raw["servers"]
        self.keys = [s["key"] for s in servers_run if not s["hooked"]]
        self.hooked = [s["key"] for s in servers_run if s["hooked"]]
        self.titles = {s["key"]: s["title"] for s in servers_run}
        self.sc_titles = {sc: title for sc, title, *_ in SCENARIOS + POLL_SCENARIOS}

    @staticmethod
    def pick(full, chosen):
        raw = dict(full)
        pick = lambda runs: [runs[p] for p in chosen if p < len(runs)]
        raw["results"] = {k: {sc: pick(runs) for sc, runs in v.items()} for k, v in full["results"].items()}
        raw["hook_calls"] = {k: pick(v) for k, v in full["hook_calls"].items()}
        raw["hostops"] = pick(full["hostops"])
        raw["refused"] = pick(full["refused"])
        raw["passes"] = len(chosen)
        return raw

    def passes_used(self):
        return "pass%s %s" % ("" if len(self.chosen) == 1 else "es", ", ".join(str(p + 1) for p in self.chosen))

    def text(self):
        parts = [self.heading(), self.requests_per_second()]
        if "limit" in self.keys:
            parts.append(self.ratio_to_limit())
        if "holdbank" in self.keys:
            parts.append(self.holdbank_to_peers())
        parts.append(self.latency(self.keys, [sc for sc, *_ in SCENARIOS],
                                  "Latency, closed loop (from sending a request to its whole answer; "
                                  "median of the passes)"))
        parts += [self.polling(*sc) for sc in POLL_SCENARIOS]
        parts += [self.cpu(), self.switches()]
        if self.hooked:
            parts += [self.hooked_rates(), self.hooked_cpu(),
                      self.latency(self.hooked, HOOKED_SCENARIOS, "With hooks: latency (median of the passes)")]
        parts += [render_hostops(self.raw["hostops"]), render_refused(self.raw["refused"], self.titles)]
        problems = self.problems()
        if problems:
            parts.append("\nProblems:")
            parts += ["  " + p for p in problems]
        if self.warning:
            parts.append("\n" + self.warning)
        return "\n".join(parts)

    # ---- figures per cell

    def runs(self, key, sc):
        return [r for r in self.results[key].get(sc, []) if cell_ok(r)]

    def rps(self, key, sc, p=None):
        runs = self.results[key].get(sc, [])
        if p is not None:
            r = runs[p] if p < len(runs) else None
            return r["rps"] if cell_ok(r) else None
        return median(r["rps"] for r in runs if cell_ok(r))

    def figure(self, key, sc, field, p=None):
        """A figure of one cell (p: index among the chosen passes), or its median over them."""
        if p is not None:
            runs = self.results[key].get(sc, [])
            r = runs[p] if p < len(runs) else None
            return r.get(field) if cell_ok(r) else None
        return median(r.get(field) for r in self.runs(key, sc))

    def ratio(self, a, b, sc):
        return self.figure_ratio(a, b, sc, "rps")

    def figure_ratio(self, a, b, sc, field):
        """Median of the per-pass ratios of a figure of server a to that of server b."""
        per_pass = []
        for p in range(self.passes):
            x, y = self.figure(a, sc, field, p), self.figure(b, sc, field, p)
            if x is not None and y:
                per_pass.append(x / y)
        return median(per_pass)

    def mark(self, key, sc):
        bad = any((not cell_ok(r)) or r.get("errors") for r in self.results[key].get(sc, []))
        return "!" if bad else ""

    def cpu_cell(self, k, sc):
        runs = self.runs(k, sc)
        us = median(r.get("server_cpu_us_per_req") for r in runs)
        use = median(r.get("server_cpu") for r in runs)
        if us is None:
            return "n/a"
        return "%.1f µs %3.0f%%" % (us, 100 * use) if use is not None else "%.1f µs" % us

    def switches_cell(self, k, sc):
        runs = [r for r in self.runs(k, sc) if "server_cs_per_req" in r]
        if not runs:
            return "n/a"
        both = median(r["server_cs_per_req"] for r in runs)
        forced = median(r.get("server_nvcs_per_req") for r in runs)
        return "%.2f" % both + (" (%.2f)" % forced if forced is not None else "")

    def unanswered(self, k, sc):
        """The most requests left unanswered in one pass (None: no figure), and whether any pass
        had errors or masters that never connected."""
        worst, faults = None, False
        for r in self.results[k].get(sc, []):
            if not cell_ok(r):
                faults = True
                continue
            if "scheduled" in r:
                missing = max(0, r["scheduled"] - r["answered"])
            elif r.get("answered_share") is not None:
                missing = 0 if r["answered_share"] >= 1.0 else 1
            else:
                continue
            worst = missing if worst is None else max(worst, missing)
            faults = faults or bool(r.get("errors")) or r.get("connected", r.get("masters")) != r.get("masters")
        return worst, faults

    def header(self, first, keys=None):
        return [first] + [self.titles[k] for k in (self.keys if keys is None else keys)]

    # ---- the tables

    def heading(self):
        raw, full = self.raw, self.full
        out = []
        cores = raw.get("placement_cores", [SERVER_CORE, LOADGEN_CORE])
        placement = "server on core %s, load generator on core %s" % tuple(cores)
        out.append("Modbus TCP servers on 127.0.0.1 — %s" % raw["machine"])
        out.append("Per cell %.1f s warm-up + %.1f s measured (polling: %.1f s + %.1f s); %s; bank of %d registers; "
                   "whole run %.0f s" % (raw["warmup_s"], raw["duration_s"], raw["poll_warmup_s"],
                                         raw["poll_duration_s"], placement, REGISTERS, raw["elapsed_s"]))
        out.append("%d pass%s in the run; the tables are over %s (%s)" % (
            full["passes"], "" if full["passes"] == 1 else "es", self.passes_used(), self.chosen_by))
        for s in raw["servers"]:
            if s.get("module_path"):
                out.append("%s: the build in %s" % (s["title"], s["module_path"]))
        out += self.judgement.lines(self.sc_titles)
        busy = full["background_cpu"]
        if any(b is not None for b in busy):
            out.append("Other processes' share of the CPUs, per pass: " + ", ".join(
                "%d: %s" % (p + 1, "?" if b is None else "%.0f%%" % (100 * b)) for p, b in enumerate(busy)))
        if self.warning:
            out.append(self.warning)
        return "\n".join(out)

    def problems(self):
        titles, problems = self.titles, []
        for key in self.keys + self.hooked:
            for sc in [s[0] for s in SCENARIOS] + POLL_KEYS:
                for p, r in zip(self.chosen, self.results[key].get(sc, [])):
                    if not cell_ok(r):
                        problems.append("%s, %s, pass %d: %s" % (titles[key], sc, p + 1, (r or {}).get("error")))
                    elif r.get("errors"):
                        problems.append("%s, %s, pass %d: %d errors %s" % (
                            titles[key], sc, p + 1, r["errors"], json.dumps(r.get("error_kinds"))))
        for key, calls in self.raw["hook_calls"].items():
            for p, n in zip(self.chosen, calls):
                if not n:
                    problems.append("%s, pass %d: the hooks were never called (%s)" % (titles[key], p + 1, n))
        for key, why in self.raw["unavailable"].items():
            problems.append("%s: not available (%s)" % (titles.get(key, key), why))
        return problems

    def requests_per_second(self):
        rows = [[title] + [fmt_rate(self.rps(k, sc)) + self.mark(k, sc) for k in self.keys]
                for sc, title, _, _ in SCENARIOS]
        return table("Requests per second, closed loop (median of the passes; ! = errors, see below)",
                     self.header("scenario"), rows)

    def ratio_to_limit(self):
        rows = [[title] + [fmt_ratio(self.ratio(k, "limit", sc)) for k in self.keys]
                for sc, title, _, _ in SCENARIOS]
        return table("Ratio to the limit responder", self.header("scenario"), rows)

    def holdbank_to_peers(self):
        peers = [k for k in self.keys if k != "holdbank"]
        rows = []
        for sc, title, _, _ in SCENARIOS:
            row = [title] + [fmt_ratio(self.ratio("holdbank", k, sc)) for k in peers]
            missed = []
            for k in peers:
                want = TARGET_CLOSED.get(sc, {}).get(k)
                got = self.ratio("holdbank", k, sc)
                if want is not None and got is not None and got < want:
                    missed.append("%s %.2f<%.2g" % (self.titles[k], got, want))
            row.append("met" if not missed else "missed: " + ", ".join(missed))
            rows.append(row)
        one, many = TARGET_CLOSED["read100x1"], TARGET_CLOSED["read100x16"]
        return table("Holdbank / each peer (targets: with 1 master >= %gx limit and >= %gx libmodbus; with 16 and 64 "
                     "masters >= %gx limit, %gx libmodbus, %gx plain Python, %gx pymodbus)"
                     % (one["limit"], one["libmodbus"], many["limit"], many["libmodbus"], many["plain"],
                        many["pymodbus"]),
                     ["scenario"] + ["vs " + self.titles[k] for k in peers] + ["targets"], rows)

    def latency(self, keys, scenarios, title):
        """p50, p99 and p99.9 of each server in each scenario, one line per percentile."""
        rows = []
        for sc in scenarios:
            for i, (field, name) in enumerate(PERCENTILES):
                rows.append([self.sc_titles[sc] if i == 0 else "", name] +
                            [fmt_latency(self.figure(k, sc, field)) for k in keys])
        return table(title, ["scenario", ""] + [self.titles[k] for k in keys], rows)

    def polling(self, sc, title, masters, rate):
        """One polling scenario: a row per server."""
        per_connection = masters >= 1000
        target = TARGET_POLL.get(sc, {})
        rows = []
        for k in self.keys:
            runs = self.runs(k, sc)
            if not runs:
                rows.append([self.titles[k] + self.mark(k, sc)] + ["n/a"] * (7 + 2 * per_connection) + [""])
                continue
            worst, faults = self.unanswered(k, sc)
            answered = "n/a" if worst is None else "all" if worst == 0 else "all but %d" % worst
            row = [self.titles[k] + self.mark(k, sc), answered] + [fmt_latency(self.figure(k, sc, f))
                                                                   for f, _ in PERCENTILES]
            row.append(self.cpu_cell(k, sc))
            if per_connection:
                mem = median((r["rss_end_kb"] - r["rss_before_kb"]) / masters
                             for r in runs if "rss_end_kb" in r and "rss_before_kb" in r)
                connect = median(r.get("connect_s") for r in runs)
                row += ["%.1f KiB" % mem if mem is not None else "n/a",
                        "%.2f s" % connect if connect is not None else "n/a"]
            ratios = {f: self.figure_ratio(k, "limit", sc, f) if "limit" in self.keys and k != "limit" else None
                      for f in ("p50_us", "p99_us")}
            row += ["" if k == "limit" else fmt_ratio(ratios["p50_us"]),
                    "" if k == "limit" else fmt_ratio(ratios["p99_us"])]
            row.append(self.poll_target(target, worst, faults, ratios) if k == "holdbank" and target else "")
            rows.append(row)
        wants = []
        if target.get("answered"):
            wants.append("every request answered")
        wants += ["%s <= %gx limit" % (dict(PERCENTILES)[f], x) for f, x in target.items() if f != "answered"]
        return table("%s (read 100 each; latency from the time each request was due)" % title,
                     ["server", "answered"] + [name for _, name in PERCENTILES] + ["CPU/req, core"] +
                     (["memory/conn", "connect all"] if per_connection else []) +
                     ["p50/limit", "p99/limit", "target"], rows,
                     "Target for Holdbank: %s (medians of the per-pass ratios)" % ", ".join(wants)
                     if wants else None)

    @staticmethod
    def poll_target(target, worst, faults, ratios):
        missed = []
        if target.get("answered") and (worst != 0 or faults):
            missed.append("not all answered")
        for f, most in target.items():
            if f == "answered":
                continue
            got = ratios.get(f)
            if got is None:
                return "n/a (no limit responder figure)"
            if got > most:
                missed.append("%s %.2f>%g" % (dict(PERCENTILES)[f], got, most))
        return "met" if not missed else "missed: " + ", ".join(missed)

    def cpu(self):
        rows = [[self.sc_titles[sc]] + [self.cpu_cell(k, sc) for k in self.keys]
                for sc in POLL_KEYS + [sc for sc, *_ in SCENARIOS]]
        rows.append(["load generator core use"] + [
            "%.0f%%" % (100 * median(r.get("loadgen_cpu") for r in self.runs(k, "read100x64")))
            if self.runs(k, "read100x64") else "n/a" for k in self.keys])
        return table("Server CPU per request and server core use (a core at 100% is saturated; "
                     "last row: load generator, read 100 x 64)", self.header("scenario"), rows)

    def switches(self):
        rows = [[self.sc_titles[sc]] + [self.switches_cell(k, sc) for k in self.keys]
                for sc in POLL_KEYS + [sc for sc, *_ in SCENARIOS]]
        return table("Server context switches per request, all threads (in brackets: the involuntary ones, "
                     "taken by the scheduler)", self.header("scenario"), rows)

    def hooked_rates(self):
        """The servers with CUE_OnRead and CUE_OnWrite set: each Holdbank build as a ratio to the
        plain-Python server with the same hooks, and the builds to each other, pass by pass."""
        hooked, titles = self.hooked, self.titles
        builds = [k for k in ("holdbank-hooks", "holdbank-alt-hooks") if k in hooked]
        base = "plain-hooks" if "plain-hooks" in hooked else None
        header = self.header("scenario", hooked)
        if base:
            header += ["%s / plain" % titles[k].replace(" + hooks", "") for k in builds]
        if len(builds) == 2:
            header += ["Holdbank / %s" % titles[builds[1]].replace(" + hooks", "")]
        rows = []
        for sc in HOOKED_SCENARIOS:
            row = [self.sc_titles[sc]] + [fmt_rate(self.rps(k, sc)) + self.mark(k, sc) for k in hooked]
            if base:
                row += [fmt_ratio(self.ratio(k, base, sc)) for k in builds]
            if len(builds) == 2:
                row.append(fmt_ratio(self.ratio(builds[0], builds[1], sc)))
            rows.append(row)
        return table("With CUE_OnRead and CUE_OnWrite set on every server (a Python function per register; requests "
                     "per second, and ratios as medians of the per-pass ratios)", header, rows)

    def hooked_cpu(self):
        rows = [[self.sc_titles[sc]] + ["%s, %s" % (self.cpu_cell(k, sc), self.switches_cell(k, sc))
                                        for k in self.hooked]
                for sc in HOOKED_SCENARIOS]
        return table("With hooks: server CPU per request, core use, context switches per request",
                     self.header("scenario", self.hooked), rows)

    # ---- the charts' figures

    def chart_data(self):
        """The medians the charts show, in plain lists: None where a figure is missing."""
        closed = [sc for sc, *_ in SCENARIOS]
        latency_rows = ["poll16", "poll1000", "read100x1"]

        def series(keys, scenarios):
            return [{"key": k, "title": self.titles[k], "values": [self.rps(k, sc) for sc in scenarios]}
                    for k in keys]

        panels = [{"title": "without hooks", "scenarios": [self.sc_titles[sc] for sc in closed],
                   "series": series(self.keys, closed)}]
        if self.hooked:
            panels.append({"title": "with CUE_OnRead and CUE_OnWrite set",
                           "scenarios": [self.sc_titles[sc] for sc in HOOKED_SCENARIOS],
                           "series": series(self.hooked, HOOKED_SCENARIOS)})
        return {
            "caption": "%s; %d of %d pass%s (%s: %s), medians" % (
                self.raw["machine"], len(self.chosen), self.full["passes"], "" if self.full["passes"] == 1 else "es",
                self.chosen_by,
                ", ".join(str(p + 1) for p in self.chosen)) + (" — " + self.warning if self.warning else ""),
            "throughput": panels,
            "percentiles": [name for _, name in PERCENTILES],
            "latency": [{"title": self.sc_titles[sc] + (", closed loop" if sc in closed else ""),
                         "servers": [{"key": k, "title": self.titles[k],
                                      "values": [self.figure(k, sc, f) for f, _ in PERCENTILES]}
                                     for k in self.keys]}
                        for sc in latency_rows],
        }


def render_hostops(hostops):
    if not hostops:
        return ""
    errors = sorted({h[k] for h in hostops for k in h if k.endswith("error")})
    rows = []
    for op, title in (("reg_read", "CUF_REG_Read"), ("reg_write", "CUF_REG_Write")):
        runs = [h["register_ops"][op] for h in hostops if "register_ops" in h]
        if not runs:
            rows.append([title, "n/a", "n/a", "n/a", "n/a"])
            continue
        ours = median(r["holdbank_ns"] for r in runs)
        plain = median(r["plain_ns"] for r in runs)
        gain = median(r["plain_ns"] / r["holdbank_ns"] for r in runs)
        rows.append([title, "%.0f ns (%.1fM/s)" % (ours, 1e3 / ours), "%.0f ns (%.1fM/s)" % (plain, 1e3 / plain),
                     "%.2fx" % gain, "met" if gain >= TARGET_REG_OPS else "missed (>= %.1fx)" % TARGET_REG_OPS])
    reads = [h["typed_read"] for h in hostops if "typed_read" in h]
    if reads:
        ours = median(r["socklink_us"] for r in reads)
        direct = median(r["pymodbus_us"] for r in reads)
        slower = median(r["ratio"] - 1 for r in reads)
        rows.append(["typed read of %d (Socklink / pymodbus)" % reads[0]["registers"], "%.0f µs" % ours,
                     "%.0f µs" % direct, "%+.1f%%" % (100 * slower),
                     "met" if slower < TARGET_TYPED_READ_SLOWDOWN else "missed (< +5%)"])
    else:
        rows.append(["typed read (Socklink / pymodbus)", "n/a", "n/a", "n/a", "n/a"])
    loops = [h["register_ops"]["loop_ns"] for h in hostops if "register_ops" in h]
    note = ("times per call include the calling loop (%.0f ns)" % median(loops)) if loops else None
    text = table("Host-side operations (median of the passes)",
                 ["operation", "Holdbank", "plain Python / pymodbus", "ratio", "target"], rows, note)
    if errors:
        text += "\n" + "\n".join("  n/a: " + e for e in errors)
    return text


def render_refused(refused, titles):
    if not refused:
        return ""
    rows = []
    for key in [k for k in titles if k.startswith("holdbank")]:
        runs = [r[key] for r in refused if key in r and "error" not in r[key]]
        errors = sorted({r[key]["error"] for r in refused if key in r and "error" in r[key]})
        if not runs:
            rows.append([titles[key], "n/a", "n/a", "; ".join(errors)])
            continue
        us = median(r["server_cpu_us_per_req"] for r in runs)
        rows.append([titles[key], "%.1f µs" % us, "%.0f" % median(r["requests"] / r["seconds"] for r in runs),
                     "yes" if all(r["refused"] for r in runs) else "NO"])
    return table("Refused write-multiple of 65,535 registers (13-byte request, registers 0-99 writable; "
                 "median of the passes)", ["server", "server CPU/request", "requests/s", "all refused"], rows)


if __name__ == "__main__":
    main()
