"""Cases that run whole in a child interpreter of each CPython and report what they found.

A child script starts with CHILD_PRELUDE. It reports every broken expectation on a line of its own
("PROBLEM: ...") and goes on, so one run shows each way a case fails, and prints "done" at its
end. `check_child` runs such a script under one interpreter and fails the test with the problems,
a hang (with every thread's stack, see pythons.run_child), a crash or an unexpected exit.
"""
import sys

import pytest

from pythons import run_child, skip_other_under_asan

# /proc, and loopback addresses other than 127.0.0.1.
LINUX_ONLY = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs Linux")

CHILD_PRELUDE = r'''
import os, select, signal, socket, struct, sys, threading, time
import Holdbank

problems = []


def problem(text):
    problems.append(text)
    print("PROBLEM: " + text, flush=True)


def expect(condition, text):
    if not condition:
        problem(text)
    return condition


def wait_for(predicate, timeout=5.0, interval=0.01):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    return predicate()


def settle(checks, timeout=2.0):
    """Waits until every (predicate, message) holds, at most `timeout` seconds for them all, then
    reports each that does not; a message may be a function, to describe the state at that time."""
    wait_for(lambda: all(holds() for holds, _ in checks), timeout)
    for holds, message in checks:
        expect(holds(), message() if callable(message) else message)


def call_within(function, timeout=5.0):
    """Runs `function` on a daemon thread: (True, result) once it returned in time, (True,
    exception) once it raised, (False, None) while it still runs."""
    outcome = []

    def run():
        try:
            outcome.append(function())
        except BaseException as e:  # reported to the caller
            outcome.append(e)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    return (True, outcome[0]) if outcome else (False, None)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def descriptors():
    return sorted(os.listdir("/proc/self/fd"), key=int)


def os_threads():
    """Every thread of the process, the module's own native ones included."""
    return len(os.listdir("/proc/self/task"))


def full_address(sock):
    return "%s:%d" % sock.getsockname()


def connect(port, source="127.0.0.1", source_port=0):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.settimeout(5)
    s.bind((source, source_port))
    s.connect(("127.0.0.1", port))
    return s


def request(pdu, tx=1):
    return struct.pack(">HHHB", tx, 0, len(pdu) + 1, 1) + pdu


READ_ONE = request(struct.pack(">BHH", 3, 0, 1))


def write_one(addr, value):
    return request(struct.pack(">BHH", 6, addr, value))


def answer(sock):
    """The PDU of the next answer frame; None when the connection ends or nothing comes in 5 s."""
    data = b""
    try:
        while len(data) < 7 or len(data) < 6 + struct.unpack(">H", data[4:6])[0]:
            chunk = sock.recv(4096)
            if not chunk:
                return None
            data += chunk
    except OSError:
        return None
    return data[7:]


def ended(socks, timeout=5.0):
    """The sockets whose connection the server ended within `timeout` (all of them together); one
    that gets an answer instead, or nothing, is left out."""
    deadline = time.monotonic() + timeout
    pending, done = list(socks), []
    while pending and time.monotonic() < deadline:
        ready, _, _ = select.select(pending, [], [], max(0.0, deadline - time.monotonic()))
        for s in ready:
            pending.remove(s)
            try:
                if s.recv(256) == b"":
                    done.append(s)
            except ConnectionResetError:  # closed with our request unread
                done.append(s)
            except OSError:
                pass
    return done


def connection_ends(sock, timeout=5.0):
    return bool(ended([sock], timeout))


def refused(port):
    try:
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    except ConnectionRefusedError:
        return True
    return False


def serves(port):
    """A master connecting to `port` gets its read answered."""
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(READ_ONE)
            return answer(s) is not None
    except OSError:
        return False
'''


def problems_of(run):
    return [line[len("PROBLEM: "):] for line in run.stdout.splitlines() if line.startswith("PROBLEM: ")]


def check_child(python, holdbank_only, cwd, body, timeout=20, status=0):
    """Runs CHILD_PRELUDE + body in `python` in the folder `cwd`; fails the test unless the child
    ended by itself in time with `status`, reported no problem and reached its end."""
    skip_other_under_asan(python)
    run = run_child(python, CHILD_PRELUDE + body, holdbank_only, str(cwd), timeout)
    found = []
    if run.timed_out:
        found.append("the child did not end within %d s" % timeout)
    elif run.status != status:
        found.append("the child ended with status %s, not %s" % (run.status, status))
    found += ["%r on stderr" % m for m in run.crashed()]
    found += problems_of(run)
    if not run.timed_out and "done" not in run.stdout.splitlines():
        found.append("the child never reached its end")
    if found:
        pytest.fail("\n".join(found) + "\n" + run.report(), pytrace=False)
    return run


# A master that resets its connection and connects again from the same address and port: the new
# connection has the old one's full address. Appended to CHILD_PRELUDE by the cases that use it.
COMING_BACK = r'''
connects, disconnects = [], []
write_entered = threading.Event()
slow_writes = [1]


def slow_first_write(ip, addr, value):
    # Keeps the old connection's handler busy while its master comes back.
    if slow_writes:
        slow_writes.pop()
        write_entered.set()
        time.sleep(0.3)


def watch(bank, serving):
    bank.CUE_OnConnect = lambda ip, full: connects.append(full)
    bank.CUE_OnDisconnect = disconnects.append
    if serving == "handler busy in a hook":
        bank.CUE_OnWrite = slow_first_write


def come_back(port, serving, source="127.0.0.1"):
    """Returns the new connection and its full address once the old one's disconnect step ran."""
    old = connect(port, source)
    full = full_address(old)
    expect(wait_for(lambda: full in connects), "%s never had its connect step" % full)
    if serving == "handler busy in a hook":
        old.sendall(write_one(1, 5))
        expect(write_entered.wait(5), "the write hook was never called")
    else:
        old.sendall(READ_ONE)
        expect(answer(old) is not None, "%s was not served" % full)
    old.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    old.close()  # a reset
    new = connect(port, source, int(full.rsplit(":", 1)[1]))
    expect(wait_for(lambda: connects.count(full) == 2 and full in disconnects),
           "%s: %d connect steps and %d disconnect steps, expected 2 and 1"
           % (full, connects.count(full), disconnects.count(full)))
    return new, full


def all_listed(bank, back):
    fulls = sorted(full for _, full in back)
    listed = bank.CUF_ListConnections()
    return expect(sorted(listed) == fulls, "%d of %d masters that came back are missing from CUF_ListConnections: %r"
                  % (len(set(fulls) - set(listed)), len(fulls), sorted(set(fulls) - set(listed))))
'''


# Masters whose connect step fails: a hook raises.
FAILED_CONNECT_STEP = r'''
bank = getattr(Holdbank, CLASS)(16, "bank.json")


def failing(ip, full):
    raise RuntimeError("the connect step fails")


setattr(bank, HOOK, failing)
for ip in ALLOWED:
    bank.CUF_AllowIP_Add(ip)
if ALLOWED:
    bank.CUF_AllowIP_Active(True)
disconnects = []
bank.CUE_OnDisconnect = disconnects.append
port = free_port()
bank.CUF_Open("127.0.0.1", port)
masters = [connect(port, SOURCE) for _ in range(MASTERS)]
gone = ended(masters)
for m in masters:
    expect(m in gone, "%s is still connected after its connect step failed" % full_address(m))
expect(wait_for(lambda: bank.CUF_ListConnections() == []),
       "%d entries stay for %d masters whose connect step failed" % (len(bank.CUF_ListConnections()), MASTERS))
wait_for(lambda: disconnects, 0.3)
expect(disconnects == [], "CUE_OnDisconnect was called for masters whose connect step failed: %r" % disconnects)
bank.CUF_Close()
print("done")
'''


def check_failed_connect_steps(python, holdbank_only, tmp_path, cls, hook, allowed, source):
    """Masters from `source` connecting to a `cls` whose `hook` raises (with the allow-list on
    when `allowed` names addresses): each connection ends, no entry stays, CUE_OnDisconnect is not
    called, and the listener still reports each failure on standard error."""
    masters = 8
    body = "CLASS, HOOK, ALLOWED, SOURCE, MASTERS = %r, %r, %r, %r, %d\n" % (
        cls, hook, allowed, source, masters) + FAILED_CONNECT_STEP
    run = check_child(python, holdbank_only, tmp_path, body, timeout=30)
    assert run.stderr.count("RuntimeError: the connect step fails") == masters, run.report()
