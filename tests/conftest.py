"""Shared fixtures: a served bank on a free loopback port, small socket helpers, the module log
and the masters' peers."""
import ast
import logging
import socket
import struct
import time

import pytest


# --- the tests that drive pymodbus, in an environment of another pymodbus release ----------------
# Such an environment holds pymodbus and pytest alone, so a module that needs more (hypothesis, for
# one) cannot even be imported there. With --pymodbus-modules-only a module is read, not imported,
# and left out unless it marks something pymodbus; a module that cannot be read is collected, so
# that its error shows.

def pytest_addoption(parser):
    parser.addoption("--pymodbus-modules-only", action="store_true",
                     help="collect only the test modules that mark a test pymodbus (use with -m pymodbus)")


def marks_pymodbus(path):
    """Whether the module's source names pytest.mark.pymodbus anywhere (None: it does not parse)."""
    try:
        tree = ast.parse(path.read_bytes(), str(path))
    except (SyntaxError, ValueError):
        return None
    return any(isinstance(node, ast.Attribute) and node.attr == "pymodbus"
               and isinstance(node.value, ast.Attribute) and node.value.attr == "mark"
               for node in ast.walk(tree))


def pytest_ignore_collect(collection_path, config):
    if (config.getoption("pymodbus_modules_only") and collection_path.suffix == ".py"
            and collection_path.name != "conftest.py" and marks_pymodbus(collection_path) is False):
        return True
    return None


def free_port(host="127.0.0.1"):
    with socket.socket() as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_until(predicate, timeout=5.0, interval=0.005, fail=True):
    """Polls `predicate` until it is true; after `timeout` seconds fails the test, or with
    fail=False returns False for a caller that reports (or tolerates) the wait in its own way."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(interval)
    if fail:
        raise AssertionError("condition not met within %.1f s" % timeout)
    return False


class ModuleLog(logging.Handler):
    """Every record a module logger emits while attached, at every level, kept here whatever the
    test runner does with log records (a child interpreter has no runner at all)."""

    def __init__(self, name="Holdbank"):
        super().__init__(logging.DEBUG)
        self.logger = logging.getLogger(name)
        self.records = []
        self._saved = None

    def emit(self, record):
        self.records.append(record)

    def lines(self, level=logging.DEBUG):
        """The messages at `level` or above, in order."""
        return [r.getMessage() for r in self.records if r.levelno >= level]

    def entries(self, level=logging.DEBUG):
        """(level, message) of each record at `level` or above, in order."""
        return [(r.levelno, r.getMessage()) for r in self.records if r.levelno >= level]

    def attach(self, propagate=True):
        """Starts recording; propagate=False also keeps the records from every other handler."""
        self._saved = (self.logger.level, self.logger.propagate)
        self.logger.setLevel(logging.DEBUG)
        self.logger.propagate = propagate
        self.logger.addHandler(self)
        return self

    def detach(self):
        self.logger.removeHandler(self)
        self.logger.setLevel(self._saved[0])
        self.logger.propagate = self._saved[1]


@pytest.fixture
def holdbank_log():
    """What the Holdbank module logs during the test."""
    log = ModuleLog("Holdbank").attach()
    yield log
    log.detach()


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


# --- register values of every kind -----------------------------------------------------------
# Both sides' typed views and typed reads take a register value as struct.pack(">H", value)
# takes it: int-likes are packed, anything else fails with the host's own error.

class IndexOnly:
    """An int-like object that is no int."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"IndexOnly({self.value})"


class WordSubclass(int):
    pass


REGISTER_VALUES = [0, 65535, True, WordSubclass(0x4142), IndexOnly(0x4142), IndexOnly(70000), -1, 65536, 2**70,
                   1.0, "1", None, b"AB"]


def packed_word(value):
    """struct.pack(">H", value): the two bytes, or the error it raises."""
    try:
        return struct.pack(">H", value)
    except Exception as e:  # noqa: BLE001 - the host's verdict, whatever its kind
        return e


def same_error(raised, expected):
    return type(raised) is type(expected) and str(raised) == str(expected)
