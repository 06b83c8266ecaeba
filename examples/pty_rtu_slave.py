"""A Modbus RTU slave on a pseudo-terminal: try Cordlink without a serial device.

    python examples/pty_rtu_slave.py [--units 1,2] [--size 100] [--seconds S]

Prints the name of the terminal end of a pseudo-terminal pair (/dev/pts/N) and answers, on the
other end, the RTU requests of function codes 3, 6 and 16 for the units it serves, each with
`size` holding registers starting at 0. Open the printed name with Cordlink, or with
examples/rtu_master.py, from another terminal:

    python examples/rtu_master.py /dev/pts/N --slave 1

A pseudo-terminal takes parity N only: open it with parity "N" (the default of CUF_Open).
Runs until Ctrl-C, or for S seconds with --seconds. POSIX systems only.

The slave frames requests by the RTU rules (unit address, PDU, CRC-16, low byte first).
Requests to a unit it does not serve get no answer, as on a multi-drop line. Addresses outside
`size` are answered with exception 2 (illegal data address), quantities outside the protocol's
limits with exception 3 (illegal data value).
"""
import argparse
import os
import select
import struct
import sys
import threading
import time
import tty
from collections.abc import Iterable


def crc16(data: bytes) -> int:
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(unit: int, pdu: bytes) -> bytes:
    body = bytes([unit]) + pdu
    return body + struct.pack("<H", crc16(body))


class RtuSlave:
    """The slave, serving on a thread of its own from construction until close()."""

    def __init__(self, units: Iterable[int] = (1,), size: int = 100) -> None:
        self._controller, self._terminal = os.openpty()
        # Raw from the start: no echo, no line editing, 8 data bits.
        tty.setraw(self._terminal)
        # The name a master opens.
        self.port = os.ttyname(self._terminal)
        self.size = size
        self.registers = {unit: [0] * size for unit in units}
        # Every well-formed request, in order: (unit, function, address, count or value, words).
        self.requests: list[tuple[int, int, int, int, list[int]]] = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def close(self) -> None:
        self._stop.set()
        self._thread.join(timeout=5)
        os.close(self._controller)
        os.close(self._terminal)

    def _serve(self) -> None:
        buffer = b""
        while not self._stop.is_set():
            ready, _, _ = select.select([self._controller], [], [], 0.02)
            if not ready:
                continue
            buffer += os.read(self._controller, 512)
            while True:
                length = self._frame_length(buffer)
                if length == 0:
                    buffer = b""  # a function this slave does not know: its length is unknown too
                    break
                if length is None or len(buffer) < length:
                    break
                request, buffer = buffer[:length], buffer[length:]
                if crc16(request[:-2]) != struct.unpack("<H", request[-2:])[0]:
                    buffer = b""  # out of step: drop everything and wait for the next request
                    break
                answer = self._answer(request[0], request[1:-2])
                if answer is not None:
                    os.write(self._controller, frame(request[0], answer))

    @staticmethod
    def _frame_length(buffer: bytes) -> int | None:
        if len(buffer) < 2:
            return None
        if buffer[1] in (3, 6):
            return 8
        if buffer[1] == 16:
            return 9 + buffer[6] if len(buffer) >= 7 else None
        return 0

    def _answer(self, unit: int, pdu: bytes) -> bytes | None:
        function = pdu[0]
        address, quantity = struct.unpack(">HH", pdu[1:5])
        words: list[int] = []
        if function == 16:
            words = list(struct.unpack(">%dH" % quantity, pdu[6 : 6 + 2 * quantity])) if pdu[5] == 2 * quantity else []
        self.requests.append((unit, function, address, quantity, words))
        bank = self.registers.get(unit)
        if bank is None:
            return None
        if function == 3:
            if not 1 <= quantity <= 125:
                return bytes([0x83, 3])
            if address + quantity > self.size:
                return bytes([0x83, 2])
            values = bank[address : address + quantity]
            return bytes([3, 2 * quantity]) + struct.pack(">%dH" % quantity, *values)
        if function == 6:
            if address >= self.size:
                return bytes([0x86, 2])
            bank[address] = quantity
            return pdu[:5]
        if not 1 <= quantity <= 123 or pdu[5] != 2 * quantity:
            return bytes([0x90, 3])
        if address + quantity > self.size:
            return bytes([0x90, 2])
        bank[address : address + quantity] = words
        return pdu[:5]


def main() -> int:
    parser = argparse.ArgumentParser(description="A Modbus RTU slave on a pseudo-terminal.")
    parser.add_argument("--units", default="1", help="comma-separated unit numbers to serve (default 1)")
    parser.add_argument("--size", type=int, default=100, help="holding registers per unit (default 100)")
    parser.add_argument("--seconds", type=float, default=None, help="stop after this long (default: at Ctrl-C)")
    args = parser.parse_args()

    slave = RtuSlave(units=[int(u) for u in args.units.split(",")], size=args.size)
    # The first line is the port alone, so a script can read it.
    print(slave.port, flush=True)
    print("serving units %s, %d registers each; Ctrl-C stops" % (args.units, args.size), flush=True)
    try:
        if args.seconds is None:
            while True:
                time.sleep(1)
        else:
            time.sleep(args.seconds)
    except KeyboardInterrupt:
        pass
    finally:
        slave.close()
    print("served %d requests" % len(slave.requests), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
