"""Recording stand-ins for the Futu SDK's OpenD contexts (quote, securities, futures and
crypto trade contexts), which connect to a server on construction.

Each context records every call as (name, args, kwargs) in `calls` and answers with what the
test programmed: pandas tables where the SDK gives tables, paged history with page keys,
failures with error texts. `FutuContexts.install(monkeypatch, module)` puts the four context
classes into a module namespace and keeps every context made, so a test programs them before
the gateway constructor runs (through `program`) or afterwards (on the instances).
"""
import contextlib
import io

import pandas as pd

RET_OK = 0
RET_ERROR = -1


class _Context:
    def __init__(self, registry, kind, host=None, port=None):
        self.kind = kind
        self.host = host
        self.port = port
        self.calls = []
        self.handlers = []
        self.started = False
        self.closed = False
        self.close_error = None
        for key, value in registry.program.get(kind, {}).items():
            setattr(self, key, value)
        registry.created.append(self)

    def _record(self, name, *args, **kwargs):
        self.calls.append((name, args, kwargs))

    def calls_to(self, name):
        return [c for c in self.calls if c[0] == name]

    def set_handler(self, handler):
        self._record("set_handler", handler)
        self.handlers.append(handler)
        return RET_OK

    def start(self):
        self._record("start")
        self.started = True

    def close(self):
        self._record("close")
        if self.close_error is not None:
            raise self.close_error
        self.closed = True


class FakeQuoteContext(_Context):
    subscribe_result = (RET_OK, "")
    cur_kline_result = None            # (ret, table) from get_cur_kline
    capital_result = None              # (ret, table) from get_capital_distribution
    history_pages = ()                 # page tables of request_history_kline
    history_fail_at = None             # page index answered with RET_ERROR
    history_error = "history failed"

    def subscribe(self, codes, subtypes, subscribe_push=True):
        self._record("subscribe", codes, subtypes, subscribe_push=subscribe_push)
        return self.subscribe_result

    def get_cur_kline(self, code, num, ktype, autype):
        self._record("get_cur_kline", code, num, ktype, autype)
        return self.cur_kline_result

    def get_capital_distribution(self, code):
        self._record("get_capital_distribution", code)
        return self.capital_result

    def request_history_kline(self, code, start=None, end=None, ktype="K_DAY", autype="qfq",
                              fields=None, max_count=1000, page_req_key=None,
                              extended_time=False):
        self._record("request_history_kline", code=code, start=start, end=end, ktype=ktype,
                     autype=autype, fields=fields, max_count=max_count,
                     page_req_key=page_req_key, extended_time=extended_time)
        # Page keys are bytes, as the SDK hands on the server's opaque key.
        index = 0 if page_req_key is None else int(page_req_key.split(b"-")[1])
        if self.history_fail_at == index:
            return RET_ERROR, self.history_error, None
        pages = self.history_pages
        next_key = f"page-{index + 1}".encode() if index + 1 < len(pages) else None
        return RET_OK, pages[index], next_key


class FakeTradeContext(_Context):
    unlock_result = (RET_OK, "unlocked")
    place_result = (RET_OK, pd.DataFrame({"order_id": ["F1001"], "code": ["X"]}))
    modify_result = (RET_OK, "")
    accinfo_result = None
    position_result = None

    def unlock_trade(self, password):
        self._record("unlock_trade", password)
        return self.unlock_result

    def place_order(self, price, qty, code, trd_side, order_type="NORMAL", adjust_limit=0,
                    trd_env="REAL", **kwargs):
        self._record("place_order", price=price, qty=qty, code=code, trd_side=trd_side,
                     order_type=order_type, trd_env=trd_env)
        return self.place_result

    def modify_order(self, modify_order_op, order_id, qty, price, adjust_limit=0,
                     trd_env="REAL", **kwargs):
        self._record("modify_order", modify_order_op, order_id, qty, price, trd_env=trd_env)
        return self.modify_result

    def accinfo_query(self, trd_env="REAL", **kwargs):
        self._record("accinfo_query", trd_env=trd_env)
        return self.accinfo_result

    def position_list_query(self, trd_env="REAL", **kwargs):
        self._record("position_list_query", trd_env=trd_env)
        return self.position_result


class FutuContexts:
    """The contexts made through the installed classes, by kind."""

    KINDS = {"OpenQuoteContext": ("quote", FakeQuoteContext),
             "OpenSecTradeContext": ("sec", FakeTradeContext),
             "OpenFutureTradeContext": ("future", FakeTradeContext),
             "OpenCryptoTradeContext": ("crypto", FakeTradeContext)}

    def __init__(self):
        self.created = []
        self.program = {}   # kind -> {attribute: value} applied to every new context

    def install(self, monkeypatch, module):
        for name, (kind, base) in self.KINDS.items():
            registry = self

            def make(host=None, port=None, _kind=kind, _base=base):
                return _base(registry, _kind, host=host, port=port)

            monkeypatch.setattr(module, name, make)
        return self

    def last(self, kind):
        found = [c for c in self.created if c.kind == kind]
        return found[-1] if found else None

    @property
    def quote(self):
        return self.last("quote")

    def trade(self, kind="sec"):
        return self.last(kind)


# ---------------------------------------------------------------- tables as the SDK gives them

def kline_table(rows):
    """History / current kline table from (time_key, open, high, low, close, volume) rows."""
    return pd.DataFrame(
        [{"code": "X", "time_key": t, "open": o, "close": c, "high": h, "low": lo, "volume": v,
          "turnover": 0.0} for t, o, h, lo, c, v in rows])


def minute_pages(n_rows, page_size, start="2024-01-02 09:30:00"):
    """n_rows one-minute bars cut into history pages of page_size rows."""
    times = pd.date_range(start, periods=n_rows, freq="min").strftime("%Y-%m-%d %H:%M:%S")
    frame = pd.DataFrame({"code": "HK.00700", "time_key": list(times),
                          "open": [10.0 + i * 0.01 for i in range(n_rows)],
                          "close": [10.005 + i * 0.01 for i in range(n_rows)],
                          "high": [10.02 + i * 0.01 for i in range(n_rows)],
                          "low": [9.99 + i * 0.01 for i in range(n_rows)],
                          "volume": [1000 + i for i in range(n_rows)],
                          "turnover": [1e4] * n_rows})
    return [frame.iloc[i:i + page_size].reset_index(drop=True)
            for i in range(0, n_rows, page_size)]


def make_gateway(monkeypatch, module, cls_name="FutuAdapter", securities=(), program=None,
                 trade_mode=None, **kwargs):
    """A gateway of module.<cls_name> over fake contexts, its trade mode set when one is
    given; returns (gateway, contexts)."""
    contexts = FutuContexts()
    contexts.program.update(program or {})
    contexts.install(monkeypatch, module)
    gateway = getattr(module, cls_name)(list(securities), "futu-test", **kwargs)
    if trade_mode is not None:
        gateway.trade_mode = trade_mode
    return gateway, contexts


class _OneShotPatch:
    """monkeypatch's setattr, undone once the gateway is built (only its constructor reads
    the context classes)."""

    def __init__(self):
        self.saved = []

    def setattr(self, obj, name, value):
        self.saved.append((obj, name, getattr(obj, name)))
        setattr(obj, name, value)

    def undo(self):
        for obj, name, value in reversed(self.saved):
            setattr(obj, name, value)


def make_gateway_quietly(module, cls_name="FutuAdapter", securities=(), **kwargs):
    """make_gateway outside a pytest test (fuzz targets, leak rounds): the module's context
    classes are put back at once and the constructor's printing is dropped."""
    patch = _OneShotPatch()
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            return make_gateway(patch, module, cls_name, securities, **kwargs)
    finally:
        patch.undo()
