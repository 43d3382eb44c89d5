// What the order-keeping gateways share: a `with lock:` block, and the events held for an
// order the gateway has not stored yet.
//
// A broker may report on an order (its state, a fill) before the reply to the request that
// placed it reaches the gateway, so the event finds no stored order. Such events are held in
// a list of (time, order reference, event) entries, bounded in count and age (the oldest
// go first), and handed back in arrival order when the order is stored. The event handler's
// check-and-hold and place_order's store-and-take run under one lock, so no event falls
// between them.
#pragma once

#include <pybind11/pybind11.h>

#include <utility>

#include "py/host_ops.hpp"

namespace kv {

// `with lock:` for a threading.Lock or RLock, held for the life of the object. The caller
// waits for it without the GIL (the lock's acquire releases it while blocked).
class WithLock {
public:
    explicit WithLock(py::object lock) : lock_(std::move(lock)) { call_method(lock_, names().acquire); }
    ~WithLock() { ignoring_errors([&] { call_method(lock_, names().release); }); }
    WithLock(const WithLock&) = delete;
    WithLock& operator=(const WithLock&) = delete;

private:
    struct Names {
        Name acquire{"acquire"}, release{"release"};
    };
    static const Names& names() {
        static const Names n;
        return n;
    }
    py::object lock_;
};

// The limits of the held events: at most this many, each at most this many seconds old.
constexpr Py_ssize_t kMaxHeldEvents = 1000;
constexpr double kHeldEventSeconds = 60.0;

// Appends (now, ref, event) to the list `held`, first dropping the entries that are too old
// or one too many; returns how many were dropped (for the caller's log line).
inline Py_ssize_t hold_event(py::handle held, double now, py::handle ref, py::handle event) {
    if (!PyList_Check(held.ptr())) raise(PyExc_TypeError, "the held events must be a list");
    const Py_ssize_t n = PyList_GET_SIZE(held.ptr());
    Py_ssize_t drop = 0;
    while (drop < n) {
        py::object when = getitem(getitem(held, py::int_(drop)), py::int_(0));
        if (now - when.cast<double>() <= kHeldEventSeconds && n - drop < kMaxHeldEvents) break;
        ++drop;
    }
    if (drop && PyList_SetSlice(held.ptr(), 0, drop, nullptr) < 0) throw py::error_already_set();
    py::tuple entry = py::make_tuple(py::float_(now), ref, event);
    if (PyList_Append(held.ptr(), entry.ptr()) < 0) throw py::error_already_set();
    return drop;
}

// Removes the events held for `ref` (by the host's equality) from the list `held` and
// returns them in arrival order.
inline py::list take_held(py::handle held, py::handle ref) {
    if (!PyList_Check(held.ptr())) raise(PyExc_TypeError, "the held events must be a list");
    py::list keep, mine;
    for (py::handle entry : held) {
        if (eq(getitem(entry, py::int_(1)), ref))
            mine.append(getitem(entry, py::int_(2)));
        else
            keep.append(entry);
    }
    if (py::len(mine) && PyList_SetSlice(held.ptr(), 0, PyList_GET_SIZE(held.ptr()), keep.ptr()) < 0)
        throw py::error_already_set();
    return mine;
}

}  // namespace kv
