"""Closing, use after close, garbage collection and threads."""

import gc
import inspect
import threading
import time

import pytest

import korvane
from conftest import wait_for
from korvane import State

# Arguments for every public method; the first test checks that none is missing.
CALLS = {
    "get_state": (), "get_position": (), "get_speed": (), "get_limits": (), "get_device_uuid": (),
    "last_error": (), "jog_abs": ("x", 1.0, 100), "jog_rel": ("x", 1.0, 100),
    "set_position": ("x", 0.0), "set_acceleration": ("x", 100.0), "enable_soft_limits": ("x", True),
    "set_soft_limit_range": ("x", 10.0, 0.0), "home": (), "feed_hold": (), "resume": (),
    "emergency_stop": (), "velocity": ("x", 100.0), "velocity_start": ("x", 100.0),
    "velocity_stop": (),
}


def test_every_method_after_close_raises_not_connected(ctl: korvane.Controller) -> None:
    public = {name for name, _ in inspect.getmembers(korvane.Controller, inspect.isfunction)
              if not name.startswith("_")}
    assert public - {"close"} == set(CALLS)
    jog = ctl.velocity("y", 100.0)
    ctl.close()
    ctl.close()
    assert ctl.closed
    for name, args in CALLS.items():
        with pytest.raises(korvane.NotConnectedError) as caught:
            getattr(ctl, name)(*args)
        assert caught.value.code == korvane.Result.NOT_CONNECTED, name
    jog.stop()  # closing ended velocity mode; nothing left to stop


def test_an_unclosed_controller_disconnects_when_collected(sim) -> None:
    ctl = korvane.connect(sim.link)
    with pytest.warns(ResourceWarning, match="unclosed"):
        del ctl
        gc.collect()
    with korvane.connect(sim.link) as again:  # the port is free again
        assert again.get_state() is State.IDLE


def test_close_waits_for_a_call_in_flight(start_sim) -> None:
    sim = start_sim("--homing-ms", "1000")
    ctl = korvane.connect(sim.link)
    outcome = []
    homing = threading.Thread(target=lambda: outcome.append(ctl.home()))
    homing.start()
    wait_for(lambda: "$H" in sim.received(), what="homing under way")
    ctl.close()  # must not free the handle under the homing call
    homing.join()
    assert outcome == [None]
    with pytest.raises(korvane.NotConnectedError):
        ctl.get_state()


def test_threads_share_one_controller(ctl: korvane.Controller) -> None:
    failures = []

    def query() -> None:
        try:
            for _ in range(25):
                assert ctl.get_state() is State.IDLE
                assert len(ctl.get_position()) == 6
        except Exception as error:  # reported below, not lost in the thread
            failures.append(error)

    threads = [threading.Thread(target=query) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []


def test_homing_does_not_hold_the_gil(start_sim) -> None:
    with korvane.connect(start_sim("--homing-ms", "1500").link) as ctl:
        homing = threading.Thread(target=ctl.home)
        began = time.monotonic()
        homing.start()
        ticks = 0
        while homing.is_alive():
            ticks += 1
            time.sleep(0.01)
        assert time.monotonic() - began > 1.0
        # Holding the GIL for the call would leave this thread one or two turns.
        assert ticks > 10
