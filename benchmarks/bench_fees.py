"""Fee schedules over 10,000 deals against the straightforward Python implementation."""
import math
import random

from _timing import best_time, report

from kavrel_trader.core.constants import Direction
from kavrel_trader.core.deal import Deal
from kavrel_trader.gateways.base_gateway import BaseFees
from kavrel_trader.gateways.ib.ib_commissions import IbHKEquityFees
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN


class PyHKEquityFees(BaseFees):
    def __init__(self, *deals):
        for deal in deals:
            price = deal.filled_avg_price
            size = deal.filled_quantity
            ta = price * size
            self.total_number_of_trades += 1
            self.total_trade_amount += ta
            self.system_fees += round(0.5, 2)
            fee = 0.00002 * ta
            if fee < 2.0:
                fee = 2.0
            elif fee > 100.0:
                fee = 100.0
            self.settlement_fees += round(fee, 2)
            self.stamp_fees += math.ceil(0.0013 * ta)
            self.trade_fees += round(max(0.00005 * ta, 0.01), 2)
            self.transaction_fees += round(max(0.000027 * ta, 0.01), 2)
        self.commissions += max(0.0008 * self.total_trade_amount, 18)
        self.commissions = round(self.commissions, 2)
        self.platform_fees = 0
        self.total_fees = (self.commissions + self.platform_fees + self.system_fees
                           + self.settlement_fees + self.stamp_fees + self.trade_fees
                           + self.transaction_fees)


class PyQmtCommissionsCN(BaseFees):
    COMMISSION_RATE = 0.00025
    COMMISSION_MIN = 5.0
    STAMP_RATE = 0.0005
    TRANSFER_RATE = 0.00001

    def __init__(self, *deals):
        for deal in deals:
            ta = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += ta
            commission = max(self.COMMISSION_RATE * ta, self.COMMISSION_MIN)
            self.commissions += commission
            self.trade_fees += self.TRANSFER_RATE * ta
            if deal.direction == Direction.SHORT:
                self.stamp_fees += self.STAMP_RATE * ta
        self.commissions = round(self.commissions, 2)
        self.trade_fees = round(self.trade_fees, 2)
        self.stamp_fees = math.ceil(self.stamp_fees * 100) / 100.0
        self.total_fees = (self.commissions + self.platform_fees + self.system_fees
                           + self.settlement_fees + self.stamp_fees + self.trade_fees
                           + self.transaction_fees)


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
    compare("IbHKEquityFees, 10,000 deals", IbHKEquityFees, PyHKEquityFees, deals, 10)
    compare("QmtCommissionsCN, 10,000 deals", QmtCommissionsCN, PyQmtCommissionsCN, deals, 3)


if __name__ == "__main__":
    main()
