"""The simulated account in a file: cash, positions (with what was bought on which day, for
T+1), orders and fills, in SQLite from the standard library.

Each change (an order placed, a fill, an order finished) is one transaction that writes only
the rows it touched and commits before the change is published, so an agent stopped at any
point (killed included) and started again on the same file goes on from the last published
state. The journal is a write-ahead log synced at checkpoints, not at every commit: a change
costs a small append (about a millisecond), and only a power cut can lose the last ones.
"""
from __future__ import annotations

import sqlite3
from datetime import date, datetime
from typing import Any, Dict, Optional, Tuple

__all__ = ["SimStore"]

_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS positions (
    code TEXT PRIMARY KEY, volume INTEGER NOT NULL, cost REAL NOT NULL,
    bought_day TEXT, bought_today INTEGER NOT NULL, frozen INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS orders (
    seq INTEGER PRIMARY KEY, order_id TEXT UNIQUE NOT NULL, order_ref TEXT NOT NULL,
    code TEXT NOT NULL, direction TEXT NOT NULL, order_type TEXT NOT NULL,
    price REAL NOT NULL, volume INTEGER NOT NULL, status TEXT NOT NULL,
    traded_volume INTEGER NOT NULL, traded_price REAL NOT NULL, traded_amount REAL NOT NULL,
    day TEXT NOT NULL, last_step INTEGER NOT NULL, last_e REAL NOT NULL,
    frozen_cash REAL NOT NULL, reason TEXT NOT NULL, updated TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS trades (
    seq INTEGER PRIMARY KEY, trade_id TEXT UNIQUE NOT NULL, order_id TEXT NOT NULL,
    order_ref TEXT NOT NULL, code TEXT NOT NULL, direction TEXT NOT NULL,
    traded_volume INTEGER NOT NULL, traded_price REAL NOT NULL, time TEXT NOT NULL);
"""
_ORDER_COLS = ("order_id", "order_ref", "code", "direction", "order_type", "price", "volume",
               "status", "traded_volume", "traded_price", "traded_amount", "day", "last_step",
               "last_e", "frozen_cash", "reason", "updated")
_TRADE_COLS = ("trade_id", "order_id", "order_ref", "code", "direction", "traded_volume",
               "traded_price", "time")
_STAMP = "%Y-%m-%d %H:%M:%S.%f"


class SimStore:
    """One account's file. ``load`` fills a fresh account; ``save`` writes one change."""

    def __init__(self, path: str, account_id: str) -> None:
        self.path = path
        try:
            self._db = sqlite3.connect(path, check_same_thread=False, isolation_level=None)
        except sqlite3.Error as exc:
            raise ValueError("cannot open %s: %s" % (path, exc)) from None
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=NORMAL")
            self._db.executescript(_SCHEMA)
            row = self._db.execute("SELECT value FROM meta WHERE key='account_id'").fetchone()
        except sqlite3.DatabaseError as exc:
            self._db.close()
            raise ValueError("%s is not a simulator state file: %s" % (path, exc)) from None
        if row is not None and row[0] != account_id:
            self._db.close()
            raise ValueError("%s keeps account %s, not %s" % (path, row[0], account_id))
        self.account_id = account_id
        self._fresh = row is None
        self.last_time: Optional[datetime] = None   # simulated time of the last change

    def close(self) -> None:
        self._db.close()

    # ---------------------------------------------------------------- reading
    def load(self, account: Any, order_cls: Any, position_cls: Any) -> Tuple[int, int]:
        """Fill ``account`` from the file (or write its starting cash into a new one);
        returns the highest order number and trade number used so far."""
        db = self._db
        if self._fresh:
            self.save(account)
            return 0, 0
        meta = dict(db.execute("SELECT key, value FROM meta"))
        account.cash = float(meta["cash"])
        account.frozen_cash = float(meta["frozen_cash"])
        if meta.get("time"):
            self.last_time = datetime.strptime(meta["time"], _STAMP)
        for code, volume, cost, bought_day, bought_today, frozen in db.execute(
                "SELECT code, volume, cost, bought_day, bought_today, frozen FROM positions"):
            pos = position_cls()
            pos.volume, pos.cost, pos.bought_today, pos.frozen = volume, cost, bought_today, \
                frozen
            pos.bought_day = date.fromisoformat(bought_day) if bought_day else None
            account.positions[code] = pos
        last_order = 0
        for row in db.execute("SELECT %s FROM orders ORDER BY seq" % ", ".join(_ORDER_COLS)):
            o = order_cls()
            for col, value in zip(_ORDER_COLS, row):
                setattr(o, col, value)
            o.day = date.fromisoformat(o.day)
            o.updated = datetime.strptime(o.updated, _STAMP)
            account.orders[o.order_id] = o
            account.by_ref[o.order_ref] = o.order_id
            if o.order_id.isdigit():
                last_order = max(last_order, int(o.order_id))
        last_trade = 0
        for row in db.execute("SELECT %s FROM trades ORDER BY seq" % ", ".join(_TRADE_COLS)):
            trade = dict(zip(_TRADE_COLS, row))
            account.trades.append(trade)
            number = trade["trade_id"].lstrip("T")
            if number.isdigit():
                last_trade = max(last_trade, int(number))
        return last_order, last_trade

    # ---------------------------------------------------------------- writing
    def save(self, account: Any, order: Any = None, trade: Optional[Dict[str, Any]] = None
             ) -> None:
        """One change: the account's cash, the order's row, its code's position and the
        fill, committed together."""
        db = self._db
        db.execute("BEGIN")
        try:
            db.executemany("INSERT OR REPLACE INTO meta (key, value) VALUES (?, ?)",
                           [("account_id", self.account_id), ("cash", repr(account.cash)),
                            ("frozen_cash", repr(account.frozen_cash))])
            if order is not None:
                db.execute("INSERT OR REPLACE INTO meta (key, value) VALUES ('time', ?)",
                           (order.updated.strftime(_STAMP),))
                values = [getattr(order, col) for col in _ORDER_COLS]
                values[_ORDER_COLS.index("day")] = order.day.isoformat()
                values[_ORDER_COLS.index("updated")] = order.updated.strftime(_STAMP)
                db.execute("INSERT INTO orders (%s) VALUES (%s) ON CONFLICT(order_id) DO "
                           "UPDATE SET %s" % (", ".join(_ORDER_COLS),
                                              ", ".join("?" * len(_ORDER_COLS)),
                                              ", ".join("%s=excluded.%s" % (c, c)
                                                        for c in _ORDER_COLS[1:])), values)
                pos = account.positions.get(order.code)
                if pos is None:
                    db.execute("DELETE FROM positions WHERE code=?", (order.code,))
                else:
                    db.execute("INSERT OR REPLACE INTO positions VALUES (?, ?, ?, ?, ?, ?)",
                               (order.code, pos.volume, pos.cost,
                                pos.bought_day.isoformat() if pos.bought_day else None,
                                pos.bought_today, pos.frozen))
            if trade is not None:
                db.execute("INSERT INTO trades (%s) VALUES (%s)"
                           % (", ".join(_TRADE_COLS), ", ".join("?" * len(_TRADE_COLS))),
                           [trade[c] for c in _TRADE_COLS])
            db.execute("COMMIT")
        except BaseException:
            db.execute("ROLLBACK")
            raise
