"""A master on a TARGET: `HOST[:PORT]` through Socklink, `rtu:DEVICE` through Cordlink. Every
request goes through the module's own calls; failures become the command's exit statuses."""
import inspect
import logging
import os
import re
from dataclasses import dataclass

from holdbank_cli.forms import TEXT_ENCODING, UsageError, parse_port

REFUSED = 1
NO_CONNECTION = 3

# An error answer as every pymodbus 3.x words it ("Exception Response(131, 3, ...)" before 3.8,
# "ExceptionResponse(dev_id=1, ...)" after); any other failure is a missing answer or link.
_EXCEPTION_ANSWER = re.compile(r"Exception ?Response", re.I)


class LinkError(Exception):
    """A failure the peer or the link caused; `status` is 1 (refused) or 3 (no connection)."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status


@dataclass
class Target:
    kind: str  # "tcp" or "rtu"
    where: str  # host, or the serial device
    port: int = 502

    def __str__(self) -> str:
        return "rtu:%s" % self.where if self.kind == "rtu" else "%s:%d" % (self.where, self.port)


def parse_target(text: str) -> Target:
    if text.startswith("rtu:"):
        device = text[4:]
        if not device:
            raise UsageError("rtu: needs a device, as in rtu:/dev/ttyUSB0")
        # A name the system does not know is the user's mistake, not the line's (COM3 and the like
        # are no paths, so only a path is checked).
        if "/" in device and not os.path.exists(device):
            raise UsageError("device %s does not exist" % device)
        return Target("rtu", device)
    host, port = text, "502"
    match = re.fullmatch(r"\[([^\]]+)\](?::(.*))?", text)
    if match:
        host, port = match.group(1), match.group(2) or "502"
    elif text.count(":") == 1:
        host, port = text.split(":")
    if not host:
        raise UsageError("target %r names no host" % text)
    return Target("tcp", host, parse_port(port))


def quiet_pymodbus() -> None:
    # The modules report every failure through CUE_OnError; pymodbus's own log lines would say it
    # twice, in another form.
    logging.getLogger("pymodbus").setLevel(logging.CRITICAL + 1)


def _unit_keyword(client: object) -> str:
    params = inspect.signature(type(client).read_holding_registers).parameters
    return "device_id" if "device_id" in params else "slave"


class Link:
    """One open master. `errors` collects what the module reports to CUE_OnError."""

    def __init__(self, target: Target, unit: int = 1, baudrate: int = 9600, parity: str = "N",
                 stopbits: int = 1, bytesize: int = 8, timeout: float = 1.0, retries: "int | None" = None) -> None:
        quiet_pymodbus()
        self.target = target
        self.unit = unit
        self.errors: list[str] = []
        self.packets: list[list[int]] = []
        if target.kind == "rtu":
            import Cordlink

            self.master = Cordlink.CLASS_Cordlink()
        else:
            import Socklink

            self.master = Socklink.CLASS_Socklink()
        self.master.CUE_OnError = self.errors.append
        self.master.CUE_OnPacketREAD = self.packets.append
        if target.kind == "rtu":
            opened = self.master.CUF_Open(target.where, baudrate, parity, stopbits, bytesize)
        else:
            opened = self.master.CUF_Open(target.where, target.port)
        if not opened:
            raise LinkError(self.errors[-1] if self.errors else "Connection Failed to %s" % target, NO_CONNECTION)
        self._tune(timeout, retries)

    def _tune(self, timeout: float, retries: "int | None") -> None:
        """The answer time-out (and, for probes, the retries) on the client the module made. The
        attributes moved between pymodbus releases, so each is set where it exists."""
        client = self.master.client
        params = getattr(client, "comm_params", None)
        if params is not None and hasattr(params, "timeout_connect"):
            params.timeout_connect = timeout
        if hasattr(client, "params") and hasattr(client.params, "timeout"):
            client.params.timeout = timeout
        serial = getattr(client, "socket", None)
        if self.target.kind == "rtu" and serial is not None and hasattr(serial, "timeout"):
            serial.timeout = timeout
        if retries is not None:
            for owner in (client, getattr(client, "transaction", None), getattr(client, "params", None)):
                if owner is not None and hasattr(owner, "retries"):
                    owner.retries = retries

    def close(self) -> None:
        self.master.CUF_Close()

    def _unit(self) -> dict:
        return {"slave": self.unit} if self.target.kind == "rtu" else {}

    def _failed(self, before: int) -> None:
        """Raises for what the module reported since `before`, if anything."""
        if len(self.errors) > before:
            message = self.errors[-1]
            raise LinkError(message, REFUSED if _EXCEPTION_ANSWER.search(message) else NO_CONNECTION)

    def read(self, form: str, address: int, count: int) -> "tuple[list, list[int]]":
        """(values, registers): `count` values of `form` (a text: `count` registers) from `address`."""
        before = len(self.errors)
        self.packets.clear()
        if form == "text":
            values: list = [self.master.CUF_Read_HR_str(address, count, TEXT_ENCODING, **self._unit())]
        else:
            call = {"u16": self.master.CUF_Read_HR_int, "u32": self.master.CUF_Read_HR_long,
                    "float": self.master.CUF_Read_HR_double}[form]
            values = call(address, count, **self._unit())
        self._failed(before)
        if form != "text" and len(values) != count:
            raise LinkError("the device answered %d values for %d" % (len(values), count), REFUSED)
        return values, (self.packets[-1] if self.packets else [])

    def write(self, form: str, address: int, value: "int | float | str") -> None:
        before = len(self.errors)
        try:
            if form == "text":
                done = self.master.CUF_Write_HR_str(address, value, TEXT_ENCODING, **self._unit())
            else:
                call = {"u16": self.master.CUF_Write_HR_int, "u32": self.master.CUF_Write_HR_long,
                        "float": self.master.CUF_Write_HR_double}[form]
                done = call(address, value, **self._unit())
        except Exception as exc:  # the client package's errors: no answer, a closed link
            if type(exc).__module__.startswith("pymodbus"):
                raise LinkError(str(exc), NO_CONNECTION) from None
            raise
        self._failed(before)
        if not done:
            raise LinkError("the device refused the write of %s at %d" % (value, address), REFUSED)

    def probe(self, unit: int, address: int) -> str:
        """One one-register read of `unit`: "answered", "exception" or "silent"."""
        client = self.master.client
        transaction = getattr(client, "transaction", None)
        if transaction is not None and hasattr(transaction, "max_until_disconnect"):
            # Silent units must not make the client drop its link to the line or the gateway.
            transaction.count_until_disconnect = transaction.max_until_disconnect
        if self.target.kind == "rtu":
            self.unit = unit
            try:
                self.read("u16", address, 1)
            except LinkError as error:
                return "exception" if error.status == REFUSED else "silent"
            return "answered"
        # Socklink's own reads name no unit, so a gateway's units are asked through the client the
        # module opened, with the unit keyword of the installed pymodbus.
        try:
            answer = client.read_holding_registers(address, count=1, **{_unit_keyword(client): unit})
        except Exception as exc:
            if type(exc).__module__.startswith("pymodbus"):
                return "silent"
            raise
        if not answer.isError():
            return "answered"
        return "exception" if _EXCEPTION_ANSWER.search(str(answer)) or hasattr(answer, "exception_code") else "silent"
