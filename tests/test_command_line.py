"""The holdbank command, run as a subprocess against real peers: its own `serve`, banks of the
test's own, pymodbus's TCP server, the example RTU slave on a pseudo-terminal, and mbpoll."""
import importlib.util
import json
import math
import os
import pty
import queue
import re
import select
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time
from pathlib import Path

import pytest

from conftest import free_port

ROOT = Path(__file__).resolve().parent.parent
# The cli extra; the environments of the other pymodbus releases go without it.
RICH = pytest.param(False, id="rich", marks=pytest.mark.skipif(importlib.util.find_spec("rich") is None,
                                                               reason="rich (the cli extra) is not installed"))


def command_env(**extra):
    """The command's environment: this tree's package first, then whatever finds the modules."""
    env = dict(os.environ, PYTHONUNBUFFERED="1", COLUMNS="120", **extra)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (str(ROOT), os.environ.get("PYTHONPATH")) if p)
    return env


def holdbank(*args, timeout=30, **extra):
    return subprocess.run([sys.executable, "-m", "holdbank_cli", *map(str, args)], env=command_env(**extra),
                          capture_output=True, text=True, timeout=timeout)


def one_line_error(done):
    """The command failed with a one-line message of its own and no traceback."""
    lines = done.stderr.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("holdbank") and "Traceback" not in done.stderr, done.stderr
    return lines[0]


class Serve:
    """`holdbank serve` in a subprocess on a free loopback port; lines of its output kept as they come."""

    def __init__(self, *flags, cwd=None):
        self.port = free_port()
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "holdbank_cli", "serve", "--listen", "127.0.0.1:%d" % self.port, *map(str, flags)],
            env=command_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=cwd)
        self.lines = queue.Queue()
        self.seen = []
        threading.Thread(target=self._pump, daemon=True).start()
        self.ready = self.expect(lambda line: "serving" in line or '"ready"' in line)

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def expect(self, predicate, timeout=15):
        """The first new line satisfying `predicate`, waiting at most `timeout` seconds."""
        deadline = time.monotonic() + timeout
        while True:
            try:
                line = self.lines.get(timeout=max(0.01, deadline - time.monotonic()))
            except queue.Empty:
                raise AssertionError("no such line within %.0f s; seen %s" % (timeout, self.seen)) from None
            if line is None:
                raise AssertionError("serve ended (%s): %s %s" % (self.proc.wait(5), self.seen, self.proc.stderr.read()))
            self.seen.append(line)
            if predicate(line):
                return line

    @property
    def target(self):
        return "127.0.0.1:%d" % self.port

    def stop(self, signum=signal.SIGTERM, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        status = self.proc.wait(timeout)
        self.proc.stderr.close()
        return status


@pytest.fixture
def serve():
    started = []

    def make(*flags, **kwargs):
        started.append(Serve(*flags, **kwargs))
        return started[-1]

    yield make
    for server in started:
        if server.proc.poll() is None:
            server.proc.kill()
            server.proc.wait(10)


@pytest.fixture
def socklink():
    import Socklink

    opened = []

    def connect(port):
        master = Socklink.CLASS_Socklink()
        assert master.CUF_Open("127.0.0.1", port)
        opened.append(master)
        return master

    yield connect
    for master in opened:
        master.CUF_Close()


@pytest.fixture
def rtu_line():
    from rtu_slave import RtuSlave

    line = RtuSlave(units=(2, 5), size=100)
    yield line
    line.close()


def f32(value):
    return struct.unpack(">f", struct.pack(">f", value))[0]


# --- serve --set: the modules' layout, read back three ways ------------------------------------------

# (flag, form, the value as a typed reader must give it back, registers it takes)
SETS = [
    ("0=1234", "u16", 1234, 1),
    ("1:u16=65535", "u16", 65535, 1),
    ("2:i16=-5", "i16", -5, 1),
    ("3:i16=-32768", "i16", -32768, 1),
    ("4:u32=305419896", "u32", 305419896, 2),
    ("6:u32=4294967295", "u32", 4294967295, 2),
    ("8:i32=-2", "i32", -2, 2),
    ("10:i32=-2147483648", "i32", -2147483648, 2),
    ("12:float=3.14", "float", f32(3.14), 2),
    ("14:float=-2.5e-3", "float", f32(-2.5e-3), 2),
    ("16:float=1e30", "float", f32(1e30), 2),
    ("18:text=HB-100", "text", "HB-100", 3),
    ("21:text=odd", "text", "odd", 2),
    ("23:text=0x10", "text", "0x10", 2),
]
DUMP_TYPES = {"u16": "UINT16", "i16": "INT16", "u32": "UINT32", "i32": "INT32", "float": "FLOAT", "text": "STRING"}


def address_of(flag):
    return int(flag.split("=")[0].split(":")[0])


@pytest.fixture(scope="module")
def set_bank(tmp_path_factory):
    """One served bank holding every value of SETS; its backup file after the stop."""
    backup = tmp_path_factory.mktemp("set") / "bank.json"
    server = Serve("--size", 40, "--backup", backup, *[x for s in SETS for x in ("--set", s[0])])
    yield server, backup
    if server.proc.poll() is None:
        server.proc.kill()
        server.proc.wait(10)


@pytest.mark.pymodbus
@pytest.mark.parametrize("flag,form,expected,registers", SETS, ids=[s[0] for s in SETS])
def test_a_set_value_reads_back_through_a_typed_master(set_bank, socklink, flag, form, expected, registers):
    server, _ = set_bank
    master, address = socklink(server.port), address_of(flag)
    if form == "text":
        assert master.CUF_Read_HR_str(address, registers, "utf-8") == expected
    else:
        read = {1: master.CUF_Read_HR_int, 2: master.CUF_Read_HR_double if form == "float" else master.CUF_Read_HR_long}
        bits = 16 if registers == 1 else 32
        (value,) = read[registers](address, 1)
        assert value == (expected if form == "float" else expected % (1 << bits))


MBPOLL_TYPES = {"u16": "4", "i16": "4", "u32": "4:int", "i32": "4:int", "float": "4:float", "text": "4:hex"}


@pytest.mark.parametrize("flag,form,expected,registers", SETS, ids=[s[0] for s in SETS])
def test_a_set_value_reads_back_through_mbpoll(set_bank, flag, form, expected, registers):
    if shutil.which("mbpoll") is None:
        pytest.skip("mbpoll is not installed (Debian package mbpoll: apt-get install mbpoll)")
    server, _ = set_bank
    count = registers if MBPOLL_TYPES[form] in ("4", "4:hex") else 1
    done = subprocess.run(["mbpoll", "-m", "tcp", "-0", "-1", "-B", "-a", "1", "-t", MBPOLL_TYPES[form],
                           "-r", str(address_of(flag)), "-c", str(count), "-p", str(server.port), "127.0.0.1"],
                          capture_output=True, text=True, timeout=30)
    values = re.findall(r"^\[\d+\]:\s+(\S+)", done.stdout, re.M)
    assert done.returncode == 0 and len(values) == count, done.stdout + done.stderr
    if form == "text":
        raw = b"".join(int(v, 16).to_bytes(2, "big") for v in values)
        assert raw.rstrip(b"\0").decode() == expected
    elif form == "float":
        assert math.isclose(float(values[0]), expected, rel_tol=1e-5)
    elif form in ("u32", "i32"):
        # mbpoll shows 32-bit integers signed.
        assert int(values[0]) % (1 << 32) == expected % (1 << 32)
    else:
        assert int(values[0]) == expected % (1 << 16)


def test_every_set_value_reads_back_through_the_bank_s_dump(set_bank):
    """Stopped, the bank's backup holds the values in the modules' layout, as CUF_REG_Dump reads them."""
    import Holdbank

    server, backup = set_bank
    assert server.stop(signal.SIGTERM) == 0
    bank = Holdbank.CLASS_Holdbank(40, str(backup.with_name("copy.json")))
    assert bank.CUF_LoadFromFile(str(backup))
    for flag, form, expected, registers in SETS:
        start = address_of(flag)
        ((_, value),) = bank.CUF_REG_Dump(start, start + registers - 1, DUMP_TYPES[form])
        assert value == expected, flag


# --- write and read: every form both ways ----------------------------------------------------------

# (form, the values written in one call, as the command prints them back)
ROUND_TRIPS = [
    ("u16", ["0", "65535", "0x1234"], [0, 65535, 0x1234]),
    ("u32", ["4294967295", "305419896"], [4294967295, 305419896]),
    ("float", ["-2.5", "3.14", "1e-3"], [-2.5, 3.14, 0.001]),
    ("text", ["HB-100 é"], ["HB-100 é"]),
]


def registers_of(form, values):
    if form == "text":
        data = values[0].encode()
        return (len(data) + 1) // 2
    return len(values) * (2 if form in ("u32", "float") else 1)


@pytest.mark.pymodbus
@pytest.mark.parametrize("kind", ["tcp", "rtu"])
@pytest.mark.parametrize("form,written,shown", ROUND_TRIPS, ids=[r[0] for r in ROUND_TRIPS])
def test_written_values_reach_the_peer_and_read_back(served, port, rtu_line, kind, form, written, shown):
    if kind == "tcp":
        bank = served(size=100)
        target, extra = "127.0.0.1:%d" % port, []
    else:
        target, extra = "rtu:" + rtu_line.port, ["--unit", "5"]
    done = holdbank("write", target, 10, *written, "--as", form, *extra)
    assert done.returncode == 0, done.stderr
    count = registers_of(form, written) if form == "text" else len(written)
    done = holdbank("read", target, 10, count, "--as", form, "--json", *extra)
    assert done.returncode == 0, done.stderr
    answer = json.loads(done.stdout)
    assert [v["value"] for v in answer["values"]] == shown
    # The peer holds the registers the modules' own layout gives.
    words = [w for v in answer["values"] for w in v["registers"]]
    held = ([bank.CUF_REG_Read(a) for a in range(10, 10 + len(words))] if kind == "tcp"
            else rtu_line.registers[5][10:10 + len(words)])
    assert held == words and len(words) == registers_of(form, written)
    if kind == "tcp":
        dump = DUMP_TYPES[form]
        if form == "text":
            assert bank.CUF_REG_Dump(10, 9 + len(words), dump)[0][1] == shown[0]
        else:
            step = 1 if form == "u16" else 2
            got = [v for _, v in bank.CUF_REG_Dump(10, 9 + len(words), dump)]
            assert got == [f32(x) if form == "float" else x for x in shown][:len(got)] and len(got) == len(words) // step


@pytest.mark.pymodbus
@pytest.mark.parametrize("plain", [RICH, pytest.param(True, id="plain")])
def test_read_prints_a_table_for_people(served, port, plain):
    bank = served(size=10)
    bank.CUF_REG_Write(3, 0xBEEF)
    done = holdbank("read", "127.0.0.1:%d" % port, 2, 2, **({"HOLDBANK_PLAIN": "1"} if plain else {}))
    assert done.returncode == 0, done.stderr
    rows = [line for line in done.stdout.splitlines() if re.search(r"\b3\b.*48879.*0xBEEF", line)]
    assert len(rows) == 1, done.stdout
    assert ("│" in done.stdout) is not plain


# --- exit statuses and bad input --------------------------------------------------------------------

def test_a_refused_write_exits_1_and_says_so(served, port):
    bank = served(size=20)
    bank.CUF_Set_ReadOnlyRange(0, 9)
    bank.CUF_Set_ReadWriteRange(10, 19)
    done = holdbank("write", "127.0.0.1:%d" % port, 5, 1)
    assert done.returncode == 1 and "refused" in one_line_error(done)
    assert bank.CUF_REG_Read(5) == 0


@pytest.mark.pymodbus
@pytest.mark.parametrize("args,status,says", [
    (["read", "{rtu}", 99, 2, "--unit", 2], 1, "ExceptionResponse|Exception Response"),
    (["write", "{rtu}", 100, 1, "--unit", 2], 1, "refused|Exception"),
    (["read", "{rtu}", 0, "--unit", 9, "--timeout", 0.2], 3, "No response|Input/Output"),
    (["read", "{closed}", 0], 3, "Connection Failed"),
    (["write", "{closed}", 0, 1], 3, "Connection Failed"),
    (["scan", "{closed}", "--units", "1-2"], 3, "Connection Failed"),
], ids=["rtu-read-past-the-end", "rtu-write-past-the-end", "silent-unit", "read-closed-port",
        "write-closed-port", "scan-closed-port"])
def test_failures_of_the_peer_exit_with_their_status(rtu_line, args, status, says):
    where = {"{rtu}": "rtu:" + rtu_line.port, "{closed}": "127.0.0.1:%d" % free_port()}
    done = holdbank(*[where.get(a, a) if isinstance(a, str) else a for a in args])
    assert done.returncode == status and re.search(says, one_line_error(done)), done.stderr


BAD_INPUT = [
    (["read", "127.0.0.1:1", 70000], "address 70000"),
    (["read", "127.0.0.1:1", -1], "address -1"),
    (["read", "127.0.0.1:1", 0, 126], "126"),
    (["read", "127.0.0.1:1", 0, 63, "--as", "float"], "126 registers"),
    (["read", "127.0.0.1:1", 0, "--as", "double"], "invalid choice"),
    (["read", "127.0.0.1:99999", 0], "port 99999"),
    (["read", "rtu:/dev/no-such-line", 0], "does not exist"),
    (["read", "127.0.0.1:1", 0, "--unit", 2], "rtu: targets only"),
    (["write", "127.0.0.1:1", 0, 65536], "65536"),
    (["write", "127.0.0.1:1", 0, -1, "--as", "u32"], "-1"),
    (["write", "127.0.0.1:1", 0, "1e39", "--as", "float"], "32-bit float"),
    (["write", "127.0.0.1:1", 0, "ten"], "not an integer"),
    (["write", "127.0.0.1:1", 65535, 1, "--as", "u32"], "past register 65535"),
    (["scan", "127.0.0.1:1", "--units", "9-3"], "backwards"),
    (["scan", "127.0.0.1:1", "--units", "0-300"], "1..247"),
    (["watch", "127.0.0.1:1", 0, "--every", 0], "--every"),
    (["serve", "--ro", "9-0"], "backwards"),
    (["serve", "--size", 10, "--rw", "5-20"], "outside the bank"),
    (["serve", "--size", 10, "--set", "9:u32=1"], "outside the bank"),
    (["serve", "--set", "1:i16=40000"], "40000"),
    (["serve", "--set", "1:double=1"], "form 'double'"),
    (["serve", "--set", "1"], "ADDR\\[:FORM\\]="),
    (["serve", "--allow", "localhost"], "not an IP address"),
    (["serve", "--listen", "127.0.0.1:http"], "not a number"),
    (["serve", "--simulate", "0=noise(1)"], "KIND"),
    (["serve", "--simulate", "0=ramp(0,10,0)"], "above 0"),
    (["serve", "--simulate", "0:text=counter"], "text"),
    (["serve", "--backup", "/no/such/folder/bank.json"], "does not exist"),
    (["bogus"], "invalid choice"),
    ([], "required"),
]


@pytest.mark.parametrize("args,says", BAD_INPUT, ids=[" ".join(map(str, a[0])) or "nothing" for a in BAD_INPUT])
def test_bad_input_is_one_line_and_status_2(args, says):
    done = holdbank(*args)
    assert done.returncode == 2 and re.search(says, one_line_error(done)), done.stderr
    assert done.stdout == ""


def test_version_and_help():
    import Holdbank

    done = holdbank("--version")
    assert done.returncode == 0 and done.stdout.strip() == "holdbank %s" % Holdbank.__version__
    done = holdbank("--help")
    for command in ("serve", "read", "write", "watch", "scan"):
        assert re.search(r"^  holdbank %s " % command, done.stdout, re.M), command
        sub = holdbank(command, "--help")
        assert sub.returncode == 0 and re.search(r"^examples:\n  holdbank %s " % command, sub.stdout, re.M)


# --- serve: stopping, the backup, events, the allow-list, simulations --------------------------------

@pytest.mark.pymodbus
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
def test_a_signal_stops_serve_with_the_backup_saved_and_the_next_start_restores_it(serve, socklink, tmp_path,
                                                                                   signum):
    backup = tmp_path / "bank.json"
    server = serve("--size", 50, "--backup", backup, "--rw", "10-49")
    master = socklink(server.port)
    assert master.CUF_Write_HR_long(20, 70000)
    master.CUF_Close()
    assert server.stop(signum) == 0
    assert json.loads(backup.read_text())["READ_WRITE"]["21"] == 70000 - 65536
    server.expect(lambda line: line.endswith("stopped; registers saved to %s" % backup))

    again = serve("--size", 50, "--backup", backup)
    done = holdbank("read", again.target, 20, "--as", "u32")
    assert done.returncode == 0 and "70000" in done.stdout


def test_a_second_ctrl_c_ends_serve_at_once(serve):
    server = serve("--size", 10)
    server.proc.send_signal(signal.SIGINT)
    server.proc.send_signal(signal.SIGINT)
    # Either the first one finished the stop already (0) or the second one ended it (SIGINT).
    assert server.stop(signal.SIGINT, timeout=10) in (0, -signal.SIGINT)


def test_an_invalid_backup_is_left_alone_and_refused(tmp_path):
    backup = tmp_path / "bank.json"
    backup.write_text('{"READ_WRITE": {"0": 70000}}')
    done = holdbank("serve", "--listen", "127.0.0.1:%d" % free_port(), "--size", 10, "--backup", backup)
    assert done.returncode == 2 and "not a valid backup" in done.stderr.splitlines()[-1]
    assert backup.read_text() == '{"READ_WRITE": {"0": 70000}}'


def test_a_port_in_use_exits_3(serve):
    server = serve("--size", 10)
    done = holdbank("serve", "--listen", server.target, "--size", 10)
    assert done.returncode == 3 and "cannot listen" in done.stderr


def unprivileged():
    """A command prefix that runs without the right to bind ports below 1024, or None."""
    try:
        if int(Path("/proc/sys/net/ipv4/ip_unprivileged_port_start").read_text()) <= 502:
            return None
    except (OSError, ValueError):
        pass
    if os.geteuid() != 0:
        return []
    # root without CAP_NET_BIND_SERVICE, dropped from the bounding set before the exec
    return ["setpriv", "--bounding-set", "-net_bind_service", "--inh-caps", "-net_bind_service"] \
        if shutil.which("setpriv") else None


def test_a_privileged_port_names_a_free_alternative():
    prefix = unprivileged()
    if prefix is None:
        pytest.skip("cannot run without the right to bind port 502 here (no setpriv, or every port is open)")
    done = subprocess.run([*prefix, sys.executable, "-m", "holdbank_cli", "serve", "--listen", "127.0.0.1:502",
                           "--size", "10"], env=command_env(), capture_output=True, text=True, timeout=30)
    message = one_line_error(done)
    assert done.returncode == 3 and "port 502 needs privileges" in message, done.stderr
    alternative = int(re.search(r"--listen 127\.0\.0\.1:(\d+)$", message).group(1))
    assert alternative >= 1024


def event_lines(server, as_json, count, timeout=15):
    lines = []
    while len(lines) < count:
        line = server.expect(lambda _: True, timeout)
        lines.append(json.loads(line) if as_json else line)
    return lines


@pytest.mark.pymodbus
@pytest.mark.parametrize("as_json", [False, True], ids=["text", "json"])
def test_events_tell_connects_writes_refusals_and_refused_masters(serve, as_json):
    import Socklink

    server = serve("--size", 20, "--ro", "0-9", "--rw", "10-19", "--allow", "127.0.0.1", "--events",
                   *(["--json"] if as_json else []))
    master = Socklink.CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", server.port)
    assert master.CUF_Write_HR_int(10, 7)
    assert not master.CUF_Write_HR_int(3, 8)
    master.CUF_Close()
    got = event_lines(server, as_json, 4)
    import socket

    with socket.socket() as stranger:
        stranger.bind(("127.0.0.2", 0))
        stranger.connect(("127.0.0.1", server.port))
        got += event_lines(server, as_json, 1)
    if as_json:
        assert [e["event"] for e in got] == ["connect", "write", "write-refused", "disconnect", "master-refused"]
        assert (got[1]["address"], got[1]["value"], got[2]["address"], got[2]["value"]) == (10, 7, 3, 8)
        assert got[4]["ip"] == "127.0.0.2" and got[0]["peer"] == got[3]["peer"]
    else:
        expected = [r"connect 127\.0\.0\.1:\d+$", r"write 127\.0\.0\.1 10 = 7$", r"write refused 127\.0\.0\.1 3 = 8$",
                    r"disconnect 127\.0\.0\.1:\d+$", r"master refused 127\.0\.0\.2:\d+"]
        for line, pattern in zip(got, expected):
            assert re.search(pattern, line), (line, pattern)
    assert server.stop() == 0


@pytest.mark.pymodbus
def test_simulated_values_move_as_their_kinds_say(serve, socklink):
    server = serve("--size", 20, "--simulate", "0=counter(1,0.05)", "--simulate", "2:float=ramp(0,10,2,0.05)",
                   "--simulate", "4:i16=sine(100,1,0,0.05)", "--simulate", "5:u16=walk(10,20,5,0.05)",
                   "--simulate", "6:u32=counter(period=0.05,start=65534)")
    master = socklink(server.port)
    samples = []
    deadline = time.monotonic() + 3
    while time.monotonic() < deadline:
        words = master.CUF_Read_HR_int(0, 8)
        (ramp,) = master.CUF_Read_HR_double(2, 1)
        samples.append((words[0], ramp, struct.unpack(">h", struct.pack(">H", words[4]))[0], words[5],
                        (words[6] << 16) | words[7]))
        time.sleep(0.03)
    counters, ramps, sines, walks, wide = zip(*samples)
    assert list(counters) == sorted(counters) and counters[-1] - counters[0] >= 20
    assert all(0 <= r <= 10 for r in ramps) and len(set(ramps)) > 10
    assert all(-100 <= s <= 100 for s in sines) and max(sines) > 50 and min(sines) < -50
    assert all(10 <= w <= 20 for w in walks) and len(set(walks)) > 2
    # A 32-bit counter carries into its high word, and a master never sees half of a step.
    assert max(wide) > 65536 and list(wide) == sorted(wide)
    assert server.stop() == 0


# --- watch and scan -------------------------------------------------------------------------------

def read_until(fd, pattern, timeout=15):
    seen = b""
    deadline = time.monotonic() + timeout
    while not re.search(pattern, seen):
        ready, _, _ = select.select([fd], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise AssertionError("no %r within %.0f s in %r" % (pattern, timeout, seen[-2000:]))
        try:
            seen += os.read(fd, 65536)
        except OSError:  # the other end closed
            raise AssertionError("watch ended before %r: %r" % (pattern, seen[-2000:])) from None
    return seen


@pytest.mark.pymodbus
@pytest.mark.parametrize("plain", [RICH, pytest.param(True, id="plain")])
def test_watch_on_a_terminal_redraws_a_change_made_by_another_master(served, port, socklink, plain):
    served(size=10).CUF_REG_Write(4, 111)
    controller, terminal = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "holdbank_cli", "watch", "127.0.0.1:%d" % port, "3", "3",
                             "--every", "0.1"], env=command_env(**({"HOLDBANK_PLAIN": "1"} if plain else {})),
                            stdin=terminal, stdout=terminal, stderr=subprocess.PIPE)
    os.close(terminal)
    try:
        read_until(controller, rb"\b111\b")
        assert socklink(port).CUF_Write_HR_int(4, 4242)
        # The changed row is marked: a "*" in plain text, bold yellow (SGR 1;33) with rich.
        read_until(controller, rb"4242 +0x1092 \*" if plain else rb"\x1b\[1;33m[^\n]*4242")
        proc.send_signal(signal.SIGINT)
        assert proc.wait(10) == 0, proc.stderr.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
        os.close(controller)
        proc.stderr.close()


@pytest.mark.pymodbus
def test_watch_into_a_pipe_prints_one_line_per_change(served, port, socklink):
    bank = served(size=10)
    proc = subprocess.Popen([sys.executable, "-m", "holdbank_cli", "watch", "127.0.0.1:%d" % port, "0", "2", "--every",
                             "0.05"], env=command_env(), stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        lines = [proc.stdout.readline() for _ in range(2)]
        assert [line.split()[1:] for line in lines] == [["0", "0"], ["1", "0"]]
        bank.CUF_REG_Write(1, 9)
        assert proc.stdout.readline().split()[1:] == ["1", "9"]
        proc.send_signal(signal.SIGINT)
        rest, _ = proc.communicate(timeout=10)
        assert proc.returncode == 0 and rest == ""
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)


@pytest.mark.pymodbus
@pytest.mark.parametrize("address,answered,exception", [(0, "2, 5", "none"), (500, "none", "2, 5")],
                         ids=["answers", "exception-answers"])
def test_scan_finds_exactly_the_units_of_the_line(rtu_line, address, answered, exception):
    done = holdbank("scan", "rtu:" + rtu_line.port, "--units", "1-6", "--address", address, "--timeout", 0.2)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["answered: %s" % answered, "answered with an exception: %s" % exception]
    probed = sorted({unit for unit, function, *_ in rtu_line.requests if function == 3})
    assert probed == [1, 2, 3, 4, 5, 6]


@pytest.mark.pymodbus
def test_scan_asks_each_unit_behind_a_tcp_gateway(pymodbus_peer, port):
    done = holdbank("scan", "127.0.0.1:%d" % port, "--units", "3-5", "--address", 500)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["answered: none", "answered with an exception: 3, 4, 5"]
    assert sorted({r[0] for r in pymodbus_peer.received}) == [3, 4, 5]


def test_scan_draws_a_progress_bar_on_a_terminal(rtu_line):
    controller, terminal = pty.openpty()
    proc = subprocess.Popen([sys.executable, "-m", "holdbank_cli", "scan", "rtu:" + rtu_line.port, "--units", "1-3",
                             "--timeout", "0.2"], env=command_env(), stdout=subprocess.PIPE, stderr=terminal,
                            text=True)
    os.close(terminal)
    try:
        out, _ = proc.communicate(timeout=30)
        seen = b""
        while select.select([controller], [], [], 0.5)[0]:
            try:
                chunk = os.read(controller, 65536)
            except OSError:
                break
            if not chunk:
                break
            seen += chunk
        assert proc.returncode == 0 and out.splitlines()[0] == "answered: 2"
        assert b"scanning rtu:" in seen and b"unit" in seen
    finally:
        if proc.poll() is None:
            proc.kill()
        os.close(controller)
