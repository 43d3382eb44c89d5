// What makes a gateway exist and talk: construction (settings, quote context, push handlers,
// subscription, trade context and unlock), the push handler classes made per connect,
// subscription, the trade mode, the market clock and close; for the three gateway classes.
#include "futu_adapter.hpp"

namespace kv {
namespace futu_adapter {
namespace {

// The check of the two typed constructor parameters.
void check_gateway_args(py::handle securities, py::handle gateway_name) {
    if (!PyList_Check(securities.ptr())) raise_arg_type("securities", "list", securities);
    check_str(gateway_name, "gateway_name");
}

// BaseGateway.__init__(self, securities, gateway_name, **kwargs)
void base_init(py::handle self, py::handle securities, py::handle gateway_name,
               const py::dict* kwargs) {
    py::object init = globals("BaseGateway").attr("__init__");
    py::tuple args = py::make_tuple(self, securities, gateway_name);
    steal(PyObject_Call(init.ptr(), args.ptr(), kwargs ? kwargs->ptr() : nullptr));
    setattr(self, N().order_lock, globals("threading").attr("RLock")());
    setattr(self, N().held_pushes, py::list());
}

// The connection sequence shared by the three constructors, from storing the fee model to
// connecting the trade side, with the gateway's settings and trade context.
void connect_all(py::handle self, const Bound& a, const char* settings_name,
                 const char* trade_context) {
    py::object fees = arg(a, 5), start = arg(a, 3), end = arg(a, 4);
    const py::dict& kwargs = a.kwargs();
    self.attr("fees") = fees;
    self.attr("start") = start;
    self.attr("end") = end;
    py::str sessions("trading_sessions");
    if (kwargs.contains(sessions)) self.attr("trading_sessions") = kwargs[sessions];

    py::object settings = globals(settings_name);
    self.attr("pwd_unlock") = getitem(settings, py::str("pwd_unlock"));
    setattr(self, N().quote_ctx,
            globals("OpenQuoteContext")(py::arg("host") = getitem(settings, py::str("host")),
                                      py::arg("port") = getitem(settings, py::str("port"))));
    call_method(self, N().connect_quote);
    call_method(self, N().subscribe);
    setattr(self, N().trd_ctx,
            globals(trade_context)(py::arg("host") = getitem(settings, py::str("host")),
                                 py::arg("port") = getitem(settings, py::str("port"))));
    call_method(self, N().connect_trade);
}

// ------------------------------------------------------------------ push handlers

// One push handler kind: its class name, the SDK base it derives from and the gateway
// method each push goes to.
struct HandlerKind {
    const char* cls;
    const char* base;
    const char* process;
    PyObject* on_recv_rsp;  // made at import, shared by every class of this kind
};
HandlerKind g_handlers[4] = {
    {"QuoteHandler", "StockQuoteHandlerBase", "process_quote", nullptr},
    {"OrderBookHandler", "OrderBookHandlerBase", "process_orderbook", nullptr},
    {"TradeOrderHandler", "TradeOrderHandlerBase", "process_order", nullptr},
    {"TradeDealHandler", "TradeDealHandlerBase", "process_deal", nullptr}};
PyObject* g_module_name = nullptr;

// on_recv_rsp(self, rsp_str): the SDK base parses the push; a parsed push goes to the
// gateway, a failed one is answered (RET_ERROR, data) without processing.
py::object on_recv_rsp(const HandlerKind& kind, py::handle self, py::handle rsp_str) {
    py::object base = globals(kind.base);
    py::object parsed = call_method(base, N().on_recv_rsp, self, rsp_str);
    py::object out[2];
    unpack(parsed, out, 2);
    py::object ret_ok = globals("RET_OK");
    py::object ne = steal(PyObject_RichCompare(out[0].ptr(), ret_ok.ptr(), Py_NE));
    if (truthy(ne)) return py::make_tuple(globals("RET_ERROR"), out[1]);
    py::object gateway = getattr(self, N().gateway);
    gateway.attr(kind.process)(out[1]);
    return py::make_tuple(ret_ok, out[1]);
}

// A fresh class `kind.cls(<SDK base>)` whose `gateway` is this gateway.
py::object handler_class(const HandlerKind& kind, py::handle self, const char* method) {
    py::object base = globals(kind.base);
    py::dict ns;
    ns["__module__"] = py::handle(g_module_name);
    ns["__qualname__"] = std::string("FutuAdapter.") + method + ".<locals>." + kind.cls;
    ns["gateway"] = self;
    ns["on_recv_rsp"] = py::handle(kind.on_recv_rsp);
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    return meta(kind.cls, py::make_tuple(base), ns);
}

void set_handlers(py::handle self, PyObject* ctx_name, int first, const char* method) {
    py::object ctx = getattr(self, ctx_name);
    for (int k = first; k < first + 2; ++k) {
        py::object cls = handler_class(g_handlers[k], self, method);
        call_method(ctx, N().set_handler, cls());
    }
}

py::object connect_quote(py::handle self) {
    set_handlers(self, N().quote_ctx, 0, "connect_quote");
    call_method(getattr(self, N().quote_ctx), N().start);
    globals.print(Text() << self.attr("NAME") << " successfully connected to Quote and Orderbook.");
    return py::none();
}

py::object connect_trade(py::handle self) {
    set_handlers(self, N().trd_ctx, 2, "connect_trade");
    py::object ctx = getattr(self, N().trd_ctx);
    globals.print(call_method(ctx, N().unlock_trade, self.attr("pwd_unlock")));
    call_method(ctx, N().start);
    globals.print(Text() << self.attr("NAME") << " successfully connected to Order and Deal.");
    return py::none();
}

// ------------------------------------------------------------------ subscription, mode, close

py::object subscribe(py::handle self) {
    py::object step = globals("TIME_STEP");
    py::object seconds = steal(PyNumber_FloorDivide(step.ptr(), py::int_(1000).ptr()));
    py::object dfield = globals("get_kline_dfield_from_seconds")(seconds);
    py::list codes;
    py::object securities = getattr(self, N().securities);
    for (py::handle sec : securities) codes.append(getattr(sec, N().code));
    py::object sub = globals("SubType");
    py::list types;
    types.append(getattr(sub, dfield.ptr()));
    types.append(sub.attr("QUOTE"));
    types.append(sub.attr("ORDER_BOOK"));
    py::object reply = getattr(self, N().quote_ctx)
                           .attr("subscribe")(codes, types, py::arg("subscribe_push") = true);
    py::object out[2];
    unpack(reply, out, 2);
    if (eq(out[0], globals("RET_OK"))) {
        globals.print(Text() << "Successfully subscribed " << dfield << ", QUOTE, and ORDER_BOOK for "
                     << securities);
        return py::none();
    }
    raise(PyExc_ValueError, Text() << "Subscription Error: " << out[1]);
}

py::object get_trade_mode(py::handle self) { return getattr(self, N().trade_mode_); }

py::object set_trade_mode(py::handle self, py::handle mode) {
    if (!eq(mode, trade_mode_member("SIMULATE")) && !eq(mode, trade_mode_member("LIVETRADE")))
        raise(PyExc_ValueError, Text() << "FutuAdapter only supports `SIMULATE` or `LIVETRADE` mode, "
                                       << mode << " was passed in instead.");
    setattr(self, N().trade_mode_, mode);
    setattr(self, N().futu_trd_env, globals("convert_trade_mode_kv2futu")(mode));
    return py::none();
}

py::object crypto_set_trade_mode(py::handle self, py::handle mode) {
    if (!eq(mode, trade_mode_member("LIVETRADE")))
        raise(PyExc_ValueError,
              Text() << "FutuCryptoGateway only supports `LIVETRADE` mode (Futu crypto has no "
                        "paper trading); got "
                     << mode << ".");
    setattr(self, N().trade_mode_, mode);
    setattr(self, N().futu_trd_env, globals("TrdEnv").attr("REAL"));
    return py::none();
}

// Closes the quote context, then the trade context. Each is closed even when the one before
// failed; the first failure is raised once both were tried.
py::object close(py::handle self) {
    py::object first;  // the first error, as (type, value, traceback)
    PyObject *t = nullptr, *v = nullptr, *tb = nullptr;
    for (PyObject* name : {N().quote_ctx, N().trd_ctx}) {
        PyObject* ctx = PyObject_GetAttr(self.ptr(), name);
        PyObject* r = ctx ? PyObject_CallMethodNoArgs(ctx, N().close_method) : nullptr;
        Py_XDECREF(ctx);
        if (r) {
            Py_DECREF(r);
            continue;
        }
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {  // KeyboardInterrupt and the like
            Py_XDECREF(t);
            Py_XDECREF(v);
            Py_XDECREF(tb);
            throw py::error_already_set();
        }
        if (t) {
            PyErr_Clear();
        } else {
            PyErr_Fetch(&t, &v, &tb);
        }
    }
    if (t) {
        PyErr_Restore(t, v, tb);
        throw py::error_already_set();
    }
    return py::none();
}

py::object make_property(py::object fget, py::object fset = py::none()) {
    return py::module_::import("builtins").attr("property")(fget, fset);
}

std::vector<Param> init_params(py::object fees_default) {
    return {{"self"}, {"securities"}, {"gateway_name"}, {"start", py::none()},
            {"end", py::none()}, {"fees", std::move(fees_default)}, var_kw()};
}

}  // namespace

void add_lifecycle(py::module_& m, PyClassBuilder& b) {
    g_module_name = py::object(m.attr("__name__")).release().ptr();
    for (auto& kind : g_handlers) {
        HandlerKind* k = &kind;
        kind.on_recv_rsp =
            method(m, kind.cls, "on_recv_rsp", {{"self"}, {"rsp_str"}}, false,
                       [k](const Bound& a) { return on_recv_rsp(*k, a[0], a[1]); })
                .release()
                .ptr();
    }

    b.def("__init__", init_params(m.attr("BaseFees")), false, [](const Bound& a) {
        check_gateway_args(a[1], a[2]);
        base_init(a[0], a[1], a[2], &a.kwargs());
        connect_all(a[0], a, "FUTU", "OpenSecTradeContext");
        return py::none();
    });
    b.def("close", {{"self"}}, false, [](const Bound& a) { return close(a[0]); });
    b.def("connect_quote", {{"self"}}, false,
          [](const Bound& a) { return connect_quote(a[0]); },
          "Price subscription, including Quote and Orderbook");
    b.def("connect_trade", {{"self"}}, false,
          [](const Bound& a) { return connect_trade(a[0]); },
          "Trade subscription, including Order and Deal");
    b.def("subscribe", {{"self"}}, false, [](const Bound& a) { return subscribe(a[0]); });
    b.def("unsubscribe", {{"self"}}, false, [](const Bound&) { return py::none(); });

    py::object fget = method(m, "FutuAdapter", "trade_mode", {{"self"}}, false,
                                 [](const Bound& a) { return get_trade_mode(a[0]); });
    py::object fset = method(m, "FutuAdapter", "trade_mode", {{"self"}, {"trade_mode"}}, false,
                                 [](const Bound& a) { return set_trade_mode(a[0], a[1]); });
    b.attr("trade_mode", make_property(fget, fset));
    py::object now = method(m, "FutuAdapter", "market_datetime", {{"self"}}, false,
                                [](const Bound&) { return globals.now(); });
    b.attr("market_datetime", make_property(now));
}

void add_futures_gateway(py::module_& m, PyClassBuilder& b) {
    // The futures gateway passes no keyword options to the base initialisation.
    b.def("__init__", init_params(m.attr("BaseFees")), false, [](const Bound& a) {
        check_gateway_args(a[1], a[2]);
        base_init(a[0], a[1], a[2], nullptr);
        connect_all(a[0], a, "FUTUFUTURES", "OpenFutureTradeContext");
        return py::none();
    });
}

void add_crypto_lifecycle(py::module_& m, PyClassBuilder& b) {
    b.def("__init__", init_params(m.attr("FutuFeesCrypto")), false, [](const Bound& a) {
        check_gateway_args(a[1], a[2]);
        if (globals("FUTUCRYPTO").is_none())
            raise(PyExc_ValueError,
                      "GATEWAYS['Futucrypto'] is missing; add FUTUCRYPTO_GATEWAY to "
                      "kavrel_trader_config.");
        base_init(a[0], a[1], a[2], &a.kwargs());
        connect_all(a[0], a, "FUTUCRYPTO", "OpenCryptoTradeContext");
        return py::none();
    });
    py::object fget = method(m, "FutuCryptoGateway", "trade_mode", {{"self"}}, false,
                                 [](const Bound& a) { return get_trade_mode(a[0]); });
    py::object fset =
        method(m, "FutuCryptoGateway", "trade_mode", {{"self"}, {"trade_mode"}}, false,
                   [](const Bound& a) { return crypto_set_trade_mode(a[0], a[1]); });
    b.attr("trade_mode", make_property(fget, fset));
}

}  // namespace futu_adapter
}  // namespace kv
