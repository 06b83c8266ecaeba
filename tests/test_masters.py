"""What the two Modbus masters share, tested on each against real peers: Cordlink over a
pseudo-terminal with an RTU slave (tests/rtu_slave.py) on the other end, Socklink against
pymodbus's TCP server and the project's Holdbank server on loopback. What only one master has (unit
numbers, serial settings, the TCP endpoint) is in test_cordlink.py and test_socklink.py."""
import inspect
import os
import struct
import subprocess
import sys

import pytest

import Cordlink
import Socklink
from conftest import REGISTER_VALUES, free_port, packed_word, same_error
from master_helpers import ATTRIBUTES, EMPTY_RESULTS, host_error, is_open, raiser, record_hooks

pytestmark = pytest.mark.pymodbus

CORDLINK_DOC = (
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
CORDLINK_OPEN_DOC = (
    "\n"
    "        開啟序列埠連線\n"
    "        Pms_PortName: 如 'COM1' (Windows) 或 '/dev/ttyUSB0' (Linux)\n"
    "        Pms_Parity: 'N', 'E', 'O' (None, Even, Odd)\n"
    "        "
)


class Master:
    """What differs between the two masters where their behaviour is the same."""

    def __init__(self, module, client, doc, methods, unreachable, unreachable_text):
        self.module = module
        self.cls = getattr(module, "CLASS_" + module.__name__)
        self.client = client  # the name of the package's client class the module binds
        self.doc = doc
        self.methods = methods  # name, signature, docstring
        self.unreachable = unreachable  # () -> open arguments towards no peer at all
        self.unreachable_text = unreachable_text


MASTERS = {
    "cordlink": Master(Cordlink, "ModbusSerialClient", CORDLINK_DOC, [
        ("__init__", "(self)", None),
        ("CUF_Open", "(self, Pms_PortName, Pmi_Baudrate=9600, Pms_Parity='N', Pmi_Stopbits=1, Pmi_Bytesize=8)",
         CORDLINK_OPEN_DOC),
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
    ], lambda: ("/dev/no-such-serial-port",), "Connection Failed to /dev/no-such-serial-port"),
    "socklink": Master(Socklink, "ModbusTcpClient", None, [
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
    ], lambda: ("127.0.0.1", free_port()), "Connection Failed to 127.0.0.1"),
}
ANNOTATIONS = {"CUF_Write_HR_int": {"Pmi_Value": int}, "CUF_Write_HR_long": {"Pmi_Value": int},
               "CUF_Write_HR_double": {"Pmf_Value": float}, "CUF_Write_HR_str": {"Pms_Value": str}}
# the fixture that starts each peer, by test id
PEERS = {"cordlink-rtu": "rtu_peer", "socklink-pymodbus": "pymodbus_peer", "socklink-holdbank": "holdbank_peer"}


@pytest.fixture(params=list(MASTERS))
def spec(request):
    return MASTERS[request.param]


@pytest.fixture(params=list(PEERS))
def peer(request):
    return request.getfixturevalue(PEERS[request.param])


@pytest.fixture(params=["cordlink-rtu", "socklink-pymodbus"])
def device_peer(request):
    """A peer that refuses what a device refuses (Holdbank answers a write past its end and
    stores nothing) and notes every request."""
    return request.getfixturevalue(PEERS[request.param])


@pytest.fixture
def fresh(peer):
    """An instance of the peer's master, not yet opened."""
    return MASTERS[peer.master].cls()


@pytest.fixture
def link(peer, fresh):
    """The peer's master open towards it, hooks not yet set."""
    assert fresh.CUF_Open(*peer.open_args) is True
    yield fresh
    fresh.CUF_Close()


# --- the module and the class as the host sees them ------------------------------------------

def test_module_binds_struct_the_client_class_and_the_master_in_order(spec):
    import pymodbus.client

    names = [n for n in vars(spec.module) if not n.startswith("__")]
    assert names == ["struct", spec.client, spec.cls.__name__]
    assert spec.module.struct is struct
    assert getattr(spec.module, spec.client) is getattr(pymodbus.client, spec.client)
    assert spec.module.__doc__ is None


def test_class_surface(spec):
    cls = spec.cls
    assert cls.__bases__ == (object,)
    assert cls.__doc__ == spec.doc
    assert cls.__module__ == spec.module.__name__
    own = [n for n in vars(cls) if n not in ("__module__", "__doc__", "__dict__", "__weakref__")]
    assert own == [name for name, _, _ in spec.methods]
    for name, signature, doc in spec.methods:
        method = getattr(cls, name)
        assert str(inspect.signature(method)) == signature, name
        assert method.__doc__ == doc, name
        assert method.__qualname__ == cls.__name__ + "." + name
        assert method.__annotations__ == ANNOTATIONS.get(name, {}), name


@pytest.mark.parametrize("client_module, expected", [
    ("", "cannot import name '{client}'"),
    ("raise ImportError('no client support here')", "no client support here"),
], ids=["package-without-the-client", "package-raising-its-own-import-error"])
def test_import_fails_with_the_import_error_of_the_package(tmp_path, spec, client_module, expected):
    package = tmp_path / "pymodbus"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (package / "client.py").write_text(client_module)
    name = spec.module.__name__
    script = ("import sys\ntry:\n    import %s\nexcept ImportError as e:\n"
              "    print('ImportError', e, %r in sys.modules)\n" % (name, name))
    path = os.pathsep.join([str(tmp_path), os.path.dirname(spec.module.__file__)])
    out = subprocess.run([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=path),
                         capture_output=True, text=True, timeout=30)
    assert out.stdout.startswith("ImportError"), out.stderr
    assert expected.format(client=spec.client) in out.stdout
    assert out.stdout.rstrip().endswith("False")


def test_new_instance_has_seven_none_attributes_and_close_does_nothing(spec):
    link = spec.cls()
    assert list(vars(link).items()) == [(name, None) for name in ATTRIBUTES]
    events = record_hooks(link)
    assert link.CUF_Close() is None
    assert events == [] and link.client is None


# --- opening and closing ------------------------------------------------------------------------

def test_open_and_close_fire_their_hooks_in_order(peer, fresh):
    events = record_hooks(fresh)
    assert fresh.CUF_Open(*peer.open_args) is True
    assert events == ["connecting", "connect"]
    assert is_open(fresh.client)
    fresh.CUF_Close()
    assert events[-1] == "disconnect" and not is_open(fresh.client)


def test_open_towards_no_peer_reports_and_keeps_the_client(spec):
    link = spec.cls()
    events = record_hooks(link)
    assert link.CUF_Open(*spec.unreachable()) is False
    assert events == ["connecting", ("error", spec.unreachable_text)]
    assert type(link.client) is getattr(spec.module, spec.client)


def test_a_raising_connecting_hook_fails_the_open_before_any_client(peer, fresh):
    events = record_hooks(fresh)
    fresh.CUE_OnConnecting = raiser("not now")
    assert fresh.CUF_Open(*peer.open_args) is False
    assert events == [("error", "not now")]
    assert fresh.client is None


def test_a_raising_connect_hook_fails_the_open_though_connected(peer, fresh):
    events = record_hooks(fresh)
    fresh.CUE_OnConnect = raiser("refused by the script")
    assert fresh.CUF_Open(*peer.open_args) is False
    assert events == ["connecting", ("error", "refused by the script")]
    assert is_open(fresh.client)
    fresh.CUF_Close()


def test_a_raising_error_hook_reaches_the_caller_of_open(spec):
    link = spec.cls()
    link.CUE_OnError = raiser("report failed")
    with pytest.raises(RuntimeError, match="report failed"):
        link.CUF_Open(*spec.unreachable())


def test_hooks_that_test_false_are_skipped(peer, fresh):
    fresh.CUE_OnConnecting, fresh.CUE_OnConnect, fresh.CUE_OnDisconnect = 0, "", False
    fresh.CUE_OnError, fresh.CUE_OnPacketREAD, fresh.CUE_OnPacketWRITE = (), [], {}
    assert fresh.CUF_Open(*peer.open_args) is True
    assert fresh.CUF_Read_HR_int(0, 1) == [0]
    assert fresh.CUF_Write_HR_int(0, 1) is True
    assert fresh._read_raw(*peer.unreadable()) is None  # an error answer, reported to nobody
    fresh.CUF_Close()


def test_reopening_releases_the_earlier_connection_first(peer, fresh):
    events = record_hooks(fresh)
    assert fresh.CUF_Open(*peer.open_args) is True
    first = fresh.client
    # A serial line opens for exclusive use: only a released line opens again.
    assert fresh.CUF_Open(*peer.open_args) is True
    assert fresh.client is not first
    assert not is_open(first)
    assert events == ["connecting", "connect", "connecting", "connect"]
    peer.set(0, [77])
    assert fresh.CUF_Read_HR_int(0, 1) == [77]
    fresh.CUF_Close()


def test_an_earlier_client_that_fails_to_close_does_not_stop_the_open(peer, fresh):
    class Jammed:
        def close(self):
            raise OSError("jammed")

    events = record_hooks(fresh)
    fresh.client = Jammed()
    assert fresh.CUF_Open(*peer.open_args) is True
    assert events == ["connecting", "connect"]
    fresh.CUF_Close()


def test_close_twice_closes_twice_and_keeps_the_client(link):
    events = record_hooks(link)
    client = link.client
    assert link.CUF_Close() is None
    assert link.CUF_Close() is None
    assert events == ["disconnect", "disconnect"]
    assert link.client is client and not is_open(client)


def test_a_raising_disconnect_hook_reaches_the_caller_of_close(link):
    link.CUE_OnDisconnect = raiser("bye failed")
    with pytest.raises(RuntimeError, match="bye failed"):
        link.CUF_Close()
    assert not is_open(link.client)
    link.CUE_OnDisconnect = None


def test_hooks_fire_in_the_order_of_events(peer, fresh):
    events = record_hooks(fresh)
    fresh.CUF_Open(*peer.open_args)
    fresh.CUF_Write_HR_int(3, 9)
    fresh.CUF_Read_HR_int(3, 1)
    fresh.CUF_Close()
    assert events == ["connecting", "connect", ("write", 9), ("read", [9]), "disconnect"]


# --- raw reads and failures ----------------------------------------------------------------

@pytest.mark.parametrize("method", ["_read_raw", "CUF_Read_HR_int"])
def test_a_read_returns_the_list_the_read_hook_saw(peer, link, method):
    peer.set(10, [1, 2, 65535])
    events = record_hooks(link)
    registers = getattr(link, method)(10, 3)
    assert registers == [1, 2, 65535]
    assert events == [("read", registers)] and events[0][1] is registers


@pytest.mark.parametrize("method, empty", EMPTY_RESULTS)
def test_an_exception_answer_gives_the_empty_result_and_one_report(peer, link, method, empty):
    unreadable = peer.unreadable()
    events = record_hooks(link)
    result = getattr(link, method)(*unreadable)
    assert result == empty and type(result) is type(empty)
    assert len(events) == 1
    kind, text = events[0]
    assert kind == "error" and text.startswith("Modbus Error: ")
    assert link._read_raw(*unreadable) is None


def test_a_raising_read_hook_turns_the_read_into_none(link):
    events = record_hooks(link)
    link.CUE_OnPacketREAD = raiser("cannot take it")
    assert link._read_raw(0, 2) is None
    assert events == [("error", "Exception: cannot take it")]


def test_an_error_hook_failing_on_an_error_answer_is_reported_once_more(peer, link):
    unreadable = peer.unreadable()
    reports = []

    def flaky(text):
        reports.append(text)
        if len(reports) == 1:
            raise RuntimeError("first report lost")

    link.CUE_OnError = flaky
    assert link._read_raw(*unreadable) is None
    assert reports[0].startswith("Modbus Error: ")
    assert reports[1:] == ["Exception: first report lost"]

    link.CUE_OnError = raiser("every report lost")
    with pytest.raises(RuntimeError, match="every report lost"):
        link._read_raw(*unreadable)


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
def test_typed_reads_decode_the_registers(peer, link, method, registers, length, expected):
    peer.set(10, registers)
    result = getattr(link, method)(10, length)
    assert result == expected
    assert [type(v) for v in result] == [type(v) for v in expected]
    if peer.requests() is not None:
        assert peer.requests()[-1] == (3, 10, len(registers))


def test_a_text_read_takes_the_codec_as_third_argument(peer, link):
    peer.set(0, list(struct.unpack(">2H", "aé".encode("utf-8") + b"\x00")))
    assert link.CUF_Read_HR_str(0, 2, "utf-8") == "aé"


@pytest.mark.parametrize("method", ["CUF_Read_HR_long", "CUF_Read_HR_double"])
def test_an_odd_register_count_fails_the_32_bit_read_after_the_read_hook(link, method):
    seen = []
    link.CUE_OnPacketREAD = lambda registers: (seen.append(list(registers)), registers.pop())
    with pytest.raises(IndexError):
        getattr(link, method)(0, 1)
    assert seen == [[0, 0]]


@pytest.mark.parametrize("value", REGISTER_VALUES, ids=repr)
def test_register_values_are_taken_as_struct_packs_them(spec, value):
    """The 32-bit and text reads see a register as struct.pack('>H') does (the float read takes the
    pair as the unsigned read does), here from a subclass whose raw read gives what it likes."""
    class GivenRegisters(spec.cls):
        def _read_raw(self, *args, **kwargs):
            return [value, 0x4300]

    link = GivenRegisters()
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


def test_an_unknown_codec_fails_a_text_read_only_when_registers_came(peer, link):
    with pytest.raises(LookupError):
        link.CUF_Read_HR_str(0, 1, "no-such-codec")
    assert link.CUF_Read_HR_str(*peer.unreadable(), "no-such-codec") == ""


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
def test_typed_writes_encode_the_value(peer, link, method, value, written, reported):
    events = record_hooks(link)
    assert getattr(link, method)(20, value) is True
    assert peer.get(20, len(written)) == written
    if peer.requests() is not None:
        assert peer.requests() == [(6 if method == "CUF_Write_HR_int" else 16, 20, written)]
    assert events == [("write", reported)]
    assert events[0][1] is value or isinstance(value, str)


def test_a_text_write_takes_the_codec_as_third_argument(peer, link):
    events = record_hooks(link)
    assert link.CUF_Write_HR_str(0, "AB", "utf-8") is True
    assert peer.get(0, 1) == [0x4142]
    assert events == [("write", "AB (utf-8)")]


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
def test_a_value_that_cannot_be_encoded_fails_as_the_host_does_and_sends_nothing(peer, link, method, value,
                                                                                  reference):
    expected = host_error(reference)
    events = record_hooks(link)
    with pytest.raises(type(expected)) as raised:
        getattr(link, method)(0, value)
    assert str(raised.value) == str(expected)
    assert peer.requests() in ([], None) and events == []
    assert peer.get(0, 2) == [0, 0]


def test_an_unknown_codec_fails_a_text_write_before_sending(peer, link):
    with pytest.raises(LookupError):
        link.CUF_Write_HR_str(0, "A", "no-such-codec")
    assert peer.requests() in ([], None)
    assert peer.get(0, 1) == [0]


@pytest.mark.parametrize("method, address, value, sent", [
    ("CUF_Write_HR_int", 100, 1, (6, 100, [1])),
    ("CUF_Write_HR_long", 99, 1, (16, 99, [0, 1])),
    ("CUF_Write_HR_double", 99, 1.0, (16, 99, [16256, 0])),
    ("CUF_Write_HR_str", 0, "", (16, 0, [])),  # no registers at all: the peer refuses the quantity
])
def test_a_refused_write_gives_false_silently(device_peer, method, address, value, sent):
    link = MASTERS[device_peer.master].cls()
    assert link.CUF_Open(*device_peer.open_args) is True
    events = record_hooks(link)
    assert getattr(link, method)(address, value) is False
    assert events == []
    assert device_peer.requests() == [sent]
    link.CUF_Close()


def test_a_raising_write_hook_reaches_the_caller_after_the_write(peer, link):
    link.CUE_OnPacketWRITE = raiser("noted too late")
    with pytest.raises(RuntimeError, match="noted too late"):
        link.CUF_Write_HR_long(0, 305419896)
    assert peer.get(0, 2) == [4660, 22136]
