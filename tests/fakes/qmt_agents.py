"""QMT bridge agents for the tests: the simulator's frozen morning and the terminal-SDK
backend over the stand-in SDK modules of this folder (fakes/xtdata.py, fakes/xttrader.py),
which import the real SDK's constants and object classes."""
from datetime import datetime

ACCOUNT = "8800001"
FRIDAY = datetime(2024, 3, 1, 10, 0, 30)  # a Friday in the morning session


def xtquant_backend(clock=None, backoff=(0.05, 0.2)):
    """The terminal-SDK backend over the stand-in SDK modules, quick to reconnect."""
    from fakes import xtdata as fake_xtdata
    from fakes import xttrader as fake_xttrader
    from kavrel_tools.qmt_agent.xtquant_backend import XtQuantBackend

    kw = {} if clock is None else {"clock": clock}
    return XtQuantBackend("C:/qmt/userdata_mini", ACCOUNT, session_id=42,
                          modules={"xtdata": fake_xtdata, "xttrader": fake_xttrader},
                          backoff=backoff, **kw)


def make_xtquant_agent(url, allow_orders=True, backoff=(0.05, 0.2), **kw):
    """An agent (not started) on the terminal-SDK backend."""
    from kavrel_tools.qmt_agent import QmtAgent

    kw.setdefault("workers", 2)
    return QmtAgent(xtquant_backend(backoff=backoff), url, allow_orders=allow_orders,
                    account_id=ACCOUNT, **kw)
