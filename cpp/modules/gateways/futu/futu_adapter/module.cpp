// kavrel_trader.gateways.futu.futu_adapter: the Futu OpenAPI gateways (Hong Kong and US
// stocks, Hong Kong futures, crypto spot) over the framework's BaseGateway.
//
// This file binds the module's outside names, reads the gateway settings of the user's
// configuration and builds the three gateway classes from the methods the other files
// define: conversions.cpp (the four conversion functions), lifecycle.cpp (construction,
// push handlers, subscription, trade mode, close), pushes.cpp (quote, order book, order and
// deal pushes), market_data.cpp (quotes, recent data and paged history), orders.cpp
// (orders, balance and positions), and the futures and crypto variants in each of them.
#include <pybind11/pybind11.h>

#include "py/module_entry.hpp"
#include "futu_adapter.hpp"

namespace kv {
namespace futu_adapter {

ModuleNames globals;
TimeTextParser time_parser;
bool asserts_enabled = true;

const Names& N() {
    static const Names n;
    return n;
}

bool is_hk_stock(py::handle security) {
    return is_instance(security, globals("Stock")) &&
           contains(getattr(security, N().code), N().hk_prefix);
}

void check_dataframe(py::handle table, const char* arg) {
    py::object cls = globals("pd").attr("DataFrame");
    if (!is_instance(table, cls)) raise_arg_type(arg, "DataFrame", table);
}

py::object trade_mode_member(const char* name) { return globals("TradeMode").attr(name); }

}  // namespace futu_adapter
}  // namespace kv

namespace {

const char* const kSdkNames[] = {
    "OpenQuoteContext", "OpenSecTradeContext", "OpenFutureTradeContext",
    "OpenCryptoTradeContext", "StockQuoteHandlerBase", "OrderBookHandlerBase",
    "TradeOrderHandlerBase", "TradeDealHandlerBase", "RET_OK", "RET_ERROR", "TrdSide", "TrdEnv",
    "OrderStatus", "KLType", "SubType", "AuType", "OrderType", "ModifyOrderOp", "KL_FIELD"};

const char* const kCryptoDoc =
    "Futu crypto spot gateway.\n\n"
    "Paper trading is not supported by Futu for crypto.\n"
    "Prefer tradeable pairs such as CC.BTCUSD or CC.BTCHKD; bare symbols such as CC.BTC may be\n"
    "quote-only depending on the account.\n"
    "Quantity is fractional (float); do not cast to int.";

}  // namespace

KV_MODULE(futu_adapter, m) {
    namespace fa = kv::futu_adapter;
    fa::N();
    m.doc() = "Futu OpenAPI gateways: Hong Kong and US stocks, Hong Kong futures and crypto spot.";
    fa::globals.bind(m);
    kv::datetime_api();
    fa::asserts_enabled =
        py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;

    // Outside names, as a Python module's imports bind them.
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    m.attr("timedelta") = py::module_::import("datetime").attr("timedelta");
    m.attr("uuid") = py::module_::import("uuid");
    m.attr("threading") = py::module_::import("threading");
    m.attr("time") = py::module_::import("time");
    m.attr("pd") = py::module_::import("pandas");
    py::module_ sdk = py::module_::import("futu");
    for (const char* n : kSdkNames) m.attr(n) = sdk.attr(n);

    kv::import_name(m, "kavrel_trader.core.constants", "Direction");
    kv::import_name(m, "kavrel_trader.core.constants", "TradeMode");
    kv::import_name(m, "kavrel_trader.core.constants", "Exchange");
    m.attr("KVOrderStatus") = py::module_::import("kavrel_trader.core.constants").attr("OrderStatus");
    m.attr("KVOrderType") = py::module_::import("kavrel_trader.core.constants").attr("OrderType");
    for (const char* n : {"Bar", "Quote", "OrderBook", "CapitalDistribution"})
        kv::import_name(m, "kavrel_trader.core.data", n);
    kv::import_name(m, "kavrel_trader.core.order", "Order");
    kv::import_name(m, "kavrel_trader.core.deal", "Deal");
    kv::import_name(m, "kavrel_trader.core.position", "PositionData");
    kv::import_name(m, "kavrel_trader.core.balance", "AccountBalance");
    for (const char* n : {"Security", "Stock", "Futures", "Commodity"})
        kv::import_name(m, "kavrel_trader.core.security", n);
    kv::import_name(m, "kavrel_trader.core.utility", "try_parsing_datetime");
    kv::import_name(m, "kavrel_trader.core.utility", "get_kline_dfield_from_seconds");
    kv::import_name(m, "kavrel_trader.core.bar_rollup", "maybe_req_aggregated_nmin");
    kv::import_name(m, "kavrel_trader.gateways", "BaseGateway");
    kv::import_name(m, "kavrel_trader.gateways.base_gateway", "BaseFees");
    kv::import_name(m, "kavrel_trader.gateways.futu.futu_fees", "FutuFeesCrypto");
    for (const char* n : {"GATEWAYS", "DATA_PATH", "TIME_STEP"})
        kv::import_name(m, "kavrel_trader_config", n);
    fa::time_parser.bind(m.attr("try_parsing_datetime"));

    // Gateway settings, absent (None) when the configuration has no such section.
    py::object gateways = m.attr("GATEWAYS");
    m.attr("FUTU") = gateways.attr("get")("Futu");
    m.attr("FUTUFUTURES") = gateways.attr("get")("Futufutures");
    m.attr("FUTUCRYPTO") = gateways.attr("get")("Futucrypto");

    fa::add_conversions(m);

    py::object time_step = m.attr("TIME_STEP");
    py::tuple kl_allowed = py::make_tuple("1Day", "1Min");

    kv::PyClassBuilder adapter(m, "FutuAdapter", "Futu Gateway");
    adapter.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0098))
        .attr("NAME", py::str("FUTU"))
        .attr("KL_ALLOWED", kl_allowed);
    fa::add_lifecycle(m, adapter);
    fa::add_pushes(m, adapter);
    fa::add_market_data(m, adapter);
    fa::add_orders(m, adapter);
    py::object adapter_cls = adapter.build(py::make_tuple(m.attr("BaseGateway")));

    kv::PyClassBuilder futures(m, "FutuFuturesGateway", "Futu futures gateway");
    futures.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0))
        .attr("NAME", py::str("FUTUFUTURES"));
    fa::add_futures_gateway(m, futures);
    futures.build(py::make_tuple(adapter_cls));

    kv::PyClassBuilder crypto(m, "FutuCryptoGateway", kCryptoDoc);
    crypto.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0))
        .attr("NAME", py::str("FUTUCRYPTO"))
        .attr("KL_ALLOWED", py::make_tuple("1Day", "1Min"));
    fa::add_crypto_lifecycle(m, crypto);
    fa::add_crypto_pushes(m, crypto);
    fa::add_crypto_market_data(m, crypto);
    fa::add_crypto_orders(m, crypto);
    crypto.build(py::make_tuple(adapter_cls));
}
