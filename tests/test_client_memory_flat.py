"""Long runs of every operation of the two masters keep the interpreter's allocations and object
count flat: on a master that was never opened, against real peers (pymodbus's TCP server and the
Holdbank server for Socklink, an RTU slave on a pseudo-terminal for Cordlink), through the error
answers of those peers, and through every error a call can raise or report.

The peers run in child processes, so what is counted here is the masters' own work. A reference
leaked per call shows as blocks never freed (or objects never collected) in proportion to the
number of rounds; the thresholds are half (a quarter for objects) of one per round.
"""
import os
import select
import struct
import subprocess
import sys

import pytest

import Cordlink
import Socklink
from conftest import free_port
from memory_flat import assert_flat

pytestmark = pytest.mark.pymodbus

TESTS = os.path.dirname(os.path.abspath(__file__))


# --- peers in child processes ------------------------------------------------------------------

PEERS = {
    # pymodbus's own TCP server; past its last register (SIZE) it answers "illegal data address"
    "pymodbus": """
from master_helpers import SIZE, PymodbusServer
server = PymodbusServer(int(sys.argv[1]))
print("ready", SIZE, SIZE, flush=True)
""",
    # the Holdbank server: register 99 holds a value no register can carry (its read gets an
    # exception answer), registers 90 and up refuse writes
    "holdbank": """
import Holdbank
bank = Holdbank.CLASS_Holdbank(100, sys.argv[2])
bank.CUF_Set_ReadWriteRange(0, 89)
bank.hr[99] = 70000
sys.stdout = open(os.devnull, "w")  # the server's own lines
bank.CUF_Open("127.0.0.1", int(sys.argv[1]))
print("ready", 99, 90, file=sys.__stdout__, flush=True)
""",
    # an RTU slave serving units 1 and 2 on a pseudo-terminal; past its 100 registers it answers
    # "illegal data address"
    "rtu": """
from rtu_slave import RtuSlave
slave = RtuSlave(units=(1, 2))
print("ready", 100, 100, slave.port, flush=True)
""",
}


class Peer:
    """A peer in a child process, until the test closes its standard input."""

    def __init__(self, kind, tmp_path):
        self.port = free_port()
        code = "import os, sys\nsys.path.insert(0, %r)\n%s\nsys.stdin.read()\n" % (TESTS, PEERS[kind])
        self.proc = subprocess.Popen([sys.executable, "-c", code, str(self.port), str(tmp_path / "peer.json")],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True)
        ready, _, _ = select.select([self.proc.stdout], [], [], 20)
        line = self.proc.stdout.readline().split() if ready else []
        if line[:1] != ["ready"]:
            self.close()
            raise AssertionError("the %s peer did not start: %r" % (kind, line))
        self.refused_read, self.refused_write = int(line[1]), int(line[2])
        self.path = line[3] if len(line) > 3 else None

    def close(self):
        self.proc.stdin.close()
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(timeout=10)


@pytest.fixture
def peer(request, tmp_path):
    p = Peer(request.param, tmp_path)
    yield p
    p.close()


# --- the operations ------------------------------------------------------------------------------

def raising(*args):
    raise RuntimeError("hook")


def expect(error, fn, *args, **kwargs):
    with pytest.raises(error):
        fn(*args, **kwargs)


def argument_errors(link):
    """Calls the argument binding refuses, each with the host's TypeError."""
    expect(TypeError, link.CUF_Read_HR_int)
    expect(TypeError, link.CUF_Read_HR_int, 0, 1, bogus=1)
    expect(TypeError, link.CUF_Read_HR_int, 0, 1, 2, 3, 4, 5)
    expect(TypeError, link.CUF_Read_HR_int, 0, Pmi_REG_Addr=1)
    expect(TypeError, lambda: link.CUF_Write_HR_str(**{"Pmi_REG_Addr": 0, 1: 2}))


def codec_errors(link, kw):
    """Values no register can carry: each fails before anything is sent."""
    expect(struct.error, link.CUF_Write_HR_long, 0, -1, **kw)
    expect(OverflowError, link.CUF_Write_HR_double, 0, 1e39, **kw)
    expect(struct.error, link.CUF_Write_HR_double, 0, "x", **kw)
    expect(UnicodeEncodeError, link.CUF_Write_HR_str, 0, "\u4e2d", "ascii", **kw)
    expect(LookupError, link.CUF_Write_HR_str, 0, "x", "no-such-codec", **kw)


def never_opened_round(link, kw, events):
    """Everything a master that was never opened does: empty reads reported as exceptions, writes
    raising, a close that does nothing, and a report hook that fails."""
    link.CUE_OnError = events.append
    assert link._read_raw(0, 2, **kw) is None
    assert link.CUF_Read_HR_int(0, 2, **kw) == []
    assert link.CUF_Read_HR_long(0, 2, **kw) == []
    assert link.CUF_Read_HR_double(0, 2, **kw) == []
    assert link.CUF_Read_HR_str(0, 2, **kw) == ""
    expect(AttributeError, link.CUF_Write_HR_int, 0, 1, **kw)
    expect(AttributeError, link.CUF_Write_HR_long, 0, 1, **kw)
    expect(AttributeError, link.CUF_Write_HR_double, 0, 1.5, **kw)
    expect(AttributeError, link.CUF_Write_HR_str, 0, "AB", **kw)
    codec_errors(link, kw)
    argument_errors(link)
    assert link.CUF_Close() is None
    link.CUE_OnError = raising
    expect(RuntimeError, link._read_raw, 0, 1, **kw)
    link.CUE_OnConnecting = raising
    link.CUE_OnError = events.append
    assert link.CUF_Open(*OPEN_ARGS[type(link)]) is False  # the hook fails the open, no client built
    link.CUE_OnConnecting = None
    assert link.client is None
    assert len(events) == 6, events
    events.clear()


OPEN_ARGS = {Socklink.CLASS_Socklink: ("127.0.0.1", 1), Cordlink.CLASS_Cordlink: ("missing-port",)}


@pytest.mark.parametrize("cls, kw", [(Socklink.CLASS_Socklink, {}), (Cordlink.CLASS_Cordlink, {"slave": 2})])
def test_never_opened_master(cls, kw):
    link = cls()
    events = []

    def run(n):
        for _ in range(n):
            never_opened_round(link, kw, events)

    assert_flat(run, 2000)


def connected_round(link, peer, kw, events):
    """Every typed and raw operation on a connected master, the peer's error answers, and the
    errors of decoding, of encoding and of hooks."""
    link.CUE_OnError = events.append
    link.CUE_OnPacketREAD = events.append
    link.CUE_OnPacketWRITE = events.append
    assert link.CUF_Write_HR_int(0, 4660, **kw) is True
    assert link.CUF_Write_HR_long(2, 305419896, **kw) is True
    assert link.CUF_Write_HR_double(4, 3.14, **kw) is True
    assert link.CUF_Write_HR_str(6, "ABC", **kw) is True
    assert link._read_raw(0, 8, **kw) == [4660, 0, 4660, 22136, 16456, 62915, 16706, 17152]
    assert link.CUF_Read_HR_int(0, 2, **kw) == [4660, 0]
    assert link.CUF_Read_HR_long(2, 1, **kw) == [305419896]
    assert link.CUF_Read_HR_double(4, 1, **kw) == [3.140000104904175]
    assert link.CUF_Read_HR_str(6, 2, **kw) == "ABC"
    assert link.CUF_Read_HR_int(peer.refused_read, 1, **kw) == []      # "Modbus Error: ..."
    assert link.CUF_Write_HR_int(peer.refused_write, 1, **kw) is False
    expect(LookupError, link.CUF_Read_HR_str, 6, 2, "no-such-codec", **kw)
    codec_errors(link, kw)
    link.CUE_OnPacketREAD = lambda registers: registers.pop()         # an odd register count
    expect(IndexError, link.CUF_Read_HR_long, 2, 1, **kw)
    link.CUE_OnPacketREAD = raising                                   # "Exception: hook"
    assert link.CUF_Read_HR_int(0, 1, **kw) == []
    link.CUE_OnPacketWRITE = raising
    expect(RuntimeError, link.CUF_Write_HR_int, 0, 4660, **kw)
    assert len(events) == 12, events
    events.clear()


def open_close_round(link, peer_args, closed_args, events):
    """Opening and closing, with the hooks of each step, and the ways an open fails."""
    link.CUE_OnConnecting = link.CUE_OnConnect = link.CUE_OnDisconnect = lambda: events.append(0)
    link.CUE_OnError = events.append
    assert link.CUF_Open(*peer_args) is True
    assert link.CUF_Open(*peer_args) is True       # the earlier client is closed first
    link.CUF_Close()
    link.CUE_OnConnect = raising                   # fails the open though connected
    assert link.CUF_Open(*peer_args) is False
    link.CUF_Close()
    assert link.CUF_Open(*closed_args) is False    # "Connection Failed to ..."
    link.CUF_Close()
    link.CUE_OnDisconnect = raising
    expect(RuntimeError, link.CUF_Close)
    link.CUE_OnConnect = link.CUE_OnDisconnect = None
    assert len(events) == 11, events
    events.clear()


@pytest.mark.parametrize("peer", ["pymodbus", "holdbank"], indirect=True)
def test_socklink_operations_against_a_tcp_server(peer):
    link = Socklink.CLASS_Socklink()
    events = []
    assert link.CUF_Open("127.0.0.1", peer.port) is True

    def run(n):
        for _ in range(n):
            connected_round(link, peer, {}, events)

    assert_flat(run, 600)
    link.CUF_Close()


@pytest.mark.parametrize("peer", ["pymodbus", "holdbank"], indirect=True)
def test_socklink_open_and_close(peer):
    link = Socklink.CLASS_Socklink()
    events = []
    closed = ("127.0.0.1", free_port())

    def run(n):
        for _ in range(n):
            open_close_round(link, ("127.0.0.1", peer.port), closed, events)

    assert_flat(run, 400, warm_up=400)


@pytest.mark.parametrize("peer", ["rtu"], indirect=True)
def test_cordlink_on_a_serial_line(peer):
    link = Cordlink.CLASS_Cordlink()
    events = []
    assert link.CUF_Open(peer.path, 115200) is True

    def operations(n):
        for _ in range(n):
            connected_round(link, peer, {"slave": 2}, events)

    assert_flat(operations, 150)
    link.CUF_Close()

    def cycles(n):
        for _ in range(n):
            open_close_round(link, (peer.path, 115200), ("missing-port", 115200), events)

    # pyserial's first few hundred opens of a terminal settle some allocations of their own
    assert_flat(cycles, 400, warm_up=600)
