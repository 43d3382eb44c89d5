"""A short live-like QMT session, end to end, on real parts.

    python -m kavrel_tools.demo [--codes SH.600000,SZ.000001,SH.601318] [--seed 7]
                                [--out DIR] [--redis-url redis://host:port/db]

It starts a private redis-server on a free loopback port (unless --redis-url names one) and
the bridge simulator as its own process on a simulated clock, then drives the native
`QmtAdapter` the way a strategy would: quotes and five-level books, five-minute bars rolled
up from one-minute history, a limit order, a market order large enough to fill in parts and
a cancelled order, with the order events as they arrive and the statuses and fills the
gateway keeps, balance and positions, the gateway's own deals charged with
`QmtCommissionsCN`, and the Sharpe ratio, rolling maximum drawdown and holding periods of
the session's equity. It writes a chart of the session as a PNG and prints its path.

Everything it starts it stops, also on Ctrl-C, SIGTERM or an error; on a shared Redis it
deletes the keys of its own (random) key prefix.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import queue
import signal
import subprocess
import sys
import time
import uuid
from datetime import date, datetime, timedelta
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlparse

from kavrel_tools.report import Progress, session_chart, table

DEFAULT_CODES = "SH.600000,SZ.000001,SH.601318"
FEE_FIELDS = ("commissions", "trade_fees", "stamp_fees", "total_fees")
MINUTES_PER_YEAR = 252 * 240          # trading minutes: annualises per-minute returns


# ---------------------------------------------------------------- set-up

def parse_args(argv: Optional[List[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(prog="python -m kavrel_tools.demo",
                                description="A short QMT session against the bridge simulator.")
    p.add_argument("--broker", choices=("qmt", "futu"), default="qmt",
                   help="qmt: the QMT bridge simulator over Redis; futu: the Futu stand-in "
                        "server through the broker SDK (default: %(default)s)")
    p.add_argument("--codes", default=None,
                   help="comma-separated codes (default: " + DEFAULT_CODES + " for qmt, "
                        "HK.00700,HK.00005 for futu)")
    p.add_argument("--seed", type=int, default=7, help="simulated market seed")
    p.add_argument("--out", default="demo-out", help="folder for the chart and the simulator log")
    p.add_argument("--redis-url", default=None,
                   help="use this Redis instead of starting a private one")
    p.add_argument("--speed", type=float, default=120.0,
                   help="simulated seconds per real second (default: %(default)s)")
    p.add_argument("--hold", type=int, default=30,
                   help="simulated minutes to hold the positions before the report")
    args = p.parse_args(argv)
    if args.codes is None:
        args.codes = DEFAULT_CODES if args.broker == "qmt" else "default"
    args.codes = [c.strip().upper() for c in args.codes.split(",") if c.strip()]
    if args.codes == ["DEFAULT"]:
        args.codes = "default"
    if not args.codes:
        p.error("--codes names no code")
    if args.speed <= 0 or args.hold < 1:
        p.error("--speed must be positive and --hold at least 1")
    return args


def redis_settings(url: str) -> Dict[str, Any]:
    u = urlparse(url)
    if u.scheme not in ("redis", ""):
        raise SystemExit(f"--redis-url: only redis:// URLs are supported, got {u.scheme}://")
    db = (u.path or "/0").strip("/") or "0"
    return {"redis_host": u.hostname or "127.0.0.1", "redis_port": u.port or 6379,
            "redis_password": u.password or None, "redis_db": int(db)}


def last_trading_day(before: date) -> date:
    """The most recent trading day strictly before `before`: a whole past session to replay."""
    from kavrel_tools.qmt_agent.market import is_trading_day

    d = before - timedelta(days=1)
    while not is_trading_day(d):
        d -= timedelta(days=1)
    return d


class SimClock:
    """The simulator's clock as seen from here: anchored at its ping time, running at `speed`."""

    def __init__(self, anchor: datetime, speed: float):
        self.anchor, self.speed, self.t0 = anchor, speed, time.monotonic()

    def __call__(self) -> datetime:
        return self.anchor + timedelta(seconds=(time.monotonic() - self.t0) * self.speed)

    def sleep_sim(self, minutes: float) -> None:
        time.sleep(minutes * 60.0 / self.speed)


def start_simulator(url: str, prefix: str, seed: int, start: datetime, speed: float,
                    log_path: str) -> subprocess.Popen:
    cmd = [sys.executable, "-m", "kavrel_tools.qmt_agent", "--backend", "sim",
           "--redis-url", url, "--key-prefix", prefix, "--seed", str(seed),
           "--start-time", start.strftime("%Y-%m-%d %H:%M"), "--speed", str(speed),
           "--allow-orders", "--log-level", "WARNING"]
    log = open(log_path, "w")
    try:
        return subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
    finally:
        log.close()


def stop_process(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


def delete_prefix(settings: Dict[str, Any], prefix: str) -> None:
    import redis

    client = redis.Redis(host=settings["redis_host"], port=settings["redis_port"],
                         password=settings["redis_password"], db=settings["redis_db"])
    try:
        keys = list(client.scan_iter(match=prefix + ":*", count=500))
        if keys:
            client.delete(*keys)
    except redis.RedisError:
        pass
    finally:
        client.close()


def make_gateway_class(qmt_adapter, events: "queue.Queue[Dict[str, Any]]"):
    """A QmtAdapter that also hands every bridge event to the session (as a strategy would)."""

    class DemoQmtAdapter(qmt_adapter.QmtAdapter):
        def _on_event(self, event):
            super()._on_event(event)
            events.put(event)

    return DemoQmtAdapter


# ---------------------------------------------------------------- the session

def print_book(code: str, book) -> None:
    """The first five levels of an order book, bids beside asks."""
    print(f"  {code}")
    table(("level", "bid volume", "bid", "ask", "ask volume"),
          [(i, int(getattr(book, f"bid_volume_{i}")), getattr(book, f"bid_price_{i}"),
            getattr(book, f"ask_price_{i}"), int(getattr(book, f"ask_volume_{i}")))
           for i in range(1, 6)], indent="    ")


class Session:
    chart_file = "qmt_session.png"
    title = "QMT session"

    def __init__(self, gw, clock: SimClock, secs, events, log=print):
        self.gw, self.clock, self.secs, self.events = gw, clock, secs, events
        self.settle_s = 10.0
        self.print = log

    def run(self, args: argparse.Namespace) -> None:
        """The whole session, in the order a strategy's day runs."""
        self.quotes()
        self.five_minute_bars()
        self.orders()
        self.hold(args.hold)
        self.account()
        self.fees()
        chart = self.performance(args.out)
        print("== Done")
        print(f"  chart: {os.path.abspath(chart)}" if chart
              else "  chart: skipped (no matplotlib)")

    def quotes(self) -> None:
        print("== Quotes")
        self.gw.subscribe()
        rows = []
        for sec in self.secs:
            q = self.gw.get_quote(sec)
            rows.append((sec.code, q.last_price, q.open_price, q.high_price, q.low_price,
                         q.prev_close_price, q.bid_price, q.ask_price, q.price_spread,
                         int(q.volume)))
        table(("code", "last", "open", "high", "low", "prev close", "bid", "ask", "spread",
               "volume"), rows)
        print()
        print("== Five-level order books")
        for sec in self.secs:
            print_book(sec.code, self.gw.get_orderbook(sec))
        print()

    def five_minute_bars(self, n: int = 4) -> None:
        print("== Five-minute bars rolled up from one-minute history")
        progress = Progress("loading history", len(self.secs))
        got = {}
        for sec in self.secs:
            got[sec] = self.gw.get_recent_bars(sec, "5Min", periods=n)
            progress.step(sec.code)
        rows = [(sec.code, b.datetime.strftime("%H:%M"), b.open, b.high, b.low, b.close,
                 int(b.volume)) for sec in self.secs for b in got[sec]]
        table(("code", "bar", "open", "high", "low", "close", "volume"), rows)
        print()

    def orders(self) -> None:
        from kavrel_trader.core.constants import Direction, OrderType
        from kavrel_trader.core.order import Order

        print("== Orders (allow_orders on)")
        first, second = self.secs[0], self.secs[1 % len(self.secs)]
        third = self.secs[2 % len(self.secs)]
        # Fresh quotes: the market has moved on while history loaded.
        self.gw.subscribe()
        ask = self.gw.get_quote(first).ask_price
        bid3 = self.gw.get_quote(third).bid_price
        # Three times what the second code's five ask levels show now (within a third of the
        # cash): a market order takes at most the shown volume per matching step.
        book = self.gw.get_orderbook(second)
        shown = sum(int(getattr(book, f"ask_volume_{i}") or 0) for i in range(1, 6)) * 100
        cash = float(self.gw.get_broker_balance().available_cash or 0.0)
        ask2 = self.gw.get_quote(second).ask_price or 1.0
        large = max(100, min(3 * shown, int(cash / 3 / ask2)) // 100 * 100)
        plan = [
            # Half a percent above the ask: it still fills if the ask moves up meanwhile.
            ("limit buy at the ask + 0.5%", Order(security=first, price=round(ask * 1.005, 2),
                                                  quantity=1000, direction=Direction.LONG,
                                                  order_type=OrderType.LIMIT)),
            # More than the best levels show: the order fills in parts, at several prices.
            ("large market buy", Order(security=second, price=None, quantity=large,
                                       direction=Direction.LONG, order_type=OrderType.MARKET)),
            ("limit buy 3% below", Order(security=third, price=round(bid3 * 0.97, 2),
                                         quantity=300, direction=Direction.LONG,
                                         order_type=OrderType.LIMIT)),
        ]
        refs = []
        for label, order in plan:
            ref = self.gw.place_order(order)
            refs.append(ref)
            print(f"  placed {label}: {order.security.code} {int(order.quantity)} "
                  f"@ {order.price if order.price else 'market'} -> ref {ref or '(not sent)'}")
        resting = refs[2]
        if resting:
            self.gw.cancel_order(resting)
            print(f"  cancelled {resting}")
        self.follow_events([r for r in refs if r], wait_s=self.settle_s)
        # Statuses, filled quantities and prices as the gateway's own store holds them.
        rows = []
        for o in (self.gw.orders.get(r) for r in refs if r):
            if o is None:
                continue
            parts = sum(1 for d in self.gw.deals.queue.values() if d.orderid == o.orderid)
            rows.append((o.orderid, o.security.code, o.direction.value, int(o.quantity),
                         o.status.name if o.status is not None else "-",
                         int(o.filled_quantity or 0),
                         f"{float(o.filled_avg_price or 0.0):.4f}", parts))
        table(("ref", "code", "side", "qty", "status", "filled", "avg price", "fills"), rows)
        print()

    def follow_events(self, refs, wait_s: float) -> None:
        """Print the order events as they arrive, until the gateway holds each order in a final
        state or time is up."""
        final = ("FILLED", "CANCELLED", "FAILED")

        def settled():
            orders = (self.gw.orders.get(r) for r in refs)
            return all(o is not None and o.status is not None and o.status.name in final
                       for o in orders)

        deadline = time.monotonic() + wait_s
        while time.monotonic() < deadline:
            try:
                ev = self.events.get(timeout=0.1)
            except queue.Empty:
                if settled():
                    break
                continue
            data = ev.get("data") or {}
            ref = str(data.get("order_ref") or data.get("order_id") or "")
            status = data.get("status", "?")
            traded = data.get("traded_volume") or 0
            when = str(data.get("time") or "")[-8:]
            print(f"  event {when:>8}  {ref[:12]}  {data.get('code', '')}  {status}"
                  + (f"  {traded} @ {data.get('traded_price')}" if traded else ""))

    def deals(self) -> List[Any]:
        """The gateway's own deals, in fill order."""
        return sorted(self.gw.deals.queue.values(), key=lambda d: (d.updated_time, str(d.dealid)))

    def hold(self, minutes: int) -> None:
        print(f"== Holding for {minutes} simulated minutes")
        steps = max(1, min(6, minutes // 5))
        progress = Progress("market time", steps)
        for _ in range(steps):
            self.clock.sleep_sim(minutes / steps)
            progress.step(self.clock().strftime("%H:%M"))
        print()

    def account(self) -> None:
        print("== Account")
        bal = self.gw.get_broker_balance()
        table(("cash", "available cash", "net cash power", "unrealised P&L"),
              [(bal.cash, bal.available_cash, bal.net_cash_power, bal.unrealized_pnl)])
        positions = self.gw.get_all_broker_positions()
        print()
        table(("position", "direction", "quantity", "holding price"),
              [(p.security.code, p.direction.value, int(p.quantity), p.holding_price)
               for p in positions])
        print()
        self.balance, self.positions = bal, positions

    def fees(self) -> None:
        from kavrel_trader.gateways.qmt.qmt_commissions import QmtCommissionsCN

        print("== Fills charged with QmtCommissionsCN (the gateway's deals)")
        deals = self.deals()
        fees = QmtCommissionsCN(*deals)
        table(("fills", "traded amount") + FEE_FIELDS,
              [(len(deals), float(fees.total_trade_amount))
               + tuple(float(getattr(fees, f)) for f in FEE_FIELDS)])
        print()

    def performance(self, out_dir: str) -> Optional[str]:
        import numpy as np
        import pandas as pd
        from kavrel_trader.core.constants import Direction
        from kavrel_trader.plugins.analysis import metrics

        print("== Session performance")
        now = self.clock()
        held = {p.security: int(p.quantity) for p in self.positions}
        # One-minute closes of every code since the open, for the chart and the equity curve.
        start = now.replace(hour=9, minute=30, second=0, microsecond=0)
        n = max(2, int((now - start).total_seconds() // 60) + 1)
        progress = Progress("loading one-minute history", len(self.secs))
        prices: Dict[Any, List[Tuple[datetime, float]]] = {}
        for sec in self.secs:
            bars = self.gw.req_historical_bars(sec, n, "1Min", cur_datetime=now)
            prices[sec] = [(b.datetime, float(b.close)) for b in bars if b.datetime >= start]
            progress.step(sec.code)
        deals = self.deals()
        first_fill = min(d.updated_time for d in deals) if deals else now
        # Equity after the fills: cash now plus the held shares marked at each minute's close.
        cash = float(self.balance.cash)
        closes = {sec: dict(series) for sec, series in prices.items()}
        stamps = sorted({t for sec in held for t in closes.get(sec, {})
                         if t >= first_fill.replace(second=0)})
        equity, last_close = [], {}
        for t in stamps:
            for sec in held:
                if t in closes.get(sec, {}):
                    last_close[sec] = closes[sec][t]
            if len(last_close) == len(held):
                equity.append((t, cash + sum(q * last_close[s] for s, q in held.items())))
        values = np.array([v for _, v in equity], dtype=float)
        drawdown = metrics.rolling_maximum_drawdown(values, window=30) if len(values) else []
        rows = []
        if len(values) >= 3:
            returns = values[1:] / values[:-1] - 1.0
            sharpe = metrics.sharpe_ratio(returns, days=MINUTES_PER_YEAR)
            rows.append(("Sharpe ratio (per-minute returns, annualised)", f"{sharpe:.2f}"))
            rows.append(("worst 30-minute drawdown", f"{100.0 * float(np.min(drawdown)):.3f}%"))
            rows.append(("equity first / last",
                         f"{values[0]:,.2f} / {values[-1]:,.2f}"))
        for sec in held:
            opened = min((d.updated_time for d in deals if d.security == sec), default=now)
            minutes = metrics.holding_period(pd.Series(
                {"open_datetime": opened.strftime("%Y-%m-%d %H:%M:%S"),
                 "close_datetime": now.strftime("%Y-%m-%d %H:%M:%S")}))
            rows.append((f"holding period {sec.code} (to {now:%H:%M})", f"{minutes:.0f} min"))
        table(("measure", "value"), rows)
        print()
        path = os.path.join(out_dir, self.chart_file)
        written = session_chart(
            path, {sec.code: prices[sec] for sec in self.secs},
            [(d.security.code, d.updated_time, float(d.filled_avg_price),
              "BUY" if d.direction == Direction.LONG else "SELL") for d in deals],
            equity, list(drawdown), f"{self.title} {now:%Y-%m-%d} (simulated)")
        return written


def _to_framework_code(code: str) -> str:
    from kavrel_trader.gateways.qmt.symbols import from_qmt_code

    return from_qmt_code(code) if "." in code and code.split(".")[0].isdigit() else code


# ---------------------------------------------------------------- main

def main(argv: Optional[List[str]] = None) -> int:
    args = parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    if threading_main():
        signal.signal(signal.SIGTERM, _raise_interrupt)
    try:
        with contextlib.ExitStack() as stack:
            if args.broker == "futu":
                from kavrel_tools.demo_futu import run_futu

                run_futu(args, stack)
            else:
                run(args, stack)
    except KeyboardInterrupt:
        print("\ninterrupted: everything the demo started is stopped")
        return 130
    return 0


def threading_main() -> bool:
    import threading

    return threading.current_thread() is threading.main_thread()


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt


def run(args: argparse.Namespace, stack: contextlib.ExitStack) -> None:
    from kavrel_tools.redis_server import RedisServer

    print("== Setting up")
    if args.redis_url:
        url = args.redis_url
        print(f"  Redis: {urlparse(url).hostname}:{urlparse(url).port or 6379} (given)")
    else:
        srv = stack.enter_context(RedisServer())
        url = f"redis://{srv.host}:{srv.port}/5"
        print(f"  Redis: private redis-server on {srv.host}:{srv.port}")
    settings = redis_settings(url)
    prefix = f"kavrel:demo:{uuid.uuid4().hex[:8]}"
    stack.callback(delete_prefix, settings, prefix)
    start = datetime.combine(last_trading_day(date.today()), datetime.min.time()).replace(
        hour=10, minute=0)
    log_path = os.path.join(args.out, "simulator.log")
    sim = start_simulator(url, prefix, args.seed, start, args.speed, log_path)
    stack.callback(stop_process, sim)
    print(f"  simulator: pid {sim.pid}, key prefix {prefix}, seed {args.seed}, "
          f"market from {start:%Y-%m-%d %H:%M} at {args.speed:g}x (log: {log_path})")

    import kavrel_trader_config
    from kavrel_trader.core.constants import Exchange
    from kavrel_trader.core.security import Stock
    from kavrel_trader.gateways.qmt import qmt_adapter, redis_bridge

    cfg = dict(settings, key_prefix=prefix, rpc_timeout=10.0, allow_orders=True)
    # The simulated clock, read from the simulator's own ping (it waits until the simulator
    # is up), becomes the gateway's `datetime`: quote times and order updates are market time.
    probe = redis_bridge.QmtRedisBridge(host=cfg["redis_host"], port=cfg["redis_port"],
                                        password=cfg["redis_password"], db=cfg["redis_db"],
                                        key_prefix=prefix, timeout=15.0)
    try:
        pong = probe.ping()
    except Exception:
        if sim.poll() is not None:
            raise SystemExit("the simulator exited at start; see " + log_path) from None
        raise
    finally:
        probe.close()
    clock = SimClock(datetime.strptime(pong["time"], "%Y-%m-%d %H:%M:%S"), args.speed)

    class MarketTime(datetime):
        @classmethod
        def now(cls, tz=None):
            return clock()

    qmt_adapter.datetime = MarketTime
    kavrel_trader_config.GATEWAYS["QmtDemo"] = cfg
    events: "queue.Queue[Dict[str, Any]]" = queue.Queue()
    exchanges = {"SH": Exchange.SSE, "SZ": Exchange.SZSE}
    secs = [Stock(code, code, lot_size=100, exchange=exchanges.get(code.split(".")[0]))
            for code in (_to_framework_code(c) for c in args.codes)]
    gw = make_gateway_class(qmt_adapter, events)(secs, gateway_name="QmtDemo")
    stack.callback(gw.close)
    print()

    Session(gw, clock, secs, events).run(args)


if __name__ == "__main__":
    sys.exit(main())
