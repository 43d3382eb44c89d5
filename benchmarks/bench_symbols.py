"""QMT code conversion against the straightforward Python implementation of the same rules."""
import types

from _timing import best_time, report
from reference import symbols as ref

from kavrel_trader.gateways.qmt import symbols

CODES = ["SH.600000", "sz.000001", "600519.SH", " 000002.sz ", "SSE.601318", "300750.SZSE",
         "HK.00700", "688981"] * 125  # 1,000 codes
SECURITIES = [types.SimpleNamespace(code=c) for c in CODES]


def compare(name, ours_fn, base_fn, items, number):
    assert [ours_fn(x) for x in items] == [base_fn(x) for x in items]
    ours = best_time(lambda: [ours_fn(x) for x in items], repeat=7, number=number)
    base = best_time(lambda: [base_fn(x) for x in items], repeat=7, number=number)
    report(name, ours, base, target=3, baseline_name="python")


def main():
    compare("to_qmt_code x1000", symbols.to_qmt_code, ref.to_qmt_code, CODES, 20)
    compare("security_codes_for_lookup x1000", symbols.security_codes_for_lookup,
            ref.security_codes_for_lookup, SECURITIES, 10)


if __name__ == "__main__":
    main()
