"""The toolkit as a user gets it: a source distribution and a wheel built with the standard build
front end, the wheel installed with its dependencies into a fresh virtual environment, and the
three modules and their type stubs used from there."""
import email
import glob
import os
import re
import shutil
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

import pytest

from conftest import free_port

ROOT = Path(__file__).resolve().parent.parent
TESTS = Path(__file__).resolve().parent

# Building compiles every module from the source distribution; installing may fetch packages.
pytestmark = pytest.mark.timeout(900)


def clean_env():
    """This process's environment without what would let another build or interpreter settings in."""
    dropped = {"PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "MYPYPATH", "CMAKE_ARGS", "LD_PRELOAD",
               "ASAN_OPTIONS", "UBSAN_OPTIONS"}
    return {k: v for k, v in os.environ.items() if k not in dropped}


def call(*args, cwd=None, timeout=600):
    done = subprocess.run([str(a) for a in args], cwd=cwd, env=clean_env(), capture_output=True, text=True,
                          timeout=timeout)
    assert done.returncode == 0, "%s\n%s\n%s" % (" ".join(map(str, args)), done.stdout[-4000:], done.stderr[-4000:])
    return done.stdout


def source_files():
    """The tree's own files as git sees them (tracked, and new ones not ignored), or None outside
    a git checkout."""
    try:
        done = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"], cwd=ROOT,
                              env=clean_env(), capture_output=True, timeout=60)
    except OSError:
        return None
    if done.returncode != 0:
        return None
    return {name for name in done.stdout.decode().split("\0") if name and (ROOT / name).is_file()}


# What building, testing, benchmarking and running the guide's scripts from the top folder leave
# in a working tree; the source distribution must carry none of it.
LEFTOVERS = {
    "build/bench-results/latest.json": "{}",
    "build/dev/Holdbank.abi3.so": "",
    "dist/holdbank_toolkit-0.0.1-cp310-abi3-linux_x86_64.whl": "",
    "bank.json": "{}",
    "modbus_reg_tbl.json": "{}",
    "Holdbank.abi3.so": "",
    "venv/pyvenv.cfg": "",
    "tests/__pycache__/conftest.cpython-311.pyc": "",
    ".hypothesis/examples/x": "",
    ".pytest_cache/v/cache/lastfailed": "{}",
}


@pytest.fixture(scope="module")
def sources(tmp_path_factory):
    """(folder, files): a copy of the tree's own files with the usual leftovers planted beside
    them, as a developer's working tree holds them, and the names of the tree's own files. Outside
    a git checkout: the tree itself, and None."""
    files = source_files()
    if files is None:
        return ROOT, None
    tree = tmp_path_factory.mktemp("tree") / "holdbank-toolkit"
    for name in files:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, tree / name)
    for name, text in LEFTOVERS.items():
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text(text)
    (tree / ".venv").symlink_to(sys.prefix, target_is_directory=True)
    return tree, files


@pytest.fixture(scope="module")
def dists(sources, tmp_path_factory):
    """(sdist, wheel): `python -m build` makes the source distribution, then the wheel from it."""
    out = tmp_path_factory.mktemp("dist")
    call(sys.executable, "-m", "build", "--outdir", out, sources[0], timeout=900)
    (sdist,) = out.glob("*.tar.gz")
    (wheel,) = out.glob("*.whl")
    return sdist, wheel


def sdist_names(sdist):
    with tarfile.open(sdist) as t:
        return {n.split("/", 1)[1] for n in t.getnames() if "/" in n and t.getmember(n).isfile()}


def fresh_venv(python, where):
    """A virtual environment without pip; the pip of this suite's interpreter installs into it."""
    call(python, "-m", "venv", "--without-pip", where)
    return where / "bin" / "python"


@pytest.fixture(scope="module")
def installed(dists, tmp_path_factory):
    """The interpreter of a fresh environment holding the wheel and its dependencies."""
    python = fresh_venv(sys.executable, tmp_path_factory.mktemp("venv") / "env")
    call(sys.executable, "-m", "pip", "--python", python, "install", "-q", dists[1])
    return python


def pyproject_version():
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    return re.search(r'^version = "([^"]+)"$', text, re.M).group(1)


def test_every_module_under_test_carries_the_version_of_pyproject():
    """The modules this suite imports (a development build or an installed one) report the
    version pyproject.toml declares, the one the distribution's metadata carries."""
    import Cordlink
    import Holdbank
    import Socklink

    assert [m.__version__ for m in (Holdbank, Cordlink, Socklink)] == [pyproject_version()] * 3


def test_one_abi3_wheel_serves_cpython_3_10_and_newer(dists):
    sdist, wheel = dists
    platform = re.sub(r"[-.]", "_", sysconfig.get_platform())
    assert wheel.name == "holdbank_toolkit-0.1.0-cp310-abi3-%s.whl" % platform
    with zipfile.ZipFile(wheel) as z:
        binaries = sorted(n for n in z.namelist() if n.endswith(".so"))
    assert binaries == ["Cordlink.abi3.so", "Holdbank.abi3.so", "Socklink.abi3.so"]
    assert {"pyproject.toml", "CMakeLists.txt", "stubs/Holdbank.pyi", "server/modbus_core.hpp", "LICENSE",
            "CHANGELOG.md", "README.md", "docs/PYPI.md", "examples/pty_rtu_slave.py"} <= sdist_names(sdist)


def test_the_sdist_holds_the_sources_and_nothing_a_working_tree_leaves_behind(sources, dists):
    files = sources[1]
    if files is None:
        pytest.skip("not a git checkout: no list of the tree's own files")
    assert sdist_names(dists[0]) == files | {"PKG-INFO"}


def test_the_wheel_carries_the_license_and_the_metadata_for_the_index(dists):
    wheel = dists[1]
    with zipfile.ZipFile(wheel) as z:
        info = "holdbank_toolkit-%s.dist-info/" % pyproject_version()
        license_text = z.read(info + "licenses/LICENSE").decode()
        metadata = email.message_from_bytes(z.read(info + "METADATA"))
    assert license_text == (ROOT / "LICENSE").read_text(encoding="utf-8")
    assert metadata["License-Expression"] == "MIT" and metadata.get_all("License-File") == ["LICENSE"]
    # No license classifier beside the SPDX expression: PEP 639 forbids the pair.
    classifiers = set(metadata.get_all("Classifier"))
    assert not any(c.startswith("License ::") for c in classifiers)
    assert {"Programming Language :: Python :: 3 :: Only", "Programming Language :: Python :: 3.10",
            "Programming Language :: Python :: 3.13", "Programming Language :: Python :: Implementation :: CPython",
            "Operating System :: POSIX :: Linux", "Topic :: System :: Hardware"} <= classifiers
    assert metadata["Requires-Python"] == ">=3.10"
    # The index shows the users' page, whose links must work away from the repository.
    assert metadata["Description-Content-Type"] == "text/markdown"
    description = metadata.get_payload()
    assert description.strip() == (ROOT / "docs" / "PYPI.md").read_text(encoding="utf-8").strip()
    targets = re.findall(r"\]\(([^)]*)\)", description)
    assert targets and all(t.startswith("https://") for t in targets), targets


USE_ALL_THREE = r'''
import os, sys, tempfile
import Holdbank, Cordlink, Socklink

from importlib.metadata import version
for module in (Holdbank, Cordlink, Socklink):
    assert module.__file__.startswith(sys.prefix), module.__file__
    assert module.__version__ == version("holdbank-toolkit"), (module, module.__version__)

port, tests = int(sys.argv[1]), sys.argv[2]
with tempfile.TemporaryDirectory() as workdir:
    bank = Holdbank.CLASS_Holdbank(50, os.path.join(workdir, "bank.json"))
    bank.CUF_Set_ReadWriteRange(10, 49)
    bank.CUF_REG_Write(0, 4321)
    bank.CUF_Open("127.0.0.1", port)
    master = Socklink.CLASS_Socklink()
    assert master.CUF_Open("127.0.0.1", port)
    assert master.CUF_Write_HR_double(10, -2.5)
    assert not master.CUF_Write_HR_int(0, 1)
    assert master.CUF_Read_HR_int(0, 1) == [4321]
    assert master.CUF_Read_HR_double(10, 1) == [-2.5]
    master.CUF_Close()
    bank.CUF_Close()
    assert os.path.exists(os.path.join(workdir, "bank.json"))

sys.path.append(tests)
from rtu_slave import RtuSlave
line = RtuSlave(units=(7,))
rtu = Cordlink.CLASS_Cordlink()
assert rtu.CUF_Open(line.port)
assert rtu.CUF_Write_HR_str(0, "OK", slave=7)
assert rtu.CUF_Read_HR_long(0, 1, slave=7) == [0x4F4B0000]
rtu.CUF_Close()
line.close()

errors = []
missing = Cordlink.CLASS_Cordlink()
missing.CUE_OnError = errors.append
assert missing.CUF_Open(os.path.join(tests, "no-such-port")) is False
assert errors and errors[0].startswith("Connection Failed to "), errors
print("all three modules work")
'''


def test_the_installed_wheel_serves_and_masters_from_a_fresh_environment(installed, tmp_path):
    (tmp_path / "use.py").write_text(USE_ALL_THREE)
    out = call(installed, "use.py", free_port(), TESTS, cwd=tmp_path, timeout=120)
    assert "all three modules work" in out


def test_the_installed_wheel_carries_the_holdbank_command_without_its_extra(dists, installed, tmp_path):
    """The console script works from the wheel alone: no rich (the cli extra), plain text."""
    with zipfile.ZipFile(dists[1]) as z:
        assert "holdbank_cli/main.py" in z.namelist()
    holdbank = installed.parent / "holdbank"
    probe = call(installed, "-c", "import importlib.util as u; print(u.find_spec('rich') is None)", cwd=tmp_path)
    assert probe.strip() == "True"
    assert call(holdbank, "--version", cwd=tmp_path).strip() == "holdbank " + pyproject_version()
    usage = call(holdbank, "--help", cwd=tmp_path)
    assert all(" %s " % command in usage for command in ("serve", "read", "write", "watch", "scan")), usage
    assert call(installed, "-m", "holdbank_cli", "--version", cwd=tmp_path).strip() == "holdbank " + pyproject_version()


@pytest.mark.parametrize("version", ["3.6.9", "3.16.1"], ids=["oldest", "newest"])
def test_installing_keeps_the_pymodbus_already_there(dists, tmp_path, version):
    """An environment that already holds a pymodbus 3.x the masters take keeps it, the newest
    as much as the oldest, and the masters import with it."""
    python = fresh_venv(sys.executable, tmp_path / "env")
    call(sys.executable, "-m", "pip", "--python", python, "install", "-q", "pymodbus[serial]==" + version)
    call(sys.executable, "-m", "pip", "--python", python, "install", "-q", dists[1])
    out = call(python, "-c", "import pymodbus, Cordlink, Socklink; print(pymodbus.__version__)", cwd=tmp_path)
    assert out.strip() == version


# Each line marked "# E" must get an error, and no other line may: without the stubs every use
# of the modules would pass unchecked and the import itself would fail in strict mode.
STUBBED = """
import Cordlink, Holdbank, Socklink
floats: list[float] = Cordlink.CLASS_Cordlink().CUF_Read_HR_double(0, 1, slave=2)
Cordlink.CLASS_Cordlink().CUF_Read_HR_int(0, 1, unit=2)  # E
text: str = Holdbank.CLASS_Holdbank().CUF_REG_Read(0)  # E
Socklink.CLASS_Socklink().CUE_OnPacketREAD = lambda: None  # E
"""


def test_mypy_takes_the_installed_stubs(installed, tmp_path):
    (tmp_path / "typed.py").write_text(STUBBED)
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--python-executable",
                           str(installed), "typed.py"], cwd=tmp_path, env=clean_env(), capture_output=True,
                          text=True, timeout=300)
    expected = {n for n, text in enumerate(STUBBED.splitlines(), 1) if "# E" in text}
    reported = {int(n) for n in re.findall(r"^typed\.py:(\d+): error:", done.stdout, re.M)}
    assert done.returncode == 1 and reported == expected, done.stdout + done.stderr


def python_3_10():
    """A CPython 3.10 interpreter that runs, or None."""
    candidates = sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/3.10*/bin/python3.10")))
    candidates += [shutil.which("python3.10")] if shutil.which("python3.10") else []
    for candidate in candidates:
        probe = subprocess.run([candidate, "-c", "import sys; print(sys.version_info[:2] == (3, 10))"],
                               env=clean_env(), capture_output=True, text=True, timeout=30)
        if probe.stdout.strip() == "True":
            return candidate
    return None


SERVE_ON_3_10 = r'''
import socket, struct, sys, tempfile, os
import Holdbank

assert sys.version_info[:2] == (3, 10) and Holdbank.__file__.startswith(sys.prefix)
with tempfile.TemporaryDirectory() as workdir:
    bank = Holdbank.CLASS_Holdbank(10, os.path.join(workdir, "bank.json"))
    bank.CUF_REG_WriteSTR(0, "3.10")
    bank.CUF_Open("127.0.0.1", int(sys.argv[1]))
    with socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5) as s:
        s.sendall(struct.pack(">HHHBBHH", 9, 0, 6, 1, 3, 0, 2))
        answer = b""
        while len(answer) < 13:
            chunk = s.recv(13 - len(answer))
            assert chunk, answer
            answer += chunk
    bank.CUF_Close()
assert answer == struct.pack(">HHHBBB", 9, 0, 7, 1, 3, 4) + b"3.10", answer
print("served on 3.10")
'''


def test_the_same_wheel_serves_on_cpython_3_10(dists, tmp_path):
    python = python_3_10()
    if python is None:
        pytest.skip("no CPython 3.10 on this machine")
    env_python = fresh_venv(python, tmp_path / "env310")
    # The server module needs nothing beyond the standard library, so the masters' dependency stays out.
    call(sys.executable, "-m", "pip", "--python", env_python, "install", "-q", "--no-deps", dists[1])
    (tmp_path / "serve.py").write_text(SERVE_ON_3_10)
    out = call(env_python, "serve.py", free_port(), cwd=tmp_path, timeout=120)
    assert "served on 3.10" in out
