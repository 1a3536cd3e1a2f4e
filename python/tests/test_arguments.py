"""Bad arguments raise InvalidArgumentError in the library's words, whoever refused them."""

import math
import re

import pytest

import korvane

# (also a TypeError, method, arguments, the argument named in the message)
BAD_CALLS = [
    (False, "jog_rel", ("q", 1.0, 100), "axis"),
    (False, "jog_rel", ("", 1.0, 100), "axis"),
    (False, "jog_rel", (6, 1.0, 100), "axis"),
    (False, "jog_rel", (-1, 1.0, 100), "axis"),
    (True, "jog_rel", (True, 1.0, 100), "axis"),
    (True, "jog_rel", (1.0, 1.0, 100), "axis"),
    (True, "jog_abs", ("x", "10", 100), "position"),
    (False, "jog_abs", ("x", math.nan, 100), "position"),
    (False, "jog_abs", ("x", 1.0, math.inf), "feed"),
    (False, "jog_rel", ("x", 1.0, math.nan), "feed"),
    (False, "set_position", ("x", 1e39), "position"),  # a C float would make it infinity
    (False, "set_position", ("x", 10**400), "position"),  # not even a double holds it
    (True, "set_soft_limit_range", ("x", None, 0.0), "maxTravel"),
    (False, "set_soft_limit_range", ("x", 1.0, -math.inf), "homingPosition"),
    (True, "enable_soft_limits", ("x", "false"), "enable"),
    (False, "set_acceleration", ("x", math.nan), "acceleration"),
    (False, "velocity_start", ("x", math.inf), "velocity"),
    (False, "home", ("xy",), "axis"),
    (False, "home", (-2,), "axis"),
]

REFUSAL = re.compile(r"^Invalid (\w+): (.*) \(accepted: (.+)\)$")


def test_bad_arguments_never_reach_the_library(ctl: korvane.Controller) -> None:
    # In velocity mode the library refuses every one of these calls with VelocityActiveError
    # before it looks at an argument, so an InvalidArgumentError can only come from the
    # package.
    with ctl.velocity("z", 100.0):
        for wrong_type, method, args, name in BAD_CALLS:
            with pytest.raises(korvane.InvalidArgumentError) as caught:
                getattr(ctl, method)(*args)
            refused = caught.value
            assert isinstance(refused, ValueError), (method, args)
            assert isinstance(refused, TypeError) == wrong_type, (method, args)
            assert refused.code == korvane.Result.INVALID_ARGUMENT
            match = REFUSAL.match(refused.message)
            assert match and match.group(1) == name, (refused.message, method, args)


def test_python_and_the_library_refuse_in_the_same_words(ctl: korvane.Controller, sim) -> None:
    # The first of each pair Python refuses itself (no C float holds it), the second the
    # library; the accepted values must read the same.
    pairs = [
        (lambda: ctl.jog_rel("x", 1.0, math.nan), lambda: ctl.jog_rel("x", 1.0, 0), "feed"),
        (lambda: ctl.jog_abs("y", 1.0, 1e40), lambda: ctl.jog_abs("y", 1.0, -5), "feed"),
        (
            lambda: ctl.set_acceleration("z", math.inf),
            lambda: ctl.set_acceleration("z", 0.0),
            "acceleration",
        ),
        (
            lambda: ctl.velocity_start("x", -math.inf),
            lambda: ctl.velocity_start("x", 0.05),
            "velocity",
        ),
    ]
    for by_python, by_library, name in pairs:
        messages = []
        for call in (by_python, by_library):
            with pytest.raises(korvane.InvalidArgumentError) as caught:
                call()
            messages.append(REFUSAL.match(caught.value.message))
        assert all(messages), [m for m in messages]
        assert [m.group(1) for m in messages] == [name, name]
        assert messages[0].group(3) == messages[1].group(3)
    with pytest.raises(korvane.InvalidArgumentError) as zero_feed:
        ctl.jog_rel("x", 1.0, 0)
    assert zero_feed.value.message == "Invalid feed: 0 (accepted: at least 1 and below 2147483648)"
    assert zero_feed.value.function == "Korvane_JogRel"
    assert not [line for line in sim.received() if line.startswith("$J=")]


def test_one_except_clause_catches_every_bad_argument(ctl: korvane.Controller) -> None:
    calls = [
        lambda: ctl.jog_rel("w", 1.0, 100),  # by Python
        lambda: ctl.jog_rel("x", 1.0, 0.5),  # by the library
        lambda: ctl.jog_abs("x", "far", 100),  # a wrong type
    ]
    for call in calls:
        for catch in (korvane.KorvaneError, ValueError):
            try:
                call()
            except catch as caught:
                assert caught.code == korvane.Result.INVALID_ARGUMENT
            else:
                pytest.fail("no exception")


def test_home_all_homes_every_axis_at_once(ctl: korvane.Controller, sim) -> None:
    for every in ("all", "ALL", -1, None):
        ctl.home(every)
        assert sim.received()[-1] == "$H", every
    ctl.home("y")
    assert sim.received()[-1] == "$Hy"


@pytest.mark.parametrize("port, baud, wrong_type", [
    ("/dev/ttyS0\0../../tmp/x", 115200, False),  # C would stop at the NUL: another port
    (b"/dev/ttyS0", 115200, True),
    ("", 115200, False),
    ("/dev/ttyS0", 2**32 + 9600, False),  # ctypes would wrap it to 9600
    ("/dev/ttyS0", 0, False),
    ("/dev/ttyS0", "fast", True),
])
def test_bad_connect_arguments(port, baud, wrong_type) -> None:
    with pytest.raises(korvane.InvalidArgumentError) as caught:
        korvane.connect(port, baud=baud)
    assert isinstance(caught.value, TypeError) == wrong_type
    assert REFUSAL.match(caught.value.message), caught.value.message


def test_axes_by_letter_index_and_enum_are_the_same_axis(ctl: korvane.Controller, sim) -> None:
    for axis in ("c", "C", 5, korvane.Axis.C):
        ctl.set_acceleration(axis, 100.0)
    assert sim.received().count("$axes/c/acceleration_mm_per_sec2=100.000") == 4
