"""A simulated A-share market: seeded random walks served as ticks and bars.

Calendar: every weekday is a trading day (no holiday table); continuous trading runs
09:30-11:30 and 13:00-15:00 local time, 240 one-minute bars a day. A bar is stamped with the
minute it starts (09:30 ... 11:29, 13:00 ... 14:59), so clock-aligned n-minute buckets tile the
sessions exactly; the lunch break and the night are gaps between bars.

Prices: per code a daily walk of closes (about 1.8 % daily moves, pulled slowly back towards
the code's starting price, within the +/-10 % limits,
on the 0.01 price grid), starting from a seeded price on ``ANCHOR``; each day's minute path
is a seeded Brownian bridge from that day's open to its close. Everything is a pure function
of (seed, code, day), so two simulators with the same seed serve the same market, history
and live ticks agree, and a day's bars never change once served. A few days per code are
suspended (no bars, no trading); ``fill_data`` history requests get all-zero placeholder bars
for them. Volumes are in lots of 100 shares, amounts in yuan, as the terminal reports them.
"""
from __future__ import annotations

import math
import re
import threading
import time
import zlib
from collections import OrderedDict
from datetime import date, datetime, time as dtime, timedelta
from typing import Any, Dict, List, Optional, Tuple

import numpy as np

__all__ = ["ANCHOR", "BAR_MINUTES", "DayPath", "SimMarket", "bar_time", "is_trading_day",
           "minute_of_day", "normalize_code", "price_limits", "session_elapsed",
           "in_continuous_session"]

ANCHOR = date(2015, 1, 5)      # a Monday: trading day 0 of every walk; no bars before it
BAR_MINUTES = 240
_OPEN_AM, _CLOSE_AM, _OPEN_PM, _CLOSE_PM = 9 * 60 + 30, 11 * 60 + 30, 13 * 60, 15 * 60
_AUCTION = 9 * 60 + 25          # opening price known from here on
_CHUNK = 512                    # daily walk grows in fixed chunks: same numbers whatever the order
_CODE_RE = re.compile(r"^(\d{6})\.(SH|SZ|BJ)$", re.IGNORECASE)


def normalize_code(code: Any) -> Optional[str]:
    """"600000.SH" for a QMT code in any letter case; None for anything else."""
    if not isinstance(code, str):
        return None
    m = _CODE_RE.match(code.strip())
    return m.group(1) + "." + m.group(2).upper() if m else None


def is_trading_day(d: date) -> bool:
    return d.weekday() < 5


def minute_of_day(t: datetime) -> float:
    return t.hour * 60 + t.minute + t.second / 60.0 + t.microsecond / 60e6


def session_elapsed(t: datetime) -> float:
    """Minutes of continuous trading done by ``t`` on its own date, 0 to 240."""
    m = minute_of_day(t)
    if m <= _OPEN_AM:
        return 0.0
    if m <= _CLOSE_AM:
        return m - _OPEN_AM
    if m <= _OPEN_PM:
        return 120.0
    if m <= _CLOSE_PM:
        return 120.0 + m - _OPEN_PM
    return 240.0


def in_continuous_session(t: datetime) -> bool:
    m = minute_of_day(t)
    return is_trading_day(t.date()) and (_OPEN_AM <= m < _CLOSE_AM or _OPEN_PM <= m < _CLOSE_PM)


def bar_time(d: date, k: int) -> datetime:
    """Start time of one-minute bar ``k`` (0 to 239) of day ``d``."""
    minute = _OPEN_AM + k if k < 120 else _OPEN_PM + k - 120
    return datetime.combine(d, dtime(minute // 60, minute % 60))


def _day_index(d: date) -> int:
    """Trading-day number of a weekday counted from ``ANCHOR`` (negative before it)."""
    days = (d - ANCHOR).days
    return (days // 7) * 5 + min(days % 7, 5)


def _index_date(i: int) -> date:
    return ANCHOR + timedelta(days=(i // 5) * 7 + i % 5)


def price_limits(prev_close):
    """The day's lowest and highest allowed prices: +/-10 % of the close before, on the
    0.01 grid (arrays too; every limit in the simulator comes from here)."""
    return (np.maximum(0.01, np.round(np.multiply(prev_close, 0.9), 2)),
            np.round(np.multiply(prev_close, 1.1), 2))


def _last_trading_day(d: date) -> date:
    while not is_trading_day(d):
        d -= timedelta(days=1)
    return d


class DayPath:
    """One code's day: prices at the 241 minute marks and the 240 one-minute bars."""

    __slots__ = ("day", "prev_close", "limit_up", "limit_down", "suspended", "marks",
                 "opens", "highs", "lows", "closes", "volumes", "amounts")

    def price_at(self, e: float) -> float:
        """Traded price after ``e`` minutes of trading (linear inside a minute)."""
        if e <= 0:
            return self.marks[0]
        if e >= BAR_MINUTES:
            return self.marks[BAR_MINUTES]
        k = int(e)
        a, b = self.marks[k], self.marks[k + 1]
        return round(a + (b - a) * (e - k), 2)

    def price_range(self, e0: float, e1: float) -> Tuple[float, float]:
        """Lowest and highest traded price between ``e0`` and ``e1`` minutes (e0 < e1)."""
        pts = [self.price_at(e0), self.price_at(e1)]
        lo, hi = min(pts), max(pts)
        k = int(e0) if e0 == int(e0) else int(e0) + 1     # first whole minute inside
        while k + 1 <= e1 and k < BAR_MINUTES:
            lo = min(lo, self.lows[k])
            hi = max(hi, self.highs[k])
            k += 1
        return lo, hi


class _CodeWalk:
    DAILY_SD = 0.018        # standard deviation of a day's log move
    MAX_MOVE = 0.085        # largest drawn move, inside the +/-10 % limits

    def __init__(self, seed: int, code: str, suspend_rate: float) -> None:
        self.key = zlib.crc32(code.encode("ascii"))
        self._rng = np.random.default_rng([seed, self.key, 0])
        self.base = round(float(np.exp(self._rng.uniform(np.log(3.0), np.log(80.0)))), 2)
        self.lots = int(self._rng.integers(200, 3000))
        self.suspend_rate = suspend_rate
        self.closes: List[float] = []
        self.suspended: List[bool] = []
        self._dev = 0.0                     # log deviation from the starting price

    def extend_to(self, i: int) -> None:
        """Grow the walk past day ``i``, a chunk of days at a time, without a Python loop.

        The log price deviates from the starting price as x[t] = a[t] * x[t-1] + r[t], with
        a = 0.99 on trading days (a slow pull back, keeping years of walk in range) and 1 on
        suspended days (r = 0). Over a chunk that is x = A * (x0 + cumsum(r / A)) with A the
        running product of a. Closes are then rounded to the price grid and kept within the
        daily limits of the close before.
        """
        while len(self.closes) <= i:
            moves = np.clip(self._rng.normal(0.0, self.DAILY_SD, _CHUNK), -self.MAX_MOVE,
                            self.MAX_MOVE)
            stops = self._rng.random(_CHUNK) < self.suspend_rate
            moves[stops] = 0.0
            decay = np.power(0.99, np.cumsum(~stops))
            dev = decay * (self._dev + np.cumsum(moves / decay))
            self._dev = float(dev[-1])
            prev = self.closes[-1] if self.closes else self.base
            closes = np.concatenate(([prev], np.round(self.base * np.exp(dev), 2)))
            closes[1:][stops] = np.nan
            last = np.maximum.accumulate(np.where(np.isnan(closes), 0, np.arange(_CHUNK + 1)))
            closes = closes[last]                   # a suspended day keeps the close before
            while True:
                down, up = price_limits(closes[:-1])
                bad = (closes[1:] > up) | (closes[1:] < down)
                if not bad.any():
                    break
                closes[1:] = np.where(bad, np.clip(closes[1:], down, up), closes[1:])
                closes = closes[np.maximum.accumulate(np.where(
                    np.concatenate(([False], stops)), 0, np.arange(_CHUNK + 1)))]
            self.closes.extend(closes[1:].tolist())
            self.suspended.extend(stops.tolist())

    def prev_close(self, i: int) -> float:
        return self.closes[i - 1] if i > 0 else self.base


class SimMarket:
    """Ticks and bars of any valid code, a pure function of (seed, code, time)."""

    def __init__(self, seed: int = 7, suspend_rate: float = 0.01, cache_days: int = 2048):
        self.seed = int(seed)
        self.suspend_rate = float(suspend_rate)
        self._walks: Dict[str, _CodeWalk] = {}
        self._paths: "OrderedDict[Tuple[str, int], DayPath]" = OrderedDict()
        self._cache_days = cache_days
        self._lock = threading.RLock()

    # ---------------------------------------------------------------- building blocks
    def _walk(self, code: str, i: int) -> _CodeWalk:
        w = self._walks.get(code)
        if w is None:
            w = self._walks[code] = _CodeWalk(self.seed, code, self.suspend_rate)
        w.extend_to(i)
        return w

    def is_suspended(self, code: str, d: date) -> bool:
        i = _day_index(d)
        return is_trading_day(d) and i >= 0 and self._walk(code, i).suspended[i]

    def day(self, code: str, d: date) -> Optional[DayPath]:
        """The day's path, None on a weekend or before ``ANCHOR``."""
        if not is_trading_day(d):
            return None
        i = _day_index(d)
        if i < 0:
            return None
        with self._lock:
            path = self._paths.get((code, i))
            if path is not None:
                self._paths.move_to_end((code, i))
                return path
            path = self._build_day(code, d, i)
            self._paths[(code, i)] = path
            if len(self._paths) > self._cache_days:
                self._paths.popitem(last=False)
            return path

    def _build_day(self, code: str, d: date, i: int) -> DayPath:
        w = self._walk(code, i)
        p = DayPath()
        p.day = d
        prev = w.prev_close(i)
        close = w.closes[i]
        p.prev_close = prev
        down, up = price_limits(prev)
        p.limit_down, p.limit_up = float(down), float(up)
        p.suspended = w.suspended[i]
        if p.suspended:
            p.marks = [prev] * (BAR_MINUTES + 1)
            p.opens = p.highs = p.lows = p.closes = [prev] * BAR_MINUTES
            p.volumes = [0] * BAR_MINUTES
            p.amounts = [0.0] * BAR_MINUTES
            return p
        rng = np.random.default_rng([self.seed, w.key, i + 1])
        lo, hi = p.limit_down, p.limit_up
        open_ = float(np.clip(round(prev * (1.0 + rng.normal(0.0, 0.004)), 2), lo, hi))
        steps = np.concatenate(([0.0], np.cumsum(rng.normal(0.0, 1.0, BAR_MINUTES))))
        frac = np.arange(BAR_MINUTES + 1) / BAR_MINUTES
        bridge = steps - frac * steps[-1]
        sigma = prev * 0.0012
        marks = np.clip(np.round(open_ + (close - open_) * frac + bridge * sigma, 2), lo, hi)
        marks[0], marks[-1] = open_, close
        o, c = marks[:-1], marks[1:]
        wick = np.abs(rng.normal(0.0, sigma * 0.6, (2, BAR_MINUTES)))
        highs = np.clip(np.round(np.maximum(o, c) + wick[0], 2), lo, hi)
        lows = np.clip(np.round(np.minimum(o, c) - wick[1], 2), lo, hi)
        shape = 1.0 + 1.5 * ((np.arange(BAR_MINUTES) % 120 - 60) / 60.0) ** 2
        vols = np.maximum(1, np.round(w.lots * shape * rng.lognormal(0.0, 0.4, BAR_MINUTES)))
        p.marks = marks.tolist()
        p.opens, p.closes = o.tolist(), c.tolist()
        p.highs, p.lows = highs.tolist(), lows.tolist()
        p.volumes = vols.astype(np.int64).tolist()
        p.amounts = np.round(vols * 100.0 * (o + c + highs + lows) / 4.0, 2).tolist()
        return p

    # ---------------------------------------------------------------- the live state
    def state(self, code: str, now: datetime) -> Optional[Dict[str, Any]]:
        """Last price, day OHLC, volume and limits of ``code`` as seen at ``now``."""
        d = _last_trading_day(now.date())
        path = self.day(code, d)
        if path is None:
            return None
        if path.suspended or (d == now.date() and minute_of_day(now) < _AUCTION):
            e = -1.0                            # no trading (yet) that day
        elif d != now.date():
            e = 240.0                           # weekend: Friday's close
        else:
            e = session_elapsed(now)
        st = {"path": path, "elapsed": e, "prev_close": path.prev_close,
              "suspended": path.suspended}
        if e < 0:
            st.update(last=path.prev_close, open=0.0, high=0.0, low=0.0, volume=0, amount=0.0,
                      trades=0)
            return st
        done = int(e)
        last = path.price_at(e)
        if done >= BAR_MINUTES:
            highs, lows = path.highs, path.lows
            vol, amount = sum(path.volumes), sum(path.amounts)
        else:
            frac = e - done
            highs, lows = path.highs[:done] + [path.opens[done], last], \
                path.lows[:done] + [path.opens[done], last]
            vol = sum(path.volumes[:done]) + int(path.volumes[done] * frac)
            amount = sum(path.amounts[:done]) + path.amounts[done] * frac
        st.update(last=last, open=path.marks[0], high=max(highs), low=min(lows), volume=vol,
                  amount=round(amount, 2), trades=vol // 3)
        return st

    def book(self, code: str, st: Dict[str, Any], now: datetime):
        """Five bid and ask levels around the last price (zeros beyond the day's limits)."""
        path: DayPath = st["path"]
        if st["suspended"]:
            zeros = [0.0] * 5
            return zeros, [0] * 5, list(zeros), [0] * 5
        last = st["last"]
        w = self._walk(code, _day_index(path.day))
        rng = np.random.default_rng([self.seed, w.key, _day_index(path.day) + 1,
                                     int(minute_of_day(now) * 60)])
        sizes = rng.integers(1, max(2, w.lots // 4), (2, 5)).tolist()
        bids, asks, bid_vols, ask_vols = [], [], [], []
        for lvl in range(5):
            b = round(last - 0.01 * lvl, 2)
            a = round(last + 0.01 * (lvl + 1), 2)
            ok_b = path.limit_down <= b and b > 0
            ok_a = a <= path.limit_up
            bids.append(b if ok_b else 0.0)
            bid_vols.append(sizes[0][lvl] if ok_b else 0)
            asks.append(a if ok_a else 0.0)
            ask_vols.append(sizes[1][lvl] if ok_a else 0)
        return bids, bid_vols, asks, ask_vols

    def tick(self, code: str, now: datetime) -> Optional[Dict[str, Any]]:
        """One code's full tick in the terminal's shape; None before ``ANCHOR``."""
        st = self.state(code, now)
        if st is None:
            return None
        bids, bid_vols, asks, ask_vols = self.book(code, st, now)
        return {
            "time": int(time.mktime(now.timetuple()) * 1000 + now.microsecond // 1000),
            "timetag": now.strftime("%Y%m%d %H:%M:%S"),
            "lastPrice": st["last"],
            "open": st["open"],
            "high": st["high"],
            "low": st["low"],
            "lastClose": st["prev_close"],
            "amount": st["amount"],
            "volume": st["volume"],
            "pvolume": st["volume"] * 100,
            "stockStatus": 1 if st["suspended"] else 0,
            "transactionNum": st["trades"],
            "askPrice": asks,
            "bidPrice": bids,
            "askVol": ask_vols,
            "bidVol": bid_vols,
        }

    # ---------------------------------------------------------------- history
    def minute_bars(self, code: str, start: Optional[datetime], end: datetime, count: int,
                    fill_data: bool, now: datetime) -> List[Dict[str, Any]]:
        """One-minute bars starting in [start, end], none after ``now``; the forming bar of
        ``now`` carries the prices so far. ``count`` > 0 keeps the last ``count``."""
        end = min(end, now)
        out: List[List[Dict[str, Any]]] = []      # per day, newest day first
        total = 0
        d = _last_trading_day(end.date())
        first_day = start.date() if start is not None else None
        while _day_index(d) >= 0:
            if first_day is not None and d < first_day:
                break
            path = self.day(code, d)
            day_bars = self._day_minute_bars(path, start, end, fill_data, now)
            if day_bars:
                out.append(day_bars)
                total += len(day_bars)
            if count > 0 and total >= count:
                break
            if first_day is None and count <= 0 and day_bars:
                break                                 # no window, no count: the latest day
            if total >= 100_000:
                break
            d = _last_trading_day(d - timedelta(days=1))
        bars = [b for day_bars in reversed(out) for b in day_bars]
        return bars[-count:] if count > 0 else bars[-100_000:]

    def _day_minute_bars(self, path: DayPath, start, end, fill_data, now):
        rows = []
        today = path.day == now.date()
        e_now = session_elapsed(now) if today else float(BAR_MINUTES)
        for k in range(BAR_MINUTES):
            t = bar_time(path.day, k)
            if t > end:                                # end is never after now
                break
            if start is not None and t < start:
                continue
            stamp = t.strftime("%Y%m%d%H%M%S")
            if path.suspended:
                if fill_data:
                    rows.append(_placeholder(stamp, path.prev_close))
                continue
            if k >= int(e_now):                        # the bar forming at `now`
                frac = e_now - k
                last = path.price_at(e_now)
                o = path.opens[k]
                rows.append(_bar(stamp, o, max(o, last), min(o, last), last,
                                 int(path.volumes[k] * frac),
                                 round(path.amounts[k] * frac, 2), path.prev_close))
            else:
                rows.append(_bar(stamp, path.opens[k], path.highs[k], path.lows[k],
                                 path.closes[k], path.volumes[k], path.amounts[k],
                                 path.prev_close))
        return rows

    def daily_bars(self, code: str, start: Optional[date], end: date, count: int,
                   fill_data: bool, now: datetime) -> List[Dict[str, Any]]:
        """Daily bars of days in [start, end], today's only once trading has begun."""
        end = min(end, now.date())
        d = _last_trading_day(end)
        out: List[Dict[str, Any]] = []
        while _day_index(d) >= 0:
            if start is not None and d < start:
                break
            if count > 0 and len(out) >= count:
                break
            stamp = d.strftime("%Y%m%d")
            if self.is_suspended(code, d):
                if fill_data:
                    out.append(_placeholder(stamp, self.day(code, d).prev_close))
            elif d < now.date() or minute_of_day(now) >= _OPEN_AM:
                st = self.state(code, now if d == now.date() else
                                datetime.combine(d, dtime(15, 0)))
                out.append(_bar(stamp, st["open"], st["high"], st["low"], st["last"],
                                st["volume"], st["amount"], st["prev_close"]))
            if len(out) >= 100_000:
                break
            d = _last_trading_day(d - timedelta(days=1))
        out.reverse()
        return out


def _bar(stamp, o, h, lo, c, vol, amount, prev_close) -> Dict[str, Any]:
    return {"time": stamp, "open": o, "high": h, "low": lo, "close": c, "volume": vol,
            "amount": amount, "preClose": prev_close, "suspendFlag": 0}


def _placeholder(stamp, prev_close) -> Dict[str, Any]:
    return {"time": stamp, "open": 0.0, "high": 0.0, "low": 0.0, "close": 0.0, "volume": 0,
            "amount": 0.0, "preClose": prev_close, "suspendFlag": 1}
