// kavrel_trader.gateways.ib.ib_commissions: Interactive Brokers fee schedules (Hong Kong
// equities, Shanghai/Shenzhen-Hong Kong Connect equities, US futures).
//
// Each schedule is a Python class over the framework's BaseFees whose constructor computes
// the fee breakdown of the deals it is given. The formulas live in engine/fees.hpp.
#include <pybind11/pybind11.h>

#include "engine/fees.hpp"
#include "py/module_entry.hpp"
#include "py/fee_binding.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace ib_commissions {
namespace {
namespace fb = kv::feesb;

ModuleNames globals;
fb::RoundingNames g_rounding;

// The note both equity schedules carry: tiers and where the rates come from.
#define KV_IB_EQUITY_NOTE                                                                   \
    "\n"                                                                                    \
    "The broker computes its volume and value tiers once daily, so reduced rates take effect\n" \
    "on the trading day after a threshold is passed.\n"                                      \
    "\n"                                                                                    \
    "Rate sources (the broker's pages): government stamp duty and SFC transaction levy;\n"   \
    "exchange fee and clearing fee; Hong Kong tiered and fixed commission."

const char* const kHKDoc =
    "Interactive Brokers fees for Hong Kong equities (fixed, non-tiered rates).\n" KV_IB_EQUITY_NOTE;

const char* const kConnectDoc =
    "Interactive Brokers fees for Shanghai/Shenzhen-Hong Kong Connect equities (fixed,\n"
    "non-tiered rates).\n" KV_IB_EQUITY_NOTE;

const char* const kUSFuturesDoc =
    "Interactive Brokers fees for US futures (the broker's futures commission page).\n"
    "\n"
    "For simplicity, use 0.85 USD/contract";

void hk_init(py::handle self, const py::tuple& deals) {
    fb::run_equity(self, deals, g_rounding.current(globals),
                   [](const auto& o, auto& s, const auto& price, const auto& size) {
                       kv::fees::hk_equity_deal(o, s, price, size);
                   });
}

void connect_init(py::handle self, const py::tuple& deals) {
    fb::run_equity(self, deals, g_rounding.current(globals),
                   [](const auto& o, auto& s, const auto& price, const auto& size) {
                       kv::fees::connect_equity_deal(o, s, price, size);
                   });
}

void us_futures_init(py::handle self, const py::tuple& deals) {
    fb::run_futures(self, deals, 0.85);
}

}  // namespace

void define_module(py::module_& m) {
    m.doc() = "Interactive Brokers fee schedules.";
    m.attr("math") = py::module_::import("math");
    kv::import_name(m, "kavrel_trader.core.deal", "Deal");
    kv::import_name(m, "kavrel_trader.gateways.base_gateway", "BaseFees");
    globals.bind(m);
    g_rounding.bind();
    fb::Names::get();

    py::tuple bases = py::make_tuple(m.attr("BaseFees"));
    fb::schedule_class(m, "IbHKEquityFees", kHKDoc, &hk_init).build(bases);
    fb::schedule_class(m, "IbSHSZHKConnectEquityFees", kConnectDoc, &connect_init).build(bases);
    fb::schedule_class(m, "IbUSFuturesFees", kUSFuturesDoc, &us_futures_init).build(bases);
}

}  // namespace ib_commissions
}  // namespace kv

KV_MODULE(ib_commissions, m) { kv::ib_commissions::define_module(m); }
