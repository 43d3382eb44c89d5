// The four conversions between the framework's vocabulary and the SDK's: direction to trade
// side, trade mode to trading environment, SDK order status to framework order status, and
// a Hong Kong futures main-contract code to the dated contract's code.
#include "futu_adapter.hpp"

namespace kv {
namespace futu_adapter {
namespace {

py::object convert_direction(py::handle direction) {
    py::object d = globals("Direction");
    if (eq(direction, d.attr("SHORT"))) return globals("TrdSide").attr("SELL");
    if (eq(direction, d.attr("LONG"))) return globals("TrdSide").attr("BUY");
    raise(PyExc_ValueError, Text() << "Direction " << direction << " is not supported.");
}

py::object convert_trade_mode(py::handle trade_mode) {
    if (eq(trade_mode, trade_mode_member("SIMULATE"))) return globals("TrdEnv").attr("SIMULATE");
    if (eq(trade_mode, trade_mode_member("LIVETRADE"))) return globals("TrdEnv").attr("REAL");
    raise(PyExc_ValueError, Text() << "TradeMode " << trade_mode << " is not supported.");
}

// SDK statuses in the order they are tested, each group with its framework status.
struct StatusGroup {
    const char* members[6];
    const char* result;
};
const StatusGroup kStatusGroups[] = {
    {{"NONE", "UNSUBMITTED", "WAITING_SUBMIT", "SUBMITTING", "DISABLED", "DELETED"}, "UNKNOWN"},
    {{"SUBMITTED"}, "SUBMITTED"},
    {{"FILLED_ALL"}, "FILLED"},
    {{"FILLED_PART"}, "PART_FILLED"},
    {{"CANCELLED_ALL", "CANCELLED_PART", "CANCELLING_PART"}, "CANCELLED"},
    {{"SUBMIT_FAILED", "TIMEOUT", "FAILED"}, "FAILED"},
};

py::object convert_orderstatus(py::handle status) {
    py::object sdk = globals("OrderStatus");
    for (const auto& g : kStatusGroups)
        for (const char* member : g.members) {
            if (!member) break;
            if (eq(status, sdk.attr(member))) return globals("KVOrderStatus").attr(g.result);
        }
    raise(PyExc_ValueError, Text() << "Order status " << status << " is not recognized.");
}

py::object hk_futures_code(py::handle security) {
    py::object code = getattr(security, N().code);
    py::object expiry = getattr(security, N().expiry_date);
    py::object cut = steal(PySlice_New(py::int_(2).ptr(), py::int_(6).ptr(), nullptr));
    py::object piece = getitem(expiry, cut);  // expiry_date[2:6]
    py::object result = call_method(code, N().replace, N().main, piece);
    if (!PyUnicode_Check(result.ptr()))
        raise(PyExc_TypeError, Text() << "Expected str, got " << py::str(type_name(result)));
    return result;
}

}  // namespace

void add_conversions(py::module_& m) {
    def(m, "convert_direction_kv2futu", {{"direction"}},
            [](const Bound& a) { return convert_direction(a[0]); },
            "Convert KV direction to Futu");
    def(m, "convert_trade_mode_kv2futu", {{"trade_mode"}},
            [](const Bound& a) { return convert_trade_mode(a[0]); },
            "Convert trade mode to Futu");
    def(m, "convert_orderstatus_futu2kv", {{"status"}},
            [](const Bound& a) { return convert_orderstatus(a[0]); });
    def(m, "get_hk_futures_code", {{"security"}},
            [](const Bound& a) { return hk_futures_code(a[0]); },
            "Use security code and expiry date to determine exact futures code");
}

}  // namespace futu_adapter
}  // namespace kv
