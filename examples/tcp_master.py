"""A Modbus TCP master: typed writes and reads of holding registers, with every hook set.

    python examples/tcp_master.py [--host 127.0.0.1] [--port PORT]

With --port it talks to the server there (for example examples/served_bank.py, port 5020);
without, it first serves a bank of its own on a free loopback port and talks to that. It writes a
16-bit, a 32-bit, a float and a text value into registers 10 to 42, reads them back, tries to
write register 0 (read-only on both of those servers) and asks for 128 registers at once, more
than one request may carry, to show how a failed read is reported. Exits 0 when every value read
back equals the value written.
"""
import argparse
import os
import socket
import sys
import tempfile

import Holdbank
import Socklink


def own_server(workdir: str) -> tuple[Holdbank.CLASS_Holdbank, int]:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
    bank = Holdbank.CLASS_Holdbank(100, os.path.join(workdir, "bank.json"))
    bank.CUF_Set_ReadOnlyRange(0, 9)
    bank.CUF_Set_ReadWriteRange(10, 99)
    bank.CUF_Open("127.0.0.1", port)
    return bank, port


def talk(host: str, port: int) -> bool:
    master = Socklink.CLASS_Socklink()
    master.CUE_OnConnecting = lambda: print("connecting to %s:%d" % (host, port))
    master.CUE_OnConnect = lambda: print("connected")
    master.CUE_OnDisconnect = lambda: print("disconnected")
    master.CUE_OnError = lambda text: print("error:", text)
    master.CUE_OnPacketREAD = lambda registers: print("  raw registers read:", registers)
    master.CUE_OnPacketWRITE = lambda value: print("  written:", value)

    if not master.CUF_Open(host, port):
        return False
    try:
        ok = all([
            master.CUF_Write_HR_int(10, 500),
            master.CUF_Write_HR_long(20, 305419896),
            master.CUF_Write_HR_double(30, 3.14),
            master.CUF_Write_HR_str(40, "Modbus", "utf-8"),
        ])
        number = master.CUF_Read_HR_int(10, 1)
        long_value = master.CUF_Read_HR_long(20, 1)
        real = master.CUF_Read_HR_double(30, 1)
        text = master.CUF_Read_HR_str(40, 3, "utf-8")
        print("read back:", number, long_value, real, repr(text))
        # 3.14 comes back as the nearest 32-bit float, 3.140000104904175.
        ok = ok and number == [500] and long_value == [305419896] and text == "Modbus"
        ok = ok and len(real) == 1 and abs(real[0] - 3.14) < 1e-6

        print("write into the device's read-only register 0 accepted:", master.CUF_Write_HR_int(0, 1))
        print("reading 128 registers gives", master.CUF_Read_HR_int(0, 128))
        return ok
    finally:
        master.CUF_Close()


def main() -> int:
    parser = argparse.ArgumentParser(description="A Modbus TCP master.")
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--port", type=int, help="a server's port; without it the example serves its own bank")
    args = parser.parse_args()

    if args.port is not None:
        return 0 if talk(args.host, args.port) else 1
    with tempfile.TemporaryDirectory() as workdir:
        bank, port = own_server(workdir)
        try:
            ok = talk("127.0.0.1", port)
        finally:
            bank.CUF_Close()
        print("the bank's own view: registers 20-21 =", bank.CUF_REG_Dump(20, 21, "UINT32"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
