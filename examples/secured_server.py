"""A secured server: only masters whose IP address is on the allow-list are served.

    python examples/secured_server.py

Serves a bank on a free port of 127.0.0.1 with 127.0.0.1 on its allow-list. The whole 127.0.0.0/8
block is this machine's loopback interface, so a master that binds 127.0.0.2 as its source
address plays a second machine. The example shows:

1. a master from 127.0.0.1 is admitted and served;
2. a master from 127.0.0.2 is refused: CUE_OnAccessDenied reports it and its connection is closed
   before it is served;
3. with the list switched off the same master is admitted, and switching it on again drops it.

It ends by itself and exits 0 when every step went as described.
"""
import os
import queue
import socket
import struct
import sys
import tempfile
import threading

import Holdbank
import Socklink

# Function 3, read 2 registers from address 0, as a Modbus TCP frame (transaction 1, unit 1).
READ_REQUEST = struct.pack(">HHHBBHH", 1, 0, 6, 1, 3, 0, 2)


# Hooks run on the connections' threads, and print() writes a line in pieces (each part, the
# spaces, the line end) that another thread's output could split: each line goes out in one write.
_output = threading.Lock()


def say(*parts: object) -> None:
    with _output:
        sys.stdout.write(" ".join(map(str, parts)) + "\n")
        sys.stdout.flush()


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port: int = s.getsockname()[1]
        return port


def connect_from(source_ip: str, port: int) -> socket.socket:
    sock = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source_ip, 0))
    return sock


def served(sock: socket.socket) -> bool:
    """Whether the server answers a read request on this connection."""
    try:
        sock.sendall(READ_REQUEST)
        return len(sock.recv(64)) > 0
    except ConnectionError:
        return False


def main() -> int:
    # The hooks run on the connections' own threads; they hand their events to this thread.
    events: queue.Queue[tuple[str, str]] = queue.Queue()

    def report(kind: str, full_address: str) -> None:
        say(kind, full_address)
        events.put((kind, full_address))

    def expect(kind: str, full_address: str) -> bool:
        try:
            while True:
                event = events.get(timeout=5)
                if event == (kind, full_address):
                    return True
        except queue.Empty:
            say("missed:", kind, full_address)
            return False

    port = free_port()
    with tempfile.TemporaryDirectory() as workdir:
        bank = Holdbank.CLASS_Holdbank_Secured(20, os.path.join(workdir, "secured.json"))
        bank.CUE_OnConnect = lambda ip, full: report("admitted", full)  # admitted masters only
        bank.CUE_OnAccessDenied = lambda ip, full: report("refused", full)
        bank.CUE_OnDisconnect = lambda full: report("left", full)
        bank.CUF_AllowIP_Add("127.0.0.1")
        bank.CUF_AllowIP_Active(True)
        bank.CUF_Open("127.0.0.1", port)
        ok = True
        try:
            say("\n1. a master on the allow-list")
            master = Socklink.CLASS_Socklink()
            ok &= master.CUF_Open("127.0.0.1", port)
            say("reads", master.CUF_Read_HR_int(0, 2))
            master.CUF_Close()

            say("\n2. a master from 127.0.0.2, not on the list")
            with connect_from("127.0.0.2", port) as intruder:
                full = "127.0.0.2:%d" % intruder.getsockname()[1]
                ok &= expect("refused", full) and not served(intruder)
                ok &= expect("left", full)

            say("\n3. the list switched off, then on again")
            bank.CUF_AllowIP_Active(False)
            with connect_from("127.0.0.2", port) as guest:
                full = "127.0.0.2:%d" % guest.getsockname()[1]
                ok &= expect("admitted", full) and served(guest)
                bank.CUF_AllowIP_Active(True)  # sweeps the open connections
                ok &= expect("refused", full) and expect("left", full)
        finally:
            bank.CUF_Close()
    say("\nevery step as expected" if ok else "\na step went otherwise")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
