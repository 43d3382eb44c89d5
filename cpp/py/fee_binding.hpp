// Binding side of the fee schedules: host-number arithmetic for the formulas of
// engine/fees.hpp, conversion between host numbers and the exact fast type, and the shared
// pieces of the schedule constructors (keyword rejection, attribute access, module names).
#pragma once

#include <pybind11/pybind11.h>

#include "engine/fees.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace feesb {
using fees::Num;

// ------------------------------------------------------------------ host number arithmetic

// The formulas over host objects: the host's own operators, `round` and `math.ceil` as
// found in the module's namespace.
struct PyOps {
    using N = py::object;
    py::handle round_fn;
    py::handle ceil_fn;

    N i(int64_t v) const { return kv::steal(PyLong_FromLongLong(static_cast<long long>(v))); }
    N f(double v) const { return kv::steal(PyFloat_FromDouble(v)); }
    N add(const N& a, const N& b) const { return kv::steal(PyNumber_Add(a.ptr(), b.ptr())); }
    N iadd(const N& a, const N& b) const {
        return kv::steal(PyNumber_InPlaceAdd(a.ptr(), b.ptr()));
    }
    N mul(const N& a, const N& b) const {
        return kv::steal(PyNumber_Multiply(a.ptr(), b.ptr()));
    }
    N truediv(const N& a, const N& b) const {
        return kv::steal(PyNumber_TrueDivide(a.ptr(), b.ptr()));
    }
    bool lt(const N& a, const N& b) const { return cmp(a, b, Py_LT); }
    bool gt(const N& a, const N& b) const { return cmp(a, b, Py_GT); }
    N round2(const N& a) const {
        N two = i(2);
        return kv::steal(PyObject_CallFunctionObjArgs(round_fn.ptr(), a.ptr(), two.ptr(), nullptr));
    }
    N ceil(const N& a) const {
        return kv::steal(PyObject_CallFunctionObjArgs(ceil_fn.ptr(), a.ptr(), nullptr));
    }

private:
    static bool cmp(const N& a, const N& b, int op) {
        int t = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
        if (t < 0) throw py::error_already_set();
        return t != 0;
    }
};

// ------------------------------------------------------------------ host numbers <-> Num

// An exact int (bool included) within int64, or an exact float. Anything else (larger ints,
// float or int subclasses that bring their own arithmetic such as numpy scalars, Decimal,
// Fraction, text) goes through the host's own arithmetic.
inline bool to_fast(py::handle h, Num& out) {
    PyObject* o = h.ptr();
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyFloat_Type) {
        out = Num::of_double(PyFloat_AS_DOUBLE(o));
        return true;
    }
    if (t == &PyLong_Type || t == &PyBool_Type) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow) return false;
        if (v == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            return false;
        }
        out = Num::of_int(static_cast<int64_t>(v));
        return true;
    }
    return false;
}

inline py::object to_py(const Num& n) {
    return n.is_int ? kv::steal(PyLong_FromLongLong(static_cast<long long>(n.i)))
                    : kv::steal(PyFloat_FromDouble(n.d));
}

// ------------------------------------------------------------------ attributes

// Attribute names of the fee records and deals (getattr and setattr are the host
// operations of py/host_ops.hpp).
struct Names {
    Name commissions{"commissions"}, platform_fees{"platform_fees"},
        system_fees{"system_fees"}, settlement_fees{"settlement_fees"},
        stamp_fees{"stamp_fees"}, trade_fees{"trade_fees"},
        transaction_fees{"transaction_fees"}, total_fees{"total_fees"},
        total_number_of_trades{"total_number_of_trades"},
        total_trade_amount{"total_trade_amount"}, filled_avg_price{"filled_avg_price"},
        filled_quantity{"filled_quantity"}, direction{"direction"}, ceil{"ceil"};

    static const Names& get() {
        static const Names n;
        return n;
    }
};

// ------------------------------------------------------------------ constructor pieces

// The schedule class `name(BaseFees)`, whose constructor `__init__(self, *deals)` runs
// `run(self, deals)`. Further class attributes may be added before build().
template <class Run>
kv::PyClassBuilder schedule_class(py::module_& m, const char* name, const char* doc, Run run) {
    kv::PyClassBuilder b(m, name, doc);
    b.def("__init__", {{"self"}}, true, [run](const kv::Bound& a) {
        run(a[0], a.varargs());
        return py::none();
    });
    return b;
}

// `round` and `math.ceil` as the module's code sees them at call time; the exact fast path
// is taken only while both are the genuine builtins.
class RoundingNames {
public:
    // At import: remember the genuine functions.
    void bind() {
        py::object builtins = py::module_::import("builtins");
        round_ = py::object(builtins.attr("round")).release().ptr();
        ceil_ = py::object(py::module_::import("math").attr("ceil")).release().ptr();
    }

    struct Current {
        py::object round_fn, ceil_fn;
        bool genuine;
    };

    Current current(const ModuleNames& names) const {
        Current c;
        c.round_fn = names("round");
        c.ceil_fn = getattr(names("math"), Names::get().ceil);
        c.genuine = c.round_fn.ptr() == round_ && c.ceil_fn.ptr() == ceil_;
        return c;
    }

private:
    PyObject* round_ = nullptr;
    PyObject* ceil_ = nullptr;
};

// The host's error for math.ceil of a non-finite float.
[[noreturn]] inline void raise_ceil_error(const fees::CeilError& e) {
    if (e.is_nan) raise(PyExc_ValueError, "cannot convert float NaN to integer");
    raise(PyExc_OverflowError, "cannot convert float infinity to integer");
}

// ------------------------------------------------------------------ futures schedules

// `commissions += rate * quantity` per deal into a local starting at 0, then the seven
// amounts and the total are set (old values are not read). The exact fast path runs until a
// quantity is not an int64 or a float, or a step leaves int64; the host's arithmetic from
// that deal on.
inline void run_futures(py::handle self, const py::tuple& deals, double rate) {
    const Names& A = Names::get();
    const Py_ssize_t n = PyTuple_GET_SIZE(deals.ptr());
    Num fc = Num::of_int(0);
    fees::ExactOps eo;
    PyOps po{};  // the futures formulas use neither round nor ceil
    Py_ssize_t i = 0;
    py::object qty;
    for (; i < n; ++i) {
        qty = getattr(PyTuple_GET_ITEM(deals.ptr(), i), A.filled_quantity);
        Num q;
        if (!to_fast(qty, q)) break;
        Num next = fc;
        try {
            fees::futures_deal(eo, next, q, rate);
        } catch (const fees::NeedGeneric&) {
            break;
        }
        fc = next;
    }
    py::object gc = to_py(fc);
    py::object total;
    if (i < n) {
        // Deal i stopped the fast path; its quantity is already read.
        fees::futures_deal(po, gc, qty, rate);
        for (++i; i < n; ++i)
            fees::futures_deal(po, gc, getattr(PyTuple_GET_ITEM(deals.ptr(), i), A.filled_quantity),
                               rate);
    } else {
        try {
            total = to_py(fees::futures_total(eo, fc));
        } catch (const fees::NeedGeneric&) {
        }
    }
    if (!total) total = fees::futures_total(po, gc);
    py::object zero = po.i(0);
    setattr(self, A.commissions, gc);
    setattr(self, A.platform_fees, zero);
    setattr(self, A.system_fees, zero);
    setattr(self, A.settlement_fees, zero);
    setattr(self, A.stamp_fees, zero);
    setattr(self, A.trade_fees, zero);
    setattr(self, A.transaction_fees, zero);
    setattr(self, A.total_fees, total);
}

// ------------------------------------------------------------------ equity schedules

// Runs an equity schedule (`step` is the per-deal formula) on `self`: the exact fast path
// while every number met is an int64 or a float, the host's arithmetic from the first deal
// (or final step) where that no longer holds. Each deal field is read once.
template <class Step>
void run_equity(py::handle self, const py::tuple& deals, const RoundingNames::Current& env,
                Step step) {
    const Names& A = Names::get();
    const Py_ssize_t n = PyTuple_GET_SIZE(deals.ptr());
    PyOps po{env.round_fn, env.ceil_fn};
    fees::ExactOps eo;

    // Current attribute values of the "adds to" amounts (the trade counter only when a deal
    // will add to it).
    fees::EquityState<py::object> gs;
    gs.trades = n > 0 ? getattr(self, A.total_number_of_trades) : po.i(0);
    gs.amount = getattr(self, A.total_trade_amount);
    gs.system = getattr(self, A.system_fees);
    gs.settlement = getattr(self, A.settlement_fees);
    gs.stamp = getattr(self, A.stamp_fees);
    gs.trade = getattr(self, A.trade_fees);
    gs.transaction = getattr(self, A.transaction_fees);

    fees::EquityState<Num> fs;
    bool fast = env.genuine && to_fast(gs.trades, fs.trades) && to_fast(gs.amount, fs.amount) &&
                to_fast(gs.system, fs.system) && to_fast(gs.settlement, fs.settlement) &&
                to_fast(gs.stamp, fs.stamp) && to_fast(gs.trade, fs.trade) &&
                to_fast(gs.transaction, fs.transaction);

    Py_ssize_t i = 0;
    py::object price, size;
    bool pending = false;  // price and size of deal i are already read
    fees::EquityResult<py::object> res;
    try {
        if (fast) {
            for (; i < n; ++i) {
                PyObject* deal = PyTuple_GET_ITEM(deals.ptr(), i);
                price = getattr(deal, A.filled_avg_price);
                size = getattr(deal, A.filled_quantity);
                Num p, q;
                if (!to_fast(price, p) || !to_fast(size, q)) {
                    pending = true;
                    break;
                }
                fees::EquityState<Num> next = fs;
                try {
                    step(eo, next, p, q);
                } catch (const fees::NeedGeneric&) {
                    pending = true;
                    break;
                }
                fs = next;
            }
            gs = fs.template map<py::object>(to_py);
        }
        for (; i < n; ++i) {
            if (!pending) {
                PyObject* deal = PyTuple_GET_ITEM(deals.ptr(), i);
                price = getattr(deal, A.filled_avg_price);
                size = getattr(deal, A.filled_quantity);
            }
            pending = false;
            step(po, gs, price, size);
            fast = false;
        }
        py::object commissions = getattr(self, A.commissions);
        Num c0;
        bool done = false;
        if (fast && to_fast(commissions, c0)) {
            try {
                fees::EquityResult<Num> r = fees::equity_finish(eo, fs, c0);
                res = {to_py(r.commissions), to_py(r.platform), to_py(r.total)};
                done = true;
            } catch (const fees::NeedGeneric&) {
            }
        }
        if (!done) res = fees::equity_finish(po, gs, commissions);
    } catch (const fees::CeilError& e) {
        raise_ceil_error(e);
    }

    if (n > 0) {
        setattr(self, A.total_number_of_trades, gs.trades);
        setattr(self, A.total_trade_amount, gs.amount);
        setattr(self, A.system_fees, gs.system);
        setattr(self, A.settlement_fees, gs.settlement);
        setattr(self, A.stamp_fees, gs.stamp);
        setattr(self, A.trade_fees, gs.trade);
        setattr(self, A.transaction_fees, gs.transaction);
    }
    setattr(self, A.commissions, res.commissions);
    setattr(self, A.platform_fees, res.platform);
    setattr(self, A.total_fees, res.total);
}

}  // namespace feesb
}  // namespace kv
