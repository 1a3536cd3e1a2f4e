"""Each exception class raised from a real library result."""

import ctypes
import errno
import os
import pickle
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

import korvane
from korvane import Result, errors


def test_ports_that_cannot_be_opened_raise_port_open_errors(tmp_path: Path, sim) -> None:
    with pytest.raises(korvane.PortOpenError) as missing:
        korvane.connect(tmp_path / "no-such-port")
    assert isinstance(missing.value, OSError)
    assert missing.value.code == Result.PORT_OPEN_FAILED
    assert missing.value.name == "KORVANE_PORT_OPEN_FAILED"
    # The library's own message, which says what went wrong, with the system's code.
    assert missing.value.message.startswith(f"Port open failed: {tmp_path}/no-such-port: no such")
    assert (missing.value.errno, missing.value.winerror) == (errno.ENOENT, None)

    with pytest.raises(korvane.PortOpenError) as null:
        korvane.connect("/dev/null")
    assert "not a serial device" in null.value.message
    assert null.value.errno == errno.ENOTTY

    with korvane.connect(sim.link):
        with pytest.raises(korvane.PortOpenError) as held:
            korvane.connect(sim.link)  # held exclusively by the first connection
    assert "in use" in held.value.message
    assert held.value.errno == errno.EWOULDBLOCK


def test_port_open_errors_carry_the_code_the_message_ends_with() -> None:
    windows = errors.exception_for(
        Result.PORT_OPEN_FAILED,
        "Korvane_Connect",
        "Port open failed: COM7: in use: another program or connection holds it (Windows error 5)",
    )
    assert (windows.errno, windows.winerror) == (None, 5)
    linux = errors.exception_for(
        Result.PORT_OPEN_FAILED,
        "Korvane_Connect",
        "Port open failed: /dev/x: no such port (errno 2)",
    )
    copy = pickle.loads(pickle.dumps(linux))  # as across a process pool
    assert (copy.errno, copy.winerror) == (2, None)
    # No system call failed, or the code is not at the end: nothing to carry.
    for message in (
        "Port open failed: /dev/ttyS0: 12345 baud refused",
        "Port open failed: /dev/(errno 2)x: no such port",
    ):
        bare = errors.exception_for(Result.PORT_OPEN_FAILED, "Korvane_Connect", message)
        assert (bare.errno, bare.winerror) == (None, None)


def test_silence_and_slow_replies_raise_response_timeouts(start_sim) -> None:
    silent = start_sim("--silent")
    began = time.monotonic()
    with pytest.raises(korvane.ResponseTimeout) as no_answer:
        korvane.connect(silent.link)
    assert 2.5 < time.monotonic() - began < 15  # the 3 s probe
    assert isinstance(no_answer.value, TimeoutError)

    slow = start_sim("--latency-ms", "900")  # within connect's 3 s, beyond a query's 500 ms
    with korvane.connect(slow.link) as ctl:
        with pytest.raises(korvane.ResponseTimeout) as late:
            ctl.get_state()
    assert late.value.message == "Timeout waiting for response"
    assert late.value.function == "Korvane_GetState"


def test_a_vanished_controller_raises_write_errors(sim, ctl: korvane.Controller) -> None:
    sim.stop()
    with pytest.raises(korvane.WriteError) as failed:
        ctl.resume()
    assert isinstance(failed.value, OSError)
    assert failed.value.message == "Serial write failed"


def test_refusals_of_the_library(ctl: korvane.Controller) -> None:
    with pytest.raises(korvane.InvalidArgumentError) as zero_feed:
        ctl.jog_rel("x", 1.0, feed=0)
    assert isinstance(zero_feed.value, ValueError)
    assert zero_feed.value.code == Result.INVALID_ARGUMENT
    copy = pickle.loads(pickle.dumps(zero_feed.value))  # as across a process pool
    assert (type(copy), str(copy)) == (korvane.InvalidArgumentError, str(zero_feed.value))
    with pytest.raises(korvane.InvalidArgumentError):
        ctl.velocity_start("x", 0.05)
    with ctl.velocity("x", 100.0):
        with pytest.raises(korvane.VelocityActiveError) as busy:
            ctl.home()
    assert busy.value.message == "Velocity mode is active; stop it first"


def test_homing_that_ends_in_alarm_raises_firmware_error(start_sim) -> None:
    with korvane.connect(start_sim("--homing-fails", "--homing-ms", "200").link) as ctl:
        with pytest.raises(korvane.FirmwareError) as alarm:
            ctl.home("z")
        # The simulator's failed cycle ends with ALARM:6, which the message explains.
        assert alarm.value.message.startswith("Homing failed: alarm state: ALARM:6 (")
        assert ctl.get_state() is korvane.State.ALARM


def test_a_null_handle_gives_invalid_handle_error() -> None:
    # The package never passes a null handle; this is the library's own answer to one.
    library = korvane._library.load()
    code = library.Korvane_GetState(None, ctypes.byref(ctypes.c_int32()))
    message = library.Korvane_GetLastError(None).decode()
    error = errors.exception_for(code, "Korvane_GetState", message)
    assert type(error) is korvane.InvalidHandleError
    assert error.message == "Invalid handle"


def test_a_thread_that_cannot_start_gives_resource_error(sim) -> None:
    # With the address space capped just above its use, the velocity worker's stack cannot
    # be mapped. In a child process, so that the cap touches nothing else.
    script = textwrap.dedent("""
        import resource, sys, korvane
        ctl = korvane.connect(sys.argv[1])
        status = open("/proc/self/status").read()
        used = int(status.split("VmSize:")[1].split()[0]) * 1024
        limits = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (used + (1 << 20), limits[1]))
        try:
            ctl.velocity_start("x", 100)
        except korvane.ResourceError as error:
            print(int(error.code), error.message)
        resource.setrlimit(resource.RLIMIT_AS, limits)
        ctl.close()
    """)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}
    child = subprocess.run([sys.executable, "-c", script, str(sim.link)], env=env,
                           capture_output=True, text=True, timeout=30)
    assert child.stdout == "10 Failed to start velocity thread\n", child.stderr
