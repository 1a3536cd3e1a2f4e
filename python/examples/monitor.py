#!/usr/bin/env python3
"""A live one-line status display of a controller, until Ctrl-C.

    python3 monitor.py /dev/ttyUSB0            # COM3 on Windows
    python3 monitor.py /dev/ttyUSB0 --baud 115200 --interval 0.2
"""

import argparse
import sys
import time

import korvane

AXES = "XYZABC"


def status_line(ctl: korvane.Controller) -> str:
    positions = ctl.get_position()
    axes = " ".join(f"{AXES[i]}{value:.3f}" for i, value in enumerate(positions))
    limits = " ".join(str(value) for value in ctl.get_limits())
    return f"{ctl.get_state().name:<5}  {axes}  F{ctl.get_speed():<7.0f}  Lim {limits}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("port", help="serial port: COM3, /dev/ttyUSB0, ...")
    parser.add_argument("--baud", type=int, default=korvane.DEFAULT_BAUD)
    parser.add_argument("--interval", type=float, default=0.2, help="seconds between updates")
    options = parser.parse_args()

    try:
        with korvane.connect(options.port, baud=options.baud) as ctl:
            width = 0
            while True:
                line = status_line(ctl)
                # Pad over the rest of a longer previous line.
                print("\r" + line.ljust(width), end="", flush=True)
                width = len(line)
                time.sleep(options.interval)
    except KeyboardInterrupt:
        print()
        return 0
    except korvane.KorvaneError as error:
        print(f"\nmonitor: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
