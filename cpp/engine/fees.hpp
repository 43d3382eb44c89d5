// Fee schedule formulas, written once over a number type.
//
// Every formula is a template over an `Ops` policy that supplies the arithmetic of the
// host's numbers: `ExactOps` below works on `Num` (an int64 or a double, with the host's
// promotion rules) and the binding layer supplies one over host number objects. The
// formulas keep the host's expression order and operand order (`0.00002 * ta`, not
// `ta * 0.00002`) so that either policy gives what the host would compute.
//
// Ops interface (N = Ops::N):
//   N i(int64_t), N f(double)              literals: int and float
//   N mul(a, b), add(a, b), iadd(a, b)     a * b, a + b, a += b
//   N truediv(a, b)                        a / b
//   bool lt(a, b), gt(a, b)                a < b, a > b (truth of the comparison)
//   N round2(a), N ceil(a)                 round(a, 2), math.ceil(a)
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "engine/round2.hpp"

namespace kv {
namespace fees {

// ------------------------------------------------------------------ exact host numbers

// A result the exact type cannot hold (an int beyond int64, an int/int quotient of large
// operands): the caller redoes the step with the host's own numbers.
struct NeedGeneric {};

// math.ceil of a non-finite float: OverflowError (infinity) or ValueError (NaN) in the host.
struct CeilError {
    bool is_nan;
};

// A host int (within int64) or a host float.
struct Num {
    bool is_int;
    int64_t i;
    double d;

    static Num of_int(int64_t v) { return Num{true, v, 0.0}; }
    static Num of_double(double v) { return Num{false, 0, v}; }
    double as_double() const { return is_int ? static_cast<double>(i) : d; }
};

namespace detail {

inline bool add_overflows(int64_t a, int64_t b, int64_t& r) {
    if ((b > 0 && a > std::numeric_limits<int64_t>::max() - b) ||
        (b < 0 && a < std::numeric_limits<int64_t>::min() - b))
        return true;
    r = a + b;
    return false;
}

inline bool mul_overflows(int64_t a, int64_t b, int64_t& r) {
    const int64_t mx = std::numeric_limits<int64_t>::max();
    const int64_t mn = std::numeric_limits<int64_t>::min();
    if (a > 0) {
        if (b > 0) {
            if (a > mx / b) return true;
        } else if (b < mn / a) {
            return true;
        }
    } else if (a < 0) {
        if (b > 0) {
            if (a < mn / b) return true;
        } else if (b != 0 && b < mx / a) {
            return true;
        }
    }
    r = a * b;
    return false;
}

// Exact comparison of an int64 with a double, as the host compares int and float:
// -1, 0 or 1; `unordered` for NaN.
inline int cmp_int_double(int64_t i, double d, bool& unordered) {
    unordered = std::isnan(d);
    if (unordered) return 0;
    const double two63 = 9223372036854775808.0;
    if (d >= two63) return -1;
    if (d < -two63) return 1;
    double fl = std::floor(d);
    int64_t fi = static_cast<int64_t>(fl);
    if (i < fi) return -1;
    if (i > fi) return 1;
    return d > fl ? -1 : 0;
}

// a <op> b for two Nums; `op` < 0 tests a < b, > 0 tests a > b.
inline bool compare(const Num& a, const Num& b, int op) {
    if (a.is_int && b.is_int) return op < 0 ? a.i < b.i : a.i > b.i;
    if (!a.is_int && !b.is_int) return op < 0 ? a.d < b.d : a.d > b.d;
    bool unordered = false;
    int c = a.is_int ? cmp_int_double(a.i, b.d, unordered) : -cmp_int_double(b.i, a.d, unordered);
    if (unordered) return false;
    return op < 0 ? c < 0 : c > 0;
}

}  // namespace detail

// Host arithmetic on int64/double: int op int stays int (overflow -> NeedGeneric), anything
// with a float is float, math.ceil gives an int, round(int, 2) is the int itself.
struct ExactOps {
    using N = Num;

    N i(int64_t v) const { return Num::of_int(v); }
    N f(double v) const { return Num::of_double(v); }

    N add(const N& a, const N& b) const {
        if (a.is_int && b.is_int) {
            int64_t r;
            if (detail::add_overflows(a.i, b.i, r)) throw NeedGeneric{};
            return Num::of_int(r);
        }
        return Num::of_double(a.as_double() + b.as_double());
    }
    N iadd(const N& a, const N& b) const { return add(a, b); }

    N mul(const N& a, const N& b) const {
        if (a.is_int && b.is_int) {
            int64_t r;
            if (detail::mul_overflows(a.i, b.i, r)) throw NeedGeneric{};
            return Num::of_int(r);
        }
        return Num::of_double(a.as_double() * b.as_double());
    }

    N truediv(const N& a, const N& b) const {
        if (b.is_int ? b.i == 0 : b.d == 0.0) throw NeedGeneric{};  // the host's ZeroDivisionError
        if (a.is_int && b.is_int) {
            // int / int is correctly rounded by the host; so is double division while both
            // operands convert exactly.
            const int64_t lim = int64_t(1) << 53;
            if (a.i > lim || a.i < -lim || b.i > lim || b.i < -lim) throw NeedGeneric{};
        }
        return Num::of_double(a.as_double() / b.as_double());
    }

    bool lt(const N& a, const N& b) const { return detail::compare(a, b, -1); }
    bool gt(const N& a, const N& b) const { return detail::compare(a, b, 1); }

    N round2(const N& a) const { return a.is_int ? a : Num::of_double(kv::round2(a.d)); }

    N ceil(const N& a) const {
        if (a.is_int) return a;
        if (std::isnan(a.d)) throw CeilError{true};
        if (std::isinf(a.d)) throw CeilError{false};
        double c = std::ceil(a.d);
        if (c >= 9223372036854775808.0 || c < -9223372036854775808.0) throw NeedGeneric{};
        return Num::of_int(static_cast<int64_t>(c));
    }
};

// max(a, b) as the host's builtin: b only when b > a, else a (keeping a's type).
template <class Ops, class N>
N max_of(const Ops& o, const N& a, const N& b) {
    return o.gt(b, a) ? b : a;
}

// ------------------------------------------------------------------ equity schedules

// The per-deal accumulators of the equity schedules ("adds to" attributes).
template <class N>
struct EquityState {
    N trades, amount, system, settlement, stamp, trade, transaction;

    template <class M, class Fn>
    EquityState<M> map(Fn&& fn) const {
        return EquityState<M>{fn(trades), fn(amount),  fn(system),     fn(settlement),
                              fn(stamp),  fn(trade),   fn(transaction)};
    }
};

// Hong Kong equities, one deal.
template <class Ops, class N>
void hk_equity_deal(const Ops& o, EquityState<N>& s, const N& price, const N& size) {
    N ta = o.mul(price, size);
    s.trades = o.iadd(s.trades, o.i(1));
    s.amount = o.iadd(s.amount, ta);

    N system_fee = o.round2(o.f(0.5));
    s.system = o.iadd(s.system, system_fee);

    N settlement_fee = o.mul(o.f(0.00002), ta);
    if (o.lt(settlement_fee, o.f(2.0)))
        settlement_fee = o.f(2.0);
    else if (o.gt(settlement_fee, o.f(100.0)))
        settlement_fee = o.f(100.0);
    settlement_fee = o.round2(settlement_fee);
    s.settlement = o.iadd(s.settlement, settlement_fee);

    N stamp_fee = o.ceil(o.mul(o.f(0.0013), ta));
    s.stamp = o.iadd(s.stamp, stamp_fee);

    N trade_fee = o.round2(max_of(o, o.mul(o.f(0.00005), ta), o.f(0.01)));
    s.trade = o.iadd(s.trade, trade_fee);

    N transaction_fee = o.round2(max_of(o, o.mul(o.f(0.000027), ta), o.f(0.01)));
    s.transaction = o.iadd(s.transaction, transaction_fee);
}

// Shanghai/Shenzhen-Hong Kong Connect equities, one deal.
template <class Ops, class N>
void connect_equity_deal(const Ops& o, EquityState<N>& s, const N& price, const N& size) {
    N ta = o.mul(price, size);
    s.trades = o.iadd(s.trades, o.i(1));
    s.amount = o.iadd(s.amount, ta);

    N system_fee = o.round2(o.mul(o.f(0.00002), ta));
    s.system = o.iadd(s.system, system_fee);
    N settlement_fee = o.round2(o.mul(o.f(0.00004), ta));
    s.settlement = o.iadd(s.settlement, settlement_fee);
    N stamp_fee = o.round2(o.mul(o.f(0.001), ta));
    s.stamp = o.iadd(s.stamp, stamp_fee);
    N trade_fee = o.round2(o.mul(o.f(0.0000487), ta));
    s.trade = o.iadd(s.trade, trade_fee);
    s.transaction = o.iadd(s.transaction, o.i(0));
}

template <class N>
struct EquityResult {
    N commissions, platform, total;
};

// After the last deal (both equity schedules): the commission on the summed trade amount
// with its once-per-schedule minimum, rounded; platform fee 0; the total.
template <class Ops, class N>
EquityResult<N> equity_finish(const Ops& o, const EquityState<N>& s, const N& commissions) {
    N charge = max_of(o, o.mul(o.f(0.0008), s.amount), o.i(18));
    N c = o.iadd(commissions, charge);
    c = o.round2(c);
    N platform = o.i(0);
    N total = o.add(c, platform);
    total = o.add(total, s.system);
    total = o.add(total, s.settlement);
    total = o.add(total, s.stamp);
    total = o.add(total, s.trade);
    total = o.add(total, s.transaction);
    return EquityResult<N>{c, platform, total};
}

// ------------------------------------------------------------------ futures (per contract)

// commissions += rate * quantity, one deal.
template <class Ops, class N>
void futures_deal(const Ops& o, N& commissions, const N& quantity, double rate) {
    N fee = o.mul(o.f(rate), quantity);
    commissions = o.iadd(commissions, fee);
}

// commissions plus six zero components, left to right.
template <class Ops, class N>
N futures_total(const Ops& o, const N& commissions) {
    N total = commissions;
    for (int k = 0; k < 6; ++k) total = o.add(total, o.i(0));
    return total;
}

// ------------------------------------------------------------------ China A-shares

template <class N>
struct QmtRates {
    N commission_rate, commission_min, stamp_rate, transfer_rate;
};

template <class N>
struct QmtState {
    N trades, amount, commissions, trade, stamp;

    template <class M, class Fn>
    QmtState<M> map(Fn&& fn) const {
        return QmtState<M>{fn(trades), fn(amount), fn(commissions), fn(trade), fn(stamp)};
    }
};

// One deal; `is_short()` tells whether the deal is a sell (asked only when needed).
template <class Ops, class N, class IsShort>
void qmt_deal(const Ops& o, QmtState<N>& s, const QmtRates<N>& r, const N& price,
              const N& size, IsShort&& is_short) {
    N ta = o.mul(price, size);
    s.trades = o.iadd(s.trades, o.i(1));
    s.amount = o.iadd(s.amount, ta);
    N commission = max_of(o, o.mul(r.commission_rate, ta), r.commission_min);
    s.commissions = o.iadd(s.commissions, commission);
    N transfer_fee = o.mul(r.transfer_rate, ta);
    s.trade = o.iadd(s.trade, transfer_fee);
    if (is_short()) {
        N stamp_fee = o.mul(r.stamp_rate, ta);
        s.stamp = o.iadd(s.stamp, stamp_fee);
    }
}

template <class N>
struct QmtResult {
    N commissions, trade, stamp, total;
};

// After the last deal: round the sums (stamp duty up to the cent) and total the seven
// components; `platform`, `system`, `settlement`, `transaction` are the object's values.
template <class Ops, class N>
QmtResult<N> qmt_finish(const Ops& o, const QmtState<N>& s, const N& platform, const N& system,
                        const N& settlement, const N& transaction) {
    N c = o.round2(s.commissions);
    N t = o.round2(s.trade);
    N st = o.truediv(o.ceil(o.mul(s.stamp, o.i(100))), o.f(100.0));
    N total = o.add(c, platform);
    total = o.add(total, system);
    total = o.add(total, settlement);
    total = o.add(total, st);
    total = o.add(total, t);
    total = o.add(total, transaction);
    return QmtResult<N>{c, t, st, total};
}

}  // namespace fees
}  // namespace kv
