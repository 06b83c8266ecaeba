#!/usr/bin/env python3
"""Soak run of the served bank: long churn from hostile masters and a hostile host, checked
against a model of what every register must hold.

    python tools/soak.py [--minutes M | --seconds S] [--seed N] [--checkpoint-seconds S]

(`./dev soak [MINUTES]` builds first; 10 minutes unless told.) Everything runs in this process,
on loopback only: a CLASS_Holdbank_Secured on 127.0.0.1, masters as raw sockets on threads of
their own, and the host's churn on a few more threads. A summary line is printed at every
checkpoint (once a minute) and one verdict line at the end, "soak: PASS ..." or
"soak: FAIL <checks> ..."; the exit status is 0 only on PASS.

The masters: each owns a block of registers (WRITABLE writable ones, then read-only ones) and
writes an increasing counter into them, in pipelined batches of function 3, 6 and 16 requests.
They connect and leave all the time: closing cleanly, resetting (SO_LINGER 0) with or without
requests in flight, or resetting and connecting again from the same source port. Some come from
127.0.0.2, which is never on the allow-list.

The host: sets and clears every hook (recording hooks that check what they are given; one
CUE_OnConnect variant raises now and then), holds bank.lock briefly, drops masters with
CUF_DisconnectClient, switches the allow-list on and off, saves, and cycles CUF_Close/CUF_Open.

Checked: every answer in order, once, of the right form; writes to writable registers
acknowledged and to read-only ones refused; every read equal to what the writes sent before it
on the connection make; the bank (under its lock), every saved file and every read hook's
value consistent with the model (a state the master's writes make, between its last acknowledged and
its last sent write); nothing of a dropped master reaching the bank or a write hook after the
drop returned; nothing of a 127.0.0.2 master served while the allow-list is on; at each
checkpoint CUF_ListConnections() equal to the masters connected, and descriptors, threads and
memory back at their baseline once they are gone. A stuck master, host call or hook is a FAIL
with every thread's stack, never a hang.
"""
import argparse
import collections
import contextlib
import faulthandler
import json
import logging
import os
import queue
import random
import select
import shutil
import socket
import struct
import sys
import tempfile
import threading
import time
import traceback

import Holdbank

LOCAL_IP = "127.0.0.1"
OTHER_IP = "127.0.0.2"  # never on the allow-list
LOCAL_MASTERS = 24
OTHER_MASTERS = 8
BLOCK = 8  # registers per master: WRITABLE writable ones, then read-only ones
WRITABLE = 4
SIZE = (LOCAL_MASTERS + OTHER_MASTERS) * BLOCK + 16
PORTS_PER_MASTER = 48  # each master's own source ports, so no other master reuses its addresses

ANSWER_TIMEOUT = 15.0  # an established connection that leaves a request this long unanswered is stuck
SETTLE_TIMEOUT = 15.0  # the server's bounded time to let go of connections and threads
HOST_CALL_TIMEOUT = 30.0  # a host call (close, open, save, drop, switch) not back by then is stuck
HOOK_TIMEOUT = 10.0
STALL_TIMEOUT = 30.0  # no answer anywhere for this long while masters run: a deadlock
PARK_TIMEOUT = 60.0  # every worker parks within this at a checkpoint
HISTORY = 512  # states kept per master; far more than a save or a reset leaves unsettled
# Memory: the first checkpoint's RSS may exceed the start by the allocator's per-thread arenas,
# cached thread stacks and the model filling up (RSS_WARMUP_MIB); from then on every checkpoint
# stays within RSS_GROWTH_MIB of the first, which a leak of a hundred bytes per request crosses
# within a minute here, and of a kilobyte per connection within two.
RSS_WARMUP_MIB = 64
RSS_GROWTH_MIB = 16
# AddressSanitizer (./dev sanitize preloads it) holds freed memory back in its quarantine: RSS
# then grows by design and says nothing about a leak, so it is shown but not judged.
RSS_JUDGED = "asan" not in os.environ.get("LD_PRELOAD", "")


# What --leave-out can leave out.
LEAVE_OUT = ("same-port", "resets-in-flight", "raising-connect-hook", "hooks", "lock", "drops", "allow-list", "saves",
             "close-open")


class Fatal(Exception):
    """The run cannot go on; the watchdog reports and ends the process."""


class Ended(Exception):
    """The server ended the connection (end of stream, reset)."""


class Desync(Exception):
    """An answer that leaves the rest of the connection's stream meaningless."""


class ConnectRefusal(Exception):
    """Raised on purpose by the host's CUE_OnConnect."""


def pack(values):
    return values[0] | values[1] << 16 | values[2] << 32 | values[3] << 48


def unpack(packed):
    return tuple((packed >> shift) & 0xFFFF for shift in (0, 16, 32, 48))


def mbap(pdu, tx, unit):
    return struct.pack(">HHHB", tx, 0, len(pdu) + 1, unit) + pdu


def mib(kib):
    return kib / 1024.0


# --- results and output ----------------------------------------------------------------------

class Checks:
    """Failed checks by name: how often, and the first few descriptions."""

    EXAMPLES = 5

    def __init__(self):
        self.lock = threading.Lock()
        self.failed = collections.OrderedDict()
        self.log = None  # every failure, in full, when a file is given
        self.started = time.monotonic()

    def fail(self, name, message, detail=""):
        """`detail` (evidence too long for a summary) goes to the log only."""
        with self.lock:
            if self.log is not None:
                self.log.write("%9.3f %s: %s%s\n" % (time.monotonic() - self.started, name, message, detail))
                self.log.flush()
            entry = self.failed.setdefault(name, [0, []])
            entry[0] += 1
            if len(entry[1]) < self.EXAMPLES:
                entry[1].append(message)

    def names(self):
        with self.lock:
            return ["%s(%d)" % (name, entry[0]) for name, entry in self.failed.items()]

    def details(self):
        with self.lock:
            return [(name, entry[0], list(entry[1])) for name, entry in self.failed.items()]


class Stats:
    FIELDS = ("answered", "writes checked", "connects", "resets", "same-port reconnects", "drops",
              "allow-list switches", "saves", "close/open cycles", "clean closes", "resets in flight",
              "refused", "hook switches", "lock holds", "connect hook raised", "settled")

    def __init__(self):
        self.lock = threading.Lock()
        self.counts = collections.Counter({f: 0 for f in self.FIELDS})

    def add(self, name, n=1):
        with self.lock:
            self.counts[name] += n

    def get(self, name):
        with self.lock:
            return self.counts[name]


class Output:
    """The soak's own lines go to the real stdout; what the module prints (open, close, allow-list
    lines) is counted and kept out of the way."""

    def __init__(self):
        self.real = sys.stdout
        self.lock = threading.Lock()

    def line(self, text):
        with self.lock:
            self.real.write(text + "\n")
            self.real.flush()


class ModulePrints:
    def __init__(self):
        self.lines = 0
        self.last = ""

    def write(self, text):
        self.lines += text.count("\n")
        if text.strip():
            self.last = text.strip()
        return len(text)

    def flush(self):
        pass


class ListenerStderr:
    """What the server's handler threads write to sys.stderr (the listener's report of a
    connection whose handling raised) is kept off the run's own output and sorted: reports of the
    host's deliberate ConnectRefusal are counted, any other is kept. Per thread, since several
    threads report at once; a report is whole at its second line of dashes."""

    DASHES = "-" * 40
    KEEP = 20

    def __init__(self, real):
        self.real = real
        self.lock = threading.Lock()
        self.pending = {}  # thread ident -> text of a report not yet whole
        self.expected = 0
        self.unexpected = []

    def write(self, text):
        if "process_request_thread" not in threading.current_thread().name:
            return self.real.write(text)
        ident = threading.get_ident()
        with self.lock:
            report = self.pending.pop(ident, "") + text
            if report.count(self.DASHES) >= 2 and report.endswith("\n"):
                self.sort(report)
            else:
                self.pending[ident] = report
        return len(text)

    def sort(self, report):
        if "\n%s: " % ConnectRefusal.__name__ in report:
            self.expected += 1
        elif len(self.unexpected) < self.KEEP:
            self.unexpected.append(report)

    def flush(self):
        self.real.flush()

    def __getattr__(self, name):
        return getattr(self.real, name)

    def reports(self):
        """(reports of the deliberate refusal, every other report)."""
        with self.lock:
            for ident in list(self.pending):
                self.sort(self.pending.pop(ident))
            return self.expected, list(self.unexpected)


class LogRecords(logging.Handler):
    """The module's log lines, counted by their first words, kept off stderr."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lock2 = threading.Lock()
        self.counts = collections.Counter()

    def emit(self, record):
        message = record.getMessage()
        key = "%s %s" % (record.levelname, message.split(":")[0][:60])
        with self.lock2:
            self.counts[key] += 1


# --- process resources ------------------------------------------------------------------------

def descriptors():
    fds = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            fds[int(name)] = os.readlink("/proc/self/fd/" + name)
        except OSError:  # the listing's own descriptor, closed already
            pass
    return fds


def rss_kib():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def kind(target):
    """What a descriptor is, without the number that changes when it is made again."""
    return target.split(":[")[0] if target.startswith(("socket:", "pipe:")) else target


class Resources:
    def __init__(self):
        self.fds = descriptors()
        self.threads = threading.active_count()
        self.thread_names = sorted(t.name for t in threading.enumerate())
        self.tasks = len(os.listdir("/proc/self/task"))
        self.rss = rss_kib()

    def kinds(self):
        return collections.Counter(kind(t) for t in self.fds.values())

    def same_as(self, base):
        # A close/open cycle makes the listener's descriptors again, under other numbers.
        return self.kinds() == base.kinds() and self.threads == base.threads and self.tasks == base.tasks

    def difference(self, base):
        parts = []
        kinds = self.kinds()
        kinds.subtract(base.kinds())
        if any(kinds.values()):
            parts.append("descriptors %d, baseline %d (%s; now %s)" % (
                len(self.fds), len(base.fds), ", ".join("%s %+d" % (k, c) for k, c in sorted(kinds.items()) if c),
                sorted(self.fds.items())[:24]))
        if self.threads != base.threads:
            names = collections.Counter(self.thread_names)
            names.subtract(collections.Counter(base.thread_names))
            parts.append("threading.active_count() %d, baseline %d (%s)" % (
                self.threads, base.threads, ", ".join("%s %+d" % (n, c) for n, c in names.items() if c)[:600]))
        if self.tasks != base.tasks:
            parts.append("/proc/self/task %d, baseline %d" % (self.tasks, base.tasks))
        return "; ".join(parts)


# --- coordination ----------------------------------------------------------------------------

class Gate:
    """Lets the workers run, parks them all for a checkpoint, or stops them."""

    def __init__(self):
        self.cond = threading.Condition()
        self.paused = True
        self.stopping = False
        self.workers = set()
        self.parked = set()
        self.resumed = time.monotonic()

    def join(self, worker):
        with self.cond:
            self.workers.add(worker)

    def leave(self, worker):
        with self.cond:
            self.workers.discard(worker)
            self.parked.discard(worker)
            self.cond.notify_all()

    def proceed(self, worker):
        """True to go on; parks while paused; False once stopping."""
        with self.cond:
            if self.stopping:
                return False
            if not self.paused:
                return True
        worker.on_park()
        with self.cond:
            self.parked.add(worker)
            self.cond.notify_all()
            while self.paused and not self.stopping:
                self.cond.wait(1.0)
            self.parked.discard(worker)
            return not self.stopping

    def nap(self, seconds):
        """Sleeps, or less once a pause or the stop is asked for."""
        with self.cond:
            self.cond.wait_for(lambda: self.paused or self.stopping, timeout=seconds)

    def pause(self):
        with self.cond:
            self.paused = True
            self.cond.notify_all()

    def all_parked(self, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: self.parked >= self.workers, timeout=timeout)

    def resume(self):
        with self.cond:
            self.paused = False
            self.resumed = time.monotonic()
            self.cond.notify_all()

    def stop(self):
        with self.cond:
            self.stopping = True
            self.cond.notify_all()

    @property
    def running(self):
        return not self.paused and not self.stopping


class Watchdog(threading.Thread):
    """Turns anything stuck into a FAIL with every thread's stack, then ends the process: a host
    call or a hook that never returns cannot be taken back, and the run must not hang."""

    def __init__(self, soak):
        super().__init__(name="soak watchdog", daemon=True)
        self.soak = soak
        self.lock = threading.Lock()
        self.calls = {}  # token -> (what, started, limit)
        self.token = 0
        self.hooks = {}  # thread ident -> (hook, entered)
        self.last_answer = time.monotonic()
        self.dumps = 0

    @contextlib.contextmanager
    def watch(self, what, limit=HOST_CALL_TIMEOUT):
        with self.lock:
            self.token += 1
            token = self.token
            self.calls[token] = (what, time.monotonic(), limit)
        try:
            yield
        finally:
            with self.lock:
                del self.calls[token]

    def dump(self, why):
        """Every thread's stack on stderr, a few times a run at most."""
        if self.dumps >= 3:
            return
        self.dumps += 1
        err = sys.__stderr__
        err.write("\nsoak: stacks of every thread (%s):\n" % why)
        err.flush()
        faulthandler.dump_traceback(file=err, all_threads=True)
        err.flush()

    def run(self):
        while True:
            time.sleep(0.5)
            now = time.monotonic()
            with self.lock:
                calls = list(self.calls.values())
            hooks = list(dict(self.hooks).values())
            for what, started, limit in calls:
                if now - started > limit:
                    self.fatal("stuck", "%s has not returned after %.0f s" % (what, now - started))
            for hook, entered in hooks:
                if now - entered > HOOK_TIMEOUT:
                    self.fatal("stuck", "hook %s has not returned after %.0f s" % (hook, now - entered))
            quiet = now - max(self.last_answer, self.soak.gate.resumed)  # a checkpoint's pause is no stall
            if self.soak.gate.running and quiet > STALL_TIMEOUT:
                self.fatal("stuck", "no request answered anywhere for %.0f s while the masters run" % quiet)
            end = self.soak.end()
            if end is not None and now > end + 300:
                self.fatal("stuck", "the run has not finished %.0f s after its end" % (now - end))

    def fatal(self, name, message):
        self.soak.checks.fail(name, message)
        self.dump(message)
        self.soak.finish(aborted=message)


# --- masters ---------------------------------------------------------------------------------

class Intent:
    """The host's notice that it is dropping a master's connection, and what it found after."""

    def __init__(self):
        self.done = threading.Event()
        self.snapshot = None  # the master's block right after CUF_DisconnectClient returned True


def ended_by_server(sock):
    """Whether the server has ended this connection, as far as can be seen without taking an
    answer: its end (or a reset) waits to be read."""
    try:
        readable, _, _ = select.select([sock], [], [], 0)
        return bool(readable) and sock.recv(1, socket.MSG_PEEK) == b""
    except OSError:
        return True


class Conn:
    def __init__(self, sock, ip, port, first_k, same_port):
        self.sock = sock
        self.addr = "%s:%d" % (ip, port)
        self.port = port
        self.first_k = first_k  # the first counter that may be sent on it
        self.same_port = same_port  # reconnected from the port of a connection just reset
        self.answered = False
        self.batches = 0
        self.ended = False
        self.intent = None


class Worker(threading.Thread):
    def __init__(self, soak, name):
        super().__init__(name=name, daemon=True)
        self.soak = soak
        soak.gate.join(self)

    def run(self):
        try:
            while self.soak.gate.proceed(self):
                self.step()
        except Fatal:
            pass
        except Exception:  # a fault of the soak itself must not pass for success
            self.soak.checks.fail("soak-error", "%s: %s" % (self.name, traceback.format_exc()))
        finally:
            self.soak.gate.leave(self)

    def on_park(self):
        pass

    def step(self):
        raise NotImplementedError

    def due(self, rng, low, high):
        """Whether the next of an action done every low..high seconds is due; naps otherwise. The
        time keeps running through checkpoints, so short runs still see every action."""
        now = time.monotonic()
        if getattr(self, "due_at", None) is None:
            self.due_at = now + rng.uniform(low, high)
        if now < self.due_at:
            self.soak.gate.nap(self.due_at - now)
            return False
        self.due_at = None
        return self.soak.gate.running


class Master(Worker):
    """A master that owns registers base..base+BLOCK-1 and writes an increasing counter into the
    writable ones.

    The model: every write gets the next counter k (its value is k's low 16 bits); `history` holds
    the block's state after each write that changes it, in sending order. A connection's requests
    execute in order, so a read must show exactly the state after the last write sent before it.
    Across connections, the writes whose answers were lost make the block any state from the
    last acknowledged one to the last sent one, until it is settled by a read once the server is
    done with the old connection.
    """

    OPS = ("r", "w6", "w16", "d6", "d16")
    WEIGHTS = (3, 3, 2, 1, 1)

    def __init__(self, soak, index, ip, ports):
        super().__init__(soak, "master %d (%s)" % (index, ip))
        self.index = index
        self.ip = ip
        self.base = index * BLOCK
        self.ports = ports
        self.port_at = 0
        self.rng = random.Random(soak.seed * 1000 + index)
        self.mlock = threading.Lock()  # the model and the connection, shared with hooks and host
        self.k = 0
        self.history = collections.deque([(0, 0)], maxlen=HISTORY)
        self.state = 0  # after the last write sent
        self.acked_k = 0
        self.last_write_k = 0  # of the last write that changes the block
        self.sent = collections.deque()  # recent counters, oldest first, for the hooks' look-up
        self.by_value = {}  # 16-bit value -> (k, kind, register offsets)
        self.dropped = collections.deque(maxlen=64)  # (first k, last k, when the drop returned, a note)
        self.conn = None
        self.unsettled = None  # how the block is to be settled on the next connection
        self.resync = False  # after a reported fault: take the next settling read as it is
        self.next_same_port = None
        self.batches_left = 0
        self.tx = self.rng.randrange(0x10000)
        self.unverified = 0  # acknowledged writes not yet confirmed by a read
        self.trail = collections.deque(maxlen=40)  # recent events, for the evidence of a failure
        self.closing = None
        self.port_ended = {}  # source port -> (when its last connection ended, how)

    def note(self, event):
        self.trail.append("%.3f %s" % (time.monotonic() - self.soak.started, event))

    def evidence(self):
        return " | trail of master %d: %s" % (self.index, "; ".join(list(self.trail)))

    # -- the model --

    def new_write(self, kind, offsets):
        with self.mlock:
            self.k += 1
            if self.k & 0xFFFF == 0:  # 0 is the registers' first state and the refused-16 hook value
                self.k += 1
            k = self.k
            value = k & 0xFFFF
            if kind == "w":
                values = list(unpack(self.state))
                for off in offsets:
                    values[off] = value
                self.state = pack(values)
                self.history.append((k, self.state))
                self.last_write_k = k
            self.sent.append(k)
            self.by_value[value] = (k, kind, offsets)
            while len(self.sent) > 1024:
                old = self.sent.popleft()
                if self.by_value.get(old & 0xFFFF, (None,))[0] == old:
                    del self.by_value[old & 0xFFFF]
            return k

    def ack(self, k):
        with self.mlock:
            if k > self.acked_k:
                self.acked_k = k

    def bounds(self):
        with self.mlock:
            return self.acked_k, self.k

    def candidates(self, lo, hi):
        """The states the block may be in between the writes lo (acknowledged) and hi (sent):
        (states, complete); incomplete when the history no longer reaches back to lo."""
        with self.mlock:
            states = []
            for k, state in reversed(self.history):
                if k > hi:
                    continue
                states.append(state)
                if k <= lo:
                    return states, True
            return states, False

    def settle_to(self, state):
        """Takes `state`, read once the old connection can change nothing more, as the block's
        state: the writes after it were never executed. False when no write sequence makes it."""
        with self.mlock:
            for k, s in reversed(list(self.history)):
                if s == state:
                    while self.history[-1][0] != k:
                        self.history.pop()
                    self.acked_k = self.last_write_k = max(self.acked_k, k)
                    self.state = state
                    return True
                if k <= self.acked_k:
                    break
            self.k += 1
            self.history.clear()
            self.history.append((self.k, state))
            self.acked_k = self.last_write_k = self.k
            self.state = state
            return False

    def lookup(self, value):
        with self.mlock:
            return self.by_value.get(value)

    def dropped_before(self, k, entered):
        """(when the drop returned, a note, the connection's first k) if the host dropped the
        connection that carried write k and the drop had returned before `entered`."""
        with self.mlock:
            for first, last, returned, note in self.dropped:
                if first <= k <= last and entered > returned:
                    return returned, note, first
        return None

    # -- the worker --

    def next_tx(self):
        self.tx = (self.tx + 1) & 0xFFFF
        return self.tx

    def next_port(self):
        self.port_at = (self.port_at + 1) % len(self.ports)
        return self.ports[self.port_at]

    def step(self):
        if self.conn is None:
            if self.unsettled and self.unsettled[0] == "registry":
                # Before connecting: until then the old connection may still be executing.
                self.wait_unlisted(self.unsettled[1])
                self.unsettled = ("server",) + self.unsettled[1:]
            if not self.connect():
                return
            if self.unsettled and not self.settle():
                return
        if self.batches_left <= 0:
            self.leave()
            return
        self.batches_left -= 1
        self.batch()
        r = self.rng.random()
        if r < 0.01:  # idle a while: a drop must reach a master that sends nothing
            self.soak.gate.nap(self.rng.uniform(0.2, 1.0))
        elif r < 0.2:
            self.soak.gate.nap(self.rng.uniform(0, 0.01))

    def on_park(self):
        """Ends in a known state: a live connection just confirmed by a read, or none."""
        if self.conn is not None and self.unsettled:
            self.settle()
        if self.conn is not None:
            self.batch(read_only=True)

    def connect(self):
        same = self.next_same_port
        self.next_same_port = None
        port = same if same is not None else self.next_port()
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.settimeout(ANSWER_TIMEOUT)
        try:
            sock.bind((self.ip, port))
        except OSError:  # somebody else's port, or not free yet: the next one
            sock.close()
            return False
        self.soak.known_addrs.add("%s:%d" % (self.ip, port))
        try:
            sock.connect((LOCAL_IP, self.soak.port))
        except ConnectionRefusedError:  # between CUF_Close and CUF_Open
            sock.close()
            self.soak.gate.nap(self.rng.uniform(0.01, 0.05))
            return False
        except TimeoutError:
            sock.close()
            self.stuck("no answer to its connect within %.0f s" % ANSWER_TIMEOUT)
            return False
        except OSError:  # the four-tuple still taken (TIME_WAIT): the next port
            sock.close()
            return False
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with self.mlock:
            self.conn = Conn(sock, self.ip, port, self.k + 1, same is not None)
        ended = self.port_ended.get(port)
        self.conn.port_before = None if ended is None else (time.monotonic() - ended[0], ended[1])
        self.note("connected %s%s, k from %d" % (self.conn.addr, " (same port)" if same is not None else "",
                                                 self.k + 1))
        self.soak.stats.add("connects")
        if same is not None:
            self.soak.stats.add("same-port reconnects")
        self.batches_left = self.rng.choice((1, 2, 5, 10, 30, 80))
        return True

    def stuck(self, what):
        message = "master %d (%s): %s" % (self.index, self.conn.addr if self.conn else self.ip, what)
        self.soak.checks.fail("stuck", message)
        self.soak.watchdog.dump(message)

    # -- one batch of pipelined requests --

    def build(self, op):
        base = self.base
        if op == "r":
            return struct.pack(">BHH", 3, base, BLOCK), ("r", self.state, None)
        if op == "w6":
            off = self.rng.randrange(WRITABLE)
            k = self.new_write("w", (off,))
            pdu = struct.pack(">BHH", 6, base + off, k & 0xFFFF)
            return pdu, ("w", k, pdu)
        if op == "w16":
            a = self.rng.randrange(WRITABLE)
            b = self.rng.randrange(a, WRITABLE)
            n = b - a + 1
            k = self.new_write("w", tuple(range(a, b + 1)))
            pdu = struct.pack(">BHHB%dH" % n, 16, base + a, n, 2 * n, *([k & 0xFFFF] * n))
            return pdu, ("w", k, struct.pack(">BHH", 16, base + a, n))
        if op == "d6":
            off = WRITABLE + self.rng.randrange(BLOCK - WRITABLE)
            k = self.new_write("d6", (off,))
            return struct.pack(">BHH", 6, base + off, k & 0xFFFF), ("d", k, 0x86)
        # A write-multiple over the last writable register and the first read-only one: refused
        # as a whole, nothing of it stored.
        a = WRITABLE - 1 - self.rng.randrange(2)
        n = WRITABLE + 1 - a
        k = self.new_write("d16", tuple(range(a, a + n)))
        pdu = struct.pack(">BHHB%dH" % n, 16, base + a, n, 2 * n, *([k & 0xFFFF] * n))
        return pdu, ("d", k, 0x90)

    def batch(self, read_only=False):
        conn = self.conn
        rng = self.rng
        # Mostly a few requests; now and then a long run of them, which a drop may land in: mixed,
        # or refused writes only (their hook runs without the bank lock).
        n = 1 if read_only else rng.randint(1, 8) if rng.random() < 0.9 else rng.randint(16, 40)
        refusals = n > 8 and rng.random() < 0.5
        expected = []
        data = bytearray()
        for _ in range(n):
            op = "r" if read_only else "d6" if refusals else rng.choices(self.OPS, self.WEIGHTS)[0]
            pdu, expect = self.build(op)
            tx = self.next_tx()
            unit = rng.randrange(256)
            data += mbap(pdu, tx, unit)
            expected.append((tx, unit, expect))
        # Now and then the master resets with answers outstanding; only on a connection the
        # server has registered (it answered) under an address no other connection had, so the
        # registry says when the server is done with it.
        reset_in_flight = (not read_only and conn.answered and not conn.same_port and rng.random() < 0.03
                           and "resets-in-flight" not in self.soak.leave_out)
        upto = rng.randrange(n) if reset_in_flight else n
        sent_at = time.monotonic()
        self.note("sent %d requests up to k%d%s" % (n, self.k, ", resetting after %d answers" % upto
                                                     if reset_in_flight else ""))
        try:
            self.send(conn.sock, bytes(data))
            if n > 8 and conn.answered and not conn.same_port and rng.random() < 0.1:
                try:  # the host drops it in the middle of the burst, if it is quick enough
                    self.soak.bursts.put_nowait(conn.addr)
                except queue.Full:
                    pass
            for tx, unit, expect in expected[:upto]:
                body = self.answer(conn, tx, unit)
                self.check(conn, expect, body, sent_at)
        except Ended:
            self.finish(server_ended=True)
            return
        except Desync:
            self.resync = True
            self.abort()
            return
        except TimeoutError:
            self.stuck("no answer within %.0f s to a batch of %d requests" % (ANSWER_TIMEOUT, n))
            self.resync = True
            self.abort()
            return
        conn.batches += 1
        if reset_in_flight:
            self.soak.stats.add("resets in flight")
            self.abort()

    def send(self, sock, data):
        try:
            if len(data) > 8 and self.rng.random() < 0.1:
                # In pieces: frames split over segments must be put together again.
                cuts = sorted(self.rng.sample(range(1, len(data)), 2))
                for a, b in zip([0] + cuts, cuts + [len(data)]):
                    sock.sendall(data[a:b])
                    time.sleep(0.001)
            else:
                sock.sendall(data)
        except (ConnectionError, OSError) as e:
            if isinstance(e, TimeoutError):
                raise
            raise Ended() from e

    def recv_exact(self, sock, n):
        data = b""
        while len(data) < n:
            try:
                chunk = sock.recv(n - len(data))
            except TimeoutError:
                raise
            except (ConnectionError, OSError) as e:
                raise Ended() from e
            if not chunk:
                raise Ended()
            data += chunk
        return data

    def answer(self, conn, tx, unit):
        header = self.recv_exact(conn.sock, 7)
        rtx, proto, length, runit = struct.unpack(">HHHB", header)
        if rtx != tx:
            self.soak.checks.fail("order", "master %d on %s: an answer for transaction %d where %d was next "
                                  "(answered twice, out of order or not at all)" % (self.index, conn.addr, rtx, tx))
            raise Desync()
        if proto != 0 or runit != unit or not 2 <= length <= 254:
            self.soak.checks.fail("answers", "master %d on %s: header %s for transaction %d unit %d" % (
                self.index, conn.addr, header.hex(), tx, unit))
            raise Desync()
        body = self.recv_exact(conn.sock, length - 1)
        conn.answered = True
        self.soak.stats.add("answered")
        self.soak.watchdog.last_answer = time.monotonic()
        return body

    def check(self, conn, expect, body, sent_at):
        kind = expect[0]
        if self.ip == OTHER_IP:
            covering = self.soak.allow.covering(sent_at, time.monotonic())
            if covering:
                self.soak.checks.fail("allowlist", "master %d on %s (not on the allow-list) was answered for a "
                                      "request sent %.3f s after CUF_AllowIP_Active(True) returned%s" % (
                                          self.index, conn.addr, sent_at - covering,
                                          " (a reconnect from the port of a connection just reset)"
                                          if conn.same_port else ""))
        if kind == "r":
            want = unpack(expect[1]) + (0,) * (BLOCK - WRITABLE)
            if body[:2] != bytes([3, 2 * BLOCK]) or len(body) != 2 + 2 * BLOCK:
                self.soak.checks.fail("answers", "master %d on %s: read answered %s" % (self.index, conn.addr, body.hex()))
                raise Desync()
            got = struct.unpack(">%dH" % BLOCK, body[2:])
            if got != want:
                if not self.resync:
                    self.soak.checks.fail("model", "master %d on %s read %s; the writes sent before it make %s" % (
                        self.index, conn.addr, list(got), list(want)))
                raise Desync()
            self.soak.stats.add("writes checked", self.unverified)
            self.unverified = 0
        elif kind == "w":
            if body != expect[2]:
                if body[:1] == bytes([expect[2][0] | 0x80]):
                    self.soak.checks.fail("permission", "master %d on %s: a write to writable registers refused: "
                                          "%s answered %s" % (self.index, conn.addr, expect[2].hex(), body.hex()))
                else:
                    self.soak.checks.fail("answers", "master %d on %s: write %s answered %s" % (
                        self.index, conn.addr, expect[2].hex(), body.hex()))
                raise Desync()
            self.ack(expect[1])
            self.unverified += 1
        else:
            if body != bytes([expect[2], 2]):
                name = "permission" if body[:1] == bytes([expect[2] & 0x7F]) else "answers"
                self.soak.checks.fail(name, "master %d on %s: a write to a read-only register answered %s, not "
                                      "refused with code 2" % (self.index, conn.addr, body.hex()))
                raise Desync()

    # -- leaving and coming back --

    def leave(self):
        conn = self.conn
        r = self.rng.random()
        if r < 0.4:
            conn.sock.settimeout(0)
            try:  # an answer nobody asked for would be waiting by now
                extra = conn.sock.recv(64, socket.MSG_PEEK)
                if extra:
                    self.soak.checks.fail("order", "master %d on %s: %d bytes arrived that answer nothing: %s" % (
                        self.index, conn.addr, len(extra), extra.hex()))
            except OSError:  # nothing waiting (BlockingIOError), or the server closed meanwhile
                pass
            self.soak.stats.add("clean closes")
            self.finish(server_ended=False)
        else:
            if r >= 0.7 and "same-port" not in self.soak.leave_out:
                self.next_same_port = conn.port
            self.abort()

    def abort(self):
        """Resets the connection (SO_LINGER 0)."""
        self.closing = "reset"
        conn = self.conn
        try:
            conn.sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
        self.soak.stats.add("resets")
        self.finish(server_ended=False)

    def finish(self, server_ended):
        """The connection is over: closed here (after abort's linger, a reset) or by the server."""
        conn = self.conn
        with self.mlock:
            conn.ended = True
            intent = conn.intent
            pending = self.last_write_k > self.acked_k
            self.conn = None
        conn.sock.close()
        how = "ended by the server" if server_ended else "closed (%s)" % (
            "reset" if self.closing == "reset" else "cleanly")
        self.port_ended[conn.port] = (time.monotonic(), "%s after %d answered batches, %s%s" % (
            how, conn.batches, "dropped by the host" if intent is not None and intent.snapshot is not None
            else "not dropped by the host", "; itself a reconnect from the port of one just reset"
            if conn.same_port else ""))
        self.closing = None
        self.note("%s %s, acknowledged k%d, sent k%d" % (how, conn.addr, self.acked_k, self.k))
        if intent is not None:
            if not intent.done.wait(HOST_CALL_TIMEOUT + 5):
                raise Fatal()
            if intent.snapshot is not None:
                self.note("the host dropped it; snapshot %s" % (list(intent.snapshot),))
                self.unsettled = ("snapshot", conn.addr, intent.snapshot)
                return
        if server_ended and not conn.answered:
            self.soak.stats.add("refused")
            self.soak.gate.nap(self.rng.uniform(0.02, 0.2))
        if self.unsettled:
            return
        if pending:
            # Closed by the server: it closes under the bank lock, and nothing of the connection
            # reaches the bank after that. Reset here: the server may still execute what it
            # received, until its disconnect step takes the connection out of the registry.
            self.unsettled = ("server" if server_ended else "registry", conn.addr, None)
        elif self.resync:
            self.unsettled = ("server", conn.addr, None)

    def settle(self):
        how, old, snapshot = self.unsettled
        conn = self.conn
        tx, unit = self.next_tx(), self.rng.randrange(256)
        try:
            self.send(conn.sock, mbap(struct.pack(">BHH", 3, self.base, BLOCK), tx, unit))
            body = self.answer(conn, tx, unit)
        except Ended:
            self.finish(server_ended=True)
            return False
        except Desync:
            self.abort()
            return False
        except TimeoutError:
            self.stuck("no answer within %.0f s to its settling read" % ANSWER_TIMEOUT)
            self.abort()
            return False
        if body[:2] != bytes([3, 2 * BLOCK]) or len(body) != 2 + 2 * BLOCK:
            self.soak.checks.fail("answers", "master %d on %s: read answered %s" % (self.index, conn.addr, body.hex()))
            self.abort()
            return False
        values = struct.unpack(">%dH" % BLOCK, body[2:])
        if any(values[WRITABLE:]):
            self.soak.checks.fail("permission", "master %d: its read-only registers hold %s" % (
                self.index, list(values[WRITABLE:])))
        if snapshot is not None and tuple(snapshot) != values:
            landed = []
            for off in range(WRITABLE):
                if values[off] != snapshot[off]:
                    sent = self.lookup(values[off])
                    landed.append("register %d: k%s" % (self.base + off, sent[0] if sent else "?"))
            with self.mlock:
                ranges = [(first, last) for first, last, _, _ in self.dropped]
            self.soak.checks.fail("drop", "master %d: its registers held %s right after CUF_DisconnectClient(%r) "
                                  "returned and %s later, before it wrote again (%s; the host's drops covered "
                                  "k ranges %s)" % (
                                      self.index, list(snapshot), old, list(values), ", ".join(landed),
                                      ranges[-3:]), self.evidence())
        lo, hi = self.bounds()
        state = pack(values[:WRITABLE])
        if not self.settle_to(state) and not self.resync:
            self.soak.checks.fail("model", "master %d: after connection %s ended (%s) its registers hold %s, "
                                  "which no sequence of its writes between the acknowledged k%d and the sent "
                                  "k%d makes" % (self.index, old, how, list(values[:WRITABLE]), lo, hi))
        self.soak.stats.add("writes checked", self.unverified)
        self.soak.stats.add("settled")
        self.unverified = 0
        self.unsettled = None
        self.resync = False
        return True

    def wait_unlisted(self, addr):
        deadline = time.monotonic() + SETTLE_TIMEOUT
        while time.monotonic() < deadline:
            with self.soak.watchdog.watch("CUF_ListConnections() for master %d" % self.index):
                listed = self.soak.bank.CUF_ListConnections()
            if addr not in listed:
                return True
            time.sleep(0.02)
        self.soak.checks.fail("registry", "%s is still listed %.0f s after its master reset the connection%s" % (
            addr, SETTLE_TIMEOUT, self.soak.why_listed(addr)))
        return False

    def close_parked(self):
        """At a checkpoint, parked: closes the connection confirmed by on_park."""
        if self.conn is not None:
            self.finish(server_ended=False)


# --- the hooks -------------------------------------------------------------------------------

class Hooks:
    """Hooks that check what they are given against the masters' models."""

    def __init__(self, soak):
        self.soak = soak
        self.rng = random.Random(soak.seed + 77)
        self.raise_every = 8
        self.lock = threading.Lock()
        self.late = {}  # (master, first k of a dropped connection) -> hooks that began after the drop

    def owner(self, addr):
        i = addr // BLOCK
        return self.soak.masters[i] if 0 <= i < len(self.soak.masters) else None

    @contextlib.contextmanager
    def running(self, name):
        ident = threading.get_ident()
        entered = time.monotonic()
        self.soak.watchdog.hooks[ident] = (name, entered)
        try:
            yield entered
        finally:
            self.soak.watchdog.hooks.pop(ident, None)

    def on_handler_thread(self, name, also=None):
        thread = threading.current_thread()
        if "process_request_thread" not in thread.name and thread is not also:
            self.soak.checks.fail("hooks", "%s ran on thread %r, not on a connection's handler thread" % (
                name, thread.name))

    def fail(self, message):
        self.soak.checks.fail("hooks", message)

    def on_read(self, ip, addr, val):
        with self.running("CUE_OnRead"):
            self.on_handler_thread("CUE_OnRead")
            m = self.owner(addr)
            if m is None or ip != m.ip:
                self.fail("CUE_OnRead(%r, %d, %d): no master from %s reads register %d" % (ip, addr, val, ip, addr))
                return
            off = addr - m.base
            if off >= WRITABLE:
                if val != 0:
                    self.fail("CUE_OnRead(%r, %d, %d): a read-only register holds %d" % (ip, addr, val, val))
                return
            lo, hi = m.bounds()
            states, complete = m.candidates(lo, hi)
            if complete and val not in {unpack(s)[off] for s in states}:
                self.fail("CUE_OnRead(%r, %d, %d): master %d's writes between k%d and k%d leave that register "
                          "%s" % (ip, addr, val, m.index, lo, hi, sorted({unpack(s)[off] for s in states})))
            if self.rng.random() < 0.1:
                # Under the bank lock: the server's own read goes ahead on this thread.
                now = self.soak.bank.CUF_REG_Read(addr)
                if now != val:
                    self.fail("CUE_OnRead(%r, %d, %d) while CUF_REG_Read(%d) gives %d" % (ip, addr, val, addr, now))

    def on_write(self, ip, addr, val):
        with self.running("CUE_OnWrite") as entered:
            self.on_handler_thread("CUE_OnWrite")
            m = self.owner(addr)
            if m is None or ip != m.ip:
                self.fail("CUE_OnWrite(%r, %d, %d): no master from %s writes register %d" % (ip, addr, val, ip, addr))
                return
            off = addr - m.base
            sent = m.lookup(val)
            if off >= WRITABLE:
                self.fail("CUE_OnWrite(%r, %d, %d) for a read-only register" % (ip, addr, val))
            elif sent is None or sent[1] != "w" or off not in sent[2]:
                self.fail("CUE_OnWrite(%r, %d, %d): master %d sent no write of %d to that register (%s)" % (
                    ip, addr, val, m.index, val, sent))
                return
            self.after_drop("CUE_OnWrite(%r, %d, %d)" % (ip, addr, val), m, sent[0], entered)

    def on_write_denied(self, ip, addr, val):
        with self.running("CUE_OnWriteDenied") as entered:
            self.on_handler_thread("CUE_OnWriteDenied")
            m = self.owner(addr)
            if m is None or ip != m.ip:
                self.fail("CUE_OnWriteDenied(%r, %d, %d): no master from %s writes register %d" % (
                    ip, addr, val, ip, addr))
                return
            if val == 0:  # a refused write-multiple: every register it names, with 0
                if not WRITABLE - 2 <= addr - m.base <= WRITABLE:
                    self.fail("CUE_OnWriteDenied(%r, %d, 0): master %d sent no refused write-multiple over it" % (
                        ip, addr, m.index))
                return
            sent = m.lookup(val)
            if sent is None or sent[1] != "d6" or addr - m.base not in sent[2]:
                self.fail("CUE_OnWriteDenied(%r, %d, %d): master %d sent no refused write of %d there (%s)" % (
                    ip, addr, val, m.index, val, sent))
                return
            self.after_drop("CUE_OnWriteDenied(%r, %d, %d)" % (ip, addr, val), m, sent[0], entered)

    def after_drop(self, call, m, k, entered):
        dropped = m.dropped_before(k, entered)
        if dropped is not None:
            returned, note, first = dropped
            # A hook called outside the bank lock just before the drop may begin just after it
            # returned (the interpreter switched threads at its first line). The next one of the
            # same connection was called after that hook ran, so after the drop had returned.
            with self.lock:
                if len(self.late) > 10000:
                    self.late.clear()
                seen = self.late.get((m.index, first), 0)
                self.late[(m.index, first)] = seen + 1
            if seen == 0:
                self.soak.stats.add("late first hooks")
                return
            self.soak.checks.fail("hook-after-drop", "%s for a request of a connection of master %d that the host "
                                  "dropped%s: called %.3f s after the drop returned, after %d such call(s) before" % (
                                      call, m.index, note, entered - returned, seen))
        elif m.ip == OTHER_IP:
            covering = self.soak.allow.covering(entered, entered)
            if covering:
                conn = m.conn
                self.soak.checks.fail("allowlist", "%s for master %d (not on the allow-list) %.3f s after "
                                      "CUF_AllowIP_Active(True) returned%s" % (
                                          call, m.index, entered - covering,
                                          " (its connection is a reconnect from the port of one just reset)"
                                          if conn is not None and conn.same_port else ""))

    def on_connect(self, ip, full):
        with self.running("CUE_OnConnect"):
            self.on_handler_thread("CUE_OnConnect")
            if ip not in (LOCAL_IP, OTHER_IP) or not full.startswith(ip + ":") or full not in self.soak.known_addrs:
                self.fail("CUE_OnConnect(%r, %r): no master connects from there" % (ip, full))

    def on_connect_raising(self, ip, full):
        self.on_connect(ip, full)
        if self.rng.randrange(self.raise_every) == 0:
            self.soak.raised.add(full)
            self.soak.stats.add("connect hook raised")
            raise ConnectRefusal(full)

    def on_disconnect(self, full):
        with self.running("CUE_OnDisconnect"):
            self.on_handler_thread("CUE_OnDisconnect")
            if full not in self.soak.known_addrs:
                self.fail("CUE_OnDisconnect(%r): no master connected from there" % (full,))

    def on_access_denied(self, ip, full):
        with self.running("CUE_OnAccessDenied"):
            self.on_handler_thread("CUE_OnAccessDenied", also=self.soak.allow_worker)
            if ip != OTHER_IP or not full.startswith(ip + ":"):
                self.fail("CUE_OnAccessDenied(%r, %r) for an address on the allow-list" % (ip, full))


# --- the host --------------------------------------------------------------------------------

class HookChurn(Worker):
    """Sets and clears every hook, one at a time, and holds the bank lock now and then, checking
    the whole bank against the model while nothing can change it."""

    def __init__(self, soak):
        super().__init__(soak, "host: hooks and lock")
        self.rng = random.Random(soak.seed + 1)
        h = soak.hooks
        self.choices = {
            "CUE_OnRead": [h.on_read], "CUE_OnWrite": [h.on_write], "CUE_OnWriteDenied": [h.on_write_denied],
            "CUE_OnConnect": [h.on_connect, h.on_connect] + (
                [] if "raising-connect-hook" in soak.leave_out else [h.on_connect_raising]),
            "CUE_OnDisconnect": [h.on_disconnect], "CUE_OnAccessDenied": [h.on_access_denied]}
        self.set = {name: False for name in self.choices}

    def step(self):
        bank, rng = self.soak.bank, self.rng
        if "hooks" in self.soak.leave_out:
            self.choices = {}
            if "lock" in self.soak.leave_out:
                self.soak.gate.nap(1.0)
                return
        if self.choices:
            name = rng.choice(sorted(self.choices))
            if self.set[name]:
                setattr(bank, name, rng.choice((None, False)))  # both leave nothing to call
            else:
                setattr(bank, name, rng.choice(self.choices[name]))
            self.set[name] = not self.set[name]
            self.soak.stats.add("hook switches")
        if rng.random() < 0.3 and "lock" not in self.soak.leave_out:
            with self.soak.watchdog.watch("holding bank.lock"):
                with bank.lock:
                    self.soak.check_bank()
                    time.sleep(rng.uniform(0.0005, 0.005))
            self.soak.stats.add("lock holds")
        self.soak.gate.nap(rng.uniform(0.005, 0.05))


class Dropper(Worker):
    def __init__(self, soak):
        super().__init__(soak, "host: drops")
        self.rng = random.Random(soak.seed + 2)

    def step(self):
        """Drops a master chosen at random, or one that has just sent a burst of requests."""
        soak, bank = self.soak, self.soak.bank
        try:
            burst = soak.bursts.get(timeout=self.rng.uniform(0.02, 0.25))
        except queue.Empty:
            burst = None
        else:
            soak.gate.nap(self.rng.uniform(0.02, 0.1))
        with soak.watchdog.watch("CUF_ListConnections()"):
            listed = bank.CUF_ListConnections()
        if burst in listed or (burst is None and listed):
            addr = burst or self.rng.choice(listed)
            # An entry whose socket is closed already names no connection (a CUE_OnConnect that
            # raised leaves one behind): dropping it drops nobody, whoever uses the address now.
            entry = bank.active_connections.get(addr)
            live = entry is not None and entry.fileno() >= 0
            owner, conn, intent = None, None, None
            for m in soak.masters if live else ():
                with m.mlock:
                    # Not for a same-port reconnect: its address may still name the old connection.
                    if m.conn is not None and m.conn.addr == addr and not m.conn.ended and not m.conn.same_port:
                        owner, conn = m, m.conn
                        intent = conn.intent = Intent()
                        break
            try:
                with soak.watchdog.watch("CUF_DisconnectClient(%r)" % addr):
                    dropped = bank.CUF_DisconnectClient(addr)
                returned = time.monotonic()
                if dropped:
                    soak.stats.add("drops" if live else "drops of entries with no connection")
                if dropped and owner is not None:
                    with owner.mlock:
                        owner.dropped.append((conn.first_k, owner.k, returned, " (CUF_DisconnectClient)"))
                    with soak.watchdog.watch("bank.lock for a snapshot"):
                        with bank.lock:
                            intent.snapshot = tuple(bank.hr[owner.base:owner.base + BLOCK])
            finally:
                if intent is not None:
                    intent.done.set()


class AllowList:
    """When the allow-list was on: [returned from Active(True), called Active(False) or None]."""

    def __init__(self):
        self.lock = threading.Lock()
        self.spans = []

    def began(self, at):
        with self.lock:
            self.spans.append([at, None])

    def ended(self, at):
        with self.lock:
            self.spans[-1][1] = at

    def covering(self, sent, answered):
        """When the span began that holds both moments, or None."""
        with self.lock:
            for began, ended in reversed(self.spans):
                if ended is not None and ended < sent:
                    return None
                if began <= sent and (ended is None or answered <= ended):
                    return began
        return None


class AllowSwitcher(Worker):
    def __init__(self, soak):
        super().__init__(soak, "host: allow-list")
        self.rng = random.Random(soak.seed + 3)
        self.on = False
        self.frozen = None

    def others(self):
        bank = self.soak.bank
        with self.soak.watchdog.watch("bank.lock for a snapshot"):
            with bank.lock:
                return {m.index: tuple(bank.hr[m.base:m.base + BLOCK]) for m in self.soak.masters if m.ip == OTHER_IP}

    def switch_on(self):
        listed = self.soak.listed()  # what the sweep will find, give or take masters arriving
        with self.soak.watchdog.watch("CUF_AllowIP_Active(True)"):
            self.soak.bank.CUF_AllowIP_Active(True)
        returned = time.monotonic()
        self.soak.allow.began(returned)
        self.on = True
        for m in self.soak.masters:
            if m.ip == OTHER_IP:
                with m.mlock:
                    if m.conn is not None:  # the sweep dropped it, or the check will
                        note = " (the allow-list sweep%s%s)" % (
                            "; a reconnect from the port of a connection just reset" if m.conn.same_port else "",
                            "; CUF_ListConnections() did not list it before the switch"
                            if m.conn.answered and m.conn.addr not in listed else "")
                        m.dropped.append((m.conn.first_k, m.k, returned, note))
        self.frozen = self.others()

    def switch_off(self):
        now = self.others()
        for index, values in now.items():
            if values != self.frozen[index]:
                self.soak.checks.fail("allowlist", "master %d (not on the allow-list): its registers went from %s "
                                      "to %s while the list was on" % (index, list(self.frozen[index]), list(values)))
        self.soak.allow.ended(time.monotonic())
        with self.soak.watchdog.watch("CUF_AllowIP_Active(False)"):
            self.soak.bank.CUF_AllowIP_Active(False)
        self.on = False

    def step(self):
        if not self.due(self.rng, 0.5, 3.0):
            return
        self.switch_on()
        self.soak.stats.add("allow-list switches")
        self.soak.gate.nap(self.rng.uniform(0.3, 1.5))
        self.switch_off()
        self.soak.stats.add("allow-list switches")

    def on_park(self):
        if self.on:
            self.switch_off()


class Saver(Worker):
    def __init__(self, soak):
        super().__init__(soak, "host: saves")
        self.rng = random.Random(soak.seed + 4)
        self.n = 0

    def step(self):
        if not self.due(self.rng, 0.5, 3.0):
            return
        self.n += 1
        path = os.path.join(self.soak.folder, "save%d.json" % (self.n % 2))
        lo = {m: m.bounds()[0] for m in self.soak.masters}
        with self.soak.watchdog.watch("CUF_SaveToFile(%r)" % path):
            self.soak.bank.CUF_SaveToFile(path)
        hi = {m: m.bounds()[1] for m in self.soak.masters}
        self.soak.check_saved(path, lo, hi, "CUF_SaveToFile")
        self.soak.stats.add("saves")


class Cycler(Worker):
    def __init__(self, soak):
        super().__init__(soak, "host: close/open")
        self.rng = random.Random(soak.seed + 5)

    def step(self):
        if not self.due(self.rng, 3.0, 10.0):
            return
        self.soak.close_and_check("CUF_Close in a close/open cycle")
        time.sleep(self.rng.uniform(0, 0.3))
        self.soak.open()
        self.soak.stats.add("close/open cycles")


# --- the run ---------------------------------------------------------------------------------

def port_free(port, ip=LOCAL_IP):
    with socket.socket() as s:
        try:
            s.bind((ip, port))
            return True
        except OSError:
            return False


class Soak:
    def __init__(self, seconds, seed, checkpoint_seconds, leave_out=()):
        self.leave_out = set(leave_out)
        self.seconds = seconds
        self.seed = seed
        self.checkpoint = min(checkpoint_seconds, seconds / 2.0)
        self.checks = Checks()
        self.stats = Stats()
        self.out = Output()
        self.gate = Gate()
        self.allow = AllowList()
        self.known_addrs = set()
        self.bursts = queue.Queue(maxsize=4)  # masters that have just sent a burst, for the Dropper
        self.raised = set()  # full addresses whose CUE_OnConnect raised
        self.reported_stale = set()
        self.finished = threading.Lock()
        self.started = time.monotonic()
        self.rng = random.Random(seed)
        self.watchdog = Watchdog(self)

    # -- setting up --

    def choose_ports(self):
        """Source ports below the system's ephemeral range, so no other connection takes one of
        a master's addresses; the listener's port the same way."""
        try:
            with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
                low = int(f.read().split()[0])
        except OSError:
            low = 32768
        count = (LOCAL_MASTERS + OTHER_MASTERS) * PORTS_PER_MASTER
        start = self.rng.randrange(10000, max(10001, low - count - 200))
        pools = [list(range(start + i * PORTS_PER_MASTER, start + (i + 1) * PORTS_PER_MASTER))
                 for i in range(LOCAL_MASTERS + OTHER_MASTERS)]
        return pools, start + count

    def listener_port(self, after):
        for port in range(after + self.rng.randrange(50), after + 200):
            if port_free(port):
                return port
        with socket.socket() as s:
            s.bind((LOCAL_IP, 0))
            return s.getsockname()[1]

    def open(self):
        """CUF_Open, on the same port if it can be had again within a while, else on another one."""
        deadline = time.monotonic() + 10
        while True:
            try:
                with self.watchdog.watch("CUF_Open(%r, %d)" % (LOCAL_IP, self.port)):
                    self.bank.CUF_Open(LOCAL_IP, self.port)
                return
            except OSError as e:
                if time.monotonic() > deadline:
                    self.checks.fail("open", "CUF_Open(%r, %d) failed for 10 s: %s" % (LOCAL_IP, self.port, e))
                    self.port = self.listener_port(self.port + 1)
                    deadline = time.monotonic() + 10
                time.sleep(0.05)

    # -- model checks shared by the host workers --

    def check_bank(self):
        """Under the bank lock: every master's block is a state its writes make between its last
        acknowledged and its last sent one."""
        hr = self.bank.hr
        for m in self.masters:
            lo = m.bounds()[0]
            values = tuple(hr[m.base:m.base + BLOCK])
            hi = m.bounds()[1]
            self.check_block("the bank under its lock", m, values, lo, hi)

    def check_block(self, where, m, values, lo, hi):
        if any(values[WRITABLE:]):
            self.checks.fail("permission", "%s: master %d's read-only registers hold %s" % (
                where, m.index, list(values[WRITABLE:])))
        states, complete = m.candidates(lo, hi)
        if not complete:
            self.stats.add("model out of reach")
            return
        if pack(values[:WRITABLE]) not in states:
            self.checks.fail("model" if where.startswith("the bank") else "save",
                             "%s: master %d's registers hold %s, no state its writes make between the "
                             "acknowledged k%d and the sent k%d (those are %s)" % (
                                 where, m.index, list(values[:WRITABLE]), lo, hi,
                                 [list(unpack(s)) for s in states][:6]))

    def check_saved(self, path, lo, hi, what):
        try:
            with open(path, encoding="utf-8") as f:
                data = json.load(f)
            rw = {int(k): v for k, v in data["READ_WRITE"].items()}
            ro = {int(k): v for k, v in data["READ_ONLY"].items()}
        except (OSError, ValueError, KeyError, AttributeError, TypeError) as e:
            self.checks.fail("save", "%s wrote %s that does not read back: %s" % (what, path, e))
            return
        writable = {m.base + off for m in self.masters for off in range(WRITABLE)}
        if set(rw) != writable or set(ro) != set(range(SIZE)) - writable:
            self.checks.fail("save", "%s: READ_WRITE in %s is not exactly the writable registers" % (what, path))
            return
        merged = {**rw, **ro}
        for m in self.masters:
            values = tuple(merged[m.base + off] for off in range(BLOCK))
            self.check_block("%s (%s)" % (what, os.path.basename(path)), m, values, lo[m], hi[m])

    def close_and_check(self, what):
        lo = {m: m.bounds()[0] for m in self.masters}
        with self.watchdog.watch("CUF_Close()"):
            self.bank.CUF_Close()
        hi = {m: m.bounds()[1] for m in self.masters}
        self.check_saved(self.close_file, lo, hi, what)

    def why_listed(self, addr):
        return " (its CUE_OnConnect raised)" if addr in self.raised else ""

    # -- checkpoints --

    def end(self):
        """When the churn ends: its length, plus the checkpoints' pauses so far."""
        paused = getattr(self, "paused", None)
        return None if paused is None else self.started + self.seconds + paused

    def park(self, why):
        self.gate.pause()
        with self.watchdog.watch("every worker parking for %s" % why, PARK_TIMEOUT + 5):
            if not self.gate.all_parked(PARK_TIMEOUT):
                self.watchdog.fatal("stuck", "workers not parked after %.0f s: %s" % (
                    PARK_TIMEOUT, sorted(w.name for w in self.gate.workers - self.gate.parked)))

    def listed(self):
        with self.watchdog.watch("CUF_ListConnections()"):
            return set(self.bank.CUF_ListConnections())

    def registry(self, connected=()):
        """CUF_ListConnections() without the entries already reported as left behind (unless a
        master is connected from that address again)."""
        listed = self.listed()
        self.reported_stale &= listed
        return listed - (self.reported_stale - set(connected))

    def check_registry(self):
        """CUF_ListConnections() lists exactly the masters connected, once the server had its time.
        A parked master may not have read yet that the server ended its connection (its
        CUE_OnConnect raised, say): such a connection is not connected, and no entry is owed to it."""
        connected = {m.conn.addr: m for m in self.masters if m.conn is not None and not ended_by_server(m.conn.sock)}
        deadline = time.monotonic() + SETTLE_TIMEOUT
        while True:
            listed = self.registry(connected)
            if listed == set(connected) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        for addr in sorted(set(connected) - listed):
            conn = connected[addr].conn
            if conn.same_port:
                note = " (a reconnect from the port of a connection just reset)"
            elif conn.port_before is not None:
                note = " (the last connection from that port had ended %.1f s before: %s)" % conn.port_before
            else:
                note = ""
            self.checks.fail("registry", "master %d is connected and served on %s, which CUF_ListConnections() "
                             "does not list%s" % (connected[addr].index, addr, note), connected[addr].evidence())
        for addr in sorted(listed - set(connected)):
            self.checks.fail("registry", "CUF_ListConnections() lists %s %.0f s after that connection ended%s" % (
                addr, SETTLE_TIMEOUT, self.why_listed(addr)))
            self.reported_stale.add(addr)
        return len(connected)

    def check_resources(self, base, what, registry=True):
        """After the masters are gone: the registry empty, descriptors and threads as at `base`."""
        deadline = time.monotonic() + SETTLE_TIMEOUT
        while True:
            now = Resources()
            empty = not registry or not self.registry()
            if (empty and now.same_as(base)) or time.monotonic() > deadline:
                break
            time.sleep(0.05)
        if registry and not empty:
            left = self.registry()
            self.checks.fail("registry", "%s: CUF_ListConnections() still lists %s %.0f s after every master left" % (
                what, sorted(left)[:8], SETTLE_TIMEOUT))
            self.reported_stale |= left
        if not now.same_as(base):
            self.checks.fail("resources", "%s, %.0f s after every master left: %s" % (
                what, SETTLE_TIMEOUT, now.difference(base)))
        return now

    def run_checkpoint(self, final=False):
        began = time.monotonic()
        self.park("the final checkpoint" if final else "a checkpoint")
        connected = self.check_registry()
        for m in self.masters:
            m.close_parked()
        now = self.check_resources(self.base_res, "checkpoint")
        if self.first_rss is None:
            self.first_rss = now.rss
            if RSS_JUDGED and now.rss - self.base_res.rss > RSS_WARMUP_MIB * 1024:
                self.checks.fail("resources", "RSS %.1f MiB at the first checkpoint, %.1f MiB at the start "
                                 "(allowed: %d MiB more)" % (mib(now.rss), mib(self.base_res.rss), RSS_WARMUP_MIB))
        elif RSS_JUDGED and now.rss - self.first_rss > RSS_GROWTH_MIB * 1024:
            self.checks.fail("resources", "RSS %.1f MiB, %.1f MiB at the first checkpoint (allowed: %d MiB more)" % (
                mib(now.rss), mib(self.first_rss), RSS_GROWTH_MIB))
        self.summary(now, connected)
        self.paused += time.monotonic() - began
        if not final:
            self.gate.resume()

    def summary(self, res, connected):
        s = self.stats
        elapsed = time.monotonic() - self.started
        failed = self.checks.names()
        self.out.line(
            "soak: %02d:%02d answered %d, writes checked %d, connects %d, resets %d, same-port reconnects %d, "
            "drops %d, allow-list switches %d, saves %d, close/open cycles %d, rss %.1f MiB, fds %d, "
            "threads %d (tasks %d); %d masters were connected%s" % (
                elapsed // 60, elapsed % 60, s.get("answered"), s.get("writes checked"), s.get("connects"),
                s.get("resets"), s.get("same-port reconnects"), s.get("drops"), s.get("allow-list switches"),
                s.get("saves"), s.get("close/open cycles"), mib(res.rss), len(res.fds), res.threads, res.tasks,
                connected, "; failed so far: " + ", ".join(failed) if failed else ""))

    # -- the whole run --

    def run(self):
        self.folder = tempfile.mkdtemp(prefix="holdbank-soak-")
        self.close_file = os.path.join(self.folder, "close.json")
        self.module_prints = ModulePrints()
        self.stderr = ListenerStderr(sys.stderr)
        self.log = LogRecords()
        logger = logging.getLogger("Holdbank")
        logger.addHandler(self.log)
        logger.propagate = False
        sys.stdout = self.module_prints
        sys.stderr = self.stderr
        self.first_rss = None
        pools, after = self.choose_ports()
        self.port = self.listener_port(after)
        self.out.line("soak: %s, seed %d, %d masters from %s and %d from %s, port %d, checkpoints every %.0f s, "
                      "files in %s" % (self.clock(self.seconds), self.seed, LOCAL_MASTERS, LOCAL_IP, OTHER_MASTERS,
                                       OTHER_IP, self.port, self.checkpoint, self.folder))
        self.paused = 0.0
        self.checks.log = open(os.path.join(self.folder, "failures.log"), "w", encoding="utf-8")
        self.watchdog.start()
        self.start_base = Resources()

        self.bank = Holdbank.CLASS_Holdbank_Secured(SIZE, self.close_file)
        ips = [LOCAL_IP] * LOCAL_MASTERS + [OTHER_IP] * OTHER_MASTERS
        self.masters = [Master(self, i, ip, pools[i]) for i, ip in enumerate(ips)]
        for m in self.masters:
            self.bank.CUF_Set_ReadWriteRange(m.base, m.base + WRITABLE - 1)
            self.bank.CUF_Set_ReadOnlyRange(m.base + WRITABLE, m.base + BLOCK - 1)
        self.bank.CUF_AllowIP_Add(LOCAL_IP)
        self.hooks = Hooks(self)
        self.open()
        host = {"drops": Dropper, "allow-list": AllowSwitcher, "saves": Saver, "close-open": Cycler}
        workers = self.masters + [HookChurn(self)] + [make(self) for name, make in host.items()
                                                      if name not in self.leave_out]
        self.allow_worker = next((w for w in workers if isinstance(w, AllowSwitcher)), None)
        for w in workers:
            w.start()
        self.park("the start")
        self.base_res = Resources()
        self.gate.resume()

        # The run's length is churn time: the checkpoints' pauses are added to it.
        next_checkpoint = self.started + self.checkpoint
        while True:
            now = time.monotonic()
            end = self.end()
            if now >= end - 1:
                break
            if now >= next_checkpoint:
                self.run_checkpoint()
                next_checkpoint = time.monotonic() + self.checkpoint
            time.sleep(min(0.5, max(0.01, min(next_checkpoint, end) - now)))
        self.run_checkpoint(final=True)
        self.gate.stop()
        for w in workers:
            w.join(PARK_TIMEOUT)
            if w.is_alive():
                self.watchdog.fatal("stuck", "%s did not end within %.0f s of the stop" % (w.name, PARK_TIMEOUT))
        self.close_and_check("the final CUF_Close")
        self.check_resources(self.start_base, "after the final CUF_Close", registry=False)
        self.check_listener_reports()
        sys.stdout, sys.stderr = self.out.real, self.stderr.real
        logger.removeHandler(self.log)
        logger.propagate = True
        return self.finish()

    def check_listener_reports(self):
        """The listener reports a connection whose handling raised; only our own CUE_OnConnect
        raises on purpose."""
        expected, unexpected = self.stderr.reports()
        raised = self.stats.get("connect hook raised")
        if expected != raised:
            self.checks.fail("listener", "CUE_OnConnect raised %d times and the listener reported %d of them" % (
                raised, expected))
        for report in unexpected:
            lines = [line for line in report.strip().splitlines() if line.strip("-")]
            self.checks.fail("listener", "%s: %s" % (lines[0] if lines else "", " | ".join(lines[-3:])[-600:]),
                             "\n" + report)

    @staticmethod
    def clock(seconds):
        return "%d:%02d" % (seconds // 60, seconds % 60)

    def finish(self, aborted=None):
        """Prints the failures and the verdict, once; after a fatal one, ends the process."""
        if not self.finished.acquire(blocking=False):
            if aborted:
                time.sleep(3600)  # the first caller ends the process
            return 1
        s = self.stats
        details = self.checks.details()
        for name, count, examples in details:
            self.out.line("soak: failed %s (%d): %s" % (name, count, examples[0]))
            for example in examples[1:]:
                self.out.line("soak:     also: %s" % example)
        if self.log.counts:
            self.out.line("soak: the module logged: %s" % ", ".join(
                "%s (%d)" % (k, c) for k, c in sorted(self.log.counts.items())))
        totals = ("%s, %d requests answered, %d writes checked, %d connects, %d resets, %d same-port reconnects, "
                  "%d drops, %d allow-list switches, %d saves, %d close/open cycles, %d connect hooks raised" % (
                      self.clock(time.monotonic() - self.started), s.get("answered"), s.get("writes checked"),
                      s.get("connects"), s.get("resets"), s.get("same-port reconnects"), s.get("drops"),
                      s.get("allow-list switches"), s.get("saves"), s.get("close/open cycles"),
                      s.get("connect hook raised")))
        if s.get("drops of entries with no connection"):
            totals += ", %d drops of entries with no connection (True all the same)" % s.get(
                "drops of entries with no connection")
        if s.get("late first hooks"):
            totals += (", %d hooks that began just after their connection's drop returned (the first of a "
                       "connection is not counted as a failure)" % s.get("late first hooks"))
        if s.get("model out of reach"):
            totals += ", %d model checks out of the history's reach" % s.get("model out of reach")
        if details or aborted:
            self.out.line("soak: every failure in full: %s" % os.path.join(self.folder, "failures.log"))
            names = [name for name, _, _ in details]
            self.out.line("soak: FAIL %s (%s%s)" % (", ".join(names), totals,
                                                     "; aborted: " + aborted if aborted else ""))
        else:
            shutil.rmtree(self.folder, ignore_errors=True)
            self.out.line("soak: PASS (%s)" % totals)
        if aborted:
            os._exit(1)
        return 1 if details else 0


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    length = parser.add_mutually_exclusive_group()
    length.add_argument("--minutes", type=float, default=10.0, help="how long to run (default 10, fractions allowed)")
    length.add_argument("--seconds", type=float, help="how long to run, in seconds (for short runs)")
    parser.add_argument("--seed", type=int, default=None, help="the random seed (default: from the time)")
    parser.add_argument("--checkpoint-seconds", type=float, default=60.0,
                        help="time between checkpoints and summary lines (default 60)")
    parser.add_argument("--leave-out", type=lambda text: [k for k in text.split(",") if k], default=[],
                        metavar="KIND,...", help="kinds of churn to leave out, to narrow a failure down: %s" % (
                            ", ".join(LEAVE_OUT)))
    args = parser.parse_args(argv)
    unknown = set(args.leave_out) - set(LEAVE_OUT)
    if unknown:
        parser.error("no such kind of churn: %s" % ", ".join(sorted(unknown)))
    seconds = args.seconds if args.seconds is not None else args.minutes * 60.0
    if seconds <= 0:
        parser.error("the run needs a positive length")
    seed = args.seed if args.seed is not None else int(time.time()) % 100000
    return Soak(seconds, seed, args.checkpoint_seconds, args.leave_out).run()


if __name__ == "__main__":
    sys.exit(main())
