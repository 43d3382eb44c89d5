"""Clocks for the simulated market: naive local date-times, like the terminal's.

- ``WallClock()``: the machine's local time (the default).
- ``FixedClock(dt)``: stands still at ``dt``; ``set(dt)`` and ``advance(seconds=...)`` move it.
  For tests: every reply is reproducible.
- ``AcceleratedClock(start, speed)``: starts at ``start`` and runs ``speed`` times faster than
  real time (``speed`` 0 stands still). For demos outside market hours: start at 09:29 and
  run at 60x to see a session minute by minute each second.

Any callable returning a naive ``datetime`` serves as a clock.
"""
from __future__ import annotations

import threading
import time
from datetime import datetime, timedelta
from typing import Callable, Optional

__all__ = ["Clock", "WallClock", "FixedClock", "AcceleratedClock", "parse_clock_time",
           "make_clock"]

Clock = Callable[[], datetime]

_FORMATS = ("%Y-%m-%d %H:%M:%S", "%Y-%m-%dT%H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%dT%H:%M",
            "%Y%m%d%H%M%S", "%Y-%m-%d", "%Y%m%d")


class WallClock:
    def __call__(self) -> datetime:
        return datetime.now()

    def __repr__(self) -> str:
        return "WallClock()"


class FixedClock:
    def __init__(self, dt: datetime) -> None:
        self._lock = threading.Lock()
        self._now = dt

    def __call__(self) -> datetime:
        with self._lock:
            return self._now

    def set(self, dt: datetime) -> None:
        with self._lock:
            self._now = dt

    def advance(self, **delta: float) -> datetime:
        with self._lock:
            self._now += timedelta(**delta)
            return self._now

    def __repr__(self) -> str:
        return "FixedClock(%r)" % (self._now,)


class AcceleratedClock:
    def __init__(self, start: datetime, speed: float = 1.0,
                 monotonic: Callable[[], float] = time.monotonic) -> None:
        if speed < 0:
            raise ValueError("speed must not be negative, got %r" % (speed,))
        self.start = start
        self.speed = float(speed)
        self._monotonic = monotonic
        self._t0 = monotonic()

    def __call__(self) -> datetime:
        return self.start + timedelta(seconds=(self._monotonic() - self._t0) * self.speed)

    def __repr__(self) -> str:
        return "AcceleratedClock(%r, speed=%r)" % (self.start, self.speed)


def parse_clock_time(text: str) -> datetime:
    """A start time given on the command line, e.g. "2024-03-01 09:29" or "20240301092900"."""
    text = text.strip()
    for fmt in _FORMATS:
        try:
            return datetime.strptime(text, fmt)
        except ValueError:
            continue
    raise ValueError("cannot read the time %r; use e.g. 2024-03-01 09:29:00" % (text,))


def make_clock(start: Optional[str] = None, speed: float = 1.0) -> Clock:
    """The clock of the command line: the wall clock unless a start time is given."""
    if not start:
        if speed != 1.0:
            raise ValueError("--speed needs --start-time")
        return WallClock()
    begin = parse_clock_time(start)
    if speed == 0:
        return FixedClock(begin)
    return AcceleratedClock(begin, speed)
