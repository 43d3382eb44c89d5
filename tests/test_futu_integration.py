"""The three Futu gateways through the SDK's own contexts, over loopback TCP, against the
broker stand-in server (kavrel_tools.futu_sim): pushes through the SDK's threads, paged
history, orders filled in parts and cancelled, account, a server restart; and the server's
own handling of bad input and of its command line."""
import math
import os
import signal
import socket
import subprocess
import sys
import threading
from datetime import timedelta

import pytest
from futu.common.constant import ProtoId
from futu.common.pb import KeepAlive_pb2

from kavrel_tools.futu_sim import wire
from kavrel_tools.futu_sim.market import _expiry, front_month
from kavrel_trader.core.constants import Direction, Exchange, OrderStatus, OrderType, TradeMode
from kavrel_trader.core.order import Order
from kavrel_trader.core.security import Futures, Security, Stock
from kavrel_trader.gateways.futu import futu_adapter as fa
from qmt_wire import wait_for

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
HSBC = Stock("HK.00005", "HSBC", lot_size=400)
BTC = Security("CC.BTCUSD", "Bitcoin", exchange=Exchange.CRYPTO)
# The SDK's network thread is made once per process with a deprecated call.
pytestmark = pytest.mark.filterwarnings("ignore:setDaemon:DeprecationWarning")


def hsi_main(sim):
    y, m = front_month(sim.clock().date())
    return Futures("HK.HSImain", "HSI", exchange=Exchange.HKFE,
                   expiry_date=_expiry(y, m).strftime("%Y%m%d"))


def order(security, quantity, price=0.0, order_type=OrderType.LIMIT):
    return Order(security=security, price=price, quantity=quantity, direction=Direction.LONG,
                 order_type=order_type, status=OrderStatus.UNKNOWN)


def fill_over_time(sim, gw, placed, seconds=30):
    """Move the simulated clock a second at a time until the order is filled."""
    for _ in range(seconds):
        if placed.status == OrderStatus.FILLED:
            return True
        sim.clock.advance(seconds=1)
        wait_for(lambda: placed.status == OrderStatus.FILLED, 0.1)
    return placed.status == OrderStatus.FILLED


def deals_of(gw, orderid):
    return [d for d in gw.deals.queue.values() if d.orderid == orderid]


def book_price(sim, code, side, level):
    inst = sim.market.instrument(code, sim.clock().date())
    bids, asks = sim.market.book(inst, sim.market.state(inst, sim.clock()), sim.clock())
    return (bids if side == "bid" else asks)[level][0]


def cancel_resting(sim, gw, security, quantity, price):
    resting = order(security, quantity, price)
    oid = gw.place_order(resting)
    assert oid and resting.status == OrderStatus.SUBMITTED
    gw.cancel_order(oid)
    assert wait_for(lambda: resting.status == OrderStatus.CANCELLED)
    return resting


def closed(gw):
    gw.close()
    assert wait_for(lambda: gw.quote_ctx.status == "CLOSED" and gw.trd_ctx.status == "CLOSED")


def test_stock_gateway_session(futu_sim, futu_config, capsys):
    sim = futu_sim
    gw = fa.FutuAdapter([TENCENT, HSBC], "futu-it")
    try:
        out = capsys.readouterr().out
        assert "FUTU successfully connected to Quote and Orderbook." in out
        assert "FUTU successfully connected to Order and Deal." in out
        # pushes through the SDK's callback thread
        assert wait_for(lambda: gw.get_quote(TENCENT) and gw.get_orderbook(HSBC))
        now = sim.clock()
        quote = gw.get_quote(TENCENT)
        inst = sim.market.instrument("HK.00700", now.date())
        assert quote.datetime == now and quote.security is TENCENT
        assert quote.last_price == sim.market.state(inst, now)["last"]
        book = gw.get_orderbook(TENCENT)
        assert book.bid_price_1 < book.ask_price_1 and book.bid_price_10 < book.bid_price_1
        assert book.bid_volume_1 % 100 == 0 and book.bid_volume_1 > 0 and book.ask_num_10 > 0
        sim.clock.advance(seconds=1)
        assert wait_for(lambda: gw.get_quote(TENCENT).datetime == sim.clock())

        # history in pages of 500 rows, and bars rolled up from it
        bars = gw.req_historical_bars(TENCENT, 1200, "1Min", now)
        assert len(bars) == 1200
        times = [b.datetime for b in bars]
        assert times == sorted(set(times)) and times[-1] == now.replace(second=0)
        assert all(b.low <= min(b.open, b.close) and b.high >= max(b.open, b.close)
                   for b in bars)
        five = gw.req_historical_bars(TENCENT, 6, "5Min", now)
        assert len(five) == 6
        assert {b.datetime - a.datetime for a, b in zip(five, five[1:])} == {timedelta(minutes=5)}
        recent = gw.get_recent_bar(TENCENT)
        assert recent.datetime == sim.clock().replace(second=0)
        capdist = gw.get_recent_capital_distribution(TENCENT)
        assert capdist.datetime == sim.clock() and capdist.capital_in_big >= 0

        # paper trading: a limit buy through three ask levels fills in parts over seconds
        gw.trade_mode = TradeMode.SIMULATE
        start_cash = gw.get_broker_balance().cash
        buy = order(TENCENT, 30, book_price(sim, "HK.00700", "ask", 2))
        oid = gw.place_order(buy)
        assert oid and gw.orders.get(oid) is buy
        assert fill_over_time(sim, gw, buy)
        # the handler sets the status before it books the deal: wait for the last one
        assert wait_for(lambda: math.fsum(d.filled_quantity for d in deals_of(gw, oid)) == 30)
        deals = deals_of(gw, oid)
        assert len(deals) >= 3 and buy.filled_quantity == 30
        assert all(d.dealid.startswith("futu-sim-deal-") for d in deals)

        # refused by the server: the failure values, nothing stored; then a cancel
        capsys.readouterr()
        assert gw.place_order(order(TENCENT, 0.5, buy.price)) == ""
        gw.cancel_order(oid)
        out = capsys.readouterr().out
        assert "board lots" in out and f"[cancel_order]({oid}) failed: " in out
        assert buy.status == OrderStatus.FILLED
        low = sim.market.instrument("HK.00700", now.date()).round_price(buy.price * 0.9)
        cancel_resting(sim, gw, TENCENT, 2, low)

        balance = gw.get_broker_balance()
        assert balance.cash < start_cash - 30 * 100 * buy.filled_avg_price * 0.99
        assert isinstance(balance.max_power_short, float)
        positions = gw.get_all_broker_positions()
        assert [(p.security, p.direction, p.quantity) for p in positions] == [
            (TENCENT, Direction.LONG, 3000.0)]
    finally:
        closed(gw)


def test_futures_gateway_live_session(futu_sim, futu_config, capsys):
    sim = futu_sim
    hsi = hsi_main(sim)
    gw = fa.FutuFuturesGateway([hsi], "futu-it-futures")
    try:
        assert wait_for(lambda: gw.get_quote(hsi) and gw.get_orderbook(hsi))
        bars = gw.req_historical_bars(hsi, 700, "1Min", sim.clock())
        assert len(bars) == 700 and bars[-1].datetime == sim.clock().replace(second=0)
        assert gw.get_recent_bar(hsi).close == gw.get_quote(hsi).last_price
        gw.trade_mode = TradeMode.LIVETRADE
        buy = order(hsi, 12, book_price(sim, "HK.HSImain", "ask", 1))
        oid = gw.place_order(buy)
        assert oid
        assert fill_over_time(sim, gw, buy)
        # live mode: deals come from the SDK's fill pushes, one per traded level
        assert wait_for(lambda: math.fsum(d.filled_quantity for d in deals_of(gw, oid)) == 12)
        assert len(deals_of(gw, oid)) >= 3
        assert all(not str(d.dealid).startswith("futu-sim") for d in deals_of(gw, oid))
        low = book_price(sim, "HK.HSImain", "bid", 9) - 50
        cancel_resting(sim, gw, hsi, 1, low)
        positions = gw.get_all_broker_positions()
        assert [(p.security, p.direction, p.quantity) for p in positions] == [
            (hsi, Direction.LONG, 12.0)]
        assert gw.get_broker_balance().maintenance_margin > 0
    finally:
        closed(gw)


def test_fills_pushed_before_the_reply_all_reach_the_gateway(futu_sim, futu_config):
    """A broker's fill pushes may overtake its reply to place_order: the gateway, which
    stores the order only once the SDK returns, still books every fill under it."""
    sim = futu_sim
    sim.pushes_first = True
    hsi = hsi_main(sim)
    gw = fa.FutuFuturesGateway([hsi], "futu-it-early")
    try:
        assert wait_for(lambda: gw.get_orderbook(hsi))
        gw.trade_mode = TradeMode.LIVETRADE
        buy = order(hsi, 12, book_price(sim, "HK.HSImain", "ask", 2))
        oid = gw.place_order(buy)
        assert oid and wait_for(lambda: (buy.filled_quantity or 0) > 0)     # traded at once
        assert wait_for(lambda: math.fsum(d.filled_quantity for d in deals_of(gw, oid))
                        == buy.filled_quantity)
        assert fill_over_time(sim, gw, buy)
        assert wait_for(lambda: math.fsum(d.filled_quantity for d in deals_of(gw, oid)) == 12)
        assert gw._held_pushes == []
    finally:
        closed(gw)


def test_crypto_gateway_session(futu_sim, futu_config):
    sim = futu_sim
    gw = fa.FutuCryptoGateway([BTC], "futu-it-crypto")
    try:
        assert wait_for(lambda: gw.get_quote(BTC) and gw.get_orderbook(BTC))
        assert gw.get_recent_bar(BTC).datetime == sim.clock().replace(second=0)
        gw.trade_mode = TradeMode.LIVETRADE
        # a fractional quantity, rounded up to the step; a price 0.1 % through the book
        limit = round(book_price(sim, "CC.BTCUSD", "ask", 0) * 1.001, 2)
        buy = order(BTC, 1.2000001, limit)
        oid = gw.place_order(buy)
        assert oid
        assert fill_over_time(sim, gw, buy)
        assert buy.filled_quantity == pytest.approx(1.20001)
        assert wait_for(lambda: math.isclose(
            math.fsum(d.filled_quantity for d in deals_of(gw, oid)), 1.20001))
        assert len(deals_of(gw, oid)) >= 3
        cancel_resting(sim, gw, BTC, 0.01, round(buy.price * 0.8, 2))
        positions = gw.get_all_broker_positions()
        assert [(p.security, p.quantity) for p in positions] == [(BTC, pytest.approx(1.20001))]
        assert gw.get_broker_balance().cash < 500_000
    finally:
        closed(gw)


def test_gateway_survives_a_server_restart(futu_sim, futu_config):
    """The server goes away mid-session and comes back on the same port: what the SDK does
    (a reconnect after its fixed wait, subscriptions and unlock renewed) is what happens, and
    the gateway neither hangs nor fails."""
    sim = futu_sim
    gw = fa.FutuAdapter([TENCENT], "futu-it-restart")
    gw.trade_mode = TradeMode.SIMULATE
    try:
        assert wait_for(lambda: gw.get_quote(TENCENT))
        sim.stop()
        assert wait_for(lambda: gw.quote_ctx.status != "READY" and gw.trd_ctx.status != "READY")
        sim.start()
        sim.clock.advance(seconds=5)
        result = {}
        worker = threading.Thread(target=lambda: result.setdefault(
            "balance", gw.get_broker_balance()))
        worker.start()
        worker.join(15)
        assert not worker.is_alive() and result["balance"].cash > 0
        assert wait_for(lambda: gw.get_quote(TENCENT).datetime == sim.clock(), 10)
    finally:
        closed(gw)


def _packet(proto_id, body, serial=7):
    return wire.pack(proto_id, serial, body)


def _reply(sock):
    head = b""
    while len(head) < wire.HEADER_LEN:
        chunk = sock.recv(wire.HEADER_LEN - len(head))
        if not chunk:
            return None
        head += chunk
    h = wire.parse_header(head)
    body = b""
    while len(body) < h.body_len:
        body += sock.recv(h.body_len - len(body))
    rsp = KeepAlive_pb2.Response()
    rsp.ParseFromString(body)
    return h, rsp


@pytest.mark.parametrize("proto_id, body, expect", [
    (ProtoId.KeepAlive, b"", "before InitConnect"),                   # no InitConnect yet
    (59999, b"\x01\x02", "not served"),                               # unknown protocol
    (ProtoId.Qot_GetSecuritySnapshot, b"", "not served"),             # known, not served
    (ProtoId.InitConnect, b"\xff\xff\xff", "malformed request"),      # garbage body
])
def test_bad_requests_get_the_protocols_error_reply(futu_sim, proto_id, body, expect, caplog):
    with socket.create_connection(("127.0.0.1", futu_sim.port), timeout=5) as s:
        s.sendall(_packet(proto_id, body))
        h, rsp = _reply(s)
        assert (h.proto_id, h.serial_no, rsp.retType) == (proto_id, 7, -1)
        assert expect in rsp.retMsg
    assert sum(rsp.retMsg in r.getMessage() for r in caplog.records) == 1


def test_connection_set_up_and_keep_alive_on_a_raw_socket(futu_sim):
    from futu.common.pb import InitConnect_pb2

    init = InitConnect_pb2.Request()
    init.c2s.clientVer, init.c2s.clientID, init.c2s.recvNotify = 100, "raw", True
    alive = KeepAlive_pb2.Request()
    alive.c2s.time = 1
    with socket.create_connection(("127.0.0.1", futu_sim.port), timeout=5) as s:
        s.sendall(_packet(ProtoId.InitConnect, init.SerializeToString(), 1)
                  + _packet(ProtoId.KeepAlive, alive.SerializeToString(), 2))
        first, second = _reply(s), _reply(s)
    assert (first[0].proto_id, first[0].serial_no, first[1].retType) == (1001, 1, 0)
    assert (second[0].proto_id, second[0].serial_no, second[1].retType) == (1004, 2, 0)
    assert second[1].s2c.time > 0


def test_current_daily_bars_on_a_leap_day():
    from datetime import datetime

    from futu.common.pb import InitConnect_pb2, Qot_GetKL_pb2, Qot_Sub_pb2
    from futu.common.pb import Qot_Common_pb2 as QC

    from kavrel_tools.futu_sim import FutuSimServer
    from kavrel_tools.qmt_agent.clock import FixedClock

    init = InitConnect_pb2.Request()
    init.c2s.clientVer, init.c2s.clientID = 100, "raw"
    sub = Qot_Sub_pb2.Request()
    sub.c2s.securityList.add(market=QC.QotMarket_HK_Security, code="00700")
    sub.c2s.subTypeList.append(QC.SubType_KL_Day)
    sub.c2s.isSubOrUnSub = True
    kl = Qot_GetKL_pb2.Request()
    kl.c2s.rehabType, kl.c2s.klType, kl.c2s.reqNum = QC.RehabType_Forward, QC.KLType_Day, 10
    kl.c2s.security.CopyFrom(sub.c2s.securityList[0])
    with FutuSimServer(clock=FixedClock(datetime(2024, 2, 29, 10, 0, 30))) as sim, \
            socket.create_connection(("127.0.0.1", sim.port), timeout=5) as s:
        for serial, (pid, req) in enumerate([(ProtoId.InitConnect, init),
                                             (ProtoId.Qot_Sub, sub),
                                             (ProtoId.Qot_GetKL, kl)], 1):
            s.sendall(_packet(pid, req.SerializeToString(), serial))
            h, rsp = _reply(s)
            assert (h.serial_no, rsp.retType, rsp.retMsg) == (serial, 0, "")


@pytest.mark.parametrize("junk", [b"XY" + b"\x00" * 60,
                                  wire.HEADER.pack(b"F", b"T", 1004, 0, 0, 1, 1 << 30,
                                                   b"\x00" * 20, b"\x00" * 8)])
def test_a_broken_packet_closes_that_connection_only(futu_sim, junk, caplog):
    with socket.create_connection(("127.0.0.1", futu_sim.port), timeout=5) as bad, \
            socket.create_connection(("127.0.0.1", futu_sim.port), timeout=5) as good:
        bad.sendall(junk)
        assert bad.recv(10) == b""
        good.sendall(_packet(59999, b""))
        assert _reply(good)[1].retType == -1
    assert futu_sim.running
    assert sum("closed connection" in r.getMessage() for r in caplog.records) == 1


def test_a_client_that_does_not_read_is_closed_not_buffered_without_end(futu_sim, caplog):
    from futu.common.pb import InitConnect_pb2, Qot_RequestHistoryKL_pb2
    from futu.common.pb import Qot_Common_pb2 as QC

    futu_sim.max_unsent = 256 * 1024
    init = InitConnect_pb2.Request()
    init.c2s.clientVer, init.c2s.clientID = 100, "raw"
    hist = Qot_RequestHistoryKL_pb2.Request()
    hist.c2s.rehabType, hist.c2s.klType = QC.RehabType_Forward, QC.KLType_1Min
    hist.c2s.maxAckKLNum = 1000
    hist.c2s.security.market, hist.c2s.security.code = QC.QotMarket_HK_Security, "00700"
    hist.c2s.beginTime, hist.c2s.endTime = "2000-01-01", "2100-01-01"
    body = hist.SerializeToString()
    with socket.socket() as s:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.settimeout(5)
        s.connect(("127.0.0.1", futu_sim.port))
        s.sendall(_packet(ProtoId.InitConnect, init.SerializeToString(), 1))
        _reply(s)
        s.sendall(b"".join(_packet(ProtoId.Qot_RequestHistoryKL, body, n)
                           for n in range(2, 200)))
        # The server builds and queues replies until the backlog passes its cap: seconds
        # of work on a loaded machine, so the wait is generous (it ends when the close comes).
        assert wait_for(lambda: not futu_sim._conns, 30)
    assert futu_sim.running
    assert any("not reading" in r.getMessage() for r in caplog.records)


def test_command_line_serves_and_stops_on_sigterm():
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-m", "kavrel_tools.futu_sim", "--port", "0"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env)
    try:
        line = proc.stdout.readline()
        port = int(line.split(":")[1].split()[0])
        with socket.create_connection(("127.0.0.1", port), timeout=5) as s:
            s.sendall(_packet(59999, b""))
            assert _reply(s)[1].retType == -1
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(10) == 0
        assert "stopped" in proc.stdout.read()
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdout.close()
        proc.stderr.close()
