// kavrel_trader.gateways.qmt.qmt_adapter: order events, fills and reconciliation.
//
// The agent publishes two kinds of "order" events: order-state events (a status word with
// the order's cumulative filled quantity and average price) and fill events (status
// "trade": one fill with its own quantity, price, time and trade id). State events set the
// order's status and fill figures; fill events book one Deal each in the `deals` store
// under the trade id. An order in a final state (FILLED, CANCELLED, FAILED) is never moved
// back to a working state, except that a CANCELLED the gateway set itself on its cancel
// request is only provisional: the terminal's "cancel_failed" undoes it, and the
// terminal's own final word replaces it.
//
// Events for a reference not yet in the `orders` store (the agent may publish before its
// reply to place_order arrives) are held, bounded in count and age, and applied when
// place_order stores the order. One re-entrant lock (`_order_lock`) orders the event
// thread, the reconciliation and the callers of place_order and cancel_order.
//
// Reconciliation asks the agent for today's orders and fills ("query_orders",
// "query_trades") and settles the orders that are not final, books fills the events did
// not bring, and settles orders left UNKNOWN by a time-out: found, they take the
// terminal's state; missing from an answer given at least the grace time after the
// time-out, they are FAILED. It runs at start, after the event channel recovers, and on
// a timer while orders are left UNKNOWN. Malformed event data changes nothing: a value of
// the wrong type, a negative or non-finite number or an unknown status word leaves the
// order and the stores as they were.
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>

#include "py/host_ops.hpp"
#include "adapter.hpp"

namespace kv {
namespace qmt_adapter {
namespace {

constexpr double kDropLineSeconds = 60.0;  // at most one "dropped" line per minute

// The status words of order-state events, as the agent spells them.
enum class Word { Working, PartFilled, Filled, Cancelled, Rejected, CancelFailed, Trade, Unknown };

Word classify(const std::string& w) {
    if (w == "trade") return Word::Trade;
    if (w == "filled") return Word::Filled;
    if (w == "partly_filled") return Word::PartFilled;
    if (w == "cancelled") return Word::Cancelled;
    if (w == "rejected") return Word::Rejected;
    if (w == "cancel_failed") return Word::CancelFailed;
    if (w == "submitted" || w == "unreported" || w == "wait_reporting" || w == "cancel_pending")
        return Word::Working;
    return Word::Unknown;
}

// The status word of an event or a row: Unknown for anything but a known word's text.
Word word_of(py::handle v) {
    if (!v || !py::isinstance<py::str>(v)) return Word::Unknown;
    try {
        return classify(v.cast<std::string>());
    } catch (py::cast_error&) {  // a text that has no UTF-8 form (lone surrogates)
        return Word::Unknown;
    }
}

double monotonic() { return globals("time").attr("monotonic")().cast<double>(); }

// A real number given as a JSON number (int or float, not bool), finite and >= 0.
bool read_quantity(py::handle v, double& out) {
    if (py::isinstance<py::bool_>(v)) return false;
    if (!py::isinstance<py::int_>(v) && !py::isinstance<py::float_>(v)) return false;
    double d = 0;
    try {
        d = v.cast<double>();  // an int too large for a float does not convert
    } catch (py::cast_error&) {
        return false;
    }
    if (!std::isfinite(d) || d < 0) return false;
    out = d;
    return true;
}

// data[key] when present and not None, else a null object.
py::object stated(py::handle data, py::handle key) {
    py::object v = row_value(data, key);
    if (v && v.is_none()) return py::object();
    return v;
}

// The order reference of an event: text of the first true "order_ref" / "order_id".
py::object event_ref(py::handle data) {
    for (py::handle key : {N().order_ref, N().order_id}) {
        py::object v = row_value(data, key);
        if (v && truthy(v)) {
            py::object ref = str_of(v);
            return truthy(ref) ? ref : py::object();
        }
    }
    return py::object();
}

py::object status_of(const char* member) { return getattr(globals("OrderStatus"), member); }

// The cumulative filled quantity of an order as a number (None or junk read as 0).
double filled_of(py::handle order) {
    py::object v = getattr(order, N().filled_quantity);
    double d = 0;
    return read_quantity(v, d) ? d : 0.0;
}

bool marked_cancelled(py::handle self, py::handle ref, py::handle order) {
    return contains(getattr(self, N().cancel_marked), ref) &&
           eq(getattr(order, N().status), status_of("CANCELLED"));
}

}  // namespace

bool is_final_order(py::handle self, py::handle ref, py::handle order) {
    py::object status = getattr(order, N().status);
    for (const char* s : {"FILLED", "CANCELLED", "FAILED"})
        if (eq(status, status_of(s))) return !marked_cancelled(self, ref, order);
    return false;
}

namespace {

void touch(py::handle self, py::handle ref, py::handle order) {
    setattr(order, N().updated_time, globals.now());
    call_method(getattr(self, N().orders), N().put, ref, order);
}

// An order-state event (or a row of "query_orders") applied to `order`.
void apply_state(py::handle self, py::handle ref, py::handle order, py::handle data, Word word) {
    double qty = 0, price = 0;
    py::object q = stated(data, N().traded_volume), p = stated(data, N().traded_price);
    if (q && !read_quantity(q, qty)) return;
    if (p && !read_quantity(p, price)) return;
    if (is_final_order(self, ref, order)) return;
    const double have = filled_of(order);
    if (q && qty < have) return;  // older than what the order already shows
    const bool marked = marked_cancelled(self, ref, order);
    const double after = q ? qty : have;

    const char* status = nullptr;
    switch (word) {
        case Word::Filled: status = "FILLED"; break;
        case Word::Cancelled: status = "CANCELLED"; break;
        case Word::Rejected: status = "FAILED"; break;
        case Word::Working: status = marked ? nullptr : "SUBMITTED"; break;
        case Word::PartFilled: status = marked ? nullptr : "PART_FILLED"; break;
        case Word::CancelFailed:
            if (marked) status = after > 0 ? "PART_FILLED" : "SUBMITTED";
            else if (after > 0) status = "PART_FILLED";
            break;
        default: return;
    }
    if (status) setattr(order, N().status, status_of(status));
    if (q) setattr(order, N().filled_quantity, py::float_(qty));
    if (p) setattr(order, N().filled_avg_price, py::float_(price));
    if (word == Word::Filled || word == Word::Cancelled || word == Word::Rejected ||
        (marked && word == Word::CancelFailed))
        call_method(getattr(self, N().cancel_marked), N().discard, ref);
    if (status) call_method(getattr(self, N().unknown_since), N().pop, ref, py::none());
    touch(self, ref, order);
}

// The fill time of a fill event: its "time" text, or now when it gives none; null when
// the text is not a time.
py::object fill_time(py::handle data) {
    py::object t = stated(data, N().time);
    if (!t) return globals.now();
    if (!py::isinstance<py::str>(t)) return py::object();
    try {
        return globals("datetime").attr("strptime")(t, "%Y-%m-%d %H:%M:%S");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::object();
    }
}

// A fill event (or a row of "query_trades") booked as one Deal under its trade id, once.
bool book_fill(py::handle self, py::handle ref, py::handle order, py::handle data) {
    py::object id = stated(data, N().trade_id);
    if (!id || py::isinstance<py::bool_>(id) ||
        !(py::isinstance<py::str>(id) || py::isinstance<py::int_>(id)))
        return false;
    py::object trade_id = str_of(id);
    if (!truthy(trade_id)) return false;
    py::object deals = getattr(self, N().deals);
    if (contains(getattr(deals, N().queue), trade_id)) return false;
    double qty = 0, price = 0;
    py::object q = stated(data, N().traded_volume), p = stated(data, N().traded_price);
    if (!q || !p || !read_quantity(q, qty) || !read_quantity(p, price) || qty <= 0) return false;
    py::object when = fill_time(data);
    if (!when) return false;
    py::object deal = globals("Deal")(
        py::arg("security") = getattr(order, N().security),
        py::arg("direction") = getattr(order, N().direction),
        py::arg("offset") = getattr_or(order, N().offset, py::none()),
        py::arg("order_type") = getattr(order, N().order_type), py::arg("updated_time") = when,
        py::arg("filled_avg_price") = py::float_(price),
        py::arg("filled_quantity") = py::float_(qty), py::arg("dealid") = trade_id,
        py::arg("orderid") = ref);
    call_method(deals, N().put, trade_id, deal);
    return true;
}

// One event's data applied to the stored order `order` (under the order lock). Any
// error it raises is reported in one line and changes nothing more.
void apply_event(py::handle self, py::handle ref, py::handle order, py::handle data) {
    try {
        py::object word = row_value(data, N().status);
        if (!word || word.is_none()) {
            // An agent that sends only the flags: "cancelled", else "submitted"; a final
            // state stays, and so does the gateway's own cancel mark.
            py::object cancelled = row_value(data, N().cancelled);
            py::object submitted = row_value(data, N().submitted);
            const bool final = is_final_order(self, ref, order);
            if (cancelled && truthy(cancelled)) {
                if (!final) {
                    setattr(order, N().status, status_of("CANCELLED"));
                    call_method(getattr(self, N().cancel_marked), N().discard, ref);
                }
            } else if (submitted && truthy(submitted)) {
                if (!final && !marked_cancelled(self, ref, order))
                    setattr(order, N().status, status_of("SUBMITTED"));
            }
            touch(self, ref, order);
            return;
        }
        const Word w = word_of(word);
        if (w == Word::Trade)
            book_fill(self, ref, order, data);
        else if (w != Word::Unknown)
            apply_state(self, ref, order, data, w);
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        log(self, {py::str(" order event ignored: "), e.value()});
    }
}

// Keeps `data` for `ref` until the order is stored; drops what is too old or too many.
void hold(py::handle self, py::handle ref, py::handle data) {
    const double now_t = monotonic();
    const Py_ssize_t drop = hold_event(getattr(self, N().held_events), now_t, ref, data);
    if (!drop) return;
    py::object last = getattr(self, N().held_dropped_line);
    if (last.is_none() || now_t - last.cast<double>() >= kDropLineSeconds) {
        setattr(self, N().held_dropped_line, py::float_(now_t));
        log(self, {py::str(" order events dropped: "), py::int_(drop),
                   py::str(" held too long or too many for orders this gateway has not "
                           "stored")});
    }
}

}  // namespace

// The held events of `ref` applied to its order, just stored (under the order lock).
void apply_held(py::handle self, py::handle ref, py::handle order) {
    for (py::handle data : take_held(getattr(self, N().held_events), ref))
        apply_event(self, ref, order, data);
}

namespace {

// The bridge's event handler: "order" events applied to the stored order or held.
py::object on_event(py::handle self, py::handle event) {
    if (!is_mapping(event)) return py::none();
    py::object type = row_value(event, N().type);
    if (!type || !eq(type, py::str("order"))) return py::none();
    py::object data = row_value(event, N().data);
    if (!data || !is_mapping(data) || !truthy(data)) return py::none();
    py::object ref = event_ref(data);
    if (!ref) return py::none();

    WithLock lock = order_lock(self);
    py::object orders = getattr(self, N().orders);
    if (!contains(getattr(orders, N().queue), ref)) {
        hold(self, ref, data);
        return py::none();
    }
    apply_event(self, ref, call_method(orders, N().get, ref), data);
    return py::none();
}

// ---------------------------------------------------------------- reconciliation

// The grace time of an order left UNKNOWN: "unknown_grace" of the configuration, else
// "rpc_timeout" (10 s).
double unknown_grace(py::handle self) {
    py::object v = cfg_get(self, "unknown_grace", py::none(), true);
    if (v.is_none()) v = cfg_get(self, "rpc_timeout", py::float_(10.0), true);
    return py::float_(v).cast<double>();
}

// A timer thread that runs reconcile() after the grace time, unless one is armed or
// the gateway is closed.
void arm_timer(py::handle self) {
    if (truthy(getattr(self, N().closed))) return;
    py::object timer = getattr(self, N().reconcile_timer);
    if (!timer.is_none() && truthy(call_method(timer, N().is_alive))) return;
    double wait = unknown_grace(self);
    if (wait < 0.5) wait = 0.5;
    timer = globals("threading").attr("Timer")(wait, getattr(self, N().reconcile_due));
    timer.attr("daemon") = true;
    timer.attr("name") = "qmt-reconcile";
    setattr(self, N().reconcile_timer, timer);
    call_method(timer, N().start);
}

bool unknown_op(const py::error_already_set& e) {
    return e.matches(PyExc_RuntimeError) && contains(str_of(e.value()), py::str("unknown op"));
}

// A reply list, or an empty one for None or another type.
py::list rows_of(py::handle reply) {
    py::list out;
    if (reply && py::isinstance<py::list>(reply))
        for (py::handle row : reply)
            if (is_mapping(row)) out.append(row);
    return out;
}

py::object reconcile(py::handle self) {
    if (!truthy(getattr(self, N().reconcile_ops))) return py::none();
    py::list pending;
    {
        WithLock lock = order_lock(self);
        py::object queue = getattr(getattr(self, N().orders), N().queue);
        for (py::handle ref : queue) {
            py::object order = getitem(queue, ref);
            if (!is_final_order(self, ref, order)) pending.append(ref);
        }
    }
    if (py::len(pending) == 0) return py::none();

    py::object rpc = getattr(self, N().rpc), orders_reply, trades_reply;
    try {
        orders_reply = call_method(rpc, N().call, py::str("query_orders"));
        trades_reply = call_method(rpc, N().call, py::str("query_trades"));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (unknown_op(e)) {
            setattr(self, N().reconcile_ops, py::bool_(false));
            log(self, {py::str(" reconcile skipped: the agent does not answer query_orders / "
                               "query_trades: "),
                       e.value()});
            return py::none();
        }
        log(self, {py::str(" reconcile failed: "), e.value()});
        arm_timer(self);
        return py::none();
    }
    const double answered = monotonic();
    const double grace = unknown_grace(self);
    bool unknown_left = false;
    WithLock lock = order_lock(self);
    py::object orders = getattr(self, N().orders);
    py::object queue = getattr(orders, N().queue);
    for (py::handle row : rows_of(trades_reply)) {
        py::object ref = event_ref(row);
        if (!ref || !contains(queue, ref)) continue;
        try {
            book_fill(self, ref, getitem(queue, ref), row);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    py::set found;
    for (py::handle row : rows_of(orders_reply)) {
        py::object ref = event_ref(row);
        if (!ref || !contains(pending, ref) || !contains(queue, ref)) continue;
        found.add(ref);
        const Word w = word_of(row_value(row, N().status));
        if (w == Word::Trade || w == Word::Unknown) continue;
        try {
            apply_state(self, ref, getitem(queue, ref), row, w);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    py::object since = getattr(self, N().unknown_since);
    for (py::handle ref : py::list(since)) {
        if (contains(found, ref) || !contains(queue, ref)) {
            call_method(since, N().pop, ref, py::none());
            continue;
        }
        py::object order = getitem(queue, ref);
        if (!eq(getattr(order, N().status), status_of("UNKNOWN"))) {
            call_method(since, N().pop, ref, py::none());
            continue;
        }
        if (answered - getitem(since, ref).cast<double>() < grace) {
            unknown_left = true;
            continue;
        }
        setattr(order, N().status, status_of("FAILED"));
        call_method(since, N().pop, ref, py::none());
        touch(self, ref, order);
        log(self, {py::str(" order "), ref, py::str(" not found at the terminal: FAILED")});
    }
    if (unknown_left) arm_timer(self);
    return py::none();
}

}  // namespace

void note_unknown(py::handle self, py::handle ref) {
    call_method(getattr(self, N().unknown_since), N().setitem, ref, py::float_(monotonic()));
    arm_timer(self);
}

void add_order_events(py::module_&, PyClassBuilder& cls) {
    cls.def("_on_event", {{"self"}, {"event"}}, false,
            [](const Bound& a) { return on_event(a[0], a[1]); });
    cls.def("reconcile", {{"self"}}, false, [](const Bound& a) { return reconcile(a[0]); },
            "Settle the orders that are not final and book missing deals from the agent's "
            "\"query_orders\" and \"query_trades\".");
    cls.def("_on_events_recovered", {{"self"}}, false,
            [](const Bound& a) { return call_method(a[0], N().reconcile); });
    cls.def("_reconcile_due", {{"self"}}, false, [](const Bound& a) {
        setattr(a[0], N().reconcile_timer, py::none());
        return call_method(a[0], N().reconcile);
    });
}

}  // namespace qmt_adapter
}  // namespace kv
