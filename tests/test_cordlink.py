"""Cordlink, the Modbus RTU master, over a real serial line: a pseudo-terminal pair with an RTU
slave (tests/rtu_slave.py) serving units 1, 2 and 3 on the other end."""
import inspect
import os
import struct
import subprocess
import sys

import pytest
from pymodbus.client import ModbusSerialClient

import Cordlink
from Cordlink import CLASS_Cordlink
from conftest import REGISTER_VALUES, packed_word, same_error
from master_helpers import ATTRIBUTES, EMPTY_RESULTS, raiser, record_hooks, recording
from rtu_slave import RtuSlave

CLASS_DOC = (
    "\n"
    "    重點說明\n"
    "    1.站號 (Slave ID)：Modbus RTU 是一對多的序列通訊，因此我將 slave 作為參數加入讀寫函數。\n"
    "      如果您的設備站號是 1，可以直接使用預設值；如果是其他站號（例如 2），呼叫時請傳入 slave=2。\n"
    "    2.ModbusSerialClient：在 pymodbus 3.x 中，這是專門處理 RTU/ASCII 的客戶端。\n"
    "      它接收的參數是 port（串口名稱）、baudrate（波特率）等。\n"
    "    3.Timeout：序列通訊通常比 TCP 慢且容易受雜訊影響，我在 CUF_Open 裡預設加入了 \n"
    "      timeout=1（秒），以確保通訊卡住時能正確觸發錯誤。    \n"
    "    "
)
OPEN_DOC = (
    "\n"
    "        開啟序列埠連線\n"
    "        Pms_PortName: 如 'COM1' (Windows) 或 '/dev/ttyUSB0' (Linux)\n"
    "        Pms_Parity: 'N', 'E', 'O' (None, Even, Odd)\n"
    "        "
)

# name, signature, docstring
METHODS = [
    ("__init__", "(self)", None),
    ("CUF_Open", "(self, Pms_PortName, Pmi_Baudrate=9600, Pms_Parity='N', Pmi_Stopbits=1, Pmi_Bytesize=8)", OPEN_DOC),
    ("CUF_Close", "(self)", None),
    ("_read_raw", "(self, addr, count, slave=1)", "RTU 讀取通常需要指定站號 (slave)"),
    ("CUF_Read_HR_int", "(self, Pmi_REG_Addr, Pmi_Len, slave=1)", None),
    ("CUF_Read_HR_long", "(self, Pmi_REG_Addr, Pmi_Len, slave=1)", None),
    ("CUF_Read_HR_double", "(self, Pmi_REG_Addr, Pmi_Len, slave=1)", None),
    ("CUF_Read_HR_str", "(self, Pmi_REG_Addr, Pmi_Len, encoding='big5', slave=1)", None),
    ("CUF_Write_HR_int", "(self, Pmi_REG_Addr, Pmi_Value: int, slave=1)", None),
    ("CUF_Write_HR_long", "(self, Pmi_REG_Addr, Pmi_Value: int, slave=1)", None),
    ("CUF_Write_HR_double", "(self, Pmi_REG_Addr, Pmf_Value: float, slave=1)", None),
    ("CUF_Write_HR_str", "(self, Pmi_REG_Addr, Pms_Value: str, encoding='big5', slave=1)", None),
]




@pytest.fixture
def line():
    slave = RtuSlave(units=(1, 2, 3))
    yield slave
    slave.close()


@pytest.fixture
def link(line):
    """A master open on the line, hooks not yet set."""
    master = CLASS_Cordlink()
    assert master.CUF_Open(line.port) is True
    yield master
    master.CUF_Close()


# --- the module and the class as the host sees them ------------------------------------------

def test_module_binds_struct_the_client_class_and_the_master_in_order():
    names = [n for n in vars(Cordlink) if not n.startswith("__")]
    assert names == ["struct", "ModbusSerialClient", "CLASS_Cordlink"]
    assert Cordlink.struct is struct
    assert Cordlink.ModbusSerialClient is ModbusSerialClient
    assert Cordlink.__doc__ is None


def test_class_surface():
    assert CLASS_Cordlink.__bases__ == (object,)
    assert CLASS_Cordlink.__doc__ == CLASS_DOC
    assert CLASS_Cordlink.__module__ == "Cordlink"
    own = [n for n in vars(CLASS_Cordlink) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [name for name, _, _ in METHODS]
    for name, signature, doc in METHODS:
        method = getattr(CLASS_Cordlink, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ == doc, name
        assert method.__qualname__ == "CLASS_Cordlink." + name
    assert CLASS_Cordlink.CUF_Write_HR_double.__annotations__ == {"Pmf_Value": float}
    assert CLASS_Cordlink.CUF_Read_HR_long.__annotations__ == {}


@pytest.mark.parametrize("client_module, expected", [
    ("", "cannot import name 'ModbusSerialClient'"),
    ("raise ImportError('no serial support here')", "no serial support here"),
])
def test_import_fails_with_the_import_error_of_the_package(tmp_path, client_module, expected):
    package = tmp_path / "pymodbus"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "client.py").write_text(client_module)
    script = ("import sys\ntry:\n    import Cordlink\nexcept ImportError as e:\n"
              "    print('ImportError', e, 'Cordlink' in sys.modules)\n")
    path = os.pathsep.join([str(tmp_path), os.path.dirname(Cordlink.__file__)])
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=path),
                         capture_output=True, text=True, timeout=30)
    assert out.stdout.startswith("ImportError"), out.stderr
    assert expected in out.stdout
    assert out.stdout.rstrip().endswith("False")


def test_new_instance_has_seven_none_attributes_and_close_does_nothing():
    link = CLASS_Cordlink()
    assert list(vars(link).items()) == [(name, None) for name in ATTRIBUTES]
    events = record_hooks(link)
    assert link.CUF_Close() is None
    assert events == [] and link.client is None


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


def test_open_of_a_missing_port_reports_and_keeps_the_client():
    link = CLASS_Cordlink()
    events = record_hooks(link)
    assert link.CUF_Open("/dev/no-such-serial-port") is False
    assert events == ["connecting", ("error", "Connection Failed to /dev/no-such-serial-port")]
    assert isinstance(link.client, ModbusSerialClient)


def test_a_raising_connecting_hook_fails_the_open_before_any_client(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    link.CUE_OnConnecting = raiser("not now")
    assert link.CUF_Open(line.port) is False
    assert events == [("error", "not now")]
    assert link.client is None


def test_a_raising_connect_hook_fails_the_open_though_the_port_is_open(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    link.CUE_OnConnect = raiser("refused by the script")
    assert link.CUF_Open(line.port) is False
    assert events == ["connecting", ("error", "refused by the script")]
    assert link.client.connected
    link.CUF_Close()


def test_a_raising_error_hook_reaches_the_caller_of_open():
    link = CLASS_Cordlink()
    link.CUE_OnError = raiser("report failed")
    with pytest.raises(RuntimeError, match="report failed"):
        link.CUF_Open("/dev/no-such-serial-port")


def test_hooks_that_test_false_are_skipped(line):
    link = CLASS_Cordlink()
    link.CUE_OnConnecting, link.CUE_OnConnect, link.CUE_OnPacketREAD, link.CUE_OnDisconnect = 0, "", [], False
    assert link.CUF_Open(line.port) is True
    assert link.CUF_Read_HR_int(0, 1) == [0]
    link.CUF_Close()


def test_reopening_releases_the_earlier_port_first(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    assert link.CUF_Open(line.port) is True
    first = link.client
    # The package opens a serial line for exclusive use: only a released line opens again.
    assert link.CUF_Open(line.port) is True
    assert link.client is not first
    assert first.connected is False
    assert events == ["connecting", "connect", "connecting", "connect"]
    line.registers[1][0] = 77
    assert link.CUF_Read_HR_int(0, 1) == [77]
    link.CUF_Close()


def test_an_earlier_client_that_fails_to_close_does_not_stop_the_open(line):
    class Jammed:
        def close(self):
            raise OSError("jammed")

    link = CLASS_Cordlink()
    events = record_hooks(link)
    link.client = Jammed()
    assert link.CUF_Open(line.port) is True
    assert events == ["connecting", "connect"]
    link.CUF_Close()


def test_close_twice_closes_twice_and_keeps_the_client(link):
    events = record_hooks(link)
    client = link.client
    assert link.CUF_Close() is None
    assert link.CUF_Close() is None
    assert events == ["disconnect", "disconnect"]
    assert link.client is client and client.connected is False


def test_a_raising_disconnect_hook_reaches_the_caller_of_close(link):
    link.CUE_OnDisconnect = raiser("bye failed")
    with pytest.raises(RuntimeError, match="bye failed"):
        link.CUF_Close()
    assert link.client.connected is False
    link.CUE_OnDisconnect = None


def test_hooks_fire_in_the_order_of_events(line):
    link = CLASS_Cordlink()
    events = record_hooks(link)
    link.CUF_Open(line.port)
    link.CUF_Write_HR_int(3, 9)
    link.CUF_Read_HR_int(3, 1)
    link.CUF_Close()
    assert events == ["connecting", "connect", ("write", 9), ("read", [9]), "disconnect"]


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


def test_a_unit_that_never_answers_is_reported_as_an_exception(line, link):
    events = record_hooks(link)
    assert link.CUF_Read_HR_int(0, 1, slave=9) == []  # waits out the one-second time-out and retries
    assert line.requests[0][0] == 9
    assert len(events) == 1 and events[0][0] == "error" and events[0][1].startswith("Exception: ")


@pytest.mark.parametrize("method, empty", EMPTY_RESULTS)
def test_an_exception_answer_gives_the_empty_result_and_one_report(line, link, method, empty):
    events = record_hooks(link)
    result = getattr(link, method)(99, 2)  # runs past the slave's last register
    assert result == empty and type(result) is type(empty)
    assert len(events) == 1
    kind, text = events[0]
    assert kind == "error" and text.startswith("Modbus Error: ")
    assert link._read_raw(99, 2) is None


def test_a_raising_read_hook_turns_the_read_into_none(link):
    events = record_hooks(link)
    link.CUE_OnPacketREAD = raiser("cannot take it")
    assert link._read_raw(0, 2) is None
    assert events == [("error", "Exception: cannot take it")]


def test_an_error_hook_failing_on_an_error_answer_is_reported_once_more(link):
    reports = []

    def flaky(text):
        reports.append(text)
        if len(reports) == 1:
            raise RuntimeError("first report lost")

    link.CUE_OnError = flaky
    assert link._read_raw(99, 2) is None
    assert reports[0].startswith("Modbus Error: ")
    assert reports[1:] == ["Exception: first report lost"]

    link.CUE_OnError = raiser("every report lost")
    with pytest.raises(RuntimeError, match="every report lost"):
        link._read_raw(99, 2)


# --- typed reads ---------------------------------------------------------------------------

@pytest.mark.parametrize("method, registers, length, expected", [
    ("CUF_Read_HR_int", [1, 65535, 0], 3, [1, 65535, 0]),
    ("CUF_Read_HR_long", [4660, 22136, 0, 1], 2, [305419896, 1]),
    ("CUF_Read_HR_long", [65535, 65535], 1, [4294967295]),
    ("CUF_Read_HR_double", [16256, 0, 49184, 0, 16456, 62915], 3, [1.0, -2.5, 3.140000104904175]),
    ("CUF_Read_HR_str", [16706, 17152], 2, "ABC"),
    ("CUF_Read_HR_str", [0, 16706, 17152], 3, "ABC"),
    ("CUF_Read_HR_str", [16640, 16896], 2, "A\x00B"),
    ("CUF_Read_HR_str", [42148], 1, "中"),
    ("CUF_Read_HR_str", [0x2041, 0x4220, 0], 3, " AB "),
    ("CUF_Read_HR_str", [0xFF41, 0x4200], 2, "AB"),  # a byte big5 cannot decode is dropped
])
def test_typed_reads_decode_the_registers(line, link, method, registers, length, expected):
    line.registers[1][10:10 + len(registers)] = registers
    result = getattr(link, method)(10, length)
    assert result == expected
    assert [type(v) for v in result] == [type(v) for v in expected]
    assert line.requests[-1][2:4] == (10, len(registers))


def test_a_text_read_takes_the_codec_and_the_unit_by_position(line, link):
    line.registers[3][0:3] = list(struct.unpack(">3H", "aé".encode("utf-8") + b"\x00\x00\x00"))
    assert link.CUF_Read_HR_str(0, 3, "utf-8", 3) == "aé"
    assert line.requests[-1][0] == 3


def test_int_read_returns_the_list_the_read_hook_saw(link):
    seen = []
    link.CUE_OnPacketREAD = seen.append
    assert link.CUF_Read_HR_int(0, 2) is seen[0]


def test_an_odd_register_count_fails_the_32_bit_read_after_the_read_hook(link):
    seen = []
    link.CUE_OnPacketREAD = lambda registers: (seen.append(list(registers)), registers.pop())
    with pytest.raises(IndexError):
        link.CUF_Read_HR_long(0, 1)
    assert seen == [[0, 0]]


def test_an_unknown_codec_fails_a_text_read_only_when_registers_came(link):
    with pytest.raises(LookupError):
        link.CUF_Read_HR_str(0, 1, "no-such-codec")
    assert link.CUF_Read_HR_str(99, 2, "no-such-codec") == ""


class GivenRegisters(CLASS_Cordlink):
    """A master whose raw read hands back registers set by the test, as a subclass may."""

    registers = []

    def _read_raw(self, addr, count, slave=1):
        return list(self.registers)


@pytest.mark.parametrize("value", REGISTER_VALUES, ids=repr)
def test_register_values_are_taken_as_struct_packs_them(value):
    """The 32-bit and text reads see a register as struct.pack('>H') does (the float read takes the
    pair as the unsigned read does)."""
    link = GivenRegisters()
    link.registers = [value, 0x4300]
    word = packed_word(value)
    if isinstance(word, bytes):
        assert link.CUF_Read_HR_long(0, 1) == [struct.unpack(">I", word + b"C\x00")[0]]
        assert link.CUF_Read_HR_str(0, 2, "latin-1") == (word + b"C\x00").decode("latin-1").strip("\x00")
        return
    for read in (lambda: link.CUF_Read_HR_long(0, 1), lambda: link.CUF_Read_HR_double(0, 1),
                 lambda: link.CUF_Read_HR_str(0, 2, "latin-1")):
        with pytest.raises(type(word)) as e:
            read()
        assert same_error(e.value, word)


# --- typed writes --------------------------------------------------------------------------

@pytest.mark.parametrize("method, value, written, reported", [
    ("CUF_Write_HR_int", 1234, [1234], 1234),
    ("CUF_Write_HR_long", 305419896, [4660, 22136], 305419896),
    ("CUF_Write_HR_long", 4294967295, [65535, 65535], 4294967295),
    ("CUF_Write_HR_double", 3.14, [16456, 62915], 3.14),
    ("CUF_Write_HR_double", 1.0, [16256, 0], 1.0),
    ("CUF_Write_HR_double", -2.5, [49184, 0], -2.5),
    ("CUF_Write_HR_double", 2, [16384, 0], 2),
    ("CUF_Write_HR_double", float("inf"), [0x7F80, 0], float("inf")),
    ("CUF_Write_HR_str", "ABC", [16706, 17152], "ABC (big5)"),
    ("CUF_Write_HR_str", "中", [42148], "中 (big5)"),
])
def test_typed_writes_encode_the_value(line, link, method, value, written, reported):
    events = record_hooks(link)
    assert getattr(link, method)(20, value) is True
    assert line.registers[1][20:20 + len(written)] == written
    assert line.requests[-1][1] == (6 if method == "CUF_Write_HR_int" else 16)
    assert events == [("write", reported)]
    assert events[0][1] is value or isinstance(value, str)


def test_writes_address_the_unit_named_by_slave(line, link):
    events = record_hooks(link)
    assert link.CUF_Write_HR_str(0, "AB", "utf-8", 3) is True
    assert link.CUF_Write_HR_long(2, 1, slave=2) is True
    assert link.CUF_Write_HR_int(4, 5, 2) is True
    assert link.CUF_Write_HR_double(6, 1.0, slave=2) is True
    assert [r[0] for r in line.requests] == [3, 2, 2, 2]
    assert line.registers[3][0] == 0x4142 and line.registers[2][2:8] == [0, 1, 5, 0, 16256, 0]
    assert events[0] == ("write", "AB (utf-8)")


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
    ("CUF_Write_HR_long", "1", lambda: struct.pack(">I", "1")),
    ("CUF_Write_HR_double", 1e39, lambda: struct.pack(">f", 1e39)),
    ("CUF_Write_HR_double", "3.14", lambda: struct.pack(">f", "3.14")),
    ("CUF_Write_HR_str", "😀", lambda: "😀".encode("big5")),
    # handed on unchanged, and the package cannot frame it
    ("CUF_Write_HR_int", 70000, lambda: struct.pack(">H", 70000)),
])
def test_a_value_that_cannot_be_encoded_fails_as_the_host_does_and_sends_nothing(line, link, method, value,
                                                                                  reference):
    expected = host_error(reference)
    events = record_hooks(link)
    with pytest.raises(type(expected)) as raised:
        getattr(link, method)(0, value)
    assert str(raised.value) == str(expected)
    assert line.requests == [] and events == []


def test_an_unknown_codec_fails_a_text_write_before_sending(line, link):
    with pytest.raises(LookupError):
        link.CUF_Write_HR_str(0, "A", "no-such-codec")
    assert line.requests == []


@pytest.mark.parametrize("method, address, value", [
    ("CUF_Write_HR_int", 100, 1),
    ("CUF_Write_HR_long", 99, 1),
    ("CUF_Write_HR_double", 99, 1.0),
    ("CUF_Write_HR_str", 0, ""),  # no registers at all: the slave refuses the quantity
])
def test_a_refused_write_gives_false_silently(line, link, method, address, value):
    events = record_hooks(link)
    assert getattr(link, method)(address, value) is False
    assert events == []
    assert line.requests[-1][2] == address


def test_a_raising_write_hook_reaches_the_caller_after_the_write(line, link):
    link.CUE_OnPacketWRITE = raiser("noted too late")
    with pytest.raises(RuntimeError, match="noted too late"):
        link.CUF_Write_HR_long(0, 305419896)
    assert line.registers[1][0:2] == [4660, 22136]



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
        ("read_holding_registers", (), {"address": 0, "count": 1, "slave": 1}),
        ("read_holding_registers", (), {"address": 0, "count": 2, "slave": 2}),
        ("write_register", (), {"address": 0, "value": 5, "slave": 2}),
        ("write_registers", (), {"address": 0, "values": (0, 5), "slave": 2}),
        ("write_registers", (), {"address": 0, "values": [16706, 17152], "slave": 1}),
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
