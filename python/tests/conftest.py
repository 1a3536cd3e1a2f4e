"""Fixtures: the simulated controller (korvane-sim) on a pty, and connections to it."""

from __future__ import annotations

import os
import re
import selectors
import signal
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Iterator, List

import pytest

ROOT = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KORVANE_BUILD_DIR", ROOT / "build" / "default"))
SIM = Path(os.environ.get("KORVANE_SIM", BUILD / "sim" / "korvane-sim"))
os.environ.setdefault("KORVANE_LIBRARY", str(BUILD / "src" / "libkorvane.so.1"))

try:
    import korvane  # the installed package, when there is one
except ImportError:  # otherwise the source tree beside these tests
    sys.path.insert(0, str(ROOT / "python"))
    import korvane


def pytest_report_header() -> List[str]:
    return [f"korvane package: {Path(korvane.__file__).parent}",
            f"library: {os.environ['KORVANE_LIBRARY']}", f"simulator: {SIM}"]


def wait_for(condition: Callable[[], object], seconds: float = 5.0, what: str = "it") -> object:
    """Polls until condition() is truthy; fails the test after `seconds`."""
    deadline = time.monotonic() + seconds
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            pytest.fail(f"timed out after {seconds} s waiting for {what}")
        time.sleep(0.02)


class Sim:
    """One korvane-sim process; `link` is the port name to open."""

    def __init__(self, directory: Path, options: List[str]) -> None:
        self.link = directory / "port"
        self.log_path = directory / "sim.log"
        with open(self.log_path, "w") as log:
            command = [str(SIM), "--link", str(self.link), "--verbose", *options]
            self.process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=log, text=True)
        # The first line is the device path, printed once the link exists.
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            ready = selector.select(timeout=10)
        self.device = self.process.stdout.readline().strip() if ready else ""
        if not self.device:
            self.stop()
            raise RuntimeError(f"korvane-sim did not start: {self.log_path.read_text()}")

    def received(self) -> List[str]:
        """Commands the simulator logged, without their time stamps."""
        lines = self.log_path.read_text().splitlines()
        return [re.sub(r"^\[[0-9.]+\] ", "", line) for line in lines]

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


@pytest.fixture
def start_sim(tmp_path: Path) -> Iterator[Callable[..., Sim]]:
    """start_sim("--homing-ms", "200", ...) starts a simulator with those options."""
    sims: List[Sim] = []

    def start(*options: str) -> Sim:
        directory = tmp_path / f"sim{len(sims)}"
        directory.mkdir()
        sims.append(Sim(directory, list(options)))
        return sims[-1]

    yield start
    for sim in sims:
        sim.stop()


@pytest.fixture
def sim(start_sim: Callable[..., Sim]) -> Sim:
    return start_sim("--homing-ms", "300", "--uuid", "sim-uuid-0042")


@pytest.fixture
def ctl(sim: Sim) -> Iterator[korvane.Controller]:
    with korvane.connect(sim.link) as controller:
        yield controller
