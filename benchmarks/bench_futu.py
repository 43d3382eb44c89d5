"""futu_adapter: paged history, quote and order-book pushes against plain Python, and the
end-to-end cost of a push through the SDK's own handler base."""
import sys
from datetime import datetime

import pandas as pd
from futu import StockQuoteHandlerBase
from futu.common.pb import Qot_UpdateBasicQot_pb2

from _timing import best_time, report
from fakes.futu_contexts import FutuContexts, minute_pages

from kavrel_trader.core.data import Bar, OrderBook, Quote
from kavrel_trader.core.security import Stock
from kavrel_trader.core.utility import try_parsing_datetime
from kavrel_trader.gateways.base_gateway import Store
from kavrel_trader.gateways.futu import futu_adapter as fa

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
OTHERS = [Stock(f"HK.{n:05d}", f"S{n}", lot_size=100) for n in range(1, 10)]
COLUMNS = ["time_key", "open", "high", "low", "close", "volume"]


# ---------------------------------------------------------------- the same rules in plain Python

class PlainFutu:
    """The history and push rules of the gateway, written as plain Python."""

    def __init__(self, securities, quote_ctx):
        self.securities = securities
        self.quote_ctx = quote_ctx
        self.quote = Store()
        self.orderbook = Store()

    def get_security(self, code):
        for security in self.securities:
            if security.code == code:
                return security
        return None

    def _api_req_historical_bar(self, code, start, end, ktype="K_DAY", autype="qfq",
                                fields=("",), max_count=500, extended_time=False):
        ret, data, key = self.quote_ctx.request_history_kline(
            code=code, start=start, end=end, ktype=ktype, autype=autype, fields=list(fields),
            max_count=max_count, extended_time=extended_time)
        if ret == 0:
            yield data
        while key is not None:
            ret, data, key = self.quote_ctx.request_history_kline(
                code=code, start=start, end=end, ktype=ktype, autype=autype, fields=list(fields),
                max_count=max_count, extended_time=extended_time, page_req_key=key)
            if ret == 0:
                yield data

    def req_historical_bars(self, security, periods, rows="iterrows"):
        pages = list(self._api_req_historical_bar(security.code, "2024-01-01", "2024-12-31", "K_1M"))
        data = pd.concat(pages)
        assert len(data) >= periods
        data = data.iloc[-periods:][COLUMNS]
        if rows == "iterrows":
            return [Bar(datetime=try_parsing_datetime(row["time_key"]), security=security,
                        open=row["open"], high=row["high"], low=row["low"], close=row["close"],
                        volume=row["volume"]) for _, row in data.iterrows()]
        return [Bar(datetime=try_parsing_datetime(t), security=security, open=o, high=h, low=lo,
                    close=c, volume=v) for t, o, h, lo, c, v in data.itertuples(index=False)]

    def process_quote(self, content):
        security = self.get_security(code=content["code"].values[0])
        if security is None:
            return
        when = try_parsing_datetime(content["data_date"].values[0] + " " +
                                    content["data_time"].values[0])
        quote = Quote(security=security, exchange=security.exchange, datetime=when,
                      last_price=content["last_price"].values[0],
                      open_price=content["open_price"].values[0],
                      high_price=content["high_price"].values[0],
                      low_price=content["low_price"].values[0],
                      prev_close_price=content["prev_close_price"].values[0],
                      volume=content["volume"].values[0], turnover=content["turnover"].values[0],
                      turnover_rate=content["turnover_rate"].values[0],
                      amplitude=content["amplitude"].values[0],
                      suspension=content["suspension"].values[0],
                      price_spread=content["price_spread"].values[0],
                      sec_status=content["sec_status"].values[0])
        self.quote.put(security, quote)

    def process_orderbook(self, content):
        security = self.get_security(code=content["code"])
        if security is None:
            return
        ask = try_parsing_datetime(content["svr_recv_time_ask"])
        bid = try_parsing_datetime(content["svr_recv_time_bid"])
        book = OrderBook(security=security, exchange=security.exchange,
                         datetime=ask if ask > bid else bid)
        for n, level in enumerate(content["Bid"], 1):
            setattr(book, f"bid_price_{n}", level[0])
            setattr(book, f"bid_volume_{n}", level[1])
            setattr(book, f"bid_num_{n}", level[2])
        for n, level in enumerate(content["Ask"], 1):
            setattr(book, f"ask_price_{n}", level[0])
            setattr(book, f"ask_volume_{n}", level[1])
            setattr(book, f"ask_num_{n}", level[2])
        self.orderbook.put(security, book)


# ---------------------------------------------------------------- inputs

def quote_push(i):
    r = Qot_UpdateBasicQot_pb2.Response()
    r.retType = 0
    b = r.s2c.basicQotList.add()
    b.security.market = 1
    b.security.code = "00700"
    b.isSuspended = False
    b.listTime = ""
    b.priceSpread = 0.2
    b.updateTime = f"2024-01-02 10:{i // 60 % 60:02d}:{i % 60:02d}"
    b.highPrice, b.openPrice, b.lowPrice, b.curPrice = 351.0, 349.0, 348.0, 350.0 + i * 0.001
    b.lastClosePrice, b.volume, b.turnover = 347.0, 12345 + i, 1e7
    b.turnoverRate, b.amplitude = 0.1, 0.5
    return r


def quote_tables(n_distinct):
    """One-row quote tables as the SDK's handler base makes them (all its columns)."""
    base = StockQuoteHandlerBase()
    return [base.on_recv_rsp(quote_push(i))[1] for i in range(n_distinct)]


def books(n):
    out = []
    for i in range(n):
        ms = i % 1000
        out.append({"code": "HK.00700", "name": "Tencent",
                    "svr_recv_time_bid": f"2024-01-02 10:00:{i // 1000 % 60:02d}.{ms:03d}",
                    "svr_recv_time_ask": f"2024-01-02 10:00:{i // 1000 % 60:02d}.{(ms + 7) % 1000:03d}",
                    "Bid": [(350.0 - k * 0.2, 100 * (k + 1), k + 1, {}) for k in range(10)],
                    "Ask": [(350.2 + k * 0.2, 100 * (k + 1), k + 1, {}) for k in range(10)]})
    return out


def each(fn, items):
    """A timing body calling fn on every item."""
    def body():
        for item in items:
            fn(item)
    return body


class _Patch:
    def setattr(self, obj, name, value, raising=True):
        setattr(obj, name, value)


def main():
    contexts = FutuContexts()
    saved = {n: getattr(fa, n) for n in FutuContexts.KINDS}
    contexts.install(_Patch(), fa)
    out, sys.stdout = sys.stdout, open("/dev/null", "w") if sys.platform != "win32" else sys.stdout
    try:
        gw = fa.FutuAdapter([*OTHERS, TENCENT], "bench")
    finally:
        sys.stdout = out
    for n, v in saved.items():
        setattr(fa, n, v)
    quote_ctx = contexts.quote
    plain = PlainFutu([*OTHERS, TENCENT], quote_ctx)

    # History: 100,000 one-minute rows in 200 pages of 500.
    quote_ctx.history_pages = minute_pages(100_000, 500)
    ours_bars = gw.req_historical_bars(TENCENT, 100_000, "1Min", None)
    base_bars = plain.req_historical_bars(TENCENT, 100_000, rows="itertuples")
    assert [(b.datetime, b.open, b.close, b.volume) for b in ours_bars[::997]] == \
           [(b.datetime, b.open, b.close, b.volume) for b in base_bars[::997]]
    quote_ctx.calls.clear()
    ours = best_time(lambda: gw.req_historical_bars(TENCENT, 100_000, "1Min", None), repeat=3)
    base = best_time(lambda: plain.req_historical_bars(TENCENT, 100_000), repeat=1)
    report("req_historical_bars 100k rows (200 pages) vs iterrows", ours, base, target=10,
           baseline_name="python")
    base = best_time(lambda: plain.req_historical_bars(TENCENT, 100_000, rows="itertuples"), repeat=2)
    report("req_historical_bars 100k rows (200 pages) vs itertuples", ours, base,
           baseline_name="python")
    quote_ctx.calls.clear()

    # Quote pushes: 10,000 one-row tables (200 distinct, cycled).
    tables = quote_tables(200)
    pushes = [tables[i % 200] for i in range(10_000)]
    gw.process_quote(pushes[5])
    plain.process_quote(pushes[5])
    a, b = gw.get_quote(TENCENT), plain.quote.get(TENCENT)
    assert (a.datetime, a.last_price, a.volume, a.sec_status) == (b.datetime, b.last_price, b.volume, b.sec_status)

    ours = best_time(each(gw.process_quote, pushes), repeat=3)
    base = best_time(each(plain.process_quote, pushes), repeat=2)
    report("process_quote x10,000 (one-row SDK tables)", ours, base, target=2,
           baseline_name="python")

    # Order-book pushes: 10,000 ten-level books.
    book_list = books(10_000)
    gw.process_orderbook(book_list[3])
    plain.process_orderbook(book_list[3])
    a, b = gw.get_orderbook(TENCENT), plain.orderbook.get(TENCENT)
    assert vars(a) == vars(b)

    ours = best_time(each(gw.process_orderbook, book_list), repeat=3)
    base = best_time(each(plain.process_orderbook, book_list), repeat=2)
    report("process_orderbook x10,000 (ten-level books)", ours, base, target=2,
           baseline_name="python")

    # A quote push end to end through the SDK's handler base, and the SDK's own share.
    handler = contexts.quote.handlers[0]
    raw = [quote_push(i) for i in range(1000)]
    sdk = StockQuoteHandlerBase()

    parsed = [sdk.on_recv_rsp(r)[1] for r in raw]
    total = best_time(each(handler.on_recv_rsp, raw), repeat=7) / len(raw)
    parse = best_time(each(sdk.on_recv_rsp, raw), repeat=7) / len(raw)
    ours = best_time(each(gw.process_quote, parsed), repeat=7) / len(raw)
    print(f"{'quote push through on_recv_rsp, end to end':<58} {total * 1e6:9.2f} us per push")
    print(f"{'  of which the SDK parsing the push':<58} {parse * 1e6:9.2f} us "
          f"({parse / (parse + ours):.0%} of parsing + processing)")
    print(f"{'  of which process_quote':<58} {ours * 1e6:9.2f} us")


if __name__ == "__main__":
    main()
