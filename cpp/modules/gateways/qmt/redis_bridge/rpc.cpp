// QmtRedisBridge.call and ping: one request/reply exchange over Redis.
//
// A call deletes a stale reply list of its id, pushes the request and blocks on its reply
// list. With a redis-py client drawing connections from its pool, the three commands share
// one pooled connection: DEL and RPUSH go out together, then BRPOP, whose read time-out is
// raised for that read by the blocking time, so a wait longer than the client's socket
// read time-out is honoured and ends with this module's time-out error rather than the
// client's (a client retrying a timed-out BRPOP could also drop a reply that arrives
// meanwhile). Any other client object is driven through its delete/rpush/brpop methods.
//
// On a time-out the request is withdrawn from the request list when the agent has not
// taken it yet; the raised TimeoutError says which in its `withdrawn` attribute, so a
// caller knows whether the operation may still run. Any other error raised after the
// request went out (a connection lost while waiting) carries `withdrawn` the same way.
#include <pybind11/pybind11.h>

#include <string>

#include "bridge.hpp"


namespace kv {
namespace redis_bridge {
namespace {

// The pool's connection: redis-py 5.3 and later take no arguments (and warn on a command
// name); earlier releases require a command name.
py::object acquire(py::handle pool) {
    static PyTypeObject* needs_name = nullptr;  // the pool type last seen to require one
    if (Py_TYPE(pool.ptr()) != needs_name) {
        try {
            return call_method(pool, N().get_connection);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_TypeError) ||
                py::str(e.value()).cast<std::string>().find("command_name") == std::string::npos)
                throw;
            needs_name = Py_TYPE(pool.ptr());
        }
    }
    return call_method(pool, N().get_connection, py::str("BRPOP"));
}

// The pool of a redis-py client that draws a connection per command (not a single-
// connection client), or None for any other client object.
py::object command_pool(py::handle r) {
    const Names& n = N();
    py::object redis_cls = getattr_or(globals("redis"), n.redis_cls, py::none());
    if (redis_cls.is_none() || !PyType_Check(redis_cls.ptr())) return py::none();
    if (!is_instance(r, redis_cls) || !getattr_or(r, n.connection, py::none()).is_none())
        return py::none();
    py::object pool = getattr_or(r, n.connection_pool, py::none());
    if (pool.is_none() || !hasattr(pool, n.get_connection) || !hasattr(pool, n.release))
        return py::none();
    return pool;
}

// The exchange on one pooled connection; the popped element, or None after the wait.
py::object pooled_exchange(py::handle pool, const py::object& key, const py::object& req_key,
                           const py::object& text, const py::object& block, double block_s,
                           bool& sent) {
    py::object conn = acquire(pool);
    py::object popped;
    on_failure([&] {
        py::list cmds;
        cmds.append(py::make_tuple("DEL", key));
        cmds.append(py::make_tuple("RPUSH", req_key, text));
        const Names& n = N();
        call_method(conn, n.send_packed_command, call_method(conn, n.pack_commands, cmds));
        sent = true;
        call_method(conn, n.read_response);
        call_method(conn, n.read_response);
        call_method(conn, n.send_command, py::str("BRPOP"), key, block);

        // The server answers BRPOP after at most `block` seconds: let this read wait that
        // long on top of the connection's own read time-out.
        py::object read_timeout = getattr(conn, n.socket_timeout);
        py::object sock = getattr_or(conn, N().sock, py::none());
        const bool widen = !read_timeout.is_none() && !sock.is_none() &&
                           hasattr(sock, n.settimeout);
        if (widen) call_method(sock, n.settimeout, py::float_(block_s + read_timeout.cast<double>()));
        auto restore = [&] {
            if (widen && getattr_or(conn, N().sock, py::none()).is(sock))
                ignoring_errors([&] { call_method(sock, n.settimeout, read_timeout); });
        };
        py::object read = getattr(conn, n.read_response);
        on_failure([&] { popped = parked_call(read, py::tuple()); }, restore);
        restore();
    }, [&] {
        // A failed or interrupted exchange may leave a reply unread on the connection:
        // drop the connection rather than hand it back to the pool in that state.
        ignoring_errors([&] { call_method(conn, N().disconnect); });
        ignoring_errors([&] { call_method(pool, N().release, conn); });
    });
    call_method(pool, N().release, conn);
    if (popped.is_none()) return popped;
    return py::reinterpret_borrow<py::object>(popped)[py::int_(1)];
}

// The same exchange through the client object's own commands.
py::object client_exchange(py::handle r, const py::object& key, const py::object& req_key,
                           const py::object& text, const py::object& block, bool& sent) {
    const Names& n = N();
    call_method(r, n.delete_, key);
    sent = true;
    call_method(r, n.rpush, req_key, text);
    py::object popped = getattr(r, n.brpop)(key, py::arg("timeout") = block);
    if (popped.is_none()) return popped;
    return popped[py::int_(1)];
}

// Removes the request from the request list if the agent has not taken it; true when it
// was removed. A failure to ask counts as not withdrawn (the request may still run).
bool withdraw(py::handle r, const py::object& req_key, const py::object& text) {
    bool removed = false;
    ignoring_errors([&] {
        removed = truthy(call_method(r, N().lrem, req_key, py::int_(1), text));
    });
    return removed;
}

[[noreturn]] void raise_timeout(const py::object& wait, const py::object& op,
                                const py::object& req_id, bool withdrawn) {
    py::object msg = steal(PyUnicode_FromFormat(
        "QMT Redis RPC timeout after %Ss (op=%S, id=%S). Is the Big QMT bridge agent running?",
        wait.ptr(), op.ptr(), req_id.ptr()));
    py::object exc = steal(PyObject_CallOneArg(PyExc_TimeoutError, msg.ptr()));
    setattr(exc, N().withdrawn, py::bool_(withdrawn));
    PyErr_SetObject(PyExc_TimeoutError, exc.ptr());
    throw py::error_already_set();
}

py::object call(const Bound& a) {
    const Names& n = N();
    py::handle self = a[0];
    py::object op = arg(a, 1);
    check_str(op, "op");
    py::handle params = a[2];
    if (!params.is_none() && !PyDict_Check(params.ptr())) {
        if (!is_instance(params, globals("Mapping"))) raise_arg_type("params", "dict", params);
    }
    if (!a[3].is_none()) to_double_arg(a[3], "timeout");

    py::object req_id = getattr(call_method(globals("uuid"), n.uuid4), n.hex);
    py::object body;
    if (!params.is_none() && truthy(params))
        body = PyDict_Check(params.ptr()) ? arg(a, 2) : py::object(py::dict(arg(a, 2)));
    else
        body = py::dict();
    py::dict req;
    req["id"] = req_id;
    req["op"] = op;
    req["params"] = body;
    req["ts"] = call_method(globals("time"), n.time);

    py::object wait = steal(PyNumber_Float(a[3].is_none() ? getattr(self, n.timeout).ptr() : a[3].ptr()));
    // The blocking time in whole seconds, at least one (0.5 s blocks 1 s). Worked out
    // before anything is pushed, so a wait that has no whole-second form leaves no
    // request behind.
    py::object block = steal(PyNumber_Long(wait.ptr()));
    if (PyObject_RichCompareBool(block.ptr(), py::int_(1).ptr(), Py_LT) == 1) block = py::int_(1);
    if (PyErr_Occurred()) throw py::error_already_set();
    const double block_s = PyLong_AsDouble(block.ptr());
    if (block_s == -1.0 && PyErr_Occurred()) throw py::error_already_set();

    py::object text = getattr(globals("json"), n.dumps)(req, py::arg("ensure_ascii") = false);
    py::object key = call_method(self, n.res_key, req_id);
    py::object req_key = getattr(self, n.req_key);
    py::object r = getattr(self, n.r);

    py::object pool = command_pool(r);
    py::object popped;
    bool sent = false;
    try {
        popped = pool.is_none() ? client_exchange(r, key, req_key, text, block, sent)
                                : pooled_exchange(pool, key, req_key, text, block, block_s, sent);
    } catch (py::error_already_set& e) {
        // A failure after the request went out (the connection lost while waiting for the
        // reply): withdraw it if it is still listed, and say which in the error's
        // `withdrawn`, as a time-out does.
        if (!sent || !is_exception(e)) throw;
        const bool withdrawn = withdraw(r, req_key, text);
        ignoring_errors([&] { setattr(e.value(), N().withdrawn, py::bool_(withdrawn)); });
        throw;
    }
    if (popped.is_none()) raise_timeout(wait, op, req_id, withdraw(r, req_key, text));

    py::object reply = call_method(globals("json"), n.loads, popped);
    // A reply that is not a JSON object carries no "ok": it is a failed call.
    const bool is_obj = PyDict_Check(reply.ptr());
    if (!is_obj || !truthy(call_method(reply, n.get, n.ok))) {
        py::object err = is_obj ? call_method(reply, n.get, n.error) : py::none();
        if (truthy(err)) raise(PyExc_RuntimeError, err);
        raise(PyExc_RuntimeError, steal(PyUnicode_FromFormat("RPC op=%S failed", op.ptr())));
    }
    return call_method(reply, n.get, n.data);
}

py::object ping(const Bound& a) {
    py::object data = call_method(a[0], N().call, py::str("ping"));
    if (!data.is_none() && !PyDict_Check(data.ptr()))
        raise(PyExc_TypeError, "ping reply data must be a JSON object or null, got " +
                                   type_name(data));
    return data;
}

}  // namespace

void add_rpc_methods(py::module_&, PyClassBuilder& cls) {
    cls.def("call", {{"self"}, {"op"}, {"params", py::none()}, {"timeout", py::none()}}, false,
            &call,
            "Send one request to the bridge agent and return the reply's data. Raises "
            "TimeoutError when no reply comes within `timeout` seconds (the object's "
            "default when None) and RuntimeError when the agent reports a failure.");
    cls.def("ping", {{"self"}}, false, &ping,
            "call(\"ping\"): the agent's status object (None when it sends none).");
}

}  // namespace redis_bridge
}  // namespace kv
