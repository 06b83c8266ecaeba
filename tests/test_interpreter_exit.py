"""However a host script ends while masters are being served, the process exits with Python's own
status: the end of the script, sys.exit, an unhandled exception, Ctrl-C.

At interpreter exit CPython ends every daemon thread that tries to take the interpreter lock back,
by a forced unwind, and each connection is served on a daemon thread: a connection in the middle
of a request when the script ends is unwound through our native frames. Whether one is caught
there depends on timing, so each case runs ten times, in child interpreters (a crash must fail
the test, not take pytest down), with masters sending as fast as the server answers until the
very end. Each run must end with the expected status and without the runtime's crash reports.

The server cases run under every CPython 3.10 or newer found on the machine: the interpreters end
their threads differently from one version to the next. Ctrl-C with CUF_Close runs once more with
the children starved of CPU, as on a machine loaded many times over: slow, each must still end.
"""
import os
import selectors
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass

import pytest

from pythons import (CRASH_MARKERS, PYTHONS, UNDER_ASAN, child_env, holdbank_only, python_id,  # noqa: F401
                     stall_report)

REPEATS = 10
# Two limits, so that a slow child is not taken for a hung one. Until a child says it is ready
# (the interpreter starts, imports, its masters get going) is not what is tested: ten interpreters
# start at once, and on a loaded machine that alone took half a minute. From "ready" on is what each
# case tests, the end of the script: about a second here, under 15 s with the children starved to
# a few percent of a CPU (the sanitizer build is slower too), never for a hang.
READY_TIMEOUT = 90
EXIT_TIMEOUT = 40
# Both limits, and the look at a stalled child before it is killed.
pytestmark = pytest.mark.timeout(READY_TIMEOUT + EXIT_TIMEOUT + 120)


# Shared by every child: servers on free loopback ports, masters on daemon threads, and ready(),
# which returns once every master is served and the traffic has run a while, and says so.
PRELUDE = r'''
import os, select, signal, socket, struct, sys, threading, time
import Holdbank

# As when started from a terminal, even if our parent ignores Ctrl-C (a background job).
signal.signal(signal.SIGINT, signal.default_int_handler)

answered = []  # answers received, one counter per reading master
filled = []    # one event per master that never reads, set once its buffers are full


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve(index=0, cls=Holdbank.CLASS_Holdbank, allow=None):
    bank = cls(200, "bank%d.json" % index)
    if allow:
        bank.CUF_AllowIP_Add(allow)
        bank.CUF_AllowIP_Active(True)
    port = free_port()
    bank.CUF_Open("127.0.0.1", port)
    return bank, port


def reads(tx, count=10):
    return struct.pack(">HHHBBHH", tx & 0xFFFF, 0, 6, 1, 3, 0, count)


def poll(port, masters=4, depth=8):
    """Masters sending `depth` reads at a time and taking the answers, as fast as they come."""
    def run(slot):
        s = socket.create_connection(("127.0.0.1", port), timeout=10)
        tx = 0
        try:
            while True:
                s.sendall(b"".join(reads(tx + i) for i in range(depth)))
                tx += depth
                need = depth * (9 + 2 * 10)
                while need:
                    chunk = s.recv(need)
                    if not chunk:
                        return
                    need -= len(chunk)
                answered[slot] += depth
        except OSError:
            return

    for _ in range(masters):
        answered.append(0)
        threading.Thread(target=run, args=(len(answered) - 1,), daemon=True).start()


def flood(port):
    """A master that sends reads and never takes an answer, until both sides' buffers are full."""
    full = threading.Event()
    filled.append(full)

    def run():
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.setblocking(False)
        pending, tx = b"", 0
        try:
            while True:
                if not pending:
                    pending = b"".join(reads(tx + i, 120) for i in range(64))
                    tx += 64
                try:
                    pending = pending[s.send(pending):]
                except BlockingIOError:
                    full.set()
                    select.select([], [s], [], 1.0)
        except OSError:
            return

    threading.Thread(target=run, daemon=True).start()


def refused(port, source):
    """A master from an address off the allow-list, connecting again and again."""
    def run():
        while True:
            try:
                with socket.socket() as s:
                    s.bind((source, 0))
                    s.connect(("127.0.0.1", port))
                    s.sendall(reads(1))
                    s.recv(64)
            except OSError:
                pass
            time.sleep(0.01)

    threading.Thread(target=run, daemon=True).start()


def ready(traffic=0.25):
    deadline = time.monotonic() + 15
    while not (all(answered) and all(f.is_set() for f in filled)):
        if time.monotonic() > deadline:
            sys.stderr.write("the masters never got going: %r %r\n" % (answered, [f.is_set() for f in filled]))
            sys.stderr.flush()
            os._exit(97)
        time.sleep(0.005)
    time.sleep(traffic)
    print("ready", flush=True)
'''


@dataclass
class Case:
    body: str
    status: int  # the exit status, or minus the signal number
    interrupt: bool = False  # the parent sends SIGINT once the child says it is ready
    saved: bool | None = None  # whether bank0.json must (True) or must not (False) exist afterwards
    masters_module: bool = False  # needs Socklink, so pymodbus: only this suite's own interpreter


CASES = {
    "end_of_script": Case("""
bank, port = serve()
poll(port)
ready()
""", 0, saved=False),
    "sys_exit": Case("""
bank, port = serve()
poll(port)
ready()
sys.exit(3)
""", 3, saved=False),
    "unhandled_exception": Case("""
bank, port = serve()
poll(port)
ready()
raise RuntimeError("the host script fails while masters are served")
""", 1, saved=False),
    # Short sleeps: the signal may reach another thread, and the main one acts on it only when its
    # sleep ends (so it would not for an hour's sleep).
    "ctrl_c_in_keep_alive_loop": Case("""
bank, port = serve()
poll(port)
ready()
while True:
    time.sleep(1)
""", -signal.SIGINT, interrupt=True, saved=False),
    # The keep-alive loop the README recommends: Ctrl-C still closes (and so saves) the bank.
    "ctrl_c_in_keep_alive_loop_with_close": Case("""
bank, port = serve()
poll(port)
try:
    ready()
    while True:
        time.sleep(1)
finally:
    bank.CUF_Close()
""", -signal.SIGINT, interrupt=True, saved=True),
    # Connections end at exit while holding the bank lock, or waiting for it; the hook sleeping is
    # called through the server's own dispatcher, so a thread is ended two native calls deep.
    "read_hook_sleeping_under_the_lock": Case("""
bank, port = serve()
bank.CUE_OnRead = lambda ip, addr, val: time.sleep(0.05) if addr == 0 else None
poll(port, masters=3, depth=1)
ready()
""", 0),
    # Its handler is stuck sending answers nobody takes.
    "master_that_never_reads": Case("""
bank, port = serve()
flood(port)
poll(port, masters=2)
ready()
""", 0),
    "secured_server": Case("""
bank, port = serve(cls=Holdbank.CLASS_Holdbank_Secured, allow="127.0.0.1")
refused(port, "127.0.0.2")
poll(port)
ready()
""", 0),
    "close_on_another_thread_racing_the_exit": Case("""
bank, port = serve()
poll(port)
ready()
go = threading.Event()

def close():
    go.wait()
    bank.CUF_Close()

threading.Thread(target=close, daemon=True).start()
go.set()
""", 0),
    # The handler threads outlive CUF_Close by a moment: the exit comes while they end.
    "exit_right_after_close": Case("""
bank, port = serve()
poll(port)
ready()
bank.CUF_Close()
""", 0, saved=True),
    "several_servers": Case("""
for i in range(3):
    bank, port = serve(i)
    poll(port, masters=2)
ready()
""", 0),
    # The master side: each Socklink call waits for its answer without the interpreter lock.
    "socklink_masters_polling_on_daemon_threads": Case("""
import Socklink

bank, port = serve()

def run(slot):
    master = Socklink.CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", port)
    while True:
        if master.CUF_Read_HR_int(0, 10):
            answered[slot] += 1

for _ in range(3):
    answered.append(0)
    threading.Thread(target=run, args=(len(answered) - 1,), daemon=True).start()
ready()
""", 0, masters_module=True),
}


@dataclass
class Run:
    status: int | None  # the exit status or minus the signal, as Popen gives it
    timed_out: str  # "" or the limit it did not meet: "ready" or "exit"; the status is then the end we forced
    stdout: str
    stderr: str
    saved: bool
    stall: str  # on time-out, what the child was doing (pythons.stall_report)
    times: tuple  # seconds from the start to "ready" (None if never) and to the end
    exit_limit: float = EXIT_TIMEOUT  # the seconds it had from "ready" to its end


def run_child(python, case, env, cwd, on_ready=None, exit_timeout=EXIT_TIMEOUT):
    """Runs one child: waits for "ready" (READY_TIMEOUT from the start), interrupts it if the case
    says so, then waits for its end (`exit_timeout` from "ready"). `on_ready(pid)` runs first."""
    cwd.mkdir()
    start = time.monotonic()
    proc = subprocess.Popen([python, "-X", "faulthandler", "-c", PRELUDE + case.body], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    early = b""
    timed_out = ""
    stall = ""
    ready_at = None
    try:
        deadline = start + READY_TIMEOUT
        with selectors.DefaultSelector() as sel:
            sel.register(proc.stdout, selectors.EVENT_READ)
            while b"ready\n" not in early:
                if time.monotonic() >= deadline:
                    timed_out = "ready"
                    raise subprocess.TimeoutExpired(proc.args, READY_TIMEOUT)
                if sel.select(timeout=max(0.0, deadline - time.monotonic())):
                    chunk = os.read(proc.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    early += chunk
        deadline = time.monotonic() + exit_timeout
        if b"ready\n" in early:
            ready_at = time.monotonic() - start
            if on_ready:
                on_ready(proc.pid)
            if case.interrupt:
                proc.send_signal(signal.SIGINT)
        timed_out = "exit"
        out, err = proc.communicate(timeout=max(0.1, deadline - time.monotonic()))
        timed_out = ""
    except subprocess.TimeoutExpired:
        stall = stall_report(proc.pid, cwd)
        # faulthandler answers SIGABRT with every thread's stack, for the report.
        proc.send_signal(signal.SIGABRT)
        try:
            out, err = proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate(timeout=10)
    return Run(proc.returncode, timed_out, (early + out).decode(errors="replace"), err.decode(errors="replace"),
               (cwd / "bank0.json").exists(), stall, (ready_at, time.monotonic() - start), exit_timeout)


def describe(status):
    if status is None:
        return "still running"
    if status < 0:
        return "killed by %s" % signal.Signals(-status).name
    return "exit status %d" % status


def problems(run, case):
    found = []
    if run.timed_out == "ready":
        found.append("not ready within %d s (then %s)" % (READY_TIMEOUT, describe(run.status)))
    elif run.timed_out:
        found.append("did not end within %d s of being ready (then %s), expected %s; %s" % (
            run.exit_limit, describe(run.status), describe(case.status), run.stall))
    elif run.status != case.status:
        found.append("%s, expected %s" % (describe(run.status), describe(case.status)))
    found += ["%r on stderr" % m for m in CRASH_MARKERS if m in run.stderr]
    if "ready" not in run.stdout and run.timed_out != "ready":
        found.append("never ready")
    if case.saved is not None and run.saved != case.saved:
        found.append("the bank was saved" if run.saved else "the bank was not saved")
    return found


def check(runs, case):
    failed = [(run, problems(run, case)) for run in runs]
    failed = [(run, found) for run, found in failed if found]
    if failed:
        run, _ = failed[0]
        timings = ", ".join("%s/%.1f" % ("-" if r.times[0] is None else "%.1f" % r.times[0], r.times[1]) for r in runs)
        pytest.fail("%d of %d runs went wrong:\n%s\nseconds to ready/end of each run: %s\n"
                    "--- the first: stdout (end) ---\n%s\n--- its stderr (end) ---\n%s" % (
                        len(failed), len(runs), "\n".join("; ".join(f) for _, f in failed), timings,
                        run.stdout[-1500:], run.stderr[-4000:]), pytrace=False)


@pytest.mark.parametrize("name, python", [
    pytest.param(name, python, id="%s-%s" % (name, python_id(python)))
    for name, case in CASES.items()
    for python in PYTHONS
    if python == sys.executable or not case.masters_module
])
def test_the_script_ends_with_pythons_own_status_while_masters_are_served(name, python, holdbank_only,
                                                                           tmp_path):
    if UNDER_ASAN and python != sys.executable:
        pytest.skip("the preloaded sanitizer runtime serves this suite's interpreter only")
    case = CASES[name]
    env = child_env(python, holdbank_only)
    with ThreadPoolExecutor(max_workers=REPEATS) as pool:
        runs = list(pool.map(lambda i: run_child(python, case, env, tmp_path / ("run%d" % i)), range(REPEATS)))
    check(runs, case)


class CpuCap:
    """A control group of our own whose processes share `percent` of one CPU, whatever else the
    machine runs: cgroup v1's cpu controller, or v2's where it is already enabled at the root.
    Raises OSError where neither can be had (not Linux, not root)."""

    PERIOD_US = 100_000

    def __init__(self, percent):
        quota = int(self.PERIOD_US * percent / 100)
        name = "holdbank-exit-test-%d" % os.getpid()
        v1 = "/sys/fs/cgroup/cpu"
        if os.path.isfile(os.path.join(v1, "cpu.cfs_quota_us")):
            self.path = os.path.join(v1, name)
            settings = [("cpu.cfs_period_us", str(self.PERIOD_US)), ("cpu.cfs_quota_us", str(quota))]
        else:
            with open("/sys/fs/cgroup/cgroup.subtree_control") as f:
                if "cpu" not in f.read().split():
                    raise OSError("the cpu controller is not enabled at the cgroup root")
            self.path = os.path.join("/sys/fs/cgroup", name)
            settings = [("cpu.max", "%d %d" % (quota, self.PERIOD_US))]
        os.mkdir(self.path)
        try:
            for file, value in settings:
                self._write(file, value)
        except OSError:
            os.rmdir(self.path)
            raise

    def _write(self, file, value):
        with open(os.path.join(self.path, file), "w") as f:
            f.write(value)

    def add(self, pid):
        try:
            self._write("cgroup.procs", str(pid))
        except ProcessLookupError:
            pass  # it ended already: its status says how

    def remove(self):
        # The children are gone by now; their exit may take a moment to leave the group.
        deadline = time.monotonic() + 10
        while True:
            try:
                os.rmdir(self.path)
                return
            except OSError:
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.05)


@pytest.fixture
def starved_cpu():
    try:
        cap = CpuCap(STARVED_PERCENT)
    except OSError as e:
        pytest.skip("no CPU control group to starve the children in: %s" % e)
    yield cap
    cap.remove()


# All ten children together get this much of one CPU from the moment each is ready: a fifth of a
# percent each, shared with its own masters, which go on polling. Unloaded, the end takes about
# 0.3 s; starved so, 5 to 35 s, and over 40 s when the rest of the machine is busy too (the group
# then gets less than its share), so a starved child has a longer limit: a hung one never ends.
STARVED_PERCENT = 2
STARVED_EXIT_TIMEOUT = 120


@pytest.mark.timeout(READY_TIMEOUT + STARVED_EXIT_TIMEOUT + 120)

def test_ctrl_c_with_close_ends_in_time_when_starved_of_cpu(holdbank_only, starved_cpu, tmp_path):
    """The "Ctrl-C with close" case as on a machine loaded many times over: once ready, the
    children share two percent of a CPU, and each must still close, save and exit with Python's
    own status within its limit. A child that waits on something that never comes (a lock, the
    serve loop's end, the event loop's thread), as a race that only starvation opens could make
    it, fails; one that is only slow does not. The children run on every CPython found, together."""
    case = CASES["ctrl_c_in_keep_alive_loop_with_close"]
    pythons = [p for p in PYTHONS if not UNDER_ASAN or p == sys.executable]
    chosen = [pythons[i % len(pythons)] for i in range(REPEATS)]
    with ThreadPoolExecutor(max_workers=REPEATS) as pool:
        runs = list(pool.map(
            lambda i: run_child(chosen[i], case, child_env(chosen[i], holdbank_only), tmp_path / ("run%d" % i),
                                on_ready=starved_cpu.add, exit_timeout=STARVED_EXIT_TIMEOUT),
            range(REPEATS)))
    check(runs, case)
