"""QMT code conversion: kavrel_trader.gateways.qmt.symbols."""
import types

import pytest
from hypothesis import given, strategies as st

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core.security import Security
from kavrel_trader.gateways.qmt import symbols
from kavrel_trader.gateways.qmt.symbols import (
    exchange_from_qmt_code,
    from_qmt_code,
    security_codes_for_lookup,
    to_qmt_code,
)

from reference import symbols as ref


def assert_like_reference(code):
    assert to_qmt_code(code) == ref.to_qmt_code(code)
    assert from_qmt_code(code) == ref.from_qmt_code(code)
    assert exchange_from_qmt_code(code) is ref.exchange_from_qmt_code(code)
    security = types.SimpleNamespace(code=code)
    assert security_codes_for_lookup(security) == ref.security_codes_for_lookup(security)


# ---------------------------------------------------------------- worked cases

@pytest.mark.parametrize("code", ["SH.600000", "sh.600000", "SSE.600000", "600000.SH",
                                  " 600000.ss\t\n"])
def test_shanghai_forms_to_qmt(code):
    assert to_qmt_code(code) == "600000.SH"
    assert from_qmt_code(code) == "SH.600000"


@pytest.mark.parametrize("code, qmt, framework, exchange", [
    ("SZSE.000001", "000001.SZ", "SZ.000001", Exchange.SZSE),
    ("000001.sz", "000001.SZ", "SZ.000001", Exchange.SZSE),
    ("000001.SZSE", "000001.SZ", "SZ.000001", Exchange.SZSE),
    ("600000", "600000", "600000", Exchange.SSE),
    ("", "", "", Exchange.SSE),
    ("HK.00700", "HK.00700", "HK.00700", Exchange.SSE),
    ("hk.00700", "HK.00700", "HK.00700", Exchange.SSE),
    ("SH.SZ", "SZ.SH", "SZ.SH", Exchange.SSE),
    ("600000.SH.X", "600000.SH.X", "600000.SH.X", Exchange.SSE),
    (".", ".", ".", Exchange.SSE),
    ("X.Y.SZ", "X.Y.SZ", "X.Y.SZ", Exchange.SZSE),
    ("   ", "", "", Exchange.SSE),
    ("\x1csz.1\x1f", "1.SZ", "SZ.1", Exchange.SZSE),
])
def test_conversions(code, qmt, framework, exchange):
    assert to_qmt_code(code) == qmt
    assert from_qmt_code(code) == framework
    assert exchange_from_qmt_code(code) is exchange


@pytest.mark.parametrize("code, expected", [
    ("SH.600000", {"SH.600000", "600000.SH"}),
    ("sh.600000", {"sh.600000", "SH.600000", "600000.SH"}),
    ("600000 .sh", {"600000 .sh", "600000 .SH", "600000 .SH", "SH.600000 ", "600000.SH"}),
])
def test_security_codes_for_lookup(code, expected):
    assert security_codes_for_lookup(types.SimpleNamespace(code=code)) == expected


def test_lookup_with_security_record():
    sec = Security(code="SZ.000001", security_name="Ping An Bank")
    assert security_codes_for_lookup(sec) == {"SZ.000001", "000001.SZ"}


# ---------------------------------------------------------------- unicode and subclasses

@pytest.mark.parametrize("code", [
    "\u017fh.600000",        # long s upper-cases to S
    "\u00df.sh",             # sharp s upper-cases to SS
    "\u3000sz.000001\u2003",  # non-ASCII whitespace is stripped
    "sh.\uff16\uff10",        # full-width digits kept
    "sh.\udc80x",            # lone surrogate
    "\u0131.sz",             # dotless i
    "sh\uff0e600000",        # full-width dot is not a separator
])
def test_non_ascii_like_python(code):
    assert_like_reference(code)


def test_str_subclass_accepted_and_result_is_str():
    class Code(str):
        pass

    assert to_qmt_code(Code(" sh.1 ")) == "1.SH"
    assert type(to_qmt_code(Code("sh.1"))) is str


TEXT = st.one_of(
    st.text(),
    st.text(alphabet=" \t.shzSHZEeso0123456789x\u00df\u017f\u3000", max_size=14),
    st.builds(lambda a, b, c: f"{a}.{b}{c}",
              st.sampled_from(["sh", "SS", "sse", "sz", "szse", "hk", "600000", ""]),
              st.sampled_from(["600000", "sh", "SZ", "ss", "szse", "x.sh", ""]),
              st.sampled_from(["", " ", "\n", "."])),
)


@given(code=TEXT)
def test_matches_python_reference(code):
    assert_like_reference(code)


# ---------------------------------------------------------------- arguments and module names

@pytest.mark.parametrize("fn", [to_qmt_code, from_qmt_code, exchange_from_qmt_code])
@pytest.mark.parametrize("bad, got", [(None, "NoneType"), (600000, "int"), (b"SH.1", "bytes")])
def test_code_must_be_str(fn, bad, got):
    with pytest.raises(TypeError) as ei:
        fn(bad)
    assert str(ei.value) == f"Argument 'code' has incorrect type (expected str, got {got})"


def test_keyword_and_arity_errors():
    assert to_qmt_code(code="sh.1") == "1.SH"
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'code'"):
        to_qmt_code()
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        from_qmt_code("a", "b")
    with pytest.raises(TypeError, match=r"unexpected keyword argument 'symbol'"):
        to_qmt_code(symbol="x")


@pytest.mark.parametrize("key", ["symbol", "c\u00f6de", "\ud800"])
def test_unexpected_keyword_named_as_given(key):
    # A key without a UTF-8 form (lone surrogate) once gave a RuntimeError.
    with pytest.raises(TypeError) as ei:
        security_codes_for_lookup(**{key: 1})
    assert str(ei.value) == f"security_codes_for_lookup() got an unexpected keyword argument '{key}'"


@pytest.mark.parametrize("security, exc", [
    (object(), AttributeError),
    (types.SimpleNamespace(code=None), TypeError),
    (types.SimpleNamespace(code=600000), TypeError),
])
def test_lookup_bad_security(security, exc):
    with pytest.raises(exc):
        security_codes_for_lookup(security)


def test_module_attributes_and_monkeypatch(monkeypatch):
    assert symbols.Exchange is Exchange and symbols.Security is Security
    fake = types.SimpleNamespace(SSE="sse", SZSE="szse")
    monkeypatch.setattr(symbols, "Exchange", fake)
    assert exchange_from_qmt_code("sz.1") == "szse"
    assert exchange_from_qmt_code("1") == "sse"
