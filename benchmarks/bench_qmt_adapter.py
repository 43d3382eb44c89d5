"""qmt_adapter: quote refresh from one full-tick reply and recent one-minute bars through the
gateway, against the same rules in plain Python (both served by a stub bridge, no Redis)."""
import contextlib
import io
from datetime import datetime, timedelta

from _timing import best_time, report
from reference.qmt_adapter import RefQmtAdapter

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.qmt import qmt_adapter as qa


class StubBridge:
    """Answers every call from a fixed table of replies."""

    def __init__(self, replies):
        self.replies = replies

    def call(self, op, params=None, timeout=None):
        return self.replies.get(op)

    def ping(self):
        return {"ok": True}

    def start_events(self, handler, recovered=None):
        pass

    def stop_events(self):
        pass

    def close(self):
        pass


def securities(n):
    out = []
    for i in range(n):
        if i % 2:
            out.append(Stock(f"SH.{600000 + i}", f"S{i}", 100, Exchange.SSE))
        else:
            out.append(Stock(f"SZ.{i:06d}", f"S{i}", 100, Exchange.SZSE))
    return out


def full_tick(i):
    p = 10.0 + (i % 89) * 0.01
    return {"time": 1704187800000, "timetag": "20240102 09:30:00", "lastPrice": p, "open": p - 0.02,
            "high": p + 0.05, "low": p - 0.05, "lastClose": p - 0.01, "amount": 1.5e7, "volume": 15000,
            "pvolume": 1500000, "stockStatus": 3, "openInt": 13, "transactionNum": 800,
            "lastSettlementPrice": 0.0, "settlementPrice": 0.0, "pe": 0.0,
            "askPrice": [p + 0.01 * k for k in range(1, 6)], "bidPrice": [p - 0.01 * k for k in range(5)],
            "askVol": [100 * k for k in range(1, 6)], "bidVol": [110 * k for k in range(1, 6)],
            "volRatio": 0.0, "speed1Min": 0.0, "speed5Min": 0.0}


def minute_records(n):
    start = datetime(2024, 1, 2, 9, 30)
    rows = []
    for i in range(n):
        price = 10.0 + (i % 97) * 0.01
        rows.append({"time": (start + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S"), "open": price,
                     "high": price + 0.05, "low": price - 0.05, "close": price + 0.01,
                     "volume": 1000 + i, "amount": price * (1000 + i), "settelementPrice": 0.0,
                     "openInterest": 0, "preClose": price, "suspendFlag": 0})
    return rows


def gateway(secs, replies, cfg):
    stub = StubBridge(replies)
    saved = (qa.QmtRedisBridge, qa.GATEWAYS)
    qa.QmtRedisBridge = lambda **kwargs: stub
    qa.GATEWAYS = {"Qmt": cfg}
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return qa.QmtAdapter(secs), RefQmtAdapter(secs, stub, cfg)
    finally:
        qa.QmtRedisBridge, qa.GATEWAYS = saved


def book_rows(g, secs):
    return [tuple(sorted(vars(g.orderbook.get(s)).items(), key=lambda kv: kv[0]))[:-1] for s in secs]


def main():
    secs = securities(2000)
    ticks = {qa.to_qmt_code(s.code): full_tick(i) for i, s in enumerate(secs)}
    ours, ref = gateway(secs, {"get_full_tick": ticks}, {})
    ours._refresh_quotes()
    ref._refresh_quotes()
    strip = lambda d: {k: v for k, v in vars(d).items() if k != "datetime"}  # noqa: E731
    assert [strip(ours.quote.get(s)) for s in secs] == [strip(ref.quote.get(s)) for s in secs]
    assert [strip(ours.orderbook.get(s)) for s in secs] == [strip(ref.orderbook.get(s)) for s in secs]
    t_ours = best_time(ours._refresh_quotes, repeat=7)
    t_ref = best_time(ref._refresh_quotes, repeat=3)
    report("_refresh_quotes, 2,000 securities from one full-tick reply", t_ours, t_ref, target=5,
           baseline_name="python")

    sec = secs[1]
    rows = minute_records(10_000)
    cfg = {"hist_max_count": 10_000}
    ours, ref = gateway([sec], {"get_market_data_ex": {qa.to_qmt_code(sec.code): rows}}, cfg)
    a = ours.get_recent_bars(sec, "1Min", 10_000)
    b = ref.get_recent_bars(sec, "1Min", 10_000)
    assert [(x.datetime, x.open, x.close, x.volume) for x in a] == \
           [(x.datetime, x.open, x.close, x.volume) for x in b] and len(a) == 10_000
    t_ours = best_time(lambda: ours.get_recent_bars(sec, "1Min", 10_000), repeat=10)
    t_ref = best_time(lambda: ref.get_recent_bars(sec, "1Min", 10_000), repeat=3)
    report("get_recent_bars 10,000 one-minute records", t_ours, t_ref, target=5, baseline_name="python")


if __name__ == "__main__":
    main()
