"""kline_history: records_to_bars and parse_qmt_bar_time against plain Python."""
from datetime import datetime, timedelta

from _timing import best_time, report
from reference import kline_history as ref

from kavrel_trader.gateways.qmt import kline_history as kh


# ---------------------------------------------------------------- data

def minute_records(n, *, int_times=False, upper=False):
    start = datetime(2024, 1, 2, 9, 30)
    rows = []
    for i in range(n):
        t = (start + timedelta(minutes=i)).strftime("%Y%m%d%H%M%S")
        price = 10.0 + (i % 97) * 0.01
        row = {"time": int(t) if int_times else t, "open": price, "high": price + 0.05,
               "low": price - 0.05, "close": price + 0.01, "volume": 1000 + i,
               "amount": price * (1000 + i), "settelementPrice": 0.0, "openInterest": 0,
               "preClose": price, "suspendFlag": 0}
        if upper:
            row = {k.capitalize(): v for k, v in row.items()}
        if i % 50 == 0:  # terminal fill-in bars
            row.update({"open": 0, "high": 0, "low": 0, "close": 0, "volume": 0})
        rows.append(row)
    return rows


def main():
    n = 10_000
    cases = [
        ("records_to_bars 10k, text times", minute_records(n)),
        ("records_to_bars 10k, int times", minute_records(n, int_times=True)),
        ("records_to_bars 10k, capitalised keys", minute_records(n, upper=True)),
    ]
    for name, rows in cases:
        assert [(b.datetime, b.close, b.volume) for b in kh.records_to_bars(rows, "SH.600000")] == \
               [(b.datetime, b.close, b.volume) for b in ref.records_to_bars(rows, "SH.600000")]
        ours = best_time(lambda: kh.records_to_bars(rows, "SH.600000"), repeat=15)
        base = best_time(lambda: ref.records_to_bars(rows, "SH.600000"), repeat=3)
        report(name, ours, base, target=10, baseline_name="python")

    texts = [r["time"] for r in minute_records(2000)]
    ours = best_time(lambda: [kh.parse_qmt_bar_time(t) for t in texts], repeat=5)
    base = best_time(lambda: [ref.parse_qmt_bar_time(t) for t in texts], repeat=3)
    report("parse_qmt_bar_time x2000 (compact text)", ours, base, baseline_name="python")

    row = minute_records(1)[0]
    ours = best_time(lambda: kh._row_number(row, ("close", "close_price", "last")), number=20000)
    base = best_time(lambda: ref._row_number(row, ("close", "close_price", "last")), number=20000)
    report("_row_number one call", ours, base, baseline_name="python")


if __name__ == "__main__":
    main()
