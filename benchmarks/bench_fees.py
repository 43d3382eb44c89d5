"""Fee schedules over 10,000 deals against the straightforward Python implementation."""
import random

from _timing import best_time, report
from reference import fees as ref

from kavrel_trader.core.constants import Direction
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.ib.ib_commissions import IbHKEquityFees
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN


ATTRS = ("commissions", "platform_fees", "system_fees", "settlement_fees", "stamp_fees",
         "trade_fees", "transaction_fees", "total_fees", "total_number_of_trades",
         "total_trade_amount")


def make_deals(n, seed=7):
    rng = random.Random(seed)
    return [Deal(direction=rng.choice([Direction.LONG, Direction.SHORT]),
                 filled_avg_price=round(rng.uniform(1.0, 500.0), 2),
                 filled_quantity=rng.randrange(100, 20000, 100)) for _ in range(n)]


def compare(name, ours_cls, base_cls, deals, target):
    a, b = ours_cls(*deals), base_cls(*deals)
    assert all(getattr(a, k) == getattr(b, k) for k in ATTRS), name
    ours = best_time(lambda: ours_cls(*deals), repeat=7, number=5)
    base = best_time(lambda: base_cls(*deals), repeat=7, number=5)
    report(name, ours, base, target=target, baseline_name="python")


def main():
    deals = make_deals(10_000)
    compare("IbHKEquityFees, 10,000 deals", IbHKEquityFees, ref.IbHKEquityFees, deals, 10)
    compare("QmtCommissionsCN, 10,000 deals", QmtCommissionsCN, ref.QmtCommissionsCN, deals, 3)


if __name__ == "__main__":
    main()
