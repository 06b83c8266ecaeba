"""A save that is killed at any moment leaves the previous complete backup, never a torn one."""
import json
import os
import random
import signal
import subprocess
import sys
import time

import Holdbank

SAVER = r"""
import sys
sys.path.insert(0, sys.argv[1])
import Holdbank
bank = Holdbank.CLASS_Holdbank(2000, sys.argv[2])
bank.CUF_Set_ReadWriteRange(0, 999)
generation = 0
print("ready", flush=True)
while True:
    generation = (generation + 1) % 65536
    for addr in range(2000):
        bank.CUF_REG_Write(addr, generation)
    bank.CUF_SaveToFile(sys.argv[2])
"""


def test_killed_saver_always_leaves_one_complete_snapshot(tmp_path):
    path = tmp_path / "bank.json"
    module_dir = os.path.dirname(Holdbank.__file__)
    rng = random.Random(1234)
    generations = set()
    for _ in range(100):
        child = subprocess.Popen([sys.executable, "-c", SAVER, module_dir, str(path)],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            assert child.stdout.readline() == "ready\n"
            time.sleep(rng.uniform(0.0, 0.08))
        finally:
            child.send_signal(signal.SIGKILL)
            child.wait(10)
            child.stdout.close()
        if not path.exists():
            continue  # killed before its first save finished: nothing was promised yet
        data = json.loads(path.read_text(encoding="utf-8"))
        assert list(data) == ["READ_WRITE", "READ_ONLY"]
        assert list(data["READ_WRITE"]) == [str(a) for a in range(1000)]
        assert list(data["READ_ONLY"]) == [str(a) for a in range(1000, 2000)]
        values = set(data["READ_WRITE"].values()) | set(data["READ_ONLY"].values())
        assert len(values) == 1, "a torn snapshot mixes generations"
        generations |= values
        loaded = Holdbank.CLASS_Holdbank(2000, str(tmp_path / "other.json"))
        assert loaded.CUF_LoadFromFile(str(path)) is True
        assert set(loaded.hr) == values
    assert len(generations) > 10  # the kills really landed at many different moments
