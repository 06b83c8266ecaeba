"""The benchmark's report (bench/run.py) and charts (bench/report_charts.py) on small hand-made
results files: which passes count, the latency and polling tables with their targets, files written
before the polling rows and p99.9 existed, and the charts. Nothing here measures anything."""
import importlib.util
import json
import struct
import subprocess
import sys
from pathlib import Path

import pytest

BENCH = Path(__file__).resolve().parent.parent / "bench"
CLOSED = ["read100x1", "read100x16", "read100x64", "write10x16", "mixx16"]
LIMIT_RPS = {"read100x1": 14_000, "read100x16": 150_000, "read100x64": 148_000, "write10x16": 139_000,
             "mixx16": 131_000}
SHARE_OF_LIMIT = {"limit": 1.0, "libmodbus": 0.75, "holdbank": 0.93}
TITLES = {"limit": "limit", "libmodbus": "libmodbus", "holdbank": "Holdbank"}
# (p50, p99, p99.9) in µs per polling scenario and server.
POLL_LATENCY = {
    "poll16": {"limit": (80.0, 150.0, 400.0), "libmodbus": (95.0, 210.0, 700.0), "holdbank": (82.0, 200.0, 900.0)},
    "poll1000": {"limit": (90.0, 500.0, 2000.0), "libmodbus": (120.0, 900.0, 3000.0),
                 "holdbank": (110.0, 550.0, 4000.0)},
}
POLL_SHAPE = {"poll16": (16, 100.0), "poll1000": (1000, 10.0)}


@pytest.fixture(scope="module")
def bench_run():
    found = importlib.util.spec_from_file_location("bench_run", BENCH / "run.py")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def closed_cell(rps):
    return {"mode": "closed", "rps": rps, "answered": int(rps * 1.2), "p50_us": 100.0, "p90_us": 150.0,
            "p99_us": 250.0, "p999_us": 600.0, "max_us": 2000.0, "errors": 0, "error_kinds": {},
            "server_cpu": 0.95, "server_cpu_us_per_req": 7.0, "server_cs_per_req": 0.01,
            "server_nvcs_per_req": 0.0, "loadgen_cpu": 0.6, "background_cpu": 0.01}


def poll_cell(sc, latency, unanswered=0):
    masters, rate = POLL_SHAPE[sc]
    scheduled = int(masters * rate * 2)
    p50, p99, p999 = latency
    return {"mode": "poll", "masters": masters, "connected": masters, "rate": rate, "rps": masters * rate,
            "scheduled": scheduled, "answered": scheduled - unanswered,
            "answered_share": (scheduled - unanswered) / scheduled, "p50_us": p50, "p90_us": p50 * 1.5,
            "p99_us": p99, "p999_us": p999, "max_us": p999 * 3, "errors": 0, "error_kinds": {},
            "server_cpu": 0.3, "server_cpu_us_per_req": 25.0, "server_cs_per_req": 1.0, "connect_s": 0.4,
            "rss_before_kb": 20_000, "rss_connected_kb": 45_000, "rss_end_kb": 20_000 + 25 * masters}


def results(passes=3, limit_share=None, overrides=None):
    """A results file of three servers. limit_share: {(pass, scenario): share} scales the limit
    responder's rate in that cell; overrides: {(server, scenario, pass): cell} replaces a cell."""
    limit_share, overrides = limit_share or {}, overrides or {}
    cells = {}
    for key, share in SHARE_OF_LIMIT.items():
        cells[key] = {}
        for sc in CLOSED:
            cells[key][sc] = [closed_cell(LIMIT_RPS[sc] * share * (limit_share.get((p, sc), 1.0) if key == "limit"
                                                                  else 1.0)) for p in range(passes)]
        for sc in POLL_SHAPE:
            cells[key][sc] = [poll_cell(sc, POLL_LATENCY[sc][key]) for _ in range(passes)]
    for (key, sc, p), cell in overrides.items():
        cells[key][sc][p] = cell
    return {"machine": "a test machine", "passes": passes, "warmup_s": 0.4, "duration_s": 1.2, "poll_warmup_s": 1.0,
            "poll_duration_s": 2.0, "placement": "split", "placement_cores": ["0", "1"], "elapsed_s": 100.0,
            "background_cpu": [0.01] * passes,
            "servers": [{"key": k, "title": TITLES[k], "hooked": False, "module_path": None} for k in SHARE_OF_LIMIT],
            "results": cells, "hook_calls": {}, "unavailable": {}, "hostops": [], "refused": []}


def old_results():
    """As the runner wrote it before the polling rows and p99.9: one "poll" cell (1,000 masters at
    10/s), no p999_us, and (older still) no list of servers."""
    raw = results(passes=2)
    for cells in raw["results"].values():
        cells["poll"] = cells.pop("poll1000")
        del cells["poll16"]
        for runs in cells.values():
            for cell in runs:
                del cell["p999_us"]
    del raw["servers"]
    return raw


def table_line(text, title, first):
    """The line of the table titled `title` (its first line starts with it) that starts with `first`."""
    lines = text.splitlines()
    start = next(i for i, line in enumerate(lines) if line.startswith(title))
    return next(line for line in lines[start:] if line.startswith(first))


# ---------------------------------------------------------------- which passes count

def test_a_pass_where_the_limit_responder_fell_short_is_left_out_and_named(bench_run):
    # Pass 2: 20 % short in one scenario, left out; pass 3: 8 % short, within the margin, counted.
    raw = results(limit_share={(1, "read100x16"): 0.80, (2, "read100x16"): 0.92}, overrides={
        ("holdbank", "read100x16", 0): closed_cell(140_000),
        ("holdbank", "read100x16", 1): closed_cell(60_000),
        ("holdbank", "read100x16", 2): closed_cell(130_000)})
    report = bench_run.Report(raw)
    text = report.text()
    assert report.chosen == [0, 2]
    assert "Quiet passes (the limit responder within 10% of its own best in every closed-loop scenario): 1, 3 (2 of 3 passes)" \
        in text
    assert "  pass 2: read 100, 16 masters 20% short of its best" in text.splitlines()
    assert "pass 3:" not in text
    assert "WARNING" not in text
    # The medians are over passes 1 and 3 alone (over all three Holdbank's would be 130k).
    assert "135k" in table_line(text, "Requests per second", "read 100, 16 masters")


def test_only_passes_overrides_the_judgement(bench_run):
    raw = results(limit_share={(1, "read100x16"): 0.80}, overrides={("holdbank", "read100x16", 1): closed_cell(60_000)})
    text = bench_run.Report(raw, only_passes=[1]).text()
    assert "the tables are over pass 2 (named by --only-passes)" in text
    assert "60.0k" in table_line(text, "Requests per second", "read 100, 16 masters")
    assert "  pass 2: read 100, 16 masters 20% short of its best" in text.splitlines()


@pytest.mark.parametrize("limit_share, overrides, named", [
    # Each pass short in another scenario: none is quiet.
    ({(0, "read100x1"): 0.5, (1, "mixx16"): 0.85, (2, "write10x16"): 0.7}, {},
     ["pass 1: read 100, 1 master 50% short", "pass 2: mix, 16 masters 15% short",
      "pass 3: write 10, 16 masters 30% short"]),
    # A cell of the limit responder that failed gives that pass no figure to be judged by.
    ({(1, "read100x1"): 0.5}, {("limit", "read100x64", 0): {"error": "load generator exited with 2"}},
     ["pass 1: read 100, 64 masters no figure", "pass 2: read 100, 1 master 50% short"]),
])
def test_with_no_quiet_pass_every_pass_is_used_with_a_warning(bench_run, limit_share, overrides, named):
    raw = results(passes=2 if len(named) == 2 else 3, limit_share=limit_share, overrides=overrides)
    report = bench_run.Report(raw)
    text = report.text()
    assert report.chosen == list(range(raw["passes"]))
    assert "WARNING: no pass was quiet" in text
    for line in named:
        assert "  " + line in text


def test_without_the_limit_responder_no_pass_is_judged(bench_run):
    raw = results()
    raw["servers"] = [s for s in raw["servers"] if s["key"] != "limit"]
    del raw["results"]["limit"]
    report = bench_run.Report(raw)
    text = report.text()
    assert report.chosen == [0, 1, 2]
    assert "WARNING: no limit responder in this run" in text
    assert "Quiet passes: none judged" in text


# ---------------------------------------------------------------- latency and polling

def test_every_scenario_shows_p50_p99_and_p999(bench_run):
    text = bench_run.Report(results()).text()
    lines = text.splitlines()
    closed = lines.index(next(line for line in lines if line.startswith("Latency, closed loop")))
    assert [line.split()[0] for line in lines[closed + 3:closed + 6]] == ["read", "p99", "p99.9"]
    assert lines[closed + 3].split()[4:] == ["p50", "100", "µs", "100", "µs", "100", "µs"]
    for title, holdbank in (("16 masters polling 100/s", ["all", "82", "µs", "200", "µs", "900", "µs"]),
                            ("1,000 masters polling 10/s", ["all", "110", "µs", "550", "µs", "4", "ms"])):
        assert table_line(text, title, "Holdbank").split()[1:8] == holdbank


@pytest.mark.parametrize("sc, cell, target", [
    ("poll16", poll_cell("poll16", (84.0, 225.0, 900.0)), "met"),  # 1.05x and 1.5x: on the mark
    ("poll16", poll_cell("poll16", (90.0, 200.0, 900.0)), "missed: p50 1.12>1.05"),
    ("poll16", poll_cell("poll16", (80.0, 300.0, 900.0)), "missed: p99 2.00>1.5"),
    ("poll1000", poll_cell("poll1000", (100.0, 600.0, 900.0)), "met"),
    ("poll1000", poll_cell("poll1000", (100.0, 600.0, 900.0), unanswered=3), "missed: not all answered"),
    ("poll1000", poll_cell("poll1000", (100.0, 700.0, 900.0)), "missed: p99 1.40>1.2"),
])
def test_polling_targets_are_ratios_to_the_limit_responder(bench_run, sc, cell, target):
    raw = results(passes=1, overrides={("holdbank", sc, 0): cell})
    title = {"poll16": "16 masters polling 100/s", "poll1000": "1,000 masters polling 10/s"}[sc]
    line = table_line(bench_run.Report(raw).text(), title, "Holdbank")
    assert line.rstrip().endswith(target)
    if cell["scheduled"] != cell["answered"]:
        assert " all but 3 " in line


def test_polling_ratios_are_taken_pass_by_pass(bench_run):
    # Per pass Holdbank's p50 is 1.03x, 1.5x and 1.04x the limit responder's: the median, 1.04x, is
    # within the target, where the ratio of the two medians (104 / 80 µs = 1.3x) would not be.
    overrides = {}
    for p, (limit_p50, holdbank_p50) in enumerate(((60.0, 62.0), (80.0, 120.0), (100.0, 104.0))):
        overrides[("limit", "poll16", p)] = poll_cell("poll16", (limit_p50, 150.0, 400.0))
        overrides[("holdbank", "poll16", p)] = poll_cell("poll16", (holdbank_p50, 150.0, 400.0))
    line = table_line(bench_run.Report(results(overrides=overrides)).text(), "16 masters polling 100/s", "Holdbank")
    assert line.split()[-3:] == ["1.04", "1.00", "met"], line


# ---------------------------------------------------------------- files written before

def test_a_file_from_before_the_polling_rows_and_p999_still_loads(bench_run, tmp_path):
    path = tmp_path / "old.json"
    path.write_text(json.dumps(old_results()))
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--from-json", str(path)], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    text = done.stdout
    # Its one polling cell is the 1,000-master row; p99.9 and the 16-master row have no figures.
    assert table_line(text, "1,000 masters polling 10/s", "Holdbank").split()[1:8] == \
        ["all", "110", "µs", "550", "µs", "n/a", "25.0"]
    assert table_line(text, "16 masters polling 100/s", "Holdbank").split()[1:5] == ["n/a"] * 4
    closed = text.splitlines()
    p999 = next(i for i, line in enumerate(closed) if line.startswith("Latency, closed loop")) + 5
    assert closed[p999].split() == ["p99.9", "n/a", "n/a", "n/a"]


# ---------------------------------------------------------------- charts

def png_size(path):
    data = path.read_bytes()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", path
    return struct.unpack(">II", data[16:24])


@pytest.mark.parametrize("raw", [results(), old_results()], ids=["current", "old"])
def test_charts_are_drawn_beside_the_results_and_into_chart_dir(raw, tmp_path):
    pytest.importorskip("matplotlib")
    results_dir, chart_dir = tmp_path / "results", tmp_path / "docs" / "bench"
    results_dir.mkdir()
    path = results_dir / "latest.json"
    path.write_text(json.dumps(raw))
    done = subprocess.run([sys.executable, str(BENCH / "run.py"), "--from-json", str(path), "--chart-dir",
                           str(chart_dir)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "Charts: " in done.stdout
    for folder in (results_dir, chart_dir):
        for name in ("throughput.png", "latency.png"):
            width, height = png_size(folder / name)
            assert width >= 800 and height >= 400, (name, width, height)


def test_without_matplotlib_the_tables_still_print_and_say_why(tmp_path):
    path = tmp_path / "latest.json"
    path.write_text(json.dumps(results()))
    # None in sys.modules makes every import of matplotlib fail, installed or not.
    script = ("import runpy, sys; sys.modules['matplotlib'] = None; sys.argv = ['run.py', '--from-json', %r]; "
              "runpy.run_path(%r, run_name='__main__')" % (str(path), str(BENCH / "run.py")))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    assert "Requests per second" in done.stdout
    assert "No charts drawn: matplotlib cannot be imported" in done.stdout
    assert not (tmp_path / "throughput.png").exists()
