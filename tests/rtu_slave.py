"""The RTU slave on a pseudo-terminal that the tests use against real serial masters: the one the
project ships as examples/pty_rtu_slave.py, so the tests exercise the example users run."""
import sys
from pathlib import Path

_EXAMPLES = str(Path(__file__).resolve().parent.parent / "examples")
if _EXAMPLES not in sys.path:
    sys.path.insert(0, _EXAMPLES)

from pty_rtu_slave import RtuSlave, crc16, frame  # noqa: E402

__all__ = ["RtuSlave", "crc16", "frame"]
