"""The guide runs as written: every ```python block of README.md and of the package index page
(docs/PYPI.md) runs on its own in a fresh interpreter, in an empty folder, and exits 0. A block
that uses Cordlink gets the port of the example RTU slave on a pseudo-terminal as its argument,
as the guide tells a reader without hardware to run it."""
import re
import select
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
GUIDES = ("README.md", "docs/PYPI.md")
FENCE = re.compile(r"^(?P<indent>[ \t]*)```python[ \t]*\n(?P<body>.*?)^(?P=indent)```[ \t]*$", re.M | re.S)


def python_blocks():
    """(guide, line of the fence, heading above it, code) for every python block of the guides."""
    found = []
    for guide in GUIDES:
        text = (ROOT / guide).read_text(encoding="utf-8")
        for match in FENCE.finditer(text):
            line = text.count("\n", 0, match.start()) + 1
            headings = re.findall(r"^#+ (.+)$", text[: match.start()], re.M)
            code = textwrap.dedent(match.group("body"))
            found.append(pytest.param(guide, line, code, id="%s:%d %s" % (guide, line, headings[-1] if headings else "")))
    return found


def test_the_guides_hold_python_blocks():
    """The extraction itself: a change of fence style must not make every block vanish unseen."""
    assert {param.values[0] for param in python_blocks()} == set(GUIDES)


@pytest.fixture(scope="module")
def rtu_port():
    """The example slave, started as the guide says, serving units 1 and 2; its printed port."""
    slave = subprocess.Popen([sys.executable, "-u", str(ROOT / "examples" / "pty_rtu_slave.py"), "--units", "1,2"],
                             stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    try:
        ready, _, _ = select.select([slave.stdout], [], [], 30)
        assert ready, "the example slave printed no port"
        port = slave.stdout.readline().strip()
        assert port.startswith("/dev/"), port
        yield port
    finally:
        slave.kill()
        slave.wait(timeout=10)


@pytest.mark.timeout(120)
@pytest.mark.parametrize("guide, line, code", python_blocks())
def test_python_block_runs_on_its_own(guide, line, code, tmp_path, request):
    args = [request.getfixturevalue("rtu_port")] if "Cordlink" in code else []
    (tmp_path / "block.py").write_text(code, encoding="utf-8")
    done = subprocess.run([sys.executable, "block.py", *args], cwd=tmp_path, capture_output=True, text=True,
                          timeout=90)
    assert done.returncode == 0, "%s line %d exited %d:\n%s\n--- stdout\n%s\n--- stderr\n%s" % (
        guide, line, done.returncode, code, done.stdout[-3000:], done.stderr[-3000:])
