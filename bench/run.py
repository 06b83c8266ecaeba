"""Runs the Modbus TCP servers side by side and prints a table of ratios.

    python bench/run.py [--passes N | --quick] [--warmup S] [--duration S] [--servers a,b,...]
                        [--placement split|shared] [--holdbank-path DIR [--holdbank-label L]]
    python bench/run.py --from-json build/bench-results/latest.json [--only-passes 1,3]
    (./dev bench [options] builds the project first and installs libmodbus-dev when missing)

Each server is started on its own port on 127.0.0.1, pinned to core 0; the load generator
(loadgen.cpp) runs pinned to core 1. Every pass runs every cell once, the servers in a rotated
order; the table shows medians over the passes, and ratios as the median of the per-pass
ratios, since two figures taken a few seconds apart share the machine's conditions.
Raw results go to build/bench-results/latest.json; --from-json prints the table of such a file
again, and --only-passes takes the medians over the passes named (say, those in which the limit
responder ran undisturbed).

With hooks ("+ hooks" servers): CUE_OnRead and CUE_OnWrite set on Holdbank and on the plain-Python
server alike, so every request runs a Python function per register on its connection's thread.
--holdbank-path adds a second build of Holdbank (a build folder, put first on PYTHONPATH), with
and without hooks, to compare two versions in the same run.
"""
import argparse
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


# (key, title, masters, mix)
SCENARIOS = [
    ("read100x1", "read 100, 1 master", 1, "read"),
    ("read100x16", "read 100, 16 masters", 16, "read"),
    ("read100x64", "read 100, 64 masters", 64, "read"),
    ("write10x16", "write 10, 16 masters", 16, "write"),
    ("mixx16", "mix, 16 masters", 16, "mix"),
]
POLL_MASTERS, POLL_RATE = 1000, 10.0
# What the servers with hooks run: the requests per second drop by two orders of magnitude.
HOOKED_SCENARIOS = ["read100x1", "read100x16", "write10x16", "mixx16"]

# Targets of Holdbank, as ratios within one run.
TARGET_LIMIT = {"read100x1": 0.95, "read100x16": 0.8, "read100x64": 0.8, "write10x16": 0.8, "mixx16": 0.8}
TARGET_PEERS = {"libmodbus": 1.5, "plain": 2.5, "pymodbus": 4.0}
TARGET_REG_OPS = 1.3
TARGET_TYPED_READ_SLOWDOWN = 0.05
TARGET_POLL_P99_US = 10_000


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
    if not (tools / "CMakeCache.txt").exists():
        gen = ["-G", "Ninja"] if (shutil.which("ninja", path=str(bindir)) or shutil.which("ninja")) else []
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


def fmt_magnitude(us):
    """A latency to one significant figure: quoted as an order of magnitude, not a measurement."""
    if us is None:
        return "n/a"
    from math import floor, log10

    if us <= 0:
        return "0"
    rounded = round(us, -int(floor(log10(us))))
    if rounded >= 1000:
        return "%g ms" % (rounded / 1000)
    return "%g µs" % rounded


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
    ap.add_argument("--passes", type=int, default=3, help="passes over every cell; medians are taken (default 3)")
    ap.add_argument("--quick", action="store_true", help="a single pass")
    ap.add_argument("--warmup", type=float, default=0.4, help="seconds of warm-up per cell (default 0.4)")
    ap.add_argument("--duration", type=float, default=1.2, help="measured seconds per cell (default 1.2)")
    ap.add_argument("--poll-warmup", type=float, default=1.0, help="seconds of warm-up of the polling cell (default 1.0)")
    ap.add_argument("--poll-duration", type=float, default=1.5, help="measured seconds of the polling cell (default 1.5)")
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
    ap.add_argument("--only-passes", default="", help="with --from-json: the passes to take medians over, e.g. 1,3")
    args = ap.parse_args()
    if args.from_json:
        print(rerender(args.from_json, args.only_passes))
        return
    if args.holdbank_path and not args.holdbank_path.is_dir():
        sys.exit("no such folder: %s" % args.holdbank_path)
    passes = 1 if args.quick else max(1, args.passes)
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
    results = {s.key: {sc[0]: [] for sc in SCENARIOS + [("poll",)]} for s in all_servers}
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
                if not server.hooked:
                    # The poll scenario first, on a fresh process, so its memory figure is per connection.
                    results[server.key]["poll"].append(cell(
                        running, ["--mode", "poll", "--masters", str(POLL_MASTERS), "--rate", str(POLL_RATE),
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
    report = render(raw)
    print(report)
    (args.out / "latest.json").write_text(json.dumps(raw, indent=1))
    (args.out / "latest.txt").write_text(report + "\n")


def rerender(path, only_passes):
    """The report of a raw results file, over all its passes or the ones named (1-based)."""
    raw = json.loads(Path(path).read_text())
    if "servers" not in raw:  # written before the file named its servers
        known = {s.key: s for s in servers(Path("."), Path("."))}
        raw["servers"] = [{"key": k, "title": known[k].title if k in known else k,
                           "hooked": known[k].hooked if k in known else False} for k in raw["results"]]
    if only_passes:
        chosen = [int(x) - 1 for x in only_passes.split(",")]
        if any(p < 0 or p >= raw["passes"] for p in chosen):
            sys.exit("the file has passes 1 to %d" % raw["passes"])
        pick = lambda runs: [runs[p] for p in chosen if p < len(runs)]
        raw["results"] = {k: {sc: pick(runs) for sc, runs in v.items()} for k, v in raw["results"].items()}
        raw["hook_calls"] = {k: pick(v) for k, v in raw.get("hook_calls", {}).items()}
        raw["hostops"] = pick(raw["hostops"])
        raw["refused"] = pick(raw.get("refused", []))
        raw["background_cpu"] = pick(raw["background_cpu"])
        raw["passes"] = len(chosen)
        raw["chosen_passes"] = [p + 1 for p in chosen]
    return render(raw)


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
    return r and "error" not in r


def render(raw):
    return Report(raw).text()


class Report:
    """The tables of one raw results file: one method per table, each returning its text."""

    def __init__(self, raw):
        self.raw = raw
        self.results, self.passes = raw["results"], raw["passes"]
        servers_run = raw["servers"]
        self.keys = [s["key"] for s in servers_run if not s["hooked"]]
        self.hooked = [s["key"] for s in servers_run if s["hooked"]]
        self.titles = {s["key"]: s["title"] for s in servers_run}
        self.scenario_rows = [(sc, title) for sc, title, _, _ in SCENARIOS] + [
            ("poll", "%d masters polling" % POLL_MASTERS)]

    def text(self):
        parts = [self.heading(), self.requests_per_second()]
        if "limit" in self.keys:
            parts.append(self.ratio_to_limit())
        if "holdbank" in self.keys:
            parts.append(self.holdbank_to_peers())
        parts += [self.latency(), self.cpu(), self.switches(), self.polling()]
        if self.hooked:
            parts += [self.hooked_rates(), self.hooked_cpu()]
        parts += [render_hostops(self.raw["hostops"]), render_refused(self.raw.get("refused", []), self.titles)]
        problems = self.problems()
        if problems:
            parts.append("\nProblems:")
            parts += ["  " + p for p in problems]
        return "\n".join(parts)

    # ---- figures per cell

    def rps(self, key, sc, p=None):
        runs = self.results[key][sc]
        if p is not None:
            r = runs[p] if p < len(runs) else None
            return r["rps"] if cell_ok(r) else None
        return median(r["rps"] for r in runs if cell_ok(r))

    def ratio(self, a, b, sc):
        per_pass = []
        for p in range(self.passes):
            x, y = self.rps(a, sc, p), self.rps(b, sc, p)
            if x is not None and y:
                per_pass.append(x / y)
        return median(per_pass)

    def mark(self, key, sc):
        bad = any((not cell_ok(r)) or r.get("errors") for r in self.results[key][sc])
        return "!" if bad else ""

    def cpu_cell(self, k, sc):
        runs = [r for r in self.results[k][sc] if cell_ok(r)]
        us = median(r.get("server_cpu_us_per_req") for r in runs)
        use = median(r.get("server_cpu") for r in runs)
        if us is None:
            return "n/a"
        return "%.1f µs %3.0f%%" % (us, 100 * use)

    def switches_cell(self, k, sc):
        runs = [r for r in self.results[k][sc] if cell_ok(r) and "server_cs_per_req" in r]
        if not runs:
            return "n/a"
        both = median(r["server_cs_per_req"] for r in runs)
        forced = median(r.get("server_nvcs_per_req") for r in runs)
        return "%.2f" % both + (" (%.2f)" % forced if forced is not None else "")

    def header(self, first, keys=None):
        return [first] + [self.titles[k] for k in (self.keys if keys is None else keys)]

    # ---- the tables

    def heading(self):
        raw, keys = self.raw, self.keys
        out = []
        cores = raw.get("placement_cores", [SERVER_CORE, LOADGEN_CORE])
        placement = "server on core %s, load generator on core %s" % tuple(cores)
        out.append("Modbus TCP servers on 127.0.0.1 — %s" % raw["machine"])
        out.append("%d pass%s%s; per cell %.1f s warm-up + %.1f s measured (polling: %.1f s + %.1f s); %s; "
                   "bank of %d registers; whole run %.0f s"
                   % (self.passes, "" if self.passes == 1 else "es",
                      " (passes %s of the run)" % ", ".join(map(str, raw["chosen_passes"]))
                      if "chosen_passes" in raw else "",
                      raw["warmup_s"], raw["duration_s"], raw["poll_warmup_s"], raw["poll_duration_s"], placement,
                      REGISTERS, raw["elapsed_s"]))
        for s in raw["servers"]:
            if s.get("module_path"):
                out.append("%s: the build in %s" % (s["title"], s["module_path"]))
        busy = [b for b in raw["background_cpu"] if b is not None]
        if busy:
            worst = max(busy)
            out.append("Other processes used %s of the CPUs during the passes%s"
                       % (", ".join("%.0f%%" % (100 * b) for b in busy),
                          ": WARNING, these figures are not reliable" if worst > 0.10 else " (a quiet machine)"))
        if "limit" in keys:
            # This machine's speed drifts between states that last seconds to minutes: the limit
            # responder's figures per pass show which one each pass saw.
            states = ["%s at %.0f%% of its core, p99 %s, others %s" % (
                          fmt_rate(r["rps"]), 100 * r.get("server_cpu", 0), fmt_magnitude(r.get("p99_us")),
                          "%.0f%%" % (100 * r["background_cpu"]) if r.get("background_cpu") is not None else "?")
                      if cell_ok(r) else "n/a" for r in self.results["limit"]["read100x16"]]
            out.append("Limit responder per pass (read 100, 16 masters): " + "; ".join(states))
        return "\n".join(out)

    def problems(self):
        titles, problems = self.titles, []
        for key in self.keys + self.hooked:
            for sc in [s[0] for s in SCENARIOS] + ["poll"]:
                for p, r in enumerate(self.results[key][sc]):
                    if not cell_ok(r):
                        problems.append("%s, %s, pass %d: %s" % (titles[key], sc, p + 1, (r or {}).get("error")))
                    elif r.get("errors"):
                        problems.append("%s, %s, pass %d: %d errors %s" % (
                            titles[key], sc, p + 1, r["errors"], json.dumps(r.get("error_kinds"))))
        for key, calls in self.raw.get("hook_calls", {}).items():
            for p, n in enumerate(calls):
                if not n:
                    problems.append("%s, pass %d: the hooks were never called (%s)" % (titles[key], p + 1, n))
        for key, why in self.raw["unavailable"].items():
            problems.append("%s: not available (%s)" % (titles.get(key, key), why))
        return problems

    def requests_per_second(self):
        rows = [[title] + [fmt_rate(self.rps(k, sc)) + self.mark(k, sc) for k in self.keys]
                for sc, title, _, _ in SCENARIOS]
        return table("Requests per second (median of the passes; ! = errors, see below)",
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
                want = TARGET_LIMIT.get(sc) if k == "limit" else (TARGET_PEERS.get(k) if sc != "read100x1" else None)
                got = self.ratio("holdbank", k, sc)
                if want is not None and got is not None and got < want:
                    missed.append("%s %.2f<%.2g" % (self.titles[k], got, want))
            row.append("met" if not missed else "missed: " + ", ".join(missed))
            rows.append(row)
        return table("Holdbank / each peer (targets: >= 0.95x limit with 1 master; >= 0.8x limit, 1.5x libmodbus, "
                     "2.5x plain Python, 4x pymodbus otherwise)",
                     ["scenario"] + ["vs " + self.titles[k] for k in peers] + ["targets"], rows)

    def latency(self):
        rows = [[title] + [fmt_magnitude(median(r.get("p99_us") for r in self.results[k][sc] if cell_ok(r)))
                           for k in self.keys]
                for sc, title, _, _ in SCENARIOS]
        return table("p99 latency (order of magnitude)", self.header("scenario"), rows)

    def cpu(self):
        rows = [[title] + [self.cpu_cell(k, sc) for k in self.keys] for sc, title in self.scenario_rows]
        rows.append(["load generator core use"] + [
            "%.0f%%" % (100 * median(r.get("loadgen_cpu") for r in self.results[k]["read100x64"] if cell_ok(r)))
            if any(cell_ok(r) for r in self.results[k]["read100x64"]) else "n/a" for k in self.keys])
        return table("Server CPU per request and server core use (a core at 100% is saturated; "
                     "last row: load generator, read 100 x 64)", self.header("scenario"), rows)

    def switches(self):
        rows = [[title] + [self.switches_cell(k, sc) for k in self.keys] for sc, title in self.scenario_rows]
        return table("Server context switches per request, all threads (in brackets: the involuntary ones, "
                     "taken by the scheduler)", self.header("scenario"), rows)

    def polling(self):
        rows = []
        for k in self.keys:
            runs = [r for r in self.results[k]["poll"] if cell_ok(r)]
            if not runs:
                rows.append([self.titles[k], "n/a", "n/a", "n/a", "n/a", "n/a", ""])
                continue
            share = median(r.get("answered_share") for r in runs)
            p99 = median(r.get("p99_us") for r in runs)
            mem = median((r["rss_end_kb"] - r["rss_before_kb"]) / POLL_MASTERS for r in runs if "rss_end_kb" in r)
            use = median(r.get("server_cpu") for r in runs)
            connect = median(r.get("connect_s") for r in runs)
            target = "met" if share is not None and share >= 1.0 and p99 is not None and p99 < TARGET_POLL_P99_US \
                else "missed"
            rows.append([self.titles[k] + self.mark(k, "poll"), "%.2f%%" % (100 * share), fmt_magnitude(p99),
                         "%.1f KiB" % mem if mem is not None else "n/a",
                         "%.0f%%" % (100 * use) if use is not None else "n/a",
                         "%.2f s" % connect if connect is not None else "n/a"] +
                        ([target] if k == "holdbank" else [""]))
        return table("%d masters polling %g times a second (read 100 each; target for Holdbank: all answered, "
                     "p99 < 10 ms)" % (POLL_MASTERS, POLL_RATE),
                     ["server", "answered", "p99", "memory/connection", "server core", "connect all", "target"], rows)

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
        titled = {sc: title for sc, title, _, _ in SCENARIOS}
        rows = []
        for sc in HOOKED_SCENARIOS:
            row = [titled[sc]] + [fmt_rate(self.rps(k, sc)) + self.mark(k, sc) for k in hooked]
            if base:
                row += [fmt_ratio(self.ratio(k, base, sc)) for k in builds]
            if len(builds) == 2:
                row.append(fmt_ratio(self.ratio(builds[0], builds[1], sc)))
            rows.append(row)
        return table("With CUE_OnRead and CUE_OnWrite set on every server (a Python function per register; requests "
                     "per second, and ratios as medians of the per-pass ratios)", header, rows)

    def hooked_cpu(self):
        titled = {sc: title for sc, title, _, _ in SCENARIOS}
        rows = [[titled[sc]] + ["%s, %s" % (self.cpu_cell(k, sc), self.switches_cell(k, sc)) for k in self.hooked]
                for sc in HOOKED_SCENARIOS]
        return table("With hooks: server CPU per request, core use, context switches per request",
                     self.header("scenario", self.hooked), rows)


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
