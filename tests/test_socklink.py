"""Socklink, the Modbus TCP master, against real servers on loopback: pymodbus's own TCP server
and the project's Holdbank server. What it shares with Cordlink is tested on both in
test_masters.py; here is what only a TCP master has: an endpoint, and no unit numbers."""
import socket

import pytest
from pymodbus.client import ModbusTcpClient

import Socklink
from Socklink import CLASS_Socklink
from master_helpers import DEFAULT_UNIT, is_open, record_hooks, recording

pytestmark = pytest.mark.pymodbus


@pytest.fixture(params=["pymodbus", "holdbank"])
def server(request):
    return request.getfixturevalue(request.param + "_peer")


@pytest.fixture
def plink(pymodbus_peer):
    """A master connected to pymodbus's server, whose requests the test can see."""
    master = CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", pymodbus_peer.port) is True
    yield master
    master.CUF_Close()


# --- connecting and closing ----------------------------------------------------------------

def test_open_connects_to_the_endpoint_given(server):
    link = CLASS_Socklink()
    assert link.CUF_Open("127.0.0.1", server.port) is True
    assert link.client.socket.getpeername() == ("127.0.0.1", server.port)
    link.CUF_Close()


def test_open_needs_the_port():
    link = CLASS_Socklink()
    events = record_hooks(link)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'Pmi_Port'"):
        link.CUF_Open("127.0.0.1")
    assert events == []


def test_reopening_closes_the_earlier_connection_towards_the_peer():
    with socket.create_server(("127.0.0.1", 0)) as listener:
        listener.settimeout(5)
        port = listener.getsockname()[1]
        link = CLASS_Socklink()
        events = record_hooks(link)
        assert link.CUF_Open("127.0.0.1", port) is True
        first_peer, _ = listener.accept()
        first = link.client
        assert link.CUF_Open("127.0.0.1", port) is True
        second_peer, _ = listener.accept()
        with first_peer, second_peer:
            first_peer.settimeout(5)
            assert first_peer.recv(1) == b""  # the earlier connection was closed by our side
            assert not is_open(first) and link.client is not first
            assert events == ["connecting", "connect", "connecting", "connect"]
            link.CUF_Close()


# --- what the Holdbank server refuses --------------------------------------------------------

@pytest.mark.parametrize("method, value", [
    ("CUF_Write_HR_int", 1), ("CUF_Write_HR_long", 1), ("CUF_Write_HR_double", 1.0), ("CUF_Write_HR_str", "AB"),
])
def test_a_write_into_a_read_only_range_gives_false_silently(holdbank_peer, method, value):
    bank = holdbank_peer.bank
    bank.CUF_Set_ReadWriteRange(0, 49)
    bank.CUF_Set_ReadOnlyRange(50, 59)
    link = CLASS_Socklink()
    assert link.CUF_Open("127.0.0.1", holdbank_peer.port) is True
    events = record_hooks(link)
    assert getattr(link, method)(50, value) is False
    assert getattr(link, method)(48 if method != "CUF_Write_HR_int" else 49, value) is True
    assert holdbank_peer.get(50, 2) == [0, 0]
    assert events == [("write", value if method != "CUF_Write_HR_str" else "AB (big5)")]
    link.CUF_Close()


# --- unit numbers: none ---------------------------------------------------------------------

def test_requests_carry_the_packages_default_unit(pymodbus_peer, plink):
    plink.CUF_Read_HR_int(0, 1)
    plink.CUF_Write_HR_int(0, 1)
    assert pymodbus_peer.units() == [DEFAULT_UNIT, DEFAULT_UNIT]


@pytest.mark.parametrize("method, args", [
    ("_read_raw", (0, 1)),
    ("CUF_Read_HR_int", (0, 1)), ("CUF_Read_HR_long", (0, 1)), ("CUF_Read_HR_double", (0, 1)),
    ("CUF_Read_HR_str", (0, 1)), ("CUF_Write_HR_int", (0, 1)), ("CUF_Write_HR_long", (0, 1)),
    ("CUF_Write_HR_double", (0, 1.0)), ("CUF_Write_HR_str", (0, "A")),
])
def test_no_operation_takes_a_unit_number(pymodbus_peer, plink, method, args):
    events = record_hooks(plink)
    with pytest.raises(TypeError, match="unexpected keyword argument 'slave'"):
        getattr(plink, method)(*args, slave=1)
    assert pymodbus_peer.requests() == [] and events == []


def test_a_text_read_takes_at_most_three_arguments(pymodbus_peer, plink):
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        plink.CUF_Read_HR_str(0, 1, "big5", 1)
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        plink.CUF_Write_HR_str(0, "A", "big5", 1)
    assert pymodbus_peer.requests() == []


# --- what goes into the package --------------------------------------------------------------

RecordingTcpClient = recording(ModbusTcpClient)


def test_calls_into_the_package_name_no_unit(pymodbus_peer, monkeypatch):
    monkeypatch.setattr(Socklink, "ModbusTcpClient", RecordingTcpClient)
    link = CLASS_Socklink()
    assert link.CUF_Open("127.0.0.1", pymodbus_peer.port) is True
    link.CUF_Read_HR_long(0, 1)
    link.CUF_Write_HR_int(0, 5)
    link.CUF_Write_HR_double(0, 1.0)
    link.CUF_Write_HR_str(0, "ABC")
    assert link.client.calls == [
        ("ModbusTcpClient", ("127.0.0.1",), [("port", pymodbus_peer.port)]),
        ("read_holding_registers", (), {"address": 0, "count": 2}),
        ("write_register", (), {"address": 0, "value": 5}),
        ("write_registers", (), {"address": 0, "values": (16256, 0)}),
        ("write_registers", (), {"address": 0, "values": [16706, 17152]}),
    ]
    link.CUF_Close()
