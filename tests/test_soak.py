"""A short run of the soak tool (tools/soak.py): twenty seconds of masters connecting, pipelining,
resetting and reconnecting from their old ports, while the host switches hooks, holds the bank
lock, drops masters, switches the allow-list, saves and closes and opens the server, everything
checked against the model of what each register must hold.

It runs in a child interpreter: a hang or a crash must fail this test, not the whole run, and the
tool's own watchdog turns anything stuck into a FAIL with every thread's stack. The long soak
(`./dev soak`) is not part of the suite.
"""
import os
import sys

import pytest

from pythons import holdbank_only, run_child  # holdbank_only is a fixture of the tests here

TOOL = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tools", "soak.py")
SECONDS = 20
# The run itself, its checkpoints (each may wait its bounded settling time of 15 s when the server
# keeps a connection or a thread), the final close, and a loaded machine.
CHILD_TIMEOUT = 240

SCRIPT = r'''
import runpy, sys
sys.argv = ["soak.py", "--seconds", "%d", "--seed", "%d"]
runpy.run_path(%r, run_name="__main__")
'''


@pytest.mark.timeout(CHILD_TIMEOUT + 30)
def test_short_soak_passes(holdbank_only, tmp_path):
    """Catches whatever the soak catches in twenty seconds: a lost or reordered answer, a write
    refused that was allowed or stored that was refused, an acknowledged write missing from the
    bank or a saved file, a dropped or refused master still reaching the bank or a hook, a
    registry that does not list exactly the connected masters, descriptors or threads left
    behind, and anything stuck."""
    seed = int.from_bytes(os.urandom(2), "big")
    # The run's files (saves, the failures in full) stay with the test's own folder.
    run = run_child(sys.executable, SCRIPT % (SECONDS, seed, TOOL), holdbank_only, str(tmp_path),
                    timeout=CHILD_TIMEOUT, env={"TMPDIR": str(tmp_path)})
    lines = run.stdout.strip().splitlines()
    passed = not run.timed_out and run.status == 0 and bool(lines) and lines[-1].startswith("soak: PASS")
    assert passed, "seed %d\n%s" % (seed, run.report())
