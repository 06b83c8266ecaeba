"""Live fuzz: many masters send random and mutated frames to a running server over loopback.

Each connection sends one stream of frames (valid, mutated, short, long, every function code,
wrong length fields, random bytes), cut into sends at random places. Because TCP keeps the byte
order, the requests the server cuts from the stream are known exactly from the bytes alone; so
is every answer, apart from the values of writable registers that other masters change at the
same time. Each answer is checked as it arrives, and every write answered as accepted is
recorded: afterwards the bank may differ from its start only by those writes.
"""
import random
import select
import socket
import struct
import threading
import time
import traceback

from conftest import mbap, recv_frame, wait_until

FUZZ_SECONDS = 20
CONNECTION_THREADS = 16
SIZE = 4000
# The second range reaches past the bank: writes there are answered but store nothing.
RW_RANGES = [(0, 999), (3900, 4199)]
READ_ONLY = (1000, 3899)


def writable(addr):
    return any(s <= addr <= e for s, e in RW_RANGES)


def malformed(pdu):
    """A request the server cannot decode: it answers nothing and ends the connection."""
    return (pdu[0] in (3, 6) and len(pdu) < 5) or (pdu[0] == 16 and len(pdu) < 6)


def server_view(stream):
    """The requests the server cuts from `stream`, in order, each with the offset where it ends.
    Length fields 0 and 1 drop the 7 header bytes only; a request it cannot decode is the last."""
    requests, pos = [], 0
    while len(stream) - pos >= 7:
        tx, proto, length, unit = struct.unpack_from(">HHHB", stream, pos)
        if length <= 1:
            pos += 7
            continue
        end = pos + 7 + length - 1
        if end > len(stream):
            break
        pdu = stream[pos + 7:end]
        requests.append(((tx, proto, unit), pdu, end))
        pos = end
        if malformed(pdu):
            break
    return requests


def expected_answer(pdu, initial):
    """(answer PDU with None for values nobody can predict, accepted stores) for a decodable request."""
    fc = pdu[0]
    if fc not in (3, 6, 16):
        return [fc | 0x80, 1], []
    start, second = struct.unpack_from(">HH", pdu, 1)
    if fc == 3:
        if second >= 128:
            return [0x83, 3], []
        answer = [3, 2 * second]
        for addr in range(start, start + second):
            if addr >= SIZE:
                answer += [0, 0]
            elif writable(addr):
                answer += [None, None]
            else:
                answer += list(struct.pack(">H", initial[addr]))
        return answer, []
    if fc == 6:
        if not writable(start):
            return [0x86, 2], []
        return list(pdu), [(start, second)] if start < SIZE else []
    if not all(writable(a) for a in range(start, start + second)):
        return [0x90, 2], []
    if len(pdu) - 6 < 2 * second:
        return [0x90, 3], []
    values = struct.unpack_from(">%dH" % second, pdu, 6)
    stores = [(start + i, v) for i, v in enumerate(values) if start + i < SIZE]
    return list(struct.pack(">BHH", 16, start, second)), stores


# ----------------------------------------------------------------------------------------------
# What the masters send


def address(rng):
    """Mostly near the edges that matter: ranges, the end of the bank, the end of 16 bits."""
    edge = rng.choice([0, 995, 1000, 3895, 3900, SIZE - 3, 4195, 4200, 65530, 65535])
    return max(0, min(0xFFFF, edge + rng.randint(-8, 8))) if rng.random() < 0.7 else rng.randrange(0x10000)


def count(rng):
    return rng.choice([0, 1, 2, 5, 60, 123, 125, 126, 127, 128, 129, 255, 0xFFFF, rng.randrange(130)])


def values(rng, n):
    return b"".join(struct.pack(">H", rng.randrange(0x10000)) for _ in range(n))


def read_request(rng):
    return struct.pack(">BHH", 3, address(rng), count(rng)) + rng.choice([b"", b"", b"\x00", rng.randbytes(4)])


def write_single(rng):
    tail = rng.choice([b"", b"", b"", rng.randbytes(rng.randrange(1, 6)), rng.randbytes(300)])
    return struct.pack(">BHH", 6, address(rng), rng.randrange(0x10000)) + tail


def write_multiple(rng):
    n = rng.choice([0, 1, 3, 10, 60, 123, rng.randrange(124)])
    sent = rng.choice([n, n, n, max(0, n - 1), n + 1, 0])  # values actually carried
    byte_count = rng.choice([2 * n, 2 * n, rng.randrange(256)]) & 0xFF
    n_field = rng.choice([n] * 8 + [1000, 0xFFFF])  # far more registers than values carried
    return struct.pack(">BHHB", 16, address(rng), n_field, byte_count) + values(rng, sent)


def other_function(rng, fc):
    return bytes([fc]) + rng.randbytes(rng.choice([0, 0, 1, 4, 5, 9, 40]))


def frame(rng, pdu):
    return mbap(pdu, tx_id=rng.randrange(0x10000), proto_id=rng.choice([0, 0, 0, 1, 0xFFFF]),
                unit_id=rng.randrange(256))


def mutated(rng, next_fc):
    """One piece of the stream, and whether it used the function code of the rotation."""
    kind = rng.choices(
        ["read", "write1", "writen", "other", "length", "short", "garbage", "bitflip", "long"],
        weights=[20, 20, 20, 10, 8, 2, 2, 6, 2])[0]
    pdu = {"read": read_request, "write1": write_single, "writen": write_multiple}.get(kind)
    if pdu:
        return frame(rng, pdu(rng)), False
    if kind == "other":
        return frame(rng, other_function(rng, next_fc)), True
    if kind == "length":  # a valid request under a wrong length field
        data = bytearray(frame(rng, rng.choice([read_request, write_single, write_multiple])(rng)))
        length = struct.unpack_from(">H", data, 4)[0]
        wrong = rng.choice([0, 1, 2, 0xFFFF, length + rng.choice([-3, -2, -1, 1, 2, 3]), rng.randrange(300)])
        struct.pack_into(">H", data, 4, max(0, min(0xFFFF, wrong)))
        return bytes(data), False
    if kind == "short":
        return frame(rng, bytes([rng.choice([3, 6, 16])]) + rng.randbytes(rng.randrange(4))), False
    if kind == "garbage":
        return rng.randbytes(rng.randrange(1, 20)), False
    if kind == "bitflip":
        data = bytearray(frame(rng, rng.choice([read_request, write_single, write_multiple])(rng)))
        for _ in range(rng.randint(1, 3)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
        return bytes(data), False
    fc = rng.choice([3, 6, 16, next_fc])  # long: a full frame with a big PDU
    return frame(rng, bytes([fc]) + rng.randbytes(rng.randrange(100, 3000))), fc == next_fc


# ----------------------------------------------------------------------------------------------


class Master:
    """One fuzzing thread: connection after connection until the deadline."""

    def __init__(self, port, initial, seed, stop):
        self.port, self.initial, self.stop = port, initial, stop
        self.rng = random.Random(seed)
        self.next_fc = seed % 256
        self.accepted = {}  # addr -> values written by accepted requests
        self.errors = []
        self.frames = self.requests = self.answers = self.connections = self.bytes = self.unserved = 0
        self.stream = b""  # the stream of the current connection, shown when something fails

    def fail(self, message):
        self.errors.append(message)
        self.stop.set()

    def run(self, deadline):
        try:
            while time.monotonic() < deadline and not self.stop.is_set():
                self.session()
        except Exception:  # noqa: BLE001 - any error of a master is a finding to report
            self.fail(traceback.format_exc(limit=-2) + "stream: %r" % self.stream[:200])

    def session(self):
        rng = self.rng
        stream = b""
        for _ in range(rng.randint(1, 30)):
            piece, rotated = mutated(rng, self.next_fc)
            if rotated:
                self.next_fc = (self.next_fc + 1) % 256
            stream += piece
            self.frames += 1
        requests = server_view(stream)
        self.stream = stream
        closes = bool(requests) and malformed(requests[-1][1])
        if closes:  # nothing after it: the server closes with nothing unread (FIN, not RST)
            stream = stream[:requests[-1][2]]
        answered = requests[:-1] if closes else requests

        try:
            sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
        except TimeoutError:  # a handshake lost in an overflowing listen backlog
            self.unserved += 1
            return
        with sock:
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            if not self.served(sock):
                return
            self.connections += 1
            received = bytearray()
            pos = 0
            while pos < len(stream):  # cut anywhere, sometimes with a pause so segments stay apart
                n = rng.choice([1, 2, 3, 7, 8, rng.randrange(1, 64), rng.randrange(1, 4096)])
                sock.sendall(stream[pos:pos + n])
                pos += n
                if rng.random() < 0.05:
                    time.sleep(0.001)
                while select.select([sock], [], [], 0)[0]:  # keep the server's answers flowing
                    chunk = sock.recv(65536)
                    if not chunk:
                        break
                    received += chunk
            self.bytes += len(stream)
            self.requests += len(requests)
            reader = Answers(sock, received)
            for header, pdu, _ in answered:
                got = reader.next()
                if got is None:
                    return self.fail("connection ended after %d of %d answers" % (self.answers, len(answered)))
                self.check(header, pdu, got)
            if closes and not reader.at_eof():
                self.fail("no end of connection after a request the server cannot decode: %r" % requests[-1][1][:16])

    def served(self, sock):
        """Whether the server took the connection, told by the answer to a read of fixed registers.

        A burst of connections can overflow the listen backlog; the kernel then completes the
        handshake for the master but not for the server, and the master's bytes are dropped or
        reset. Such a connection reached no handler, so a read that fails on it changed nothing."""
        probe = struct.pack(">BHH", 3, READ_ONLY[0], 2)
        try:
            sock.sendall(mbap(probe, tx_id=0xABCD))
            got = Answers(sock, b"").next()
        except (ConnectionResetError, TimeoutError):
            got = None
        if got is None:
            self.unserved += 1
            return False
        self.check((0xABCD, 0, 1), probe, got)
        return True

    def check(self, header, pdu, got):
        (tx, proto, unit), answer = got[:3], got[3]
        expected, stores = expected_answer(pdu, self.initial)
        same = len(answer) == len(expected) and all(e is None or e == a for e, a in zip(expected, answer))
        if (tx, proto, unit) != header or not same:
            return self.fail("request %s %r answered %s %r" % (header, pdu[:24], (tx, proto, unit), answer[:24]))
        self.answers += 1
        for addr, value in stores:
            self.accepted.setdefault(addr, set()).add(value)


class Answers:
    """Answer frames from what was received while sending, then from the socket."""

    def __init__(self, sock, received):
        self.sock, self.buf = sock, bytes(received)

    def _fill(self, n):
        while len(self.buf) < n:
            try:
                chunk = self.sock.recv(65536)
            except ConnectionResetError:
                return False
            if not chunk:
                return False
            self.buf += chunk
        return True

    def next(self):
        if not self._fill(7):
            return None
        tx, proto, length, unit = struct.unpack_from(">HHHB", self.buf)
        if not self._fill(6 + length):
            return None
        pdu, self.buf = self.buf[7:6 + length], self.buf[6 + length:]
        return tx, proto, unit, pdu

    def at_eof(self):
        if self.buf:
            return False
        try:
            return self.sock.recv(1) == b""
        except ConnectionResetError:
            return True


def exchange(sock, pdu, tx_id=7):
    sock.sendall(mbap(pdu, tx_id=tx_id))
    tx, _, _, answer = recv_frame(sock)
    assert tx == tx_id
    return answer


def test_random_and_mutated_frames_leave_the_server_serving_and_the_bank_accounted(served, port, capsys):
    bank = served(size=SIZE)
    for start, end in RW_RANGES:
        bank.CUF_Set_ReadWriteRange(start, end)
    seed = random.randrange(1 << 30)
    rng = random.Random(seed)
    initial = [rng.randrange(0x10000) for _ in range(SIZE)]
    for addr, value in enumerate(initial):
        bank.CUF_REG_Write(addr, value)

    stop = threading.Event()
    deadline = time.monotonic() + FUZZ_SECONDS
    masters = [Master(port, initial, seed + i, stop) for i in range(CONNECTION_THREADS)]
    threads = [threading.Thread(target=m.run, args=(deadline,), daemon=True) for m in masters]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=FUZZ_SECONDS + 30)
    assert not any(t.is_alive() for t in threads), "a master is stuck (seed %d)" % seed
    errors = [e for m in masters for e in m.errors]
    assert not errors, "seed %d: %s" % (seed, errors[:5])

    # Every connection is gone, and no error left a connection's handler.
    wait_until(lambda: bank.CUF_ListConnections() == [], timeout=10)
    assert "Exception occurred during processing" not in capsys.readouterr().err

    # The bank moved only by accepted writes: a register written by one holds one of the values
    # those writes carried; any other register holds its first value.
    accepted = {}
    for m in masters:
        for addr, vals in m.accepted.items():
            accepted.setdefault(addr, set()).update(vals)
    final = [bank.CUF_REG_Read(a) for a in range(SIZE)]
    wrong = [(a, initial[a], final[a]) for a in range(SIZE)
             if final[a] not in accepted.get(a, {initial[a]})]
    assert not wrong, "seed %d: registers changed without an accepted write: %s" % (seed, wrong[:10])

    # Well-formed requests are still served correctly.
    with socket.create_connection(("127.0.0.1", port), timeout=5) as sock:
        ro = READ_ONLY[0] + 17
        assert exchange(sock, struct.pack(">BHH", 3, ro, 4)) == b"\x03\x08" + struct.pack(">4H", *initial[ro:ro + 4])
        assert exchange(sock, struct.pack(">BHH", 6, 12, 0xCAFE)) == struct.pack(">BHH", 6, 12, 0xCAFE)
        pdu = struct.pack(">BHHB3H", 16, 20, 3, 6, 1, 2, 3)
        assert exchange(sock, pdu) == struct.pack(">BHH", 16, 20, 3)
        assert exchange(sock, struct.pack(">BHH", 3, 20, 3)) == b"\x03\x06" + struct.pack(">3H", 1, 2, 3)
        assert exchange(sock, struct.pack(">BHH", 6, ro, 1)) == b"\x86\x02"
        assert exchange(sock, b"\x2b\x0e") == b"\xab\x01"
    assert bank.CUF_REG_Read(12) == 0xCAFE and bank.CUF_REG_Read(ro) == initial[ro]

    total = lambda field: sum(getattr(m, field) for m in masters)  # noqa: E731
    print("\nlive fuzz (seed %d): %d connections, %d frames sent (%d bytes), %d requests cut by the server, "
          "%d answers checked, %d registers changed by accepted writes, %d connections the server never took"
          % (seed, total("connections"), total("frames"), total("bytes"), total("requests"), total("answers"),
             sum(1 for a in range(SIZE) if final[a] != initial[a]), total("unserved")))
