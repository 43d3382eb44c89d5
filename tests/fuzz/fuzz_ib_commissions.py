"""IB fee schedules: any deals, any preset amounts; plain deals as the plain-Python rules."""
from hypothesis import strategies as st

from kavrel_trader.gateways.ib import ib_commissions as ib

from reference import fees as ref

from . import _fees, target

NAMES = ("IbHKEquityFees", "IbSHSZHKConnectEquityFees", "IbUSFuturesFees")


@target(st.tuples(st.sampled_from(NAMES), _fees.deals, _fees.preset, st.booleans()), allowed=_fees.ALLOWED)
def schedules(name, deals, preset, via_subclass):
    _fees.run(getattr(ib, name), getattr(ref, name), deals, preset, via_subclass)
