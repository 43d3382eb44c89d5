"""futu_adapter push processing: quotes, order books, orders and deals into the stores."""
import re
from datetime import datetime

import pandas as pd
import pytest

from fakes.futu_contexts import make_gateway
from kavrel_trader.core.constants import Direction, Offset, OrderStatus, OrderType, TradeMode
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Security, Stock
from kavrel_trader.gateways.futu import futu_adapter as fa

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
APPLE = Stock("US.AAPL", "Apple")
BTC = Security("CC.BTCUSD", "Bitcoin")
T0 = "2024-01-02 09:30:01"


@pytest.fixture
def gw(monkeypatch):
    gateway, _ = make_gateway(monkeypatch, fa, securities=[TENCENT, APPLE, BTC])
    return gateway


@pytest.fixture
def crypto(monkeypatch):
    return make_gateway(monkeypatch, fa, "FutuCryptoGateway", [BTC], trade_mode=TradeMode.LIVETRADE)[0]


def quote_table(code="HK.00700", rows=1, **over):
    row = {"code": code, "name": "n", "data_date": "2024-01-02", "data_time": "09:30:01",
           "last_price": 350.2, "open_price": 349.0, "high_price": 351.0, "low_price": 348.0,
           "prev_close_price": 347.0, "volume": 12345, "turnover": 1e7, "turnover_rate": 0.1,
           "amplitude": 0.5, "suspension": False, "listing_date": "N/A", "price_spread": 0.2,
           "sec_status": "NORMAL"}
    row.update(over)
    table = pd.DataFrame([row] * rows)
    if rows > 1:
        table.loc[1:, "last_price"] = 1.0
    return table


def test_quote_push_stored(gw):
    gw.process_quote(quote_table(rows=3))
    q = gw.get_quote(TENCENT)
    assert (q.security, q.exchange, q.datetime) == (TENCENT, TENCENT.exchange, datetime(2024, 1, 2, 9, 30, 1))
    assert (q.last_price, q.open_price, q.high_price, q.low_price, q.prev_close_price) == \
        (350.2, 349.0, 351.0, 348.0, 347.0)
    assert (q.volume, q.turnover, q.turnover_rate, q.amplitude, q.suspension, q.price_spread,
            q.sec_status) == (12345, 1e7, 0.1, 0.5, False, 0.2, "NORMAL")
    assert q.bid_price is None


@pytest.mark.parametrize("table, error", [
    (quote_table(code="HK.09988"), None),
    (quote_table().drop(columns=["amplitude"]), KeyError),
    (quote_table().drop(columns=["data_time"]), KeyError),
    (quote_table(data_date="yesterday"), ValueError),
    (quote_table().iloc[0:0], IndexError),
])
def test_quote_push_stores_nothing_on_bad_input(gw, table, error):
    if error:
        with pytest.raises(error):
            gw.process_quote(table)
    else:
        gw.process_quote(table)
    assert gw.quote.queue == {}


@pytest.mark.parametrize("method", ["process_quote", "process_order", "process_deal"])
def test_tables_must_be_dataframes(gw, method):
    with pytest.raises(TypeError, match=r"Argument 'content' has incorrect type \(expected DataFrame, got dict\)"):
        getattr(gw, method)({"code": ["HK.00700"]})


def test_replaced_time_parser_is_used(gw, monkeypatch):
    seen = []
    monkeypatch.setattr(fa, "try_parsing_datetime", lambda t: seen.append(t) or "parsed")
    gw.process_quote(quote_table())
    gw.process_quote(quote_table())
    assert seen == [T0, T0] and gw.get_quote(TENCENT).datetime == "parsed"


def book(bids=3, asks=2, bid_time="2024-01-02 09:30:01.100", ask_time="2024-01-02 09:30:01.200",
         code="HK.00700"):
    return {"code": code, "svr_recv_time_bid": bid_time, "svr_recv_time_ask": ask_time,
            "Bid": [(350.0 - n, 100 * (n + 1), n + 1, {}) for n in range(bids)],
            "Ask": [[351.0 + n, 10 * (n + 1), n + 7] for n in range(asks)]}


def test_order_book_levels(gw):
    gw.process_orderbook(book())
    b = gw.get_orderbook(TENCENT)
    assert (b.security, b.exchange) == (TENCENT, TENCENT.exchange)
    assert [(getattr(b, f"bid_price_{n}"), getattr(b, f"bid_volume_{n}"), getattr(b, f"bid_num_{n}"))
            for n in (1, 2, 3)] == [(350.0, 100, 1), (349.0, 200, 2), (348.0, 300, 3)]
    assert [(getattr(b, f"ask_price_{n}"), getattr(b, f"ask_volume_{n}"), getattr(b, f"ask_num_{n}"))
            for n in (1, 2)] == [(351.0, 10, 7), (352.0, 20, 8)]
    assert b.bid_price_4 is None and b.ask_price_3 is None and b.ask_num_3 is None


def test_order_book_deeper_than_the_record(gw):
    gw.process_orderbook(book(bids=12, asks=0))
    b = gw.get_orderbook(TENCENT)
    assert (b.bid_price_12, b.bid_volume_11, b.bid_num_12) == (339.0, 1100, 12)


@pytest.mark.parametrize("bid_time, ask_time, expected", [
    ("2024-01-02 09:30:01.100", "2024-01-02 09:30:01.200", datetime(2024, 1, 2, 9, 30, 1, 200000)),
    ("2024-01-02 09:30:02", "2024-01-02 09:30:01.200", datetime(2024, 1, 2, 9, 30, 2)),
    ("2024-01-02 09:30:02", "2024-01-02 09:30:02", datetime(2024, 1, 2, 9, 30, 2)),
])
def test_order_book_time_is_the_later(gw, bid_time, ask_time, expected):
    gw.process_orderbook(book(bid_time=bid_time, ask_time=ask_time))
    assert gw.get_orderbook(TENCENT).datetime == expected


@pytest.mark.parametrize("content, error", [
    ([("code", "HK.00700")], TypeError),
    (type("D", (dict,), {})(book()), TypeError),
    ({k: v for k, v in book().items() if k != "Ask"}, KeyError),
    ({**book(), "Bid": [(1.0, 2)]}, IndexError),
    ({**book(), "svr_recv_time_ask": ""}, ValueError),
    (book(code="HK.09988"), None),
])
def test_order_book_bad_input_stores_nothing(gw, content, error):
    if error:
        with pytest.raises(error):
            gw.process_orderbook(content)
    else:
        gw.process_orderbook(content)
    assert gw.orderbook.queue == {}


# ---------------------------------------------------------------- orders and deals

def order_table(order_id="O1", dealt_qty=300, status="FILLED_PART", price=350.0, time=T0):
    return pd.DataFrame([{"trd_env": "SIMULATE", "code": "x", "order_id": order_id,
                          "dealt_qty": dealt_qty, "dealt_avg_price": price,
                          "order_status": status, "updated_time": time, "qty": 500}])


def deal_table(order_id="O1", deal_id="D1", qty=300, price=350.0, time=T0):
    return pd.DataFrame([{"trd_env": "REAL", "code": "x", "deal_id": deal_id,
                          "order_id": order_id, "qty": qty, "price": price,
                          "create_time": time}])


def place(gw, security, order_id="O1", quantity=5):
    order = Order(security=security, price=350.0, quantity=quantity, direction=Direction.LONG,
                  offset=Offset.OPEN, order_type=OrderType.LIMIT, status=OrderStatus.SUBMITTED,
                  filled_quantity=0)
    gw.orders.put(order_id, order)
    return order


@pytest.mark.parametrize("security, pushed, expected", [(TENCENT, 300, 3.0), (TENCENT, 150, 1.5),
                                                        (APPLE, 300, 300)])
def test_order_push_lot_rule(gw, security, pushed, expected):
    gw.trade_mode = TradeMode.LIVETRADE
    order = place(gw, security)
    gw.process_order(order_table(dealt_qty=pushed, status="FILLED_PART"))
    assert order.filled_quantity == expected
    assert (order.status, order.filled_avg_price, order.updated_time) == \
        (OrderStatus.PART_FILLED, 350.0, datetime(2024, 1, 2, 9, 30, 1))
    assert gw.orders.get("O1") is order and gw.deals.queue == {}


def sim_deals(gw):
    return [d for k, d in gw.deals.queue.items() if k.startswith("futu-sim-deal-")]


def test_paper_trading_books_increments(gw):
    gw.trade_mode = TradeMode.SIMULATE
    order = place(gw, TENCENT)
    gw.process_order(order_table(dealt_qty=100, status="FILLED_PART", price=350.0))
    gw.process_order(order_table(dealt_qty=100, status="FILLED_PART", price=350.0))  # no new fill
    gw.process_order(order_table(dealt_qty=400, status="FILLED_ALL", price=351.0))
    deals = sim_deals(gw)
    assert [d.filled_quantity for d in deals] == [1.0, 3.0]
    assert [d.filled_avg_price for d in deals] == [350.0, 351.0]
    ids = list(gw.deals.queue)
    assert len(set(ids)) == 2
    for dealid, d in gw.deals.queue.items():
        assert re.fullmatch(r"futu-sim-deal-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}", dealid)
        assert (d.dealid, d.orderid, d.security, d.direction, d.offset, d.order_type) == \
            (dealid, "O1", TENCENT, Direction.LONG, Offset.OPEN, OrderType.LIMIT)
        assert d.updated_time == datetime(2024, 1, 2, 9, 30, 1)
    assert order.status is OrderStatus.FILLED and order.filled_quantity == 4.0


@pytest.mark.parametrize("mode, status", [(TradeMode.LIVETRADE, "FILLED_ALL"),
                                          (TradeMode.SIMULATE, "SUBMITTED"),
                                          (TradeMode.SIMULATE, "CANCELLED_PART")])
def test_no_synthetic_deal(gw, mode, status):
    gw.trade_mode = mode
    place(gw, APPLE)
    gw.process_order(order_table(status=status))
    assert gw.deals.queue == {}


def test_synthetic_deals_per_order(gw):
    gw.trade_mode = TradeMode.SIMULATE
    place(gw, APPLE, "A")
    place(gw, APPLE, "B")
    gw.process_order(order_table("A", 10, "FILLED_PART"))
    gw.process_order(order_table("B", 5, "FILLED_PART"))
    gw.process_order(order_table("A", 12, "FILLED_ALL"))
    assert sorted((d.orderid, d.filled_quantity) for d in sim_deals(gw)) == \
        [("A", 2), ("A", 10), ("B", 5)]


@pytest.mark.parametrize("table, error", [
    (order_table(status="NOT_A_STATUS"), ValueError),
    (order_table(time="not a time"), ValueError),
    (order_table().drop(columns=["order_status"]), KeyError),
    (order_table().drop(columns=["dealt_avg_price"]), KeyError),
])
def test_failed_order_push_leaves_order_untouched(gw, table, error):
    gw.trade_mode = TradeMode.SIMULATE
    order = place(gw, TENCENT)
    before = dict(vars(order))
    with pytest.raises(error) as e:
        gw.process_order(table)
    if table.get("order_status", pd.Series([""]))[0] == "NOT_A_STATUS":
        assert str(e.value) == "Order status NOT_A_STATUS is not recognized."
    assert vars(order) == before and gw.deals.queue == {}


@pytest.mark.parametrize("mode", [TradeMode.LIVETRADE, TradeMode.SIMULATE])
def test_pushes_before_the_reply_are_applied_when_the_order_is_stored(gw, mode, capsys):
    """The SDK's push thread may report an order and its fills before place_order has its
    reply: those pushes wait and are applied in order when the order is stored. A held push
    that fails is reported without failing place_order; another program's order stays held."""
    gw.trade_mode = mode
    reply = gw.trd_ctx.place_order

    def place_with_early_pushes(*args, **kwargs):
        gw.process_order(order_table("F1001", dealt_qty=100, status="FILLED_PART"))
        gw.process_deal(deal_table("F1001", qty=100))
        gw.process_order(order_table("F1001").drop(columns=["order_status"]))
        gw.process_order(order_table("OTHER", status="FILLED_ALL"))
        return reply(*args, **kwargs)

    gw.trd_ctx.place_order = place_with_early_pushes
    o = Order(security=TENCENT, price=350.0, quantity=2, direction=Direction.LONG,
              order_type=OrderType.LIMIT, status=OrderStatus.UNKNOWN)
    capsys.readouterr()
    assert gw.place_order(o) == "F1001"
    assert (o.status, o.filled_quantity, o.filled_avg_price) == (OrderStatus.PART_FILLED, 1.0, 350.0)
    assert gw.deals.get("D1").filled_quantity == 1.0
    assert len(sim_deals(gw)) == (mode is TradeMode.SIMULATE)
    assert capsys.readouterr().out.startswith("[process_order] a push held for order F1001 failed: ")
    assert [h[1] for h in gw._held_pushes] == ["OTHER"] and gw.orders.get("OTHER") is None


@pytest.mark.parametrize("security, qty, expected", [(TENCENT, 300, 3.0), (APPLE, 300, 300)])
def test_deal_push(gw, security, qty, expected):
    order = place(gw, security)
    gw.process_deal(deal_table(qty=qty))
    d = gw.deals.get("D1")
    assert (d.security, d.direction, d.offset, d.order_type) == \
        (security, Direction.LONG, Offset.OPEN, OrderType.LIMIT)
    assert (d.updated_time, d.filled_avg_price, d.filled_quantity, d.dealid, d.orderid) == \
        (datetime(2024, 1, 2, 9, 30, 1), 350.0, expected, "D1", "O1")
    assert order.filled_quantity == 0


def test_deal_push_missing_column_stores_nothing(gw):
    place(gw, TENCENT)
    with pytest.raises(KeyError):
        gw.process_deal(deal_table().drop(columns=["price"]))
    assert gw.deals.queue == {}


def test_crypto_pushes_keep_quantities(crypto):
    hk_listed = Stock("HK.BTC", "odd", lot_size=100)  # would be rescaled by the stock gateway
    order = place(crypto, hk_listed)
    crypto.process_order(order_table(dealt_qty=0.25, status="FILLED_ALL"))
    crypto.process_deal(deal_table(qty=0.25))
    assert order.filled_quantity == 0.25 and order.status is OrderStatus.FILLED
    assert list(crypto.deals.queue) == ["D1"] and crypto.deals.get("D1").filled_quantity == 0.25
    assert fa.FutuCryptoGateway.process_order.__doc__ == "Callback of Order (no HK lot-size rescale)."


@pytest.mark.timeout(60)
def test_pushes_from_another_thread(gw):
    import threading
    gw.trade_mode = TradeMode.SIMULATE
    orders = [place(gw, APPLE, f"O{i}") for i in range(50)]
    errors = []

    def push_thread():
        try:
            for i in range(50):
                gw.process_quote(quote_table(last_price=float(i)))
                gw.process_order(order_table(f"O{i}", dealt_qty=2, status="FILLED_ALL"))
        except Exception as e:  # reported to the test thread
            errors.append(e)

    t = threading.Thread(target=push_thread, name="futu-push", daemon=True)
    t.start()
    for i in range(50):
        gw.process_orderbook(book())
    t.join(30)
    assert not t.is_alive() and errors == []
    assert all(o.status is OrderStatus.FILLED for o in orders) and len(sim_deals(gw)) == 50
    assert gw.get_quote(TENCENT).last_price == 49.0
