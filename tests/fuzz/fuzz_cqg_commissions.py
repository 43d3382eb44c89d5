"""CQG futures fees: any deals, any preset amounts; plain deals as the plain-Python rules."""
from hypothesis import strategies as st

from kavrel_trader.gateways.cqg.cqg_commissions import CQGCommissions

from reference import fees as ref

from . import _fees, target


@target(st.tuples(_fees.deals, _fees.preset, st.booleans()), allowed=_fees.ALLOWED)
def schedule(deals, preset, via_subclass):
    _fees.run(CQGCommissions, ref.CQGCommissions, deals, preset, via_subclass)
