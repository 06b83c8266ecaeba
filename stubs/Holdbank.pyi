"""Modbus TCP slave: a bank of 16-bit holding registers served to any number of masters."""

import logging
import socket
import socketserver
import threading
from collections.abc import Callable
from typing import Any

# The module's logger, named "Holdbank". Importing the module calls logging.basicConfig with
# level INFO, so its DEBUG lines show only after logger.setLevel(logging.DEBUG).
logger: logging.Logger
# The version of the holdbank-toolkit distribution the module was built from.
__version__: str

class CLASS_SocklinkWorker(socketserver.BaseRequestHandler):
    """Serves one master's connection: function codes 3, 6 and 16 against the owner's bank."""

    def handle(self) -> None: ...

class ThreadedSocklinkServer(socketserver.ThreadingMixIn, socketserver.TCPServer):
    """The listener built by CUF_Open: one daemon thread per accepted connection."""

    allow_reuse_address: bool
    daemon_threads: bool
    # The server whose bank the connections serve; set by CUF_Open.
    owner: CLASS_Holdbank

class CLASS_Holdbank:
    """A Modbus TCP slave with its own bank of `size` holding registers, addressed from 0."""

    size: int
    # Register i holds hr[i]; read and written under `lock`.
    hr: list[int]
    # The one lock of the server: it guards `hr` and `active_connections`.
    lock: threading.Lock
    # (start, end) pairs, both ends inclusive, in the order added.
    ro_ranges: list[tuple[int, int]]
    rw_ranges: list[tuple[int, int]]
    # Full address ("ip:port") of each connected master to its socket, in connection order.
    active_connections: dict[str, socket.socket]
    server_thread: threading.Thread | None
    server_net: ThreadedSocklinkServer | None
    # The backup file that CUF_Close saves to; a successful CUF_LoadFromFile replaces it.
    default_backup_file: str

    # Hooks, None until the host script assigns a callable. Each runs on the connection's
    # handler thread. CUE_OnRead, and CUE_OnWrite for a function-16 request, run while `lock` is held.
    CUE_OnConnect: Callable[[str, str], object] | None
    """Called with (ip, full_address) when a master connects, before its first request."""
    CUE_OnDisconnect: Callable[[str], object] | None
    """Called with (full_address) when a master's connection has ended."""
    CUE_OnRead: Callable[[str, int, int], object] | None
    """Called with (ip, address, value) for every register a master reads."""
    CUE_OnWrite: Callable[[str, int, int], object] | None
    """Called with (ip, address, value) for every register a master writes."""
    CUE_OnWriteDenied: Callable[[str, int, int], object] | None
    """Called with (ip, address, value) for every address of a refused write."""

    def __init__(self, size: int = 7000, reg_log_filename: str = "modbus_reg_tbl.json") -> None: ...
    def CUF_SaveToFile(self, filename: str) -> None:
        """Saves the whole bank to a JSON file, split into READ_WRITE and READ_ONLY sections."""
    def CUF_LoadFromFile(self, Pms_IniFile: str) -> bool:
        """Restores registers from a backup file, all or nothing; True when they were stored."""
    def CUF_Set_ReadOnlyRange(self, start: int, end: int) -> None: ...
    def CUF_Set_ReadWriteRange(self, start: int, end: int) -> None: ...
    def _is_writable(self, reg: int) -> bool: ...
    def _on_client_connect(self, ip: str, full_address: str, sock: socket.socket) -> None: ...
    def _on_client_disconnect(self, full_address: str) -> None: ...
    def CUF_ListConnections(self) -> list[str]:
        """The full addresses ("ip:port") of the connected masters, in connection order."""
    def CUF_DisconnectClient(self, full_address: str) -> bool:
        """Drops a connected master; True when its socket was closed."""
    def _on_read(self, ip: str, addr: int, val: int) -> None: ...
    def _on_write(self, ip: str, addr: int, val: int) -> None: ...
    def _on_write_denied(self, ip: str, addr: int, val: int) -> None: ...
    def CUF_REG_Read(self, addr: int) -> int:
        """The value of register `addr`; IndexError outside the bank."""
    def CUF_REG_Write(self, addr: int, value: int) -> bool:
        """Stores the low 16 bits of `value`; False outside the bank. The ranges do not apply."""
    def CUF_REG_WriteSTR(self, addr: int, text: str, encoding: str = "utf-8") -> int:
        """Writes `text`, two bytes per register; returns the number of registers it occupies."""
    def CUF_REG_ReadSTR(self, addr: int, length: int, encoding: str = "utf-8") -> str:
        """Reads `length` registers as text; trailing NUL characters are removed."""
    def CUF_REG_Dump(self, start: int, end: int, dtype: str = "UINT16") -> list[Any]:
        """(key, value) rows for registers start..end; dtype UINT16, INT16, UINT32, INT32, FLOAT or STRING."""
    def CUF_Open(self, ip: str = "0.0.0.0", port: int = 502) -> None:
        """Starts listening on (ip, port) and serves every master on a thread of its own."""
    def CUF_Close(self) -> None:
        """Saves the bank to `default_backup_file`, drops every master and releases the port."""

class CLASS_Holdbank_Secured(CLASS_Holdbank):
    """A CLASS_Holdbank that, while its allow-list is on, admits only masters whose IP is on it.

    Reading CUE_OnConnect always gives the allow-list check; a callable assigned to it is kept
    and called for admitted masters only.
    """

    _allow_ip_list: set[str]
    _allow_ip_active: bool
    _user_on_connect: Callable[[str, str], object] | None
    CUE_OnAccessDenied: Callable[[str, str], object] | None
    """Called with (ip, full_address) for every refused master, before its socket is closed."""

    def __init__(self, size: int = 7000, reg_log_filename: str = "modbus_reg_tbl.json") -> None: ...
    # The class overrides __setattr__ to keep its check in CUE_OnConnect. It is left out here on
    # purpose: declaring it would make a type checker accept assignments to any attribute name.
    def _internal_security_check(self, ip_addr: str, full_addr: str) -> None: ...
    def CUF_AllowIP_Add(self, Pms_IP: str) -> None:
        """Adds an IP address text to the allow-list."""
    def CUF_AllowIP_Active(self, Pms_Active: bool) -> None:
        """Switches the allow-list on (dropping open connections not on it) or off."""
