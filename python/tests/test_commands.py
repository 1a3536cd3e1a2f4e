"""Every method on its success path, held against what the simulated machine does."""

import re

import pytest

import korvane
from conftest import ROOT, wait_for
from korvane import State


def test_library_version_is_the_projects_version() -> None:
    cmake = (ROOT / "CMakeLists.txt").read_text()
    project = re.search(r"project\(korvane VERSION ([0-9.]+)", cmake)
    assert project and korvane.library_version() == project.group(1)


def test_queries_describe_the_machine_at_rest(ctl: korvane.Controller) -> None:
    state = ctl.get_state()
    assert state is State.IDLE and f"{state}" == "IDLE" and state == 1
    assert ctl.get_position() == (0.0,) * 6
    assert ctl.get_speed() == 0.0
    assert ctl.get_limits() == (0, 0, 0, 0)
    assert ctl.get_device_uuid() == "sim-uuid-0042"
    assert ctl.last_error() == ""


def test_jogs_reach_their_targets_on_the_axis_named_any_way(ctl: korvane.Controller) -> None:
    ctl.jog_abs("x", 10.0, feed=6000)
    wait_for(lambda: ctl.get_position()[0] == 10.0, what="x at 10")
    ctl.jog_rel(korvane.Axis.Y, -5, feed=6000)
    wait_for(lambda: ctl.get_position()[1] == -5.0, what="y at -5")
    ctl.jog_rel(2, 1000.0, feed=600)  # 100 s of travel
    wait_for(lambda: ctl.get_state() is State.JOG, what="Jog")
    assert ctl.get_speed() == 600.0


def test_hold_resume_emergency_stop_and_homing_drive_the_states(ctl: korvane.Controller) -> None:
    ctl.jog_rel("x", 1000.0, feed=600)
    wait_for(lambda: ctl.get_state() is State.JOG, what="Jog")
    ctl.feed_hold()
    wait_for(lambda: ctl.get_state() is State.HOLD, what="Hold")
    held = ctl.get_position()[0]
    ctl.resume()
    wait_for(lambda: ctl.get_position()[0] > held, what="motion after resume")
    ctl.emergency_stop()
    wait_for(lambda: ctl.get_state() is State.ALARM, what="Alarm")
    ctl.home()
    assert ctl.get_state() is State.IDLE


def test_settings_reach_the_controller_and_take_effect(ctl: korvane.Controller, sim) -> None:
    ctl.set_position("z", 0.1)
    assert ctl.get_position()[2] == 0.1  # not the float32's 0.10000000149011612
    ctl.set_acceleration("Z", 250)
    assert "$axes/z/acceleration_mm_per_sec2=250.000" in sim.received()

    ctl.set_soft_limit_range("x", max_travel=100.0, homing_position=-50.0)
    ctl.enable_soft_limits("x", True)
    with pytest.raises(korvane.FirmwareError) as refused:
        ctl.jog_abs("x", 60.0, feed=6000)
    assert refused.value.message.startswith("Firmware error: error:")
    ctl.home("x")
    assert ctl.get_position()[0] == -50.0
    ctl.enable_soft_limits("x", False)
    ctl.jog_abs("x", 60.0, feed=6000)


def test_velocity_block_jogs_changes_rate_and_stops(ctl: korvane.Controller, sim) -> None:
    with ctl.velocity("x", 600.0) as jog:
        wait_for(lambda: ctl.get_state() is State.JOG, what="Jog")
        with pytest.raises(korvane.VelocityActiveError):
            ctl.jog_rel("y", 1.0, feed=100)
        jog.set_rate(-300.0)
        # Twenty seconds of travel at the new rate, backwards.
        backwards = "$J=G91 x-100.000 F300"
        wait_for(lambda: ctl.get_state() and backwards in sim.received(), what=backwards)
    assert jog.stopped
    wait_for(lambda: ctl.get_state() is State.IDLE, what="Idle after the block")
    assert "0x85 (jog cancel)" in sim.received()
    with pytest.raises(RuntimeError):
        jog.set_rate(100.0)

    ctl.velocity_start("b", 120.0)
    wait_for(lambda: ctl.get_state() is State.JOG, what="Jog on b")
    ctl.velocity_stop()
    wait_for(lambda: ctl.get_state() is State.IDLE, what="Idle after velocity_stop")


def test_velocity_block_stops_when_its_body_raises(ctl: korvane.Controller) -> None:
    with pytest.raises(ZeroDivisionError):
        with ctl.velocity("y", 600.0):
            wait_for(lambda: ctl.get_state() is State.JOG, what="Jog")
            1 / 0
    wait_for(lambda: ctl.get_state() is State.IDLE, what="Idle")
    ctl.jog_rel("y", 1.0, feed=600)  # refused if velocity mode still ran
