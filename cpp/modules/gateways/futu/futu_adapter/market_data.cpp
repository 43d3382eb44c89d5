// Market data: the security for a code, the last pushed quote and order book, the most
// recent bar and capital distribution fetched on demand, and historical bars. History walks
// the SDK's paged request lazily, concatenates the pages once and makes the bars from
// whole columns; n-minute frequencies are aggregated from one-minute bars.
#include "futu_adapter.hpp"
#include "py/records.hpp"
#include "py/tables.hpp"

namespace kv {
namespace futu_adapter {
namespace {

PyObject* g_bar_kw = nullptr;   // ("datetime", "security", "open", "high", "low", "close", "volume")
PyObject* g_capdist_kw = nullptr;
PyObject* g_bar_columns[6];     // "time_key", "open", "high", "low", "close", "volume"
const char* const kCapitalColumns[] = {"capital_in_big",  "capital_in_mid",  "capital_in_small",
                                       "capital_out_big", "capital_out_mid", "capital_out_small"};

void check_assert(bool ok, const Text& message) {
    if (asserts_enabled && !ok) raise(PyExc_AssertionError, message);
}

// ------------------------------------------------------------------ lookups

py::object get_security(py::handle self, py::handle code) {
    check_str(code, "code");
    py::object securities = getattr(self, N().securities);
    py::object it = steal(PyObject_GetIter(securities.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object sec = steal(raw);
        if (eq(getattr(sec, N().code), code)) return sec;
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return py::none();
}

py::object store_get(py::handle self, PyObject* store, py::handle key) {
    return call_method(getattr(self, store), N().get, key);
}

// ------------------------------------------------------------------ bars from tables

enum class TimeParse { strptime_seconds, framework };

// One Bar per row of `table`, in row order, from its time_key, open, high, low, close and
// volume columns.
py::list rows_to_bars(py::handle table, py::handle security, TimeParse how) {
    py::object cols[6];
    for (int c = 0; c < 6; ++c) cols[c] = tables::column_list(table, g_bar_columns[c]);
    Py_ssize_t n = PyList_GET_SIZE(cols[0].ptr());
    for (int c = 1; c < 6; ++c)
        if (PyList_GET_SIZE(cols[c].ptr()) != n) raise(PyExc_ValueError, "ragged table columns");
    py::object parser = how == TimeParse::framework ? globals("try_parsing_datetime") : globals("datetime");
    KeywordMaker make_bar(globals("Bar"));
    py::list out(n);
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::handle text = PyList_GET_ITEM(cols[0].ptr(), i);
        py::object when = how == TimeParse::framework
                              ? time_parser(parser, text)
                              : TimeTextParser::strptime_seconds(parser, text);
        PyObject* slots[8] = {nullptr,
                              when.ptr(),
                              security.ptr(),
                              PyList_GET_ITEM(cols[1].ptr(), i),
                              PyList_GET_ITEM(cols[2].ptr(), i),
                              PyList_GET_ITEM(cols[3].ptr(), i),
                              PyList_GET_ITEM(cols[4].ptr(), i),
                              PyList_GET_ITEM(cols[5].ptr(), i)};
        py::object bar = make_bar(slots + 1, g_bar_kw);
        PyList_SET_ITEM(out.ptr(), i, bar.release().ptr());
    }
    return out;
}

// ------------------------------------------------------------------ recent data

py::object kline_subtype() {
    py::object seconds =
        steal(PyNumber_FloorDivide(globals("TIME_STEP").ptr(), py::int_(1000).ptr()));
    py::object dfield = globals("get_kline_dfield_from_seconds")(seconds);
    return getattr(globals("SubType"), dfield.ptr());
}

py::object get_recent_bar(py::handle self, py::handle security, const char* autype) {
    py::object code = getattr(security, N().code);
    py::object reply = getattr(self, N().quote_ctx)
                           .attr("get_cur_kline")(code, 1, kline_subtype(),
                                                  globals("AuType").attr(autype));
    py::object out[2];
    unpack(reply, out, 2);
    if (truthy(out[0])) {
        globals.print(Text() << "[get_recent_bar](" << code << ") failed: " << out[1]);
        return py::none();
    }
    py::list bars = rows_to_bars(out[1], security, TimeParse::strptime_seconds);
    Py_ssize_t n = PyList_GET_SIZE(bars.ptr());
    check_assert(n == 1, Text() << "We only get 1 kline, but received " << py::int_(n) << " rows.");
    return steal(PySequence_GetItem(bars.ptr(), 0));
}

py::object get_recent_capital_distribution(py::handle self, py::handle security) {
    py::object code = getattr(security, N().code);
    py::object reply = call_method(getattr(self, N().quote_ctx), N().get_capital_distribution, code);
    py::object out[2];
    unpack(reply, out, 2);
    if (truthy(out[0])) {
        globals.print(Text() << "[get_recent_capital_distribution](" << code << ") failed: " << out[1]);
        return py::none();
    }
    tables::FirstRow row(out[1]);
    py::object when = TimeTextParser::strptime_seconds(globals("datetime"),
                                                           row[intern("update_time")]);
    py::object values[8];
    values[0] = when;
    values[1] = borrow(security);
    for (int c = 0; c < 6; ++c) values[2 + c] = row[intern(kCapitalColumns[c])];
    PyObject* slots[9] = {nullptr};
    for (int i = 0; i < 8; ++i) slots[1 + i] = values[i].ptr();
    return KeywordMaker(globals("CapitalDistribution"))(slots + 1, g_capdist_kw);
}

py::object get_recent_data(py::handle self, py::handle security, const py::dict& kwargs) {
    py::object fields;
    py::str dfield("dfield");
    if (PyDict_GET_SIZE(kwargs.ptr()) > 0) {
        check_assert(kwargs.contains(dfield),
                     Text() << "`dfield` should be passed in as kwargs, but kwargs=" << kwargs);
        fields = py::make_tuple(getitem(kwargs, dfield));
    } else {
        fields = globals("DATA_PATH");
    }
    py::dict data;
    py::str kline("kline"), capdist("capdist");
    py::object first;
    Py_ssize_t count = 0;
    py::object it = steal(PyObject_GetIter(fields.ptr()));
    while (PyObject* raw = PyIter_Next(it.ptr())) {
        py::object name = steal(raw);
        if (!count++) first = name;
        if (eq(name, kline))
            data[kline] = call_method(self, N().get_recent_bar, security);
        else if (eq(name, capdist))
            data[capdist] = call_method(self, N().get_recent_capital_distribution, security);
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    Py_ssize_t len = PyObject_Size(fields.ptr());
    if (len < 0) throw py::error_already_set();
    if (len == 1) return getitem(data, first);
    return std::move(data);
}

// ------------------------------------------------------------------ history

// The lazy page sequence of one paged history request.
struct HistoryPages {
    py::object self;
    py::dict kwargs;
    py::object next_key;  // the key of the next page, None when there is none
    bool started = false, done = false;

    py::object next() {
        if (done || (started && next_key.is_none())) {
            done = true;
            throw py::stop_iteration();
        }
        py::dict kw = kwargs;
        if (started) {
            kw = py::dict(kwargs);
            kw["page_req_key"] = next_key;
        }
        started = true;
        py::object request = getattr(self, N().quote_ctx).attr("request_history_kline");
        py::object reply = steal(PyObject_Call(request.ptr(), py::tuple().ptr(), kw.ptr()));
        py::object out[3];
        unpack(reply, out, 3);
        if (eq(out[0], globals("RET_OK"))) {
            next_key = out[2];
            return out[1];
        }
        globals.print(py::str("error:"), out[1]);
        done = true;
        throw py::stop_iteration();
    }
};

py::object api_req_historical_bar(const Bound& a) {
    check_str(a[1], "code");
    check_str(a[2], "start");
    check_str(a[3], "end");
    if (!PyList_Check(a[6].ptr())) raise_arg_type("fields", "list", a[6]);
    if (!PyLong_Check(a[7].ptr())) raise_arg_type("max_count", "int", a[7]);
    HistoryPages pages;
    pages.self = arg(a, 0);
    const char* keys[] = {"code", "start", "end", "ktype", "autype", "fields", "max_count",
                          "extended_time"};
    for (int i = 0; i < 8; ++i) pages.kwargs[keys[i]] = a[1 + static_cast<size_t>(i)];
    pages.next_key = py::none();
    return py::cast(std::move(pages));
}

py::object api_get_historical_bar(const Bound& a) {
    py::handle self = a[0], instrument = a[1], asset_type = a[2];
    py::object end_date = arg(a, 3), start_date = arg(a, 4), periods = arg(a, 5);
    static const char* const kAccepted[] = {"Equity_SEHK", "Futures_HKFE", "Stock_SEHK"};
    bool accepted = false;
    for (const char* name : kAccepted) accepted = accepted || eq(asset_type, py::str(name));
    check_assert(accepted, Text() << "Asset type " << asset_type << " is not supported.");

    py::object freq = a.kwargs().contains("freq") ? getitem(a.kwargs(), py::str("freq"))
                                                  : py::object(py::str("1Min"));
    bool minute = eq(freq, py::str("1Min"));
    py::object ktype;
    if (minute)
        ktype = globals("KLType").attr("K_1M");
    else if (eq(freq, py::str("1Day")))
        ktype = globals("KLType").attr("K_DAY");
    else
        raise(PyExc_ValueError, Text() << "Freq " << freq << " is not supported.");

    if (eq(end_date, py::str("today"))) {
        py::object now = globals.now();
        end_date = call_method(now, N().strftime, py::str("%Y-%m-%d"));
        // Calendar days back: int(periods / 5.0 / 60) + 5 for minutes,
        // int(periods * 7.0 / 5.0) + 60 for days.
        py::object x = minute ? (periods / py::float_(5.0)) / py::float_(60.0)
                              : (periods * py::float_(7.0)) / py::float_(5.0);
        py::object days = steal(PyNumber_Long(x.ptr())) + py::int_(minute ? 5 : 60);
        py::object back = globals("timedelta")(py::arg("days") = days);
        py::object start = steal(PyNumber_Subtract(now.ptr(), back.ptr()));
        start_date = call_method(start, N().strftime, py::str("%Y-%m-%d"));
    }

    py::object seq = self.attr("_api_req_historical_bar")(
        py::arg("code") = instrument, py::arg("start") = start_date, py::arg("end") = end_date,
        py::arg("ktype") = ktype);
    py::object pages = steal(PySequence_List(seq.ptr()));
    if (PyList_GET_SIZE(pages.ptr()) == 0) return py::none();

    py::object data = globals("pd").attr("concat")(pages);
    Py_ssize_t rows = tables::row_count(data);
    py::object n_rows = py::int_(rows);
    int enough = PyObject_RichCompareBool(n_rows.ptr(), periods.ptr(), Py_GE);
    if (enough < 0) throw py::error_already_set();
    check_assert(enough, Text() << "Data received is not sufficient to requested (" << n_rows
                                << " < " << periods << ").");
    // The last `periods` rows (none for a periods of 0 or less).
    Py_ssize_t want = 0;
    if (PyLong_Check(periods.ptr())) {
        int overflow = 0;
        long long p = PyLong_AsLongLongAndOverflow(periods.ptr(), &overflow);
        if (p == -1 && PyErr_Occurred()) throw py::error_already_set();
        want = overflow > 0 ? rows : (overflow < 0 || p < 0 ? 0 : (p > rows ? rows : static_cast<Py_ssize_t>(p)));
    } else {
        want = py::int_(periods).cast<Py_ssize_t>();
        want = want < 0 ? 0 : (want > rows ? rows : want);
    }
    py::object tail = steal(PySlice_New(py::int_(rows - want).ptr(), nullptr, nullptr));
    py::object last = getitem(data.attr("iloc"), tail);
    py::list cols;
    for (PyObject* c : g_bar_columns) cols.append(c);
    return getitem(last, cols);
}

py::object req_historical_bars(const Bound& a) {
    py::object self = arg(a, 0), security = arg(a, 1), periods = arg(a, 2), freq = arg(a, 3),
               cur_datetime = arg(a, 4), sessions = arg(a, 5), mode = arg(a, 6);
    if (!PyLong_Check(periods.ptr())) raise_arg_type("periods", "int", periods);
    check_str(freq, "freq");
    if (!sessions.is_none() && !PyList_Check(sessions.ptr()))
        raise_arg_type("trading_sessions", "list", sessions);
    check_str(mode, "mode");

    // n-minute frequencies: one-minute bars through this same method, aggregated.
    auto fetch_body = [self, security, cur_datetime, sessions, mode](const Bound& f) {
        return self.attr("req_historical_bars")(security, f[0], "1Min", cur_datetime,
                                                py::arg("trading_sessions") = sessions,
                                                py::arg("mode") = mode);
    };
    py::object fetch = detail::make_function(
        globals("__name__").cast<std::string>(), "fetch",
        "FutuAdapter.req_historical_bars.<locals>.fetch", {{"count"}}, false, fetch_body,
        nullptr);
    py::object aggregated =
        globals("maybe_req_aggregated_nmin")(freq, periods, py::arg("fetch_1min") = fetch);
    if (!aggregated.is_none()) {
        if (asserts_enabled && !PyList_Check(aggregated.ptr())) {
            PyErr_SetNone(PyExc_AssertionError);
            throw py::error_already_set();
        }
        return aggregated;
    }

    py::object allowed = self.attr("KL_ALLOWED");
    check_assert(contains(allowed, freq), Text() << "Parameter freq=" << freq << " is Not supported. Only " << allowed
                            << " are allowed (or aggregatable N-min such as 5Min / 15Min).");
    if (eq(freq, py::str("1Day")) && sessions.is_none())
        raise(PyExc_ValueError,
              Text() << "Parameters trading_sessions is mandatory if freq=" << freq << ".");

    py::object kind = getattr(py::type::handle_of(security), N().name_);
    py::object asset_type =
        (Text() << kind << "_" << getattr(getattr(security, N().exchange), N().value)).str();
    py::object data = self.attr("_api_get_historical_bar")(
        py::arg("instrument") = getattr(security, N().code), py::arg("asset_type") = asset_type,
        py::arg("periods") = periods, py::arg("freq") = freq);
    if (data.is_none()) return py::list();  // no page at all: no bars
    return rows_to_bars(data, security, TimeParse::framework);
}

const char* const kHistoryDoc =
    "Paged history request: one page table per step, fetched when the next page is asked for.\n\n"
    "Server quotas: history of a limited number of instruments per 30 days; at most 60 history\n"
    "requests per 30 seconds, only the first page of a paged request counting; minute bars for\n"
    "the last 2 years and daily bars for the last 10 years.";

}  // namespace

void add_market_data(py::module_& m, PyClassBuilder& b) {
    g_bar_kw = py::make_tuple("datetime", "security", "open", "high", "low", "close", "volume")
                   .release().ptr();
    g_capdist_kw = py::make_tuple("datetime", "security", kCapitalColumns[0], kCapitalColumns[1],
                                  kCapitalColumns[2], kCapitalColumns[3], kCapitalColumns[4],
                                  kCapitalColumns[5]).release().ptr();
    const char* cols[] = {"time_key", "open", "high", "low", "close", "volume"};
    for (int c = 0; c < 6; ++c) g_bar_columns[c] = intern(cols[c]);

    py::class_<HistoryPages>(m, "_HistoryPages")
        .def("__iter__", [](py::object it) { return it; })
        .def("__next__", [](HistoryPages& p) { return p.next(); });

    b.def("get_security", {{"self"}, {"code"}}, false,
          [](const Bound& a) { return get_security(a[0], a[1]); },
          "Get security with security code");
    b.def("get_quote", {{"self"}, {"security"}}, false,
          [](const Bound& a) { return store_get(a[0], N().quote, a[1]); });
    b.def("get_orderbook", {{"self"}, {"security"}}, false,
          [](const Bound& a) { return store_get(a[0], N().orderbook, a[1]); });
    b.def("get_recent_bar", {{"self"}, {"security"}}, false,
          [](const Bound& a) { return get_recent_bar(a[0], a[1], "QFQ"); }, "Get recent OHLCV");
    b.def("get_recent_capital_distribution", {{"self"}, {"security"}}, false,
          [](const Bound& a) { return get_recent_capital_distribution(a[0], a[1]); });
    b.def("get_recent_data", {{"self"}, {"security"}, var_kw()}, false,
          [](const Bound& a) { return get_recent_data(a[0], a[1], a.kwargs()); },
          "Get recent data (OHLCV or CapitalDistribution)");
    b.def("req_historical_bars",
          {{"self"}, {"security"}, {"periods"}, {"freq"}, {"cur_datetime"},
           {"trading_sessions", py::none()}, {"mode", py::str("direct")}},
          false, [](const Bound& a) { return req_historical_bars(a); },
          "request historical bar data.");
    b.def("_api_get_historical_bar",
          {{"self"}, {"instrument"}, {"asset_type"}, {"end_date", py::str("today")},
           {"start_date", py::none()}, {"periods", py::int_(1)}, var_kw()},
          false, [](const Bound& a) { return api_get_historical_bar(a); },
          "Use FUTU API to get historical Data");
    py::list default_fields;
    default_fields.append(m.attr("KL_FIELD").attr("ALL"));
    b.def("_api_req_historical_bar",
          {{"self"}, {"code"}, {"start"}, {"end"}, {"ktype", m.attr("KLType").attr("K_DAY")},
           {"autype", m.attr("AuType").attr("QFQ")}, {"fields", default_fields},
           {"max_count", py::int_(500)}, {"extended_time", py::bool_(false)}},
          false, [](const Bound& a) { return api_req_historical_bar(a); }, kHistoryDoc);
}

void add_crypto_market_data(py::module_&, PyClassBuilder& b) {
    b.def("get_recent_bar", {{"self"}, {"security"}}, false,
          [](const Bound& a) { return get_recent_bar(a[0], a[1], "NONE"); }, "Get recent OHLCV");
}

}  // namespace futu_adapter
}  // namespace kv
