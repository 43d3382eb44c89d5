// kavrel_trader.gateways.qmt.qmt_adapter: what the parts of the module share.
//
// Here: the module's namespace (`globals`), its interned names (N()), the log-line and
// configuration helpers, the row readers and the functions that add each group of methods
// to the QmtAdapter class. The host operations (getattr, setattr, eq, contains, str_of,
// raise, ...) are those of py/host_ops.hpp, shared by every module; the order lock and the
// events held for orders not yet stored use py/held_events.hpp, shared with the Futu gateway.
#pragma once

#include <pybind11/pybind11.h>

#include <initializer_list>
#include <string>

#include "py/held_events.hpp"
#include "py/host_ops.hpp"
#include "py/pyhelpers.hpp"
#include "py/signature.hpp"

namespace kv {
namespace qmt_adapter {

// The module's namespace: every outside name is read from it when used.
extern ModuleNames globals;

// Attribute, key and text names used per call.
struct Names {
    Name NAME{"NAME"}, KL_ALLOWED{"KL_ALLOWED"}, cfg{"_cfg"}, rpc{"_rpc"},
        recent_bars{"_recent_bars"}, securities{"securities"}, quote{"quote"},
        orderbook{"orderbook"}, orders{"orders"}, queue{"queue"}, put{"put"}, get{"get"},
        code{"code"}, exchange{"exchange"}, status{"status"}, updated_time{"updated_time"},
        orderid{"orderid"}, call{"call"}, replace{"replace"}, items{"items"},
        security{"security"}, direction{"direction"}, one_min{"1Min"};
    // methods
    Name ping{"ping"}, start_events{"start_events"}, on_event{"_on_event"},
        subscribe{"subscribe"}, unsubscribe{"unsubscribe"}, close{"close"},
        refresh_quotes{"_refresh_quotes"}, get_recent_bar{"get_recent_bar"},
        req_historical_bars{"req_historical_bars"}, get_security{"get_security"},
        get_all_broker_positions{"get_all_broker_positions"}, upper{"upper"},
        isdisjoint{"isdisjoint"}, strip{"strip"}, uuid4{"uuid4"}, hex{"hex"};
    // order events, fills and reconciliation (order_events.cpp)
    Name order_ref{"order_ref"}, order_id{"order_id"}, deals{"deals"}, type{"type"},
        data{"data"}, trade_id{"trade_id"}, traded_volume{"traded_volume"},
        traded_price{"traded_price"}, time{"time"}, submitted{"submitted"},
        cancelled{"cancelled"}, filled_quantity{"filled_quantity"},
        filled_avg_price{"filled_avg_price"}, offset{"offset"}, order_type{"order_type"},
        order_lock{"_order_lock"}, held_events{"_held_events"},
        held_dropped_line{"_held_dropped_line"}, cancel_marked{"_cancel_marked"},
        unknown_since{"_unknown_since"}, reconcile_timer{"_reconcile_timer"},
        reconcile_ops{"_reconcile_ops"}, closed{"_closed"}, withdrawn{"withdrawn"};
    Name discard{"discard"}, add{"add"}, pop{"pop"},
        append{"append"}, is_alive{"is_alive"}, start{"start"}, cancel{"cancel"},
        reconcile{"reconcile"}, reconcile_due{"_reconcile_due"},
        on_events_recovered{"_on_events_recovered"}, setitem{"__setitem__"};
};
const Names& N();  // module.cpp

// The concatenation of the text forms of `parts`.
py::object join(std::initializer_list<py::handle> parts);

// print("[" + self.NAME + "]" + message_parts...)
void log(py::handle self, std::initializer_list<py::handle> parts);

// self._cfg.get(key, default); a value of None counts as missing when `none_is_missing`.
py::object cfg_get(py::handle self, const char* key, py::handle dflt, bool none_is_missing = false);

// isinstance(o, Mapping) through the module's `Mapping` (dicts without a lookup).
bool is_mapping(py::handle o);

// ---------------------------------------------------------------- row readers

// The value under exactly `key`, or a null object when the row lacks it (a non-dict mapping
// is asked through its `get`).
py::object row_value(py::handle row, py::handle key);

// Checks of the readers' declared argument types.
void check_row(py::handle row);
void check_keys(py::handle keys);

py::object first_number(py::handle row, py::handle keys, double dflt);
py::object level_number(py::handle row, py::handle keys, py::handle index, double dflt);
py::object first_str(py::handle row, py::handle keys, py::handle dflt);
py::object first_int(py::handle row, py::handle keys, py::handle dflt);

// The readers as the module namespace holds them: the native ones run directly, a
// replacement set on the module is called instead. `keys` is a list of key texts.
py::object read_number(py::handle row, std::initializer_list<const char*> keys);
py::object read_str(py::handle row, std::initializer_list<const char*> keys);
py::object read_int(py::handle row, std::initializer_list<const char*> keys);

// The module's own reader functions, to spot replacements.
struct OriginalReaders {
    PyObject *first_number = nullptr, *level_number = nullptr, *first_str = nullptr, *first_int = nullptr;
};
extern OriginalReaders originals;

// ---------------------------------------------------------------- registration

void add_row_readers(py::module_& m);
void add_lifecycle(PyClassBuilder& cls, py::module_& m);
void add_market_data(PyClassBuilder& cls, py::module_& m);
void add_orders(PyClassBuilder& cls, py::module_& m);
void bind_market_data_statics(py::module_& m);
void add_order_events(py::module_& m, PyClassBuilder& cls);  // order_events.cpp

// ---------------------------------------------------------------- order events

// What place_order and cancel_order share with the event handler (order_events.cpp).
// Whether the order's state is final: FILLED, CANCELLED or FAILED, except a CANCELLED the
// gateway set itself on its cancel request, which the terminal may still undo.
bool is_final_order(py::handle self, py::handle ref, py::handle order);
// The events held for `ref`, applied to its order just stored (under the order lock).
void apply_held(py::handle self, py::handle ref, py::handle order);
// An order just left UNKNOWN by a time-out, for the reconciliation to settle.
void note_unknown(py::handle self, py::handle ref);

// `with self._order_lock:` (a threading.RLock) for the life of the object returned.
inline WithLock order_lock(py::handle self) { return WithLock(getattr(self, N().order_lock)); }

// The class once built (for super() in __init__).
extern PyObject* adapter_class;

}  // namespace qmt_adapter
}  // namespace kv
