"""The demo session against the Futu stand-in server: `python -m kavrel_tools.demo --broker futu`.

It starts `kavrel-futu-sim` as its own process on a free loopback port, on a simulated clock
that replays the last weekday from 10:00, and drives the native Futu gateways through the
broker SDK's own contexts: `FutuAdapter` for two Hong Kong stocks and `FutuFuturesGateway`
for the Hang Seng index futures main contract, both in paper trading. The session has the QMT
demo's shape: quotes and order books, five-minute bars rolled up from one-minute history,
orders filled in parts (and one cancelled) with the fills as they arrive, balance and
positions, the stock fills charged with `IbHKEquityFees`, the session's metrics and chart.
"""
from __future__ import annotations

import argparse
import contextlib
import logging
import os
import subprocess
import sys
import time
from datetime import date, datetime
from typing import Any, Dict, List

from kavrel_tools.demo import (SimClock, Session, last_trading_day, print_book,
                               stop_process)
from kavrel_tools.futu_sim.market import HK_STOCKS, _expiry, front_month, hk_tick
from kavrel_tools.report import Progress, table

DEFAULT_CODES = "HK.00700,HK.00005"
FEE_FIELDS = ("commissions", "platform_fees", "stamp_fees", "trade_fees", "total_fees")


def lot_of(code: str) -> int:
    """Shares per board lot, as the simulator trades them (100 for a code not in its table)."""
    return HK_STOCKS.get(code, ("", 100))[1]


def start_server(seed: int, start: datetime, speed: float, log_path: str):
    """The stand-in server as a process on a free port; returns (process, port)."""
    cmd = [sys.executable, "-m", "kavrel_tools.futu_sim", "--port", "0", "--seed", str(seed),
           "--start-time", start.strftime("%Y-%m-%d %H:%M"), "--speed", str(speed),
           "--tick", "0.1"]
    log = open(log_path, "w")
    try:
        proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=log, text=True)
    finally:
        log.close()
    line = proc.stdout.readline()
    if "listening on" not in line:
        stop_server(proc)
        raise SystemExit("the Futu simulator did not start; see " + log_path)
    return proc, int(line.split(" on ")[1].split()[0].rsplit(":", 1)[1])


def on_tick(price: float) -> float:
    tick = hk_tick(price)
    return round(round(price / tick) * tick, 6)


def stop_server(proc: subprocess.Popen) -> None:
    stop_process(proc)
    proc.stdout.close()


class FutuSession(Session):
    chart_file = "futu_session.png"
    title = "Futu session"

    def __init__(self, gw, futures_gw, clock, secs, future):
        super().__init__(gw, clock, secs, None)
        self.fgw, self.future = futures_gw, future
        self.seen_deals: set = set()
        self.fills: List[Dict[str, Any]] = []

    def quotes(self) -> None:
        print("== Quotes")
        rows = []
        for gw, sec in self.instruments():
            q = gw.get_quote(sec)
            rows.append((sec.code, q.last_price, q.open_price, q.high_price, q.low_price,
                         q.prev_close_price, q.price_spread, int(q.volume)))
        table(("code", "last", "open", "high", "low", "prev close", "spread", "volume"), rows)
        print()
        print("== Order books (five of ten levels)")
        for gw, sec in self.instruments():
            print_book(sec.code, gw.get_orderbook(sec))
        print()

    def instruments(self):
        return [(self.gw, s) for s in self.secs] + [(self.fgw, self.future)]

    def five_minute_bars(self, n: int = 4) -> None:
        print("== Five-minute bars rolled up from one-minute history")
        progress = Progress("loading history", len(self.secs) + 1)
        rows = []
        for gw, sec in self.instruments():
            bars = gw.req_historical_bars(sec, n, "5Min", self.clock())
            progress.step(sec.code)
            rows += [(sec.code, b.datetime.strftime("%H:%M"), b.open, b.high, b.low, b.close,
                      int(b.volume)) for b in bars]
        table(("code", "bar", "open", "high", "low", "close", "volume"), rows)
        print()

    def orders(self) -> None:
        from kavrel_trader.core.constants import Direction, OrderType
        from kavrel_trader.core.order import Order

        print("== Orders (paper trading)")
        first, second = self.secs[0], self.secs[1 % len(self.secs)]
        book = self.gw.get_orderbook(first)
        fbook = self.fgw.get_orderbook(self.future)
        plan = [
            (self.gw, "limit buy through three ask levels",
             Order(security=first, price=book.ask_price_3, quantity=20,
                   direction=Direction.LONG, order_type=OrderType.LIMIT)),
            (self.gw, "market buy", Order(security=second, price=None, quantity=2,
                                          direction=Direction.LONG,
                                          order_type=OrderType.MARKET)),
            (self.fgw, "futures limit buy at the ask",
             Order(security=self.future, price=fbook.ask_price_1, quantity=6,
                   direction=Direction.LONG, order_type=OrderType.LIMIT)),
            (self.gw, "limit buy 3% below",
             Order(security=first, price=on_tick(book.bid_price_1 * 0.97),
                   quantity=1, direction=Direction.LONG, order_type=OrderType.LIMIT)),
        ]
        placed = []
        for gw, label, order in plan:
            oid = gw.place_order(order)
            placed.append((gw, oid, order))
            price = f"{order.price:.2f}" if order.price else "market"
            print(f"  placed {label}: {order.security.code} {order.quantity:g} @ {price} "
                  f"-> order {oid or '(refused)'}")
        gw, resting, _ = placed[-1]
        if resting:
            gw.cancel_order(resting)
            print(f"  cancelled {resting}")
        self.follow_fills([(g, o, order) for g, o, order in placed if o], wait_s=20.0)
        table(("order", "code", "qty", "filled", "avg price", "status"),
              [(oid, order.security.code, order.quantity, order.filled_quantity,
                order.filled_avg_price or 0.0, order.status.value)
               for _, oid, order in placed if oid])
        print()

    def follow_fills(self, placed, wait_s: float) -> None:
        """Print each booked fill as it arrives, until every order has settled."""
        from kavrel_trader.core.constants import OrderStatus

        final = (OrderStatus.FILLED, OrderStatus.CANCELLED, OrderStatus.FAILED)
        deadline = time.monotonic() + wait_s
        while time.monotonic() < deadline:
            for gw in (self.gw, self.fgw):
                for dealid, deal in list(gw.deals.queue.items()):
                    if dealid in self.seen_deals:
                        continue
                    self.seen_deals.add(dealid)
                    before = sum(f["traded_volume"] for f in self.fills
                                 if f["order_ref"] == deal.orderid)
                    qty = float(deal.filled_quantity)
                    lot = 1 if gw is self.fgw else lot_of(deal.security.code)
                    print(f"  fill {deal.updated_time:%H:%M:%S}  {deal.orderid}  "
                          f"{deal.security.code}  +{qty:g} (now {before + qty:g}) "
                          f"@ {float(deal.filled_avg_price):.2f}")
                    self.fills.append({
                        "code": deal.security.code, "order_ref": deal.orderid,
                        "time": deal.updated_time.strftime("%Y-%m-%d %H:%M:%S"),
                        "traded_price": float(deal.filled_avg_price), "traded_volume": qty,
                        "shares": qty * lot, "direction": "BUY", "futures": gw is self.fgw})
            if all(order.status in final for _, _, order in placed):
                break
            time.sleep(0.05)

    def account(self) -> None:
        super().account()
        print("  futures account")
        bal = self.fgw.get_broker_balance()
        table(("cash", "available", "maintenance margin", "unrealised P&L"),
              [(bal.cash, bal.available_cash, bal.maintenance_margin, bal.unrealized_pnl)])
        table(("position", "direction", "quantity", "holding price"),
              [(p.security.code, p.direction.value, int(p.quantity), p.holding_price)
               for p in self.fgw.get_all_broker_positions()])
        print()

    def fees(self) -> None:
        from kavrel_trader.core.constants import Direction
        from kavrel_trader.core.deal import Deal
        from kavrel_trader.gateways.ib.ib_commissions import IbHKEquityFees

        print("== Stock fills charged with IbHKEquityFees")
        deals = [Deal(security=self.gw.get_security(f["code"]), direction=Direction.LONG,
                      updated_time=datetime.strptime(f["time"], "%Y-%m-%d %H:%M:%S"),
                      filled_avg_price=f["traded_price"], filled_quantity=f["shares"],
                      orderid=f["order_ref"]) for f in self.fills if not f["futures"]]
        fees = IbHKEquityFees(*deals)
        table(("fills", "traded amount") + FEE_FIELDS,
              [(len(deals), float(fees.total_trade_amount))
               + tuple(float(getattr(fees, f)) for f in FEE_FIELDS)])
        print()


def run_futu(args: argparse.Namespace, stack: contextlib.ExitStack) -> None:
    print("== Setting up")
    start = datetime.combine(last_trading_day(date.today()), datetime.min.time()).replace(
        hour=10, minute=0)
    log_path = os.path.join(args.out, "futu_simulator.log")
    proc, port = start_server(args.seed, start, args.speed, log_path)
    stack.callback(stop_server, proc)
    print(f"  Futu simulator: pid {proc.pid}, port {port}, seed {args.seed}, market from "
          f"{start:%Y-%m-%d %H:%M} at {args.speed:g}x (log: {log_path})")

    from kavrel_trader.core.constants import Exchange, TradeMode
    from kavrel_trader.core.security import Futures, Stock
    from kavrel_trader.gateways.futu import futu_adapter

    # The SDK (imported above) logs its connection events to the console too; the session
    # prints its own.
    logging.getLogger("FTConsoleLog").setLevel(logging.WARNING)
    settings = {"host": "127.0.0.1", "port": port, "pwd_unlock": "demo"}
    futu_adapter.FUTU = dict(settings)
    futu_adapter.FUTUFUTURES = dict(settings)
    codes = args.codes if args.codes != "default" else DEFAULT_CODES.split(",")
    secs = [Stock(code, code, lot_size=lot_of(code), exchange=Exchange.SEHK)
            for code in codes]
    gw = futu_adapter.FutuAdapter(secs, "FutuDemo")
    stack.callback(gw.close)
    ok, state = gw.quote_ctx.get_global_state()
    anchor = datetime.fromtimestamp(int(state["timestamp"])) if ok == 0 else start
    clock = SimClock(anchor, args.speed)

    class MarketTime(datetime):
        @classmethod
        def now(cls, tz=None):
            return clock()

    futu_adapter.datetime = MarketTime
    y, m = front_month(anchor.date())
    future = Futures("HK.HSImain", "HSI", exchange=Exchange.HKFE,
                     expiry_date=_expiry(y, m).strftime("%Y%m%d"))
    fgw = futu_adapter.FutuFuturesGateway([future], "FutuDemoFutures")
    stack.callback(fgw.close)
    gw.trade_mode = TradeMode.SIMULATE
    fgw.trade_mode = TradeMode.SIMULATE
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline and not all(
            g.get_quote(s) and g.get_orderbook(s) for g, s in
            [(gw, s) for s in secs] + [(fgw, future)]):
        time.sleep(0.05)
    print()

    FutuSession(gw, fgw, clock, secs, future).run(args)

