"""Runs the Python suite against an installed wheel, once per CPython: each interpreter gets a
fresh virtual environment under build/wheel-test/ holding the wheel and its `test` extra, and
the tests import the modules from there (not from a build folder).

Usage: python tools/wheel_test.py [--wheel WHEEL] [--python PYTHON ...] [PYTEST ARGS ...]
By default the manylinux x86_64 wheel in dist/ and every CPython 3.10 or newer found on PATH
and under ~/.pyenv/versions, one per minor version. Prints one result line per interpreter and
exits non-zero when any run failed.
"""
import argparse
import glob
import os
import shutil
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
WORK = ROOT / "build" / "wheel-test"
# What would let another build's modules or settings into the runs.
DROPPED = ("PYTHONPATH", "PYTHONHOME", "VIRTUAL_ENV", "MYPYPATH", "CMAKE_ARGS", "LD_PRELOAD")


def version_of(python):
    try:
        out = subprocess.run([python, "-c", "import sys, platform; print(platform.python_implementation(), "
                              "'%d.%d.%d' % sys.version_info[:3])"],
                             capture_output=True, text=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired):
        return None
    impl, _, version = out.stdout.strip().partition(" ")
    if out.returncode != 0 or impl != "CPython":
        return None
    return tuple(int(p) for p in version.split("."))


def find_interpreters():
    """Every CPython 3.10 or newer here, the first found of each minor version."""
    candidates = [shutil.which("python3.%d" % minor) for minor in range(10, 20)]
    candidates += sorted(glob.glob(os.path.expanduser("~/.pyenv/versions/*/bin/python3")))
    found = {}
    for python in filter(None, candidates):
        version = version_of(python)
        if version and version >= (3, 10) and version[:2] not in found:
            found[version[:2]] = (version, python)
    return [found[k] for k in sorted(found)]


def run_one(python, version, wheel, pytest_args, env):
    label = "%d.%d.%d" % version
    venv = WORK / ("cp%d%d" % version[:2])
    shutil.rmtree(venv, ignore_errors=True)
    subprocess.run([python, "-m", "venv", venv], check=True, env=env)
    py = venv / "bin" / "python"
    subprocess.run([py, "-m", "pip", "install", "-q", "--upgrade", "pip"], check=True, env=env)
    subprocess.run([py, "-m", "pip", "install", "-q", "%s[test]" % wheel], check=True, env=env)
    where = subprocess.run([py, "-c", "import Holdbank; print(Holdbank.__file__)"], check=True, env=env,
                           capture_output=True, text=True, cwd=ROOT / "tests").stdout.strip()
    if not where.startswith(str(venv)):
        raise SystemExit("CPython %s imports Holdbank from %s, not from the wheel" % (label, where))
    print("CPython %s: the modules from %s" % (label, where), flush=True)
    done = subprocess.run([py, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args],
                          cwd=ROOT / "tests", env=env)
    return done.returncode


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--wheel", type=Path)
    parser.add_argument("--python", action="append", default=[])
    args, pytest_args = parser.parse_known_args()
    wheel = args.wheel or next(iter(sorted((ROOT / "dist").glob("*-cp310-abi3-manylinux_*_x86_64*.whl"))), None)
    if wheel is None or not wheel.exists():
        raise SystemExit("no manylinux x86_64 wheel in dist/: run ./dev wheels first")
    if args.python:
        interpreters = [(version_of(p), p) for p in args.python]
        bad = [p for v, p in interpreters if not v or v < (3, 10)]
        if bad:
            raise SystemExit("not a CPython 3.10 or newer: %s" % ", ".join(bad))
    else:
        interpreters = find_interpreters()
    env = {k: v for k, v in os.environ.items() if k not in DROPPED}
    results = [("%d.%d.%d" % v, run_one(p, v, wheel.resolve(), pytest_args, env)) for v, p in interpreters]
    print("\n%s" % wheel.name)
    for label, code in results:
        print("CPython %-8s %s" % (label, "passed" if code == 0 else "FAILED (pytest exit %d)" % code))
    sys.exit(0 if results and all(code == 0 for _, code in results) else 1)


if __name__ == "__main__":
    main()
