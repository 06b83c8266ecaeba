"""The project's register server for the benchmark: a bank with no ranges, and no hooks unless
asked for.

    python holdbank_server.py PORT [REGISTERS] [BACKUP_FILE] [--hooks] [--writable-below N]

--writable-below N makes registers 0 to N-1 the only writable ones. --hooks sets CUE_OnRead and CUE_OnWrite to a function that counts its calls, so every request
runs them (on the connection's handler thread). Prints the module it loaded and "ready" once
listening, serves until its standard input closes, then prints how many hook calls were made; the
backup file that CUF_Close writes goes where the runner says, never into the working tree.
"""
import os
import sys
import tempfile

import Holdbank


def main():
    hooks = "--hooks" in sys.argv[1:]
    argv = [a for a in sys.argv[1:] if a != "--hooks"]
    writable_below = None
    if "--writable-below" in argv:
        i = argv.index("--writable-below")
        writable_below = int(argv[i + 1])
        del argv[i:i + 2]
    port = int(argv[0])
    size = int(argv[1]) if len(argv) > 1 else 1000
    backup = argv[2] if len(argv) > 2 else os.path.join(tempfile.gettempdir(), "bench_holdbank.json")
    bank = Holdbank.CLASS_Holdbank(size, backup)
    if writable_below is not None:
        bank.CUF_Set_ReadWriteRange(0, writable_below - 1)
    calls = [0]
    if hooks:
        def count(ip, addr, value):
            calls[0] += 1

        bank.CUE_OnRead = count
        bank.CUE_OnWrite = count
    bank.CUF_Open("127.0.0.1", port)
    print("module", Holdbank.__file__, flush=True)
    print("ready", flush=True)
    sys.stdin.buffer.read()
    bank.CUF_Close()
    if hooks:
        print("hook calls", calls[0])
    sys.stdout.flush()
    # Connection threads are daemons; skip interpreter teardown under them.
    os._exit(0)


if __name__ == "__main__":
    main()
