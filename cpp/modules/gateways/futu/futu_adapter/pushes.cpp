// Push processing: the handlers hand every parsed push to these methods, which turn it into
// a framework record and store it in the base gateway's stores. Only a table's first row is
// read. Everything a push needs is read and converted before anything is stored or any
// field of a stored order is written, so a push that fails leaves no trace.
#include <array>
#include <string>
#include <vector>

#include "futu_adapter.hpp"
#include "py/records.hpp"
#include "py/tables.hpp"

namespace kv {
namespace futu_adapter {
namespace {

using tables::FirstRow;

// Quote fields taken from the columns of the same name, in Quote keyword order.
const char* const kQuoteFigures[] = {"last_price", "open_price",    "high_price", "low_price",
                                     "prev_close_price", "volume",  "turnover",
                                     "turnover_rate",    "amplitude", "suspension",
                                     "price_spread",     "sec_status"};
constexpr int kFigures = 12;

struct PushNames {
    PyObject* figures[kFigures];
    PyObject* quote_kw;      // ("security", "exchange", "datetime", <figures>)
    PyObject* orderbook_kw;  // ("security", "exchange", "datetime")
    PyObject* deal_kw;       // Deal keywords, in order
    PyObject* code_kw;       // ("code",)
    PyObject* dealid_prefix;
    // Order-book level field names per side (bid, ask) and level: price, volume, num.
    std::vector<std::array<PyObject*, 3>> levels[2];
};
PushNames P;

PyObject* tuple_of(std::initializer_list<const char*> items) {
    PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
    if (!t) throw py::error_already_set();
    Py_ssize_t i = 0;
    for (const char* s : items) PyTuple_SET_ITEM(t, i++, intern(s));  // stolen
    return t;
}

// The names of level n (from 1) of one side, made the first time a push has that level.
const std::array<PyObject*, 3>& level_names(int side, size_t n) {
    auto& v = P.levels[side];
    while (v.size() < n) {
        std::string k = std::to_string(v.size() + 1);
        const char* s = side == 0 ? "bid_" : "ask_";
        v.push_back({intern((std::string(s) + "price_" + k).c_str()),
                     intern((std::string(s) + "volume_" + k).c_str()),
                     intern((std::string(s) + "num_" + k).c_str())});
    }
    return v[n - 1];
}

// self.get_security(code=code), through the object (an override is honoured).
py::object security_for(py::handle self, py::handle code) {
    PyObject* args[] = {self.ptr(), code.ptr()};
    return steal(PyObject_VectorcallMethod(N().get_security, args,
                                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, P.code_kw));
}

py::object parse_time(py::handle text) {
    return time_parser(globals("try_parsing_datetime"), text);
}

void store(py::handle self, PyObject* store_name, py::handle key, py::handle record) {
    py::object st = getattr(self, store_name);
    call_method(st, N().put, key, record);
}

// ------------------------------------------------------------------ quotes and order books

py::object process_quote(py::handle self, py::handle content) {
    check_dataframe(content, "content");
    FirstRow row(content);
    py::object security = security_for(self, row[N().code]);
    if (security.is_none()) return py::none();
    py::object date = row[N().data_date];
    py::object text = steal(PyNumber_Add(date.ptr(), N().space));
    text = steal(PyNumber_Add(text.ptr(), row[N().data_time].ptr()));
    py::object when = parse_time(text);

    py::object values[3 + kFigures];
    values[0] = security;
    values[1] = getattr(security, N().exchange);
    values[2] = when;
    for (int f = 0; f < kFigures; ++f) values[3 + f] = row[P.figures[f]];
    PyObject* slots[1 + 3 + kFigures] = {nullptr};
    for (int i = 0; i < 3 + kFigures; ++i) slots[1 + i] = values[i].ptr();
    py::object quote = KeywordMaker(globals("Quote"))(slots + 1, P.quote_kw);
    store(self, N().quote, security, quote);
    return py::none();
}

// Sets the fields of every level of one side ("Bid" or "Ask"), however many it has.
void set_levels(py::handle book, py::handle levels, int side) {
    py::object it = steal(PyObject_GetIter(levels.ptr()));
    size_t n = 0;
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object level = steal(raw);
        const auto& fields = level_names(side, ++n);
        for (Py_ssize_t i = 0; i < 3; ++i) {
            py::object v = steal(PySequence_GetItem(level.ptr(), i));
            setattr(book, fields[static_cast<size_t>(i)], v);
        }
    }
    if (PyErr_Occurred()) throw py::error_already_set();
}

py::object process_orderbook(py::handle self, py::handle content) {
    if (!PyDict_CheckExact(content.ptr())) raise_arg_type("content", "dict", content);
    py::object security = security_for(self, getitem(content, N().code));
    if (security.is_none()) return py::none();
    py::object ask_time = parse_time(getitem(content, N().svr_recv_time_ask));
    py::object bid_time = parse_time(getitem(content, N().svr_recv_time_bid));
    int later = PyObject_RichCompareBool(ask_time.ptr(), bid_time.ptr(), Py_GT);
    if (later < 0) throw py::error_already_set();

    py::object exchange = getattr(security, N().exchange);
    PyObject* slots[4] = {nullptr, security.ptr(), exchange.ptr(),
                          later ? ask_time.ptr() : bid_time.ptr()};
    py::object book = KeywordMaker(globals("OrderBook"))(slots + 1, P.orderbook_kw);
    set_levels(book, getitem(content, N().bid), 0);
    set_levels(book, getitem(content, N().ask), 1);
    store(self, N().orderbook, security, book);
    return py::none();
}

// ------------------------------------------------------------------ orders and deals

// A pushed quantity in the framework's units: lots for a Hong Kong stock.
py::object framework_quantity(py::handle security, py::handle qty, bool lots) {
    if (!lots || !is_hk_stock(security)) return borrow(qty);
    py::object lot = getattr(security, N().lot_size);
    return steal(PyNumber_TrueDivide(qty.ptr(), lot.ptr()));
}

py::object make_deal(py::handle order, py::handle updated_time, py::handle price,
                     py::handle quantity, py::handle dealid, py::handle orderid) {
    py::object security = getattr(order, N().security), direction = getattr(order, N().direction),
               offset = getattr(order, N().offset), type = getattr(order, N().order_type);
    PyObject* slots[10] = {nullptr,           security.ptr(), direction.ptr(),
                           offset.ptr(),      type.ptr(),     updated_time.ptr(),
                           price.ptr(),       quantity.ptr(), dealid.ptr(),
                           orderid.ptr()};
    return KeywordMaker(globals("Deal"))(slots + 1, P.deal_kw);
}

// The quantity of an order's fills already booked as paper-trading deals, kept per gateway.
py::object booked_fills(py::handle self) {
    py::object booked = getattr_or(self, N().sim_booked, py::handle());
    if (booked) return booked;
    py::dict fresh;
    setattr(self, N().sim_booked, fresh);
    return std::move(fresh);
}

// An order or deal push for an order this gateway has not stored: the SDK's push thread may
// deliver an order's first pushes before place_order has its reply. The push is held and
// applied when place_order stores the order (apply_held_pushes). Pushes for orders of other
// programs trading on the same account are normal, so they expire without a line.
constexpr long kDealPush = 1, kLots = 2, kSynthetic = 4;  // a held push's flags

void hold_push(py::handle self, py::handle order_id, long flags, py::handle content) {
    const double now = globals("time").attr("monotonic")().cast<double>();
    hold_event(getattr(self, N().held_pushes), now, order_id, py::make_tuple(py::int_(flags), content));
}

// `lots`: Hong Kong stock quantities are converted to lots; `synthetic`: in paper trading a
// fill reported by an order push is booked as a deal.
py::object process_order(py::handle self, py::handle content, bool lots, bool synthetic) {
    check_dataframe(content, "content");
    FirstRow row(content);
    py::object order_id = row[N().order_id];
    WithLock lock = order_lock(self);
    py::object order = call_method(getattr(self, N().orders), N().get, order_id);
    if (order.is_none()) {
        hold_push(self, order_id, (lots ? kLots : 0) | (synthetic ? kSynthetic : 0), content);
        return py::none();
    }

    py::object dealt = row[N().dealt_qty];
    py::object updated = row[N().updated_time];
    py::object avg = row[N().dealt_avg_price];
    py::object sdk_status = row[N().order_status];
    py::object status = globals("convert_orderstatus_futu2kv")(sdk_status);
    py::object filled = framework_quantity(getattr(order, N().security), dealt, lots);
    py::object when = parse_time(updated);

    // The newly filled quantity, booked as a paper-trading deal: a push states the order's
    // whole fill so far, so only what exceeds the fills already booked is new.
    py::object increment, booked;
    if (synthetic) {
        py::object kv_status = globals("KVOrderStatus");
        if (eq(self.attr("trade_mode"), trade_mode_member("SIMULATE")) &&
            (eq(status, kv_status.attr("FILLED")) || eq(status, kv_status.attr("PART_FILLED")))) {
            booked = booked_fills(self);
            PyObject* before = PyDict_GetItemWithError(booked.ptr(), order_id.ptr());
            if (!before && PyErr_Occurred()) throw py::error_already_set();
            py::object prev = before ? borrow(before) : py::object(py::int_(0));
            increment = steal(PyNumber_Subtract(filled.ptr(), prev.ptr()));
            py::object zero = py::int_(0);
            int more = PyObject_RichCompareBool(increment.ptr(), zero.ptr(), Py_GT);
            if (more < 0) throw py::error_already_set();
            if (!more) increment = py::object();
        }
    }

    setattr(order, N().filled_quantity, filled);
    setattr(order, N().updated_time, when);
    setattr(order, N().filled_avg_price, avg);
    setattr(order, N().status, status);
    if (increment) {
        py::object uid = globals("uuid").attr("uuid4")();
        py::object dealid = steal(PyUnicode_Concat(P.dealid_prefix, py::str(uid).ptr()));
        py::object deal = make_deal(order, when, avg, increment, dealid, order_id);
        store(self, N().deals, dealid, deal);
        if (PyDict_SetItem(booked.ptr(), order_id.ptr(), filled.ptr()) < 0)
            throw py::error_already_set();
    }
    store(self, N().orders, order_id, order);
    return py::none();
}

py::object process_deal(py::handle self, py::handle content, bool lots) {
    check_dataframe(content, "content");
    FirstRow row(content);
    py::object orderid = row[N().order_id];
    py::object dealid = row[N().deal_id];
    WithLock lock = order_lock(self);
    py::object order = call_method(getattr(self, N().orders), N().get, orderid);
    if (order.is_none()) {
        hold_push(self, orderid, kDealPush | (lots ? kLots : 0), content);
        return py::none();
    }

    py::object qty = framework_quantity(getattr(order, N().security), row[N().qty], lots);
    py::object when = parse_time(row[N().create_time]);
    py::object price = row[N().price];
    py::object deal = make_deal(order, when, price, qty, dealid, orderid);
    store(self, N().deals, dealid, deal);
    return py::none();
}

}  // namespace

void apply_held_pushes(py::handle self, py::handle orderid) {
    for (py::handle entry : take_held(getattr(self, N().held_pushes), orderid)) {
        const long flags = getitem(entry, py::int_(0)).cast<long>();
        py::object content = getitem(entry, py::int_(1));
        try {
            if (flags & kDealPush)
                process_deal(self, content, flags & kLots);
            else
                process_order(self, content, flags & kLots, flags & kSynthetic);
        } catch (py::error_already_set& e) {
            if (!is_exception(e)) throw;
            globals.print(Text() << ((flags & kDealPush) ? "[process_deal]" : "[process_order]")
                                 << " a push held for order " << orderid << " failed: " << e.value());
        }
    }
}

namespace {

void init_names() {
    for (int f = 0; f < kFigures; ++f) P.figures[f] = intern(kQuoteFigures[f]);
    P.quote_kw = tuple_of({"security", "exchange", "datetime", "last_price", "open_price",
                           "high_price", "low_price", "prev_close_price", "volume", "turnover",
                           "turnover_rate", "amplitude", "suspension", "price_spread",
                           "sec_status"});
    P.orderbook_kw = tuple_of({"security", "exchange", "datetime"});
    P.deal_kw = tuple_of({"security", "direction", "offset", "order_type", "updated_time",
                          "filled_avg_price", "filled_quantity", "dealid", "orderid"});
    P.code_kw = tuple_of({"code"});
    P.dealid_prefix = intern("futu-sim-deal-");
    level_names(0, 10);
    level_names(1, 10);
}

}  // namespace

void add_pushes(py::module_&, PyClassBuilder& b) {
    init_names();
    b.def("process_quote", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_quote(a[0], a[1]); }, "Callback of Quote");
    b.def("process_orderbook", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_orderbook(a[0], a[1]); },
          "Callback of Orderbook");
    b.def("process_order", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_order(a[0], a[1], true, true); },
          "Callback of Order");
    b.def("process_deal", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_deal(a[0], a[1], true); }, "Callback of Deal");
}

void add_crypto_pushes(py::module_&, PyClassBuilder& b) {
    b.def("process_order", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_order(a[0], a[1], false, false); },
          "Callback of Order (no HK lot-size rescale).");
    b.def("process_deal", {{"self"}, {"content"}}, false,
          [](const Bound& a) { return process_deal(a[0], a[1], false); },
          "Callback of Deal (no HK lot-size rescale).");
}

}  // namespace futu_adapter
}  // namespace kv
