"""A Modbus RTU master on a serial line: typed writes and reads addressed to one unit.

    python examples/rtu_master.py PORT [--slave 1] [--baudrate 9600] [--parity N]

PORT is the serial port's name, /dev/ttyUSB0 or COM3 for example. The example writes a 16-bit, a
32-bit, a float and a text value into holding registers 0 to 11 of the unit, reads them back and
closes the port. A request that gets no answer fails after about four seconds (a time-out of one
second, then the client package's three retries): a read reports it through CUE_OnError and gives
an empty result, a write raises the package's error. Exits 0 when every value read back equals
the value written, 1 when the port cannot be opened, the unit does not answer or a value differs.
"""
import argparse
import sys

from pymodbus.exceptions import ModbusException

import Cordlink


def main() -> int:
    parser = argparse.ArgumentParser(description="A Modbus RTU master.")
    parser.add_argument("port", help="serial port name, such as /dev/ttyUSB0 or COM3")
    parser.add_argument("--slave", type=int, default=1, help="unit number of the device (default 1)")
    parser.add_argument("--baudrate", type=int, default=9600)
    parser.add_argument("--parity", default="N", choices="NEO")
    args = parser.parse_args()

    master = Cordlink.CLASS_Cordlink()
    master.CUE_OnConnect = lambda: print("opened", args.port)
    master.CUE_OnDisconnect = lambda: print("closed", args.port)
    master.CUE_OnError = lambda text: print("error:", text)
    master.CUE_OnPacketWRITE = lambda value: print("  written:", value)

    if not master.CUF_Open(args.port, args.baudrate, args.parity):
        return 1
    unit = args.slave
    try:
        written = all([
            master.CUF_Write_HR_int(0, 1234, slave=unit),
            master.CUF_Write_HR_long(2, 4000000000, slave=unit),
            master.CUF_Write_HR_double(4, -2.5, slave=unit),
            # The text codec's default is big5; a pure ASCII text is the same bytes in any of them.
            master.CUF_Write_HR_str(10, "RTU", slave=unit),
        ])
        number = master.CUF_Read_HR_int(0, 1, slave=unit)
        long_value = master.CUF_Read_HR_long(2, 1, slave=unit)
        real = master.CUF_Read_HR_double(4, 1, slave=unit)
        text = master.CUF_Read_HR_str(10, 2, slave=unit)
        print("unit %d read back:" % unit, number, long_value, real, repr(text))
    except ModbusException as error:  # the writes pass the client package's errors on
        print("unit %d: %s" % (unit, error))
        return 1
    finally:
        master.CUF_Close()
    same = number == [1234] and long_value == [4000000000] and real == [-2.5] and text == "RTU"
    return 0 if written and same else 1


if __name__ == "__main__":
    sys.exit(main())
