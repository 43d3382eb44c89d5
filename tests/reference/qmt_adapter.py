"""The QMT gateway's row readers, quote refresh and historical-bar path as plain Python.

A gateway class over the same BaseGateway that needs no bridge of its own: the caller hands
it a bridge object. Used by the tests (same results as the native gateway) and by the
benchmarks (the plain-Python baseline).
"""
from collections.abc import Mapping
from datetime import datetime

from kavrel_trader.core.data import Bar, OrderBook, Quote
from kavrel_trader.gateways import BaseGateway
from kavrel_trader.gateways.qmt import kline_history as kh
from reference import kline_history as ref_kh
from reference import symbols as ref_symbols


def _first_number(row, keys, default=0.0):
    for key in keys:
        if key in row and row[key] is not None:
            try:
                return float(row[key])
            except (TypeError, ValueError):
                continue
    return float(default)


def _level_number(row, list_keys, index, default=0.0):
    for key in list_keys:
        value = row.get(key)
        if isinstance(value, (list, tuple)) and len(value) > index:
            try:
                return float(value[index])
            except (TypeError, ValueError):
                continue
    return float(default)


def _first_str(row, keys, default=""):
    for key in keys:
        value = row.get(key)
        if value is None:
            continue
        text = str(value).strip()
        if text:
            return text
    return default


def _first_int(row, keys, default=0):
    for key in keys:
        value = row.get(key)
        if value is None:
            continue
        try:
            return int(float(value))
        except (TypeError, ValueError):
            continue
    return default


# quantity -> (scalar keys, (list keys) or None, level index)
QUOTE_FIELDS = {
    "last": (["lastPrice", "last_price", "price", "m_dLastPrice", "lastClose"], None, 0),
    "bid": (["bid_price", "bidPrice1", "m_dBidPrice1", "bid1"], ["bidPrice", "bidPrices"], 0),
    "ask": (["ask_price", "askPrice1", "m_dAskPrice1", "ask1"], ["askPrice", "askPrices"], 0),
    "open": (["open", "open_price", "m_dOpen"], None, 0),
    "high": (["high", "high_price", "m_dHigh"], None, 0),
    "low": (["low", "low_price", "m_dLow"], None, 0),
    "prev_close": (["lastClose", "prev_close_price", "m_dLastClose"], None, 0),
    "volume": (["volume", "m_nVolume", "vol"], None, 0),
    "turnover": (["amount", "turnover", "m_dAmount"], None, 0),
    "bid_volume": (["bid_volume", "bidVol1", "m_nBidVol1"], ["bidVol", "bidVols"], 0),
    "ask_volume": (["ask_volume", "askVol1", "m_nAskVol1"], ["askVol", "askVols"], 0),
}


def level_fields(i):
    n = str(i)
    return {
        "bid_price_" + n: (["bidPrice" + n, "bid" + n, "m_dBidPrice" + n], ["bidPrice", "bidPrices"], i - 1),
        "ask_price_" + n: (["askPrice" + n, "ask" + n, "m_dAskPrice" + n], ["askPrice", "askPrices"], i - 1),
        "bid_volume_" + n: (["bidVol" + n, "m_nBidVol" + n], ["bidVol", "bidVols"], i - 1),
        "ask_volume_" + n: (["askVol" + n, "m_nAskVol" + n], ["askVol", "askVols"], i - 1),
    }


def read(tick, spec):
    keys, list_keys, k = spec
    value = _first_number(tick, keys)
    if value == 0.0 and list_keys:
        value = _level_number(tick, list_keys, k)
    return value


class RefQmtAdapter(BaseGateway):
    NAME = "QMT"
    KL_ALLOWED = ("1Day", "1Min")

    def __init__(self, securities, rpc, cfg=None):
        super().__init__(securities, "Qmt")
        self._rpc = rpc
        self._cfg = cfg or {}
        self._recent_bars = {}

    def _refresh_quotes(self):
        codes = [ref_symbols.to_qmt_code(s.code) for s in self.securities]
        if not codes:
            return
        try:
            ticks = self._rpc.call("get_full_tick", {"codes": codes}) or {}
        except Exception as e:
            print("[" + self.NAME + "] get_full_tick failed: " + str(e))
            return
        if not isinstance(ticks, Mapping):
            return
        now = datetime.now()
        for security in self.securities:
            qmt_code = ref_symbols.to_qmt_code(security.code)
            tick = ticks.get(qmt_code) or ticks.get(security.code)
            if not tick or not isinstance(tick, Mapping):
                continue  # a missing tick keeps the last good data
            v = {name: read(tick, spec) for name, spec in QUOTE_FIELDS.items()}
            exchange = (security.exchange if hasattr(security, "exchange")
                        else ref_symbols.exchange_from_qmt_code(qmt_code))
            bid, ask = v["bid"], v["ask"]
            self.quote.put(security, Quote(
                security=security, exchange=exchange, datetime=now, last_price=v["last"],
                open_price=v["open"], high_price=v["high"], low_price=v["low"],
                prev_close_price=v["prev_close"], volume=v["volume"], turnover=v["turnover"],
                bid_price=bid, ask_price=ask, price_spread=(ask - bid) if bid and ask else 0.0))
            book = OrderBook(security=security, exchange=exchange, datetime=now, bid_price_1=bid,
                             ask_price_1=ask, bid_volume_1=v["bid_volume"], ask_volume_1=v["ask_volume"])
            for i in range(1, 6):
                for attr, spec in level_fields(i).items():
                    setattr(book, attr, read(tick, spec))
            self.orderbook.put(security, book)
            last, open_ = v["last"], v["open"]
            if last or open_:
                self._recent_bars[security] = Bar(
                    datetime=now.replace(second=0, microsecond=0), security=security,
                    open=open_ or last, high=v["high"] or last, low=v["low"] or last,
                    close=last or open_, volume=v["volume"])

    def req_historical_bars(self, security, periods, freq, cur_datetime=None):
        periods = kh.clamp_periods(freq, periods, max_count=self._cfg.get("hist_max_count"))
        qmt_code = ref_symbols.to_qmt_code(security.code)
        params = {"codes": [qmt_code], "period": kh.qmt_period_for_freq(freq), "count": periods,
                  "start_time": kh.format_qmt_start_time(cur_datetime, periods, freq),
                  "end_time": kh.format_qmt_end_time(cur_datetime, freq),
                  "fields": ["open", "high", "low", "close", "volume"],
                  "dividend_type": self._cfg.get("hist_dividend_type", "follow"),
                  "fill_data": bool(self._cfg.get("hist_fill_data", False)),
                  "subscribe": bool(self._cfg.get("hist_subscribe", False))}
        timeout = max(float(self._cfg.get("hist_rpc_timeout") or 30.0),
                      float(self._cfg.get("rpc_timeout", 10.0)))
        try:
            data = self._rpc.call("get_market_data_ex", params, timeout=timeout) or {}
        except Exception as e:
            raise RuntimeError(f"[{self.NAME}] get_market_data_ex failed for {security.code}: {e}") from e
        records = (data.get(qmt_code) or data.get(security.code)
                   or data.get(ref_symbols.from_qmt_code(qmt_code)) or [])
        if not records:
            for k, v in data.items():
                if ref_symbols.to_qmt_code(str(k)) == qmt_code:
                    records = v
                    break
        bars = ref_kh.records_to_bars(records, security, drop_placeholders=True)
        if not bars:
            raise ValueError(f"[{self.NAME}] No historical bars for {security.code}")
        if len(bars) > periods:
            bars = bars[-periods:]
        elif len(bars) < periods:
            print(f"[{self.NAME}] Only {len(bars)}/{periods} bars for {security.code} freq={freq}. "
                  "Download more local history in QMT.")
        if freq == "1Min":
            self._recent_bars[security] = bars[-1]
        return bars

    def get_recent_bars(self, security, bar_interval=None, periods=1):
        freq = bar_interval if isinstance(bar_interval, str) and bar_interval else "1Min"
        return self.req_historical_bars(security, int(periods), freq, cur_datetime=datetime.now())
