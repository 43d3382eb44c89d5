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

#include "futu_adapter.hpp"

namespace futu {

kv::ModuleNames names;
kv::TimeTextParser time_parser;
bool asserts_enabled = true;
Strings S;

void init_strings() {
    using kv::intern;
    S = Strings{intern("code"), intern("expiry_date"), intern("exchange"), intern("value"),
                intern("security"), intern("lot_size"), intern("quantity"), intern("price"),
                intern("order_type"), intern("direction"), intern("offset"), intern("status"),
                intern("filled_quantity"), intern("filled_avg_price"), intern("updated_time"),
                intern("quote"), intern("orderbook"), intern("orders"), intern("deals"),
                intern("put"), intern("get"), intern("securities"), intern("quote_ctx"),
                intern("trd_ctx"), intern("futu_trd_env"), intern("trade_mode"),
                intern("_trade_mode"), intern("get_security"), intern("data_date"),
                intern("data_time"), intern("svr_recv_time_ask"), intern("svr_recv_time_bid"),
                intern("Bid"), intern("Ask"), intern("order_id"), intern("dealt_qty"),
                intern("dealt_avg_price"), intern("order_status"), intern("deal_id"),
                intern("qty"), intern("create_time"), intern("time_key"), intern("open"),
                intern("high"), intern("low"), intern("close"), intern("volume"),
                intern("datetime"), intern(" "), intern(""), intern("HK."), intern("main"),
                intern("gateway"), intern("__name__"), intern("_sim_booked")};
}

bool is_hk_stock(py::handle security) {
    int r = PyObject_IsInstance(security.ptr(), names("Stock").ptr());
    if (r < 0) throw py::error_already_set();
    if (!r) return false;
    py::object code = getattr(security, S.code);
    int c = PySequence_Contains(code.ptr(), S.hk_prefix);
    if (c < 0) throw py::error_already_set();
    return c != 0;
}

void check_dataframe(py::handle table, const char* arg) {
    py::object cls = names("pd").attr("DataFrame");
    int r = PyObject_IsInstance(table.ptr(), cls.ptr());
    if (r < 0) throw py::error_already_set();
    if (!r) kv::raise_arg_type(arg, "DataFrame", table);
}

void unpack(py::handle seq, py::object* out, int n) {
    if (PyTuple_CheckExact(seq.ptr()) && PyTuple_GET_SIZE(seq.ptr()) == n) {
        for (int i = 0; i < n; ++i) out[i] = borrow(PyTuple_GET_ITEM(seq.ptr(), i));
        return;
    }
    py::object it = kv::steal(PyObject_GetIter(seq.ptr()));
    int got = 0;
    for (; got <= n; ++got) {
        PyObject* x = PyIter_Next(it.ptr());
        if (!x) break;
        if (got == n) {
            Py_DECREF(x);
            kv::raise(PyExc_ValueError,
                      "too many values to unpack (expected " + std::to_string(n) + ")");
        }
        out[got] = kv::steal(x);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    if (got < n)
        kv::raise(PyExc_ValueError, "not enough values to unpack (expected " + std::to_string(n) +
                                        ", got " + std::to_string(got) + ")");
}

py::object trade_mode_member(const char* name) { return names("TradeMode").attr(name); }

}  // namespace futu

namespace {
namespace py = pybind11;

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

PYBIND11_MODULE(futu_adapter, m) {
    using futu::names;
    m.doc() = "Futu OpenAPI gateways: Hong Kong and US stocks, Hong Kong futures and crypto spot.";
    names.bind(m);
    futu::init_strings();
    kv::datetime_api();
    futu::asserts_enabled =
        py::module_::import("sys").attr("flags").attr("optimize").cast<long>() == 0;

    // Outside names, as a Python module's imports bind them.
    m.attr("datetime") = py::module_::import("datetime").attr("datetime");
    m.attr("timedelta") = py::module_::import("datetime").attr("timedelta");
    m.attr("uuid") = py::module_::import("uuid");
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
    futu::time_parser.bind(m.attr("try_parsing_datetime"));

    // Gateway settings, absent (None) when the configuration has no such section.
    py::object gateways = m.attr("GATEWAYS");
    m.attr("FUTU") = gateways.attr("get")("Futu");
    m.attr("FUTUFUTURES") = gateways.attr("get")("Futufutures");
    m.attr("FUTUCRYPTO") = gateways.attr("get")("Futucrypto");

    futu::add_conversions(m);

    py::object time_step = m.attr("TIME_STEP");
    py::tuple kl_allowed = py::make_tuple("1Day", "1Min");

    kv::PyClassBuilder adapter(m, "FutuAdapter", "Futu Gateway");
    adapter.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0098))
        .attr("NAME", py::str("FUTU"))
        .attr("KL_ALLOWED", kl_allowed);
    futu::add_lifecycle(m, adapter);
    futu::add_pushes(m, adapter);
    futu::add_market_data(m, adapter);
    futu::add_orders(m, adapter);
    py::object adapter_cls = adapter.build(py::make_tuple(m.attr("BaseGateway")));

    kv::PyClassBuilder futures(m, "FutuFuturesGateway", "Futu futures gateway");
    futures.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0))
        .attr("NAME", py::str("FUTUFUTURES"));
    futu::add_futures_gateway(m, futures);
    futures.build(py::make_tuple(adapter_cls));

    kv::PyClassBuilder crypto(m, "FutuCryptoGateway", kCryptoDoc);
    crypto.attr("TIME_STEP", time_step)
        .attr("SHORT_INTEREST_RATE", py::float_(0.0))
        .attr("NAME", py::str("FUTUCRYPTO"))
        .attr("KL_ALLOWED", py::make_tuple("1Day", "1Min"));
    futu::add_crypto_lifecycle(m, crypto);
    futu::add_crypto_pushes(m, crypto);
    futu::add_crypto_market_data(m, crypto);
    futu::add_crypto_orders(m, crypto);
    crypto.build(py::make_tuple(adapter_cls));
}
