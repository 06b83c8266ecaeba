"""What the tests of the two Modbus masters share: hook recorders, a recording client and the
real peers each master is tested against."""

ATTRIBUTES = ["client", "CUE_OnConnect", "CUE_OnConnecting", "CUE_OnDisconnect", "CUE_OnError",
              "CUE_OnPacketREAD", "CUE_OnPacketWRITE"]
EMPTY_RESULTS = [("CUF_Read_HR_int", []), ("CUF_Read_HR_long", []), ("CUF_Read_HR_double", []),
                 ("CUF_Read_HR_str", "")]
NEVER_OPENED_WRITES = [("CUF_Write_HR_int", 1), ("CUF_Write_HR_long", 1), ("CUF_Write_HR_double", 1.0),
                       ("CUF_Write_HR_str", "A")]


def record_hooks(link):
    """Sets every hook to append its event to the returned list."""
    events = []
    link.CUE_OnConnecting = lambda: events.append("connecting")
    link.CUE_OnConnect = lambda: events.append("connect")
    link.CUE_OnDisconnect = lambda: events.append("disconnect")
    link.CUE_OnError = lambda text: events.append(("error", text))
    link.CUE_OnPacketREAD = lambda registers: events.append(("read", registers))
    link.CUE_OnPacketWRITE = lambda value: events.append(("write", value))
    return events


def raiser(message):
    def hook(*args):
        raise RuntimeError(message)
    return hook


def recording(client_class):
    """The package's own client class, noting how each call was made before making it."""

    class Recording(client_class):
        def __init__(self, *args, **kwargs):
            self.calls = [(client_class.__name__, args, list(kwargs.items()))]
            super().__init__(*args, **kwargs)

        def read_holding_registers(self, *args, **kwargs):
            self.calls.append(("read_holding_registers", args, kwargs))
            return super().read_holding_registers(*args, **kwargs)

        def write_register(self, *args, **kwargs):
            self.calls.append(("write_register", args, kwargs))
            return super().write_register(*args, **kwargs)

        def write_registers(self, *args, **kwargs):
            self.calls.append(("write_registers", args, kwargs))
            return super().write_registers(*args, **kwargs)

    return Recording


def host_error(action):
    """The error the host itself raises for `action`, to compare a master's failure with."""
    try:
        action()
    except Exception as error:  # noqa: BLE001 - any kind: that is what is compared
        return error
    raise AssertionError("no error")


# --- real peers for the masters ------------------------------------------------------------------
#
# Each peer gives the arguments that open its master towards it, host-side access to unit 1's
# registers, an address whose read it refuses, and the requests it received as (3, address, count)
# for reads and (function, address, [values]) for writes, or None where the peer keeps no record.

SIZE = 100  # registers served by every peer


class RtuPeer:
    """Cordlink's peer: an RTU slave on a pseudo-terminal serving units 1, 2 and 3."""

    master = "cordlink"

    def __init__(self):
        from rtu_slave import RtuSlave
        self.line = RtuSlave(units=(1, 2, 3), size=SIZE)
        self.open_args = (self.line.port,)

    def set(self, addr, values):
        self.line.registers[1][addr:addr + len(values)] = list(values)

    def get(self, addr, count):
        return self.line.registers[1][addr:addr + count]

    def unreadable(self):
        """(address, count) of a read that runs past the slave's last register."""
        return SIZE - 1, 2

    def requests(self):
        return [(function, address, count) if function == 3 else
                (function, address, [count] if function == 6 else words)
                for _, function, address, count, words in self.line.requests]

    def close(self):
        self.line.close()


class PymodbusServer:
    """pymodbus's TCP server on its own asyncio loop in a background thread, noting each request."""

    master = "socklink"

    def __init__(self, port):
        import asyncio
        import threading

        from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
        from pymodbus.pdu import ExceptionResponse
        from pymodbus.server import ModbusTcpServer

        class BoundedDevice(ModbusSlaveContext):
            """pymodbus's device store, answering "illegal data address" past its last register as a
            real device does (the stock store reads short and grows on writes instead)."""

            def getValues(self, fc_as_hex, address, count=1):
                if address + count > SIZE:
                    return ExceptionResponse.ILLEGAL_ADDRESS
                return super().getValues(fc_as_hex, address, count)

            def setValues(self, fc_as_hex, address, values):
                if address + len(values) > SIZE:
                    return ExceptionResponse.ILLEGAL_ADDRESS
                return super().setValues(fc_as_hex, address, values)

        self.port = port
        self.open_args = ("127.0.0.1", port)
        # pymodbus's device store shifts every protocol address by one: block address 1 is register 0.
        self.block = ModbusSequentialDataBlock(1, [0] * SIZE)
        device = BoundedDevice(di=ModbusSequentialDataBlock(1, [0]), hr=self.block)
        self.pdus = []  # request PDUs as received
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()

        def trace_pdu(sending, pdu):
            if not sending:
                self.pdus.append(pdu)
            return pdu

        async def start():
            self.server = ModbusTcpServer(ModbusServerContext(slaves=device, single=True),
                                          address=("127.0.0.1", port), trace_pdu=trace_pdu)
            await self.server.serve_forever(background=True)

        asyncio.run_coroutine_threadsafe(start(), self.loop).result(timeout=5)

    def set(self, addr, values):
        self.block.setValues(addr + 1, list(values))

    def get(self, addr, count):
        return self.block.getValues(addr + 1, count)

    def unreadable(self):
        """(address, count) of a read past the last register."""
        return SIZE, 1

    def requests(self):
        return [(pdu.function_code, pdu.address, pdu.count) if pdu.function_code == 3 else
                (pdu.function_code, pdu.address, list(pdu.registers)) for pdu in self.pdus]

    def close(self):
        import asyncio
        asyncio.run_coroutine_threadsafe(self.server.shutdown(), self.loop).result(timeout=5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=5)
        self.loop.close()


class HoldbankServer:
    """The project's own register server, seen through its host-side register access."""

    master = "socklink"

    def __init__(self, bank, port):
        self.bank = bank
        self.port = port
        self.open_args = ("127.0.0.1", port)

    def set(self, addr, values):
        for i, v in enumerate(values):
            assert self.bank.CUF_REG_Write(addr + i, v)

    def get(self, addr, count):
        return [self.bank.CUF_REG_Read(addr + i) for i in range(count)]

    def unreadable(self):
        """(address, count) of a read the server refuses: the register holds a value no register
        can carry, put there by the host script."""
        self.bank.hr[SIZE - 1] = 70000
        return SIZE - 1, 1

    def requests(self):
        return None
