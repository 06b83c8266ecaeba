"""Server CPU per refused write-multiple, one JSON line on standard output.

    python refused_writes.py --port PORT --server-pid PID [--duration S]

Sends write-multiple requests of 65,535 registers (13 bytes each, no values) to a server whose
writable registers end early, so that every request is refused with exception 2, four in flight,
and reports the server's CPU time per request (from /proc). A refusal should cost what its
two-byte answer costs, not a step per named register.
"""
import argparse
import json
import os
import socket
import struct
import time

REQUEST_PDU = struct.pack(">BHHB", 16, 0, 65535, 0)
IN_FLIGHT = 4


def cpu_seconds(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def recv_answer(sock):
    data = b""
    while len(data) < 9:
        chunk = sock.recv(9 - len(data))
        if not chunk:
            raise ConnectionError("the server closed the connection")
        data += chunk
    return data


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, required=True)
    ap.add_argument("--server-pid", type=int, required=True)
    ap.add_argument("--warmup", type=float, default=0.3)
    ap.add_argument("--duration", type=float, default=1.5)
    args = ap.parse_args()
    with socket.create_connection(("127.0.0.1", args.port), timeout=30) as sock:
        tx = 0

        def send():
            nonlocal tx
            tx = (tx + 1) & 0xFFFF
            sock.sendall(struct.pack(">HHHB", tx, 0, len(REQUEST_PDU) + 1, 1) + REQUEST_PDU)

        for _ in range(IN_FLIGHT):
            send()
        answered, refused = 0, True
        started = time.monotonic()
        measuring_from = None
        while True:
            now = time.monotonic()
            if measuring_from is None and now - started >= args.warmup:
                measuring_from, cpu0, answered = now, cpu_seconds(args.server_pid), 0
            if measuring_from is not None and now - measuring_from >= args.duration:
                break
            answer = recv_answer(sock)
            refused = refused and answer[7:9] == b"\x90\x02"
            answered += 1
            send()
        cpu = cpu_seconds(args.server_pid) - cpu0
        elapsed = time.monotonic() - measuring_from
    print(json.dumps({"requests": answered, "seconds": elapsed, "refused": refused,
                      "server_cpu_us_per_req": 1e6 * cpu / answered if answered else None}))


if __name__ == "__main__":
    main()
