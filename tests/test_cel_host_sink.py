"""The event sinks: every CEL handler by name and parameters, and the internal start-up sink."""
import threading

import pytest

from fakes.pywin32.harness import cel, trace_lines  # noqa: F401

pytestmark = pytest.mark.timeout(30)

# handler: parameters after self, in the order the class defines them
HANDLERS = """
OnLineTimeChanged newLineTime
OnGWConnectionStatusChanged newStatus
OnDataConnectionStatusChanged newStatus
OnInstrumentSubscribed symbol cqgInstrument
OnInstrumentChanged cqgInstrument cqgQuotes cqgInstrumentProperties
OnInstrumentDOMChanged cqgInstrument prevAsks prevBids
OnAccountChanged changeType cqgAccount cqgPosition
OnIsReady readyStatus
OnIdle
OnDataError cqgError errorDescription
OnCELStarted
OnIncorrectSymbol symbol
OnCommodityInstrumentsResolved commodityName instrumentTypes cqgCommodityInstruments
OnGWEnvironmentChanged eventCode accountId phase
OnCurrencyRatesChanged cqgCurrencyRates
OnQueryProgress cqgOrdersQuery cqgError
OnOrderChanged changeType cqgOrder oldProperties cqgFill cqgError
OnDataSourcesResolved cqgDataSources cqgError
OnDataSourceSymbolsResolved dataSourceAbbreviation cqgDataSourceSymbols cqgError
OnCustomSessionsResolved cqgSessionsCollection cqgError
OnTradableCommoditiesResolved gwAccountId cqgCommodities cqgError
OnTicksResolved cqgTicks cqgError
OnTicksAdded cqgTicks added_ticks_count
OnTicksRemoved cqgTicks removedTickIndex
OnTimedBarsResolved cqgTimedBars cqgError
OnTimedBarsAdded cqgTimedBars
OnTimedBarsUpdated cqgTimedBars index
OnConstantVolumeBarsResolved cqgConstantVolumeBars cqgError
OnConstantVolumeBarsAdded cqgConstantVolumeBars
OnConstantVolumeBarsUpdated cqgConstantVolumeBars index
OnPointAndFigureBarsResolved cqgPointAndFigureBars cqgError
OnPointAndFigureBarsAdded cqgPointAndFigureBars
OnPointAndFigureBarsUpdated cqgPointAndFigureBars index
OnYieldsResolved cqgYields cqgError
OnYieldsAdded cqgYields
OnYieldsUpdated cqgYields index
OnTFlowBarsResolved cqgTFlowBars cqgError
OnTFlowBarsAdded cqgTFlowBars
OnTFlowBarsUpdated cqgTFlowBars index
OnCustomStudyDefinitionsResolved cqgCustomStudyDefinitions cqgError
OnTradingSystemDefinitionsResolved cqgCustomStudyDefinitions cqgError
OnConditionDefinitionsResolved cqgConditionDefinitions cqgError
OnQFormulaDefinitionsResolved cqgQFormulaDefinitions cqgError
OnCustomStudyResolved cqgCustomStudy cqgError
OnCustomStudyAdded cqgCustomStudy
OnCustomStudyUpdated cqgCustomStudy index
OnConditionResolved cqgCondition cqgError
OnConditionAdded cqgCondition
OnConditionUpdated cqgCondition index
OnTradingSystemResolved cqgTradingSystem cqgError
OnTradingSystemAddNotification cqgTradingSystem cqgTradingSystemAddInfo
OnTradingSystemUpdateNotification cqgTradingSystem cqgTradingSystemUpdateInfo
OnExpressionResolved cqgExpression cqgError
OnExpressionAdded cqgExpression
OnExpressionUpdated cqgExpression index
OnAlgorithmicOrderRegistrationComplete guid cqgError
OnAlgorithmicOrderPlaced guid mainParams customProps
OnTimedBarsInserted cqgTimedBars index
OnTimedBarsRemoved cqgTimedBars index
OnTonstantVolumeBarsInserted cqgConstantVolumeBars index
OnTonstantVolumeBarsRemoved cqgConstantVolumeBars index
OnPointAndFigureBarsInserted cqgPointAndFigureBars index
OnPointAndFigureBarsRemoved cqgPointAndFigureBars index
OnYieldsInserted cqgYields index
OnYieldsRemoved cqgYields index
OnTFlowBarsInserted cqgTFlowBars index
OnTFlowBarsRemoved cqgTFlowBars index
OnExpressionInserted cqgExpression index
OnExpressionRemoved cqgExpression index
OnTonditionInserted cqgCondition index
OnTonditionRemoved cqgCondition index
OnTustomStudyInserted cqgCustomStudy index
OnTustomStudyRemoved cqgCustomStudy index
OnICConnectionStatusChanged newStatus
OnAllOrdersCanceled orderSide gwAccountIds instrumentNames
OnInstrumentsGroupResolved cqgInstrumentsGroup cqgError
OnInstrumentsGroupChanged changeType cqgInstrumentsGroup instrumentsNames
OnBarsTimestampsResolved cqgBarsTimestamps cqgError
OnStrategyDefinitionProgress cqgDefinition cqgError
OnTradingSystemInsertNotification cqgTradingSystem cqgTradingSystemInsertInfo
OnTradingSystemRemoveNotification cqgTradingSystem cqgTradingSystemRemoveInfo
OnTradingSystemTradeRelationAddNotification cqgTradingSystem cqgTradingSystemRelationAddInfo
OnTradableExchangesResolved gwAccountId cqgExchanges cqgError
OnHistoricalSessionsResolved cqgHistoricalSessions cqgHistoricalSessionsRequest cqgError
OnSummariesStatementResolved cqgSummariesStatement cqgError
OnPositionsStatementResolved cqgPositionsStatement cqgError
OnManualFillUpdateResolved cqgManualFillRequest cqgError
OnManualFillsResolved cqgManualFills cqgError
OnManualFillChanged cqgManualFill modifyType
OnAuthenticationStatusChanged newStatus cqgError
OnPasswordChanged requestStatus cqgError
OnAdvancedStudyDefinitionsResolved cqgAdvancedStudyDefinitions cqgError
OnAdvancedStudyResolved cqgAdvancedStudy cqgError
OnAdvancedStudyAdded cqgAdvancedStudy
OnAdvancedStudyUpdated cqgAdvancedStudy index
OnAdvancedStudyInserted cqgAdvancedStudy index
OnAdvancedStudyRemoved cqgAdvancedStudy index
OnSubMinuteBarsResolved cqgSubminuteBars cqgError
OnSubMinuteBarsAdded cqgSubminuteBars
OnSubMinuteBarsUpdated cqgSubminuteBars index
OnSubMinuteBarsInserted cqgSubminuteBars index
OnSubMinuteBarsRemoved cqgSubminuteBars index
OnInstrumentResolved symbol cqgInstrument cqgError
OnStrategyQuoteRequestResolved cqgRFQ isProcessed cqgError
"""
TABLE = [(line.split()[0], line.split()[1:]) for line in HANDLERS.strip().splitlines()]


def reference_method(name, params):
    """The same handler as a plain def in a class of the same name (for Python's messages)."""
    ns = {}
    exec(f"class CELSinkBase:\n    def {name}({', '.join(['self'] + params)}):\n        pass\n", ns)
    return getattr(ns["CELSinkBase"](), name)


def type_error(f, *args, **kwargs):
    with pytest.raises(TypeError) as info:
        f(*args, **kwargs)
    return str(info.value)


def test_the_class_defines_the_handlers_and_nothing_else(cel):
    base = cel.mod.CELSinkBase
    assert len(TABLE) == 104
    assert [n for n in vars(base) if not n.startswith("__")] == [n for n, _ in TABLE]
    assert base.__bases__ == (object,) and base.__doc__ is None and base.__init__ is object.__init__
    assert base.__module__ == "kavrel_trader.gateways.cqg.wrapper.CelHost"
    for odd, regular in [("OnTonstantVolumeBarsInserted", "OnConstantVolumeBarsInserted"),
                         ("OnTondition", "OnConditionInserted"), ("OnTustomStudyRemoved", "OnCustomStudyRemoved")]:
        assert any(n.startswith(odd) for n in vars(base)) and regular not in vars(base)


@pytest.mark.parametrize("name, params", TABLE, ids=[n for n, _ in TABLE])
def test_handler_takes_its_parameters_and_does_nothing(cel, name, params):
    sink = cel.mod.CELSinkBase()
    handler = getattr(sink, name)
    ref = reference_method(name, params)
    args = [object() for _ in params]
    assert handler(*args) is None
    assert handler(**dict(zip(params, args))) is None          # by name as well
    assert vars(sink) == {}
    # Too few, too many, an unknown name: the messages of the same def.
    if params:
        assert type_error(handler, *args[:-1]) == type_error(ref, *args[:-1])
    assert type_error(handler, *args, None) == type_error(ref, *args, None)
    assert type_error(handler, *args, bogus=1) == type_error(ref, *args, bogus=1)


def test_order_changed_needs_all_five(cel):
    sink = cel.mod.CELSinkBase()
    with pytest.raises(TypeError, match="missing 1 required positional argument: 'cqgError'"):
        sink.OnOrderChanged(1, "order", None, None)


def test_subclass_overriding_one_handler_accepts_every_event(cel):
    class OrdersOnly(cel.mod.CELSinkBase):
        def OnOrderChanged(self, changeType, cqgOrder, oldProperties, cqgFill, cqgError):
            self.seen = (changeType, cqgOrder)
            return "handled"

    sink = OrdersOnly()
    for name, params in TABLE:
        result = getattr(sink, name)(*range(len(params)))
        assert result == ("handled" if name == "OnOrderChanged" else None)
    assert sink.seen == (0, 1)
    # the base method still runs when called through the class
    assert cel.mod.CELSinkBase.OnOrderChanged(sink, 1, 2, 3, 4, 5) is None


def test_internal_sink(cel, capsys):
    mod = cel.mod
    assert mod.SinkInternal.__bases__ == (mod.CELSinkBase,)
    sink = mod.SinkInternal()
    host, started = mod.CelHost(), threading.Event()
    assert sink.Init(started, host) is None
    assert sink.eventCELStarted is started and sink.celHost is host
    assert sink.OnCELStarted() is None and started.is_set() and host.errorHappened is False
    assert [m for _, m in trace_lines(capsys.readouterr().out)] == ["Internal sink ctor", "SinkInternal: CELStarted!"]
    # The inherited handlers stay empty.
    assert sink.OnIdle() is None and sink.OnTicksAdded(1, 2) is None


@pytest.mark.parametrize("with_object", [True, False])
def test_internal_sink_data_error(cel, capsys, with_object):
    com = cel.com
    sink, host, started = cel.mod.SinkInternal(), cel.mod.CelHost(), threading.Event()
    sink.Init(started, host)
    capsys.readouterr()
    raw = com.PyIDispatch(com.CELError(10, "Host not found"), com.current()) if with_object else None
    assert sink.OnDataError(raw, "not used") is None
    assert host.errorHappened is True and started.is_set()
    lines = [m for _, m in trace_lines(capsys.readouterr().out)]
    assert lines == (["SinkInternal: OnDataError: Code: 10 Description: Host not found"] if with_object else [])


def test_events_reach_both_sinks_on_the_worker(cel, capsys, monkeypatch):
    # Events posted to the worker's queue run on the worker, in subscription order.
    order = []

    class App(cel.mod.CELSinkBase):
        def OnIsReady(self, readyStatus):
            order.append(("app", readyStatus, threading.current_thread().name))

    class Internal(cel.mod.SinkInternal):
        def OnIsReady(self, readyStatus):
            order.append(("internal", readyStatus, threading.current_thread().name))

    monkeypatch.setattr(cel.mod, "SinkInternal", Internal)     # read when the worker subscribes
    host = cel.mod.CelHost()
    try:
        host.Init(App, None)
        cel.com.components[0].fire("OnIsReady", 7)
        cel.com.components[0].fire("OnIdle")
    finally:
        host.Shutdown()                                         # queued after the events
    assert order == [("internal", 7, "cel_threadfunc"), ("app", 7, "cel_threadfunc")]
    assert "pythoncom error" not in capsys.readouterr().err
