"""A Modbus RTU slave on a pseudo-terminal, for testing masters over a real serial line.

The master opens `port` (the terminal end of the pair); the slave thread reads the controller end,
frames requests by the RTU rules (unit address, PDU, CRC-16, low byte first) and answers function
codes 3, 6 and 16 for the units it serves. Requests to any other unit get no answer, as on a
multi-drop line. Addresses outside `size` are answered with exception 2 (illegal data address),
quantities outside the protocol's limits with exception 3 (illegal data value).
"""
import os
import select
import struct
import threading
import tty


def crc16(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def frame(unit, pdu):
    body = bytes([unit]) + pdu
    return body + struct.pack("<H", crc16(body))


class RtuSlave:
    def __init__(self, units=(1,), size=100):
        self._controller, self._terminal = os.openpty()
        # Raw from the start: no echo, no line editing, 8 data bits.
        tty.setraw(self._terminal)
        self.port = os.ttyname(self._terminal)
        self.size = size
        self.registers = {unit: [0] * size for unit in units}
        # Every well-formed request, in order: (unit, function, address, count or value, words).
        self.requests = []
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._serve, daemon=True)
        self._thread.start()

    def close(self):
        self._stop.set()
        self._thread.join(timeout=5)
        os.close(self._controller)
        os.close(self._terminal)

    def _serve(self):
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
    def _frame_length(buffer):
        if len(buffer) < 2:
            return None
        if buffer[1] in (3, 6):
            return 8
        if buffer[1] == 16:
            return 9 + buffer[6] if len(buffer) >= 7 else None
        return 0

    def _answer(self, unit, pdu):
        function = pdu[0]
        address, quantity = struct.unpack(">HH", pdu[1:5])
        words = []
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
