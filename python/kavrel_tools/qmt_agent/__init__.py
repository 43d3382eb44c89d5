"""The QMT bridge agent and its simulated-market backend.

In-process use (tests, demos)::

    from kavrel_tools.qmt_agent import FixedClock, QmtAgent, SimBackend
    clock = FixedClock(datetime(2024, 3, 1, 10, 0))
    with QmtAgent(SimBackend(seed=7, clock=clock), "redis://127.0.0.1:6379/5",
                  allow_orders=True) as agent:
        ...   # the gateway talks to it over Redis; clock.advance(minutes=1) moves the market

As a process: ``kavrel-qmt-sim --help`` or ``python -m kavrel_tools.qmt_agent --backend sim``.
"""
from .clock import AcceleratedClock, FixedClock, WallClock, make_clock
from .core import Backend, OpError, QmtAgent
from .sim import SimBackend, simulator

__all__ = ["AcceleratedClock", "Backend", "FixedClock", "OpError", "QmtAgent", "SimBackend",
           "WallClock", "make_clock", "simulator"]
