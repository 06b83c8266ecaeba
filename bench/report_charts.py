"""The benchmark's charts, from the medians of a report (run.py's Report.chart_data()):

    throughput.png  requests per second per closed-loop scenario, a bar per server
    latency.png     p50, p99 and p99.9 per server: the two polling scenarios and one master in a
                    closed loop, on a log-scale time axis

Drawn with matplotlib's Agg canvas straight into files: no display, no pyplot state. matplotlib is
the benchmark's own dependency (the bench extra), imported only here and only when drawing, so
that a run without it still prints its tables.
"""
import math
import textwrap
from pathlib import Path

FILES = ("throughput.png", "latency.png")
# One colour per server in every chart; Holdbank's builds in red, the limit responder in grey.
COLOURS = {
    "limit": "#7f7f7f", "libmodbus": "#1f77b4", "plain": "#2ca02c", "pymodbus": "#9467bd",
    "holdbank": "#d62728", "holdbank-alt": "#ff9896",
    "plain-hooks": "#2ca02c", "holdbank-hooks": "#d62728", "holdbank-alt-hooks": "#ff9896",
}
PERCENTILE_COLOURS = ["#9ecae1", "#3182bd", "#08306b"]
DPI = 110


def rate(x):
    if x is None:
        return "n/a"
    if x >= 10_000:
        return "%.0fk" % (x / 1000)
    if x >= 1000:
        return "%.1fk" % (x / 1000)
    return "%.0f" % x


def duration(us):
    """A latency to three significant figures, in µs below a millisecond."""
    if us is None:
        return "n/a"
    if us < 999.5:  # what would round to 1000 µs is shown as 1 ms
        return "%.3g µs" % us
    if us < 999_500:
        return "%.3g ms" % (us / 1000)
    return "%.3g s" % (us / 1e6)


def draw(data, folders):
    """Writes FILES into each folder (made if missing); returns the paths written. Raises
    ImportError when matplotlib is missing, OSError when a folder cannot be written."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figures = {"throughput.png": throughput_figure(data, Figure), "latency.png": latency_figure(data, Figure)}
    written = []
    for folder in folders:
        folder = Path(folder)
        folder.mkdir(parents=True, exist_ok=True)
        for name, fig in figures.items():
            FigureCanvasAgg(fig).print_png(str(folder / name))
            written.append(folder / name)
    return written


def caption(fig, text):
    fig.supxlabel("\n".join(textwrap.wrap(text, 160)), fontsize=8, color="#444444")


def throughput_figure(data, Figure):
    from matplotlib.ticker import FuncFormatter

    panels = [p for p in data["throughput"] if p["series"]]
    if not panels:
        panels = [{"title": "no servers", "scenarios": [], "series": []}]
    # Each panel as wide as its bars.
    widths = [max(1, len(p["scenarios"]) * len(p["series"])) for p in panels]
    fig = Figure(figsize=(max(9.0, 0.32 * sum(widths) + 2.5), 5.8), dpi=DPI, layout="constrained")
    axes = fig.subplots(1, len(panels), squeeze=False, gridspec_kw={"width_ratios": widths})[0]
    for ax, panel in zip(axes, panels):
        n = len(panel["series"])
        width = 0.84 / max(n, 1)
        top = max((v for s in panel["series"] for v in s["values"] if v), default=1.0)
        for i, s in enumerate(panel["series"]):
            xs = [j + (i - (n - 1) / 2) * width for j in range(len(panel["scenarios"]))]
            bars = ax.bar(xs, [v or 0 for v in s["values"]], width * 0.9, label=s["title"],
                          color=COLOURS.get(s["key"], "#bcbd22"))
            ax.bar_label(bars, labels=[rate(v) for v in s["values"]], rotation=90, fontsize=7, padding=2)
        ax.set_xticks(range(len(panel["scenarios"])), [t.replace(", ", ",\n") for t in panel["scenarios"]],
                      fontsize=8)
        ax.set_ylim(0, top * 1.2)
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _pos: rate(v) if v else "0"))
        ax.set_ylabel("requests per second")
        ax.set_title(panel["title"], fontsize=10)
        ax.grid(axis="y", alpha=0.3)
        ax.set_axisbelow(True)
        if n:
            ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=min(n, 4), frameon=False)
    fig.suptitle("Requests per second, closed loop (higher is better)")
    caption(fig, data["caption"])
    return fig


def latency_figure(data, Figure):
    from matplotlib.patches import Patch
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    panels = data["latency"]
    names = data["percentiles"]
    values = [v for p in panels for s in p["servers"] for v in s["values"] if v]
    lo = 10 ** math.floor(math.log10(min(values))) if values else 10.0
    hi = 10 ** math.ceil(math.log10(max(values) * 6)) if values else 10_000.0  # room for the labels
    servers = max((len(p["servers"]) for p in panels), default=1)
    count = max(1, len(panels))
    if servers <= 3:  # side by side
        fig = Figure(figsize=(max(9.0, 1.05 * servers * count + 2), 5.8), dpi=DPI, layout="constrained")
        axes = fig.subplots(1, count, sharey=True, squeeze=False)[0]
    else:  # one above the other, so that the picture stays readable at a page's width
        fig = Figure(figsize=(max(9.0, 1.1 * servers + 2), 3.0 * count + 1.2), dpi=DPI, layout="constrained")
        axes = fig.subplots(count, 1, sharex=True, sharey=True, squeeze=False)[:, 0]
    width = 0.84 / len(names)
    for ax, panel in zip(axes, panels):
        ax.set_yscale("log")
        ax.set_ylim(lo, hi)
        for j, name in enumerate(names):
            shown = [(i + (j - (len(names) - 1) / 2) * width, s["values"][j]) for i, s in enumerate(panel["servers"])]
            present = [(x, v) for x, v in shown if v]
            # From the axis' floor: a bar's height is its top less that floor.
            bars = ax.bar([x for x, _ in present], [v - lo for _, v in present], width * 0.9, bottom=lo,
                          color=PERCENTILE_COLOURS[j % len(PERCENTILE_COLOURS)], label=name)
            ax.bar_label(bars, labels=[duration(v) for _, v in present], rotation=90, fontsize=7, padding=2)
            for x, v in shown:
                if not v:
                    ax.text(x, lo * 1.15, "n/a", rotation=90, fontsize=7, ha="center", va="bottom", color="#666666")
        ax.set_xticks(range(len(panel["servers"])), [s["title"] for s in panel["servers"]],
                      rotation=0 if servers > 3 else 25, ha="center" if servers > 3 else "right", fontsize=8)
        ax.set_xlim(-0.5, max(len(panel["servers"]), 1) - 0.5)
        if not any(v for s in panel["servers"] for v in s["values"]):
            ax.text(0.5, 0.5, "no figures in these results", transform=ax.transAxes, ha="center", color="#666666")
        ax.set_title(panel["title"], fontsize=10)
        ax.yaxis.set_major_locator(LogLocator(base=10))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _pos: duration(v)))
        ax.yaxis.set_minor_formatter(NullFormatter())
        ax.grid(axis="y", which="major", alpha=0.3)
        ax.set_axisbelow(True)
    for ax in axes if servers > 3 else axes[:1]:
        ax.set_ylabel("latency (log scale)")
    # Handles of their own: a panel without figures has no bars to take the colours from.
    axes[0].legend(handles=[Patch(color=PERCENTILE_COLOURS[j % len(PERCENTILE_COLOURS)], label=name)
                            for j, name in enumerate(names)],
                   title="percentile", fontsize=8, title_fontsize=8, loc="upper left")
    fig.suptitle("Latency percentiles (lower is better; polling: from the time a request was due)")
    caption(fig, data["caption"])
    return fig
