"""examples/monitor.py run as a user would: a live status line until Ctrl-C."""

import os
import signal
import subprocess
import sys
from pathlib import Path

from conftest import wait_for

MONITOR = Path(__file__).resolve().parents[1] / "examples" / "monitor.py"


def _as_from_a_shell() -> None:
    # A job started in the background by a non-interactive shell, as a CI runner may start
    # the test command, ignores SIGINT, and Python keeps an ignored SIGINT ignored: the
    # example gets Ctrl-C as a user's terminal delivers it.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


def monitor(port: str, out: Path) -> subprocess.Popen:
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    with open(out, "w") as sink:
        return subprocess.Popen([sys.executable, str(MONITOR), port, "--interval", "0.05"],
                                env=env, stdout=sink, stderr=subprocess.PIPE, text=True,
                                preexec_fn=_as_from_a_shell)


def test_monitor_shows_status_until_ctrl_c(sim, tmp_path: Path) -> None:
    out = tmp_path / "out"
    shown = monitor(str(sim.link), out)
    wait_for(lambda: out.read_bytes().count(b"\rIDLE ") >= 2, seconds=15, what="status lines")
    shown.send_signal(signal.SIGINT)
    _, err = shown.communicate(timeout=10)
    assert shown.returncode == 0, err
    assert b"X0.000" in out.read_bytes()

    failed = monitor(str(tmp_path / "no-such-port"), out)
    _, err = failed.communicate(timeout=10)
    assert failed.returncode == 1 and "monitor: " in err
