"""A served register bank: read-only and read-write ranges, hooks and the JSON backup file.

Serves 100 holding registers on 127.0.0.1 for a few seconds, then closes, which saves the bank to
its backup file. Start it again with the same backup file and what the masters wrote is back.

    python examples/served_bank.py [--port 5020] [--seconds 10] [--backup FILE]

Registers 0 to 9 are the device's own readings (read-only for masters): 0-1 the seconds served as
a 32-bit value, 2 a heartbeat counter, 4-7 a model name. Registers 10 to 99 are settings that
masters may write. While it runs, try from another terminal:

    python examples/tcp_master.py --port 5020
"""
import argparse
import collections
import json
import os
import sys
import tempfile
import threading
import time

import Holdbank

SIZE = 100


# Hooks run on the connections' threads, and print() writes a line in pieces (each part, the
# spaces, the line end) that another thread's output could split: each line goes out in one write.
_output = threading.Lock()


def say(*parts: object) -> None:
    with _output:
        sys.stdout.write(" ".join(map(str, parts)) + "\n")
        sys.stdout.flush()


def main() -> int:
    parser = argparse.ArgumentParser(description="A served register bank with ranges, hooks and a backup file.")
    parser.add_argument("--port", type=int, default=5020)
    parser.add_argument("--seconds", type=float, default=10.0, help="how long to serve")
    parser.add_argument("--backup", default=os.path.join(tempfile.gettempdir(), "served_bank.json"),
                        help="the JSON backup file (default: %(default)s)")
    args = parser.parse_args()

    bank = Holdbank.CLASS_Holdbank(SIZE, args.backup)
    if os.path.exists(args.backup):
        bank.CUF_LoadFromFile(args.backup)  # all or nothing: a bad file leaves the bank untouched

    bank.CUF_Set_ReadOnlyRange(0, 9)
    bank.CUF_Set_ReadWriteRange(10, SIZE - 1)
    bank.CUF_REG_WriteSTR(4, "HB-100")  # the host writes anywhere; the ranges bind masters only

    # Hooks run on the connection's own thread. CUE_OnRead (and CUE_OnWrite for a multi-register
    # write) runs while the bank's lock is held: keep them short.
    reads: collections.Counter[str] = collections.Counter()

    def on_connect(ip: str, full_address: str) -> None:
        say("master connected:", full_address, "on", threading.current_thread().name)

    def on_disconnect(full_address: str) -> None:
        say("master left:", full_address)

    def on_read(ip: str, addr: int, val: int) -> None:
        reads[ip] += 1

    def on_write(ip: str, addr: int, val: int) -> None:
        say("%s wrote register %d = %d" % (ip, addr, val))

    def on_write_denied(ip: str, addr: int, val: int) -> None:
        say("%s may not write register %d" % (ip, addr))

    bank.CUE_OnConnect = on_connect
    bank.CUE_OnDisconnect = on_disconnect
    bank.CUE_OnRead = on_read
    bank.CUE_OnWrite = on_write
    bank.CUE_OnWriteDenied = on_write_denied

    bank.CUF_Open("127.0.0.1", args.port)
    started = time.monotonic()
    heartbeat = 0
    try:
        while (elapsed := time.monotonic() - started) < args.seconds:
            seconds = int(elapsed)
            bank.CUF_REG_Write(0, seconds >> 16)
            bank.CUF_REG_Write(1, seconds & 0xFFFF)
            heartbeat += 1
            bank.CUF_REG_Write(2, heartbeat)
            time.sleep(0.2)
    except KeyboardInterrupt:
        pass
    finally:
        # Saves the bank first, then drops the masters and releases the port.
        bank.CUF_Close()

    for ip, count in reads.items():
        say("%s read %d registers" % (ip, count))
    with open(args.backup, encoding="utf-8") as f:
        saved = json.load(f)
    settings = {int(a): v for a, v in saved["READ_WRITE"].items() if v}
    say("backup %s: %d read-write and %d read-only registers; settings not zero: %s"
          % (args.backup, len(saved["READ_WRITE"]), len(saved["READ_ONLY"]), settings))
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
