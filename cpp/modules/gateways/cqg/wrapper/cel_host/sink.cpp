// The event sinks: CELSinkBase, one empty handler per CEL event, and SinkInternal, which
// turns CEL's start-up report (started, or a data error) into the host's events.
//
// CEL's event source calls a sink method by the event's name with the event's arguments,
// so the handlers' names and parameter names are the interface. They come from one table;
// six names that break their neighbours' pattern (OnTonstant..., OnTondition...,
// OnTustom...) are the names applications override and are kept as they are.
#include <array>
#include <vector>

#include "common.hpp"

namespace kv {
namespace cel_host {
namespace {

struct Handler {
    const char* name;
    std::array<const char*, 5> params;  // after self; unused entries are null
};

// The handlers in the order the class defines them.
const Handler kHandlers[] = {
    {"OnLineTimeChanged", {"newLineTime"}},
    {"OnGWConnectionStatusChanged", {"newStatus"}},
    {"OnDataConnectionStatusChanged", {"newStatus"}},
    {"OnInstrumentSubscribed", {"symbol", "cqgInstrument"}},
    {"OnInstrumentChanged", {"cqgInstrument", "cqgQuotes", "cqgInstrumentProperties"}},
    {"OnInstrumentDOMChanged", {"cqgInstrument", "prevAsks", "prevBids"}},
    {"OnAccountChanged", {"changeType", "cqgAccount", "cqgPosition"}},
    {"OnIsReady", {"readyStatus"}},
    {"OnIdle", {}},
    {"OnDataError", {"cqgError", "errorDescription"}},
    {"OnCELStarted", {}},
    {"OnIncorrectSymbol", {"symbol"}},
    {"OnCommodityInstrumentsResolved", {"commodityName", "instrumentTypes", "cqgCommodityInstruments"}},
    {"OnGWEnvironmentChanged", {"eventCode", "accountId", "phase"}},
    {"OnCurrencyRatesChanged", {"cqgCurrencyRates"}},
    {"OnQueryProgress", {"cqgOrdersQuery", "cqgError"}},
    {"OnOrderChanged", {"changeType", "cqgOrder", "oldProperties", "cqgFill", "cqgError"}},
    {"OnDataSourcesResolved", {"cqgDataSources", "cqgError"}},
    {"OnDataSourceSymbolsResolved", {"dataSourceAbbreviation", "cqgDataSourceSymbols", "cqgError"}},
    {"OnCustomSessionsResolved", {"cqgSessionsCollection", "cqgError"}},
    {"OnTradableCommoditiesResolved", {"gwAccountId", "cqgCommodities", "cqgError"}},
    {"OnTicksResolved", {"cqgTicks", "cqgError"}},
    {"OnTicksAdded", {"cqgTicks", "added_ticks_count"}},
    {"OnTicksRemoved", {"cqgTicks", "removedTickIndex"}},
    {"OnTimedBarsResolved", {"cqgTimedBars", "cqgError"}},
    {"OnTimedBarsAdded", {"cqgTimedBars"}},
    {"OnTimedBarsUpdated", {"cqgTimedBars", "index"}},
    {"OnConstantVolumeBarsResolved", {"cqgConstantVolumeBars", "cqgError"}},
    {"OnConstantVolumeBarsAdded", {"cqgConstantVolumeBars"}},
    {"OnConstantVolumeBarsUpdated", {"cqgConstantVolumeBars", "index"}},
    {"OnPointAndFigureBarsResolved", {"cqgPointAndFigureBars", "cqgError"}},
    {"OnPointAndFigureBarsAdded", {"cqgPointAndFigureBars"}},
    {"OnPointAndFigureBarsUpdated", {"cqgPointAndFigureBars", "index"}},
    {"OnYieldsResolved", {"cqgYields", "cqgError"}},
    {"OnYieldsAdded", {"cqgYields"}},
    {"OnYieldsUpdated", {"cqgYields", "index"}},
    {"OnTFlowBarsResolved", {"cqgTFlowBars", "cqgError"}},
    {"OnTFlowBarsAdded", {"cqgTFlowBars"}},
    {"OnTFlowBarsUpdated", {"cqgTFlowBars", "index"}},
    {"OnCustomStudyDefinitionsResolved", {"cqgCustomStudyDefinitions", "cqgError"}},
    {"OnTradingSystemDefinitionsResolved", {"cqgCustomStudyDefinitions", "cqgError"}},
    {"OnConditionDefinitionsResolved", {"cqgConditionDefinitions", "cqgError"}},
    {"OnQFormulaDefinitionsResolved", {"cqgQFormulaDefinitions", "cqgError"}},
    {"OnCustomStudyResolved", {"cqgCustomStudy", "cqgError"}},
    {"OnCustomStudyAdded", {"cqgCustomStudy"}},
    {"OnCustomStudyUpdated", {"cqgCustomStudy", "index"}},
    {"OnConditionResolved", {"cqgCondition", "cqgError"}},
    {"OnConditionAdded", {"cqgCondition"}},
    {"OnConditionUpdated", {"cqgCondition", "index"}},
    {"OnTradingSystemResolved", {"cqgTradingSystem", "cqgError"}},
    {"OnTradingSystemAddNotification", {"cqgTradingSystem", "cqgTradingSystemAddInfo"}},
    {"OnTradingSystemUpdateNotification", {"cqgTradingSystem", "cqgTradingSystemUpdateInfo"}},
    {"OnExpressionResolved", {"cqgExpression", "cqgError"}},
    {"OnExpressionAdded", {"cqgExpression"}},
    {"OnExpressionUpdated", {"cqgExpression", "index"}},
    {"OnAlgorithmicOrderRegistrationComplete", {"guid", "cqgError"}},
    {"OnAlgorithmicOrderPlaced", {"guid", "mainParams", "customProps"}},
    {"OnTimedBarsInserted", {"cqgTimedBars", "index"}},
    {"OnTimedBarsRemoved", {"cqgTimedBars", "index"}},
    {"OnTonstantVolumeBarsInserted", {"cqgConstantVolumeBars", "index"}},
    {"OnTonstantVolumeBarsRemoved", {"cqgConstantVolumeBars", "index"}},
    {"OnPointAndFigureBarsInserted", {"cqgPointAndFigureBars", "index"}},
    {"OnPointAndFigureBarsRemoved", {"cqgPointAndFigureBars", "index"}},
    {"OnYieldsInserted", {"cqgYields", "index"}},
    {"OnYieldsRemoved", {"cqgYields", "index"}},
    {"OnTFlowBarsInserted", {"cqgTFlowBars", "index"}},
    {"OnTFlowBarsRemoved", {"cqgTFlowBars", "index"}},
    {"OnExpressionInserted", {"cqgExpression", "index"}},
    {"OnExpressionRemoved", {"cqgExpression", "index"}},
    {"OnTonditionInserted", {"cqgCondition", "index"}},
    {"OnTonditionRemoved", {"cqgCondition", "index"}},
    {"OnTustomStudyInserted", {"cqgCustomStudy", "index"}},
    {"OnTustomStudyRemoved", {"cqgCustomStudy", "index"}},
    {"OnICConnectionStatusChanged", {"newStatus"}},
    {"OnAllOrdersCanceled", {"orderSide", "gwAccountIds", "instrumentNames"}},
    {"OnInstrumentsGroupResolved", {"cqgInstrumentsGroup", "cqgError"}},
    {"OnInstrumentsGroupChanged", {"changeType", "cqgInstrumentsGroup", "instrumentsNames"}},
    {"OnBarsTimestampsResolved", {"cqgBarsTimestamps", "cqgError"}},
    {"OnStrategyDefinitionProgress", {"cqgDefinition", "cqgError"}},
    {"OnTradingSystemInsertNotification", {"cqgTradingSystem", "cqgTradingSystemInsertInfo"}},
    {"OnTradingSystemRemoveNotification", {"cqgTradingSystem", "cqgTradingSystemRemoveInfo"}},
    {"OnTradingSystemTradeRelationAddNotification", {"cqgTradingSystem", "cqgTradingSystemRelationAddInfo"}},
    {"OnTradableExchangesResolved", {"gwAccountId", "cqgExchanges", "cqgError"}},
    {"OnHistoricalSessionsResolved", {"cqgHistoricalSessions", "cqgHistoricalSessionsRequest", "cqgError"}},
    {"OnSummariesStatementResolved", {"cqgSummariesStatement", "cqgError"}},
    {"OnPositionsStatementResolved", {"cqgPositionsStatement", "cqgError"}},
    {"OnManualFillUpdateResolved", {"cqgManualFillRequest", "cqgError"}},
    {"OnManualFillsResolved", {"cqgManualFills", "cqgError"}},
    {"OnManualFillChanged", {"cqgManualFill", "modifyType"}},
    {"OnAuthenticationStatusChanged", {"newStatus", "cqgError"}},
    {"OnPasswordChanged", {"requestStatus", "cqgError"}},
    {"OnAdvancedStudyDefinitionsResolved", {"cqgAdvancedStudyDefinitions", "cqgError"}},
    {"OnAdvancedStudyResolved", {"cqgAdvancedStudy", "cqgError"}},
    {"OnAdvancedStudyAdded", {"cqgAdvancedStudy"}},
    {"OnAdvancedStudyUpdated", {"cqgAdvancedStudy", "index"}},
    {"OnAdvancedStudyInserted", {"cqgAdvancedStudy", "index"}},
    {"OnAdvancedStudyRemoved", {"cqgAdvancedStudy", "index"}},
    {"OnSubMinuteBarsResolved", {"cqgSubminuteBars", "cqgError"}},
    {"OnSubMinuteBarsAdded", {"cqgSubminuteBars"}},
    {"OnSubMinuteBarsUpdated", {"cqgSubminuteBars", "index"}},
    {"OnSubMinuteBarsInserted", {"cqgSubminuteBars", "index"}},
    {"OnSubMinuteBarsRemoved", {"cqgSubminuteBars", "index"}},
    {"OnInstrumentResolved", {"symbol", "cqgInstrument", "cqgError"}},
    {"OnStrategyQuoteRequestResolved", {"cqgRFQ", "isProcessed", "cqgError"}},
};
static_assert(sizeof(kHandlers) / sizeof(kHandlers[0]) == 104, "one handler per CEL event");

// SinkInternal.OnDataError: trace the error object's code and description when there is
// one, then mark the host's run as failed and release a waiting start-up.
py::object on_data_error(const Bound& a) {
    py::handle self = a[0], cqg_error = a[1];
    if (!cqg_error.is_none()) {
        py::object error = globals("win32com").attr("client").attr("Dispatch")(cqg_error);
        py::object code = error.attr("Code");
        py::object description = error.attr("Description");
        globals("Trace")(py::str("SinkInternal: OnDataError: Code: {} Description: {}")
                           .attr("format")(code, description));
    }
    self.attr("celHost").attr("SetError")();
    self.attr("eventCELStarted").attr("set")();
    return py::none();
}

}  // namespace

void define_sinks(py::module_& m) {
    PyClassBuilder base(m, "CELSinkBase");
    for (const Handler& h : kHandlers) {
        std::vector<Param> params{"self"};
        for (const char* p : h.params)
            if (p) params.emplace_back(p);
        base.def(h.name, std::move(params), false, [](const Bound&) { return py::none(); });
    }
    py::object sink_base = base.build(py::tuple());

    PyClassBuilder internal(m, "SinkInternal");
    internal.def("__init__", {"self"}, false, [](const Bound&) {
        trace("Internal sink ctor");
        return py::none();
    });
    internal.def("Init", {"self", "eventCELStarted", "celHost"}, false, [](const Bound& a) {
        a[0].attr("eventCELStarted") = a[1];
        a[0].attr("celHost") = a[2];
        return py::none();
    });
    internal.def("OnCELStarted", {"self"}, false, [](const Bound& a) {
        trace("SinkInternal: CELStarted!");
        a[0].attr("eventCELStarted").attr("set")();
        return py::none();
    });
    internal.def("OnDataError", {"self", "cqgError", "errorDescription"}, false, &on_data_error);
    internal.build(py::make_tuple(sink_base));
}

}  // namespace cel_host
}  // namespace kv
