// Market data: the quote refresh from one full-tick reply, the snapshot reads, recent and
// historical bars through get_market_data_ex, the recent-data mapping and the lookup of a
// subscribed security by any code form.
//
// The refresh reads each tick row in C++: an exact dict with text keys is scanned once, each
// key that some quantity reads placed in its slot (engine/qmt_ticks.hpp numbers the keys),
// and the quantities are taken from the slots in their key order. Other mappings are read
// key by key through their own lookup. When `_first_number` or `_level_number` has been
// replaced on the module, the refresh calls the replacements instead.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>
#include <vector>

#include "adapter.hpp"
#include "engine/qmt_ticks.hpp"
#include "py/row_values.hpp"

namespace kv {
namespace qmt_adapter {
namespace {

namespace q = kv::qmt;

struct Statics {
    std::vector<PyObject*> tick_keys;               // key number -> interned str
    PyObject* scalar_lists[q::kTickQuantityCount];  // quantity -> list of its scalar keys
    PyObject* level_lists[q::kTickQuantityCount];   // quantity -> list of its two list keys
    PyObject* level_index[q::kTickQuantityCount];   // quantity -> int
    PyObject* level_attrs[q::kTickQuantityCount];   // "bid_price_1", ... (levels only)
    PyObject* quote_kw = nullptr;                   // Quote keywords, in call order
    PyObject* book_kw = nullptr;
    PyObject* bar_kw = nullptr;
} T;

py::object new_list(std::initializer_list<PyObject*> items) {
    py::object l = steal(PyList_New(0));
    for (PyObject* o : items)
        if (PyList_Append(l.ptr(), o) < 0) throw py::error_already_set();
    return l;
}

// ---------------------------------------------------------------- tick rows

// The values of one tick row by key number: strong references, so code run while converting
// a value (a __float__ of the caller's) cannot free the others.
class TickRow {
public:
    TickRow() : slots_(q::TickLayout::get().key_count(), nullptr) {}
    ~TickRow() {
        clear();
        for (const CacheEntry& e : cache_) Py_XDECREF(e.key);
    }
    TickRow(const TickRow&) = delete;
    TickRow& operator=(const TickRow&) = delete;

    // Loads a row. An exact dict whose keys are all exact str is scanned once; any other
    // mapping is asked key by key.
    void load(PyObject* row) {
        clear();
        row_ = row;
        scanned_ = PyDict_CheckExact(row) && scan(row);
    }

    // The value under key number k (borrowed, held by this object), or null.
    PyObject* get(int k) {
        if (scanned_) return slots_[static_cast<std::size_t>(k)];
        if (slots_[static_cast<std::size_t>(k)] || looked_up(k)) return slots_[static_cast<std::size_t>(k)];
        py::object v = row_value(row_, T.tick_keys[static_cast<std::size_t>(k)]);
        mark(k);
        if (v) {
            slots_[static_cast<std::size_t>(k)] = v.release().ptr();
        }
        return slots_[static_cast<std::size_t>(k)];
    }

private:
    bool scan(PyObject* row) {
        const q::TickLayout& layout = q::TickLayout::get();
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(row, &pos, &k, &v)) {
            if (!PyUnicode_CheckExact(k)) {
                clear();
                return false;
            }
            int idx = index_of(k, layout);
            if (idx < 0) continue;
            Py_INCREF(v);
            slots_[static_cast<std::size_t>(idx)] = v;
            used_.push_back(idx);
        }
        return true;
    }

    // The key number of a str key. The rows of one reply share their key objects (the
    // JSON decoder reuses them), so answers are kept per object for the rest of the call;
    // the cache holds a reference to each key it remembers, so no address is reused.
    int index_of(PyObject* k, const q::TickLayout& layout) {
        std::size_t h = (reinterpret_cast<std::uintptr_t>(k) >> 4) & (kCacheSize - 1);
        while (cache_[h].key) {
            if (cache_[h].key == k) return cache_[h].index;
            h = (h + 1) & (kCacheSize - 1);
        }
        std::string_view s;
        int idx = ascii_view(k, s) ? layout.find(s) : -1;  // every key read is ASCII
        if (cached_ < kCacheSize / 2) {
            Py_INCREF(k);
            cache_[h] = {k, idx};
            ++cached_;
        }
        return idx;
    }

    bool looked_up(int k) const {
        for (int u : used_)
            if (u == k) return true;
        return false;
    }
    void mark(int k) { used_.push_back(k); }

    void clear() {
        for (int u : used_) {
            Py_CLEAR(slots_[static_cast<std::size_t>(u)]);
        }
        used_.clear();
    }

    struct CacheEntry {
        PyObject* key;
        int index;
    };
    static constexpr std::size_t kCacheSize = 256;
    std::vector<CacheEntry> cache_ = std::vector<CacheEntry>(kCacheSize, CacheEntry{nullptr, -1});
    std::size_t cached_ = 0;
    std::vector<PyObject*> slots_;
    std::vector<int> used_;
    py::handle row_;
    bool scanned_ = false;
};

// The first number among the quantity's scalar keys, then, when that is 0.0, element k of
// its level lists.
double read_quantity(TickRow& row, int qty) {
    const q::TickQuantitySpec& spec = q::TickLayout::get().quantity(qty);
    double d = 0.0;
    for (int k : spec.keys) {
        PyObject* v = row.get(k);
        if (!v || v == Py_None) continue;
        if (to_float(v, d)) break;
        d = 0.0;
    }
    if (d != 0.0 || spec.list_keys[0] < 0) return d;
    for (int k : spec.list_keys) {
        PyObject* v = row.get(k);
        if (!v || !(PyList_Check(v) || PyTuple_Check(v))) continue;
        Py_ssize_t n = PySequence_Fast_GET_SIZE(v);
        if (n <= spec.level) continue;
        py::object item = borrow(PySequence_Fast_GET_ITEM(v, spec.level));
        double x;
        if (to_float(item.ptr(), x)) return x;
    }
    return 0.0;
}

// All quantities of a tick, natively or through replaced reader functions.
struct Readers {
    py::object first_number, level_number;  // set only when replaced
    bool replaced() const { return static_cast<bool>(first_number); }

    void load() {
        py::object f = globals("_first_number"), l = globals("_level_number");
        if (f.ptr() != originals.first_number || l.ptr() != originals.level_number) {
            first_number = f;
            level_number = l;
        }
    }

    void read(PyObject* tick, TickRow& row, double* out) {
        if (!replaced()) {
            row.load(tick);
            for (int qty = 0; qty < q::kTickQuantityCount; ++qty) out[qty] = read_quantity(row, qty);
            return;
        }
        for (int qty = 0; qty < q::kTickQuantityCount; ++qty) {
            py::object keys = steal(PyList_GetSlice(T.scalar_lists[qty], 0, PY_SSIZE_T_MAX));
            double d = py::cast<double>(first_number(py::handle(tick), keys));
            if (d == 0.0 && T.level_lists[qty]) {
                py::object lk = steal(PyList_GetSlice(T.level_lists[qty], 0, PY_SSIZE_T_MAX));
                d = py::cast<double>(level_number(py::handle(tick), lk, py::handle(T.level_index[qty])));
            }
            out[qty] = d;
        }
    }
};

// mapping.get(key) when truthy, else null (None and a missing key alike).
py::object truthy_get(py::handle mapping, py::handle key) {
    py::object v = row_value(mapping, key);
    if (!v || !truthy(v)) return py::object();
    return v;
}

py::object float_obj(double d) { return steal(PyFloat_FromDouble(d)); }

// store.put(key, item) through the bound method.
void put(const py::object& bound_put, py::handle key, const py::object& item) {
    PyObject* args[2] = {key.ptr(), item.ptr()};
    steal(PyObject_Vectorcall(bound_put.ptr(), args, 2, nullptr));
}

// ---------------------------------------------------------------- quote refresh

py::object refresh_quotes(py::handle self) {
    py::object secs = steal(PySequence_Tuple(getattr(self, N().securities).ptr()));
    const Py_ssize_t n = PyTuple_GET_SIZE(secs.ptr());
    if (n == 0) return py::none();

    py::object to_qmt = globals("to_qmt_code");
    py::object codes = steal(PyList_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::object code = getattr(PyTuple_GET_ITEM(secs.ptr(), i), N().code);
        PyObject* c = PyObject_CallOneArg(to_qmt.ptr(), code.ptr());
        if (!c) throw py::error_already_set();
        PyList_SET_ITEM(codes.ptr(), i, c);
    }

    py::object ticks;
    try {
        py::dict params;
        params["codes"] = codes;
        ticks = call_method(getattr(self, N().rpc), N().call, py::str("get_full_tick"), params);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        log(self, {py::str(" get_full_tick failed: "), e.value()});
        return py::none();
    }
    // A reply that is not a mapping carries no tick: every security keeps what it had.
    if (!truthy(ticks) || !is_mapping(ticks)) return py::none();

    py::object when = globals.now();
    py::object minute;  // `when` at the start of its minute, made for the first bar
    KeywordMaker make_quote, make_book, make_bar;
    py::object quote_put, book_put, recent, exchange_from;
    Readers readers;
    readers.load();
    TickRow row;
    double v[q::kTickQuantityCount];

    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle sec = PyTuple_GET_ITEM(secs.ptr(), i);
        py::object qmt_code = borrow(PyList_GET_ITEM(codes.ptr(), i));
        py::object tick = truthy_get(ticks, qmt_code);
        if (!tick) tick = truthy_get(ticks, getattr(sec, N().code));
        // No tick for this security: its quote, book and latest bar stay as they were.
        if (!tick || !is_mapping(tick)) continue;
        readers.read(tick.ptr(), row, v);

        if (!make_quote.bound()) {
            make_quote.bind(globals("Quote"));
            make_book.bind(globals("OrderBook"));
            quote_put = getattr(getattr(self, N().quote), N().put);
            book_put = getattr(getattr(self, N().orderbook), N().put);
        }

        py::object exchange = getattr_or(sec, N().exchange, py::handle());
        if (!exchange) {
            if (!exchange_from) exchange_from = globals("exchange_from_qmt_code");
            exchange = exchange_from(qmt_code);
        }

        const double last = v[q::kTickLast], bid = v[q::kTickBid], ask = v[q::kTickAsk];
        const double open = v[q::kTickOpen], high = v[q::kTickHigh], low = v[q::kTickLow];
        const double volume = v[q::kTickVolume];
        py::object f_last = float_obj(last), f_open = float_obj(open), f_high = float_obj(high),
                   f_low = float_obj(low), f_volume = float_obj(volume), f_bid = float_obj(bid),
                   f_ask = float_obj(ask);
        py::object f_prev = float_obj(v[q::kTickPrevClose]), f_turn = float_obj(v[q::kTickTurnover]);
        py::object f_spread = float_obj(bid != 0.0 && ask != 0.0 ? ask - bid : 0.0);
        PyObject* qargs[14] = {nullptr,      sec.ptr(),    exchange.ptr(), when.ptr(),
                               f_last.ptr(), f_open.ptr(), f_high.ptr(),   f_low.ptr(),
                               f_prev.ptr(), f_volume.ptr(), f_turn.ptr(), f_bid.ptr(),
                               f_ask.ptr(),  f_spread.ptr()};
        py::object quote = make_quote(qargs + 1, T.quote_kw);
        put(quote_put, sec, quote);

        py::object f_bidv = float_obj(v[q::kTickBidVolume]), f_askv = float_obj(v[q::kTickAskVolume]);
        PyObject* bargs[8] = {nullptr,     sec.ptr(),   exchange.ptr(), when.ptr(),
                              f_bid.ptr(), f_ask.ptr(), f_bidv.ptr(),   f_askv.ptr()};
        py::object book = make_book(bargs + 1, T.book_kw);
        for (int qty = q::kTickQuoteCount; qty < q::kTickQuantityCount; ++qty)
            setattr(book, T.level_attrs[qty], float_obj(v[qty]));
        put(book_put, sec, book);

        if (last != 0.0 || open != 0.0) {
            if (!minute) {
                make_bar.bind(globals("Bar"));
                recent = getattr(self, N().recent_bars);
                py::dict kw;
                kw["second"] = 0;
                kw["microsecond"] = 0;
                py::object replace = getattr(when, N().replace);
                py::tuple none;
                minute = steal(PyObject_Call(replace.ptr(), none.ptr(), kw.ptr()));
            }
            auto or_else = [](const py::object& x, double xv, const py::object& y) {
                return xv != 0.0 ? x : y;
            };
            py::object b_open = or_else(f_open, open, f_last), b_high = or_else(f_high, high, f_last),
                       b_low = or_else(f_low, low, f_last), b_close = or_else(f_last, last, f_open);
            PyObject* args[8] = {nullptr,      minute.ptr(), sec.ptr(),     b_open.ptr(),
                                 b_high.ptr(), b_low.ptr(),  b_close.ptr(), f_volume.ptr()};
            py::object bar = make_bar(args + 1, T.bar_kw);
            if (PyObject_SetItem(recent.ptr(), sec.ptr(), bar.ptr()) < 0) throw py::error_already_set();
        }
    }
    return py::none();
}

// ---------------------------------------------------------------- snapshot reads

py::object snapshot(py::handle self, py::handle security, const Name& store_name) {
    py::object store = getattr(self, store_name);
    if (!contains(getattr(store, N().queue), security)) {
        call_method(self, N().refresh_quotes);
        store = getattr(self, store_name);
    }
    return call_method(store, N().get, security);
}

py::object get_recent_bar(py::handle self, py::handle security) {
    call_method(self, N().refresh_quotes);
    py::object recent = getattr(self, N().recent_bars);
    py::object bar = call_method(recent, N().get, security);
    if (bar.is_none())
        raise(PyExc_ValueError, join({py::str("No bars/ticks available for "), getattr(security, N().code),
                          py::str(". Is the Big QMT agent running and subscribed to this symbol?")}));
    return bar;
}

py::object get_recent_bars(py::handle self, py::handle security, py::handle bar_interval,
                           py::handle periods) {
    auto single = [&]() {
        return new_list({call_method(self, N().get_recent_bar, security, bar_interval).ptr()});
    };
    if (periods.is_none()) return single();
    py::int_ count = to_int_arg(periods, "periods");
    py::object one = py::int_(1);
    int le1 = PyObject_RichCompareBool(count.ptr(), one.ptr(), Py_LE);
    if (le1 < 0) throw py::error_already_set();
    if (le1) return single();
    py::object freq = (PyUnicode_Check(bar_interval.ptr()) && truthy(bar_interval))
                          ? borrow(bar_interval.ptr())
                          : borrow(N().one_min);
    if (!contains(getattr(self, N().KL_ALLOWED), freq) &&
        !truthy(globals("is_nmin_aggregatable")(freq)))
        freq = borrow(N().one_min);
    return getattr(self, N().req_historical_bars)(py::arg("security") = security, py::arg("periods") = count,
                                            py::arg("freq") = freq, py::arg("cur_datetime") = globals.now());
}

py::object get_recent_data(py::handle self, py::handle security, const py::dict& kwargs) {
    py::object fields;
    if (PyDict_GET_SIZE(kwargs.ptr()) > 0) {
        PyObject* d = PyDict_GetItemString(kwargs.ptr(), "dfield");
        if (!d)
            raise(PyExc_AssertionError,
                      join({py::str("`dfield` should be passed in as kwargs, but kwargs="), kwargs}));
        fields = new_list({d});
    } else {
        fields = steal(PySequence_List(globals("DATA_PATH").ptr()));  // a mapping gives its keys
    }
    py::dict out;
    for (py::handle field : fields) {
        if (!eq(field, py::str("kline")))
            raise(PyExc_NotImplementedError, join({py::str("["), getattr(self, N().NAME),
                                                       py::str("] dfield="), field,
                                                       py::str(" is not supported")}));
        out[field] = call_method(self, N().get_recent_bar, security);
    }
    return std::move(out);
}

// ---------------------------------------------------------------- historical bars

bool assertions_enabled() {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return true;
    py::object opt = steal(PyObject_GetAttrString(flags, "optimize"));
    return !truthy(opt);
}

// The records of `qmt_code` in a get_market_data_ex reply.
py::object find_records(py::handle data, py::handle qmt_code, py::handle code) {
    if (!is_mapping(data)) return py::list();
    py::object r = truthy_get(data, qmt_code);
    if (!r) r = truthy_get(data, code);
    if (!r) r = truthy_get(data, globals("from_qmt_code")(qmt_code));
    if (r) return r;
    py::object to_qmt = globals("to_qmt_code");
    py::object items = call_method(data, N().items);
    for (py::handle item : items) {
        py::object k = item[py::int_(0)], val = item[py::int_(1)];
        if (eq(to_qmt(str_of(k)), qmt_code)) return val;
    }
    return py::list();
}

py::object req_historical_bars(const Bound& a) {
    py::handle self = a[0], security = a[1], cur_datetime = a[4], trading_sessions = a[5], mode = a[6];
    py::object periods = to_int_arg(a[2], "periods");
    py::object freq = arg(a, 3);
    check_str(freq, "freq");

    // Aggregatable n-minute frequencies are built from one-minute bars fetched through this
    // same method.
    py::object self_obj = borrow(self.ptr()), sec_obj = borrow(security.ptr()),
               cur_obj = borrow(cur_datetime.ptr()), sess_obj = borrow(trading_sessions.ptr()),
               mode_obj = borrow(mode.ptr());
    py::object fetch = detail::make_function(
        py::cast<std::string>(globals("__name__")), "fetch_1min", "QmtAdapter.req_historical_bars.<locals>.fetch_1min",
        {{"n"}}, false,
        [self_obj, sec_obj, cur_obj, sess_obj, mode_obj](const Bound& b) -> py::object {
            return getattr(self_obj, N().req_historical_bars)(sec_obj, b[0], py::str("1Min"), cur_obj,
                                                        py::arg("trading_sessions") = sess_obj,
                                                        py::arg("mode") = mode_obj);
        },
        nullptr);
    py::object agg = globals("maybe_req_aggregated_nmin")(freq, periods, py::arg("fetch_1min") = fetch);
    if (!agg.is_none() && PyList_Check(agg.ptr())) return agg;

    py::object allowed = getattr(self, N().KL_ALLOWED);
    if (assertions_enabled() && !contains(allowed, freq))
        raise(PyExc_AssertionError,
                  join({py::str("Parameter freq="), freq, py::str(" is Not supported. Only "), allowed,
                        py::str(" are allowed (or aggregatable N-min such as 5Min / 15Min).")}));

    periods = globals("clamp_periods")(freq, periods,
                                     py::arg("max_count") = cfg_get(self, "hist_max_count", py::none()));
    py::object period = globals("qmt_period_for_freq")(freq);
    py::object code = getattr(security, N().code);
    py::object qmt_code = globals("to_qmt_code")(code);
    py::object end_time = globals("format_qmt_end_time")(cur_datetime, freq);
    py::object start_time = globals("format_qmt_start_time")(cur_datetime, periods, freq);

    py::object hist = cfg_get(self, "hist_rpc_timeout", py::none());
    if (!truthy(hist)) hist = globals("_DEFAULT_HIST_RPC_TIMEOUT");
    double hist_timeout = py::cast<double>(steal(PyNumber_Float(hist.ptr())));
    double rpc_timeout =
        py::cast<double>(steal(PyNumber_Float(cfg_get(self, "rpc_timeout", py::float_(10.0), true).ptr())));
    if (rpc_timeout > hist_timeout) hist_timeout = rpc_timeout;

    py::dict params;
    params["codes"] = new_list({qmt_code.ptr()});
    params["period"] = period;
    params["count"] = periods;
    params["start_time"] = start_time;
    params["end_time"] = end_time;
    params["fields"] = py::list(py::make_tuple("open", "high", "low", "close", "volume"));
    params["dividend_type"] = cfg_get(self, "hist_dividend_type", py::str("follow"));
    params["fill_data"] = py::bool_(truthy(cfg_get(self, "hist_fill_data", py::bool_(false))));
    params["subscribe"] = py::bool_(truthy(cfg_get(self, "hist_subscribe", py::bool_(false))));

    py::object data;
    try {
        data = getattr(getattr(self, N().rpc), N().call)("get_market_data_ex", params,
                                                  py::arg("timeout") = hist_timeout);
    } catch (py::error_already_set& e) {
        if (!is_exception(e)) throw;
        py::object msg = join({py::str("["), getattr(self, N().NAME), py::str("] get_market_data_ex failed for "),
                               code, py::str(": "), e.value()});
        raise_from(e, PyExc_RuntimeError, py::cast<std::string>(msg));
    }
    if (!truthy(data)) data = py::dict();

    py::object records = find_records(data, qmt_code, code);
    py::object bars = globals("records_to_bars")(records, security, py::arg("drop_placeholders") = true);
    const Py_ssize_t have = PyObject_Length(bars.ptr());
    if (have < 0) throw py::error_already_set();
    if (have == 0)
        raise(PyExc_ValueError, join({py::str("["), getattr(self, N().NAME), py::str("] No historical bars for "), code,
                          py::str(" (freq="), freq, py::str(", periods="), periods,
                          py::str("). Ensure Big QMT has local history for this symbol/period "
                                  "(\xe6\x95\xb0\xe6\x8d\xae\xe7\xae\xa1\xe7\x90\x86 \xe2\x86\x92 "
                                  "\xe8\xa1\xa5\xe5\x85\x85\xe6\x95\xb0\xe6\x8d\xae).")}));
    const Py_ssize_t want = PyNumber_AsSsize_t(periods.ptr(), PyExc_OverflowError);
    if (want == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (have > want) {
        bars = steal(PySequence_GetSlice(bars.ptr(), have - want, have));
    } else if (have < want) {
        log(self, {py::str(" Only "), py::int_(have), py::str("/"), periods, py::str(" bars for "), code,
                   py::str(" freq="), freq, py::str(". Download more local history in QMT.")});
    }
    // Only one-minute bars are the latest one-minute bar; daily requests leave it alone.
    if (eq(freq, N().one_min)) {
        py::object last = steal(PySequence_GetItem(bars.ptr(), -1));
        py::object recent = getattr(self, N().recent_bars);
        if (PyObject_SetItem(recent.ptr(), security.ptr(), last.ptr()) < 0) throw py::error_already_set();
    }
    return bars;
}

// ---------------------------------------------------------------- lookup

py::object get_security(py::handle self, py::handle code) {
    check_str(code, "code");
    py::object targets = steal(PySet_New(nullptr));
    for (py::object t : {borrow(code.ptr()), call_method(code, N().upper), globals("to_qmt_code")(code),
                         globals("from_qmt_code")(code)})
        if (PySet_Add(targets.ptr(), t.ptr()) < 0) throw py::error_already_set();
    py::object lookup = globals("security_codes_for_lookup");
    py::object secs = steal(PySequence_Tuple(getattr(self, N().securities).ptr()));
    for (py::handle sec : secs) {
        py::object forms = lookup(sec);
        py::object disjoint = call_method(forms, N().isdisjoint, targets);
        if (!truthy(disjoint)) return borrow(sec.ptr());
    }
    return py::none();
}

}  // namespace

void bind_market_data_statics(py::module_&) {
    const q::TickLayout& layout = q::TickLayout::get();
    for (std::size_t k = 0; k < layout.key_count(); ++k)
        T.tick_keys.push_back(intern(layout.key(static_cast<int>(k)).c_str()));
    const char* level_names[4] = {"bid_price_", "ask_price_", "bid_volume_", "ask_volume_"};
    for (int qty = 0; qty < q::kTickQuantityCount; ++qty) {
        const q::TickQuantitySpec& spec = layout.quantity(qty);
        py::object l = steal(PyList_New(0));
        for (int k : spec.keys)
            if (PyList_Append(l.ptr(), T.tick_keys[static_cast<std::size_t>(k)]) < 0) throw py::error_already_set();
        T.scalar_lists[qty] = l.release().ptr();
        T.level_lists[qty] = nullptr;
        T.level_index[qty] = nullptr;
        T.level_attrs[qty] = nullptr;
        if (spec.list_keys[0] >= 0) {
            T.level_lists[qty] = new_list({T.tick_keys[static_cast<std::size_t>(spec.list_keys[0])],
                                           T.tick_keys[static_cast<std::size_t>(spec.list_keys[1])]})
                                     .release()
                                     .ptr();
            T.level_index[qty] = steal(PyLong_FromLong(spec.level)).release().ptr();
        }
        if (qty >= q::kTickQuoteCount) {
            int level = (qty - q::kTickQuoteCount) / 4 + 1, which = (qty - q::kTickQuoteCount) % 4;
            T.level_attrs[qty] = intern((std::string(level_names[which]) + std::to_string(level)).c_str());
        }
    }
    auto kwnames = [](std::initializer_list<const char*> ks) {
        py::object t = steal(PyTuple_New(static_cast<Py_ssize_t>(ks.size())));
        Py_ssize_t i = 0;
        for (const char* k : ks) PyTuple_SET_ITEM(t.ptr(), i++, intern(k));
        return t.release().ptr();
    };
    T.quote_kw = kwnames({"security", "exchange", "datetime", "last_price", "open_price", "high_price",
                          "low_price", "prev_close_price", "volume", "turnover", "bid_price", "ask_price",
                          "price_spread"});
    T.book_kw = kwnames({"security", "exchange", "datetime", "bid_price_1", "ask_price_1", "bid_volume_1",
                         "ask_volume_1"});
    T.bar_kw = kwnames({"datetime", "security", "open", "high", "low", "close", "volume"});
}

void add_market_data(PyClassBuilder& cls, py::module_&) {
    cls.def("_refresh_quotes", {{"self"}}, false, [](const Bound& a) { return refresh_quotes(a[0]); });
    cls.def("get_quote", {{"self"}, {"security"}}, false,
            [](const Bound& a) { return snapshot(a[0], a[1], N().quote); });
    cls.def("get_orderbook", {{"self"}, {"security"}}, false,
            [](const Bound& a) { return snapshot(a[0], a[1], N().orderbook); });
    cls.def("get_recent_bar", {{"self"}, {"security"}, {"bar_interval", py::none()}}, false,
            [](const Bound& a) { return get_recent_bar(a[0], a[1]); });
    cls.def("get_recent_bars",
            {{"self"}, {"security"}, {"bar_interval", py::none()}, {"periods", py::int_(1)}}, false,
            [](const Bound& a) { return get_recent_bars(a[0], a[1], a[2], a[3]); });
    cls.def("get_recent_data", {{"self"}, {"security"}, var_kw()}, false,
            [](const Bound& a) { return get_recent_data(a[0], a[1], a.kwargs()); });
    cls.def("req_historical_bars",
            {{"self"}, {"security"}, {"periods"}, {"freq"}, {"cur_datetime", py::none()},
             {"trading_sessions", py::none()}, {"mode", py::str("direct")}, var_kw()},
            false, [](const Bound& a) { return req_historical_bars(a); },
            "Request historical OHLCV via Big QMT ``get_market_data_ex`` (Redis).");
    cls.def("get_security", {{"self"}, {"code"}}, false,
            [](const Bound& a) { return get_security(a[0], a[1]); });
}

}  // namespace qmt_adapter
}  // namespace kv
