"""Opening and closing the server: the listener, its threads, the close order and its messages."""
import collections
import json
import logging
import os
import random
import selectors
import signal
import socket
import subprocess
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import Holdbank
from child_checks import LINUX_ONLY, check_child
from conftest import free_port, mbap, recv_frame, wait_until
from pythons import CRASH_MARKERS, child_env, each_python, holdbank_only, skip_other_under_asan  # noqa: F401


def test_open_serves_on_a_daemon_thread(tmp_path, port, capsys):
    b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
    assert b.CUF_Open("127.0.0.1", port) is None
    try:
        assert capsys.readouterr().out == "[Holdbank] Server Started on 127.0.0.1:%d\n" % port
        assert isinstance(b.server_net, Holdbank.ThreadedSocklinkServer)
        assert b.server_net.owner is b
        assert isinstance(b.server_thread, threading.Thread)
        assert b.server_thread.daemon and b.server_thread.is_alive()
        assert b.server_net.RequestHandlerClass is Holdbank.CLASS_SocklinkWorker
    finally:
        b.CUF_Close()


def test_open_on_a_taken_port_raises_and_changes_nothing(tmp_path, port, capsys):
    holder = socket.socket()
    holder.bind(("127.0.0.1", port))
    holder.listen()
    try:
        b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
        with pytest.raises(OSError):
            b.CUF_Open("127.0.0.1", port)
        assert capsys.readouterr().out == ""
        assert b.server_net is None and b.server_thread is None
    finally:
        holder.close()


def test_open_defaults_to_every_interface_on_502(tmp_path, capsys):
    b = Holdbank.CLASS_Holdbank(10, str(tmp_path / "b.json"))
    try:
        b.CUF_Open()
    except PermissionError:
        pytest.skip("port 502 needs privileges here")
    except OSError as e:
        pytest.skip("port 502 is taken here: %s" % e)
    try:
        assert b.server_net.server_address == ("0.0.0.0", 502)
        assert capsys.readouterr().out == "[Holdbank] Server Started on 0.0.0.0:502\n"
    finally:
        b.CUF_Close()


def test_close_with_two_masters(tmp_path, port, capsys):
    path = tmp_path / "b.json"
    b = Holdbank.CLASS_Holdbank(3, str(path))
    gone = []
    b.CUE_OnDisconnect = gone.append
    b.CUF_Open("127.0.0.1", port)
    masters = [socket.create_connection(("127.0.0.1", port), timeout=5) for _ in range(2)]
    try:
        fulls = ["127.0.0.1:%d" % m.getsockname()[1] for m in masters]
        wait_until(lambda: sorted(b.CUF_ListConnections()) == sorted(fulls))
        b.hr[1] = 5
        capsys.readouterr()
        b.CUF_Close()
        out = capsys.readouterr().out
        assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
        assert out.endswith("[Holdbank] 🛑 TCP port was closed。\n")
        assert json.loads(path.read_text())["READ_WRITE"]["1"] == 5
        for m in masters:
            assert m.recv(10) == b""
        wait_until(lambda: sorted(gone) == sorted(fulls))
        # the port is free again at once
        b.CUF_Open("127.0.0.1", port)
        with socket.create_connection(("127.0.0.1", port), timeout=5) as again:
            again.sendall(mbap(b"\x03\x00\x01\x00\x01"))
            assert recv_frame(again)[3] == b"\x03\x02\x00\x05"
        b.CUF_Close()
    finally:
        for m in masters:
            m.close()


def test_close_of_a_server_never_opened_only_saves(tmp_path, capsys):
    path = tmp_path / "b.json"
    b = Holdbank.CLASS_Holdbank(2, str(path))
    assert b.CUF_Close() is None
    out = capsys.readouterr().out
    assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
    assert "TCP port was closed" not in out
    assert path.exists()


def test_close_twice_repeats_both_lines(tmp_path, port, capsys):
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    b.CUF_Close()
    capsys.readouterr()
    b.CUF_Close()
    out = capsys.readouterr().out
    assert out.startswith("[Holdbank] 🔄 Executing safity close procedure...\n")
    assert out.endswith("[Holdbank] 🛑 TCP port was closed。\n")


def test_failed_save_is_logged_and_the_close_goes_on(tmp_path, port, holdbank_log, capsys):
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "missing-folder" / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    m = socket.create_connection(("127.0.0.1", port), timeout=5)
    try:
        wait_until(lambda: len(b.CUF_ListConnections()) == 1)
        b.CUF_Close()
        messages = holdbank_log.lines(logging.ERROR)
        assert len(messages) == 1 and messages[0].startswith("Auto save failed during close: ")
        assert "No such file or directory" in messages[0]
        assert m.recv(10) == b""
        assert capsys.readouterr().out.endswith("[Holdbank] 🛑 TCP port was closed。\n")
    finally:
        m.close()


def test_failed_listener_stop_is_logged(tmp_path, holdbank_log, capsys):
    class Broken:
        def shutdown(self):
            raise RuntimeError("cannot stop")

    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.server_net = Broken()
    assert b.CUF_Close() is None
    assert holdbank_log.lines(logging.ERROR) == ["Error closing TCP server: cannot stop"]
    assert "TCP port was closed" not in capsys.readouterr().out


def test_close_order_is_save_then_drop_then_stop(tmp_path, port):
    order = []

    class Traced(Holdbank.CLASS_Holdbank):
        def CUF_SaveToFile(self, filename):
            order.append(("save", list(self.CUF_ListConnections())))

        def CUF_DisconnectClient(self, full_address):
            order.append(("drop", full_address))
            return super().CUF_DisconnectClient(full_address)

    b = Traced(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", port)
    with socket.create_connection(("127.0.0.1", port), timeout=5) as m:
        full = "127.0.0.1:%d" % m.getsockname()[1]
        wait_until(lambda: b.CUF_ListConnections() == [full])
        b.CUF_Close()
    assert order == [("save", [full]), ("drop", full)]
    assert not b.server_thread.is_alive() or b.server_thread.join(5) is None


def test_interrupt_during_close_is_not_swallowed(tmp_path):
    class Interrupting(Holdbank.CLASS_Holdbank):
        def CUF_SaveToFile(self, filename):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Interrupting(2, str(tmp_path / "b.json")).CUF_Close()


def test_second_open_without_close_leaves_the_first_listener(tmp_path, capsys):
    p1, p2 = free_port(), free_port()
    b = Holdbank.CLASS_Holdbank(2, str(tmp_path / "b.json"))
    b.CUF_Open("127.0.0.1", p1)
    first = b.server_net
    b.CUF_Open("127.0.0.1", p2)
    try:
        assert b.server_net is not first
        with socket.create_connection(("127.0.0.1", p1), timeout=5):
            pass
    finally:
        b.CUF_Close()
        first.shutdown()
        first.server_close()


# --- open and close in child interpreters of every CPython ------------------------------------
# Each case below runs whole in a child (child_checks), so a close that never returns fails its
# test with the stacks instead of hanging the run.

OPEN_FAILS = r'''
import threading

how, before = HOW, BEFORE
bank = Holdbank.CLASS_Holdbank(4, "bank.json")
if before == "listening elsewhere":
    first_port = free_port()
    bank.CUF_Open("127.0.0.1", first_port)
former = (bank.server_net, bank.server_thread)
threads, fds, tasks = set(threading.enumerate()), descriptors(), os_threads()

started = []
if how == "thread cannot start":
    name = "_start_joinable_thread" if hasattr(threading, "_start_joinable_thread") else "_start_new_thread"
    real = getattr(threading, name)

    def cannot_start(*args, **kwargs):
        raise RuntimeError("can't start new thread")

    setattr(threading, name, cannot_start)
    restore = lambda: setattr(threading, name, real)
    expected = "RuntimeError(\"can't start new thread\")"
else:
    real = threading.Thread.start

    def start_then_interrupt(self):
        real(self)
        started.append(self)
        raise KeyboardInterrupt  # Ctrl-C landing while start waits for the new thread

    threading.Thread.start = start_then_interrupt
    restore = lambda: setattr(threading.Thread, "start", real)
    expected = "KeyboardInterrupt()"

port = free_port()
try:
    bank.CUF_Open("127.0.0.1", port)
    problem("CUF_Open returned; expected it to raise " + expected)
except BaseException as e:
    expect(repr(e) == expected, "CUF_Open raised %r, expected %s" % (e, expected))
finally:
    restore()

expect(bank.server_net is former[0], "server_net is %r, not its former %r" % (bank.server_net, former[0]))
expect(bank.server_thread is former[1], "server_thread is %r, not its former %r" % (bank.server_thread, former[1]))
try:
    with socket.socket() as s:
        s.bind(("127.0.0.1", port))
except OSError as e:
    problem("the port of the failed open is not released: %s" % e)
settle([
    (lambda: not any(t.is_alive() for t in started), "the serve thread the failed open started still runs"),
    (lambda: set(threading.enumerate()) == threads,
     lambda: "threads left by the failed open: %r" % (set(threading.enumerate()) - threads)),
    (lambda: os_threads() == tasks, lambda: "%d native threads left by the failed open" % (os_threads() - tasks)),
    (lambda: descriptors() == fds,
     lambda: "descriptors left by the failed open: %r" % sorted(set(descriptors()) - set(fds))),
])
if before == "listening elsewhere":
    expect(serves(first_port), "the listener opened before the failed open no longer serves")

closed, result = call_within(bank.CUF_Close)
if expect(closed, "CUF_Close after the failed open did not return within 5 s"):
    expect(result is None, "CUF_Close after the failed open raised %r" % (result,))
    if before == "listening elsewhere":
        expect(refused(first_port), "the listener opened before still accepts after CUF_Close")
    bank.CUF_Open("127.0.0.1", port)
    expect(serves(port), "a new CUF_Open on the port does not serve")
    expect(call_within(bank.CUF_Close)[0], "CUF_Close of the new open did not return within 5 s")
print("done")
'''


@LINUX_ONLY
@pytest.mark.parametrize("before", ["never opened", "listening elsewhere"])
@pytest.mark.parametrize("how", ["thread cannot start", "interrupt after the thread started"])
@each_python()
def test_failed_open_leaves_nothing_and_close_returns(python, how, before, holdbank_only, tmp_path):
    """An open that fails after the bind (no serve thread, or Ctrl-C while the thread starts) is
    undone whole: the error reaches the caller, the bank keeps its former listener, the new port is
    free at once, nothing it started stays, and CUF_Close returns instead of waiting forever for
    a serve loop that never ran."""
    body = "HOW, BEFORE = %r, %r\n" % (how, before) + OPEN_FAILS
    check_child(python, holdbank_only, tmp_path, body, timeout=30)


# The open is the short stretch of each turn: "opening" is said right before it, and the interrupt
# lands within a few hundred microseconds of that, around the moment the new listener is stored
# and its serve thread started.
OPEN_CLOSE_LOOP = r'''
import os, signal
signal.signal(signal.SIGINT, signal.default_int_handler)  # as from a terminal
import Holdbank

bank = Holdbank.CLASS_Holdbank(1, "bank.json")
said = os.fdopen(os.dup(1), "w")
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)  # the server's own lines
while True:
    said.write("opening\n")
    said.flush()
    try:
        bank.CUF_Open("127.0.0.1", 0)
    finally:
        bank.CUF_Close()
'''
INTERRUPTS = 40
AFTER_INTERRUPT = 5  # seconds a child may take to end once interrupted; it needs a few hundredths


def interrupted_loop(python, env, cwd, rng):
    """One try: the loop interrupted during its first or second open; what went wrong, or None."""
    cwd.mkdir()
    proc = subprocess.Popen([python, "-X", "faulthandler", "-c", OPEN_CLOSE_LOOP], cwd=cwd, env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    try:
        with selectors.DefaultSelector() as sel:
            sel.register(proc.stdout, selectors.EVENT_READ)

            def heard(timeout):
                """"opening" once the loop opens again, "ended" once it is gone, else "silent"."""
                deadline = time.monotonic() + timeout
                while time.monotonic() < deadline:
                    if sel.select(timeout=max(0.0, deadline - time.monotonic())):
                        chunk = os.read(proc.stdout.fileno(), 64)
                        if not chunk:
                            return "ended"
                        if b"opening" in chunk:
                            return "opening"
                return "silent"

            for _ in range(rng.randint(1, 2)):
                if heard(20) != "opening":
                    proc.kill()
                    return "never opened: %r" % proc.communicate(timeout=10)[1].decode(errors="replace")[-1500:]
            for _ in range(5):
                time.sleep(rng.uniform(0, 0.0002))
                proc.send_signal(signal.SIGINT)
                after = heard(AFTER_INTERRUPT)
                # Python drops a KeyboardInterrupt raised inside a weakref callback, and the loop
                # goes on: Ctrl-C again, as a user would.
                if after != "opening":
                    break
            else:
                after = "still looping after 5 interrupts"
        if after == "silent":
            proc.send_signal(signal.SIGABRT)  # faulthandler shows where it hangs
            err = proc.communicate(timeout=10)[1].decode(errors="replace")
            return "did not end within %d s of Ctrl-C:\n%s" % (AFTER_INTERRUPT, err[-3000:])
        err = proc.communicate(timeout=10)[1].decode(errors="replace")
        # Usually killed by SIGINT; status 1 when the interrupt broke a lock inside threading's
        # Condition.wait and Python raised "release unlocked lock" on its way out: its own doing.
        if after != "ended" or "KeyboardInterrupt" not in err or any(m in err for m in CRASH_MARKERS):
            return "%s, status %s:\n%s" % (after, proc.returncode, err[-3000:])
        return None
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.communicate(timeout=10)


@LINUX_ONLY
@each_python()
def test_ctrl_c_during_open_in_a_try_finally_always_ends(python, holdbank_only, tmp_path):
    """Ctrl-C landing in CUF_Open of `try: CUF_Open ... finally: CUF_Close()`: the close must not
    wait for a serve loop the interrupted open never started, so the script ends every time, by
    the interrupt."""
    skip_other_under_asan(python)
    env = child_env(python, holdbank_only)
    rngs = [random.Random(i) for i in range(INTERRUPTS)]
    # The children mostly wait for their listener to stop: eight at a time suit two cores.
    with ThreadPoolExecutor(max_workers=8) as pool:
        ends = list(pool.map(lambda i: interrupted_loop(python, env, tmp_path / ("try%d" % i), rngs[i]),
                             range(INTERRUPTS)))
    wrong = [e for e in ends if e]
    if wrong:
        kinds = collections.Counter(e.splitlines()[0] for e in wrong)
        pytest.fail("%d of %d interrupted scripts went wrong: %s; the first:\n%s"
                    % (len(wrong), INTERRUPTS, dict(kinds), wrong[0]), pytrace=False)


SECOND_OPENS = r'''
import contextlib, io, json, threading

threads, fds, tasks = set(threading.enumerate()), descriptors(), os_threads()
bank = Holdbank.CLASS_Holdbank(4, "bank.json")
ports = []
while len(ports) < LISTENERS:
    p = free_port()
    if p not in ports:
        ports.append(p)
for p in ports:
    bank.CUF_Open("127.0.0.1", p)
masters = [connect(p) for p in ports]
fulls = sorted(full_address(m) for m in masters)
expect(wait_for(lambda: sorted(bank.CUF_ListConnections()) == fulls),
       "masters listed: %r, expected %r" % (bank.CUF_ListConnections(), fulls))
bank.CUF_REG_Write(1, 77)

printed = io.StringIO()
with contextlib.redirect_stdout(printed):
    closed, result = call_within(bank.CUF_Close)
if not closed:
    problem("CUF_Close did not return within 5 s")
    os._exit(1)
lines = printed.getvalue().splitlines()
expect(lines.count("[Holdbank] 🛑 TCP port was closed。") == LISTENERS,
       "the close printed %r for %d listeners" % (lines, LISTENERS))
with open("bank.json") as saved:
    expect(json.load(saved)["READ_WRITE"]["1"] == 77, "the close did not save the bank")
for p, m in zip(ports, masters):
    expect(connection_ends(m), "the master of port %d (of %r) is still connected after CUF_Close" % (p, ports))
    m.close()
for p in ports:
    expect(refused(p), "port %d (of %r) still accepts masters after CUF_Close" % (p, ports))
# The dropped masters' handler threads end a moment after the close.
settle([
    (lambda: set(threading.enumerate()) == threads,
     lambda: "threads left after CUF_Close: %r" % (set(threading.enumerate()) - threads)),
    (lambda: os_threads() == tasks, lambda: "%d native threads left after CUF_Close" % (os_threads() - tasks)),
    (lambda: descriptors() == fds,
     lambda: "descriptors left after CUF_Close: %r" % sorted(set(descriptors()) - set(fds))),
])
print("done")
'''


@LINUX_ONLY
@each_python()
def test_close_stops_every_listener_the_bank_opened(python, holdbank_only, tmp_path):
    """A bank opened on three ports: CUF_Close stops each listener (the first and the middle one
    too, not only the newest), drops the masters of each, releases each port, and leaves none of
    the threads and descriptors the opens made."""
    body = "LISTENERS = 3\n" + SECOND_OPENS
    check_child(python, holdbank_only, tmp_path, body, timeout=30)


# The wrapper is a module global: it is finalized at interpreter exit, after the serve thread
# has been stopped by the interpreter's own shutdown.
CLOSED_BY_FINALISER = r'''
class Served:
    def __init__(self, port, with_master):
        self.bank = Holdbank.CLASS_Holdbank(4, "bank.json")
        self.bank.CUF_Open("127.0.0.1", port)
        self.master = None
        if with_master:
            self.master = connect(port)
            self.master.sendall(READ_ONE)
            expect(answer(self.master) is not None, "the master was not served")

    def __del__(self):
        self.bank.CUF_Close()


served = Served(free_port(), WITH_MASTER)
print("done")
'''


@pytest.mark.parametrize("with_master", [False, True], ids=["no-master", "master-connected"])
@each_python()
def test_close_from_a_finaliser_at_exit_saves_and_exits(python, with_master, holdbank_only, tmp_path):
    """CUF_Close called by __del__ at interpreter exit: the process ends by itself with status 0,
    the bank saved, instead of waiting forever for a serve thread the exit already stopped."""
    body = "WITH_MASTER = %r\n" % with_master + CLOSED_BY_FINALISER
    check_child(python, holdbank_only, tmp_path, body, timeout=10)
    assert (tmp_path / "bank.json").exists(), "the close at exit did not save the bank"
