"""pymodbus's own asynchronous Modbus TCP server over a sequential data block.

    python pymodbus_server.py PORT [REGISTERS]

Prints "ready" once listening and serves until its standard input closes.
"""
import asyncio
import os
import sys

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.server import ModbusTcpServer


async def serve(port, size):
    # The slave context shifts addresses by one, so the block holds one register more.
    def block():
        return ModbusSequentialDataBlock(0, [0] * (size + 1))

    # All four blocks are given: this release builds the missing ones only when `di` is missing.
    slave = ModbusSlaveContext(di=block(), co=block(), ir=block(), hr=block())
    server = ModbusTcpServer(ModbusServerContext(slaves=slave, single=True), address=("127.0.0.1", port))
    await server.serve_forever(background=True)
    print("ready", flush=True)
    stop = asyncio.get_running_loop().run_in_executor(None, sys.stdin.buffer.read)
    await stop
    await server.shutdown()


def main():
    port = int(sys.argv[1])
    size = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    asyncio.run(serve(port, size))
    os._exit(0)


if __name__ == "__main__":
    main()
