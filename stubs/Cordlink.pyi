"""Modbus RTU master on a serial line, driving pymodbus's ModbusSerialClient."""

from collections.abc import Callable

from pymodbus.client import ModbusSerialClient

# The version of the holdbank-toolkit distribution the module was built from.
__version__: str

class CLASS_Cordlink:
    """An RTU master on one serial port. Every read and write names the unit (`slave`, default 1).

    The class has no thread and no lock: every hook runs on the caller's thread, inside the call.
    """

    # The client built by the last CUF_Open; None before the first one.
    client: ModbusSerialClient | None
    CUE_OnConnect: Callable[[], object] | None
    """Called after CUF_Open has opened the port."""
    CUE_OnConnecting: Callable[[], object] | None
    """Called first thing in every CUF_Open."""
    CUE_OnDisconnect: Callable[[], object] | None
    """Called after CUF_Close has closed the client."""
    CUE_OnError: Callable[[str], object] | None
    """Called with the message of every failure that an operation catches."""
    CUE_OnPacketREAD: Callable[[list[int]], object] | None
    """Called with the register values of every successful read."""
    CUE_OnPacketWRITE: Callable[[float | str], object] | None
    """Called after every successful write with the value written (a text as "text (encoding)")."""

    def __init__(self) -> None: ...
    def CUF_Open(
        self,
        Pms_PortName: str,
        Pmi_Baudrate: int = 9600,
        Pms_Parity: str = "N",
        Pmi_Stopbits: int = 1,
        Pmi_Bytesize: int = 8,
    ) -> bool:
        """Opens the serial port (time-out 1 s); False, reported to CUE_OnError, on failure."""
    def CUF_Close(self) -> None: ...
    def _read_raw(self, addr: int, count: int, slave: int = 1) -> list[int] | None: ...
    def CUF_Read_HR_int(self, Pmi_REG_Addr: int, Pmi_Len: int, slave: int = 1) -> list[int]:
        """`Pmi_Len` registers as unsigned 16-bit values; an empty list on failure."""
    def CUF_Read_HR_long(self, Pmi_REG_Addr: int, Pmi_Len: int, slave: int = 1) -> list[int]:
        """`Pmi_Len` unsigned 32-bit values, two registers each, high word first."""
    def CUF_Read_HR_double(self, Pmi_REG_Addr: int, Pmi_Len: int, slave: int = 1) -> list[float]:
        """`Pmi_Len` 32-bit floats, two registers each, high word first."""
    def CUF_Read_HR_str(self, Pmi_REG_Addr: int, Pmi_Len: int, encoding: str = "big5", slave: int = 1) -> str:
        """A text from `Pmi_Len` registers (two bytes each); the empty text on failure."""
    def CUF_Write_HR_int(self, Pmi_REG_Addr: int, Pmi_Value: int, slave: int = 1) -> bool: ...
    def CUF_Write_HR_long(self, Pmi_REG_Addr: int, Pmi_Value: int, slave: int = 1) -> bool: ...
    def CUF_Write_HR_double(self, Pmi_REG_Addr: int, Pmf_Value: float, slave: int = 1) -> bool: ...
    def CUF_Write_HR_str(self, Pmi_REG_Addr: int, Pms_Value: str, encoding: str = "big5", slave: int = 1) -> bool: ...
