"""Stand-in for the terminal SDK's market-data module ``xtquant.xtdata``.

Same function names, parameters and result shapes: ``get_full_tick`` gives {code: tick dict},
``get_market_data_ex`` gives {code: DataFrame} with one column per field and the bar time
text as the row label ("%Y%m%d" for days, "%Y%m%d%H%M%S" otherwise). A test fills ``STATE``:
``ticks``, ``local`` bars (what the terminal has) and ``remote`` bars (what
``download_history_data`` brings in), and reads ``calls``.
"""
import time
from datetime import datetime

import pandas as pd


def _time_ms(text):
    """The SDK's "time" field: the bar time as epoch milliseconds."""
    fmt = "%Y%m%d" if len(text) == 8 else "%Y%m%d%H%M%S"
    return int(time.mktime(datetime.strptime(text, fmt).timetuple()) * 1000)


class _State:
    def reset(self):
        self.ticks = {}
        self.local = {}       # (code, period) -> list of records with "time"
        self.remote = {}
        self.calls = []
        self.fail = None      # an exception to raise from every call

    def __init__(self):
        self.reset()


STATE = _State()


def _enter(name, *args):
    STATE.calls.append((name,) + args)
    if STATE.fail is not None:
        raise STATE.fail


def get_full_tick(code_list):
    _enter("get_full_tick", list(code_list))
    return {c: dict(STATE.ticks[c]) for c in code_list if c in STATE.ticks}


def get_market_data_ex(field_list=[], stock_list=[], period='1d', start_time='', end_time='',
                       count=-1, dividend_type='none', fill_data=True):
    _enter("get_market_data_ex", list(field_list), list(stock_list), period, start_time,
           end_time, count, dividend_type, fill_data)
    out = {}
    for code in stock_list:
        rows = [r for r in STATE.local.get((code, period), [])
                if (not start_time or r["time"] >= start_time)
                and (not end_time or r["time"][:len(end_time)] <= end_time)]
        if count is not None and count > 0:
            rows = rows[-count:]
        fields = list(field_list) or [k for k in (rows[0] if rows else {}) if k != "time"]
        out[code] = pd.DataFrame([[_time_ms(r["time"]) if f == "time" else r.get(f)
                                   for f in fields] for r in rows], columns=fields,
                                 index=[r["time"] for r in rows])
    return out


def download_history_data(stock_code, period, start_time='', end_time='', incrementally=None):
    _enter("download_history_data", stock_code, period, start_time, end_time)
    STATE.local[(stock_code, period)] = list(STATE.remote.get((stock_code, period), []))


def subscribe_quote(stock_code, period='1d', start_time='', end_time='', count=0,
                    callback=None):
    _enter("subscribe_quote", stock_code, period)
    return 1
