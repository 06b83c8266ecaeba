"""Shared fixtures: a served bank on a free loopback port and small socket helpers."""
import socket
import struct
import time

import pytest


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=5.0, interval=0.005):
    """Polls `predicate` until it is true; fails the test after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        time.sleep(interval)
    raise AssertionError("condition not met within %.1f s" % timeout)


def mbap(pdu, tx_id=1, proto_id=0, unit_id=1):
    return struct.pack(">HHHB", tx_id, proto_id, len(pdu) + 1, unit_id) + pdu


def recv_exact(sock, n):
    data = b""
    while len(data) < n:
        chunk = sock.recv(n - len(data))
        if not chunk:
            raise ConnectionError("closed after %d of %d bytes" % (len(data), n))
        data += chunk
    return data


def recv_frame(sock):
    """One whole answer frame: (tx_id, proto_id, unit_id, pdu)."""
    header = recv_exact(sock, 7)
    tx_id, proto_id, length, unit_id = struct.unpack(">HHHB", header)
    return tx_id, proto_id, unit_id, recv_exact(sock, length - 1)


@pytest.fixture
def pairs():
    """Factory: connected socket pairs, closed after the test."""
    made = []

    def make():
        a, b = socket.socketpair()
        made.extend([a, b])
        return a, b

    yield make
    for s in made:
        s.close()


@pytest.fixture
def port():
    return free_port()


@pytest.fixture
def served(tmp_path, port):
    """Factory: a CLASS_Holdbank (or subclass) listening on 127.0.0.1, closed after the test."""
    import Holdbank

    started = []

    def make(cls=None, size=7000, **kwargs):
        bank = (cls or Holdbank.CLASS_Holdbank)(size, str(tmp_path / "backup.json"), **kwargs)
        bank.CUF_Open("127.0.0.1", port)
        started.append(bank)
        return bank

    yield make
    for bank in started:
        bank.CUF_Close()


@pytest.fixture
def master(port):
    """Factory: raw TCP connections to the served port, each with a receive timeout."""
    socks = []

    def connect(source="127.0.0.1"):
        s = socket.socket()
        s.settimeout(5)
        s.bind((source, 0))
        s.connect(("127.0.0.1", port))
        socks.append(s)
        return s

    yield connect
    for s in socks:
        s.close()


# --- real peers for the two masters (see master_helpers) ---------------------------------------

@pytest.fixture
def rtu_peer():
    from master_helpers import RtuPeer

    peer = RtuPeer()
    yield peer
    peer.close()


@pytest.fixture
def pymodbus_peer(port):
    from master_helpers import PymodbusServer

    peer = PymodbusServer(port)
    yield peer
    peer.close()


@pytest.fixture
def holdbank_peer(served, port):
    from master_helpers import SIZE, HoldbankServer

    return HoldbankServer(served(size=SIZE), port)
