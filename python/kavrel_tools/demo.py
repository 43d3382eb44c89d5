"""Example session over the native modules.

Securities used as table keys with their QMT codes, a day of fills charged by every fee
schedule, a morning of one-minute bars rolled up into five-minute bars, and the metrics of a
short value series.
"""
import random
from datetime import datetime, timedelta

from kavrel_trader.core.constants import Direction, Exchange
from kavrel_trader.core.data import Bar
from kavrel_trader.core.deal import Deal
from kavrel_trader.core.security import Futures, Security, Stock
from kavrel_trader.gateways.cqg.cqg_commissions import CQGCommissions
from kavrel_trader.gateways.ib.ib_commissions import (
    IbHKEquityFees, IbSHSZHKConnectEquityFees, IbUSFuturesFees)
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN
from kavrel_trader.gateways.qmt.symbols import (
    exchange_from_qmt_code, security_codes_for_lookup, to_qmt_code)
from kavrel_trader.core.bar_rollup import aggregate_1min_bars, maybe_req_aggregated_nmin
from kavrel_trader.plugins.analysis import metrics

FEE_FIELDS = ("commissions", "system_fees", "settlement_fees", "stamp_fees", "trade_fees",
              "transaction_fees", "total_fees")


def _table(header, rows):
    widths = [max(len(str(x)) for x in col) for col in zip(header, *rows)]
    line = "  ".join(f"{{:>{w}}}" for w in widths)
    print(line.format(*header))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print(line.format(*row))


def securities_section():
    print("== Securities as table keys")
    secs = [
        Stock("SH.600000", "Pudong Bank", lot_size=100, exchange=Exchange.SSE),
        Stock("sz.000001", "Ping An Bank", lot_size=100, exchange=Exchange.SZSE),
        Stock("HK.00700", "Tencent", lot_size=100),
        Futures("HK.HSImain", "HSI Futures", lot_size=50, exchange=Exchange.HKFE),
    ]
    last_price = {sec: price for sec, price in zip(secs, (7.12, 11.05, 385.4, 17890.0))}
    rows = []
    for sec in secs:
        rows.append((type(sec).__name__, sec.code, to_qmt_code(sec.code),
                     exchange_from_qmt_code(sec.code).value,
                     ", ".join(sorted(security_codes_for_lookup(sec))), last_price[sec]))
    _table(("kind", "code", "qmt code", "qmt exchange", "lookup forms", "last"), rows)
    probe = Security("SH.600000", "Pudong Bank", exchange=Exchange.SSE)
    print(f"plain Security equal to the Stock key: {probe == secs[0]}; "
          f"Stock key found by an equal Stock: {Stock('SH.600000', 'Pudong Bank', 100, Exchange.SSE) in last_price}")
    print()
    return secs


def fees_section(secs):
    print("== A day of fills, charged by each schedule")
    rng = random.Random(7)
    start = datetime(2024, 3, 1, 9, 30)
    deals = []
    for i in range(12):
        sec = secs[i % 3]
        deals.append(Deal(security=sec,
                          direction=Direction.LONG if i % 2 == 0 else Direction.SHORT,
                          updated_time=start + timedelta(minutes=17 * i),
                          filled_avg_price=round(rng.uniform(8, 60), 2),
                          filled_quantity=100 * rng.randint(1, 30),
                          dealid=f"D{i:03d}"))
    schedules = (IbHKEquityFees, IbSHSZHKConnectEquityFees, IbUSFuturesFees,
                 QmtCommissionsCN, CQGCommissions)
    rows = []
    for schedule in schedules:
        fees = schedule(*deals)
        rows.append((schedule.__name__,) + tuple(f"{getattr(fees, f):.2f}" for f in FEE_FIELDS))
    print(f"{len(deals)} fills, traded amount "
          f"{sum(d.filled_avg_price * d.filled_quantity for d in deals):,.2f}")
    _table(("schedule",) + FEE_FIELDS, rows)
    print()


def bars_section(sec):
    print("== One-minute bars rolled up into five-minute bars")
    rng = random.Random(11)
    price = 7.10
    bars = []
    t = datetime(2024, 3, 1, 9, 30)
    for i in range(60):
        if i == 30:
            t += timedelta(minutes=3)  # a short halt: the bucket around it is incomplete
        o = price
        price = round(price + rng.uniform(-0.03, 0.03), 2)
        bars.append(Bar(datetime=t, security=sec, open=o, high=max(o, price) + 0.01,
                        low=min(o, price) - 0.01, close=price, volume=rng.randint(1, 50) * 100))
        t += timedelta(minutes=1)
    rng.shuffle(bars)
    five = aggregate_1min_bars(bars, 5)
    _table(("end", "open", "high", "low", "close", "volume"),
           [(b.datetime.strftime("%H:%M"), f"{b.open:.2f}", f"{b.high:.2f}", f"{b.low:.2f}",
             f"{b.close:.2f}", b.volume) for b in five])
    last3 = maybe_req_aggregated_nmin("5Min", 3, lambda n: sorted(bars, key=lambda b: b.datetime)[-n:])
    print("last three complete 5Min bars: " + ", ".join(b.datetime.strftime("%H:%M") for b in last3))
    print()


def metrics_section():
    print("== Metrics of a short back-test")
    values = [100.0, 101.2, 100.4, 102.9, 104.0, 101.1, 103.5, 106.2, 105.0, 107.3]
    returns = [values[i] / values[i - 1] - 1 for i in range(1, len(values))]
    bench = [0.001, 0.004, -0.002, 0.006, -0.01, 0.003, 0.007, -0.004, 0.005]
    print(f"sharpe {metrics.sharpe_ratio(returns):.3f}  "
          f"information {metrics.information_ratio(returns, bench):.3f}  "
          f"M2 {metrics.modigliani_ratio(returns, bench):.4f}")
    dd = metrics.rolling_maximum_drawdown(values, window=5)
    print("rolling drawdown (5 days): " + " ".join(f"{x:.3f}" for x in dd))
    print()


def main():
    secs = securities_section()
    fees_section(secs)
    bars_section(secs[0])
    metrics_section()


if __name__ == "__main__":
    main()
