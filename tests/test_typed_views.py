"""Typed local views of the bank: texts in registers, and dumps as 16-bit, 32-bit, float or text rows."""
import logging
import struct

import pytest

import Holdbank
from conftest import REGISTER_VALUES, packed_word, same_error

H = Holdbank.CLASS_Holdbank


def bank(size, regs=(), at=0):
    b = H(size)
    for i, v in enumerate(regs):
        b.hr[at + i] = v
    return b


@pytest.fixture
def errors(holdbank_log):
    """The lines of the module logger: (level, text)."""
    return holdbank_log.entries


def struct_error_text(value):
    with pytest.raises(struct.error) as e:
        struct.pack(">H", value)
    return str(e.value)


# --- texts ---------------------------------------------------------------------------------

@pytest.mark.parametrize("size, addr, text, encoding, count, expected", [
    # odd byte count: the last register gets a zero low byte
    (16, 10, "ABC", "utf-8", 2, {10: 0x4142, 11: 0x4300}),
    (16, 3, "", "utf-8", 0, {}),
    # the register at -1 is outside the bank (no counting from the end) and is skipped
    (4, -1, "ABCD", "utf-8", 2, {0: 0x4344}),
    (4, 0, "é", "utf-8", 1, {0: 0xC3A9}),
    # longer than the space left: what fits is written, the count is the whole text's
    (3, 1, "ABCDEFGH", "utf-8", 4, {1: 0x4142, 2: 0x4344}),
    (4, 0, "中", "big5", 1, {0: 0xA4A4}),
    (4, 2, "A", "utf-16-be", 1, {2: 0x0041}),
])
def test_write_text(size, addr, text, encoding, count, expected):
    b = bank(size)
    assert b.CUF_REG_WriteSTR(addr, text, encoding) == count
    assert b.hr == [expected.get(i, 0) for i in range(size)]


def test_text_round_trip_and_no_terminator():
    b = bank(16)
    assert b.CUF_REG_WriteSTR(10, "ABC") == 2
    assert b.CUF_REG_ReadSTR(10, 2) == "ABC"
    # a shorter text over a longer one leaves the rest of the old one in place
    b.CUF_REG_WriteSTR(0, "ABCD")
    assert b.CUF_REG_WriteSTR(0, "AB") == 1
    assert b.hr[:2] == [0x4142, 0x4344]
    assert b.CUF_REG_ReadSTR(0, 2) == "ABCD"


@pytest.mark.parametrize("regs, length, encoding, expected", [
    ([0x4142], 0, "utf-8", ""),
    ([0x4142], -3, "utf-8", ""),
    # only trailing NULs go; a leading or inner NUL stays
    ([0x0041, 0x0000], 2, "utf-8", "\x00A"),
    ([0x4100, 0x4200], 2, "utf-8", "A\x00B"),
    # bytes that do not decode are dropped
    ([0xFF41], 1, "utf-8", "A"),
    ([0xC3A9], 1, "utf-8", "é"),
    ([0xA4A4], 1, "big5", "中"),
    ([0x0041, 0x0042], 2, "utf-16-be", "AB"),
])
def test_read_text(regs, length, encoding, expected):
    b = bank(4, regs)
    assert b.CUF_REG_ReadSTR(0, length, encoding) == expected


@pytest.mark.parametrize("call, error, message", [
    (lambda b: b.CUF_REG_WriteSTR(0, "é", "ascii"), UnicodeEncodeError, None),
    (lambda b: b.CUF_REG_WriteSTR(0, "AB", "no-such-codec"), LookupError, None),
    (lambda b: b.CUF_REG_ReadSTR(2, 3), IndexError, "Register Address Out of Range"),
    (lambda b: b.CUF_REG_ReadSTR(-1, 2), IndexError, "Register Address Out of Range"),
    (lambda b: b.CUF_REG_ReadSTR(0, 1, "no-such-codec"), LookupError, None),
    (lambda b: b.CUF_REG_ReadSTR(0, 1.5), TypeError, None),
])
def test_text_errors_reach_the_caller_and_write_nothing(call, error, message):
    b = bank(4, [0x4142, 0x4344, 0, 0])
    with pytest.raises(error) as e:
        call(b)
    if message:
        assert str(e.value) == message
    assert b.hr == [0x4142, 0x4344, 0, 0]


def test_read_text_of_a_register_that_is_not_a_word():
    """The host may put any integer in `hr`; packing it fails as struct.pack('>H') does."""
    b = bank(4, [0x4142, 70000])
    with pytest.raises(struct.error) as e:
        b.CUF_REG_ReadSTR(0, 2)
    assert str(e.value) == struct_error_text(70000)


@pytest.mark.parametrize("value", REGISTER_VALUES, ids=repr)
def test_register_values_are_taken_as_struct_packs_them(value, errors):
    """A text read and the 16- and 32-bit dumps see a register as struct.pack('>H') does."""
    b = bank(4, [value, 0x4300])
    word = packed_word(value)
    if isinstance(word, bytes):
        assert b.CUF_REG_ReadSTR(0, 2, "latin-1") == (word + b"C\x00").decode("latin-1").rstrip("\x00")
        assert b.CUF_REG_Dump(0, 0, "INT16") == [(0, struct.unpack(">h", word)[0])]
        assert b.CUF_REG_Dump(0, 1, "INT32") == [("0-1", struct.unpack(">i", word + b"C\x00")[0])]
        assert errors() == []
    else:
        with pytest.raises(type(word)) as e:
            b.CUF_REG_ReadSTR(0, 2, "latin-1")
        assert same_error(e.value, word)
        for dtype in ("INT16", "INT32"):
            assert b.CUF_REG_Dump(0, 1, dtype) == []
        assert errors() == [(logging.ERROR, "Dump error: " + str(word))] * 2


# --- dumps ---------------------------------------------------------------------------------

@pytest.mark.parametrize("regs, start, end, dtype, rows", [
    ([0xFFFF], 0, 0, "INT16", [(0, -1)]),
    ([0xFFFF], 0, 0, "UINT16", [(0, 65535)]),
    ([0x8000, 0x7FFF, 0x0001], 0, 2, "INT16", [(0, -32768), (1, 32767), (2, 1)]),
    ([0, 5, 6, 7], 1, 3, None, [(1, 5), (2, 6), (3, 7)]),  # the default dtype is UINT16
    ([1, 2, 0xFFFF, 0xFFFE], 0, 3, "UINT32", [("0-1", 65538), ("2-3", 4294967294)]),
    ([1, 2, 0xFFFF, 0xFFFE], 0, 3, "INT32", [("0-1", 65538), ("2-3", -2)]),
    # a last register without its partner is not dumped (and is not an error)
    ([1, 2, 0xFFFF, 0xFFFE, 9], 0, 4, "UINT32", [("0-1", 65538), ("2-3", 4294967294)]),
    ([0x8000, 0x0000, 0x7FFF, 0xFFFF], 0, 3, "INT32", [("0-1", -2147483648), ("2-3", 2147483647)]),
    ([0x3F80, 0x0000, 0xC000, 0x0000], 0, 3, "FLOAT", [("0-1", 1.0), ("2-3", -2.0)]),
    # widened exactly from single precision, not shortened to 0.1
    ([0x3DCC, 0xCCCD], 0, 1, "FLOAT", [("0-1", 0.10000000149011612)]),
    ([0x4142, 0x4344, 0x4546, 0x4748], 0, 3, "STRING", [("0-3", "ABCDEFGH")]),
    ([0x4142, 0x4300, 0x0000], 0, 2, "STRING", [("0-2", "ABC")]),
])
def test_dump(regs, start, end, dtype, rows, errors):
    b = bank(8, regs)
    got = b.CUF_REG_Dump(start, end) if dtype is None else b.CUF_REG_Dump(start, end, dtype)
    assert got == rows
    assert all(type(r) is tuple and type(r[1]) is type(w[1]) for r, w in zip(got, rows))
    assert errors() == []


def test_dump_keys_are_the_addresses():
    b = bank(16, [0x4142, 0x4344, 0, 1], at=10)
    assert b.CUF_REG_Dump(10, 13, "UINT32") == [("10-11", 0x41424344), ("12-13", 1)]
    assert b.CUF_REG_Dump(10, 11, "STRING") == [("10-11", "ABCD")]
    assert b.CUF_REG_Dump(12, 13) == [(12, 0), (13, 1)]
    assert b.CUF_REG_Dump(2, 3, "FLOAT") == [("2-3", 0.0)]


@pytest.mark.parametrize("dtype", ["UINT16", "INT16", "UINT32", "INT32", "FLOAT", "STRING", "uint16"])
def test_dump_with_start_after_end_is_empty_and_quiet(dtype, errors):
    assert bank(8).CUF_REG_Dump(3, 2, dtype) == []
    assert errors() == []


SIZE = 8


@pytest.mark.parametrize("start, end, dtype, rows, message", [
    (0, 3, "uint16", [], "Unsupported dtype: uint16"),
    (0, 3, "Int32", [], "Unsupported dtype: Int32"),
    # the rows before the failing register are kept
    (SIZE - 2, SIZE + 5, "UINT16", [(SIZE - 2, 6), (SIZE - 1, 7)], "Register Address Out of Range"),
    (-1, 2, "INT16", [], "Register Address Out of Range"),
    # a pair whose second register lies outside the bank gives no row
    (SIZE - 3, SIZE, "UINT32", [("%d-%d" % (SIZE - 3, SIZE - 2), 5 << 16 | 6)], "Register Address Out of Range"),
    (SIZE - 1, SIZE + 2, "FLOAT", [], "Register Address Out of Range"),
    # one register outside the bank means no text row at all
    (0, SIZE, "STRING", [], "Register Address Out of Range"),
])
def test_dump_error_ends_the_loop_with_one_line(start, end, dtype, rows, message, errors):
    b = bank(SIZE, range(SIZE))
    assert b.CUF_REG_Dump(start, end, dtype) == rows
    assert errors() == [(logging.ERROR, "Dump error: " + message)]


@pytest.mark.parametrize("regs, start, end, dtype, rows", [
    ([5, 70000], 0, 1, "INT16", [(0, 5)]),
    ([5, 6, 70000, 1], 0, 3, "UINT32", [("0-1", 5 << 16 | 6)]),
    ([70000, 1], 0, 1, "FLOAT", []),
    ([0x4142, 70000], 0, 1, "STRING", []),
])
def test_dump_of_a_register_that_is_not_a_word(regs, start, end, dtype, rows, errors):
    """The host may put any integer in `hr`; one that cannot be packed as a word ends the dump."""
    assert bank(8, regs).CUF_REG_Dump(start, end, dtype) == rows
    assert errors() == [(logging.ERROR, "Dump error: " + struct_error_text(70000))]


@pytest.mark.parametrize("start, end", [(0, "3"), ("a", 3), (None, 2)])
def test_dump_bounds_that_cannot_be_compared_raise(start, end, errors):
    with pytest.raises(TypeError):
        bank(8).CUF_REG_Dump(start, end, "UINT16")
    assert errors() == []


# --- only through the object's single-register operations -----------------------------------

class Virtual(H):
    """A bank kept outside `hr` (which is empty): only CUF_REG_Read / CUF_REG_Write reach it."""

    def __init__(self, words):
        super().__init__(0)
        self.words = dict(enumerate(words))
        self.calls = []

    def CUF_REG_Read(self, addr):
        # the typed views take no lock across registers
        self.calls.append(("read", addr, self.lock.locked()))
        if addr not in self.words:
            raise IndexError("Register Address Out of Range")
        return self.words[addr]

    def CUF_REG_Write(self, addr, value):
        self.calls.append(("write", addr, value, self.lock.locked()))
        if addr not in self.words:
            return False
        self.words[addr] = value & 0xFFFF
        return True


def test_views_go_through_overridden_register_operations(errors):
    v = Virtual([0, 0, 0])
    assert v.CUF_REG_WriteSTR(1, "ABCDE") == 3
    assert v.calls == [("write", 1, 0x4142, False), ("write", 2, 0x4344, False), ("write", 3, 0x4500, False)]
    assert v.words == {0: 0, 1: 0x4142, 2: 0x4344}
    v.calls.clear()
    assert v.CUF_REG_ReadSTR(1, 2) == "ABCD"
    assert v.CUF_REG_Dump(1, 2, "UINT32") == [("1-2", 0x41424344)]
    assert v.CUF_REG_Dump(0, 5) == [(0, 0), (1, 0x4142), (2, 0x4344)]
    assert errors() == [(logging.ERROR, "Dump error: Register Address Out of Range")]
    assert [c[1] for c in v.calls] == [1, 2, 1, 2, 0, 1, 2, 3]
    assert not any(c[-1] for c in v.calls)


def test_string_dump_uses_the_objects_text_read():
    seen = []

    class Texts(H):
        def CUF_REG_ReadSTR(self, addr, length, encoding="latin-1"):
            seen.append((addr, length, encoding))
            return "text"

    assert Texts(8).CUF_REG_Dump(2, 5, "STRING") == [("2-5", "text")]
    assert seen == [(2, 4, "latin-1")]


def test_interrupts_are_not_swallowed_by_the_dump(errors):
    class Interrupted(H):
        def CUF_REG_Read(self, addr):
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        Interrupted(8).CUF_REG_Dump(0, 3)
    assert errors() == []
