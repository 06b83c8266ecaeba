"""Modbus TCP requests over real loopback connections: answers, hooks, the lock and the stream."""
import socket
import struct
import threading
import time

import pytest
from pymodbus.client import ModbusTcpClient

import Holdbank
from conftest import mbap, recv_frame, wait_until
from master_helpers import UNIT_KEYWORD


def answer(sock, pdu, **mbap_fields):
    sock.sendall(mbap(pdu, **mbap_fields))
    return recv_frame(sock)[3]


def read_pdu(start, count):
    return struct.pack(">BHH", 3, start, count)


def write_multiple_pdu(start, values, count=None, byte_count=None):
    count = len(values) if count is None else count
    byte_count = 2 * len(values) if byte_count is None else byte_count
    return struct.pack(">BHHB", 16, start, count, byte_count) + b"".join(struct.pack(">H", v) for v in values)


def assert_closed(sock):
    """The server ended the connection: the master reads end-of-stream (or a reset)."""
    try:
        assert sock.recv(100) == b""
    except ConnectionResetError:
        pass


@pytest.fixture
def bank(served):
    b = served(size=100)
    b.events = []
    b.CUE_OnRead = lambda ip, a, v: b.events.append(("read", ip, a, v))
    b.CUE_OnWrite = lambda ip, a, v: b.events.append(("write", ip, a, v))
    b.CUE_OnWriteDenied = lambda ip, a, v: b.events.append(("denied", ip, a, v))
    b.CUE_OnDisconnect = lambda full: b.events.append(("disconnect", full))
    return b


# --- answers -------------------------------------------------------------------------------------

def test_read_registers(bank, master):
    bank.hr[5:8] = [1, 0xABCD, 65535]
    m = master()
    assert answer(m, read_pdu(5, 3)) == b"\x03\x06\x00\x01\xab\xcd\xff\xff"
    assert bank.events == [("read", "127.0.0.1", 5, 1), ("read", "127.0.0.1", 6, 0xABCD),
                           ("read", "127.0.0.1", 7, 65535)]


@pytest.mark.parametrize("count, byte_count", [(0, 0), (1, 2), (127, 254)])
def test_read_counts_that_fit_one_answer(bank, master, count, byte_count):
    m = master()
    m.sendall(mbap(read_pdu(0, count)))
    tx, proto, unit, pdu = recv_frame(m)
    assert pdu[:2] == bytes([3, byte_count]) and len(pdu) == 2 + 2 * count
    assert len([e for e in bank.events if e[0] == "read"]) == count


def test_reading_0_registers_has_length_field_3(bank, master):
    m = master()
    m.sendall(mbap(read_pdu(0, 0), tx_id=9))
    assert m.recv(100) == b"\x00\x09\x00\x00\x00\x03\x01\x03\x00"


@pytest.mark.parametrize("count", [128, 200, 65535])
def test_read_too_large_for_one_answer_is_an_exception_and_the_connection_stays(bank, master, count):
    m = master()
    assert answer(m, read_pdu(0, count)) == b"\x83\x03"
    assert [e for e in bank.events if e[0] == "read"] == []
    assert answer(m, read_pdu(0, 1)) == b"\x03\x02\x00\x00"


def test_read_beyond_the_bank_gives_zeros_and_hooks(bank, master):
    bank.hr[99] = 7
    m = master()
    assert answer(m, read_pdu(98, 4)) == b"\x03\x08\x00\x00\x00\x07\x00\x00\x00\x00"
    assert [e[2:] for e in bank.events] == [(98, 0), (99, 7), (100, 0), (101, 0)]


def test_read_addresses_do_not_wrap_at_65535(served, master):
    b = served(size=70000)
    b.hr[65535] = 1
    b.hr[65536] = 2
    seen = []
    b.CUE_OnRead = lambda ip, a, v: seen.append(a)
    m = master()
    assert answer(m, read_pdu(65535, 2)) == b"\x03\x04\x00\x01\x00\x02"
    assert seen == [65535, 65536]


@pytest.mark.parametrize("bad", [70000, -1, "text", 1.0, None])
def test_unsendable_register_value_is_a_device_failure_not_a_dropped_master(bank, master, bad):
    bank.hr[3] = bad
    m = master()
    assert answer(m, read_pdu(2, 3)) == b"\x83\x04"
    assert [e[2] for e in bank.events] == [2, 3, 4]  # every register was still read and reported
    bank.hr[3] = 1
    assert answer(m, read_pdu(3, 1)) == b"\x03\x02\x00\x01"


def test_write_single(bank, master):
    m = master()
    assert answer(m, b"\x06\x00\x0a\x12\x34") == b"\x06\x00\x0a\x12\x34"
    assert bank.hr[10] == 0x1234
    assert bank.events == [("write", "127.0.0.1", 10, 0x1234)]


def test_write_single_echoes_trailing_bytes(bank, master):
    m = master()
    m.sendall(mbap(b"\x06\x00\x01\x00\x02\xaa\xbb\xcc", tx_id=4))
    assert m.recv(100) == b"\x00\x04\x00\x00\x00\x09\x01\x06\x00\x01\x00\x02\xaa\xbb\xcc"


def test_write_single_beyond_the_bank_answers_and_hooks_but_stores_nothing(bank, master):
    m = master()
    assert answer(m, b"\x06\x01\x00\x00\x05") == b"\x06\x01\x00\x00\x05"
    assert bank.hr == [0] * 100 and bank.events == [("write", "127.0.0.1", 256, 5)]


def test_write_single_refused(bank, master):
    bank.CUF_Set_ReadOnlyRange(0, 99)
    m = master()
    assert answer(m, b"\x06\x00\x05\x00\x07") == b"\x86\x02"
    assert bank.hr[5] == 0 and bank.events == [("denied", "127.0.0.1", 5, 7)]


def test_write_multiple(bank, master):
    m = master()
    assert answer(m, write_multiple_pdu(4, [1, 2, 3])) == b"\x10\x00\x04\x00\x03"
    assert bank.hr[4:7] == [1, 2, 3]
    assert [e[2:] for e in bank.events] == [(4, 1), (5, 2), (6, 3)]


def test_write_multiple_byte_count_is_not_compared(bank, master):
    m = master()
    assert answer(m, write_multiple_pdu(0, [9, 8], byte_count=77)) == b"\x10\x00\x00\x00\x02"
    assert bank.hr[:2] == [9, 8]


def test_write_multiple_is_all_or_nothing_when_one_register_is_refused(bank, master):
    bank.CUF_Set_ReadWriteRange(0, 5)
    asked = []
    original = bank._is_writable
    bank._is_writable = lambda reg: asked.append(reg) or original(reg)
    m = master()
    assert answer(m, write_multiple_pdu(4, [1, 2, 3, 4])) == b"\x90\x02"
    assert bank.hr[4:8] == [0, 0, 0, 0]
    assert asked == [4, 5, 6]  # stops at the first refused address
    assert bank.events == [("denied", "127.0.0.1", a, 0) for a in (4, 5, 6, 7)]


@pytest.mark.parametrize("observed", [65535, 2, 0], ids=["every-denial", "hook-unset-by-itself", "no-hook"])
def test_a_refused_write_multiple_reports_each_denial_while_a_hook_is_there_to_see_it(bank, master, observed):
    # 65,535 addresses named by one 13-byte request: reported one by one only while observed.
    bank.CUF_Set_ReadWriteRange(0, 9)
    denied = []

    def hook(ip, addr, val):
        denied.append(addr)
        if len(denied) == observed:
            bank.CUE_OnWriteDenied = None
    bank.CUE_OnWriteDenied = hook if observed else None
    m = master()
    assert answer(m, write_multiple_pdu(0, [], count=65535)) == b"\x90\x02"
    assert denied == list(range(observed))
    assert bank.hr[:10] == [0] * 10


def test_refused_write_multiple_with_short_values_is_still_refused(bank, master):
    bank.CUF_Set_ReadOnlyRange(0, 99)
    m = master()
    assert answer(m, write_multiple_pdu(0, [1], count=3)) == b"\x90\x02"
    assert [e[0] for e in bank.events] == ["denied"] * 3


def test_write_multiple_short_of_values_stores_nothing_and_stays_connected(bank, master):
    m = master()
    assert answer(m, write_multiple_pdu(0, [1, 2], count=3)) == b"\x90\x03"
    assert bank.hr[:3] == [0, 0, 0] and bank.events == []
    assert answer(m, write_multiple_pdu(0, [5])) == b"\x10\x00\x00\x00\x01"


@pytest.mark.parametrize("fc, reply", [(0x2B, b"\xab\x01"), (0x83, b"\x83\x01"), (1, b"\x81\x01"),
                                       (4, b"\x84\x01"), (0xFF, b"\xff\x01")])
def test_other_function_codes(bank, master, fc, reply):
    m = master()
    assert answer(m, bytes([fc, 0, 0, 0, 1])) == reply
    assert bank.events == []


def test_mbap_fields_are_echoed(bank, master):
    m = master()
    m.sendall(mbap(read_pdu(0, 1), tx_id=0xBEEF, proto_id=0x1234, unit_id=0xF7))
    assert recv_frame(m) == (0xBEEF, 0x1234, 0xF7, b"\x03\x02\x00\x00")


# --- the byte stream -------------------------------------------------------------------------------

@pytest.mark.parametrize("cut", [1, 3, 6, 7, 8, 11])
def test_frame_split_over_segments_is_assembled(bank, master, cut):
    m = master()
    m.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    frame = mbap(read_pdu(0, 2), tx_id=3)
    m.sendall(frame[:cut])
    time.sleep(0.05)
    m.sendall(frame[cut:])
    assert recv_frame(m) == (3, 0, 1, b"\x03\x04\x00\x00\x00\x00")


def test_dribbled_byte_at_a_time(bank, master):
    m = master()
    m.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    for byte in mbap(b"\x06\x00\x01\x00\x09"):
        m.send(bytes([byte]))
        time.sleep(0.002)
    assert recv_frame(m)[3] == b"\x06\x00\x01\x00\x09"
    assert bank.hr[1] == 9


def test_pipelined_requests_are_answered_in_order(bank, master):
    m = master()
    m.sendall(b"".join(mbap(b"\x06\x00\x00" + struct.pack(">H", i), tx_id=i) for i in range(50)))
    assert [recv_frame(m)[0] for _ in range(50)] == list(range(50))
    assert bank.hr[0] == 49


@pytest.mark.parametrize("length", [0, 1])
def test_frames_with_length_0_or_1_are_dropped_without_answer(bank, master, length):
    m = master()
    m.sendall(struct.pack(">HHHB", 1, 0, length, 1) + mbap(read_pdu(0, 1), tx_id=2))
    assert recv_frame(m)[0] == 2


@pytest.mark.parametrize("pdu, text", [(b"\x03\x00\x01", "unpack requires a buffer of 4 bytes"),
                                       (b"\x06", "unpack requires a buffer of 4 bytes"),
                                       (b"\x10\x00\x00\x00\x01", "unpack requires a buffer of 5 bytes")])
def test_too_short_pdu_ends_the_connection_with_a_debug_line(bank, master, holdbank_log, pdu, text):
    m = master()
    full = "127.0.0.1:%d" % m.getsockname()[1]
    m.sendall(mbap(pdu))
    assert_closed(m)
    wait_until(lambda: ("disconnect", full) in bank.events)
    assert holdbank_log.lines() == ["Exception: " + text]
    assert bank.hr == [0] * 100


def test_reset_by_the_master_is_silent_and_disconnects(bank, master, holdbank_log):
    m = master()
    full = "127.0.0.1:%d" % m.getsockname()[1]
    wait_until(lambda: full in bank.CUF_ListConnections())
    m.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    m.close()
    wait_until(lambda: ("disconnect", full) in bank.events)
    assert holdbank_log.records == []


def test_hook_error_ends_the_connection_with_a_debug_line(bank, master, holdbank_log):
    def boom(ip, a, v):
        raise ValueError("hook says no")

    bank.CUE_OnRead = boom
    m = master()
    m.sendall(mbap(read_pdu(0, 1)))
    assert_closed(m)
    wait_until(lambda: any(e[0] == "disconnect" for e in bank.events))
    assert "Exception: hook says no" in holdbank_log.lines()
    assert not bank.lock.locked()


# --- threads and the lock ---------------------------------------------------------------------------

def test_hooks_run_on_the_handler_thread_with_the_lock_as_documented(bank, master):
    seen = {}
    main = threading.get_ident()

    def record(kind):
        def hook(ip, a, v):
            seen[kind] = (threading.get_ident() != main, bank.lock.locked())
        return hook

    bank.CUE_OnRead = record("read")
    bank.CUE_OnWrite = record("write")
    bank.CUE_OnWriteDenied = record("denied")
    m = master()
    answer(m, read_pdu(0, 1))
    answer(m, write_multiple_pdu(0, [1]))
    assert seen == {"read": (True, True), "write": (True, True)}
    answer(m, b"\x06\x00\x00\x00\x01")
    assert seen["write"] == (True, False)
    bank.CUF_Set_ReadOnlyRange(0, 0)
    answer(m, b"\x06\x00\x00\x00\x01")
    assert seen["denied"] == (True, False)


def test_hook_under_the_lock_may_use_the_bank(bank, master):
    """Hooks that run while the request holds the lock can read and write registers."""
    bank.hr[1] = 11
    got = []
    bank.CUE_OnRead = lambda ip, a, v: got.append((bank.CUF_REG_Read(a), bank.CUF_REG_Write(a + 50, v),
                                                   bank.CUF_ListConnections() != []))
    bank.CUE_OnWrite = lambda ip, a, v: got.append(bank.CUF_REG_Read(a))
    m = master()
    assert answer(m, read_pdu(1, 1)) == b"\x03\x02\x00\x0b"
    assert answer(m, write_multiple_pdu(2, [5])) == b"\x10\x00\x02\x00\x01"
    assert got == [(11, True, True), 5]
    assert bank.hr[51] == 11 and not bank.lock.locked()


def test_a_read_is_a_consistent_snapshot(bank, master):
    """Host writes never land in the middle of one read answer."""
    stop = threading.Event()

    def writer():
        i = 0
        while not stop.is_set():
            with bank.lock:
                bank.hr[0:10] = [i % 65536] * 10
            i += 1

    t = threading.Thread(target=writer)
    t.start()
    try:
        m = master()
        for _ in range(200):
            pdu = answer(m, read_pdu(0, 10))
            values = struct.unpack(">10H", pdu[2:])
            assert len(set(values)) == 1
    finally:
        stop.set()
        t.join(5)


def test_silent_and_dribbling_masters_do_not_hold_up_others(bank, master):
    silent = master()
    slow = master()
    slow.sendall(mbap(read_pdu(0, 1))[:4])
    fast = master()
    start = time.monotonic()
    for _ in range(20):
        answer(fast, read_pdu(0, 1))
    assert time.monotonic() - start < 2
    silent.close()


def unit(number):
    """The unit number as the installed pymodbus's client calls take it (slave= before 3.10)."""
    return {UNIT_KEYWORD: number}


@pytest.mark.pymodbus
def test_pymodbus_master_reads_and_writes(bank, port):
    client = ModbusTcpClient("127.0.0.1", port=port, timeout=5)
    assert client.connect()
    try:
        assert not client.write_registers(address=10, values=[1, 2, 65535], **unit(1)).isError()
        assert client.read_holding_registers(address=9, count=5, **unit(1)).registers == [0, 1, 2, 65535, 0]
        assert not client.write_register(address=0, value=77, **unit(3)).isError()
        assert bank.CUF_REG_Read(0) == 77
        bank.CUF_Set_ReadOnlyRange(0, 99)
        refused = client.write_register(address=0, value=1, **unit(1))
        assert refused.isError() and refused.exception_code == 2
    finally:
        client.close()


def test_many_masters_at_once(bank, port):
    errors = []

    def run(k):
        try:
            with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
                for i in range(50):
                    s.sendall(mbap(b"\x06" + struct.pack(">HH", k, i), tx_id=i))
                    assert recv_frame(s)[0] == i
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=run, args=(k,)) for k in range(16)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(20)
    assert errors == [] and bank.hr[:16] == [49] * 16


# --- overrides are honoured on every request -------------------------------------------------------

class Recording(Holdbank.CLASS_Holdbank):
    def _on_read(self, ip, addr, val):
        self.seen.append(("read", addr, val))

    def _on_write(self, ip, addr, val):
        self.seen.append(("write", addr, val))

    def _on_write_denied(self, ip, addr, val):
        self.seen.append(("denied", addr, val))

    def _is_writable(self, reg):
        self.seen.append(("asked", reg))
        return reg != 3


def test_subclass_methods_are_called(served, master):
    b = served(cls=Recording, size=10)
    b.seen = []
    m = master()
    answer(m, read_pdu(1, 2))
    answer(m, write_multiple_pdu(0, [7, 8]))
    answer(m, write_multiple_pdu(2, [1, 1]))
    assert b.seen == [("read", 1, 0), ("read", 2, 0), ("asked", 0), ("asked", 1), ("write", 0, 7),
                      ("write", 1, 8), ("asked", 2), ("asked", 3), ("denied", 2, 0), ("denied", 3, 0)]


def test_instance_attributes_and_later_changes_take_effect_at_the_next_request(bank, master):
    m = master()
    bank.CUE_OnRead = None
    answer(m, read_pdu(0, 1))
    assert bank.events == []
    bank._on_read = lambda ip, a, v: bank.events.append(("instance read", a))
    answer(m, read_pdu(0, 1))
    del bank._on_read
    answer(m, read_pdu(1, 1))
    bank.CUE_OnRead = lambda ip, a, v: bank.events.append(("hook", a))
    answer(m, read_pdu(2, 1))
    bank._is_writable = lambda reg: False
    assert answer(m, write_multiple_pdu(0, [1])) == b"\x90\x02"
    assert bank.events == [("instance read", 0), ("hook", 2), ("denied", "127.0.0.1", 0, 0)]


@pytest.mark.parametrize("ranges, writable", [
    ([(0.5, 2.5)], True),                 # float bounds compare like the host compares them
    ([(2 ** 70 * -1, 2 ** 70)], True),    # bounds beyond 64 bits
    ([[0, 5]], True),                     # a list as a range unpacks like a tuple
    ([(5, 9)], False),
])
def test_unusual_ranges(bank, master, ranges, writable):
    bank.rw_ranges.extend(ranges)
    m = master()
    reply = answer(m, b"\x06\x00\x02\x00\x01")
    assert (reply == b"\x06\x00\x02\x00\x01") is writable


def test_a_bank_that_is_not_a_plain_list(served, master):
    class Bank(list):
        pass

    b = served(size=4)
    b.hr = Bank([1, 2, 3, 4])
    m = master()
    assert answer(m, read_pdu(2, 3)) == b"\x03\x06\x00\x03\x00\x04\x00\x00"
    answer(m, b"\x06\x00\x00\x00\x09")
    assert b.hr[0] == 9 and type(b.hr) is Bank
