"""Long runs of every server operation keep the interpreter's allocations and object count flat.

A reference leaked per call shows up as blocks that are never freed; a few hundred thousand
calls make even one leaked small object per call impossible to miss.
"""
import struct

import Holdbank
from conftest import mbap, recv_frame
from memory_flat import assert_flat


def test_host_side_operations(tmp_path):
    b = Holdbank.CLASS_Holdbank(64, str(tmp_path / "b.json"))
    b.CUF_Set_ReadWriteRange(0, 31)
    b.CUF_Set_ReadOnlyRange(32, 63)
    b.CUE_OnRead = b.CUE_OnWrite = b.CUE_OnWriteDenied = lambda ip, a, v: None
    path = str(tmp_path / "save.json")

    def run(n):
        for i in range(n):
            b.CUF_REG_Write(i % 64, i)
            b.CUF_REG_Read(i % 64)
            b.CUF_REG_Write(100, 1)
            try:
                b.CUF_REG_Read(-1)
            except IndexError:
                pass
            b._is_writable(i % 70)
            b.CUF_REG_WriteSTR(0, "héllo")
            b.CUF_REG_ReadSTR(0, 3)
            for dtype in ("UINT16", "INT16", "UINT32", "INT32", "FLOAT", "STRING", "bad"):
                b.CUF_REG_Dump(0, 5, dtype)
            b.CUF_ListConnections()
            b.CUF_DisconnectClient("nobody:1")
            b._on_read("ip", 1, 2)
            if i % 50 == 0:
                b.CUF_SaveToFile(path)
                b.CUF_LoadFromFile(path)
                b.CUF_LoadFromFile(str(tmp_path / "missing.json"))
            try:
                b.CUF_REG_Write("x", 1)
            except TypeError:
                pass

    assert_flat(run, 20000, blocks=2000, objects=200)


def test_served_requests(served, master, capsys):
    b = served(size=200)
    b.CUF_Set_ReadWriteRange(0, 99)
    b.CUE_OnRead = lambda ip, a, v: None
    m = master()
    requests = [
        struct.pack(">BHH", 3, 0, 100),
        struct.pack(">BHH", 3, 0, 200),                      # too many: exception answer
        struct.pack(">BHH", 6, 5, 77),
        struct.pack(">BHH", 6, 150, 1),                      # refused
        struct.pack(">BHHB", 16, 0, 10, 20) + bytes(20),
        struct.pack(">BHHB", 16, 95, 10, 20) + bytes(20),    # partly refused
        struct.pack(">BHHB", 16, 0, 10, 20) + bytes(4),      # short of values
        bytes([0x2B, 0, 0]),
    ]
    frames = b"".join(mbap(pdu, tx_id=i) for i, pdu in enumerate(requests))

    def run(n):
        for _ in range(n):
            m.sendall(frames)
            for _ in requests:
                recv_frame(m)

    assert_flat(run, 3000, blocks=2000, objects=200)
