"""QMT code conversion: any text converts without error and as the plain-Python rules say."""
from types import SimpleNamespace

from hypothesis import strategies as st

from kavrel_trader.gateways.qmt import symbols

from reference import symbols as ref

from . import target
from .hostile import Make, RaisingGetattr, anything, sometimes, texts

code_like = st.one_of(
    texts,
    st.tuples(st.sampled_from(["", "SH", "sh", "SS", "sse", "SZ", "szse", "HK", "\ud800", "股", " "]),
              st.sampled_from(["", ".", "..", ". "]),
              st.sampled_from(["", "600000", "SH", "SZSE", "ss", "\udfff", "股票", "X.Y"])).map("".join),
)

FUNCS = [(symbols.to_qmt_code, ref.to_qmt_code), (symbols.from_qmt_code, ref.from_qmt_code),
         (symbols.exchange_from_qmt_code, ref.exchange_from_qmt_code)]


@target(st.tuples(st.sampled_from(range(len(FUNCS))), sometimes(code_like)), allowed=(TypeError,))
def conversions(i, code):
    native, plain = FUNCS[i]
    got = native(code)
    if type(code) is str:
        assert got == plain(code), (code, got)
    elif isinstance(code, str):
        assert got == plain(str.__str__(code)), (code, got)
    else:
        raise AssertionError("%r accepted a %s" % (native, type(code).__name__))


holders = st.one_of(
    st.builds(lambda c: SimpleNamespace(code=c), sometimes(code_like)),
    st.builds(lambda: Make(RaisingGetattr)),
    anything(4),
)


@target(st.tuples(holders), allowed=(TypeError, AttributeError))
def security_codes_for_lookup(holder):
    got = symbols.security_codes_for_lookup(holder)
    code = holder.code
    if type(code) is str:
        assert got == ref.security_codes_for_lookup(holder), (code, got)
    assert isinstance(got, set)
