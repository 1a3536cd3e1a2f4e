"""Argument errors Python can see are raised before any call reaches the library."""

import math

import pytest

import korvane

BAD_CALLS = [
    (ValueError, "jog_rel", ("q", 1.0, 100)),
    (ValueError, "jog_rel", ("", 1.0, 100)),
    (ValueError, "jog_rel", (6, 1.0, 100)),
    (ValueError, "jog_rel", (-1, 1.0, 100)),
    (TypeError, "jog_rel", (True, 1.0, 100)),
    (TypeError, "jog_rel", (1.0, 1.0, 100)),
    (TypeError, "jog_abs", ("x", "10", 100)),
    (ValueError, "jog_abs", ("x", math.nan, 100)),
    (ValueError, "jog_abs", ("x", 1.0, math.inf)),
    (ValueError, "set_position", ("x", 1e39)),  # a C float would make it infinity
    (TypeError, "set_soft_limit_range", ("x", None, 0.0)),
    (TypeError, "enable_soft_limits", ("x", "false")),
    (ValueError, "home", ("xy",)),
]


def test_bad_arguments_never_reach_the_library(ctl: korvane.Controller) -> None:
    # In velocity mode the library refuses every one of these calls with VelocityActiveError
    # before it looks at an argument, so a plain ValueError or TypeError can only come from
    # the package.
    with ctl.velocity("z", 100.0):
        for error, method, args in BAD_CALLS:
            with pytest.raises(error) as caught:
                getattr(ctl, method)(*args)
            assert not isinstance(caught.value, korvane.KorvaneError), (method, args)


@pytest.mark.parametrize("port, baud, error", [
    ("/dev/ttyS0\0../../tmp/x", 115200, ValueError),  # C would stop at the NUL: another port
    (b"/dev/ttyS0", 115200, TypeError),
    ("", 115200, ValueError),
    ("/dev/ttyS0", 2**32 + 9600, ValueError),  # ctypes would wrap it to 9600
    ("/dev/ttyS0", 0, ValueError),
    ("/dev/ttyS0", "fast", TypeError),
])
def test_bad_connect_arguments(port, baud, error) -> None:
    with pytest.raises(error) as caught:
        korvane.connect(port, baud=baud)
    assert not isinstance(caught.value, korvane.KorvaneError)


def test_axes_by_letter_index_and_enum_are_the_same_axis(ctl: korvane.Controller, sim) -> None:
    for axis in ("c", "C", 5, korvane.Axis.C):
        ctl.set_acceleration(axis, 100.0)
    assert sim.received().count("$axes/c/acceleration_mm_per_sec2=100.000") == 4
