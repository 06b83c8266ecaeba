"""A host script that uses the whole toolkit on this machine's loopback interface.

1. A CLASS_Holdbank bank with a read-only and a read-write range and every hook set, served on
   127.0.0.1.
2. A CLASS_Socklink master writes and reads 16-bit, 32-bit, float and text values; a write into
   the read-only range is refused with a Modbus exception answer.
3. The host side looks at the same registers through the typed views.
4. The server closes: it saves the bank to its JSON backup file first.
5. A CLASS_Holdbank_Secured server admits 127.0.0.1 only and refuses a master from 127.0.0.2.
"""
import json
import os
import socket
import sys
import tempfile
import threading
import time

import Holdbank
import Socklink


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise SystemExit("demo: timed out waiting")
        time.sleep(0.01)


def section(title):
    print("\n== " + title)


def served_bank(workdir):
    section("A served register bank")
    port = free_port()
    backup = os.path.join(workdir, "bank.json")
    bank = Holdbank.CLASS_Holdbank(200, backup)
    bank.CUF_Set_ReadOnlyRange(0, 9)      # registers 0..9 are the device's own readings
    bank.CUF_Set_ReadWriteRange(10, 199)  # masters may write 10..199
    bank.CUF_REG_Write(0, 1234)           # the host may write anywhere
    bank.CUF_REG_WriteSTR(2, "v1.0")
    bank.CUE_OnConnect = lambda ip, full: print("  hook: master connected", full)
    bank.CUE_OnDisconnect = lambda full: print("  hook: master left", full)
    bank.CUE_OnWrite = lambda ip, addr, val: print("  hook: %s wrote register %d = %d" % (ip, addr, val))
    bank.CUE_OnWriteDenied = lambda ip, addr, val: print("  hook: %s refused at register %d" % (ip, addr))
    bank.CUF_Open("127.0.0.1", port)

    section("A Modbus TCP master talks to it")
    master = Socklink.CLASS_Socklink()
    master.CUE_OnError = lambda text: print("  master error:", text)
    master.CUE_OnPacketWRITE = lambda value: print("  master wrote", value)
    assert master.CUF_Open("127.0.0.1", port)
    wait_for(lambda: len(bank.CUF_ListConnections()) == 1)
    print("  connections:", bank.CUF_ListConnections())
    master.CUF_Write_HR_int(10, 500)
    master.CUF_Write_HR_long(20, 305419896)
    master.CUF_Write_HR_double(30, 3.14)
    master.CUF_Write_HR_str(40, "Modbus", "utf-8")
    print("  read back 16-bit :", master.CUF_Read_HR_int(10, 1))
    print("  read back 32-bit :", master.CUF_Read_HR_long(20, 1))
    print("  read back float  :", master.CUF_Read_HR_double(30, 1))
    print("  read back text   :", repr(master.CUF_Read_HR_str(40, 3, "utf-8")))
    print("  device reading 0 :", master.CUF_Read_HR_int(0, 1))
    print("  write into the read-only range accepted?", master.CUF_Write_HR_int(5, 1))

    section("The host's typed views of the same registers")
    print("  UINT32 rows:", bank.CUF_REG_Dump(20, 21, "UINT32"))
    print("  FLOAT rows :", bank.CUF_REG_Dump(30, 31, "FLOAT"))
    print("  text       :", repr(bank.CUF_REG_ReadSTR(40, 3)))
    print("  firmware   :", repr(bank.CUF_REG_ReadSTR(2, 2)))

    section("Closing: the bank is saved first, then masters are dropped and the port released")
    master.CUF_Close()
    wait_for(lambda: bank.CUF_ListConnections() == [])
    bank.CUF_Close()
    with open(backup, encoding="utf-8") as f:
        saved = json.load(f)
    print("  backup file %s: %d read-write and %d read-only registers; register 10 = %d"
          % (os.path.basename(backup), len(saved["READ_WRITE"]), len(saved["READ_ONLY"]),
             saved["READ_WRITE"]["10"]))
    restored = Holdbank.CLASS_Holdbank(200, os.path.join(workdir, "other.json"))
    restored.CUF_LoadFromFile(backup)
    print("  a new bank restored from it reads register 20..21 as", restored.CUF_REG_Dump(20, 21, "UINT32"))


def secured_bank(workdir):
    section("An allow-list server refuses a master that is not on its list")
    port = free_port()
    bank = Holdbank.CLASS_Holdbank_Secured(10, os.path.join(workdir, "secured.json"))
    refused = threading.Event()
    bank.CUE_OnConnect = lambda ip, full: print("  admitted", full)
    bank.CUE_OnAccessDenied = lambda ip, full: (print("  refused", full), refused.set())
    bank.CUF_AllowIP_Add("127.0.0.1")
    bank.CUF_AllowIP_Active(True)
    bank.CUF_Open("127.0.0.1", port)

    allowed = Socklink.CLASS_Socklink()
    allowed.CUF_Open("127.0.0.1", port)
    print("  allowed master reads:", allowed.CUF_Read_HR_int(0, 2))

    intruder = socket.socket()
    intruder.settimeout(5)
    intruder.bind(("127.0.0.2", 0))
    intruder.connect(("127.0.0.1", port))
    intruder.sendall(bytes.fromhex("000100000006010300000001"))  # a read request, sent at once
    print("  the intruder got", intruder.recv(100) or b"nothing: its connection was closed")
    refused.wait(5)
    intruder.close()
    allowed.CUF_Close()
    bank.CUF_Close()


def main():
    with tempfile.TemporaryDirectory() as workdir:
        served_bank(workdir)
        secured_bank(workdir)
    print("\ndemo finished")
    return 0


if __name__ == "__main__":
    sys.exit(main())
