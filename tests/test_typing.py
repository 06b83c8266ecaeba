"""The type stubs (stubs/*.pyi) against the modules this suite imports, and mypy in strict mode over
the examples and over code that misuses the modules."""
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs mypy's tool `module` (mypy itself or mypy.stubtest) with the stubs of this tree first
    on its search path; the modules themselves come from where this suite imports them."""
    cache = tmp_path_factory.mktemp("mypy-cache")
    env = dict(os.environ, MYPYPATH=str(ROOT / "stubs"))

    def run(module, *args, cwd):
        extra = ["--cache-dir", str(cache)] if module == "mypy" else []
        done = subprocess.run([sys.executable, "-m", module, *extra, *map(str, args)], cwd=cwd, env=env,
                              capture_output=True, text=True, timeout=300)
        return done.returncode, done.stdout + done.stderr

    return run


def test_stubtest_finds_the_stubs_and_the_built_modules_in_agreement(mypy, tmp_path):
    code, out = mypy("mypy.stubtest", "Holdbank", "Cordlink", "Socklink", cwd=tmp_path)
    assert code == 0, out


def test_the_examples_pass_strict_mode(mypy):
    code, out = mypy("mypy", "--strict", ROOT / "examples", cwd=ROOT)
    assert code == 0, out


# Each line marked "# E" must get an error, and no other line may.
MISUSE = '''
    import Cordlink
    import Holdbank
    import Socklink

    bank = Holdbank.CLASS_Holdbank(100, "bank.json")
    bank.CUE_OnRead = lambda ip, addr, val: None
    bank.CUE_OnRead = lambda ip, addr: None  # E: the read hook takes three arguments
    bank.CUE_OnConnect = lambda ip, full: print(ip.upper(), full)
    bank.CUE_OnDisconnect = lambda full: full.upper()
    bank.CUE_OnWrite = lambda ip, addr, val: ip + addr  # E: addr is an int
    bank.CUF_REG_Write(0, "7")  # E
    name: str = bank.CUF_REG_Read(0)  # E
    rows: list[str] = bank.CUF_ListConnections()
    bank.CUF_Open(port="502")  # E
    ok: bool = bank.CUF_LoadFromFile("bank.json")
    saved: bool = bank.CUF_SaveToFile("bank.json")  # E: returns None

    secured = Holdbank.CLASS_Holdbank_Secured()
    secured.CUE_OnAccessDenied = lambda ip, full: None
    secured.CUE_OnConect = None  # E: a misspelt hook is caught despite the class's own __setattr__
    secured.CUF_AllowIP_Add("127.0.0.1")

    rtu = Cordlink.CLASS_Cordlink()
    rtu.CUF_Open("/dev/ttyUSB0", 19200, "E")
    rtu.CUF_Open(19200)  # E
    floats: list[float] = rtu.CUF_Read_HR_double(0, 2, slave=3)
    text: str = rtu.CUF_Read_HR_str(0, 2, "utf-8", 3)
    rtu.CUF_Write_HR_double(0, "3.14")  # E
    rtu.CUE_OnPacketREAD = lambda registers: sum(registers)
    rtu.CUE_OnError = lambda: None  # E: the error hook takes the message

    tcp = Socklink.CLASS_Socklink()
    tcp.CUF_Open("127.0.0.1")  # E: the port has no default
    tcp.CUF_Read_HR_int(0, 2, slave=1)  # E: a TCP master names no unit
    words: list[int] = tcp.CUF_Read_HR_int(0, 2)
    raw: list[int] = tcp._read_raw(0, 2)  # E: None when the read failed
    tcp.CUE_OnPacketWRITE = lambda value: print(value)
'''


def test_strict_mode_catches_misuse_of_the_modules(mypy, tmp_path):
    source = textwrap.dedent(MISUSE).lstrip()
    (tmp_path / "misuse.py").write_text(source)
    code, out = mypy("mypy", "--strict", "misuse.py", cwd=tmp_path)
    expected = {n for n, text in enumerate(source.splitlines(), 1) if "# E" in text}
    reported = {int(n) for n in re.findall(r"^misuse\.py:(\d+): error:", out, re.M)}
    assert code == 1 and reported == expected, out
