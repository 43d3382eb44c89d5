// kavrel_trader.gateways.qmt.redis_bridge: the agent's event log and event numbers.
//
// The agent numbers each event with the id of the entry it appends to the Redis stream
// <prefix>:events:log ("seq", the stream id "<ms>-<n>", as the first member of the event)
// before it publishes the same text on the channel. The subscriber remembers the number of
// the last event it delivered (`_last_seq`), drops a live event whose number is not
// greater, and after a (re)subscription reads the log from just after that number, so
// events published while it was not subscribed are delivered, in order, before live ones.
// Events without a number (an older agent) are delivered as they come.
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <string>

#include "py/host_ops.hpp"
#include "bridge.hpp"

namespace kv {
namespace redis_bridge {
namespace {

constexpr int kReplayBatch = 500;  // log entries read per XRANGE

// A stream id "<ms>-<n>" as its pair of integers, compared as such.
struct StreamId {
    std::uint64_t ms = 0, n = 0;
    bool operator<=(const StreamId& o) const { return ms < o.ms || (ms == o.ms && n <= o.n); }
    std::string next() const { return std::to_string(ms) + "-" + std::to_string(n + 1); }
};

bool parse_digits(const std::string& s, std::size_t from, std::size_t to, std::uint64_t& out) {
    if (from >= to || to - from > 19) return false;
    std::uint64_t v = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (s[i] < '0' || s[i] > '9') return false;
        v = v * 10 + static_cast<std::uint64_t>(s[i] - '0');
    }
    out = v;
    return true;
}

bool parse_id(py::handle text, StreamId& out) {
    if (!text || !py::isinstance<py::str>(text)) return false;
    std::string s;
    try {
        s = text.cast<std::string>();
    } catch (py::cast_error&) {  // a text that has no UTF-8 form (lone surrogates)
        return false;
    }
    const std::size_t dash = s.find('-');
    if (dash == std::string::npos) return false;
    return parse_digits(s, 0, dash, out.ms) && parse_digits(s, dash + 1, s.size(), out.n);
}

// The "seq" of a decoded event, or a null object when it carries none that reads as an id.
py::object seq_of(py::handle event, StreamId& id) {
    if (!py::isinstance<py::dict>(event)) return py::object();
    if (!contains(event, N().seq)) return py::object();
    py::object seq = getitem(event, N().seq);
    return parse_id(seq, id) ? seq : py::object();
}

py::object log_key(py::handle self) {
    return getattr(self, N().key_prefix) + py::str(":events:log");
}

}  // namespace

bool take_in_order(py::handle self, py::handle event) {
    StreamId id;
    py::object seq = seq_of(event, id);
    if (!seq) return true;
    StreamId last;
    if (parse_id(getattr_or(self, N().last_seq, py::none()), last) && id <= last) return false;
    setattr(self, N().last_seq, seq);
    return true;
}

py::object newest_logged(py::handle self) {
    py::object newest = py::str("0-0");
    ignoring_errors([&] {
        py::object rows = getattr(self, N().r).attr("xrevrange")(log_key(self), "+", "-",
                                                               py::arg("count") = 1);
        for (py::handle row : rows) newest = getitem(row, py::int_(0));
    });
    return newest;
}

bool replay_logged(py::handle self, py::handle after,
                   const std::function<bool(const py::object&)>& deliver) {
    StreamId from;
    if (!parse_id(after, from)) from = StreamId();
    py::object key = log_key(self);
    while (true) {
        py::object rows = getattr(self, N().r).attr("xrange")(
            key, py::str(from.next()), "+", py::arg("count") = kReplayBatch);
        int seen = 0;
        for (py::handle row : rows) {
            ++seen;
            py::object entry_id = getitem(row, py::int_(0));
            StreamId id;
            if (!parse_id(entry_id, id)) continue;
            from = id;
            StreamId last;
            if (parse_id(getattr_or(self, N().last_seq, py::none()), last) && id <= last) continue;
            setattr(self, N().last_seq, entry_id);
            py::object fields = getitem(row, py::int_(1));
            py::object event;
            ignoring_errors([&] {
                event = globals("json").attr("loads")(getitem(fields, N().event_field));
            });
            if (event && !deliver(event)) return false;
        }
        if (seen < kReplayBatch) return true;
    }
}

}  // namespace redis_bridge
}  // namespace kv
