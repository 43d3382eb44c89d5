"""QMT A-share fees: any deals, any preset amounts and rates; plain deals as the plain-Python rules."""
from hypothesis import strategies as st

from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN

from reference import fees as ref

from . import _fees, target


@target(st.tuples(_fees.deals, _fees.preset, st.booleans()), allowed=_fees.ALLOWED)
def schedule(deals, preset, via_subclass):
    _fees.run(QmtCommissionsCN, ref.QmtCommissionsCN, deals, preset, via_subclass)
