"""The same design as the project's server, in plain Python: socketserver with one thread per
connection, the bank a list guarded by a threading.Lock, function codes 3, 6 and 16.

    python plain_server.py PORT [REGISTERS]

Prints "ready" once listening and serves until its standard input closes.
"""
import os
import socket
import socketserver
import struct
import sys
import threading

MBAP = struct.Struct(">HHHB")
ADDR_COUNT = struct.Struct(">HH")
ADDR_COUNT_BYTES = struct.Struct(">HHB")
WRITE_ANSWER = struct.Struct(">BHH")
EXCEPTION = struct.Struct(">BB")


class Bank:
    def __init__(self, size):
        self.size = size
        self.hr = [0] * size
        self.lock = threading.Lock()


# Answer layouts by register count, built once: struct.Struct parses its format on creation.
READ_ANSWERS = {n: struct.Struct(">BB%dH" % n) for n in range(1, 126)}
WORDS = {n: struct.Struct(">%dH" % n) for n in range(1, 124)}


def execute(bank, pdu):
    """The answer PDU for one request PDU."""
    fc = pdu[0]
    if fc == 3:
        if len(pdu) != 5:
            return EXCEPTION.pack(0x83, 3)
        start, count = ADDR_COUNT.unpack_from(pdu, 1)
        if not 1 <= count <= 125:
            return EXCEPTION.pack(0x83, 3)
        if start + count > bank.size:
            return EXCEPTION.pack(0x83, 2)
        with bank.lock:
            values = bank.hr[start:start + count]
        return READ_ANSWERS[count].pack(3, 2 * count, *values)
    if fc == 6:
        if len(pdu) != 5:
            return EXCEPTION.pack(0x86, 3)
        addr, value = ADDR_COUNT.unpack_from(pdu, 1)
        if addr >= bank.size:
            return EXCEPTION.pack(0x86, 2)
        with bank.lock:
            bank.hr[addr] = value
        return pdu
    if fc == 16:
        if len(pdu) < 6:
            return EXCEPTION.pack(0x90, 3)
        start, count, byte_count = ADDR_COUNT_BYTES.unpack_from(pdu, 1)
        if not 1 <= count <= 123 or byte_count != 2 * count or len(pdu) != 6 + byte_count:
            return EXCEPTION.pack(0x90, 3)
        if start + count > bank.size:
            return EXCEPTION.pack(0x90, 2)
        values = WORDS[count].unpack_from(pdu, 6)
        with bank.lock:
            bank.hr[start:start + count] = values
        return WRITE_ANSWER.pack(16, start, count)
    return EXCEPTION.pack(fc | 0x80, 1)


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        bank = self.server.bank
        pending = b""
        while True:
            data = sock.recv(65536)
            if not data:
                return
            buf = pending + data if pending else data
            # Every whole frame of this receive, answered with one send.
            answers = []
            pos = 0
            end = len(buf)
            while end - pos >= 7:
                tid, proto, length, unit = MBAP.unpack_from(buf, pos)
                if length < 2 or proto != 0:
                    return
                frame_end = pos + 6 + length
                if frame_end > end:
                    break
                answer = execute(bank, buf[pos + 7:frame_end])
                answers.append(MBAP.pack(tid, 0, len(answer) + 1, unit))
                answers.append(answer)
                pos = frame_end
            pending = buf[pos:]
            if answers:
                sock.sendall(b"".join(answers))


class Server(socketserver.ThreadingTCPServer):
    allow_reuse_address = True
    daemon_threads = True


def main():
    port = int(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    server = Server(("127.0.0.1", port), Handler)
    server.bank = Bank(size)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("ready", flush=True)
    sys.stdin.buffer.read()
    server.shutdown()
    server.server_close()
    os._exit(0)


if __name__ == "__main__":
    main()
