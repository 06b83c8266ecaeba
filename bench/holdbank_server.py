"""The project's register server for the benchmark: a bank with no hooks and no ranges.

    python holdbank_server.py PORT [REGISTERS] [BACKUP_FILE]

Prints "ready" once listening and serves until its standard input closes; the backup file
that CUF_Close writes goes where the runner says, never into the working tree.
"""
import os
import sys
import tempfile

import Holdbank


def main():
    port = int(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    backup = sys.argv[3] if len(sys.argv) > 3 else os.path.join(tempfile.gettempdir(), "bench_holdbank.json")
    bank = Holdbank.CLASS_Holdbank(size, backup)
    bank.CUF_Open("127.0.0.1", port)
    print("ready", flush=True)
    sys.stdin.buffer.read()
    bank.CUF_Close()
    sys.stdout.flush()
    # Connection threads are daemons; skip interpreter teardown under them.
    os._exit(0)


if __name__ == "__main__":
    main()
