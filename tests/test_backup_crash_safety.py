"""A save that is killed at any moment leaves the previous complete backup or the new one, never a
torn one."""
import json
import os
import random
import selectors
import signal
import subprocess
import sys
import time

import pytest

import Holdbank

# Says when each save begins and ends, so the test can aim its kills at saves and know afterwards
# which generations the file may hold.
SAVER = r"""
import sys
sys.path.insert(0, sys.argv[1])
import Holdbank
bank = Holdbank.CLASS_Holdbank(2000, sys.argv[2])
bank.CUF_Set_ReadWriteRange(0, 999)
generation = 0
while True:
    generation = (generation + 1) % 65536
    for addr in range(2000):
        bank.CUF_REG_Write(addr, generation)
    print("saving", generation, flush=True)
    bank.CUF_SaveToFile(sys.argv[2])
    print("saved", generation, flush=True)
"""

# Kills that must land inside a save, and how many of those must land before the new file is in
# place (the kills the old file has to survive). A loaded machine only makes each kill slower: the
# count asked for is the same.
KILLS_IN_A_SAVE = 40
KILLS_BEFORE_THE_REPLACE = 10
MAX_KILLS = 300
DEADLINE = 240  # seconds for the whole test


class Lines:
    """A child's stdout as (time, line) pairs, read with a deadline."""

    def __init__(self, stream):
        self.stream = stream
        self.buffer = b""
        self.selector = selectors.DefaultSelector()
        self.selector.register(stream, selectors.EVENT_READ)

    def next(self, deadline):
        while b"\n" not in self.buffer:
            left = deadline - time.monotonic()
            if left <= 0 or not self.selector.select(timeout=left):
                raise TimeoutError("the saver said nothing in time")
            chunk = os.read(self.stream.fileno(), 65536)
            if not chunk:
                return None
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return time.monotonic(), line.decode(errors="replace")

    def rest(self, deadline):
        """Every line up to the end of the stream (the child is dead)."""
        found = []
        while (item := self.next(deadline)) is not None:
            found.append(item[1])
        return found

    def close(self):
        self.selector.close()


def progress(line):
    """("saving" or "saved", generation), or None for the server's own lines."""
    words = line.split()
    if len(words) == 2 and words[0] in ("saving", "saved"):
        return words[0], int(words[1])
    return None


def kill_during_a_save(path, module_dir, rng, deadline):
    """Starts a saver, lets one save complete to time it, then kills the saver at a random moment
    of the save after it. Returns (the last generation whose save began, whether that save said
    it had finished)."""
    child = subprocess.Popen([sys.executable, "-c", SAVER, module_dir, str(path)],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = Lines(child.stdout)
    try:
        began = None
        took = None
        while took is None:
            item = lines.next(deadline)
            assert item is not None, "the saver ended by itself"
            step = progress(item[1])
            if step and step[0] == "saving":
                began = item[0]
            elif step and step[0] == "saved" and began is not None:
                took = item[0] - began
        while True:
            item = lines.next(deadline)
            assert item is not None, "the saver ended by itself"
            step = progress(item[1])
            if step and step[0] == "saving":
                break
        time.sleep(rng.uniform(0.0, took))
    finally:
        child.send_signal(signal.SIGKILL)
        child.wait(10)
    try:
        said = [s for s in map(progress, lines.rest(time.monotonic() + 10)) if s]
    finally:
        lines.close()
        child.stdout.close()
    last = step[1]
    finished = False
    for word, generation in said:
        if word == "saving":
            last, finished = generation, False
        elif generation == last:
            finished = True
    return last, finished


@pytest.mark.timeout(DEADLINE + 60)
def test_killed_saver_always_leaves_one_complete_snapshot(tmp_path):
    path = tmp_path / "bank.json"
    module_dir = os.path.dirname(Holdbank.__file__)
    rng = random.Random(1234)
    deadline = time.monotonic() + DEADLINE
    in_a_save = before_the_replace = kills = 0
    while (in_a_save < KILLS_IN_A_SAVE or before_the_replace < KILLS_BEFORE_THE_REPLACE) and kills < MAX_KILLS:
        assert time.monotonic() < deadline, (
            "%d kills in %d s: %d inside a save, %d of them before the replace" % (
                kills, DEADLINE, in_a_save, before_the_replace))
        last, finished = kill_during_a_save(path, module_dir, rng, deadline)
        kills += 1

        data = json.loads(path.read_text(encoding="utf-8"))
        assert list(data) == ["READ_WRITE", "READ_ONLY"]
        assert list(data["READ_WRITE"]) == [str(a) for a in range(1000)]
        assert list(data["READ_ONLY"]) == [str(a) for a in range(1000, 2000)]
        values = set(data["READ_WRITE"].values()) | set(data["READ_ONLY"].values())
        assert len(values) == 1, "a torn snapshot mixes generations"
        (held,) = values
        # The old file or the new one: the last save begun, or the one before it if that save
        # had not finished.
        allowed = {last} if finished else {last, last - 1}
        assert held in allowed, "the file holds generation %d after the save of %d %s" % (
            held, last, "finished" if finished else "was killed")
        if not finished:
            in_a_save += 1
            before_the_replace += held == last - 1
        loaded = Holdbank.CLASS_Holdbank(2000, str(tmp_path / "other.json"))
        assert loaded.CUF_LoadFromFile(str(path)) is True
        assert set(loaded.hr) == values
    assert in_a_save >= KILLS_IN_A_SAVE and before_the_replace >= KILLS_BEFORE_THE_REPLACE, (
        "of %d kills only %d landed inside a save, %d of them before the replace" % (
            kills, in_a_save, before_the_replace))
