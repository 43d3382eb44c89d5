// kavrel_trader.gateways.cqg.cqg_commissions: CQG futures fee schedule (1.92 per contract).
//
// A Python class over the framework's BaseFees whose constructor sets the fee breakdown of
// the deals it is given; the formula lives in engine/fees.hpp.
#include <pybind11/pybind11.h>

#include "py/module_entry.hpp"
#include "py/fee_binding.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace cqg_commissions {
namespace {
namespace fb = kv::feesb;

void cqg_init(py::handle self, const py::tuple& deals) {
    fb::run_futures(self, deals, 1.92);
}

}  // namespace

void define_module(py::module_& m) {
    m.doc() = "CQG fee schedule.";
    kv::import_name(m, "kavrel_trader.core.deal", "Deal");
    kv::import_name(m, "kavrel_trader.gateways.base_gateway", "BaseFees");
    fb::Names::get();
    fb::schedule_class(m, "CQGCommissions", "CQG fee model", &cqg_init).build(py::make_tuple(m.attr("BaseFees")));
}

}  // namespace cqg_commissions
}  // namespace kv

KV_MODULE(cqg_commissions, m) { kv::cqg_commissions::define_module(m); }
