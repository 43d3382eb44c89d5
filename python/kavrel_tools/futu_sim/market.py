"""The simulated market of the broker stand-in: Hong Kong stocks, Hong Kong index futures and
crypto pairs, served as quotes, ten-level order books and one-minute and daily bars.

Instruments:
- Hong Kong stocks "HK.<5 digits>": board lots from ``HK_STOCKS`` (100 shares for a code not in
  the table), prices on the exchange's spread table, sessions 09:30-12:00 and 13:00-16:00 on
  weekdays (330 one-minute bars a day), lunch and overnight gaps.
- Hong Kong index futures "HK.<root><YYMM>" for the roots of ``HK_FUTURES`` and the main
  contract "HK.<root>main", which is the front month (a month's contract expires on its
  second-to-last weekday; after that the next month is the front). Sessions 09:15-12:00 and
  13:00-16:30; a month further out trades a small premium over the front.
- Crypto pairs "CC.<coin><quote>" from ``CRYPTO``: fractional quantities, trading around the
  clock every day (1440 bars a day).

Prices: each instrument (a futures root for all its months) follows the QMT simulator's
seeded daily walk (``qmt_agent.market._CodeWalk``), scaled to the instrument's reference
price, and each day's minute path is a seeded Brownian bridge from the day's open to its
close. Everything is a pure function of (seed, instrument, time): history and live quotes
agree, and a served bar never changes.
"""
from __future__ import annotations

import math
import re
import threading
import zlib
from collections import OrderedDict
from dataclasses import dataclass
from datetime import date, datetime, time as dtime, timedelta
from typing import Dict, List, Optional, Tuple

import numpy as np

from ..qmt_agent.market import ANCHOR, _CodeWalk, _day_index, is_trading_day

__all__ = ["CRYPTO", "HK_FUTURES", "HK_STOCKS", "Instrument", "FutuMarket", "DaySession",
           "hk_tick", "front_month", "BOOK_LEVELS"]

BOOK_LEVELS = 10

# code -> (name, board lot, reference price)
HK_STOCKS: Dict[str, Tuple[str, int, float]] = {
    "HK.00700": ("TENCENT", 100, 380.0),
    "HK.09988": ("BABA-W", 100, 80.0),
    "HK.00005": ("HSBC HOLDINGS", 400, 62.0),
    "HK.00388": ("HKEX", 100, 290.0),
    "HK.00939": ("CCB", 1000, 5.4),
    "HK.01299": ("AIA", 200, 62.0),
    "HK.01810": ("XIAOMI-W", 200, 16.0),
    "HK.02318": ("PING AN", 500, 42.0),
    "HK.02800": ("TRACKER FUND", 500, 19.0),
    "HK.03690": ("MEITUAN-W", 100, 120.0),
}
# root -> (name, contract multiplier in HKD per index point, reference index level)
HK_FUTURES: Dict[str, Tuple[str, float, float]] = {
    "HSI": ("HANG SENG INDEX FUTURES", 50.0, 17500.0),
    "MHI": ("MINI HANG SENG INDEX FUTURES", 10.0, 17500.0),
    "HHI": ("HS CHINA ENTERPRISES FUTURES", 50.0, 6100.0),
    "MCH": ("MINI HS CHINA ENTERPRISES FUTURES", 10.0, 6100.0),
}
# code -> (name, reference price in the quote currency, price tick, book level size in coins)
CRYPTO: Dict[str, Tuple[str, float, float, float]] = {
    "CC.BTCUSD": ("BTC/USD", 62000.0, 0.01, 0.05),
    "CC.ETHUSD": ("ETH/USD", 3100.0, 0.01, 0.8),
    "CC.BTCHKD": ("BTC/HKD", 484000.0, 0.1, 0.05),
    "CC.ETHHKD": ("ETH/HKD", 24200.0, 0.1, 0.8),
}

_HK_STOCK_RE = re.compile(r"^HK\.(\d{5})$")
_HK_FUTURE_RE = re.compile(r"^HK\.([A-Z]{3})(main|\d{4})$")
_STOCK_SESSIONS = ((9 * 60 + 30, 12 * 60), (13 * 60, 16 * 60))
_FUTURE_SESSIONS = ((9 * 60 + 15, 12 * 60), (13 * 60, 16 * 60 + 30))
_CRYPTO_SESSIONS = ((0, 24 * 60),)
# The exchange's spread table: (price below, tick)
_HK_SPREADS = ((0.25, 0.001), (0.5, 0.005), (10.0, 0.01), (20.0, 0.02), (100.0, 0.05),
               (200.0, 0.1), (500.0, 0.2), (1000.0, 0.5), (2000.0, 1.0), (5000.0, 2.0),
               (math.inf, 5.0))


def hk_tick(price: float) -> float:
    """The price step of a Hong Kong stock at ``price``."""
    for below, tick in _HK_SPREADS:
        if price < below:
            return tick
    return 5.0


def _weekdays_before(d: date, n: int) -> date:
    while n > 0:
        d -= timedelta(days=1)
        if d.weekday() < 5:
            n -= 1
    return d


def _expiry(year: int, month: int) -> date:
    """Last trading day of a Hong Kong index futures month: its second-to-last weekday."""
    first_next = date(year + month // 12, month % 12 + 1, 1)
    return _weekdays_before(first_next, 2)


def front_month(today: date) -> Tuple[int, int]:
    y, m = today.year, today.month
    if today > _expiry(y, m):
        y, m = y + m // 12, m % 12 + 1
    return y, m


@dataclass(frozen=True)
class Instrument:
    code: str                   # the code asked for (HK.00700, HK.HSImain, HK.HSI2412, CC.BTCUSD)
    trade_code: str             # the code orders and positions use (main -> its dated month)
    name: str
    kind: str                   # "stock", "future" or "crypto"
    lot: float                  # stocks: shares per board lot; futures 1; crypto the least step
    multiplier: float           # futures: HKD per index point; otherwise 1
    ref_price: float
    premium: float              # futures months beyond the front: price factor over the front
    level_size: float           # book volume unit at one level
    walk_key: str               # instruments sharing one price walk (a futures root)
    sessions: Tuple[Tuple[int, int], ...]
    currency: str
    expiry: Optional[date] = None

    @property
    def minutes(self) -> int:
        return sum(b - a for a, b in self.sessions)

    @property
    def every_day(self) -> bool:
        return self.kind == "crypto"

    def tick(self, price: float) -> float:
        if self.kind == "stock":
            return hk_tick(price)
        if self.kind == "future":
            return 1.0
        return CRYPTO[self.code][2]

    def round_price(self, price: float) -> float:
        tick = self.tick(price)
        return round(round(price / tick) * tick, 6)

    def on_grid(self, price: float) -> bool:
        tick = self.tick(price)
        return abs(round(price / tick) * tick - price) < 1e-6 * max(1.0, tick)


class DaySession:
    """One instrument's trading day: prices at the minute marks and the one-minute bars."""

    __slots__ = ("day", "prev_close", "marks", "opens", "highs", "lows", "closes", "volumes",
                 "turnovers", "starts", "n")

    def price_at(self, e: float) -> float:
        if e <= 0:
            return float(self.marks[0])
        if e >= self.n:
            return float(self.marks[self.n])
        k = int(e)
        a, b = self.marks[k], self.marks[k + 1]
        return float(a + (b - a) * (e - k))


class FutuMarket:
    """Quotes, books and bars of every served instrument at any time."""

    def __init__(self, seed: int = 7, cache_days: int = 4096) -> None:
        self.seed = int(seed)
        self._walks: Dict[str, _CodeWalk] = {}
        self._days: "OrderedDict[Tuple[str, str, int], DaySession]" = OrderedDict()
        self._cache_days = cache_days
        self._lock = threading.RLock()

    # ---------------------------------------------------------------- instruments
    def instrument(self, code: str, today: date) -> Optional[Instrument]:
        """The instrument of ``code`` on ``today`` (the front month for a main contract), or
        None when the code is not served."""
        if not isinstance(code, str):
            return None
        m = _HK_STOCK_RE.match(code)
        if m:
            name, lot, ref = HK_STOCKS.get(code, ("HK STOCK " + m.group(1), 100, 0.0))
            if not ref:
                ref = round(5.0 + (zlib.crc32(code.encode()) % 9500) / 100.0, 2)
            return Instrument(code, code, name, "stock", float(lot), 1.0, ref, 1.0, float(lot),
                              code, _STOCK_SESSIONS, "HKD")
        m = _HK_FUTURE_RE.match(code)
        if m and m.group(1) in HK_FUTURES:
            root, month = m.group(1), m.group(2)
            name, mult, ref = HK_FUTURES[root]
            fy, fm = front_month(today)
            if month == "main":
                y, mo = fy, fm
            else:
                y, mo = 2000 + int(month[:2]), int(month[2:])
                if not 1 <= mo <= 12:
                    return None
            ahead = (y - fy) * 12 + (mo - fm)
            if ahead < 0 or ahead > 12:
                return None
            dated = "HK.%s%02d%02d" % (root, y % 100, mo)
            return Instrument(code, dated, "%s %04d-%02d" % (name, y, mo), "future", 1.0, mult,
                              ref, 1.0 + 0.001 * ahead, 1.0, "HK." + root, _FUTURE_SESSIONS,
                              "HKD", _expiry(y, mo))
        if code in CRYPTO:
            name, ref, tick, size = CRYPTO[code]
            return Instrument(code, code, name, "crypto", 0.00001, 1.0, ref, 1.0, size, code,
                              _CRYPTO_SESSIONS, code[-3:])
        return None

    # ---------------------------------------------------------------- calendar
    @staticmethod
    def is_day(inst: Instrument, d: date) -> bool:
        return inst.every_day or is_trading_day(d)

    @staticmethod
    def _index(inst: Instrument, d: date) -> int:
        return (d - ANCHOR).days if inst.every_day else _day_index(d)

    @staticmethod
    def elapsed(inst: Instrument, t: datetime) -> float:
        """Minutes of trading done by ``t`` on its own date, 0 to the day's minutes."""
        m = t.hour * 60 + t.minute + t.second / 60.0 + t.microsecond / 60e6
        done = 0.0
        for a, b in inst.sessions:
            if m <= a:
                break
            done += min(m, b) - a
        return done

    def in_session(self, inst: Instrument, t: datetime) -> bool:
        if not self.is_day(inst, t.date()):
            return False
        m = t.hour * 60 + t.minute + t.second / 60.0
        return any(a <= m < b for a, b in inst.sessions)

    def phase(self, inst: Instrument, t: datetime) -> str:
        """"open", "break" (between sessions of a day), "before", "after" or "closed"."""
        if not self.is_day(inst, t.date()):
            return "closed"
        m = t.hour * 60 + t.minute + t.second / 60.0
        if m < inst.sessions[0][0]:
            return "before"
        if m >= inst.sessions[-1][1]:
            return "after"
        return "open" if any(a <= m < b for a, b in inst.sessions) else "break"

    def bar_start(self, inst: Instrument, d: date, k: int) -> datetime:
        for a, b in inst.sessions:
            if k < b - a:
                minute = a + k
                return datetime.combine(d, dtime(minute // 60, minute % 60))
            k -= b - a
        raise IndexError(k)

    def last_day(self, inst: Instrument, now: datetime) -> date:
        """The latest day whose trading has begun by ``now``."""
        d = now.date()
        if not self.is_day(inst, d) or self.elapsed(inst, now) <= 0:
            d -= timedelta(days=1)
        while not self.is_day(inst, d):
            d -= timedelta(days=1)
        return d

    # ---------------------------------------------------------------- paths
    def _walk(self, key: str, i: int) -> _CodeWalk:
        w = self._walks.get(key)
        if w is None:
            w = self._walks[key] = _CodeWalk(self.seed, key, 0.0)
        w.extend_to(i)
        return w

    def day(self, inst: Instrument, d: date) -> Optional[DaySession]:
        if not self.is_day(inst, d):
            return None
        i = self._index(inst, d)
        if i < 0:
            return None
        key = (inst.walk_key, inst.trade_code, i)
        with self._lock:
            path = self._days.get(key)
            if path is None:
                path = self._days[key] = self._build(inst, d, i)
                if len(self._days) > self._cache_days:
                    self._days.popitem(last=False)
            else:
                self._days.move_to_end(key)
            return path

    def _build(self, inst: Instrument, d: date, i: int) -> DaySession:
        w = self._walk(inst.walk_key, i)
        scale = inst.ref_price * inst.premium / w.base
        prev = inst.round_price(w.prev_close(i) * scale)
        close = inst.round_price(w.closes[i] * scale)
        n = inst.minutes
        rng = np.random.default_rng([self.seed, w.key, i + 1, zlib.crc32(inst.trade_code.encode())])
        open_ = inst.round_price(prev * (1.0 + rng.normal(0.0, 0.004)))
        steps = np.concatenate(([0.0], np.cumsum(rng.normal(0.0, 1.0, n))))
        frac = np.arange(n + 1) / n
        bridge = steps - frac * steps[-1]
        sigma = prev * 0.0012 * math.sqrt(240.0 / n)
        raw = open_ + (close - open_) * frac + bridge * sigma
        tick = inst.tick(prev)
        marks = np.maximum(tick, np.round(raw / tick) * tick)
        marks[0], marks[-1] = open_, close
        o, c = marks[:-1], marks[1:]
        wick = np.abs(rng.normal(0.0, sigma * 0.6, (2, n)))
        highs = np.round((np.maximum(o, c) + wick[0]) / tick) * tick
        lows = np.maximum(tick, np.round((np.minimum(o, c) - wick[1]) / tick) * tick)
        shape = 1.0 + 1.5 * ((np.arange(n) % 150 - 75) / 75.0) ** 2
        base_vol = inst.level_size * (40.0 if inst.kind != "crypto" else 60.0)
        vols = np.maximum(1.0, np.round(shape * rng.lognormal(0.0, 0.4, n) * base_vol / inst.lot))
        vols = vols * inst.lot if inst.kind == "stock" else vols * (inst.level_size / 10.0
                                                                    if inst.kind == "crypto"
                                                                    else 1.0)
        p = DaySession()
        p.day, p.prev_close, p.n = d, float(prev), n
        p.marks = np.round(marks, 6)
        p.opens, p.closes = np.round(o, 6), np.round(c, 6)
        p.highs, p.lows = np.round(highs, 6), np.round(lows, 6)
        p.volumes = np.round(vols, 5) if inst.kind == "crypto" else vols.astype(np.int64)
        p.turnovers = np.round(p.volumes * (o + c + highs + lows) / 4.0 * inst.multiplier, 2)
        return p

    # ---------------------------------------------------------------- live state
    def state(self, inst: Instrument, now: datetime) -> Dict[str, object]:
        """Last price, the day's open/high/low, volume, turnover and the close before."""
        d = self.last_day(inst, now)
        path = self.day(inst, d)
        if path is None:
            raise ValueError("no simulated market before %s" % ANCHOR.isoformat())
        e = self.elapsed(inst, now) if d == now.date() else float(path.n)
        done = int(e)
        last = inst.round_price(path.price_at(e))
        if done >= path.n:
            high, low = float(path.highs.max()), float(path.lows.min())
            vol, turnover = path.volumes.sum(), float(path.turnovers.sum())
        else:
            frac = e - done
            o = float(path.opens[done])
            high = max(float(path.highs[:done].max()) if done else o, o, last)
            low = min(float(path.lows[:done].min()) if done else o, o, last)
            vol = path.volumes[:done].sum() + path.volumes[done] * frac
            turnover = float(path.turnovers[:done].sum() + path.turnovers[done] * frac)
        vol = round(float(vol), 5) if inst.kind == "crypto" else int(vol)
        return {"day": d, "path": path, "elapsed": e, "last": last, "open": float(path.marks[0]),
                "high": high, "low": low, "volume": vol, "turnover": round(turnover, 2),
                "prev_close": path.prev_close}

    def book(self, inst: Instrument, st: Dict[str, object], now: datetime,
             levels: int = BOOK_LEVELS):
        """Bid and ask levels (price, volume, order count), best first, around the last price.
        Volumes are redrawn every second of simulated time."""
        last = float(st["last"])  # type: ignore[arg-type]
        tick = inst.tick(last)
        bid = math.floor(last / tick + 1e-9) * tick
        ask = bid + tick
        if abs(bid - last) < 1e-9 and (int(now.timestamp()) % 2):
            bid, ask = last - tick, last             # the last trade at the ask this second
        rng = np.random.default_rng([self.seed, zlib.crc32(inst.trade_code.encode()),
                                     int(now.timestamp())])
        sizes = rng.integers(1, 7, (2, levels)) * inst.level_size
        counts = rng.integers(1, 9, (2, levels))
        if inst.kind == "crypto":
            sizes = np.round(sizes * rng.uniform(0.5, 1.5, (2, levels)), 5)
        bids, asks = [], []
        for k in range(levels):
            b = round(bid - k * tick, 6)
            if b > 0:
                bids.append((b, float(sizes[0][k]), int(counts[0][k])))
            asks.append((round(ask + k * tick, 6), float(sizes[1][k]), int(counts[1][k])))
        return bids, asks

    # ---------------------------------------------------------------- history
    def minute_bars(self, inst: Instrument, start: datetime, end: datetime, now: datetime,
                    limit: int) -> Tuple[List[tuple], Optional[datetime]]:
        """Up to ``limit`` one-minute bars starting in [start, end] and not after ``now``,
        oldest first, as (time text, open, high, low, close, volume, turnover, close before);
        the forming bar carries the prices so far. Also the start of the next bar when more
        remain, else None."""
        end = min(end, now)
        out: List[tuple] = []
        d = start.date()
        while d <= end.date():
            path = self.day(inst, d)
            if path is not None:
                rows = self._day_rows(inst, path, start, end, now)
                for row in rows:
                    if len(out) >= limit:
                        return out, datetime.strptime(row[0], "%Y-%m-%d %H:%M:%S")
                    out.append(row)
            d += timedelta(days=1)
        return out, None

    def _day_rows(self, inst: Instrument, path: DaySession, start, end, now) -> List[tuple]:
        day0 = datetime.combine(path.day, dtime())
        mins = np.concatenate([np.arange(a, b) for a, b in inst.sessions])
        starts = [day0 + timedelta(minutes=int(m)) for m in mins]
        lo = 0
        while lo < len(starts) and starts[lo] < start:
            lo += 1
        hi = len(starts)
        while hi > lo and starts[hi - 1] > end:
            hi -= 1
        if lo >= hi:
            return []
        e_now = self.elapsed(inst, now) if path.day == now.date() else float(path.n)
        rows = []
        prev = path.prev_close
        for k in range(lo, hi):
            stamp = starts[k].strftime("%Y-%m-%d %H:%M:%S")
            if k >= int(e_now):
                frac = e_now - k
                if frac <= 0:
                    break
                last = inst.round_price(path.price_at(e_now))
                o = float(path.opens[k])
                vol = path.volumes[k] * frac
                rows.append((stamp, o, max(o, last), min(o, last), last,
                             round(float(vol), 5) if inst.kind == "crypto" else int(vol),
                             round(float(path.turnovers[k] * frac), 2), prev))
                break
            rows.append((stamp, float(path.opens[k]), float(path.highs[k]), float(path.lows[k]),
                         float(path.closes[k]),
                         float(path.volumes[k]) if inst.kind == "crypto" else int(path.volumes[k]),
                         float(path.turnovers[k]), prev))
        return rows

    def day_bars(self, inst: Instrument, start: date, end: date, now: datetime,
                 limit: int) -> Tuple[List[tuple], Optional[date]]:
        """Daily bars of the days in [start, end] whose trading has begun by ``now``."""
        last = self.last_day(inst, now)
        end = min(end, last)
        out: List[tuple] = []
        d = start
        while d <= end:
            if self.is_day(inst, d) and self._index(inst, d) >= 0:
                if len(out) >= limit:
                    return out, d
                t = now if d == now.date() else datetime.combine(d, dtime(23, 59, 59))
                st = self.state(inst, t)
                out.append((d.strftime("%Y-%m-%d") + " 00:00:00", st["open"], st["high"],
                            st["low"], st["last"], st["volume"], st["turnover"],
                            st["prev_close"]))
            d += timedelta(days=1)
        return out, None

    def recent_minute_bars(self, inst: Instrument, now: datetime, count: int) -> List[tuple]:
        """The last ``count`` one-minute bars up to ``now`` (the forming one included)."""
        out: List[tuple] = []
        d = self.last_day(inst, now)
        while len(out) < count and self._index(inst, d) >= 0:
            path = self.day(inst, d)
            if path is not None:
                rows = self._day_rows(inst, path, datetime.combine(d, dtime()),
                                      datetime.combine(d, dtime(23, 59, 59)), now)
                out = rows + out
            d -= timedelta(days=1)
        return out[-count:] if count > 0 else []

    def capital_distribution(self, inst: Instrument, now: datetime) -> Dict[str, float]:
        st = self.state(inst, now)
        total = float(st["turnover"])  # type: ignore[arg-type]
        rng = np.random.default_rng([self.seed, zlib.crc32(inst.trade_code.encode()),
                                     int(now.timestamp()) // 60])
        shares = rng.dirichlet(np.ones(6)) * total
        keys = ("capital_in_big", "capital_in_mid", "capital_in_small", "capital_out_big",
                "capital_out_mid", "capital_out_small")
        return {k: round(float(v), 2) for k, v in zip(keys, shares)}

