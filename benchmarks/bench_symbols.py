"""QMT code conversion against the straightforward Python implementation of the same rules."""
import types

from _timing import best_time, report

from kavrel_trader.gateways.qmt import symbols

SH_ALIASES = ("SH", "SS", "SSE")
SZ_ALIASES = ("SZ", "SZSE")


def py_to_qmt_code(code):
    raw = (code or "").strip().upper()
    if not raw or "." not in raw:
        return raw
    left, right = raw.split(".", 1)
    if left in SH_ALIASES:
        return right + ".SH"
    if left in SZ_ALIASES:
        return right + ".SZ"
    if right in SH_ALIASES:
        return left + ".SH"
    if right in SZ_ALIASES:
        return left + ".SZ"
    return raw


def py_from_qmt_code(code):
    raw = (code or "").strip().upper()
    if not raw or "." not in raw:
        return raw
    left, right = raw.split(".", 1)
    if right in SH_ALIASES:
        return "SH." + left
    if right in SZ_ALIASES:
        return "SZ." + left
    if left in SH_ALIASES:
        return "SH." + right
    if left in SZ_ALIASES:
        return "SZ." + right
    return raw


def py_security_codes_for_lookup(security):
    code = security.code
    return {code, code.upper(), py_to_qmt_code(code), py_from_qmt_code(code),
            py_to_qmt_code(py_from_qmt_code(code)), py_from_qmt_code(py_to_qmt_code(code))}


CODES = ["SH.600000", "sz.000001", "600519.SH", " 000002.sz ", "SSE.601318", "300750.SZSE",
         "HK.00700", "688981"] * 125  # 1,000 codes
SECURITIES = [types.SimpleNamespace(code=c) for c in CODES]


def main():
    ours_fn, base_fn = symbols.to_qmt_code, py_to_qmt_code
    assert [ours_fn(c) for c in CODES] == [base_fn(c) for c in CODES]
    ours = best_time(lambda: [ours_fn(c) for c in CODES], repeat=7, number=20)
    base = best_time(lambda: [base_fn(c) for c in CODES], repeat=7, number=20)
    report("to_qmt_code x1000", ours, base, target=3, baseline_name="python")

    ours_fn, base_fn = symbols.security_codes_for_lookup, py_security_codes_for_lookup
    assert [ours_fn(s) for s in SECURITIES] == [base_fn(s) for s in SECURITIES]
    ours = best_time(lambda: [ours_fn(s) for s in SECURITIES], repeat=7, number=10)
    base = best_time(lambda: [base_fn(s) for s in SECURITIES], repeat=7, number=10)
    report("security_codes_for_lookup x1000", ours, base, target=3, baseline_name="python")


if __name__ == "__main__":
    main()
