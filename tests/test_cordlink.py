"""Cordlink, the Modbus RTU master, over a real serial line: a pseudo-terminal pair with an RTU
slave (tests/rtu_slave.py) serving units 1, 2 and 3 on the other end. What it shares with Socklink
is tested on both in test_masters.py; here is what only an RTU master has: unit numbers and the
settings of the line."""
import os
import struct
import subprocess
import sys

import pytest
from pymodbus.client import ModbusSerialClient
from pymodbus.exceptions import ModbusIOException

import Cordlink
from Cordlink import CLASS_Cordlink
from master_helpers import PYMODBUS, UNIT_KEYWORD, record_hooks, recording

pytestmark = pytest.mark.pymodbus


@pytest.fixture
def line(rtu_peer):
    """The RTU slave on the other end of the pseudo-terminal."""
    return rtu_peer.line


@pytest.fixture
def link(line):
    """A master open on the line, hooks not yet set."""
    master = CLASS_Cordlink()
    assert master.CUF_Open(line.port) is True
    yield master
    master.CUF_Close()


# --- opening and closing the port ----------------------------------------------------------------

def test_open_with_only_a_port_name_uses_9600_8N1_and_a_one_second_timeout(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    assert link.CUF_Open(line.port) is True
    assert events == ["connecting", "connect"]
    params = link.client.comm_params
    assert (params.host, params.baudrate, params.parity, params.stopbits, params.bytesize) == (line.port, 9600, "N", 1, 8)
    assert params.timeout_connect == 1 and type(params.timeout_connect) is int
    port = link.client.socket  # the serial line as the master opened it
    assert (port.port, port.baudrate, port.parity, port.stopbits, port.bytesize, port.timeout) == (
        line.port, 9600, "N", 1, 8, 1)
    link.CUF_Close()


def test_line_settings_go_to_the_client_unchanged(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    result = link.CUF_Open(line.port, 19200, "E", 2, 7)
    params = link.client.comm_params
    assert (params.baudrate, params.parity, params.stopbits, params.bytesize, params.timeout_connect) == (19200, "E", 2, 7, 1)
    # A pseudo-terminal refuses parity, so this line cannot open: the package answers "not connected".
    assert result is False
    assert events == ["connecting", ("error", "Connection Failed to " + line.port)]

    assert link.CUF_Open(line.port, 38400, "N", 2, 8) is True
    port = link.client.socket
    assert (port.baudrate, port.parity, port.stopbits, port.bytesize) == (38400, "N", 2, 8)
    link.CUF_Close()


# --- raw reads, unit numbers and failures --------------------------------------------------

def test_raw_read_addresses_the_unit_named_by_slave(line, link):
    for unit in (1, 2, 3):
        line.registers[unit][5:8] = [unit, unit * 10, 65535]
    events = record_hooks(link)
    first = link._read_raw(5, 3)
    assert first == [1, 10, 65535]
    assert link._read_raw(5, 3, 2) == [2, 20, 65535]
    assert link._read_raw(5, 3, slave=3) == [3, 30, 65535]
    assert [(unit, function, address, count) for unit, function, address, count, _ in line.requests] == [
        (1, 3, 5, 3), (2, 3, 5, 3), (3, 3, 5, 3)]
    assert [kind for kind, _ in events] == ["read"] * 3
    assert events[0][1] is first  # the hook and the caller get the same list


def test_a_unit_that_never_answers(line, link):
    """A read reports the package's I/O error and gives its empty result; a write raises it. Before
    3.8 the client hands the error back as an answer instead of raising it: the read reports it as
    an error answer, and the write gives False."""
    events = record_hooks(link)
    assert link.CUF_Read_HR_int(0, 1, slave=9) == []  # waits out the one-second time-out and retries
    assert line.requests[0][0] == 9
    prefix = "Modbus Error: " if PYMODBUS < (3, 8) else "Exception: "
    assert len(events) == 1 and events[0][0] == "error"
    assert events[0][1].startswith(prefix + "Modbus Error: [Input/Output] ")
    if PYMODBUS < (3, 8):
        assert link.CUF_Write_HR_int(0, 1, slave=9) is False
    else:
        with pytest.raises(ModbusIOException):
            link.CUF_Write_HR_int(0, 1, slave=9)
    assert [unit for unit, *_ in line.requests][-1] == 9 and len(events) == 1


# --- unit numbers in typed reads and writes --------------------------------------------------

def test_a_text_read_takes_the_codec_and_the_unit_by_position(line, link):
    line.registers[3][0:3] = list(struct.unpack(">3H", "aé".encode("utf-8") + b"\x00\x00\x00"))
    assert link.CUF_Read_HR_str(0, 3, "utf-8", 3) == "aé"
    assert line.requests[-1][0] == 3


def test_writes_address_the_unit_named_by_slave(line, link):
    events = record_hooks(link)
    assert link.CUF_Write_HR_str(0, "AB", "utf-8", 3) is True
    assert link.CUF_Write_HR_long(2, 1, slave=2) is True
    assert link.CUF_Write_HR_int(4, 5, 2) is True
    assert link.CUF_Write_HR_double(6, 1.0, slave=2) is True
    assert [r[0] for r in line.requests] == [3, 2, 2, 2]
    assert line.registers[3][0] == 0x4142 and line.registers[2][2:8] == [0, 1, 5, 0, 16256, 0]
    assert events[0] == ("write", "AB (utf-8)")


# --- what goes into the package --------------------------------------------------------------

RecordingSerialClient = recording(ModbusSerialClient)


def test_calls_into_the_package_use_keywords_only(line, monkeypatch):
    monkeypatch.setattr(Cordlink, "ModbusSerialClient", RecordingSerialClient)
    link = CLASS_Cordlink()
    assert link.CUF_Open(line.port, 19200) is True
    link.CUF_Read_HR_int(0, 1)
    link.CUF_Read_HR_long(0, 1, 2)
    link.CUF_Write_HR_int(0, 5, slave=2)
    link.CUF_Write_HR_long(0, 5, slave=2)
    link.CUF_Write_HR_str(0, "ABC")
    assert link.client.calls == [
        ("ModbusSerialClient", (), [("port", line.port), ("baudrate", 19200), ("parity", "N"), ("stopbits", 1),
                                    ("bytesize", 8), ("timeout", 1)]),
        ("read_holding_registers", (), {"address": 0, "count": 1, UNIT_KEYWORD: 1}),
        ("read_holding_registers", (), {"address": 0, "count": 2, UNIT_KEYWORD: 2}),
        ("write_register", (), {"address": 0, "value": 5, UNIT_KEYWORD: 2}),
        ("write_registers", (), {"address": 0, "values": (0, 5), UNIT_KEYWORD: 2}),
        ("write_registers", (), {"address": 0, "values": [16706, 17152], UNIT_KEYWORD: 1}),
    ]
    link.CUF_Close()


def test_typed_reads_go_through_the_instances_raw_read(line):
    class Tapped(CLASS_Cordlink):
        def _read_raw(self, addr, count, slave=1):
            self.asked = (addr, count, slave)
            return [16456, 62915]

    link = Tapped()
    assert link.CUF_Read_HR_double(7, 1, slave=2) == [3.140000104904175]
    assert link.asked == (7, 2, 2)



# The package's client decides the unit keyword, whatever release is installed here: a stand-in
# package whose read is declared as given; the read is then swapped for one that notes the keywords
# of each call, as are the writes.
STAND_IN_CLIENT = """
{declared_read}

class Answer:
    registers = [7]
    def isError(self):
        return False

def noting(self, **kwargs):
    self.calls.append(sorted(kwargs))
    return Answer()

class ModbusSerialClient:
    read_holding_registers = read
    write_register = noting
    def __init__(self, **kwargs):
        self.calls = []
    def connect(self):
        return True
    def close(self):
        pass
"""


@pytest.mark.parametrize("declared_read, keyword", [
    ("def read(self, address, *, count=1, device_id=1, no_response_expected=False): pass", "device_id"),
    ("def read(self, address, count=1, slave=0, **kwargs): pass", "slave"),
    ("def read(self, *args, **kwargs): pass", "slave"),
    ("read = max", "slave"),  # a built-in with no signature to read
], ids=["device_id", "slave", "any-keywords", "uninspectable"])
def test_the_unit_goes_under_the_keyword_the_client_declares(tmp_path, declared_read, keyword):
    package = tmp_path / "pymodbus"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "client.py").write_text(STAND_IN_CLIENT.format(declared_read=declared_read))
    script = ("import Cordlink, pymodbus.client as c\n"
              "c.ModbusSerialClient.read_holding_registers = c.noting\n"
              "link = Cordlink.CLASS_Cordlink()\n"
              "assert link.CUF_Open('no-port')\n"
              "assert link._read_raw(0, 1, slave=5) == [7]\n"
              "assert link.CUF_Write_HR_int(0, 1, slave=5) is True\n"
              "print(link.client.calls)\n")
    path = os.pathsep.join([str(tmp_path), os.path.dirname(Cordlink.__file__)])
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=path),
                         capture_output=True, text=True, timeout=30)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == repr([sorted(["address", "count", keyword]), sorted(["address", "value", keyword])])
