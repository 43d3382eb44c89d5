"""Soak of the QMT order path: the native gateway against the bridge simulator while Redis and
the agent go away and come back.

    python benchmarks/soak_qmt.py [--orders 500] [--threads 4] [--seed 7]      (make soak)

A private redis-server on a free loopback port and the simulator as its own process (its
account kept in a state file) serve one QmtAdapter. Four threads place 500 orders (market
buys, some large enough to fill in parts, limit buys at the ask, limit buys below the market,
a share of them cancelled) while a chaos thread stops and starts Redis three times (it comes
back empty) and restarts the agent twice on its state file. After the last order the soak
waits until the gateway's stores have been quiet for a while, then compares the gateway's
`orders` and `deals` with the agent's "query_orders" and "query_trades" and prints the
counts. The exit status is 0 only when every count is 0.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import random
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import uuid
from collections import Counter
from datetime import date, datetime, timedelta
from typing import Any, Dict, List

from kavrel_tools.demo import last_trading_day, stop_process

STATUS_OF_WORD = {"filled": "FILLED", "partly_filled": "PART_FILLED", "cancelled": "CANCELLED",
                  "rejected": "FAILED", "submitted": "SUBMITTED", "unreported": "SUBMITTED",
                  "wait_reporting": "SUBMITTED", "cancel_pending": "SUBMITTED"}
CODES = ["SH.600000", "SZ.000001", "SH.601318", "SZ.000002"]


def parse_args(argv):
    p = argparse.ArgumentParser(prog="soak_qmt", description=__doc__.split("\n\n")[0])
    p.add_argument("--orders", type=int, default=500)
    p.add_argument("--threads", type=int, default=4)
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--speed", type=float, default=20.0, help="simulated seconds per second")
    p.add_argument("--spacing", type=float, default=0.12,
                   help="seconds between two orders of one thread")
    p.add_argument("--quiet", type=float, default=4.0,
                   help="seconds without a change that count as quiet")
    return p.parse_args(argv)


class Agent:
    """The simulator process on one state file; its clock continues across restarts."""

    def __init__(self, url, prefix, seed, state, start, speed, log_path):
        self.url, self.prefix, self.seed, self.state = url, prefix, seed, state
        self.anchor, self.speed, self.t0 = start, speed, time.monotonic()
        self.log_path, self.proc = log_path, None

    def sim_now(self) -> datetime:
        return self.anchor + timedelta(seconds=(time.monotonic() - self.t0) * self.speed)

    def start(self):
        cmd = [sys.executable, "-m", "kavrel_tools.qmt_agent", "--backend", "sim",
               "--redis-url", self.url, "--key-prefix", self.prefix, "--seed", str(self.seed),
               "--start-time", self.sim_now().strftime("%Y-%m-%d %H:%M:%S"),
               "--speed", str(self.speed), "--allow-orders", "--log-level", "WARNING",
               "--cash", "500000000", "--state", self.state]
        with open(self.log_path, "a") as log:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=log, stderr=log)

    def stop(self):
        proc, self.proc = self.proc, None
        if proc is not None:
            stop_process(proc)


def wait_for(pred, limit, step=0.1):
    deadline = time.monotonic() + limit
    while time.monotonic() < deadline:
        if pred():
            return True
        time.sleep(step)
    return pred()


def snapshot(gw):
    orders = {ref: (str(o.status), o.filled_quantity) for ref, o in list(gw.orders.queue.items())}
    return orders, len(gw.deals.queue)


def place_orders(gw, secs, n, spacing, rng, placed: List[str], lock):
    from kavrel_trader.core.constants import Direction, OrderType
    from kavrel_trader.core.order import Order

    for _ in range(n):
        sec = rng.choice(secs)
        kind = rng.random()
        q = gw.quote.get(sec)
        ask = getattr(q, "ask_price", 0.0) or 10.0
        bid = getattr(q, "bid_price", 0.0) or ask
        if kind < 0.35:
            # Large market orders take more than the best levels show: they fill in parts.
            order = Order(security=sec, price=None, quantity=rng.choice([100, 500, 5000, 50000]),
                          direction=Direction.LONG, order_type=OrderType.MARKET)
        elif kind < 0.7:
            order = Order(security=sec, price=ask, quantity=rng.choice([100, 300, 1000, 20000]),
                          direction=Direction.LONG, order_type=OrderType.LIMIT)
        else:
            order = Order(security=sec, price=round(bid * 0.97, 2), quantity=100,
                          direction=Direction.LONG, order_type=OrderType.LIMIT)
        ref = gw.place_order(order)
        with lock:
            placed.append(order)
        if ref and kind >= 0.7 and rng.random() < 0.5:
            time.sleep(spacing / 2)
            gw.cancel_order(ref)
        time.sleep(spacing)


def chaos(srv, agent: Agent, stop: threading.Event, gap: float, log):
    """Three Redis restarts (empty) and two agent restarts, spread over the run."""
    plan = ["redis", "agent", "redis", "agent", "redis"]
    for step in plan:
        if stop.wait(gap):
            return
        if step == "redis":
            log("  chaos: redis-server stopped")
            srv.stop()
            time.sleep(1.5)
            srv.start()
            log("  chaos: redis-server started (empty)")
        else:
            log("  chaos: agent stopped")
            agent.stop()
            time.sleep(1.0)
            agent.start()
            log("  chaos: agent started again on its state file")


def compare(gw, agent_orders: List[Dict[str, Any]], agent_trades: List[Dict[str, Any]]):
    by_ref: Dict[str, Dict[str, Any]] = {}
    dup = Counter(str(o.get("order_ref") or "") for o in agent_orders)
    for o in agent_orders:
        by_ref[str(o.get("order_ref") or "")] = o
    mine = dict(gw.orders.queue)
    lost = wrong_state = wrong_qty = unknown = 0
    for ref, order in mine.items():
        status = order.status.name if order.status is not None else "None"
        if status == "UNKNOWN":
            unknown += 1
            continue
        theirs = by_ref.get(ref)
        if theirs is None:
            if status != "FAILED":
                lost += 1
            continue
        if STATUS_OF_WORD.get(theirs.get("status")) != status:
            wrong_state += 1
        if float(order.filled_quantity or 0) != float(theirs.get("traded_volume") or 0):
            wrong_qty += 1
    lost += sum(1 for ref in by_ref if ref not in mine)
    trade_ids = {str(t["trade_id"]) for t in agent_trades if str(t.get("order_ref")) in mine}
    deals = set(gw.deals.queue)
    return {
        "orders lost": lost,
        "orders in the wrong state": wrong_state,
        "orders with the wrong filled quantity": wrong_qty,
        "orders left UNKNOWN": unknown,
        "deals missing": len(trade_ids - deals),
        "deals extra": len(deals - {str(t["trade_id"]) for t in agent_trades}),
        "duplicate orders at the agent": sum(n - 1 for ref, n in dup.items() if n > 1),
    }


def run(args, stack: contextlib.ExitStack) -> int:
    from kavrel_tools.redis_server import RedisServer

    log = print
    srv = stack.enter_context(RedisServer())
    url = f"redis://{srv.host}:{srv.port}/5"
    work = tempfile.mkdtemp(prefix="kavrel-soak-")
    stack.callback(shutil.rmtree, work, True)
    prefix = "kavrel:soak:" + uuid.uuid4().hex[:8]
    start = datetime.combine(last_trading_day(date.today()), datetime.min.time()).replace(
        hour=9, minute=35)
    agent = Agent(url, prefix, args.seed, os.path.join(work, "sim.sqlite"), start, args.speed,
                  os.path.join(work, "agent.log"))
    agent.start()
    stack.callback(agent.stop)
    log(f"== Soak: {args.orders} orders from {args.threads} threads, redis-server on port "
        f"{srv.port}, simulator pid {agent.proc.pid} at {args.speed:g}x from {start:%H:%M}")

    import kavrel_trader_config
    from kavrel_trader.core.constants import Exchange
    from kavrel_trader.core.security import Stock
    from kavrel_trader.gateways.qmt import qmt_adapter

    # The gateway's log lines, counted by kind rather than printed.
    lines: Counter = Counter()
    qmt_adapter.print = lambda *a: lines.update([" ".join(str(a[0]).split()[:3])])
    cfg = {"redis_host": srv.host, "redis_port": srv.port, "redis_db": 5, "key_prefix": prefix,
           "rpc_timeout": 3.0, "unknown_grace": 3.0, "allow_orders": True}
    kavrel_trader_config.GATEWAYS["QmtSoak"] = cfg
    exchanges = {"SH": Exchange.SSE, "SZ": Exchange.SZSE}
    secs = [Stock(c, c, lot_size=100, exchange=exchanges[c[:2]]) for c in CODES]
    seen = Counter()

    class SoakQmtAdapter(qmt_adapter.QmtAdapter):
        """Counts the events and the event channel's recoveries the gateway is told of."""

        def _on_event(self, event):
            seen["events"] += 1
            super()._on_event(event)

        def _on_events_recovered(self):
            seen["recoveries"] += 1
            super()._on_events_recovered()

    gw = None
    deadline = time.monotonic() + 30
    while gw is None:
        try:
            gw = SoakQmtAdapter(secs, gateway_name="QmtSoak")
        except Exception:  # noqa: BLE001 - the simulator is still starting
            if time.monotonic() > deadline or agent.proc.poll() is not None:
                raise
            time.sleep(0.5)
    stack.callback(gw.close)

    placed: List[Any] = []
    lock = threading.Lock()
    per_thread = args.orders // args.threads
    extra = args.orders - per_thread * args.threads
    workers = [threading.Thread(target=place_orders, name=f"soak-{i}",
                                args=(gw, secs, per_thread + (1 if i < extra else 0),
                                      args.spacing, random.Random(args.seed + i), placed, lock))
               for i in range(args.threads)]
    stop = threading.Event()
    run_time = (per_thread + 1) * args.spacing * 1.5
    chaos_thread = threading.Thread(target=chaos, name="soak-chaos",
                                    args=(srv, agent, stop, run_time / 6, log))
    t0 = time.monotonic()
    chaos_thread.start()
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    chaos_thread.join()
    log(f"  {len(placed)} orders placed in {time.monotonic() - t0:.1f} s; waiting for quiet")

    # Quiet: the gateway's stores unchanged for args.quiet seconds and no order UNKNOWN.
    last, since = snapshot(gw), time.monotonic()
    limit = time.monotonic() + 120
    while time.monotonic() < limit:
        time.sleep(0.25)
        now = snapshot(gw)
        if now != last:
            last, since = now, time.monotonic()
        elif time.monotonic() - since >= args.quiet and not any(
                s == "OrderStatus.UNKNOWN" for s, _ in now[0].values()):
            break

    counts: Dict[str, int] = {}
    for _ in range(5):
        agent_orders = gw._rpc.call("query_orders") or []
        agent_trades = gw._rpc.call("query_trades") or []
        counts = compare(gw, agent_orders, agent_trades)
        if not any(counts.values()):
            break
        time.sleep(args.quiet)          # a fill on its way: look again
    statuses = Counter(o.status.name if o.status is not None else "None"
                       for o in gw.orders.queue.values())
    parts = Counter(str(d.orderid) for d in gw.deals.queue.values())
    log(f"  gateway: {len(gw.orders.queue)} orders "
        + ", ".join(f"{k} {v}" for k, v in sorted(statuses.items()))
        + f"; {len(gw.deals.queue)} deals, {sum(1 for n in parts.values() if n > 1)} orders "
        "filled in several parts")
    log(f"  agent:   {len(agent_orders)} orders, {len(agent_trades)} trades")
    log(f"  events delivered to the gateway: {seen['events']}; event channel recovered "
        f"{seen['recoveries']} times (each followed by a reconciliation)")
    log("  gateway log lines: " + ", ".join(f"{k!r} {v}" for k, v in sorted(lines.items())))
    log("== Counts (all must be 0)")
    for name, n in counts.items():
        log(f"  {name:<40} {n}")
    return 1 if any(counts.values()) else 0


def main(argv=None) -> int:
    args = parse_args(argv)
    with contextlib.ExitStack() as stack:
        return run(args, stack)


if __name__ == "__main__":
    sys.exit(main())
