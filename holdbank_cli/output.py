"""Tables, the live table and the progress bar: through rich when the `cli` extra is installed,
in plain text otherwise (HOLDBANK_PLAIN=1 asks for plain text even with rich there)."""
import os
import sys

try:
    if os.environ.get("HOLDBANK_PLAIN"):
        raise ImportError
    import rich.console
    import rich.live
    import rich.progress
    import rich.table

    HAVE_RICH = True
except ImportError:
    HAVE_RICH = False


def print_table(headers: list[str], rows: list[list[str]], marked: "set[int] | None" = None) -> None:
    if HAVE_RICH:
        rich.console.Console().print(rich_table(headers, rows, marked))
        return
    print(plain_table(headers, rows, marked))


def rich_table(headers: list[str], rows: list[list[str]], marked: "set[int] | None" = None) -> "rich.table.Table":
    table = rich.table.Table(*headers)
    for index, row in enumerate(rows):
        table.add_row(*row, style="bold yellow" if marked and index in marked else None)
    return table


def plain_table(headers: list[str], rows: list[list[str]], marked: "set[int] | None" = None) -> str:
    # A changed row carries a "*" after its last cell; without colours that is the mark.
    cells = [headers] + [[*row[:-1], row[-1] + (" *" if marked and i in marked else "")] for i, row in enumerate(rows)]
    widths = [max(len(r[c]) for r in cells) for c in range(len(headers))]
    return "\n".join("  ".join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in cells)


class Live:
    """A table redrawn in place on a terminal."""

    def __init__(self) -> None:
        self._live = rich.live.Live(auto_refresh=False) if HAVE_RICH else None

    def __enter__(self) -> "Live":
        if self._live is not None:
            self._live.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._live is not None:
            self._live.__exit__(None, None, None)

    def show(self, headers: list[str], rows: list[list[str]], marked: set[int], title: str) -> None:
        if self._live is not None:
            table = rich_table(headers, rows, marked)
            table.title = title
            self._live.update(table, refresh=True)
        else:
            # Home, clear, draw: enough for a terminal without a library.
            sys.stdout.write("\x1b[H\x1b[J%s\n%s\n" % (title, plain_table(headers, rows, marked)))
            sys.stdout.flush()


class Progress:
    """A progress bar on standard error while a terminal watches; nothing otherwise."""

    def __init__(self, total: int, label: str) -> None:
        self.total, self.label, self.done = total, label, 0
        self._tty = sys.stderr.isatty()
        self._bar = None
        if HAVE_RICH:
            self._bar = rich.progress.Progress(console=rich.console.Console(stderr=True), transient=True)
            self._task = self._bar.add_task(label, total=total)

    def __enter__(self) -> "Progress":
        if self._bar is not None:
            self._bar.__enter__()
        return self

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.__exit__(None, None, None)
        elif self._tty:
            sys.stderr.write("\r\x1b[K")

    def step(self, what: str) -> None:
        self.done += 1
        if self._bar is not None:
            self._bar.update(self._task, advance=1, description="%s %s" % (self.label, what))
        elif self._tty:
            sys.stderr.write("\r%s %s  %d/%d" % (self.label, what, self.done, self.total))
            sys.stderr.flush()
