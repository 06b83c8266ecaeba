"""The command line: argument parsing, the client subcommands and the exit statuses
(0 success, 1 refused by the peer, 2 usage error, 3 no connection)."""
import argparse
import contextlib
import json
import sys
import time
from typing import NoReturn

from holdbank_cli import distribution_version
from holdbank_cli.forms import MASTER_FORMS, SET_FORMS, UsageError, parse_address, parse_int, parse_range, \
    parse_value, plain, show_float, to_words, width
from holdbank_cli.link import Link, LinkError, parse_target
from holdbank_cli import output

EXAMPLES = {
    "serve": """examples:
  holdbank serve --listen 127.0.0.1:5020 --size 100 --ro 0-9 --rw 10-99 \\
      --set 0=1234 --set 2:float=3.14 --set 4:text=HB-100 --simulate 20:i16='sine(100,10)' --events""",
    "read": """examples:
  holdbank read 127.0.0.1:5020 0 4
  holdbank read 127.0.0.1:5020 2 --as float --json
  holdbank read rtu:/dev/ttyUSB0 0 8 --unit 2 --baudrate 19200 --as text""",
    "write": """examples:
  holdbank write 127.0.0.1:5020 10 1 2 3
  holdbank write 127.0.0.1:5020 30 -2.5 --as float
  holdbank write rtu:/dev/ttyUSB0 0 305419896 --unit 2 --as u32""",
    "watch": """examples:
  holdbank watch 127.0.0.1:5020 0 10
  holdbank watch 127.0.0.1:5020 20 --as float --every 0.5""",
    "scan": """examples:
  holdbank scan rtu:/dev/ttyUSB0 --units 1-10 --baudrate 19200
  holdbank scan 192.168.1.50:502 --units 1-32""",
}

DESCRIPTION = """Serve a Modbus TCP bank, and read, write, watch and scan Modbus devices.

TARGET is HOST[:PORT] (Modbus TCP, port 502 by default) or rtu:DEVICE (Modbus RTU on a serial
line; --unit, --baudrate, --parity, --stopbits, --bytesize, --timeout). FORM is u16 (default),
u32, float or text (32-bit values and floats take two registers, high word first; texts two
UTF-8 bytes per register). Exit status: 0 success, 1 refused by the peer, 2 usage error,
3 no connection."""


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, as every other error of the command.
        self.exit(2, "holdbank %s: error: %s (see --help)\n" % (self.prog.split()[-1], message)
                  if self.prog != "holdbank" else "holdbank: error: %s (see --help)\n" % message)


def build_parser() -> Parser:
    parser = Parser(prog="holdbank", description=DESCRIPTION, formatter_class=argparse.RawDescriptionHelpFormatter,
                    epilog="examples:\n" + "\n".join(
                        e.split("\n", 1)[1] for e in EXAMPLES.values()))
    parser.add_argument("--version", action="version", version="holdbank %s" % distribution_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, help: str) -> Parser:
        return commands.add_parser(name, help=help, description=help, epilog=EXAMPLES[name],
                                   formatter_class=argparse.RawDescriptionHelpFormatter)

    serve = command("serve", "serve a bank of holding registers over Modbus TCP until Ctrl-C")
    serve.add_argument("--listen", metavar="HOST:PORT", help="where to listen (default 0.0.0.0:502)")
    serve.add_argument("--size", type=int, help="registers in the bank (default 7000)")
    serve.add_argument("--backup", metavar="FILE", help="JSON backup: loaded at start when it exists, saved at stop")
    serve.add_argument("--ro", action="append", default=[], metavar="A-B", help="a read-only range")
    serve.add_argument("--rw", action="append", default=[], metavar="A-B",
                       help="a read-write range (once any range is given, masters write only inside these)")
    serve.add_argument("--allow", action="append", default=[], metavar="IP",
                       help="admit only masters from these addresses")
    serve.add_argument("--set", action="append", default=[], metavar="ADDR[:FORM]=VALUE",
                       help="a register's value at start; FORM one of %s" % ", ".join(SET_FORMS))
    serve.add_argument("--simulate", action="append", default=[], metavar="ADDR[:FORM]=KIND(ARGS)",
                       help="a live value: counter(step,period,start), ramp(low,high,seconds,period), "
                            "sine(amplitude,seconds,offset,period), walk(low,high,step,period); "
                            "arguments by position or name=value")
    serve.add_argument("--events", action="store_true", help="a line per connect, disconnect, write and refusal")
    serve.add_argument("--json", action="store_true", help="the ready line and the events as JSON lines")

    link = argparse.ArgumentParser(add_help=False)
    group = link.add_argument_group("RTU targets")
    group.add_argument("--unit", help="unit address (default 1); TCP targets name none")
    group.add_argument("--baudrate", type=int, default=9600, help="default 9600")
    group.add_argument("--parity", default="N", choices=["N", "E", "O"], help="default N")
    group.add_argument("--stopbits", type=int, default=1, choices=[1, 2], help="default 1")
    group.add_argument("--bytesize", type=int, default=8, choices=[7, 8], help="default 8")
    link.add_argument("--timeout", type=float, help="seconds to wait for an answer (default 1, scan 0.3)")

    def with_link(name: str, help: str) -> Parser:
        sub = commands.add_parser(name, help=help, description=help, epilog=EXAMPLES[name], parents=[link],
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
        if name != "scan":
            sub.add_argument("target", metavar="TARGET")
            sub.add_argument("address", metavar="ADDR")
        else:
            sub.add_argument("target", metavar="TARGET")
        return sub

    read = with_link("read", "read holding registers")
    read.add_argument("count", metavar="COUNT", nargs="?", default="1", help="values to read (text: registers)")
    read.add_argument("--as", dest="form", default="u16", choices=MASTER_FORMS)
    read.add_argument("--json", action="store_true", help="JSON instead of a table")

    write = with_link("write", "write holding registers, one value after the other")
    write.add_argument("values", metavar="VALUE", nargs="+")
    write.add_argument("--as", dest="form", default="u16", choices=MASTER_FORMS)

    watch = with_link("watch", "poll registers and show them, changes marked, until Ctrl-C")
    watch.add_argument("count", metavar="COUNT", nargs="?", default="1")
    watch.add_argument("--as", dest="form", default="u16", choices=MASTER_FORMS)
    watch.add_argument("--every", type=float, default=1.0, metavar="SECONDS", help="default 1")

    scan = with_link("scan", "find the units that answer on an RTU line or behind a TCP gateway")
    scan.add_argument("--units", default="1-247", metavar="A-B", help="default 1-247")
    scan.add_argument("--address", default="0", help="the register each probe reads (default 0)")
    return parser


def open_link(args, retries=None, timeout=1.0) -> Link:
    target = parse_target(args.target)
    if target.kind == "tcp" and getattr(args, "unit", None) is not None:
        # Socklink's requests carry no unit of the caller's; scan --units asks a gateway's units.
        raise UsageError("--unit applies to rtu: targets only")
    unit = parse_int(args.unit or "1", "--unit", 0, 247)
    if args.timeout is not None:
        if args.timeout <= 0:
            raise UsageError("--timeout must be above 0")
        timeout = args.timeout
    return Link(target, unit=unit, baudrate=args.baudrate, parity=args.parity, stopbits=args.stopbits,
                bytesize=args.bytesize, timeout=timeout, retries=retries)


def checked_count(args) -> int:
    count = parse_int(args.count, "count", 1, 125)
    registers = count * (1 if args.form == "text" else width(args.form))
    if registers > 125:
        raise UsageError("%d %s values take %d registers; one read takes at most 125" % (count, args.form, registers))
    if parse_address(args.address) + registers > 65536:
        raise UsageError("the read runs past register 65535")
    return count


def shown(form: str, value) -> str:
    return show_float(value) if form == "float" else str(value)


def rows_of(form: str, address: int, values: list, registers: list[int]) -> list[list]:
    """(address, value, its registers) per value."""
    step = width(form)
    rows = []
    for i, value in enumerate(values):
        words = registers if form == "text" else registers[i * step:(i + 1) * step]
        rows.append([address + i * step, value, words])
    return rows


def cmd_read(args) -> int:
    address, count = parse_address(args.address), checked_count(args)
    link = open_link(args)
    try:
        values, registers = link.read(args.form, address, count)
    finally:
        link.close()
    rows = rows_of(args.form, address, values, registers)
    if args.json:
        print(json.dumps({"target": str(link.target), "form": args.form, "values": [
            {"address": a, "value": plain(args.form, v), "registers": w} for a, v, w in rows]}))
    else:
        output.print_table(["address", args.form, "registers"],
                           [[str(a), shown(args.form, v), " ".join("0x%04X" % x for x in w)] for a, v, w in rows])
    return 0


def cmd_write(args) -> int:
    address = parse_address(args.address)
    values = [parse_value(args.form, v) for v in args.values]
    total = sum(len(to_words(args.form, v)) for v in values)
    if address + total > 65536:
        raise UsageError("the values run past register 65535")
    link = open_link(args)
    try:
        at = address
        for value in values:
            link.write(args.form, at, value)
            at += len(to_words(args.form, value))
    finally:
        link.close()
    print("wrote %d %s value%s at %d-%d" % (len(values), args.form, "s" * (len(values) != 1), address, at - 1))
    return 0


def cmd_watch(args) -> int:
    address, count = parse_address(args.address), checked_count(args)
    if args.every <= 0:
        raise UsageError("--every must be above 0")
    link = open_link(args)
    previous: dict[int, object] = {}
    headers = ["address", args.form, "registers"]
    terminal = sys.stdout.isatty()
    try:
        with output.Live() if terminal else contextlib.nullcontext() as live:
            while True:
                values, registers = link.read(args.form, address, count)
                rows = rows_of(args.form, address, values, registers)
                changed = {i for i, (a, v, _) in enumerate(rows) if previous.get(a, v) != v}
                if terminal:
                    live.show(headers, [[str(a), shown(args.form, v), " ".join("0x%04X" % x for x in w)]
                                        for a, v, w in rows], changed,
                              "%s every %gs, %s (Ctrl-C stops)" % (link.target, args.every, time.strftime("%H:%M:%S")))
                else:
                    for a, v, _ in rows:
                        if a not in previous or previous[a] != v:
                            print("%s %d %s" % (time.strftime("%H:%M:%S"), a, shown(args.form, v)), flush=True)
                previous = {a: v for a, v, _ in rows}
                time.sleep(args.every)
    except KeyboardInterrupt:
        return 0
    finally:
        link.close()


def cmd_scan(args) -> int:
    first, last = parse_range(args.units, "--units")
    if not 1 <= first or last > 247:
        raise UsageError("--units %s: units are 1..247" % args.units)
    probe_at = parse_address(args.address)
    # A probe is one try: a silent unit costs one time-out, not the client's retries.
    link = open_link(args, retries=0, timeout=0.3)
    found: dict[str, list[int]] = {"answered": [], "exception": []}
    try:
        with output.Progress(last - first + 1, "scanning %s" % link.target) as progress:
            for unit in range(first, last + 1):
                result = link.probe(unit, probe_at)
                if result in found:
                    found[result].append(unit)
                progress.step("unit %d" % unit)
    finally:
        link.close()
    print("answered: %s" % (", ".join(map(str, found["answered"])) or "none"))
    print("answered with an exception: %s" % (", ".join(map(str, found["exception"])) or "none"))
    return 0 if found["answered"] or found["exception"] else 3


def main(argv: "list[str] | None" = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        if args.command == "serve":
            from holdbank_cli.serve import serve

            return serve(args)
        return {"read": cmd_read, "write": cmd_write, "watch": cmd_watch, "scan": cmd_scan}[args.command](args)
    except UsageError as error:
        print("holdbank %s: error: %s" % (args.command, error), file=sys.stderr)
        return 2
    except LinkError as error:
        print("holdbank %s: %s" % (args.command, error), file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        return 130
