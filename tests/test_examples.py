"""Every script of examples/ run as a user runs it, each in its own interpreter, against real peers:
Holdbank servers on loopback ports and an RTU slave on a pseudo-terminal."""
import json
import queue
import signal
import subprocess
import sys
import threading
from pathlib import Path

import pytest

import Socklink
from conftest import free_port, wait_until
from master_helpers import PYMODBUS
from rtu_slave import RtuSlave

pytestmark = pytest.mark.pymodbus

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"


def run(name, *args, timeout=30):
    """Runs an example to its end; returns (exit code, standard output)."""
    done = subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout)
    return done.returncode, done.stdout + done.stderr


class Running:
    """An example started in the background, its output lines collected as they come."""

    def __init__(self, name, *args):
        self.proc = subprocess.Popen([sys.executable, "-u", str(EXAMPLES / name), *map(str, args)],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self.lines = []
        self._queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def next_line(self, timeout=10):
        line = self._queue.get(timeout=timeout)
        if line is None:
            raise AssertionError("ended early:\n%s" % "\n".join(self.lines))
        self.lines.append(line)
        return line

    def wait_for_line(self, text, timeout=10):
        while True:
            line = self._queue.get(timeout=timeout)
            if line is None:
                raise AssertionError("ended without printing %r:\n%s" % (text, "\n".join(self.lines)))
            self.lines.append(line)
            if line == text:
                return

    def finish(self, timeout=20):
        code = self.proc.wait(timeout=timeout)
        while (line := self._queue.get(timeout=5)) is not None:
            self.lines.append(line)
        return code, "\n".join(self.lines)

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(timeout=5)


@pytest.fixture
def started():
    running = []

    def start(name, *args):
        running.append(Running(name, *args))
        return running[-1]

    yield start
    for r in running:
        r.kill()


@pytest.fixture
def line():
    slave = RtuSlave(units=(1, 2))
    yield slave
    slave.close()


def test_served_bank_enforces_its_ranges_and_keeps_what_masters_wrote_in_its_backup(started, tmp_path):
    port = free_port()
    backup = tmp_path / "bank.json"
    server = started("served_bank.py", "--port", port, "--seconds", 3, "--backup", backup)
    server.wait_for_line("[Holdbank] Server Started on 127.0.0.1:%d" % port)

    master = Socklink.CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", port)
    try:
        assert master.CUF_Write_HR_int(10, 500)
        assert not master.CUF_Write_HR_int(0, 1)  # the device's readings are read-only
        assert master.CUF_Read_HR_str(4, 3, "utf-8") == "HB-100"
        # The host keeps counting its heartbeat while it serves.
        first = master.CUF_Read_HR_int(2, 1)
        wait_until(lambda: master.CUF_Read_HR_int(2, 1) > first)
    finally:
        master.CUF_Close()

    code, out = server.finish()
    assert code == 0, out
    assert "127.0.0.1 wrote register 10 = 500" in out
    assert "127.0.0.1 may not write register 0" in out
    saved = json.loads(backup.read_text(encoding="utf-8"))
    assert sorted(saved["READ_ONLY"], key=int) == [str(a) for a in range(10)]
    assert saved["READ_WRITE"]["10"] == 500
    assert saved["READ_ONLY"]["4"] == 0x4842  # "HB"

    code, out = run("served_bank.py", "--port", free_port(), "--seconds", 0.2, "--backup", backup)
    assert code == 0, out
    assert "[Holdbank] 📂 Load file %s，recover 100 reg. values。" % backup in out
    assert "settings not zero: {10: 500}" in out


def test_secured_server_refuses_the_master_that_is_not_on_its_list():
    code, out = run("secured_server.py")
    assert code == 0, out
    lines = out.splitlines()
    assert any(line.startswith("admitted 127.0.0.1:") for line in lines), out
    assert sum(line.startswith("refused 127.0.0.2:") for line in lines) == 2, out
    assert "every step as expected" in lines


def test_tcp_master_writes_and_reads_a_served_bank(served, port):
    bank = served(size=100)
    bank.CUF_Set_ReadOnlyRange(0, 9)
    bank.CUF_Set_ReadWriteRange(10, 99)
    denied = []
    bank.CUE_OnWriteDenied = lambda ip, addr, val: denied.append(addr)

    code, out = run("tcp_master.py", "--port", port)
    assert code == 0, out
    assert bank.CUF_REG_Read(10) == 500
    assert bank.CUF_REG_Dump(20, 21, "UINT32") == [("20-21", 305419896)]
    assert bank.CUF_REG_Dump(30, 31, "FLOAT") == [("30-31", 3.140000104904175)]
    assert bank.CUF_REG_ReadSTR(40, 3) == "Modbus"
    assert denied == [0]
    # The 128-register read: refused by the client package from 3.8 on, sent before and refused by
    # the server; either way the example reads nothing.
    assert ("\nerror: Exception: " if PYMODBUS >= (3, 8) else "\nerror: Modbus Error: ") in out
    assert "reading 128 registers gives []" in out


def test_tcp_master_without_a_port_serves_its_own_bank():
    code, out = run("tcp_master.py")
    assert code == 0, out
    assert "the bank's own view: registers 20-21 = [('20-21', 305419896)]" in out


def test_tcp_master_exits_1_when_nothing_listens():
    port = free_port()
    code, out = run("tcp_master.py", "--port", port)
    assert code == 1
    assert "error: Connection Failed to 127.0.0.1" in out


def test_rtu_master_writes_and_reads_the_unit_named_on_the_command_line(line):
    code, out = run("rtu_master.py", line.port, "--slave", 2)
    assert code == 0, out
    # 1234; 4000000000 high word first; -2.5 as a 32-bit float; "RTU" padded with a zero byte.
    assert line.registers[2][:12] == [1234, 0, 61035, 10240, 49184, 0, 0, 0, 0, 0, 0x5254, 0x5500]
    assert not any(line.registers[1])
    assert {unit for unit, *_ in line.requests} == {2}


def test_rtu_master_exits_1_when_the_port_does_not_open(tmp_path):
    code, out = run("rtu_master.py", tmp_path / "ttyMISSING")
    assert code == 1
    assert "error: Connection Failed to %s" % (tmp_path / "ttyMISSING") in out


def test_rtu_master_exits_1_when_the_unit_does_not_answer(line):
    code, out = run("rtu_master.py", line.port, "--slave", 9)
    assert code == 1, out
    if PYMODBUS >= (3, 8):
        assert "unit 9: Modbus Error:" in out  # the first write raised the package's error
    else:  # the package hands the error back: every write fails, every read comes back empty
        assert "unit 9 read back: [] [] [] ''" in out
    assert not any(line.registers[1]) and not any(line.registers[2])


def test_pty_rtu_slave_serves_the_rtu_master_example_on_the_port_it_prints(started):
    slave = started("pty_rtu_slave.py", "--units", "1,3")
    port = slave.next_line()
    assert port.startswith("/dev/"), port

    code, out = run("rtu_master.py", port, "--slave", 3)
    assert code == 0, out
    assert "unit 3 read back: [1234] [4000000000] [-2.5] 'RTU'" in out
    # A unit the slave does not serve stays silent, as on a multi-drop line.
    code, out = run("rtu_master.py", port, "--slave", 2)
    assert code == 1, out
    if PYMODBUS >= (3, 8):
        assert "unit 2: Modbus Error:" in out, out  # the first write raised the package's error
    else:  # the package hands the error back: every write fails, every read comes back empty
        assert "unit 2 read back: [] [] [] ''" in out, out
    # A pseudo-terminal takes no parity bit, as the guide says.
    code, out = run("rtu_master.py", port, "--parity", "E")
    assert code == 1 and "error: Connection Failed to %s" % port in out, out

    slave.proc.send_signal(signal.SIGINT)  # Ctrl-C, as a user stops it
    code, out = slave.finish(timeout=30)
    assert code == 0, out
    # Eight requests of unit 3 (four writes, four reads) and the unanswered one of unit 2, sent
    # again by the client package's retries.
    served = [line for line in out.splitlines() if line.startswith("served ")]
    assert served and int(served[0].split()[1]) >= 9, out
