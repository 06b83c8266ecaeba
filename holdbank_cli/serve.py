"""`holdbank serve`: a Holdbank bank built from the flags, served until Ctrl-C or SIGTERM."""
import contextlib
import datetime
import errno
import ipaddress
import json
import math
import os
import random
import re
import shutil
import signal
import socket
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

from holdbank_cli.forms import (SET_FORMS, UsageError, clamp, parse_address, parse_port, parse_range, parse_value,
                                to_words)

DEFAULT_HOST, DEFAULT_PORT = "0.0.0.0", 502  # CUF_Open's own defaults


def parse_listen(text: str) -> tuple[str, int]:
    """HOST:PORT, HOST alone or :PORT; what is left out is the module's default."""
    host, sep, port = text.rpartition(":") if ":" in text else (text, "", "")
    host = host.strip("[]") or DEFAULT_HOST
    if not sep:
        return host, DEFAULT_PORT
    return host, parse_port(port, low=0)


def split_assignment(text: str, what: str) -> tuple[int, str, str]:
    """(address, form, right-hand side) of `ADDR[:FORM]=...`."""
    left, sep, right = text.partition("=")
    if not sep:
        raise UsageError("%s %r is not of the form ADDR[:FORM]=..." % (what, text))
    address, _, form = left.partition(":")
    form = form.strip() or "u16"
    if form not in SET_FORMS:
        raise UsageError("%s %r: form %r is not one of %s" % (what, text, form, ", ".join(SET_FORMS)))
    return parse_address(address.strip()), form, right


def store(bank: object, address: int, words: list[int]) -> None:
    """Registers from `address` on, through the host-side calls. Several words go in one
    CUF_REG_WriteSTR of their bytes (latin-1 maps each byte to itself), so that a master never
    reads half of a 32-bit value: the call stores them under one hold of the bank's lock."""
    if len(words) == 1:
        bank.CUF_REG_Write(address, words[0])  # type: ignore[attr-defined]
    else:
        data = b"".join(w.to_bytes(2, "big") for w in words)
        bank.CUF_REG_WriteSTR(address, data.decode("latin-1"), "latin-1")  # type: ignore[attr-defined]


# --- simulations -------------------------------------------------------------------------------

# Each kind's arguments in order, with defaults; period is the seconds between two updates.
KINDS = {
    "counter": (("step", 1.0), ("period", 1.0), ("start", 0.0)),
    "ramp": (("low", 0.0), ("high", 100.0), ("seconds", 10.0), ("period", 0.5)),
    "sine": (("amplitude", 100.0), ("seconds", 10.0), ("offset", 0.0), ("period", 0.5)),
    "walk": (("low", 0.0), ("high", 100.0), ("step", 1.0), ("period", 0.5)),
}
KINDS["random"] = KINDS["walk"]


@dataclass
class Simulation:
    address: int
    form: str
    kind: str
    args: dict
    ticks: int = 0
    current: "float | None" = None
    rng: random.Random = field(default_factory=random.Random)

    def value(self, elapsed: float) -> "int | float":
        a = self.args
        if self.kind == "counter":
            raw = a["start"] + self.ticks * a["step"]
            if self.form != "float":
                # An integer counter wraps as a device's does.
                bits = 16 if self.form in ("u16", "i16") else 32
                raw = int(raw) % (1 << bits)
                if self.form.startswith("i") and raw >= 1 << (bits - 1):
                    raw -= 1 << bits
        elif self.kind == "ramp":
            raw = a["low"] + (a["high"] - a["low"]) * ((elapsed % a["seconds"]) / a["seconds"])
        elif self.kind == "sine":
            raw = a["offset"] + a["amplitude"] * math.sin(2 * math.pi * elapsed / a["seconds"])
        else:
            if self.current is None:
                self.current = (a["low"] + a["high"]) / 2
            step = self.rng.uniform(-a["step"], a["step"])
            self.current = min(a["high"], max(a["low"], self.current + step))
            raw = self.current
        self.ticks += 1
        return clamp(self.form, raw)


def parse_simulation(text: str, size: int) -> Simulation:
    address, form, right = split_assignment(text, "--simulate")
    match = re.fullmatch(r"\s*(\w+)\s*(?:\((.*)\))?\s*", right)
    if not match or match.group(1) not in KINDS:
        raise UsageError("--simulate %r: expected KIND(ARGS) with KIND one of %s" % (text, ", ".join(KINDS)))
    if form == "text":
        raise UsageError("--simulate %r: a text cannot be simulated" % text)
    kind, defaults = match.group(1), KINDS[match.group(1)]
    names = [name for name, _ in defaults]
    args = dict(defaults)
    for position, item in enumerate(a.strip() for a in (match.group(2) or "").split(",") if a.strip()):
        name, sep, value = item.partition("=")
        if not sep:
            if position >= len(names):
                raise UsageError("--simulate %r: %s takes at most %d arguments" % (text, kind, len(names)))
            name, value = names[position], item
        if name.strip() not in args:
            raise UsageError("--simulate %r: %s has no argument %r (it has %s)" % (text, kind, name, ", ".join(names)))
        try:
            args[name.strip()] = float(value)
        except ValueError:
            raise UsageError("--simulate %r: %r is not a number" % (text, value)) from None
    if args["period"] <= 0 or args.get("seconds", 1) <= 0:
        raise UsageError("--simulate %r: period and seconds must be above 0" % text)
    if kind in ("walk", "random") and args["low"] > args["high"]:
        raise UsageError("--simulate %r: low is above high" % text)
    check_fits(address, 2 if form in ("u32", "i32", "float") else 1, size, "--simulate %r" % text)
    return Simulation(address, form, kind, args)


def check_fits(address: int, registers: int, size: int, what: str) -> None:
    if address + registers > size:
        raise UsageError("%s: registers %d-%d lie outside the bank of %d" % (what, address, address + registers - 1, size))


def run_simulations(bank: object, simulations: list[Simulation], stop: threading.Event) -> None:
    start = time.monotonic()
    due = [start] * len(simulations)
    while not stop.is_set():
        now = time.monotonic()
        for i, sim in enumerate(simulations):
            if now >= due[i]:
                store(bank, sim.address, to_words(sim.form, sim.value(now - start)))
                due[i] += sim.args["period"] * max(1, math.ceil((now - due[i]) / sim.args["period"]))
        stop.wait(max(0.0, min(due) - time.monotonic()))


# --- events --------------------------------------------------------------------------------------

class Events:
    """One line per event on standard output, from whichever server thread it happens on."""

    def __init__(self, as_json: bool) -> None:
        self.as_json = as_json
        self._lock = threading.Lock()
        # Taken now: the module's messages are sent to standard error for a while at times
        # (redirect_stdout swaps sys.stdout for every thread), and events must not follow them.
        self._out = sys.stdout

    def say(self, kind: str, text: str, **fields: object) -> None:
        stamp = datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")
        line = json.dumps({"event": kind, "time": stamp, **fields}) if self.as_json else "%s %s" % (stamp[11:23], text)
        with self._lock:
            print(line, file=self._out, flush=True)

    def attach(self, bank: object, secured: bool) -> None:
        bank.CUE_OnConnect = lambda ip, peer: self.say("connect", "connect %s" % peer, ip=ip, peer=peer)
        bank.CUE_OnDisconnect = lambda peer: self.say("disconnect", "disconnect %s" % peer, peer=peer)
        bank.CUE_OnWrite = lambda ip, a, v: self.say("write", "write %s %d = %d" % (ip, a, v), ip=ip, address=a, value=v)
        bank.CUE_OnWriteDenied = lambda ip, a, v: self.say(
            "write-refused", "write refused %s %d = %d" % (ip, a, v), ip=ip, address=a, value=v)
        if secured:
            bank.CUE_OnAccessDenied = lambda ip, peer: self.say(
                "master-refused", "master refused %s (not on the allow-list)" % peer, ip=ip, peer=peer)


# --- the command ---------------------------------------------------------------------------------

def free_alternative(host: str) -> int:
    for candidate in (5020, 1502, 0):
        with socket.socket() as s:
            try:
                s.bind((host if host != "0.0.0.0" else "", candidate))
            except OSError:
                continue
            return s.getsockname()[1]
    return 5020


def serve(args) -> int:
    host, port = parse_listen(args.listen) if args.listen else (DEFAULT_HOST, DEFAULT_PORT)
    if args.size is not None and not 1 <= args.size <= 65536:
        raise UsageError("--size %d is outside 1..65536" % args.size)
    for ip in args.allow:
        try:
            ipaddress.ip_address(ip)
        except ValueError:
            raise UsageError("--allow %r is not an IP address" % ip) from None
    import Holdbank

    size = args.size if args.size is not None else Holdbank.CLASS_Holdbank().size
    ro = [parse_range(r, "--ro") for r in args.ro]
    rw = [parse_range(r, "--rw") for r in args.rw]
    for (start, end), flag in [(r, "--ro") for r in ro] + [(r, "--rw") for r in rw]:
        check_fits(start, end - start + 1, size, flag)
    sets = []
    for text in args.set:
        address, form, right = split_assignment(text, "--set")
        value = parse_value(form, right)
        check_fits(address, len(to_words(form, value)), size, "--set %r" % text)
        sets.append((address, form, value))
    simulations = [parse_simulation(text, size) for text in args.simulate]

    scratch = None
    if args.backup:
        backup = os.path.abspath(args.backup)
        if not os.path.isdir(os.path.dirname(backup)):
            raise UsageError("--backup %s: folder %s does not exist" % (args.backup, os.path.dirname(backup)))
    else:
        # CUF_Close always saves; without --backup the save goes to a folder removed at exit.
        scratch = tempfile.mkdtemp(prefix="holdbank-")
        backup = os.path.join(scratch, "bank.json")

    # The module's own messages (load, open, save) go to standard error: standard output is for
    # the ready line and the events, which scripts read.
    chatter = contextlib.redirect_stdout(sys.stderr)
    bank_class = Holdbank.CLASS_Holdbank_Secured if args.allow else Holdbank.CLASS_Holdbank
    events = Events(args.json)
    try:
        with chatter:
            bank = bank_class(size, backup)
            if not set_up(bank, args, backup, ro, rw, sets, events, host, port):
                return 3
        if port == 0:  # the port the system chose
            port = getattr(getattr(bank, "server_net", None), "server_address", (host, port))[1]
        return serve_until_stopped(bank, host, port, size, backup if args.backup else None, simulations, events)
    finally:
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


def set_up(bank, args, backup, ro, rw, sets, events, host, port) -> bool:
    """The bank as the flags say, listening; False (after a message) when it cannot listen."""
    if args.backup and os.path.exists(backup) and not bank.CUF_LoadFromFile(backup):
        # Serving anyway would overwrite the user's file with a fresh bank at stop.
        raise UsageError("--backup %s is not a valid backup file; left as it is" % args.backup)
    for start, end in ro:
        bank.CUF_Set_ReadOnlyRange(start, end)
    for start, end in rw:
        bank.CUF_Set_ReadWriteRange(start, end)
    for address, form, value in sets:
        if form == "text":
            bank.CUF_REG_WriteSTR(address, value)
        else:
            store(bank, address, to_words(form, value))
    if args.events:
        events.attach(bank, bool(args.allow))
    if args.allow:
        for ip in args.allow:
            bank.CUF_AllowIP_Add(ip)
        bank.CUF_AllowIP_Active(True)
    try:
        bank.CUF_Open(host, port)
    except OSError as error:
        if error.errno == errno.EACCES:
            alternative = free_alternative(host)
            print("holdbank: port %d needs privileges (root, or CAP_NET_BIND_SERVICE); port %d is free: "
                  "holdbank serve --listen %s:%d" % (port, alternative, host, alternative), file=sys.stderr)
        else:
            print("holdbank: cannot listen on %s:%d: %s" % (host, port, error), file=sys.stderr)
        return False
    return True


def serve_until_stopped(bank, host, port, size, backup, simulations, events) -> int:
    stop = threading.Event()

    def on_signal(signum, frame):
        # The first Ctrl-C (or SIGTERM) stops cleanly; from then on the default action applies,
        # so a second one ends the process at once even while the close is under way.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        stop.set()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    runner = None
    if simulations:
        runner = threading.Thread(target=run_simulations, args=(bank, simulations, stop), daemon=True)
        runner.start()
    events.say("ready", "serving %d registers on %s:%d%s; Ctrl-C stops" % (
        size, host, port, ", backup %s" % backup if backup else ""), listen="%s:%d" % (host, port), size=size,
        backup=backup)
    while not stop.wait(0.2):
        pass
    if runner is not None:
        runner.join(timeout=5)
    with contextlib.redirect_stdout(sys.stderr):
        bank.CUF_Close()
    events.say("stopped", "stopped%s" % ("; registers saved to %s" % backup if backup else ""), backup=backup)
    return 0
