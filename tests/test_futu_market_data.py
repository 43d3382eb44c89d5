"""futu_adapter market data: lookups, recent bar and capital distribution, paged history."""
from datetime import datetime

import pandas as pd
import pytest

from fakes.futu_contexts import RET_ERROR, RET_OK, kline_table, make_gateway, minute_pages
from kavrel_trader.core.constants import Exchange
from kavrel_trader.core.security import Currency, Futures, Security, Stock
from kavrel_trader.core.utility import try_parsing_datetime
from kavrel_trader.gateways.futu import futu_adapter as fa

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
HSI = Futures("HK.HSImain", "HSI", exchange=Exchange.HKFE, expiry_date="20240130")
BTC = Security("CC.BTCUSD", "Bitcoin")


class Frozen(datetime):
    @classmethod
    def now(cls, tz=None):
        return datetime(2024, 3, 10, 15, 0, 0)


@pytest.fixture
def gw(monkeypatch):
    gateway, _ = make_gateway(monkeypatch, fa, securities=[TENCENT, HSI])
    return gateway


def test_get_security(gw):
    assert gw.get_security("HK.00700") is TENCENT
    assert gw.get_security(code="HK.HSImain") is HSI
    assert gw.get_security("HK.09988") is None
    with pytest.raises(TypeError, match=r"Argument 'code' has incorrect type \(expected str, got int\)"):
        gw.get_security(700)


def test_get_quote_and_orderbook_read_the_stores(gw):
    assert gw.get_quote(TENCENT) is None and gw.get_orderbook(TENCENT) is None
    gw.quote.put(TENCENT, "q")
    gw.orderbook.put(TENCENT, "b")
    assert (gw.get_quote(TENCENT), gw.get_orderbook(security=TENCENT)) == ("q", "b")


@pytest.mark.parametrize("cls_name, autype", [("FutuAdapter", "qfq"), ("FutuCryptoGateway", "None")])
def test_recent_bar(monkeypatch, cls_name, autype):
    gw, ctx = make_gateway(monkeypatch, fa, cls_name, [TENCENT])
    ctx.quote.cur_kline_result = (RET_OK, kline_table([("2024-01-02 09:31:00", 1.0, 2.0, 0.5, 1.5, 10)]))
    bar = gw.get_recent_bar(TENCENT)
    assert ctx.quote.calls_to("get_cur_kline")[0][1] == ("HK.00700", 1, "K_1M", autype)
    assert (bar.datetime, bar.security, bar.open, bar.high, bar.low, bar.close, bar.volume) == \
        (datetime(2024, 1, 2, 9, 31), TENCENT, 1.0, 2.0, 0.5, 1.5, 10)


def test_recent_bar_failures(gw, capsys):
    ctx = gw.quote_ctx
    ctx.cur_kline_result = (RET_ERROR, "no data")
    capsys.readouterr()
    assert gw.get_recent_bar(TENCENT) is None
    assert capsys.readouterr().out == "[get_recent_bar](HK.00700) failed: no data\n"
    ctx.cur_kline_result = (RET_OK, kline_table([("2024-01-02 09:31:00", 1, 2, 0, 1, 1)] * 2))
    with pytest.raises(AssertionError, match=r"^We only get 1 kline, but received 2 rows\.$"):
        gw.get_recent_bar(TENCENT)
    ctx.cur_kline_result = (RET_OK, kline_table([("2024/01/02 09:31", 1, 2, 0, 1, 1)]))
    with pytest.raises(ValueError):
        gw.get_recent_bar(TENCENT)


def capital_table():
    return pd.DataFrame([{"capital_in_big": 1.0, "capital_in_mid": 2.0, "capital_in_small": 3.0,
                          "capital_out_big": 4.0, "capital_out_mid": 5.0,
                          "capital_out_small": 6.0, "update_time": "2024-01-02 16:00:00"}])


def test_capital_distribution(gw, capsys):
    gw.quote_ctx.capital_result = (RET_OK, capital_table())
    cd = gw.get_recent_capital_distribution(TENCENT)
    assert (cd.datetime, cd.security, cd.capital_in_big, cd.capital_in_small, cd.capital_out_mid,
            cd.capital_out_small) == (datetime(2024, 1, 2, 16), TENCENT, 1.0, 3.0, 5.0, 6.0)
    gw.quote_ctx.capital_result = (RET_ERROR, "quota")
    capsys.readouterr()
    assert gw.get_recent_capital_distribution(TENCENT) is None
    assert capsys.readouterr().out == "[get_recent_capital_distribution](HK.00700) failed: quota\n"


def test_recent_data(gw, monkeypatch):
    gw.quote_ctx.cur_kline_result = (RET_OK, kline_table([("2024-01-02 09:31:00", 1, 2, 0, 1, 1)]))
    gw.quote_ctx.capital_result = (RET_OK, capital_table())
    both = gw.get_recent_data(TENCENT)
    assert set(both) == {"kline", "capdist"} and both["kline"].close == 1
    assert gw.get_recent_data(TENCENT, dfield="kline").close == 1
    assert gw.get_recent_data(TENCENT, dfield="capdist").capital_in_big == 1.0
    with pytest.raises(KeyError):
        gw.get_recent_data(TENCENT, dfield="ticks")
    with pytest.raises(AssertionError) as e:
        gw.get_recent_data(TENCENT, field="kline")
    assert str(e.value) == "`dfield` should be passed in as kwargs, but kwargs={'field': 'kline'}"
    monkeypatch.setattr(fa, "DATA_PATH", ["capdist", "ticks"])
    assert list(gw.get_recent_data(TENCENT)) == ["capdist"]


# ---------------------------------------------------------------- history

def test_aggregated_frequency_fetches_one_minute_bars(monkeypatch):
    calls = []

    class Spy(fa.FutuAdapter):
        def req_historical_bars(self, security, periods, freq, cur_datetime,
                                trading_sessions=None, mode="direct"):
            calls.append((periods, freq, cur_datetime, trading_sessions, mode))
            return fa.FutuAdapter.req_historical_bars(self, security, periods, freq, cur_datetime,
                                                      trading_sessions=trading_sessions, mode=mode)

    monkeypatch.setattr(fa, "Spy", Spy, raising=False)
    gw, ctx = make_gateway(monkeypatch, fa, "Spy", [TENCENT])
    ctx.quote.history_pages = minute_pages(60, 500)
    now, sessions = datetime(2024, 1, 2, 10, 30), [[datetime(2024, 1, 2, 9, 30)]]
    bars = gw.req_historical_bars(TENCENT, 10, "5Min", now, trading_sessions=sessions, mode="m")
    assert calls == [(10, "5Min", now, sessions, "m"), (55, "1Min", now, sessions, "m")]
    assert len(bars) == 10 and bars[-1].datetime == datetime(2024, 1, 2, 10, 29)
    assert bars[-1].volume == sum(1000 + i for i in range(55, 60))


@pytest.mark.parametrize("freq, kwargs, error, message", [
    ("1Day", {}, ValueError, "Parameters trading_sessions is mandatory if freq=1Day."),
    ("2Hour", {}, AssertionError, "Parameter freq=2Hour is Not supported. Only ('1Day', '1Min') "
                                  "are allowed (or aggregatable N-min such as 5Min / 15Min)."),
    ("7Min", {}, AssertionError, None),
])
def test_history_frequency_errors(gw, freq, kwargs, error, message):
    with pytest.raises(error) as e:
        gw.req_historical_bars(TENCENT, 10, freq, None, **kwargs)
    if message:
        assert str(e.value) == message
    assert gw.quote_ctx.calls_to("request_history_kline") == []


@pytest.mark.parametrize("args, message", [
    ((TENCENT, "3", "1Min", None), "Argument 'periods' has incorrect type (expected int, got str)"),
    ((TENCENT, 3, 1, None), "Argument 'freq' has incorrect type (expected str, got int)"),
    ((TENCENT, 3, "1Min", None, ()), "Argument 'trading_sessions' has incorrect type (expected list, got tuple)"),
    ((TENCENT, 3, "1Min", None, None, 0), "Argument 'mode' has incorrect type (expected str, got int)"),
])
def test_history_argument_types(gw, args, message):
    with pytest.raises(TypeError) as e:
        gw.req_historical_bars(*args)
    assert str(e.value) == message


@pytest.mark.parametrize("periods, freq, start, ktype", [
    (600, "1Min", "2024-03-03", "K_1M"), (299, "1Min", "2024-03-05", "K_1M"),
    (300, "1Min", "2024-03-04", "K_1M"), (20, "1Day", "2023-12-13", "K_DAY"),
])
def test_history_window(gw, monkeypatch, periods, freq, start, ktype):
    monkeypatch.setattr(fa, "datetime", Frozen)
    gw.quote_ctx.history_pages = minute_pages(periods, 500)
    bars = gw.req_historical_bars(TENCENT, periods, freq, None, trading_sessions=[])
    name, _, kw = gw.quote_ctx.calls_to("request_history_kline")[0]
    assert kw == {"code": "HK.00700", "start": start, "end": "2024-03-10", "ktype": ktype,
                  "autype": "qfq", "fields": [""], "max_count": 500, "page_req_key": None,
                  "extended_time": False}
    assert len(bars) == periods


def test_paged_history_keeps_the_last_rows(gw):
    pages = minute_pages(1200, 500)
    gw.quote_ctx.history_pages = pages
    bars = gw.req_historical_bars(HSI, 700, "1Min", None)
    keys = [kw["page_req_key"] for _, _, kw in gw.quote_ctx.calls_to("request_history_kline")]
    assert keys == [None, b"page-1", b"page-2"]
    assert len(bars) == 700 and bars[0].datetime == datetime(2024, 1, 2, 9, 30) + pd.Timedelta(minutes=500)
    assert [b.close for b in bars[-3:]] == list(pages[2]["close"][-3:])
    assert all(b.security is HSI for b in bars)


def test_pages_are_requested_lazily(gw, capsys):
    gw.quote_ctx.history_pages = minute_pages(1500, 500)
    gw.quote_ctx.history_fail_at = 2
    pages = gw._api_req_historical_bar("HK.00700", "2024-01-01", "2024-01-05")
    assert gw.quote_ctx.calls_to("request_history_kline") == []
    first = next(pages)
    assert len(first) == 500 and len(gw.quote_ctx.calls_to("request_history_kline")) == 1
    capsys.readouterr()
    assert len(list(pages)) == 1
    assert capsys.readouterr().out == "error: history failed\n"
    assert list(pages) == []


def test_history_short_of_rows(gw, monkeypatch):
    gw.quote_ctx.history_pages = minute_pages(1500, 500)
    gw.quote_ctx.history_fail_at = 1
    with pytest.raises(AssertionError) as e:
        gw.req_historical_bars(TENCENT, 600, "1Min", None)
    assert str(e.value) == "Data received is not sufficient to requested (500 < 600)."


def test_no_history_page_gives_no_bars(gw, capsys):
    gw.quote_ctx.history_pages = minute_pages(10, 500)
    gw.quote_ctx.history_fail_at = 0
    assert gw._api_get_historical_bar("HK.00700", "Equity_SEHK") is None
    assert gw.req_historical_bars(TENCENT, 5, "1Min", None) == []
    assert "error: history failed" in capsys.readouterr().out


@pytest.mark.parametrize("security, accepted", [(TENCENT, True), (HSI, True),
                                                (Currency("HK.USD", "usd"), False),
                                                (Stock("US.AAPL", "a", exchange=Exchange.NASDAQ), False)])
def test_history_asset_types(gw, security, accepted):
    gw.quote_ctx.history_pages = minute_pages(5, 500)
    if accepted:
        assert len(gw.req_historical_bars(security, 5, "1Min", None)) == 5
    else:
        kind = f"{type(security).__name__}_{security.exchange.value}"
        with pytest.raises(AssertionError, match=f"^Asset type {kind} is not supported.$"):
            gw.req_historical_bars(security, 5, "1Min", None)


def test_api_get_historical_bar_columns_and_freq(gw):
    gw.quote_ctx.history_pages = minute_pages(30, 500)
    table = gw._api_get_historical_bar("HK.00700", "Futures_HKFE", end_date="2024-01-05",
                                       start_date="2024-01-01", periods=4)
    assert list(table.columns) == ["time_key", "open", "high", "low", "close", "volume"]
    assert len(table) == 4 and table["volume"].tolist() == [1026, 1027, 1028, 1029]
    with pytest.raises(ValueError, match="^Freq 5Min is not supported.$"):
        gw._api_get_historical_bar("HK.00700", "Equity_SEHK", freq="5Min")
    with pytest.raises(TypeError, match="'fields' has incorrect type"):
        gw._api_req_historical_bar("HK.00700", "a", "b", fields=("",))
    with pytest.raises(TypeError, match="'start' has incorrect type"):
        gw._api_req_historical_bar("HK.00700", None, "b")


def test_history_uses_a_replaced_time_parser(gw, monkeypatch):
    gw.quote_ctx.history_pages = minute_pages(3, 500)
    seen = []
    monkeypatch.setattr(fa, "try_parsing_datetime", lambda t: seen.append(t) or len(seen))
    bars = gw.req_historical_bars(TENCENT, 3, "1Min", None)
    assert [b.datetime for b in bars] == [1, 2, 3] and seen[0] == "2024-01-02 09:30:00"


def test_history_times_match_the_framework_parser(gw):
    pages = minute_pages(50, 20, start="2024-02-28 23:40:00")
    gw.quote_ctx.history_pages = pages
    bars = gw.req_historical_bars(TENCENT, 50, "1Min", None)
    times = pd.concat(pages)["time_key"].tolist()
    assert [b.datetime for b in bars] == [try_parsing_datetime(t) for t in times]


IMPOSSIBLE_TIMES = ["2024-01-02 24:00:00", "1900-02-29 10:00:00", "2100-02-29 10:00:00"]


@pytest.mark.parametrize("how, text", [("recent bar", t) for t in IMPOSSIBLE_TIMES] +
                         [("history", t) for t in IMPOSSIBLE_TIMES + ["2100-02-29 10:00:00.250"]])
def test_impossible_times_are_refused_as_the_host_parser_refuses_them(gw, how, text):
    if how == "recent bar":
        gw.quote_ctx.cur_kline_result = (RET_OK, kline_table([(text, 1, 2, 0, 1, 1)]))
        with pytest.raises(ValueError) as host:
            datetime.strptime(text, "%Y-%m-%d %H:%M:%S")
        with pytest.raises(ValueError) as ours:
            gw.get_recent_bar(TENCENT)
    else:
        # A sound time of the same shape first: once the framework's parser has read one,
        # the gateway reads that shape itself.
        sound = "2024-01-02 09:30:00" + text[19:]
        gw.quote_ctx.history_pages = [kline_table([(sound, 1, 2, 0, 1, 1), (text, 1, 2, 0, 1, 1)])]
        with pytest.raises(ValueError) as host:
            try_parsing_datetime(text)
        with pytest.raises(ValueError) as ours:
            gw.req_historical_bars(TENCENT, 2, "1Min", None)
    assert str(ours.value) == str(host.value)
