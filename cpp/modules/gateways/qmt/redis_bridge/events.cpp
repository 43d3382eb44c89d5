// The event subscriber of QmtRedisBridge: start_events, stop_events and the event thread.
//
// Each subscription owns its stop flag (a threading.Event, also the object's
// `_stop_events` while it is the current one) and its pub/sub handle. Only the thread of a
// subscription reads or closes that handle: redis-py (5 and later) closing a handle while
// another thread reads it can reconnect and re-subscribe the connection and hand it back
// to the client's pool still subscribed. So stop_events sets the flag and lets the thread
// close the handle on its way out; the thread reads in short slices so that happens
// within a fraction of a second. When the thread does not end within the join time (a
// slow handler), stop_events closes the handle itself unless the thread is inside a read,
// in which case the thread closes it as soon as the read returns. A thread whose flag is
// set delivers nothing more, so at most one thread ever delivers events.
//
// Subscribe confirmations are read, not dropped: each one is the moment the server has the
// subscription, from which on nothing published is missed. After it the events the agent
// logged since the last one delivered are read from its event log and delivered first
// (event_log.cpp); after a re-subscription (the connection was lost and redis-py
// subscribed again) the owner's `recovered` callback follows.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "bridge.hpp"


namespace kv {
namespace redis_bridge {
namespace {

constexpr double kWaitSeconds = 1.0;     // wait for the next message per loop turn
constexpr double kSliceSeconds = 0.1;    // ... read in slices of this length
constexpr double kRetrySeconds = 0.5;    // pause after a failed read
constexpr double kJoinSeconds = 2.0;     // stop_events waits this long for the thread

// One subscription. Its flags are read and written with the GIL held and without a
// Python call in between, so the event thread and the controlling thread see them
// consistently.
struct Subscription {
    py::object stop;    // threading.Event
    py::object pubsub;  // the redis-py pub/sub handle
    py::object thread;  // its event thread, once started
    py::object baseline;    // the newest logged event at the first subscription
    int subscriptions = 0;  // subscribe confirmations read (more than one: re-subscribed)
    bool reading = false;
    bool closed = false;

    void close_handle() {
        if (closed) return;
        closed = true;
        ignoring_errors([&] { call_method(pubsub, N().close); });
    }
    bool stopped() const { return truthy(parked_call(getattr(stop, N().is_set), py::tuple())); }
};

using SubPtr = std::shared_ptr<Subscription>;

// Subscriptions whose threads were started, so that they can be stopped before the
// interpreter shuts down (see stop_all_at_exit).
std::vector<std::weak_ptr<Subscription>>& live_subscriptions() {
    static auto* subs = new std::vector<std::weak_ptr<Subscription>>();
    return *subs;
}

// Registered with atexit: stops every subscriber still running and gives the threads up
// to the join time, in all, to end. An event thread still running when the interpreter
// finalizes is ended by the runtime in the middle of its work.
py::object stop_all_at_exit(const Bound&) {
    auto& subs = live_subscriptions();
    std::vector<SubPtr> running;
    for (auto& w : subs)
        if (SubPtr s = w.lock()) running.push_back(s);
    subs.clear();
    for (auto& s : running) ignoring_errors([&] { call_method(s->stop, N().set); });
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(kJoinSeconds);
    for (auto& s : running) {
        double left = std::chrono::duration<double>(deadline - clock::now()).count();
        if (left <= 0) break;
        ignoring_errors([&] { call_method(s->thread, N().join, py::float_(left)); });
    }
    return py::none();
}

// The next pub/sub message within kWaitSeconds, None when there is none or the
// subscription was stopped meanwhile; a read error propagates.
py::object next_message(Subscription& sub) {
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(kWaitSeconds);
    py::object get_message = getattr(sub.pubsub, N().get_message);
    while (true) {
        double left = std::chrono::duration<double>(deadline - clock::now()).count();
        py::object msg;
        sub.reading = true;
        py::dict kw;
        kw["timeout"] = left < kSliceSeconds ? left : kSliceSeconds;
        on_failure([&] { msg = parked_call(get_message, py::tuple(), kw); },
                   [&] { sub.reading = false; });
        sub.reading = false;
        if (!msg.is_none() || clock::now() >= deadline || sub.stopped()) return msg;
    }
}

// The kind of a pub/sub message ("message", "subscribe", ...), or null.
py::object kind_of(const py::object& msg) {
    py::object kind;
    ignoring_errors([&] { kind = getattr(msg, N().get)(N().type); });
    return kind;
}

// The decoded data of a published message, or null when it cannot be decoded.
py::object decode_event(const py::object& msg) {
    const Names& n = N();
    py::object decoded;
    ignoring_errors([&] { decoded = call_method(globals("json"), n.loads, getattr(msg, n.get)(n.data)); });
    return decoded;
}

void report(const char* what, py::error_already_set& e) {
    ignoring_errors([&] { globals.print(Text() << what << str_of(e.value())); });
}

// Hands one event to the handler (read anew each time); false when the subscription was
// stopped: it delivers nothing more.
bool deliver(py::handle self, Subscription& sub, const py::object& event) {
    if (sub.stopped()) return false;
    py::object handler = getattr_or(self, N().event_handler, py::none());
    if (handler.is_none()) return true;
    try {
        parked_call(handler, py::make_tuple(event));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report("[QmtRedisBridge] event handler error: ", e);
    }
    return true;
}

// After a subscribe confirmation: the events logged after the last one delivered come
// first (on a first subscription without one there is nothing to catch up on: the log's
// newest entry is only noted), then, when this was a re-subscription, the recovery
// callback, so its owner can settle what the events could not tell.
void on_subscribed(py::handle self, Subscription& sub) {
    ++sub.subscriptions;
    py::object last = getattr_or(self, N().last_seq, py::none());
    if (sub.subscriptions == 1 && last.is_none()) {
        sub.baseline = newest_logged(self);
        return;
    }
    py::object after = !last.is_none() ? last : sub.baseline ? sub.baseline : py::str("0-0");
    try {
        if (!replay_logged(self, after,
                           [&](const py::object& event) { return deliver(self, sub, event); }))
            return;
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report("[QmtRedisBridge] event log replay failed: ", e);
        return;
    }
    if (sub.subscriptions == 1 || sub.stopped()) return;
    py::object recovered = getattr_or(self, N().recovered_handler, py::none());
    if (recovered.is_none()) return;
    try {
        parked_call(recovered, py::tuple());
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        report("[QmtRedisBridge] recovery handler error: ", e);
    }
}

void event_loop(py::handle self, Subscription& sub) {
    on_failure([&] {
        while (!sub.stopped()) {
            py::object msg;
            try {
                msg = next_message(sub);
            } catch (py::error_already_set& e) {
                if (!e.matches(PyExc_Exception)) throw;
                // A pause that a stop cuts short.
                parked_call(getattr(sub.stop, N().wait), py::make_tuple(kRetrySeconds));
                continue;
            }
            if (msg.is_none()) continue;
            py::object kind = kind_of(msg);
            if (!kind) continue;
            if (eq(kind, N().subscribe)) {
                on_subscribed(self, sub);
                continue;
            }
            if (!eq(kind, N().message)) continue;
            py::object event = decode_event(msg);
            if (!event) continue;
            if (sub.stopped()) break;  // a stopped subscription delivers nothing more
            if (!take_in_order(self, event)) continue;  // delivered before
            if (!deliver(self, sub, event)) break;
        }
    }, [&] { sub.close_handle(); });
    sub.close_handle();
}

// The Subscription kept in the object's `_event_subscription` capsule, or null.
SubPtr subscription_of(py::handle capsule) {
    if (capsule.is_none() || !PyCapsule_CheckExact(capsule.ptr())) return nullptr;
    auto* p = static_cast<SubPtr*>(PyCapsule_GetPointer(capsule.ptr(), nullptr));
    if (!p) throw py::error_already_set();
    return *p;
}

py::object stop_events(const Bound& a) {
    const Names& n = N();
    py::handle self = a[0];
    py::object stop = getattr_or(self, n.stop_events, py::none());
    if (!stop.is_none()) call_method(stop, n.set);
    SubPtr sub = subscription_of(getattr_or(self, n.subscription, py::none()));
    if (sub && !sub->stop.is(stop)) call_method(sub->stop, n.set);

    py::object pubsub = getattr_or(self, n.pubsub, py::none());
    setattr(self, n.pubsub, py::none());
    setattr(self, n.subscription, py::none());

    // A handler may stop its own subscriber: the event thread then ends after the handler
    // returns, and there is nothing to wait for.
    py::object thread = getattr_or(self, n.event_thread, py::none());
    if (!thread.is_none() && truthy(call_method(thread, n.is_alive)) &&
        !thread.is(call_method(globals("threading"), n.current_thread)))
        call_method(thread, n.join, py::float_(kJoinSeconds));

    // The thread closes its own handle as it ends; close it here when it has not, unless
    // the thread is inside a read of it right now (then it closes it when the read returns).
    if (sub && !sub->reading) sub->close_handle();
    if (!pubsub.is_none() && !(sub && sub->pubsub.is(pubsub)))
        ignoring_errors([&] { call_method(pubsub, n.close); });

    setattr(self, n.event_thread, py::none());
    setattr(self, n.event_handler, py::none());
    setattr(self, n.recovered_handler, py::none());
    return py::none();
}

py::object start_events(const std::string& module_name, const Bound& a) {
    const Names& n = N();
    py::handle self = a[0];
    py::object handler = arg(a, 1);
    if (!handler.is_none() && !PyCallable_Check(handler.ptr()))
        raise_arg_type("handler", "EventHandler", handler);
    py::object recovered = arg(a, 2);
    if (!recovered.is_none() && !PyCallable_Check(recovered.ptr()))
        raise_arg_type("recovered", "Callable", recovered);

    call_method(self, n.stop_events_method);
    setattr(self, n.event_handler, handler);
    setattr(self, n.recovered_handler, recovered);
    py::object stop = call_method(globals("threading"), n.event);
    setattr(self, n.stop_events, stop);

    py::object pubsub =
        getattr(getattr(self, n.r), n.pubsub_method)(py::arg("ignore_subscribe_messages") = false);
    setattr(self, n.pubsub, pubsub);
    on_failure([&] { call_method(pubsub, n.subscribe, getattr(self, n.events_channel)); },
               [&] {
                   setattr(self, n.pubsub, py::none());
                   ignoring_errors([&] { call_method(pubsub, n.close); });
               });

    auto sub = std::make_shared<Subscription>();
    sub->stop = stop;
    sub->pubsub = pubsub;
    py::capsule keep(new SubPtr(sub), [](void* p) { delete static_cast<SubPtr*>(p); });
    setattr(self, n.subscription, keep);

    py::object owner = py::reinterpret_borrow<py::object>(self);
    py::object target = detail::make_function(
        module_name, "_event_loop", "QmtRedisBridge._event_loop",
        {}, false,
        [owner, sub](const Bound&) {
            event_loop(owner, *sub);
            return py::object(py::none());
        },
        nullptr);
    py::object thread = globals("threading").attr("Thread")(
        py::arg("target") = target, py::arg("name") = "qmt-redis-events",
        py::arg("daemon") = true);
    setattr(self, n.event_thread, thread);
    on_failure([&] { call_method(thread, n.start); },
               [&] {
                   sub->close_handle();
                   setattr(self, n.pubsub, py::none());
                   setattr(self, n.event_thread, py::none());
                   setattr(self, n.subscription, py::none());
               });
    sub->thread = thread;
    auto& subs = live_subscriptions();
    subs.erase(std::remove_if(subs.begin(), subs.end(),
                              [](const std::weak_ptr<Subscription>& w) { return w.expired(); }),
               subs.end());
    subs.push_back(sub);
    return py::none();
}

}  // namespace

void add_event_methods(py::module_& m, PyClassBuilder& cls) {
    std::string module_name = m.attr("__name__").cast<std::string>();
    py::module_::import("atexit").attr("register")(detail::make_function(
        module_name, "_stop_subscribers", "_stop_subscribers", {}, false, &stop_all_at_exit,
        nullptr));
    cls.def("start_events", {{"self"}, {"handler"}, {"recovered", py::none()}}, false,
            [module_name](const Bound& a) { return start_events(module_name, a); },
            "Subscribe to the bridge's events and call `handler` with each decoded event on "
            "the daemon thread \"qmt-redis-events\". A running subscriber is stopped first. "
            "Numbered events are delivered once, in order; after a re-subscription the "
            "events logged meanwhile come first, then `recovered()` is called.");
    cls.def("stop_events", {{"self"}}, false, &stop_events,
            "Stop the event subscriber (waits up to 2 s for its thread).");
}

}  // namespace redis_bridge
}  // namespace kv
