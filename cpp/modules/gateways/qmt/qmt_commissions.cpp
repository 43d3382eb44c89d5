// kavrel_trader.gateways.qmt.qmt_commissions: China A-share fee schedule for the QMT
// terminal (commission with a per-deal minimum, stamp duty on sells, transfer fee).
//
// A Python class over the framework's BaseFees; the rates are class attributes read through
// the object, so a derived class or an instance can change them. The formula lives in
// engine/fees.hpp.
#include <pybind11/pybind11.h>

#include "engine/fees.hpp"
#include "py/module_entry.hpp"
#include "py/fee_binding.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace qmt_commissions {
namespace {
namespace fb = kv::feesb;
namespace fees = kv::fees;
using fees::Num;

ModuleNames globals;
fb::RoundingNames g_rounding;

// The schedule's rate attributes, read per call.
struct Names {
    Name commission_rate{"COMMISSION_RATE"}, commission_min{"COMMISSION_MIN"},
        stamp_rate{"STAMP_RATE"}, transfer_rate{"TRANSFER_RATE"};
};
const Names& N() {
    static const Names n;
    return n;
}

const char* const kDoc =
    "Simplified mainland A-share fee model (broker schedules vary).\n"
    "- Commission: 0.025% of notional, min CNY 5\n"
    "- Stamp duty: 0.05% of notional on sells only (current CN policy)\n"
    "- Transfer fee: 0.001% of notional (SSE/SZSE)";

// Whether a deal is a sell: `deal.direction == Direction.SHORT`, asked at most once per deal
// (the answer is kept for a retry of the deal on the host's arithmetic).
struct IsShort {
    PyObject* deal = nullptr;
    py::handle short_member;
    int answer = -1;

    bool operator()() {
        if (answer < 0) {
            py::object direction = getattr(deal, fb::Names::get().direction);
            int r = PyObject_RichCompareBool(direction.ptr(), short_member.ptr(), Py_EQ);
            if (r < 0) throw py::error_already_set();
            answer = r;
        }
        return answer != 0;
    }
};

void qmt_init(py::handle self, const py::tuple& deals) {
    const fb::Names& A = fb::Names::get();
    const Py_ssize_t n = PyTuple_GET_SIZE(deals.ptr());
    fb::RoundingNames::Current env = g_rounding.current(globals);
    fb::PyOps po{env.round_fn, env.ceil_fn};
    fees::ExactOps eo;

    // Rates, the sell direction and the per-deal counters are needed only when there are
    // deals; the amounts are read in any case.
    fees::QmtRates<py::object> grates;
    fees::QmtState<py::object> gs;
    py::object short_member;
    if (n > 0) {
        short_member = globals("Direction").attr("SHORT");
        grates.commission_rate = getattr(self, N().commission_rate);
        grates.commission_min = getattr(self, N().commission_min);
        grates.stamp_rate = getattr(self, N().stamp_rate);
        grates.transfer_rate = getattr(self, N().transfer_rate);
        gs.trades = getattr(self, A.total_number_of_trades);
        gs.amount = getattr(self, A.total_trade_amount);
    } else {
        grates.commission_rate = grates.commission_min = grates.stamp_rate =
            grates.transfer_rate = po.i(0);
        gs.trades = gs.amount = po.i(0);
    }
    gs.commissions = getattr(self, A.commissions);
    gs.trade = getattr(self, A.trade_fees);
    gs.stamp = getattr(self, A.stamp_fees);

    fees::QmtRates<Num> frates;
    fees::QmtState<Num> fs;
    bool fast = env.genuine && fb::to_fast(grates.commission_rate, frates.commission_rate) &&
                fb::to_fast(grates.commission_min, frates.commission_min) &&
                fb::to_fast(grates.stamp_rate, frates.stamp_rate) &&
                fb::to_fast(grates.transfer_rate, frates.transfer_rate) &&
                fb::to_fast(gs.trades, fs.trades) && fb::to_fast(gs.amount, fs.amount) &&
                fb::to_fast(gs.commissions, fs.commissions) && fb::to_fast(gs.trade, fs.trade) &&
                fb::to_fast(gs.stamp, fs.stamp);

    Py_ssize_t i = 0;
    py::object price, size;
    IsShort is_short;
    is_short.short_member = short_member;
    bool pending = false;  // fields of deal i already read
    fees::QmtResult<py::object> res;
    try {
        if (fast) {
            for (; i < n; ++i) {
                is_short.deal = PyTuple_GET_ITEM(deals.ptr(), i);
                is_short.answer = -1;
                price = getattr(is_short.deal, A.filled_avg_price);
                size = getattr(is_short.deal, A.filled_quantity);
                Num p, q;
                if (!fb::to_fast(price, p) || !fb::to_fast(size, q)) {
                    pending = true;
                    break;
                }
                fees::QmtState<Num> next = fs;
                try {
                    fees::qmt_deal(eo, next, frates, p, q, is_short);
                } catch (const fees::NeedGeneric&) {
                    pending = true;
                    break;
                }
                fs = next;
            }
            gs = fs.map<py::object>(fb::to_py);
        }
        for (; i < n; ++i) {
            if (!pending) {
                is_short.deal = PyTuple_GET_ITEM(deals.ptr(), i);
                is_short.answer = -1;
                price = getattr(is_short.deal, A.filled_avg_price);
                size = getattr(is_short.deal, A.filled_quantity);
            }
            pending = false;
            fees::qmt_deal(po, gs, grates, price, size, is_short);
            fast = false;
        }

        // The components this schedule does not compute, as the object holds them.
        py::object platform = getattr(self, A.platform_fees);
        py::object system = getattr(self, A.system_fees);
        py::object settlement = getattr(self, A.settlement_fees);
        py::object transaction = getattr(self, A.transaction_fees);
        Num fp, fsys, fset, ftr;
        bool done = false;
        if (fast && fb::to_fast(platform, fp) && fb::to_fast(system, fsys) &&
            fb::to_fast(settlement, fset) && fb::to_fast(transaction, ftr)) {
            try {
                fees::QmtResult<Num> r = fees::qmt_finish(eo, fs, fp, fsys, fset, ftr);
                res = {fb::to_py(r.commissions), fb::to_py(r.trade), fb::to_py(r.stamp),
                       fb::to_py(r.total)};
                done = true;
            } catch (const fees::NeedGeneric&) {
            }
        }
        if (!done) res = fees::qmt_finish(po, gs, platform, system, settlement, transaction);
    } catch (const fees::CeilError& e) {
        fb::raise_ceil_error(e);
    }

    if (n > 0) {
        setattr(self, A.total_number_of_trades, gs.trades);
        setattr(self, A.total_trade_amount, gs.amount);
    }
    setattr(self, A.commissions, res.commissions);
    setattr(self, A.trade_fees, res.trade);
    setattr(self, A.stamp_fees, res.stamp);
    setattr(self, A.total_fees, res.total);
}

}  // namespace

void define_module(py::module_& m) {
    m.doc() = "QMT China A-share fee schedule.";
    m.attr("math") = py::module_::import("math");
    kv::import_name(m, "kavrel_trader.core.constants", "Direction");
    kv::import_name(m, "kavrel_trader.core.deal", "Deal");
    kv::import_name(m, "kavrel_trader.gateways.base_gateway", "BaseFees");
    globals.bind(m);
    g_rounding.bind();
    fb::Names::get();
    N();

    fb::schedule_class(m, "QmtCommissionsCN", kDoc, &qmt_init)
        .attr("COMMISSION_RATE", py::float_(0.00025))
        .attr("COMMISSION_MIN", py::float_(5.0))
        .attr("STAMP_RATE", py::float_(0.0005))
        .attr("TRANSFER_RATE", py::float_(0.00001))
        .build(py::make_tuple(m.attr("BaseFees")));
}

}  // namespace qmt_commissions
}  // namespace kv

KV_MODULE(qmt_commissions, m) { kv::qmt_commissions::define_module(m); }
