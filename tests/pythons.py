"""Child interpreters for the cases that must hold on every CPython 3.10 or newer on the machine,
and for the cases that could hang or crash: a hang must fail its test, not the whole run.

`PYTHONS` lists this suite's interpreter first, then every other CPython 3.10+ found under pyenv.
Interpreters other than this one import the server module from a folder that holds it alone (the
`holdbank_only` fixture), so nothing else of this environment leaks into theirs.
"""
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import time
from dataclasses import dataclass

import pytest

UNDER_ASAN = "asan" in os.environ.get("LD_PRELOAD", "")
CRASH_MARKERS = ("terminate called", "Fatal Python error", "Segmentation fault", "core dumped",
                 "AddressSanitizer", "runtime error:")


def other_interpreters():
    """CPython 3.10 and newer from pyenv, other than the one this suite runs on."""
    own = {os.path.realpath(sys.executable), os.path.realpath(getattr(sys, "_base_executable", sys.executable))}
    found = []
    for path in sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.1*/bin/python3.1*"))):
        if re.search(r"/python3\.1\d+$", path) and os.access(path, os.X_OK) and os.path.realpath(path) not in own:
            found.append(path)
    return found


PYTHONS = [sys.executable] + other_interpreters()


def python_id(python):
    return "this-python" if python == sys.executable else os.path.basename(python)


def each_python():
    """Parametrize a test over PYTHONS: `@each_python()` and a `python` argument."""
    return pytest.mark.parametrize("python", PYTHONS, ids=[python_id(p) for p in PYTHONS])


@pytest.fixture(scope="session")
def holdbank_only(tmp_path_factory):
    """A folder holding just the server module under test, for interpreters of other versions."""
    import Holdbank

    folder = tmp_path_factory.mktemp("holdbank_only")
    shutil.copy(Holdbank.__file__, folder)
    return str(folder)


def child_env(python, holdbank_only):
    env = dict(os.environ)
    if python != sys.executable:
        env["PYTHONPATH"] = holdbank_only
    else:
        import Holdbank

        env["PYTHONPATH"] = os.pathsep.join(
            [os.path.dirname(Holdbank.__file__)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else []))
    return env


def skip_other_under_asan(python):
    if UNDER_ASAN and python != sys.executable:
        pytest.skip("the preloaded sanitizer runtime serves this suite's interpreter only")


@dataclass
class ChildRun:
    status: int | None  # the exit status or minus the signal, as Popen gives it
    timed_out: bool  # did not end by itself in time; the status is then the end we forced
    stdout: str
    stderr: str
    stall: str = ""  # on time-out, what stall_report() found

    def report(self):
        return "status %s%s\n--- stdout (end) ---\n%s\n--- stderr (end) ---\n%s" % (
            self.status, " (timed out: the stacks below are where it was; %s)" % self.stall if self.timed_out else "",
            self.stdout[-2000:], self.stderr[-6000:])

    def crashed(self):
        return [m for m in CRASH_MARKERS if m in self.stderr]


def stall_report(pid, folder):
    """What a child that did not end in time is doing, read before it is killed, so that a slow
    child can be told from a hung one: its threads' states and the CPU time it used over a second
    (a child waiting on what never comes uses next to none), and, where gdb is installed, every
    thread's native stack, written to `folder`/native-stacks.txt (faulthandler shows only the
    Python frames)."""
    found = []
    try:
        def cpu():
            with open("/proc/%d/stat" % pid) as f:
                fields = f.read().rsplit(")", 1)[1].split()
            return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

        def states():
            counts = {}
            for tid in os.listdir("/proc/%d/task" % pid):
                with open("/proc/%d/task/%s/stat" % (pid, tid)) as f:
                    state = f.read().rsplit(")", 1)[1].split()[0]
                counts[state] = counts.get(state, 0) + 1
            return counts

        before = cpu()
        time.sleep(1.0)
        found.append("%.2f s of CPU in 1 s; threads by state %s" % (cpu() - before, states()))
    except (OSError, ValueError, IndexError):
        pass  # not Linux, or it ended meanwhile
    gdb = shutil.which("gdb")
    if gdb:
        path = os.path.join(str(folder), "native-stacks.txt")
        try:
            done = subprocess.run([gdb, "-p", str(pid), "-batch", "-ex", "set pagination off", "-ex", "info threads",
                                   "-ex", "thread apply all bt"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, timeout=60)
            with open(path, "wb") as f:
                f.write(done.stdout)
            found.append("native stacks in %s" % path)
        except (OSError, subprocess.TimeoutExpired):
            pass
        try:
            os.kill(pid, signal.SIGCONT)  # a debugger that did not finish may leave it stopped
        except OSError:
            pass
    return "; ".join(found)


def run_child(python, script, holdbank_only, cwd, timeout=40, env=None):
    """Runs `script` in a child interpreter with faulthandler on; on time-out every thread's stack
    is dumped (SIGABRT) before the child is killed, so the report shows where it hung."""
    full_env = child_env(python, holdbank_only)
    full_env.update(env or {})
    proc = subprocess.Popen([python, "-X", "faulthandler", "-c", script], cwd=cwd, env=full_env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    timed_out = False
    stall = ""
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        timed_out = True
        stall = stall_report(proc.pid, cwd)
        proc.send_signal(signal.SIGABRT)
        try:
            out, err = proc.communicate(timeout=5)
        except subprocess.TimeoutExpired:
            proc.kill()
            out, err = proc.communicate(timeout=10)
    return ChildRun(proc.returncode, timed_out, out.decode(errors="replace"), err.decode(errors="replace"), stall)


def wait_for(predicate, timeout, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()
