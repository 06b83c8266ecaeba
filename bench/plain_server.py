"""The same design as the project's server, in plain Python: socketserver with one thread per
connection, the bank a list guarded by a threading.Lock, function codes 3, 6 and 16.

    python plain_server.py PORT [REGISTERS] [--hooks]

--hooks sets CUE_OnRead and CUE_OnWrite to a function that counts its calls, called as the
project's server calls them: read afresh at each register, with (ip, address, value); for every
register read and every register written by function 16 while the lock is held, after the write
for function 6. Prints "ready" once listening, serves until its standard input closes, then prints
how many hook calls were made.
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
        self.CUE_OnRead = None
        self.CUE_OnWrite = None

    def _on_read(self, ip, addr, val):
        hook = self.CUE_OnRead
        if hook:
            hook(ip, addr, val)

    def _on_write(self, ip, addr, val):
        hook = self.CUE_OnWrite
        if hook:
            hook(ip, addr, val)


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


def execute_hooked(bank, pdu, ip):
    """execute() with the data hooks called where the project's server calls them."""
    fc = pdu[0]
    if fc == 3 and len(pdu) == 5:
        start, count = ADDR_COUNT.unpack_from(pdu, 1)
        if 1 <= count <= 125 and start + count <= bank.size:
            with bank.lock:
                values = bank.hr[start:start + count]
                for i, value in enumerate(values):
                    bank._on_read(ip, start + i, value)
            return READ_ANSWERS[count].pack(3, 2 * count, *values)
    elif fc == 6 and len(pdu) == 5:
        addr, value = ADDR_COUNT.unpack_from(pdu, 1)
        if addr < bank.size:
            with bank.lock:
                bank.hr[addr] = value
            bank._on_write(ip, addr, value)
            return pdu
    elif fc == 16 and len(pdu) >= 6:
        start, count, byte_count = ADDR_COUNT_BYTES.unpack_from(pdu, 1)
        if 1 <= count <= 123 and byte_count == 2 * count and len(pdu) == 6 + byte_count and start + count <= bank.size:
            values = WORDS[count].unpack_from(pdu, 6)
            with bank.lock:
                bank.hr[start:start + count] = values
                for i, value in enumerate(values):
                    bank._on_write(ip, start + i, value)
            return WRITE_ANSWER.pack(16, start, count)
    return execute(bank, pdu)  # the exception answers: no hook runs for them


class Handler(socketserver.BaseRequestHandler):
    def handle(self):
        sock = self.request
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        bank = self.server.bank
        ip = self.client_address[0]
        hooked = self.server.hooks
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
                pdu = buf[pos + 7:frame_end]
                answer = execute_hooked(bank, pdu, ip) if hooked else execute(bank, pdu)
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
    hooks = "--hooks" in sys.argv[1:]
    argv = [a for a in sys.argv[1:] if a != "--hooks"]
    port = int(argv[0])
    size = int(argv[1]) if len(argv) > 1 else 1000
    server = Server(("127.0.0.1", port), Handler)
    server.bank = Bank(size)
    server.hooks = hooks
    calls = [0]
    if hooks:
        def count(ip, addr, value):
            calls[0] += 1

        server.bank.CUE_OnRead = count
        server.bank.CUE_OnWrite = count
    threading.Thread(target=server.serve_forever, daemon=True).start()
    print("ready", flush=True)
    sys.stdin.buffer.read()
    server.shutdown()
    server.server_close()
    if hooks:
        print("hook calls", calls[0], flush=True)
    os._exit(0)


if __name__ == "__main__":
    main()
