// kavrel_trader.gateways.qmt.qmt_adapter: the live gateway for China A-shares through a Big
// QMT terminal, reached over the Redis bridge (QmtRedisBridge).
//
// The module binds its imports as module attributes (framework records and enumerations,
// BaseGateway, the bridge client, the functions of symbols / kline_history / bar_rollup, the
// fee schedule, datetime, time, uuid, the configuration values) and every method reads them
// from the module namespace when it runs, so replacing one on the module (a fake bridge, a
// frozen clock, another config) works as on a Python module. QmtAdapter is a Python class
// over the BaseGateway found in the namespace at import, built with PyClassBuilder.
//
//   rows.cpp         the four row readers and shared helpers
//   lifecycle.cpp    construction, close, trade mode, subscribe
//   market_data.cpp  quote refresh, snapshot reads, recent and historical bars, lookup
//   orders.cpp       place and cancel orders, balance and positions
//   order_events.cpp the event handler: order states, fills booked as deals, held events,
//                    reconciliation with the agent's orders and fills
#include <pybind11/pybind11.h>

#include "py/module_entry.hpp"
#include "adapter.hpp"

namespace kv {
namespace qmt_adapter {

ModuleNames globals;
PyObject* adapter_class = nullptr;

const Names& N() {
    static const Names n;
    return n;
}

}  // namespace qmt_adapter
}  // namespace kv

namespace qa = kv::qmt_adapter;

KV_MODULE(qmt_adapter, m) {
    qa::N();
    m.doc() = "QMT gateway: China A-share trading through the Big QMT Redis bridge agent.";
    qa::globals.bind(m);

    // Imports, bound as module attributes and read when used.
    m.attr("time") = py::module_::import("time");
    m.attr("uuid") = py::module_::import("uuid");
    m.attr("threading") = py::module_::import("threading");
    kv::import_name(m, "collections.abc", "Mapping");
    kv::import_name(m, "datetime", "datetime");
    for (const char* n : {"Direction", "Exchange", "OrderStatus", "OrderType", "TradeMode"})
        kv::import_name(m, "kavrel_trader.core.constants", n);
    for (const char* n : {"Bar", "OrderBook", "Quote"}) kv::import_name(m, "kavrel_trader.core.data", n);
    kv::import_name(m, "kavrel_trader.core.order", "Order");
    kv::import_name(m, "kavrel_trader.core.deal", "Deal");
    kv::import_name(m, "kavrel_trader.core.position", "PositionData");
    kv::import_name(m, "kavrel_trader.core.balance", "AccountBalance");
    kv::import_name(m, "kavrel_trader.gateways", "BaseGateway");
    kv::import_name(m, "kavrel_trader.gateways.base_gateway", "BaseFees");
    for (const char* n : {"to_qmt_code", "from_qmt_code", "exchange_from_qmt_code",
                          "security_codes_for_lookup"})
        kv::import_name(m, "kavrel_trader.gateways.qmt.symbols", n);
    for (const char* n : {"qmt_period_for_freq", "clamp_periods", "format_qmt_end_time",
                          "format_qmt_start_time", "records_to_bars"})
        kv::import_name(m, "kavrel_trader.gateways.qmt.kline_history", n);
    kv::import_name(m, "kavrel_trader.gateways.qmt.redis_bridge", "QmtRedisBridge");
    kv::import_name(m, "kavrel_trader.gateways.qmt.qmt_commissions", "QmtCommissionsCN");
    for (const char* n : {"is_nmin_aggregatable", "maybe_req_aggregated_nmin"})
        kv::import_name(m, "kavrel_trader.core.bar_rollup", n);
    for (const char* n : {"Security", "Stock"}) kv::import_name(m, "kavrel_trader.core.security", n);
    for (const char* n : {"GATEWAYS", "DATA_PATH", "TIME_STEP"})
        kv::import_name(m, "kavrel_trader_config", n);

    // QMT = GATEWAYS.get("Qmt") or {}
    py::object qmt = m.attr("GATEWAYS").attr("get")("Qmt");
    m.attr("QMT") = kv::truthy(qmt) ? qmt : py::object(py::dict());
    m.attr("_DEFAULT_HIST_RPC_TIMEOUT") = py::float_(30.0);

    qa::add_row_readers(m);
    qa::bind_market_data_statics(m);

    kv::PyClassBuilder cls(m, "QmtAdapter", "Live gateway backed by the Big QMT Redis bridge agent.");
    cls.attr("TIME_STEP", m.attr("TIME_STEP"))
        .attr("SHORT_INTEREST_RATE", py::float_(0.0))
        .attr("NAME", py::str("QMT"))
        .attr("KL_ALLOWED", py::make_tuple("1Day", "1Min"));
    qa::add_lifecycle(cls, m);
    qa::add_market_data(cls, m);
    qa::add_orders(cls, m);
    qa::add_order_events(m, cls);
    py::object built = cls.build(py::make_tuple(m.attr("BaseGateway")));
    qa::adapter_class = built.release().ptr();
}
