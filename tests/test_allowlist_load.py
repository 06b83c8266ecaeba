"""The allow-list under load: thousands of refused masters that send at once, and allowed ones.

A refused master (its socket bound to 127.0.0.2 while only 127.0.0.1 is allowed) sends its
request right after connecting, so the request is already waiting on the server's side of the
connection when the check drops it. It must read only the end of the stream or a reset, never
an answer byte, and its writes must never reach the bank. Meanwhile allowed masters, old and new,
keep being served.
"""
import random
import socket
import struct
import threading
import time
from collections import Counter

import Holdbank
from conftest import mbap, recv_frame, wait_until

REFUSED_ATTEMPTS = 5000
# Each refusing thread has at most one connection waiting to be accepted, so a listen backlog
# of 5 is never overrun: every attempt reaches the server's check.
REFUSING_THREADS = 4
ALLOWED_MASTERS = 4
TRAP = 50  # registers 50..59: only refused masters write there
ANSWER_TIMEOUT = 5
MAX_GAP = 2.0  # longest an allowed master may wait for an answer while the refused ones hammer


def refused_requests(rng, i):
    """What a refused master sends at once: writes to the trap registers, a read, or several."""
    write1 = mbap(struct.pack(">BHH", 6, TRAP + rng.randrange(10), 1 + i % 0xFFFE), tx_id=i & 0xFFFF)
    writen = mbap(struct.pack(">BHHB2H", 16, TRAP, 2, 4, 7, 7), tx_id=i & 0xFFFF)
    read = mbap(struct.pack(">BHH", 3, 0, 10), tx_id=i & 0xFFFF)
    return rng.choice([write1, writen, read, write1 + read + writen])


class Refusing:
    def __init__(self, port, seed, attempts):
        self.port, self.rng, self.attempts = port, random.Random(seed), attempts
        self.connected = self.reset = self.eof = 0
        self.errors = []

    def run(self):
        for i in range(self.attempts):
            try:
                self.attempt(i)
            except Exception as e:  # noqa: BLE001 - reported, the test fails on it
                self.errors.append("%s: %s" % (type(e).__name__, e))
                return

    def attempt(self, i):
        with socket.socket() as s:
            s.settimeout(ANSWER_TIMEOUT)
            s.bind(("127.0.0.2", 0))
            s.connect(("127.0.0.1", self.port))
            self.connected += 1
            try:
                s.sendall(refused_requests(self.rng, i))
                data = s.recv(1024)
            except (ConnectionResetError, BrokenPipeError):
                self.reset += 1
                return
            if data:
                raise AssertionError("refused master %s was answered %r" % (s.getsockname(), data))
            self.eof += 1


class Allowed:
    """A master on 127.0.0.1 writing and reading back its own register, timing every answer."""

    def __init__(self, port, index, stop):
        self.port, self.addr, self.stop = port, index, stop
        self.answered = 0
        self.max_gap = 0.0
        self.errors = []

    def run(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=ANSWER_TIMEOUT) as s:
                last = time.monotonic()
                value = 0
                while not self.stop.is_set():
                    value = (value + 1) & 0xFFFF
                    pdu = struct.pack(">BHH", 6, self.addr, value)
                    s.sendall(mbap(pdu))
                    assert recv_frame(s)[3] == pdu
                    s.sendall(mbap(struct.pack(">BHH", 3, self.addr, 1)))
                    assert recv_frame(s)[3] == b"\x03\x02" + struct.pack(">H", value)
                    now = time.monotonic()
                    self.max_gap = max(self.max_gap, now - last)
                    last = now
                    self.answered += 1
        except Exception as e:  # noqa: BLE001
            self.errors.append("allowed master %d: %s: %s" % (self.addr, type(e).__name__, e))


class Newcomer:
    """Allowed masters that keep arriving: each new connection from 127.0.0.1 is admitted and served."""

    def __init__(self, port, stop):
        self.port, self.stop = port, stop
        self.served = 0
        self.errors = []

    def run(self):
        try:
            while not self.stop.is_set():
                with socket.create_connection(("127.0.0.1", self.port), timeout=ANSWER_TIMEOUT) as s:
                    s.sendall(mbap(struct.pack(">BHH", 3, 0, 2)))
                    assert recv_frame(s)[3][:2] == b"\x03\x04"
                self.served += 1
                time.sleep(0.005)
        except Exception as e:  # noqa: BLE001
            self.errors.append("new allowed master: %s: %s" % (type(e).__name__, e))


def test_refused_masters_are_never_answered_while_allowed_ones_are_served(served, port):
    bank = served(cls=Holdbank.CLASS_Holdbank_Secured, size=100)
    bank.CUF_AllowIP_Add("127.0.0.1")
    bank.CUF_AllowIP_Active(True)
    lock = threading.Lock()
    denied, admitted = Counter(), Counter()

    def on_denied(ip, full):
        with lock:
            denied[ip] += 1

    def on_connect(ip, full):
        with lock:
            admitted[ip] += 1

    bank.CUE_OnAccessDenied = on_denied
    bank.CUE_OnConnect = on_connect

    stop = threading.Event()
    allowed = [Allowed(port, i, stop) for i in range(ALLOWED_MASTERS)]
    newcomer = Newcomer(port, stop)
    refusing = [Refusing(port, i, REFUSED_ATTEMPTS // REFUSING_THREADS) for i in range(REFUSING_THREADS)]
    background = [threading.Thread(target=w.run, daemon=True) for w in allowed + [newcomer]]
    storm = [threading.Thread(target=w.run, daemon=True) for w in refusing]
    for t in background:
        t.start()
    wait_until(lambda: all(a.answered for a in allowed), timeout=ANSWER_TIMEOUT)
    started = time.monotonic()
    for t in storm:
        t.start()
    for t in storm:
        t.join(timeout=120)
    storm_seconds = time.monotonic() - started
    stop.set()
    for t in background:
        t.join(timeout=ANSWER_TIMEOUT * 3)
    assert not any(t.is_alive() for t in storm + background), "a master is stuck"

    errors = [e for w in refusing + allowed + [newcomer] for e in w.errors]
    assert not errors, errors[:5]
    attempts = sum(r.connected for r in refusing)
    assert attempts == REFUSED_ATTEMPTS
    # Each refused connection was reported once and never reached the user's connect hook.
    wait_until(lambda: denied["127.0.0.2"] == attempts, timeout=10)
    assert admitted["127.0.0.2"] == 0 and set(denied) == {"127.0.0.2"}
    wait_until(lambda: bank.CUF_ListConnections() == [], timeout=10)
    # No refused write reached the bank.
    assert [bank.CUF_REG_Read(TRAP + i) for i in range(10)] == [0] * 10
    # The allowed masters were served all along.
    for a in allowed:
        assert a.max_gap < MAX_GAP, "allowed master %d waited %.2f s for an answer" % (a.addr, a.max_gap)
    assert newcomer.served > 0

    print("\nallow-list under load: %d refused attempts in %.1f s (%d read end of stream, %d reset), "
          "%d answers to %d allowed masters (longest wait %.3f s), %d new allowed connections served"
          % (attempts, storm_seconds, sum(r.eof for r in refusing), sum(r.reset for r in refusing),
             sum(a.answered for a in allowed), ALLOWED_MASTERS, max(a.max_gap for a in allowed),
             newcomer.served))
