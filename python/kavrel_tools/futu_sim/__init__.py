"""A stand-in for the broker's gateway process: the wire protocol of the `futu-api` SDK over
plain TCP, serving the SDK's own quote and trade contexts against a simulated market.

In-process use (tests, demos)::

    from kavrel_tools.futu_sim import FutuSimServer
    from kavrel_tools.qmt_agent.clock import FixedClock
    clock = FixedClock(datetime(2024, 3, 1, 10, 0))
    with FutuSimServer(port=0, clock=clock, tick=0.05) as sim:
        ctx = futu.OpenQuoteContext(host="127.0.0.1", port=sim.port)
        ...   # clock.advance(seconds=1) moves the market; orders trade once per second

As a process: ``kavrel-futu-sim --help``.
"""
from .broker import ACCOUNTS, BrokerError, SimBroker
from .market import CRYPTO, HK_FUTURES, HK_STOCKS, FutuMarket, front_month
from .server import FutuSimServer

__all__ = ["ACCOUNTS", "BrokerError", "CRYPTO", "FutuMarket", "FutuSimServer", "HK_FUTURES",
           "HK_STOCKS", "SimBroker", "front_month"]
