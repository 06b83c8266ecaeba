"""Writes the seed corpus of fuzz_core (tests/fuzz/corpus/): one small file per kind of request.

Each file is the 4 setting bytes of fuzz_core.cpp (bank shape, receive sizes, minimum free space,
failing bank call) followed by a Modbus TCP byte stream. Run it again after changing the layout:
    python3 tests/fuzz/make_seeds.py
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def frame(pdu, tx=1, proto=0, unit=1, length=None):
    return struct.pack(">HHHB", tx, proto, len(pdu) + 1 if length is None else length, unit) + pdu


def read(start, count, tail=b""):
    return struct.pack(">BHH", 3, start, count) + tail


def write1(addr, value, tail=b""):
    return struct.pack(">BHH", 6, addr, value) + tail


def writen(start, values, count=None, byte_count=None):
    count = len(values) if count is None else count
    byte_count = 2 * len(values) if byte_count is None else byte_count
    return struct.pack(">BHHB", 16, start, count, byte_count & 0xFF) + b"".join(struct.pack(">H", v) for v in values)


def settings(size=1, layout=0, poison=0, max_receive=7, seed=0, min_free=5, fail_at=0):
    """size 0..3 -> 0/3/130/300 registers; layout 0..7 (0: all writable, 1: none, 2: 0..9, ...);
    max_receive 0..7 -> 1/2/3/7/8/13/300/70000 bytes per receive; min_free 0..7;
    fail_at: the n-th bank call throws, | 0x80: every later one too."""
    return bytes([size | layout << 2 | poison << 5, max_receive | seed << 3, min_free, fail_at])


SEEDS = {
    "read_one": settings() + frame(read(0, 1)),
    "read_zero": settings() + frame(read(5, 0)),
    "read_127": settings(size=3) + frame(read(100, 127)),
    "read_128": settings(size=3) + frame(read(0, 128)),
    "read_beyond_bank": settings(size=2) + frame(read(120, 20)),
    "read_near_65535": settings(size=3) + frame(read(0xFFF0, 127)),
    "read_trailing_bytes": settings() + frame(read(1, 2, b"\x00\x01\x02")),
    "read_poisoned": settings(size=2, poison=2) + frame(read(0, 10)),
    "read_poisoned_last": settings(size=3, poison=3) + frame(read(290, 10)),
    "write1": settings() + frame(write1(2, 0xBEEF)),
    "write1_trailing": settings() + frame(write1(2, 7, b"\xAA\xBB\xCC")),
    "write1_denied": settings(layout=1) + frame(write1(2, 7)),
    "write1_beyond_bank": settings(layout=6) + frame(write1(65535, 9)),
    "write1_long_echo": settings(max_receive=6) + frame(write1(1, 1, bytes(range(256)) * 2)),
    "writen": settings(size=2) + frame(writen(10, [1, 2, 3, 4])),
    "writen_zero": settings() + frame(writen(3, [])),
    "writen_123": settings(size=3, max_receive=6) + frame(writen(0, list(range(123)))),
    "writen_short_values": settings(size=2) + frame(writen(0, [1, 2], count=5)),
    "writen_byte_count_lies": settings(size=2) + frame(writen(0, [1, 2, 3], byte_count=1)),
    "writen_denied_middle": settings(size=2, layout=4) + frame(writen(5, [1, 2, 3, 4])),
    "writen_denied_short": settings(size=2, layout=2) + frame(writen(8, [1], count=4)),
    "writen_odd_addresses": settings(size=2, layout=5) + frame(writen(1, [9])),
    "writen_past_65535": settings(size=3, layout=6) + frame(writen(65534, [1, 2, 3, 4])),
    "fc_unknown_2b": settings() + frame(b"\x2b\x0e\x01\x00"),
    "fc_0": settings() + frame(b"\x00"),
    "fc_83": settings() + frame(b"\x83\x00\x00"),
    "fc_ff": settings() + frame(b"\xff" * 9),
    "fc_4_read_input": settings() + frame(read(0, 2).replace(b"\x03", b"\x04", 1)),
    "short_read": settings() + frame(b"\x03\x00\x01\x00"),
    "short_write1": settings() + frame(b"\x06\x00"),
    "short_writen": settings() + frame(b"\x10\x00\x01\x00\x01"),
    "length_0_then_read": settings() + frame(b"", length=0) + frame(read(0, 2)),
    "length_1_then_write": settings() + frame(b"", length=1) + frame(write1(1, 5)),
    "length_65535_partial": settings(min_free=7) + frame(read(0, 1), length=0xFFFF) + b"\x00" * 40,
    "partial_at_end": settings() + frame(read(0, 1)) + frame(write1(0, 1))[:9],
    "header_only": settings() + frame(b"")[:7],
    "proto_and_unit_echo": settings() + frame(read(0, 1), tx=0xFFFF, proto=0xBEEF, unit=0xFF),
    "pipeline_mixed_bytewise": settings(size=2, max_receive=0)
    + frame(read(0, 3), tx=1)
    + frame(write1(1, 0x1234), tx=2)
    + frame(writen(4, [5, 6, 7]), tx=3)
    + frame(b"\x2b", tx=4)
    + frame(read(0, 8), tx=5),
    "pipeline_min_free_0": settings(size=2, max_receive=3, seed=9, min_free=0)
    + frame(writen(0, [1] * 10)) * 4,
    # a long frame behind a short one: the partial long frame moves to the front of the buffer
    "pipeline_partial_moves": settings(max_receive=6, min_free=6) + frame(read(0, 1))
    + frame(write1(1, 2, bytes(3400))),
    "pipeline_big_receive": settings(size=2, max_receive=7, min_free=6) + frame(read(0, 10)) * 12,
    "fail_in_writen": settings(size=2, fail_at=9) + frame(writen(0, [1, 2, 3, 4, 5])),
    "fail_at_lock": settings(fail_at=1) + frame(read(0, 4)) + frame(read(0, 4)),
    "fail_at_unlock": settings(fail_at=3) + frame(write1(0, 4)),
    "fail_in_denied": settings(layout=2, fail_at=3) + frame(writen(8, [1, 2, 3])),
    "fail_from_read_on": settings(fail_at=0x80 | 2) + frame(read(0, 3)) + frame(write1(1, 1)),
}


def main():
    corpus = os.path.join(HERE, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name in os.listdir(corpus):
        os.remove(os.path.join(corpus, name))
    for name, data in SEEDS.items():
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(SEEDS), corpus))


if __name__ == "__main__":
    main()
