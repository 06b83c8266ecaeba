"""Socklink, the Modbus TCP master, against real servers on loopback: pymodbus's own TCP server
and the project's Holdbank server."""
import asyncio
import inspect
import os
import socket
import struct
import subprocess
import sys
import threading

import pytest
from pymodbus.client import ModbusTcpClient
from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.pdu import ExceptionResponse
from pymodbus.server import ModbusTcpServer

import Socklink
from Socklink import CLASS_Socklink
from conftest import free_port
from master_helpers import ATTRIBUTES, EMPTY_RESULTS, raiser, record_hooks, recording

METHODS = [
    ("__init__", "(self)", None),
    ("CUF_Open", "(self, Pms_IPAddr, Pmi_Port)", None),
    ("CUF_Close", "(self)", None),
    ("_read_raw", "(self, addr, count)", "僅保留核心參數 address 與 count"),
    ("CUF_Read_HR_int", "(self, Pmi_REG_Addr, Pmi_Len)", None),
    ("CUF_Read_HR_long", "(self, Pmi_REG_Addr, Pmi_Len)", None),
    ("CUF_Read_HR_double", "(self, Pmi_REG_Addr, Pmi_Len)", None),
    ("CUF_Read_HR_str", "(self, Pmi_REG_Addr, Pmi_Len, encoding='big5')", None),
    ("CUF_Write_HR_int", "(self, Pmi_REG_Addr, Pmi_Value: int)", None),
    ("CUF_Write_HR_long", "(self, Pmi_REG_Addr, Pmi_Value: int)", None),
    ("CUF_Write_HR_double", "(self, Pmi_REG_Addr, Pmf_Value: float)", None),
    ("CUF_Write_HR_str", "(self, Pmi_REG_Addr, Pms_Value: str, encoding='big5')", None),
]
SIZE = 100  # registers served by either server




class BoundedDevice(ModbusSlaveContext):
    """pymodbus's device store, answering "illegal data address" past its last register as a real
    device does (the stock store reads short and grows on writes instead)."""

    def getValues(self, fc_as_hex, address, count=1):
        if address + count > SIZE:
            return ExceptionResponse.ILLEGAL_ADDRESS
        return super().getValues(fc_as_hex, address, count)

    def setValues(self, fc_as_hex, address, values):
        if address + len(values) > SIZE:
            return ExceptionResponse.ILLEGAL_ADDRESS
        return super().setValues(fc_as_hex, address, values)


class PymodbusServer:
    """pymodbus's TCP server on its own asyncio loop in a background thread, noting each request."""

    def __init__(self, port):
        self.port = port
        # pymodbus's device store shifts every protocol address by one: block address 1 is register 0.
        self.block = ModbusSequentialDataBlock(1, [0] * SIZE)
        device = BoundedDevice(di=ModbusSequentialDataBlock(1, [0]), hr=self.block)
        self.requests = []  # request PDUs as received
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

        def trace_pdu(sending, pdu):
            if not sending:
                self.requests.append(pdu)
            return pdu

        async def start():
            self.server = ModbusTcpServer(ModbusServerContext(slaves=device, single=True),
                                          address=("127.0.0.1", port), trace_pdu=trace_pdu)
            await self.server.serve_forever(background=True)

        asyncio.run_coroutine_threadsafe(start(), self.loop).result(timeout=5)

    def set(self, addr, values):
        self.block.setValues(addr + 1, list(values))

    def get(self, addr, count):
        return self.block.getValues(addr + 1, count)

    def unreadable(self):
        """An address whose read the server refuses: past its last register."""
        return SIZE

    def close(self):
        asyncio.run_coroutine_threadsafe(self.server.shutdown(), self.loop).result(timeout=5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=5)
        self.loop.close()


class HoldbankServer:
    """The project's own register server, seen through its host-side register access."""

    def __init__(self, bank, port):
        self.bank = bank
        self.port = port

    def set(self, addr, values):
        for i, v in enumerate(values):
            assert self.bank.CUF_REG_Write(addr + i, v)

    def get(self, addr, count):
        return [self.bank.CUF_REG_Read(addr + i) for i in range(count)]

    def unreadable(self):
        """An address whose read the server refuses: it holds a value no register can carry,
        put there by the host script."""
        self.bank.hr[SIZE - 1] = 70000
        return SIZE - 1


@pytest.fixture
def pymodbus_server(port):
    server = PymodbusServer(port)
    yield server
    server.close()


@pytest.fixture
def holdbank_server(served, port):
    try:
        bank = served(size=SIZE)
    except NotImplementedError:
        pytest.skip("Holdbank cannot serve yet: its CUF_Open is not built")
    return HoldbankServer(bank, port)


@pytest.fixture(params=["pymodbus", "holdbank"])
def server(request):
    return request.getfixturevalue(request.param + "_server")


@pytest.fixture
def link(server):
    """A master connected to `server`, hooks not yet set."""
    master = CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", server.port) is True
    yield master
    master.CUF_Close()


@pytest.fixture
def plink(pymodbus_server):
    """A master connected to pymodbus's server, whose requests the test can see."""
    master = CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", pymodbus_server.port) is True
    yield master
    master.CUF_Close()


# --- the module and the class as the host sees them ------------------------------------------

def test_module_binds_struct_the_client_class_and_the_master_in_order():
    names = [n for n in vars(Socklink) if not n.startswith("__")]
    assert names == ["struct", "ModbusTcpClient", "CLASS_Socklink"]
    assert Socklink.struct is struct
    assert Socklink.ModbusTcpClient is ModbusTcpClient
    assert Socklink.__doc__ is None


def test_class_surface():
    assert CLASS_Socklink.__bases__ == (object,)
    assert CLASS_Socklink.__doc__ is None
    assert CLASS_Socklink.__module__ == "Socklink"
    own = [n for n in vars(CLASS_Socklink) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [name for name, _, _ in METHODS]
    for name, signature, doc in METHODS:
        method = getattr(CLASS_Socklink, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ == doc, name
        assert method.__qualname__ == "CLASS_Socklink." + name
    assert CLASS_Socklink.CUF_Write_HR_str.__annotations__ == {"Pms_Value": str}
    assert CLASS_Socklink.CUF_Read_HR_str.__annotations__ == {}


def test_import_fails_with_the_import_error_of_the_package(tmp_path):
    package = tmp_path / "pymodbus"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "client.py").write_text("")  # the package without its TCP client
    script = "try:\n    import Socklink\nexcept ImportError as e:\n    print('ImportError', e)\n"
    path = os.pathsep.join([str(tmp_path), os.path.dirname(Socklink.__file__)])
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=path),
                         capture_output=True, text=True, timeout=30)
    assert out.stdout.startswith("ImportError cannot import name 'ModbusTcpClient'"), out.stderr


def test_new_instance_has_seven_none_attributes_and_close_does_nothing():
    link = CLASS_Socklink()
    assert list(vars(link).items()) == [(name, None) for name in ATTRIBUTES]
    events = record_hooks(link)
    assert link.CUF_Close() is None
    assert events == [] and link.client is None


# --- connecting and closing ----------------------------------------------------------------

def test_open_connects_with_hooks_in_order(server):
    link = CLASS_Socklink()
    events = record_hooks(link)
    assert link.CUF_Open("127.0.0.1", server.port) is True
    assert events == ["connecting", "connect"]
    assert link.client.socket.getpeername() == ("127.0.0.1", server.port)
    link.CUF_Close()
    assert events[-1] == "disconnect" and link.client.connected is False


def test_open_towards_a_port_where_nothing_listens():
    link = CLASS_Socklink()
    events = record_hooks(link)
    assert link.CUF_Open("127.0.0.1", free_port()) is False
    assert events == ["connecting", ("error", "Connection Failed to 127.0.0.1")]
    assert isinstance(link.client, ModbusTcpClient)


def test_open_needs_the_port():
    link = CLASS_Socklink()
    events = record_hooks(link)
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'Pmi_Port'"):
        link.CUF_Open("127.0.0.1")
    assert events == []


def test_a_raising_connect_hook_fails_the_open_though_connected(pymodbus_server):
    link = CLASS_Socklink()
    events = record_hooks(link)
    link.CUE_OnConnect = raiser("refused by the script")
    assert link.CUF_Open("127.0.0.1", pymodbus_server.port) is False
    assert events == ["connecting", ("error", "refused by the script")]
    assert link.client.connected
    link.CUF_Close()


def test_hooks_that_test_false_are_skipped(pymodbus_server):
    link = CLASS_Socklink()
    link.CUE_OnConnecting, link.CUE_OnConnect, link.CUE_OnError = 0, "", ()
    assert link.CUF_Open("127.0.0.1", pymodbus_server.port) is True
    assert link._read_raw(SIZE, 1) is None  # an error answer, reported to nobody
    link.CUF_Close()


def test_reopening_closes_the_earlier_connection_first():
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
            assert first.connected is False and link.client is not first
            assert events == ["connecting", "connect", "connecting", "connect"]
            link.CUF_Close()


def test_close_twice_closes_twice_and_keeps_the_client(plink):
    events = record_hooks(plink)
    client = plink.client
    plink.CUF_Close()
    plink.CUF_Close()
    assert events == ["disconnect", "disconnect"]
    assert plink.client is client and client.connected is False


# --- raw reads and failures ----------------------------------------------------------------

def test_raw_read_returns_the_list_the_read_hook_saw(server, link):
    server.set(10, [1, 2, 65535])
    events = record_hooks(link)
    registers = link._read_raw(10, 3)
    assert registers == [1, 2, 65535]
    assert events == [("read", registers)] and events[0][1] is registers


def test_requests_carry_the_packages_default_unit(pymodbus_server, plink):
    plink.CUF_Read_HR_int(0, 1)
    plink.CUF_Write_HR_int(0, 1)
    assert [pdu.dev_id for pdu in pymodbus_server.requests] == [1, 1]


@pytest.mark.parametrize("method, empty", EMPTY_RESULTS)
def test_an_exception_answer_gives_the_empty_result_and_one_report(server, link, method, empty):
    events = record_hooks(link)
    result = getattr(link, method)(server.unreadable(), 1)
    assert result == empty and type(result) is type(empty)
    assert len(events) == 1
    kind, text = events[0]
    assert kind == "error" and text.startswith("Modbus Error: ")


def test_a_raising_read_hook_turns_the_read_into_none(plink):
    events = record_hooks(plink)
    plink.CUE_OnPacketREAD = raiser("cannot take it")
    assert plink._read_raw(0, 2) is None
    assert events == [("error", "Exception: cannot take it")]


# --- typed reads and writes, against both servers -----------------------------------------

@pytest.mark.parametrize("method, registers, length, expected", [
    ("CUF_Read_HR_int", [1, 65535, 0], 3, [1, 65535, 0]),
    ("CUF_Read_HR_long", [4660, 22136, 0, 1], 2, [305419896, 1]),
    ("CUF_Read_HR_long", [65535, 65535], 1, [4294967295]),
    ("CUF_Read_HR_double", [16256, 0, 49184, 0, 16456, 62915], 3, [1.0, -2.5, 3.140000104904175]),
    ("CUF_Read_HR_str", [16706, 17152], 2, "ABC"),
    ("CUF_Read_HR_str", [0, 16706, 17152], 3, "ABC"),
    ("CUF_Read_HR_str", [16640, 16896], 2, "A\x00B"),
    ("CUF_Read_HR_str", [42148], 1, "中"),
])
def test_typed_reads_decode_the_registers(server, link, method, registers, length, expected):
    server.set(20, registers)
    result = getattr(link, method)(20, length)
    assert result == expected
    assert [type(v) for v in result] == [type(v) for v in expected]


def test_a_text_read_takes_the_codec_as_third_argument(server, link):
    server.set(0, list(struct.unpack(">2H", "aé".encode("utf-8") + b"\x00")))
    assert link.CUF_Read_HR_str(0, 2, "utf-8") == "aé"


@pytest.mark.parametrize("method, value, written, reported", [
    ("CUF_Write_HR_int", 1234, [1234], 1234),
    ("CUF_Write_HR_long", 305419896, [4660, 22136], 305419896),
    ("CUF_Write_HR_long", 4294967295, [65535, 65535], 4294967295),
    ("CUF_Write_HR_double", 3.14, [16456, 62915], 3.14),
    ("CUF_Write_HR_double", 1.0, [16256, 0], 1.0),
    ("CUF_Write_HR_double", -2.5, [49184, 0], -2.5),
    ("CUF_Write_HR_str", "ABC", [16706, 17152], "ABC (big5)"),
    ("CUF_Write_HR_str", "中", [42148], "中 (big5)"),
])
def test_typed_writes_encode_the_value(server, link, method, value, written, reported):
    events = record_hooks(link)
    assert getattr(link, method)(30, value) is True
    assert server.get(30, len(written)) == written
    assert events == [("write", reported)]


def test_a_text_write_takes_the_codec_as_third_argument(server, link):
    events = record_hooks(link)
    assert link.CUF_Write_HR_str(0, "AB", "utf-8") is True
    assert server.get(0, 1) == [0x4142]
    assert events == [("write", "AB (utf-8)")]


@pytest.mark.parametrize("method, value", [
    ("CUF_Write_HR_int", 1), ("CUF_Write_HR_long", 1), ("CUF_Write_HR_double", 1.0), ("CUF_Write_HR_str", "AB"),
])
def test_a_write_into_a_read_only_range_gives_false_silently(holdbank_server, method, value):
    bank = holdbank_server.bank
    bank.CUF_Set_ReadWriteRange(0, 49)
    bank.CUF_Set_ReadOnlyRange(50, 59)
    link = CLASS_Socklink()
    assert link.CUF_Open("127.0.0.1", holdbank_server.port) is True
    events = record_hooks(link)
    assert getattr(link, method)(50, value) is False
    assert getattr(link, method)(48 if method != "CUF_Write_HR_int" else 49, value) is True
    assert holdbank_server.get(50, 2) == [0, 0]
    assert events == [("write", value if method != "CUF_Write_HR_str" else "AB (big5)")]
    link.CUF_Close()


def test_an_empty_text_is_one_write_of_no_registers_which_the_server_refuses(pymodbus_server, plink):
    events = record_hooks(plink)
    assert plink.CUF_Write_HR_str(0, "") is False
    assert [(pdu.function_code, pdu.registers) for pdu in pymodbus_server.requests] == [(16, [])]
    assert events == []


def test_an_odd_register_count_fails_the_32_bit_read_after_the_read_hook(plink):
    seen = []
    plink.CUE_OnPacketREAD = lambda registers: (seen.append(list(registers)), registers.pop())
    with pytest.raises(IndexError):
        plink.CUF_Read_HR_double(0, 1)
    assert seen == [[0, 0]]


def host_error(action):
    """The error the host itself raises for `action`, to compare a write's failure with."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - any kind: that is what is compared
        return error
    raise AssertionError("no error")


@pytest.mark.parametrize("method, value, reference", [
    ("CUF_Write_HR_long", -1, lambda: struct.pack(">I", -1)),
    ("CUF_Write_HR_long", 4294967296, lambda: struct.pack(">I", 4294967296)),
    ("CUF_Write_HR_long", 1.5, lambda: struct.pack(">I", 1.5)),
    ("CUF_Write_HR_double", 1e39, lambda: struct.pack(">f", 1e39)),
    ("CUF_Write_HR_str", "😀", lambda: "😀".encode("big5")),
])
def test_a_value_that_cannot_be_encoded_fails_as_the_host_does_and_sends_nothing(pymodbus_server, plink, method,
                                                                                  value, reference):
    expected = host_error(reference)
    events = record_hooks(plink)
    with pytest.raises(type(expected)) as raised:
        getattr(plink, method)(0, value)
    assert str(raised.value) == str(expected)
    assert pymodbus_server.requests == [] and events == []


# --- arguments, and an instance that was never opened ------------------------------------

@pytest.mark.parametrize("method, args", [
    ("_read_raw", (0, 1)),
    ("CUF_Read_HR_int", (0, 1)), ("CUF_Read_HR_long", (0, 1)), ("CUF_Read_HR_double", (0, 1)),
    ("CUF_Read_HR_str", (0, 1)), ("CUF_Write_HR_int", (0, 1)), ("CUF_Write_HR_long", (0, 1)),
    ("CUF_Write_HR_double", (0, 1.0)), ("CUF_Write_HR_str", (0, "A")),
])
def test_no_operation_takes_a_unit_number(pymodbus_server, plink, method, args):
    events = record_hooks(plink)
    with pytest.raises(TypeError, match="unexpected keyword argument 'slave'"):
        getattr(plink, method)(*args, slave=1)
    assert pymodbus_server.requests == [] and events == []


def test_a_text_read_takes_at_most_three_arguments(pymodbus_server, plink):
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        plink.CUF_Read_HR_str(0, 1, "big5", 1)
    with pytest.raises(TypeError, match=r"takes from 3 to 4 positional arguments but 5 were given"):
        plink.CUF_Write_HR_str(0, "A", "big5", 1)
    assert pymodbus_server.requests == []



# --- what goes into the package --------------------------------------------------------------

RecordingTcpClient = recording(ModbusTcpClient)


def test_calls_into_the_package_name_no_unit(pymodbus_server, monkeypatch):
    monkeypatch.setattr(Socklink, "ModbusTcpClient", RecordingTcpClient)
    link = CLASS_Socklink()
    assert link.CUF_Open("127.0.0.1", pymodbus_server.port) is True
    link.CUF_Read_HR_long(0, 1)
    link.CUF_Write_HR_int(0, 5)
    link.CUF_Write_HR_double(0, 1.0)
    link.CUF_Write_HR_str(0, "ABC")
    assert link.client.calls == [
        ("ModbusTcpClient", ("127.0.0.1",), [("port", pymodbus_server.port)]),
        ("read_holding_registers", (), {"address": 0, "count": 2}),
        ("write_register", (), {"address": 0, "value": 5}),
        ("write_registers", (), {"address": 0, "values": (16256, 0)}),
        ("write_registers", (), {"address": 0, "values": [16706, 17152]}),
    ]
    link.CUF_Close()
