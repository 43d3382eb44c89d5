"""A typed tour of the native modules: checked with `mypy --strict` and runnable as a script.

    PYTHONPATH=python python examples/typed_usage.py
"""
from datetime import datetime, timedelta
from typing import Dict, List, Optional

import numpy as np

from kavrel_trader.core.bar_rollup import is_nmin_aggregatable, maybe_req_aggregated_nmin
from kavrel_trader.core.constants import Direction, Exchange
from kavrel_trader.core.data import Bar
from kavrel_trader.core.deal import Deal
from kavrel_trader.core.security import Security, Stock
from kavrel_trader.gateways.qmt.kline_history import clamp_periods, qmt_period_for_freq, records_to_bars
from kavrel_trader.gateways.qmt.qmt_adapter import QmtAdapter
from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN
from kavrel_trader.gateways.qmt.redis_bridge import QmtRedisBridge
from kavrel_trader.gateways.qmt.symbols import exchange_from_qmt_code, to_qmt_code
from kavrel_trader.plugins.analysis.metrics import rolling_maximum_drawdown, sharpe_ratio


def a_share(code: str, name: str) -> Stock:
    """A Shanghai or Shenzhen stock keyed by its framework code, lot size 100."""
    return Stock(code, name, lot_size=100, exchange=exchange_from_qmt_code(code))


def minute_records(start: datetime, closes: List[float]) -> List[Dict[str, object]]:
    """Bar records as the bridge sends them: compact time digits, QMT field names."""
    return [{"time": (start + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S"),
             "open": c, "high": c + 0.05, "low": c - 0.05, "close": c, "volume": 1000}
            for i, c in enumerate(closes)]


def five_minute_closes(security: Security, closes: List[float]) -> List[float]:
    """Roll one-minute records up into five-minute bars through the gateway entry point."""
    start = datetime(2024, 1, 2, 9, 30)

    def fetch_1min(count: int) -> List[Bar]:
        return records_to_bars(minute_records(start, closes[-count:]), security)

    bars: Optional[List[Bar]] = maybe_req_aggregated_nmin("5Min", 3, fetch_1min)
    assert bars is not None, "5Min is built from one-minute bars"
    return [float(bar.close or 0.0) for bar in bars]


def account_lines(gateway: QmtAdapter, security: Security) -> List[str]:
    """What a strategy reads from a live QMT gateway: the last price, cash and positions."""
    quote = gateway.get_quote(security)
    last = "n/a" if quote is None or quote.last_price is None else f"{quote.last_price:.2f}"
    lines = [f"{security.code} last {last}", f"cash {gateway.get_broker_balance().cash:,.2f}"]
    lines += [f"{p.security.code} {p.direction}: {p.quantity}" for p in gateway.get_all_broker_positions()]
    return lines


def bridge_keys(prefix: str) -> List[str]:
    """The Redis keys a bridge client uses; making the client opens no connection."""
    bridge = QmtRedisBridge(key_prefix=prefix, timeout=2.0)
    try:
        return [bridge.req_key, bridge.res_key("42"), bridge.events_channel]
    finally:
        bridge.close()


def main() -> None:
    sec = a_share("SH.600000", "Sample Bank")
    table: Dict[Security, float] = {sec: 10.0}
    print(f"{to_qmt_code(sec.code)} on {sec.exchange}: last {table[sec]}")
    assert sec.exchange is Exchange.SSE

    print("request", clamp_periods("1Min", 50_000), "bars of period", qmt_period_for_freq("1Min"))
    closes = [10.0 + 0.01 * i for i in range(20)]
    if is_nmin_aggregatable("5Min"):
        print("five-minute closes:", five_minute_closes(sec, closes))

    fills = [Deal(security=sec, direction=Direction.LONG, filled_avg_price=10.0, filled_quantity=1000),
             Deal(security=sec, direction=Direction.SHORT, filled_avg_price=10.2, filled_quantity=1000)]
    fees = QmtCommissionsCN(*fills)
    print(f"fees: commission {fees.commissions}, stamp {fees.stamp_fees}, total {fees.total_fees}")

    print("bridge keys:", ", ".join(bridge_keys("demo:qmt:")))

    equity = np.array([100_000.0, 100_400.0, 99_800.0, 100_900.0, 101_300.0])
    returns = np.diff(equity) / equity[:-1]
    drawdown = rolling_maximum_drawdown(equity, window=3)
    print(f"sharpe {sharpe_ratio(returns, days=252):.2f}, worst drawdown {float(drawdown.min()):.2%}")


if __name__ == "__main__":
    main()
