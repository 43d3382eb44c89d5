"""QMT code conversion as plain Python."""
from kavrel_trader.core.constants import Exchange

SH_ALIASES = ("SH", "SS", "SSE")
SZ_ALIASES = ("SZ", "SZSE")


def to_qmt_code(code):
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


def from_qmt_code(code):
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


def exchange_from_qmt_code(code):
    qmt = to_qmt_code(code)
    if qmt.endswith(".SH"):
        return Exchange.SSE
    if qmt.endswith(".SZ"):
        return Exchange.SZSE
    return Exchange.SSE


def security_codes_for_lookup(security):
    code = security.code
    return {code, code.upper(), to_qmt_code(code), from_qmt_code(code),
            to_qmt_code(from_qmt_code(code)), from_qmt_code(to_qmt_code(code))}
