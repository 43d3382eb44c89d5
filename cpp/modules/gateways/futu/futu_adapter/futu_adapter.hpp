// kavrel_trader.gateways.futu.futu_adapter: what the parts of the module share.
//
// Here: the module's namespace (`globals`), its interned names (N()), the time-text parser,
// the checks the files share and the functions that add each part of the gateways. The
// host operations (getattr, setattr, getitem, eq, call_method, unpack, Text, raise, ...)
// are those of py/host_ops.hpp, shared by every module.
//
// Every outside name (the SDK's contexts, handler bases, enumerations and return codes, the
// framework's records, enumerations, bases and utilities, the configuration, datetime,
// uuid, pandas) is a module attribute bound at import and read from the module namespace
// when used, so a test or a host can replace any of them.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "py/held_events.hpp"
#include "py/host_ops.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"
#include "py/time_text.hpp"

namespace kv {
namespace futu_adapter {

extern ModuleNames globals;
extern TimeTextParser time_parser;  // try_parsing_datetime, natively once it agreed
extern bool asserts_enabled;        // the host runs with assert statements on

// Attribute, key, column and text names used per call.
struct Names {
    Name code{"code"}, expiry_date{"expiry_date"}, exchange{"exchange"}, value{"value"},
        security{"security"}, lot_size{"lot_size"}, quantity{"quantity"}, price{"price"},
        order_type{"order_type"}, direction{"direction"}, offset{"offset"}, status{"status"},
        filled_quantity{"filled_quantity"}, filled_avg_price{"filled_avg_price"},
        updated_time{"updated_time"}, quote{"quote"}, orderbook{"orderbook"},
        orders{"orders"}, deals{"deals"}, put{"put"}, get{"get"}, securities{"securities"},
        quote_ctx{"quote_ctx"}, trd_ctx{"trd_ctx"}, futu_trd_env{"futu_trd_env"},
        trade_mode{"trade_mode"}, trade_mode_{"_trade_mode"}, get_security{"get_security"},
        data_date{"data_date"}, data_time{"data_time"},
        svr_recv_time_ask{"svr_recv_time_ask"}, svr_recv_time_bid{"svr_recv_time_bid"},
        bid{"Bid"}, ask{"Ask"}, order_id{"order_id"}, dealt_qty{"dealt_qty"},
        dealt_avg_price{"dealt_avg_price"}, order_status{"order_status"},
        deal_id{"deal_id"}, qty{"qty"}, create_time{"create_time"}, time_key{"time_key"},
        open{"open"}, high{"high"}, low{"low"}, close{"close"}, volume{"volume"},
        datetime{"datetime"}, space{" "}, empty{""}, hk_prefix{"HK."}, main{"main"},
        gateway{"gateway"}, name_{"__name__"}, sim_booked{"_sim_booked"},
        order_lock{"_order_lock"}, held_pushes{"_held_pushes"};
    // methods
    Name connect_quote{"connect_quote"}, connect_trade{"connect_trade"},
        subscribe{"subscribe"}, on_recv_rsp{"on_recv_rsp"}, set_handler{"set_handler"},
        start{"start"}, unlock_trade{"unlock_trade"}, close_method{"close"},
        get_capital_distribution{"get_capital_distribution"},
        get_recent_bar{"get_recent_bar"},
        get_recent_capital_distribution{"get_recent_capital_distribution"},
        strftime{"strftime"}, replace{"replace"},
        get_all_broker_positions{"get_all_broker_positions"};
};
const Names& N();  // module.cpp

// The order's security counts in lots: a Stock (or kind of it) whose code contains "HK.".
bool is_hk_stock(py::handle security);
// The stored type check of a declared parameter: `table` is a pandas DataFrame.
void check_dataframe(py::handle table, const char* arg);
// The framework's TradeMode member SIMULATE / LIVETRADE, read when used.
py::object trade_mode_member(const char* name);

// `with self._order_lock:` (a threading.RLock), which orders the push threads' check-and-hold
// and place_order's store-and-apply (pushes.cpp).
inline WithLock order_lock(py::handle self) { return WithLock(getattr(self, N().order_lock)); }
// Applies the pushes held for `orderid`, an order just stored (under the order lock).
void apply_held_pushes(py::handle self, py::handle orderid);

// ------------------------------------------------------------------ the parts of the module

void add_conversions(py::module_& m);
void add_lifecycle(py::module_& m, PyClassBuilder& adapter);
void add_pushes(py::module_& m, PyClassBuilder& adapter);
void add_market_data(py::module_& m, PyClassBuilder& adapter);
void add_orders(py::module_& m, PyClassBuilder& adapter);
void add_futures_gateway(py::module_& m, PyClassBuilder& futures);
void add_crypto_lifecycle(py::module_& m, PyClassBuilder& crypto);
void add_crypto_pushes(py::module_& m, PyClassBuilder& crypto);
void add_crypto_market_data(py::module_& m, PyClassBuilder& crypto);
void add_crypto_orders(py::module_& m, PyClassBuilder& crypto);

}  // namespace futu_adapter
}  // namespace kv
