"""Values and the registers that hold them, in the modules' layout: 32-bit values and floats take
two registers, high word first; texts two bytes per register, high byte first, NUL-padded."""
import math
import struct

# Texts go in and out as UTF-8 on both sides (the server's own default), so what `serve --set`
# stores, `write` sends and `read` shows are the same bytes.
TEXT_ENCODING = "utf-8"

MASTER_FORMS = ("u16", "u32", "float", "text")
SET_FORMS = ("u16", "i16", "u32", "i32", "float", "text")

_INT_RANGES = {"u16": (0, 0xFFFF), "i16": (-0x8000, 0x7FFF), "u32": (0, 0xFFFFFFFF), "i32": (-0x80000000, 0x7FFFFFFF)}


class UsageError(Exception):
    """Bad input from the command line: one line on standard error, status 2."""


def parse_int(text: str, what: str, low: int = 0, high: int = 0xFFFF) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise UsageError("%s %r is not an integer" % (what, text)) from None
    if not low <= value <= high:
        raise UsageError("%s %d is outside %d..%d" % (what, value, low, high))
    return value


def parse_port(text: str, low: int = 1) -> int:
    """A TCP port, `low`..65535 (0 where the system may choose one)."""
    try:
        number = int(text)
    except ValueError:
        raise UsageError("port %r is not a number" % text) from None
    if not low <= number <= 65535:
        raise UsageError("port %d is outside %d..65535" % (number, low))
    return number


def parse_address(text: str) -> int:
    return parse_int(text, "address", 0, 0xFFFF)


def parse_range(text: str, what: str = "range") -> tuple[int, int]:
    """`A-B` (or `A` alone) with A <= B, both addresses."""
    first, sep, last = text.partition("-")
    start = parse_address(first.strip())
    end = parse_address(last.strip()) if sep else start
    if end < start:
        raise UsageError("%s %s is written backwards (%d > %d)" % (what, text, start, end))
    return start, end


def parse_value(form: str, text: str) -> "int | float | str":
    """The value `text` names in `form`, checked to fit it."""
    if form == "text":
        try:
            text.encode(TEXT_ENCODING)
        except UnicodeEncodeError:
            raise UsageError("text %r cannot be encoded as %s" % (text, TEXT_ENCODING)) from None
        return text
    if form == "float":
        try:
            value = float(text)
        except ValueError:
            raise UsageError("value %r is not a number" % text) from None
        try:
            struct.pack(">f", value)
        except OverflowError:
            raise UsageError("value %s does not fit a 32-bit float" % text) from None
        return value
    low, high = _INT_RANGES[form]
    return parse_int(text, "%s value" % form, low, high)


def to_words(form: str, value: "int | float | str") -> list[int]:
    """The registers holding `value`, in the order they lie in the bank."""
    if form == "text":
        data = str(value).encode(TEXT_ENCODING)
        if len(data) % 2:
            data += b"\0"
        return list(struct.unpack(">%dH" % (len(data) // 2), data))
    if form == "float":
        return list(struct.unpack(">HH", struct.pack(">f", value)))
    if form in ("u32", "i32"):
        return list(struct.unpack(">HH", struct.pack(">I", int(value) & 0xFFFFFFFF)))
    return [int(value) & 0xFFFF]


def width(form: str) -> int:
    """Registers one value of `form` takes (texts: see to_words)."""
    return 2 if form in ("u32", "i32", "float") else 1


def clamp(form: str, value: float) -> "int | float":
    """A computed value brought into `form`: integers rounded and held inside their range."""
    if form == "float":
        return value
    low, high = _INT_RANGES[form]
    return max(low, min(high, int(round(value))))


def show_float(value: float) -> str:
    """The shortest text that gives back the same 32-bit float (3.14, not 3.140000104904175)."""
    if math.isnan(value) or math.isinf(value):
        return repr(value)
    packed = struct.pack(">f", value)
    for digits in range(1, 10):
        text = "%.*g" % (digits, value)
        if struct.pack(">f", float(text)) == packed:
            return text
    return repr(value)


def plain(form: str, value: "int | float | str") -> "int | float | str":
    """The value as JSON should carry it: a float rounded to the digits a 32-bit float holds."""
    return float(show_float(value)) if form == "float" and math.isfinite(value) else value  # type: ignore[arg-type]
