"""What the tests of the two Modbus masters share: hook recorders, a recording client and the
real peers each master is tested against."""

import pymodbus

PYMODBUS = tuple(int(part) for part in pymodbus.__version__.split(".")[:2])
# The keyword under which the masters hand the unit number to the package's client: 3.10 renamed it.
UNIT_KEYWORD = "slave" if PYMODBUS < (3, 10) else "device_id"
# The unit a request carries when the caller names none: 0 with 3.6's client, 1 from 3.7 on.
DEFAULT_UNIT = 0 if PYMODBUS < (3, 7) else 1

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


def is_open(client):
    """Whether the package's client holds its serial line or socket open. Asked without
    `client.connected`, which on 3.6's serial client opens the line again."""
    return client.socket is not None


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
    """pymodbus's TCP server on its own asyncio loop in a background thread, noting each request.

    The server's API changed more than the client's across 3.x: 3.12 serves simulated devices
    (SimDevice) and 3.13 dropped the data blocks' host-side access; 3.10 renamed the device store
    (ModbusSlaveContext to ModbusDeviceContext); 3.8 replaced request_tracer with trace_pdu. The
    peer takes whichever the installed release has, and serves the same SIZE registers of any unit,
    answering "illegal data address" past the last one as a real device does."""

    master = "socklink"

    def __init__(self, port):
        import asyncio
        import inspect
        import threading

        from pymodbus.server import ModbusTcpServer

        self.port = port
        self.open_args = ("127.0.0.1", port)
        self.received = []  # (unit, function, address, count for reads or [values] for writes)
        self.loop = asyncio.new_event_loop()
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self._store = _simulated_device() if _serves_simulated_devices() else _device_store()

        tracing = {}
        if "trace_pdu" in inspect.signature(ModbusTcpServer.__init__).parameters:
            def trace_pdu(sending, pdu):
                if not sending:
                    self._note(pdu)
                return pdu
            tracing["trace_pdu"] = trace_pdu
        else:
            tracing["request_tracer"] = lambda request, *addr: self._note(request)

        async def start():
            self.server = ModbusTcpServer(self._store.context, address=("127.0.0.1", port), **tracing)
            if "background" in inspect.signature(self.server.serve_forever).parameters:
                await self.server.serve_forever(background=True)
            else:  # 3.6's serve_forever listens, then waits for the shutdown
                await self.server.listen()

        self._run(start())

    def _run(self, coroutine):
        import asyncio
        return asyncio.run_coroutine_threadsafe(coroutine, self.loop).result(timeout=5)

    def _note(self, pdu):
        function = pdu.function_code
        if function == 3:
            data = pdu.count
        elif hasattr(pdu, "registers"):
            data = list(pdu.registers)
        else:  # before 3.7 a write request keeps its own names
            data = list(pdu.values) if function == 16 else [pdu.value]
        unit = pdu.dev_id if hasattr(pdu, "dev_id") else pdu.slave_id
        self.received.append((unit, function, pdu.address, data))

    def set(self, addr, values):
        self._store.set(self, addr, list(values))

    def get(self, addr, count):
        return self._store.get(self, addr, count)

    def unreadable(self):
        """(address, count) of a read past the last register."""
        return SIZE, 1

    def requests(self):
        return [(function, address, data) for _, function, address, data in self.received]

    def units(self):
        """The unit number of each request received."""
        return [unit for unit, _, _, _ in self.received]

    def close(self):
        import asyncio
        asyncio.run_coroutine_threadsafe(self.server.shutdown(), self.loop).result(timeout=5)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join(timeout=5)
        self.loop.close()


def _serves_simulated_devices():
    try:  # before 3.12 the module of that name holds another simulator
        from pymodbus.simulator import DataType, SimData, SimDevice  # noqa: F401
    except ImportError:
        return False
    return True


class _simulated_device:
    """From 3.12: one simulated device for every unit (id 0), SIZE registers from address 0; the
    host reaches the registers through the running server."""

    def __init__(self):
        from pymodbus.simulator import DataType, SimData, SimDevice

        self.context = SimDevice(id=0, simdata=[SimData(0, count=SIZE, values=0, datatype=DataType.REGISTERS)])

    def set(self, peer, addr, values):
        peer._run(peer.server.async_setValues(1, 16, addr, values))

    def get(self, peer, addr, count):
        return peer._run(peer.server.async_getValues(1, 3, addr, count))


class _device_store:
    """Before 3.12: pymodbus's device store over a data block the host writes directly."""

    def __init__(self):
        from pymodbus import datastore
        from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext

        device_class = getattr(datastore, "ModbusDeviceContext", None) or datastore.ModbusSlaveContext

        class BoundedDevice(device_class):
            """Answers "illegal data address" past the last register, where the stock store of 3.7
            to 3.11 reads short and grows on writes (3.6's checks the range itself)."""

            def getValues(self, fc_as_hex, address, count=1):
                if address + count > SIZE:
                    from pymodbus.pdu import ExceptionResponse
                    return ExceptionResponse.ILLEGAL_ADDRESS
                return super().getValues(fc_as_hex, address, count)

            def setValues(self, fc_as_hex, address, values):
                if address + len(values) > SIZE:
                    from pymodbus.pdu import ExceptionResponse
                    return ExceptionResponse.ILLEGAL_ADDRESS
                return super().setValues(fc_as_hex, address, values)

        # pymodbus's device store shifts every protocol address by one: block address 1 is register 0.
        self.block = ModbusSequentialDataBlock(1, [0] * SIZE)
        device = BoundedDevice(di=ModbusSequentialDataBlock(1, [0]), hr=self.block)
        # positional: 3.10 renamed the keyword (slaves= to devices=)
        self.context = ModbusServerContext(device, single=True)

    def set(self, peer, addr, values):
        self.block.setValues(addr + 1, values)

    def get(self, peer, addr, count):
        return self.block.getValues(addr + 1, count)


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
