"""Futu crypto fee schedule (flat rate on the traded amount)."""
from kavrel_trader.gateways.base_gateway import BaseFees


class FutuFeesCrypto(BaseFees):
    COMMISSION_RATE = 0.0008

    def __init__(self, *deals):
        for deal in deals:
            amount = deal.filled_avg_price * deal.filled_quantity
            self.total_number_of_trades += 1
            self.total_trade_amount += amount
            self.commissions += self.COMMISSION_RATE * amount
        self.total_fees = self.commissions
