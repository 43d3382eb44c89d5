"""Fee schedules as plain Python: IB (HK, Connect, US futures), QMT China A-shares, CQG futures."""
import math

from kavrel_trader.core.constants import Direction
from kavrel_trader.gateways.base_gateway import BaseFees


def _sum_of_fees(fees):
    return (fees.commissions + fees.platform_fees + fees.system_fees + fees.settlement_fees
            + fees.stamp_fees + fees.trade_fees + fees.transaction_fees)


def _close_equity(fees):
    """Commission once over the whole trade amount (minimum 18), then the total."""
    fees.commissions += max(0.0008 * fees.total_trade_amount, 18)
    fees.commissions = round(fees.commissions, 2)
    fees.platform_fees = 0
    fees.total_fees = _sum_of_fees(fees)


class IbHKEquityFees(BaseFees):
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
        _close_equity(self)


class IbSHSZHKConnectEquityFees(BaseFees):
    def __init__(self, *deals):
        for deal in deals:
            price = deal.filled_avg_price
            size = deal.filled_quantity
            ta = price * size
            self.total_number_of_trades += 1
            self.total_trade_amount += ta
            self.system_fees += round(0.00002 * ta, 2)
            self.settlement_fees += round(0.00004 * ta, 2)
            self.stamp_fees += round(0.001 * ta, 2)
            self.trade_fees += round(0.0000487 * ta, 2)
            self.transaction_fees += 0
        _close_equity(self)


class _PerContractFees(BaseFees):
    """A flat commission per contract; every fee is set anew, nothing is added to."""
    RATE = 0

    def __init__(self, *deals):
        commissions = platform = system = settlement = stamp = trade = transaction = 0
        for deal in deals:
            quantity = deal.filled_quantity
            commissions += self.RATE * quantity
        total = commissions + platform + system + settlement + stamp + trade + transaction
        self.commissions = commissions
        self.platform_fees = platform
        self.system_fees = system
        self.settlement_fees = settlement
        self.stamp_fees = stamp
        self.trade_fees = trade
        self.transaction_fees = transaction
        self.total_fees = total


class IbUSFuturesFees(_PerContractFees):
    RATE = 0.85


class CQGCommissions(_PerContractFees):
    RATE = 1.92


class QmtCommissionsCN(BaseFees):
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
        self.total_fees = _sum_of_fees(self)
