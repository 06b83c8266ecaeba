"""The register backup file: the JSON layout a save writes, the save that never leaves a
half-written file behind, and the restore that stores a whole file or nothing."""
import json
import logging
import os
import random
import select
import selectors
import shutil
import socket
import stat
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import Holdbank
from child_checks import LINUX_ONLY, check_child
from conftest import wait_until
from pythons import child_env, each_python, holdbank_only, skip_other_under_asan  # noqa: F401

SAVED = "[Holdbank] 💾 Register successful save to json file: "


def make_bank(size=3, values=None, backup="default.json"):
    bank = Holdbank.CLASS_Holdbank(size, backup)
    if values is not None:
        bank.hr[: len(values)] = values
    return bank


def bank_text(size, values):
    """The file of a bank with no range configured: everything is read-write."""
    bank = make_bank(size, values)
    section = {str(i): v for i, v in enumerate(bank.hr)}
    return json.dumps({"READ_WRITE": section, "READ_ONLY": {}}, indent=4, ensure_ascii=False)


# ---- what a save writes -----------------------------------------------------------------------

THREE_FRESH = """{
    "READ_WRITE": {
        "0": 0,
        "1": 0,
        "2": 0
    },
    "READ_ONLY": {}
}"""

THREE_SPLIT = """{
    "READ_WRITE": {
        "0": 5,
        "1": 6
    },
    "READ_ONLY": {
        "2": 7
    }
}"""


@pytest.mark.parametrize(
    "values, rw_range, expected",
    [(None, None, THREE_FRESH), ([5, 6, 7], (0, 1), THREE_SPLIT)],
    ids=["no-range", "read-write-0-1"],
)
def test_save_writes_the_exact_layout(tmp_path, capsys, values, rw_range, expected):
    bank = make_bank(3, values)
    if rw_range:
        bank.CUF_Set_ReadWriteRange(*rw_range)
    target = str(tmp_path / "bank.json")
    assert bank.CUF_SaveToFile(target) is None
    assert (tmp_path / "bank.json").read_bytes() == expected.encode()
    assert capsys.readouterr().out == SAVED + target + "\n"


def test_save_sorts_by_a_subclass_is_writable(tmp_path):
    class EvenWritable(Holdbank.CLASS_Holdbank):
        # Reads the bank from inside the save's hold of the lock.
        def _is_writable(self, reg):
            return self.CUF_REG_Read(reg) % 2 == 0

    bank = EvenWritable(4, "unused.json")
    bank.hr[:] = [10, 11, 12, 13]
    bank.CUF_SaveToFile(str(tmp_path / "b.json"))
    saved = json.loads((tmp_path / "b.json").read_text())
    assert saved == {"READ_WRITE": {"0": 10, "2": 12}, "READ_ONLY": {"1": 11, "3": 13}}
    assert list(saved) == ["READ_WRITE", "READ_ONLY"]


# ---- save errors reach the caller -------------------------------------------------------------


@pytest.mark.parametrize(
    "name, error",
    [
        ("missing/b.json", FileNotFoundError),
        ("plain.txt/b.json", NotADirectoryError),
        ("folder", IsADirectoryError),
    ],
)
def test_save_error_names_the_given_file(tmp_path, capsys, name, error):
    (tmp_path / "plain.txt").write_text("keep")
    (tmp_path / "folder").mkdir()
    target = str(tmp_path / name)
    with pytest.raises(error) as info:
        make_bank().CUF_SaveToFile(target)
    assert info.value.filename == target
    assert sorted(os.listdir(tmp_path)) == ["folder", "plain.txt"]
    assert os.listdir(tmp_path / "folder") == []
    assert capsys.readouterr().out == ""


def test_save_without_a_name_raises_type_error(capsys):
    with pytest.raises(TypeError):
        make_bank().CUF_SaveToFile(None)
    assert capsys.readouterr().out == ""


# ---- a failed save leaves the previous file as it was -------------------------------------------


@pytest.fixture
def previous(tmp_path):
    """A backup file saved earlier, with its exact bytes."""
    path = tmp_path / "bank.json"
    make_bank(3, [1, 2, 3]).CUF_SaveToFile(str(path))
    return path, path.read_bytes()


def test_save_of_a_value_json_cannot_write_keeps_the_old_file(previous, capsys):
    path, before = previous
    capsys.readouterr()
    bank = make_bank(3000)
    bank.hr[2500] = object()  # fails well after the first bytes are written
    with pytest.raises(TypeError):
        bank.CUF_SaveToFile(str(path))
    assert path.read_bytes() == before
    assert os.listdir(path.parent) == ["bank.json"]
    assert capsys.readouterr().out == ""


def test_save_failing_on_disk_output_keeps_the_old_file(previous):
    # A file size limit makes the operating system refuse the write part-way, for root too.
    path, before = previous
    script = textwrap.dedent(
        """
        import resource, signal, sys
        import Holdbank
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (4096, resource.RLIM_INFINITY))
        try:
            Holdbank.CLASS_Holdbank(7000, "unused").CUF_SaveToFile(sys.argv[1])
        except OSError as e:
            print(e.errno)
        """
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(
        [os.path.dirname(Holdbank.__file__)] + ([env["PYTHONPATH"]] if env.get("PYTHONPATH") else [])
    )
    done = subprocess.run(
        [sys.executable, "-c", script, str(path)], env=env, capture_output=True, text=True, timeout=30
    )
    assert done.stdout.strip() == "27", done.stdout + done.stderr  # EFBIG
    assert path.read_bytes() == before
    assert os.listdir(path.parent) == ["bank.json"]


@pytest.fixture
def immutable():
    """Marks a path immutable (root cannot write it either); skips where the file system cannot."""
    marked = []

    def mark(path):
        done = subprocess.run(["chattr", "+i", str(path)], capture_output=True, timeout=10)
        if done.returncode != 0:
            pytest.skip("chattr +i is not available here")
        marked.append(path)

    yield mark
    for path in marked:
        subprocess.run(["chattr", "-i", str(path)], timeout=10)


@pytest.mark.parametrize("locked", ["folder", "file"])
def test_save_refused_by_the_file_system_keeps_the_old_file(previous, immutable, locked, capsys):
    # A locked folder takes no temporary file; a locked file cannot be opened for writing.
    path, before = previous
    capsys.readouterr()
    immutable(path.parent if locked == "folder" else path)
    with pytest.raises(PermissionError) as info:
        make_bank(3, [9, 9, 9]).CUF_SaveToFile(str(path))
    assert info.value.filename == str(path)
    assert path.read_bytes() == before
    assert os.listdir(path.parent) == ["bank.json"]
    assert capsys.readouterr().out == ""


# ---- what a save replaces, and what it writes through ---------------------------------------------


@pytest.mark.parametrize("target_exists", [True, False], ids=["existing-target", "dangling-link"])
def test_save_through_a_symlink_replaces_its_target(tmp_path, target_exists):
    real_dir = tmp_path / "real"
    real_dir.mkdir()
    target = real_dir / "bank.json"
    if target_exists:
        target.write_text("old")
    link = tmp_path / "link.json"
    link.symlink_to(target)
    make_bank(2, [4, 5]).CUF_SaveToFile(str(link))
    assert link.is_symlink() and os.readlink(link) == str(target)
    assert target.read_text() == bank_text(2, [4, 5])
    assert sorted(os.listdir(tmp_path)) == ["link.json", "real"]
    assert os.listdir(real_dir) == ["bank.json"]


def test_save_keeps_the_permission_bits_of_the_old_file(previous):
    path, _ = previous
    os.chmod(path, 0o614)
    make_bank(3, [7, 7, 7]).CUF_SaveToFile(str(path))
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o614
    assert path.read_text() == bank_text(3, [7, 7, 7])


ROOT_ONLY = pytest.mark.skipif(not hasattr(os, "geteuid") or os.geteuid() != 0,
                               reason="changing owners needs root")
SAVER_UID, SAVER_GID, SAVER_GROUP = 12345, 23456, 34567  # a user with no name, and a group of its


@ROOT_ONLY
def test_save_as_root_keeps_the_owner_group_and_mode_of_another_users_file(previous):
    path, _ = previous
    os.chown(path, SAVER_UID, SAVER_GID)
    os.chmod(path, 0o6754)  # set-id bits: a change of owner after the mode would clear them
    make_bank(3, [7, 7, 7]).CUF_SaveToFile(str(path))
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (SAVER_UID, SAVER_GID, 0o6754)
    assert path.read_text() == bank_text(3, [7, 7, 7])


@pytest.fixture
def shared_folder():
    """A folder every user may write, outside pytest's own (which only root may enter)."""
    import shutil
    import tempfile

    folder = tempfile.mkdtemp(prefix="holdbank-shared-")
    os.chmod(folder, 0o777)
    yield folder
    shutil.rmtree(folder)


def exit_code_as(uid, gid, groups, action, timeout=30):
    """Runs `action` in a forked child that has become the given user; its exit code (0: done)."""
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            os.setgroups(groups)
            os.setgid(gid)
            os.setuid(uid)
            action()
            code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        if time.monotonic() > deadline:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            pytest.fail("the child did not end within %d s" % timeout)
        time.sleep(0.01)


@ROOT_ONLY
@pytest.mark.parametrize("file_group, kept_group", [(0, SAVER_GID), (SAVER_GROUP, SAVER_GROUP)],
                         ids=["group-of-others", "group-of-the-saver"])
def test_save_by_a_user_who_may_not_keep_the_owner_still_saves(shared_folder, file_group, kept_group):
    # A user may not give a file away, and may give it only a group of their own.
    path = os.path.join(shared_folder, "bank.json")
    make_bank(3, [1, 2, 3]).CUF_SaveToFile(path)
    os.chown(path, 0, file_group)
    os.chmod(path, 0o666)
    bank = make_bank(3, [8, 8, 8])
    assert exit_code_as(SAVER_UID, SAVER_GID, [SAVER_GROUP], lambda: bank.CUF_SaveToFile(path)) == 0
    st = os.stat(path)
    assert (st.st_uid, st.st_gid, stat.S_IMODE(st.st_mode)) == (SAVER_UID, kept_group, 0o666)
    with open(path, encoding="utf-8") as f:
        assert f.read() == bank_text(3, [8, 8, 8])
    assert os.listdir(shared_folder) == ["bank.json"]


def test_save_creates_a_new_file_with_the_umask_mode(tmp_path):
    old = os.umask(0o027)
    try:
        make_bank().CUF_SaveToFile(str(tmp_path / "new.json"))
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(tmp_path / "new.json").st_mode) == 0o640


def test_save_to_dev_null_writes_through_the_device():
    make_bank().CUF_SaveToFile("/dev/null")
    assert stat.S_ISCHR(os.stat("/dev/null").st_mode)
    assert not [n for n in os.listdir("/dev") if n.startswith(".holdbank-")]


def test_save_to_a_fifo_writes_through_it_without_the_lock(tmp_path):
    # The text is larger than a pipe holds, so the save waits on the reader mid-write.
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    bank = make_bank(7000, [i % 65536 for i in range(7000)])
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    errors = []

    def save():
        try:
            bank.CUF_SaveToFile(str(fifo))
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    saver = threading.Thread(target=save, daemon=True)
    saver.start()
    chunks = []
    try:
        assert select.select([reader], [], [], 10)[0], "no data from the save"
        chunks.append(os.read(reader, 4096))
        assert saver.is_alive()
        assert not bank.lock.locked()
        while True:
            assert select.select([reader], [], [], 10)[0], "the save stalled"
            chunk = os.read(reader, 65536)
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(reader)
    saver.join(10)
    assert not saver.is_alive() and errors == []
    assert stat.S_ISFIFO(os.stat(fifo).st_mode)
    assert os.listdir(tmp_path) == ["pipe"]
    assert b"".join(chunks).decode() == bank_text(7000, bank.hr)


# ---- what a load restores ---------------------------------------------------------------------


def test_round_trip_restores_every_register(tmp_path, capsys):
    values = [(i * 7919) % 65536 for i in range(7000)]
    source = make_bank(7000, values)
    source.CUF_Set_ReadWriteRange(100, 199)
    path = str(tmp_path / "full.json")
    source.CUF_SaveToFile(path)
    capsys.readouterr()

    restored = make_bank(7000)
    restored.CUF_Set_ReadOnlyRange(0, 6999)  # ranges in force do not matter to a load
    assert restored.CUF_LoadFromFile(path) is True
    assert restored.hr == values
    assert restored.default_backup_file == path
    assert capsys.readouterr().out == "[Holdbank] 📂 Load file " + path + "，recover 7000 reg. values。\n"


def test_large_file_into_a_small_bank_fills_what_fits(tmp_path, capsys):
    values = [i + 1 for i in range(7000)]
    path = str(tmp_path / "full.json")
    make_bank(7000, values).CUF_SaveToFile(path)
    capsys.readouterr()
    small = make_bank(100)
    assert small.CUF_LoadFromFile(path) is True
    assert small.hr == values[:100]
    assert "，recover 100 reg. values。" in capsys.readouterr().out


def load_text(tmp_path, text, bank):
    path = tmp_path / "in.json"
    path.write_text(text, encoding="utf-8")
    return bank.CUF_LoadFromFile(str(path))


@pytest.mark.parametrize(
    "content, stored, count",
    [
        # the same address in both sections: stored twice, the read-only value last
        ({"READ_WRITE": {"1": 10}, "READ_ONLY": {"1": 20}}, {1: 20}, 2),
        # negative and beyond-bank addresses are skipped and not counted
        ({"READ_WRITE": {"-1": 5, "0": 6, "5": 7}, "READ_ONLY": {"9": 8, "2": 9}}, {0: 6, 2: 9}, 2),
        # other members ignored, sections may be missing
        ({"OTHER": [1], "READ_ONLY": {"3": 4}}, {3: 4}, 1),
        ({}, {}, 0),
    ],
    ids=["both-sections", "outside-bank", "other-members", "empty-object"],
)
def test_load_stores_the_entries_inside_the_bank(tmp_path, capsys, content, stored, count):
    bank = make_bank(5, [100] * 5)
    assert load_text(tmp_path, json.dumps(content), bank) is True
    assert bank.hr == [stored.get(i, 100) for i in range(5)]
    assert capsys.readouterr().out.endswith("，recover %d reg. values。\n" % count)


@pytest.mark.parametrize(
    "name, value, addr, expected",
    [
        ('" 12 "', "5", 12, 5),
        ('"+3"', "7", 3, 7),
        ('"4"', "1.9", 4, 1),
        ('"6"', "-0.5", 6, 0),
        ('"5"', '"42"', 5, 42),
        ('"7"', "true", 7, 1),
        ('"8"', "false", 8, 0),
        ('"9"', "65535", 9, 65535),
    ],
)
def test_load_accepts_integer_forms(tmp_path, name, value, addr, expected):
    bank = make_bank(20, [99] * 20)
    assert load_text(tmp_path, '{"READ_ONLY": {%s: %s}}' % (name, value), bank) is True
    assert bank.hr[addr] == expected and type(bank.hr[addr]) is int


# ---- a load that fails changes nothing ----------------------------------------------------------

GOOD_FIRST = '{"READ_WRITE": {"0": 1, "1": 2}, "READ_ONLY": {"2": %s}}'


@pytest.mark.parametrize(
    "raw, message",
    [
        (b"null", "not hold a JSON object"),
        (b"", "Expecting value"),
        (b"\xef\xbb\xbf" + json.dumps({"READ_WRITE": {"0": 1}}).encode(), "BOM"),
        (b'{"READ_WRITE": {"0": "\xff"}}', "utf-8"),
        (b'{"READ_WRITE": {"0": 1}', "Expecting"),
        (b'["READ_WRITE", "READ_ONLY"]', "not hold a JSON object"),
        (b"[]", "not hold a JSON object"),
        (b'"READ_WRITE"', "not hold a JSON object"),
        (b'"plain text"', "not hold a JSON object"),
        (b"12", "not hold a JSON object"),
        (b"true", "not hold a JSON object"),
        (b'{"READ_WRITE": {"0": 1}, "READ_ONLY": []}', "section READ_ONLY is not a JSON object"),
        (b'{"READ_WRITE": "0"}', "section READ_WRITE is not a JSON object"),
        (b'{"READ_WRITE": {"0": 1}, "READ_ONLY": 5}', "section READ_ONLY is not a JSON object"),
        ((GOOD_FIRST % "65536").encode(), "register 2 in READ_ONLY: value 65536"),
        ((GOOD_FIRST % "-1").encode(), "register 2 in READ_ONLY: value -1"),
        ((GOOD_FIRST % '"x"').encode(), "invalid literal for int()"),
        ((GOOD_FIRST % "null").encode(), "NoneType"),
        ((GOOD_FIRST % "[1]").encode(), "list"),
        ((GOOD_FIRST % "Infinity").encode(), "infinity"),
        (b'{"READ_WRITE": {"0": 1, "x": 2}}', "invalid literal for int()"),
        # a bad value is refused also where its address lies outside the bank
        (b'{"READ_WRITE": {"0": 1, "50": 70000}}', "register 50 in READ_WRITE: value 70000"),
    ],
    ids=[
        "null", "empty", "byte-order-mark", "not-utf8", "truncated",
        "array-with-names", "array", "text-with-name", "text", "number", "true",
        "section-array", "section-text", "section-number",
        "value-65536", "value-minus-1", "value-text", "value-null", "value-list", "value-infinity",
        "name-text", "value-outside-bank",
    ],
)
def test_bad_file_stores_nothing_and_logs_the_error(tmp_path, capsys, holdbank_log, raw, message):
    bank = make_bank(5, [100] * 5)
    path = tmp_path / "in.json"
    path.write_bytes(raw)
    assert bank.CUF_LoadFromFile(str(path)) is False
    assert bank.hr == [100] * 5
    assert bank.default_backup_file == "default.json"
    [(level, text)] = holdbank_log.entries()
    assert level == logging.ERROR and text.startswith("reg. file load faillure: ")
    assert message in text
    assert capsys.readouterr().out == ""


def test_directory_name_fails_to_load(tmp_path, holdbank_log):
    bank = make_bank()
    assert bank.CUF_LoadFromFile(str(tmp_path)) is False
    assert holdbank_log.entries() == [(logging.ERROR, "reg. file load faillure: [Errno 21] Is a directory: '%s'" % tmp_path)]
    assert bank.default_backup_file == "default.json"


def test_missing_file_only_warns(tmp_path, capsys, holdbank_log):
    bank = make_bank(3, [1, 2, 3])
    name = str(tmp_path / "absent.json")
    assert bank.CUF_LoadFromFile(name) is False
    assert holdbank_log.entries() == [(logging.WARNING, "指定載入的檔案不存在: " + name)]
    assert bank.hr == [1, 2, 3] and bank.default_backup_file == "default.json"
    assert capsys.readouterr().out == ""


def test_load_reads_the_file_without_holding_the_lock(tmp_path):
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    bank = make_bank(3)
    result = []
    loader = threading.Thread(target=lambda: result.append(bank.CUF_LoadFromFile(str(fifo))), daemon=True)
    loader.start()
    writer = []

    def open_writer():
        try:
            writer.append(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))  # only once the load reads
            return True
        except OSError:
            return False

    wait_until(open_writer)
    try:
        os.write(writer[0], b'{"READ_WRITE": {"0": 1,')
        assert loader.is_alive()
        assert not bank.lock.locked()
        os.write(writer[0], b' "2": 3}}')
    finally:
        os.close(writer[0])
    loader.join(10)
    assert result == [True] and bank.hr == [1, 0, 3]


# ---- the file the close procedure writes to -----------------------------------------------------


def test_close_saves_to_the_file_last_loaded(tmp_path):
    loaded = tmp_path / "loaded.json"
    loaded.write_text(json.dumps({"READ_WRITE": {"0": 8}}))
    bank = make_bank(2, backup=str(tmp_path / "default.json"))
    assert bank.CUF_LoadFromFile(str(loaded)) is True
    bank.CUF_Close()
    assert loaded.read_text() == bank_text(2, [8, 0])
    assert not (tmp_path / "default.json").exists()


def test_close_after_a_bad_load_leaves_the_bad_file_alone(tmp_path):
    bad = tmp_path / "bad.json"
    bad.write_text(GOOD_FIRST % "70000")
    before = bad.read_bytes()
    bank = make_bank(3, [4, 5, 6], backup=str(tmp_path / "default.json"))
    assert bank.CUF_LoadFromFile(str(bad)) is False
    bank.CUF_Close()
    assert bad.read_bytes() == before
    assert (tmp_path / "default.json").read_text() == bank_text(3, [4, 5, 6])


def test_a_save_closes_no_descriptor_but_its_own(tmp_path):
    """Descriptors that other threads open while saves run stay theirs. A save that closed one of
    its own descriptors twice closed, the second time, whatever the system had given that number
    meanwhile: a master's socket, say, whose answers then went to another master."""
    bank = Holdbank.CLASS_Holdbank(2000, str(tmp_path / "bank.json"))
    stop = threading.Event()
    lost = []

    def churn():
        while not stop.is_set():
            a, b = socket.socketpair()
            try:
                for _ in range(20):
                    a.send(b"x")
                    b.recv(1)
            except OSError as e:
                lost.append(e)
            finally:
                for s in (a, b):
                    try:
                        s.close()
                    except OSError as e:  # closed already, by somebody else
                        lost.append(e)

    threads = [threading.Thread(target=churn, daemon=True) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(300):
            bank.CUF_SaveToFile(str(tmp_path / "bank.json"))
    finally:
        stop.set()
        for t in threads:
            t.join(10)
    assert not lost, lost[:3]
# ---- saves killed midway leave nothing behind for long, in child interpreters ----------------------

BIG = 100_000  # registers: a save of this many takes a fifth of a second or more to write
SAVER = r"""
import os, sys
import Holdbank

bank = Holdbank.CLASS_Holdbank(BIG, "unused.json")
bank.hr[:] = [i % 65536 for i in range(BIG)]
print("ready", flush=True)
sys.stdout = open(os.devnull, "w")
while True:
    bank.CUF_SaveToFile(TARGET)
"""
USERS_OWN = {"notes.txt": "the user's own\n", "export.tmp": "also the user's own\n"}


def complete_backup(text):
    """Whether `text` is a whole backup of a BIG bank."""
    try:
        data = json.loads(text)
    except ValueError:
        return False
    return sorted(data) == ["READ_ONLY", "READ_WRITE"] and len(data["READ_ONLY"]) + len(data["READ_WRITE"]) == BIG


def killed_saves(python, holdbank_only, folder, rounds=5, savers=3):
    """Processes saving the folder's backup again and again, killed at random moments, until the
    kills left some file behind; returns the names of what they left."""
    rng = random.Random(6)
    env = child_env(python, holdbank_only)
    expected = {"bank.json", *USERS_OWN}

    def save_until_killed(_):
        script = "BIG, TARGET = %d, %r\n" % (BIG, str(folder / "bank.json")) + SAVER
        child = subprocess.Popen([python, "-c", script], env=env, cwd=folder.parent,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            with selectors.DefaultSelector() as sel:
                sel.register(child.stdout, selectors.EVENT_READ)
                assert sel.select(timeout=20), "a saver never got ready"
            assert child.stdout.readline() == b"ready\n", child.stderr.read().decode(errors="replace")
            time.sleep(rng.uniform(0.05, 0.5))
        finally:
            child.kill()
            child.communicate(timeout=10)

    for _ in range(rounds):
        with ThreadPoolExecutor(max_workers=savers) as pool:
            list(pool.map(save_until_killed, range(savers)))
        left = set(os.listdir(folder)) - expected
        if left:
            return left
    pytest.fail("%d rounds of kills left no file behind: nothing to clean up" % rounds)


_killed_by_python = {}


@pytest.fixture
def after_killed_saves(tmp_path, tmp_path_factory, holdbank_only):
    """Factory: for one interpreter, a folder `saves` holding a complete backup, two files of the
    user's own and what saves killed midway left; returns the folder and the names they left.
    The kills are made once per interpreter: each test gets a copy."""
    def make(python):
        if python not in _killed_by_python:
            template = tmp_path_factory.mktemp("killed") / "saves"
            template.mkdir()
            make_bank(BIG).CUF_SaveToFile(str(template / "bank.json"))
            for name, text in USERS_OWN.items():
                (template / name).write_text(text)
            _killed_by_python[python] = template, killed_saves(python, holdbank_only, template)
        template, left = _killed_by_python[python]
        folder = tmp_path / "saves"
        shutil.copytree(template, folder)
        return folder, left

    return make


def only_the_backup_and_the_users_files(folder, left, after):
    assert sorted(os.listdir(folder)) == sorted({"bank.json", *USERS_OWN}), (
        "after the %s, the folder holds %s; the killed saves had left %s"
        % (after, sorted(os.listdir(folder)), sorted(left)))
    for name, text in USERS_OWN.items():
        assert (folder / name).read_text() == text
    assert complete_backup((folder / "bank.json").read_text())


LATER = r"""
bank = Holdbank.CLASS_Holdbank(BIG, "unused.json")
if ACTION == "save":
    bank.CUF_SaveToFile("saves/bank.json")
else:
    expect(bank.CUF_LoadFromFile("saves/bank.json") is True, "the backup did not load")
print("done")
"""


@LINUX_ONLY
@pytest.mark.parametrize("action", ["save", "load"])
@each_python()
def test_later_save_or_load_removes_what_killed_saves_left(python, action, after_killed_saves, holdbank_only):
    """Saves killed midway leave their temporary files; a later save or load of the same
    backup from a fresh process removes them, and keeps the user's own files."""
    skip_other_under_asan(python)
    folder, left = after_killed_saves(python)
    check_child(python, holdbank_only, folder.parent, "BIG, ACTION = %d, %r\n" % (BIG, action) + LATER, timeout=30)
    only_the_backup_and_the_users_files(folder, left, action)


SAVING_FOR_A_WHILE = r"""
bank = Holdbank.CLASS_Holdbank(BIG, "unused.json")
saves = 0
until = time.monotonic() + 2
while time.monotonic() < until:
    try:
        bank.CUF_SaveToFile("saves/bank.json")
        saves += 1
    except Exception as e:
        problem("save %d failed: %r" % (saves + 1, e))
        break
sys.stderr.write("%d saves\n" % saves)
print("done")
"""


@LINUX_ONLY
@each_python()
def test_concurrent_saves_never_fail_and_clean_up_only_the_dead(python, after_killed_saves, holdbank_only):
    """Two processes save the same backup at once, in a folder where killed saves left files:
    the clean-up must spare the file the other process is writing (neither save ever fails), the
    backup is always whole, and at the end only the backup and the user's files are left."""
    skip_other_under_asan(python)
    folder, left = after_killed_saves(python)
    reads = 0
    with ThreadPoolExecutor(max_workers=2) as pool:
        savers = [pool.submit(check_child, python, holdbank_only, folder.parent,
                              "BIG = %d\n" % BIG + SAVING_FOR_A_WHILE, 60)
                  for _ in range(2)]
        while not all(s.done() for s in savers):
            assert complete_backup((folder / "bank.json").read_text()), "the backup was not whole while saved"
            reads += 1
        for s in savers:
            s.result()
    assert reads > 5
    only_the_backup_and_the_users_files(folder, left, "concurrent saves")
