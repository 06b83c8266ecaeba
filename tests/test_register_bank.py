"""The Holdbank module surface, the register bank, its ranges and its data hooks."""
import inspect
import logging
import socket
import socketserver
import subprocess
import sys
import threading

import pytest

import Holdbank
from memory_flat import assert_flat

H = Holdbank.CLASS_Holdbank


# --- module and class surface ---------------------------------------------------------------

def test_module_namespace_in_order():
    names = [n for n in vars(Holdbank) if not (n.startswith("__") and n.endswith("__"))]
    assert names == ["sys", "socket", "struct", "threading", "logging", "socketserver", "json", "os",
                     "List", "Dict", "Tuple", "Any", "logger", "CLASS_SocklinkWorker",
                     "ThreadedSocklinkServer", "CLASS_Holdbank", "CLASS_Holdbank_Secured"]
    import typing
    assert Holdbank.List is typing.List and Holdbank.Any is typing.Any
    assert Holdbank.socketserver is socketserver
    assert Holdbank.__doc__ is None and not hasattr(Holdbank, "__all__")
    assert Holdbank.logger is logging.getLogger("Holdbank")


def test_built_as_abi3_for_every_python_from_310():
    assert Holdbank.__file__.endswith(".abi3.so")


def test_loads_in_python_310(tmp_path):
    """The stable-ABI build serves the oldest supported interpreter too."""
    import glob
    import os
    py310 = next((p for p in ["/usr/bin/python3.10", "/usr/local/bin/python3.10",
                              *sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.10*/bin/python3.10")))]
                  if os.access(p, os.X_OK)), None)
    if not py310:
        pytest.skip("no CPython 3.10 on this machine")
    code = ("import sys; sys.path.insert(0, %r); import Holdbank; b = Holdbank.CLASS_Holdbank(4); "
            "b.CUF_REG_Write(1, 7); print(b.CUF_REG_Read(1), sys.version_info[:2])"
            % os.path.dirname(Holdbank.__file__))
    out = subprocess.run([py310, "-c", code], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "7 (3, 10)"


@pytest.mark.parametrize("cls, bases, attrs", [
    ("CLASS_SocklinkWorker", (socketserver.BaseRequestHandler,), {}),
    ("ThreadedSocklinkServer", (socketserver.ThreadingMixIn, socketserver.TCPServer),
     {"allow_reuse_address": True, "daemon_threads": True}),
    ("CLASS_Holdbank", (object,), {}),
    ("CLASS_Holdbank_Secured", (H,), {}),
])
def test_classes(cls, bases, attrs):
    c = getattr(Holdbank, cls)
    assert c.__bases__ == bases
    assert c.__module__ == "Holdbank" and c.__qualname__ == cls and c.__doc__ is None
    for name, value in attrs.items():
        assert c.__dict__[name] is value


SIGNATURES = {
    "__init__": "(self, size: int = 7000, reg_log_filename='modbus_reg_tbl.json')",
    "CUF_SaveToFile": "(self, filename: str)",
    "CUF_LoadFromFile": "(self, Pms_IniFile: str) -> bool",
    "CUF_Set_ReadOnlyRange": "(self, start: int, end: int)",
    "CUF_Set_ReadWriteRange": "(self, start: int, end: int)",
    "_is_writable": "(self, reg: int) -> bool",
    "_on_client_connect": "(self, ip: str, full_address: str, sock: socket.socket)",
    "_on_client_disconnect": "(self, full_address: str)",
    "CUF_ListConnections": "(self) -> List[str]",
    "CUF_DisconnectClient": "(self, full_address: str) -> bool",
    "_on_read": "(self, ip: str, addr: int, val: int)",
    "_on_write": "(self, ip: str, addr: int, val: int)",
    "_on_write_denied": "(self, ip: str, addr: int, val: int)",
    "CUF_REG_Read": "(self, addr: int) -> int",
    "CUF_REG_Write": "(self, addr: int, value: int) -> bool",
    "CUF_REG_WriteSTR": "(self, addr: int, text: str, encoding: str = 'utf-8') -> int",
    "CUF_REG_ReadSTR": "(self, addr: int, length: int, encoding: str = 'utf-8') -> str",
    "CUF_REG_Dump": "(self, start: int, end: int, dtype: str = 'UINT16') -> List[Any]",
    "CUF_Open": "(self, ip: str = '0.0.0.0', port: int = 502)",
    "CUF_Close": "(self)",
}
DOCS = {
    "CUF_SaveToFile": " 將所有 Holding Register 依據可讀寫與唯讀區分並存成檔案 ",
    "CUF_LoadFromFile": " 需求功能：載入前次的 Register 內容 ",
    "CUF_Close": " 主動安全關閉伺服器：先存檔、再釋放網絡資源 ",
}


def test_method_table_in_order_with_signatures_and_docs():
    methods = [n for n, v in vars(H).items() if callable(v)]
    assert methods == list(SIGNATURES)
    for name, sig in SIGNATURES.items():
        fn = getattr(H, name)
        assert str(inspect.signature(fn)) == sig, name
        assert fn.__name__ == name and fn.__qualname__ == "CLASS_Holdbank." + name
        assert fn.__module__ == "Holdbank"
        assert fn.__doc__ == DOCS.get(name), name
    assert H.CUF_ListConnections.__annotations__ == {"return": Holdbank.List[str]}
    assert H._on_client_connect.__annotations__["sock"] is socket.socket
    assert H.__init__.__annotations__ == {"size": int}
    assert H.CUF_Open.__defaults__ == ("0.0.0.0", 502)


def test_bound_method_behaves_like_a_python_method():
    b = H(10)
    m = b.CUF_REG_Read
    assert m.__self__ is b and m.__func__ is H.CUF_REG_Read
    assert str(inspect.signature(m)) == "(addr: int) -> int"
    assert m(0) == 0 and b.CUF_REG_Read(addr=0) == 0 and H.CUF_REG_Read(b, 0) == 0


@pytest.mark.parametrize("call, message", [
    (lambda b: b.CUF_REG_Read(), "CLASS_Holdbank.CUF_REG_Read() missing 1 required positional argument: 'addr'"),
    (lambda b: b.CUF_REG_Write(), "CLASS_Holdbank.CUF_REG_Write() missing 2 required positional arguments: "
                                  "'addr' and 'value'"),
    (lambda b: H.CUF_REG_Write(), "CLASS_Holdbank.CUF_REG_Write() missing 3 required positional arguments: "
                                  "'self', 'addr', and 'value'"),
    (lambda b: b.CUF_REG_Write(1, 2, 3), "CLASS_Holdbank.CUF_REG_Write() takes 3 positional arguments but 4 were given"),
    (lambda b: b.CUF_Open("a", 1, 2), "CLASS_Holdbank.CUF_Open() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda b: b.CUF_Close(1), "CLASS_Holdbank.CUF_Close() takes 1 positional argument but 2 were given"),
    (lambda b: b.CUF_REG_Write(1, addr=2), "CLASS_Holdbank.CUF_REG_Write() got multiple values for argument 'addr'"),
    (lambda b: b.CUF_REG_Read(adr=1), "CLASS_Holdbank.CUF_REG_Read() got an unexpected keyword argument 'adr'"),
    (lambda b: H(1, "f", 3), "CLASS_Holdbank.__init__() takes from 1 to 3 positional arguments but 4 were given"),
])
def test_bad_calls_raise_the_interpreters_type_errors(call, message):
    with pytest.raises(TypeError) as e:
        call(H(10))
    assert str(e.value) == message


def test_subclass_sees_every_constructor_assignment_in_order():
    seen = []

    class Recording(H):
        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    r = Recording(5, "f.json")
    assert seen == ["size", "hr", "lock", "ro_ranges", "rw_ranges", "active_connections", "server_thread",
                    "server_net", "default_backup_file", "CUE_OnConnect", "CUE_OnDisconnect", "CUE_OnRead",
                    "CUE_OnWrite", "CUE_OnWriteDenied"]
    assert list(vars(r)) == seen


def test_construction_defaults(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    b = H()
    assert b.size == 7000 and b.hr == [0] * 7000 and len(b.hr) == 7000
    assert type(b.lock) is type(threading.Lock())
    assert (b.ro_ranges, b.rw_ranges, b.active_connections) == ([], [], {})
    assert b.server_thread is None and b.server_net is None
    assert b.default_backup_file == "modbus_reg_tbl.json"
    assert all(getattr(b, h) is None for h in
               ("CUE_OnConnect", "CUE_OnDisconnect", "CUE_OnRead", "CUE_OnWrite", "CUE_OnWriteDenied"))
    small = H(10, "other.json")
    assert small.size == 10 and small.default_backup_file == "other.json"
    assert list(tmp_path.iterdir()) == []  # construction neither reads nor creates the file


@pytest.mark.parametrize("size, error", [(1.5, TypeError), ("10", TypeError), (2 ** 62, (OverflowError, MemoryError))])
def test_construction_with_a_bad_size_fails(size, error):
    with pytest.raises(error):
        H(size)


def test_negative_size_gives_an_empty_bank():
    b = H(-3)
    assert b.size == -3 and b.hr == []
    assert b.CUF_REG_Write(0, 1) is False
    with pytest.raises(IndexError):
        b.CUF_REG_Read(0)


# --- single-register access ------------------------------------------------------------------

@pytest.mark.parametrize("value, stored", [(-1, 65535), (70000, 4464), (65536, 0), (65535, 65535), (True, 1)])
def test_write_keeps_the_low_16_bits(value, stored):
    b = H()
    assert b.CUF_REG_Write(5, value) is True
    assert b.CUF_REG_Read(5) == stored


@pytest.mark.parametrize("addr", [7000, -1, 10 ** 30])
def test_addresses_outside_the_bank(addr):
    b = H()
    b.hr[6999] = 9
    with pytest.raises(IndexError, match="^Register Address Out of Range$"):
        b.CUF_REG_Read(addr)
    assert b.CUF_REG_Write(addr, 1) is False
    assert b.hr[6999] == 9 and b.hr.count(0) == 6999
    assert b.CUF_REG_Read(6999) == 9
    assert not b.lock.locked()


def test_empty_bank_rejects_every_address():
    b = H(0)
    with pytest.raises(IndexError):
        b.CUF_REG_Read(0)
    assert b.CUF_REG_Write(0, 1) is False


@pytest.mark.parametrize("call", [
    lambda b: b.CUF_REG_Write(1, "x"),
    lambda b: b.CUF_REG_Write(1, 1.5),
    lambda b: b.CUF_REG_Write("1", 1),
    lambda b: b.CUF_REG_Read("1"),
    lambda b: b.CUF_REG_Read(None),
])
def test_wrong_types_raise_and_leave_bank_and_lock_alone(call):
    b = H(4)
    with pytest.raises(TypeError):
        call(b)
    assert b.hr == [0] * 4 and not b.lock.locked()


def test_host_write_ignores_ranges_and_hooks():
    b = H(10)
    b.CUF_Set_ReadOnlyRange(0, 9)
    calls = []
    b.CUE_OnWrite = b.CUE_OnWriteDenied = lambda *a: calls.append(a)
    assert b.CUF_REG_Write(3, 42) is True and b.CUF_REG_Read(3) == 42 and calls == []


def test_size_attribute_decides_bounds_not_list_length():
    b = H(10)
    b.size = 5
    assert b.CUF_REG_Write(7, 1) is False


# --- ranges -------------------------------------------------------------------------------------

@pytest.mark.parametrize("ro, rw, writable, refused", [
    ([], [], [0, 6999, 100000, -5], []),
    ([], [(10, 20)], [10, 15, 20], [9, 21, 0]),
    ([(0, 9)], [], [], [0, 5, 9, 100]),
    ([(0, 50)], [(40, 60)], [40, 45, 60], [30, 61]),
    ([], [(20, 10)], [], [10, 15, 20, 0]),
    ([], [(10, 20), (10, 20)], [10, 20], [21]),
])
def test_is_writable(ro, rw, writable, refused):
    b = H()
    for r in ro:
        b.CUF_Set_ReadOnlyRange(*r)
    for r in rw:
        b.CUF_Set_ReadWriteRange(*r)
    assert b.ro_ranges == ro and b.rw_ranges == rw
    assert [b._is_writable(r) for r in writable] == [True] * len(writable)
    assert [b._is_writable(r) for r in refused] == [False] * len(refused)


def test_ranges_are_stored_unchecked():
    b = H()
    assert b.CUF_Set_ReadWriteRange("a", None) is None
    assert b.rw_ranges == [("a", None)]
    with pytest.raises(TypeError):
        b._is_writable(5)


def test_ranges_appended_while_handler_threads_scan():
    b = H()
    b.CUF_Set_ReadOnlyRange(0, 0)
    stop = threading.Event()
    errors = []

    def scan():
        try:
            while not stop.is_set():
                b._is_writable(5)
        except Exception as e:  # pragma: no cover - the fault this test is for
            errors.append(e)

    threads = [threading.Thread(target=scan) for _ in range(3)]
    for t in threads:
        t.start()
    for i in range(20000):
        b.CUF_Set_ReadWriteRange(i + 10, i + 10)
    stop.set()
    for t in threads:
        t.join(10)
    assert errors == [] and len(b.rw_ranges) == 20000
    assert b._is_writable(19999) is True and b._is_writable(5) is False


# --- data hooks -------------------------------------------------------------------------------

@pytest.mark.parametrize("dispatcher, hook", [("_on_read", "CUE_OnRead"), ("_on_write", "CUE_OnWrite"),
                                              ("_on_write_denied", "CUE_OnWriteDenied")])
def test_dispatchers_follow_the_hook_rule(dispatcher, hook):
    b = H(4)
    calls = []

    def three(ip, addr, val):
        calls.append((ip, addr, val))
        return "ignored"

    for falsy in (None, False, 0, ""):
        setattr(b, hook, falsy)
        assert getattr(b, dispatcher)("1.2.3.4", 1, 2) is None
    setattr(b, hook, three)
    assert getattr(b, dispatcher)("1.2.3.4", 1, 2) is None
    assert calls == [("1.2.3.4", 1, 2)]
    setattr(b, hook, "not callable")
    with pytest.raises(TypeError):
        getattr(b, dispatcher)("ip", 1, 2)

    def boom(*a):
        raise KeyError("from hook")

    setattr(b, hook, boom)
    with pytest.raises(KeyError):
        getattr(b, dispatcher)("ip", 1, 2)


def test_import_runs_once(tmp_path):
    code = ("import logging, sys\n"
            "calls = []\n"
            "orig = logging.basicConfig\n"
            "logging.basicConfig = lambda **kw: calls.append(kw)\n"
            "import Holdbank\n"
            "import Holdbank as again\n"
            "import importlib; importlib.import_module('Holdbank')\n"
            "print(calls, again is sys.modules['Holdbank'])\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == (
        "[{'level': 20, 'format': '%(asctime)s [%(levelname)s] %(message)s'}] True")


def test_failed_import_leaves_nothing_registered(tmp_path):
    code = ("import sys\n"
            "sys.modules['socketserver'] = None\n"
            "try:\n"
            "    import Holdbank\n"
            "except ImportError as e:\n"
            "    print('failed', 'Holdbank' in sys.modules)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60,
                         cwd=tmp_path)
    assert out.stdout.strip() == "failed False", out.stderr


def test_million_reads_and_writes_keep_memory_flat():
    b = H(100)

    def run(n):
        for i in range(n):
            b.CUF_REG_Write(i % 100, i)
            b.CUF_REG_Read(i % 100)

    assert_flat(run, 1_000_000, blocks=2000, objects=100, warm_up=20000)


@pytest.mark.parametrize("cls", [H, Holdbank.CLASS_Holdbank_Secured, type("Sub", (H,), {})])
@pytest.mark.parametrize("op", ["read", "write"])
def test_host_access_waits_while_another_thread_holds_the_lock(cls, op):
    b = cls(10)
    done = []
    call = (lambda: done.append(b.CUF_REG_Read(1))) if op == "read" else (lambda: done.append(b.CUF_REG_Write(1, 9)))
    with b.lock:
        t = threading.Thread(target=call)
        t.start()
        t.join(0.2)
        assert t.is_alive() and done == []
        b.hr[1] = 5
    t.join(5)
    assert done == ([5] if op == "read" else [True])
    assert b.hr[1] == (5 if op == "read" else 9)
