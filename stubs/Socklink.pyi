"""Modbus TCP master, driving pymodbus's ModbusTcpClient."""

from collections.abc import Callable

from pymodbus.client import ModbusTcpClient

# The version of the holdbank-toolkit distribution the module was built from.
__version__: str

class CLASS_Socklink:
    """A Modbus TCP master with one connection to one server.

    The class has no thread and no lock: every hook runs on the caller's thread, inside the call.
    """

    # The client built by the last CUF_Open; None before the first one.
    client: ModbusTcpClient | None
    CUE_OnConnect: Callable[[], object] | None
    """Called after CUF_Open has connected."""
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
    def CUF_Open(self, Pms_IPAddr: str, Pmi_Port: int) -> bool:
        """Connects to the server; False, reported to CUE_OnError, on failure."""
    def CUF_Close(self) -> None: ...
    def _read_raw(self, addr: int, count: int) -> list[int] | None: ...
    def CUF_Read_HR_int(self, Pmi_REG_Addr: int, Pmi_Len: int) -> list[int]:
        """`Pmi_Len` registers as unsigned 16-bit values; an empty list on failure."""
    def CUF_Read_HR_long(self, Pmi_REG_Addr: int, Pmi_Len: int) -> list[int]:
        """`Pmi_Len` unsigned 32-bit values, two registers each, high word first."""
    def CUF_Read_HR_double(self, Pmi_REG_Addr: int, Pmi_Len: int) -> list[float]:
        """`Pmi_Len` 32-bit floats, two registers each, high word first."""
    def CUF_Read_HR_str(self, Pmi_REG_Addr: int, Pmi_Len: int, encoding: str = "big5") -> str:
        """A text from `Pmi_Len` registers (two bytes each); the empty text on failure."""
    def CUF_Write_HR_int(self, Pmi_REG_Addr: int, Pmi_Value: int) -> bool: ...
    def CUF_Write_HR_long(self, Pmi_REG_Addr: int, Pmi_Value: int) -> bool: ...
    def CUF_Write_HR_double(self, Pmi_REG_Addr: int, Pmf_Value: float) -> bool: ...
    def CUF_Write_HR_str(self, Pmi_REG_Addr: int, Pms_Value: str, encoding: str = "big5") -> bool: ...
