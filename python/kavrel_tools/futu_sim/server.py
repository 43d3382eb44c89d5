"""The broker stand-in server: the SDK's wire protocol over plain TCP, on one thread.

One selector loop accepts connections, reads packets, answers each request in order and, every
``tick`` seconds of real time, runs a matching round and sends the pushes: quotes, order books
and one-minute bars of the subscribed codes once per second of simulated time, and order and
fill updates to the connections that subscribed the account. Requests before the connection's
InitConnect, unknown protocols and refused requests get the protocol's failed reply (return
type -1 and a message), the packets the server cannot take also one log line; a packet with a
bad header or an oversized body, and a client that leaves ``max_unsent`` bytes unread, close
that one connection with one log line. Nothing a client sends stops the server.

State (market, accounts, orders) belongs to the server object and outlives ``stop``: a
stopped server started again on the same port continues the same session, as a restarted
gateway process would for its clients.
"""
from __future__ import annotations

import hashlib
import itertools
import logging
import selectors
import socket
import threading
import time
from datetime import datetime, timedelta
from typing import Any, Callable, Dict, List, Optional, Set, Tuple

from futu.common.constant import ProtoId
from futu.common.pb import Qot_Common_pb2 as QC
from futu.common.pb import Trd_Common_pb2 as TC

from ..qmt_agent.clock import Clock, WallClock
from . import wire
from .broker import BrokerError, SimBroker, SimFill, SimOrder
from .market import FutuMarket, Instrument

__all__ = ["FutuSimServer", "RequestError"]

log = logging.getLogger("kavrel_tools.futu_sim")

_QOT_MARKETS = {QC.QotMarket_HK_Security: "HK", QC.QotMarket_HK_Future: "HK",
                QC.QotMarket_CC_Security: "CC"}
_MARKET_OF_PREFIX = {"HK": QC.QotMarket_HK_Security, "CC": QC.QotMarket_CC_Security}
_TRD_MARKETS = {"HK": TC.TrdMarket_HK, "US": TC.TrdMarket_US, "FUTURES": TC.TrdMarket_Futures,
                "FUTURES_SIMULATE_HK": TC.TrdMarket_Futures_Simulate_HK,
                "CRYPTO": TC.TrdMarket_Crypto}
_CATEGORIES = {TC.TrdCategory_Security: "stock", TC.TrdCategory_Future: "future",
               TC.TrdCategory_Crypto: "crypto"}
_ENVS = {TC.TrdEnv_Real: "REAL", TC.TrdEnv_Simulate: "SIMULATE"}
_ENV_PB = {v: k for k, v in _ENVS.items()}
_STATUS_PB = {"SUBMITTED": TC.OrderStatus_Submitted, "FILLED_PART": TC.OrderStatus_Filled_Part,
              "FILLED_ALL": TC.OrderStatus_Filled_All,
              "CANCELLED_PART": TC.OrderStatus_Cancelled_Part,
              "CANCELLED_ALL": TC.OrderStatus_Cancelled_All}
_SIDES = {TC.TrdSide_Buy: "BUY", TC.TrdSide_Sell: "SELL", TC.TrdSide_SellShort: "SELL",
          TC.TrdSide_BuyBack: "BUY"}
_SIDE_PB = {"BUY": TC.TrdSide_Buy, "SELL": TC.TrdSide_Sell}
_ORDER_TYPES = {TC.OrderType_Normal: "NORMAL", TC.OrderType_Market: "MARKET"}
_ORDER_TYPE_PB = {v: k for k, v in _ORDER_TYPES.items()}
_CURRENCY_PB = {"HKD": TC.Currency_HKD, "USD": TC.Currency_USD}
_PUSHED_SUBTYPES = (QC.SubType_Basic, QC.SubType_OrderBook, QC.SubType_KL_1Min)
_SERVER_VER = 1000
_KEEP_ALIVE = 10
_USER_ID = 10086001


class RequestError(Exception):
    """A request refused with a message (sent back as the failed reply)."""


class _BadPacket(RequestError):
    """A packet the simulator cannot take (unknown, malformed, out of turn): logged."""


def _stamp(t: datetime) -> str:
    return t.strftime("%Y-%m-%d %H:%M:%S")


def _stamp_ms(t: datetime) -> str:
    return t.strftime("%Y-%m-%d %H:%M:%S.") + "%03d" % (t.microsecond // 1000)


def _full_code(security) -> str:
    prefix = _QOT_MARKETS.get(security.market)
    if prefix is None:
        raise RequestError("unsupported market %d of %s" % (security.market, security.code))
    return prefix + "." + security.code


def _push(proto_id: int):
    """A push's protocol id and its message, marked successful."""
    rsp = wire.pb_module(proto_id).Response()
    rsp.retType = wire.RET_OK
    return proto_id, rsp


def _set_security(pb, code: str) -> None:
    prefix, _, rest = code.partition(".")
    pb.market = _MARKET_OF_PREFIX[prefix]
    pb.code = rest


class _Conn:
    def __init__(self, conn_id: int, sock: socket.socket, addr) -> None:
        self.conn_id = conn_id
        self.sock = sock
        self.addr = addr
        self.rbuf = bytearray()
        self.wbuf = bytearray()
        self.ready = False
        self.subs: Dict[str, Set[int]] = {}
        self.push_quotes = True
        self.acc_push: Set[int] = set()
        self.pushed: Dict[Tuple[str, int], int] = {}     # (code, subtype) -> simulated second
        self.closing = False


class FutuSimServer:
    """Serves the SDK's contexts against the simulated market and accounts.

    ``start()`` binds (port 0 picks a free one, see ``port``) and serves on a daemon thread;
    ``stop()`` closes every connection and the listening socket. ``serve_forever()`` serves on
    the calling thread until ``stop()`` (the command line's way).
    """

    # Replies and pushes held for a client that does not read: past this the connection is
    # closed (the client reconnects as after any drop) rather than the server's memory grown.
    max_unsent = 64 * 1024 * 1024

    def __init__(self, host: str = "127.0.0.1", port: int = 0, *, seed: int = 7,
                 clock: Optional[Clock] = None, tick: float = 0.2,
                 unlock_password: Optional[str] = None,
                 market: Optional[FutuMarket] = None, pushes_first: bool = False) -> None:
        self.host = host
        # As a broker whose fills overtake its replies: a new order trades its first round
        # at once, and the pushes a request causes go out before its reply.
        self.pushes_first = pushes_first
        self._port = int(port)
        self.clock: Clock = clock or WallClock()
        self.tick = float(tick)
        self.market = market or FutuMarket(seed)
        md5 = hashlib.md5(str(unlock_password).encode()).hexdigest() \
            if unlock_password is not None else None
        self.broker = SimBroker(self.market, self.clock, md5)
        self._conn_ids = itertools.count(1)
        self._conns: Dict[int, _Conn] = {}
        self._sel: Optional[selectors.BaseSelector] = None
        self._listener: Optional[socket.socket] = None
        self._wake_r: Optional[socket.socket] = None
        self._wake_w: Optional[socket.socket] = None
        self._thread: Optional[threading.Thread] = None
        self._stopping = threading.Event()
        self._stopped = threading.Event()
        self._stopped.set()
        self._handlers: Dict[int, Callable[[_Conn, Any], Any]] = {
            ProtoId.InitConnect: self._init_connect,
            ProtoId.GetGlobalState: self._global_state,
            ProtoId.KeepAlive: self._keep_alive,
            ProtoId.Qot_Sub: self._sub,
            ProtoId.Qot_RegQotPush: self._reg_push,
            ProtoId.Qot_GetSubInfo: self._sub_info,
            ProtoId.Qot_GetBasicQot: self._basic_qot,
            ProtoId.Qot_GetKL: self._get_kl,
            ProtoId.Qot_GetOrderBook: self._get_order_book,
            ProtoId.Qot_RequestHistoryKL: self._history_kl,
            ProtoId.Qot_GetCapitalDistribution: self._capital_distribution,
            ProtoId.Trd_GetAccList: self._acc_list,
            ProtoId.Trd_UnlockTrade: self._unlock,
            ProtoId.Trd_SubAccPush: self._sub_acc_push,
            ProtoId.Trd_GetFunds: self._funds,
            ProtoId.Trd_GetPositionList: self._positions,
            ProtoId.Trd_GetOrderList: self._order_list,
            ProtoId.Trd_GetOrderFillList: self._fill_list,
            ProtoId.Trd_PlaceOrder: self._place_order,
            ProtoId.Trd_ModifyOrder: self._modify_order,
        }
        self.served = set(self._handlers)

    # ---------------------------------------------------------------- life
    @property
    def port(self) -> int:
        return self._port

    @property
    def running(self) -> bool:
        return not self._stopped.is_set()

    def _open(self) -> None:
        listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        try:
            listener.bind((self.host, self._port))
            listener.listen(64)
        except OSError:
            listener.close()
            raise
        listener.setblocking(False)
        self._port = listener.getsockname()[1]
        self._listener = listener
        self._wake_r, self._wake_w = socket.socketpair()
        self._wake_r.setblocking(False)
        self._sel = selectors.DefaultSelector()
        self._sel.register(listener, selectors.EVENT_READ, "listen")
        self._sel.register(self._wake_r, selectors.EVENT_READ, "wake")
        self._stopping.clear()
        self._stopped.clear()

    def start(self) -> "FutuSimServer":
        if self.running:
            return self
        self._open()
        self._thread = threading.Thread(target=self._loop, name="futu-sim", daemon=True)
        self._thread.start()
        return self

    def serve_forever(self) -> None:
        if not self.running:
            self._open()
        self._loop()

    def stop(self, timeout: float = 5.0) -> None:
        if not self.running:
            return
        self._stopping.set()
        try:
            if self._wake_w is not None:
                self._wake_w.send(b"x")
        except OSError:
            pass
        if self._thread is not None and self._thread is not threading.current_thread():
            self._thread.join(timeout)
            self._thread = None
        self._stopped.wait(timeout)

    def __enter__(self) -> "FutuSimServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def _loop(self) -> None:
        next_tick = time.monotonic()
        try:
            while not self._stopping.is_set():
                wait = max(0.0, next_tick - time.monotonic())
                for key, mask in self._sel.select(wait):
                    if key.data == "listen":
                        self._accept()
                    elif key.data == "wake":
                        try:
                            self._wake_r.recv(1024)
                        except OSError:
                            pass
                    else:
                        self._serve_conn(key.data, mask)
                if time.monotonic() >= next_tick:
                    next_tick = time.monotonic() + self.tick
                    self._safely(self._tick)
        finally:
            self._close_all()

    def _serve_conn(self, conn: _Conn, mask: int) -> None:
        try:
            if mask & selectors.EVENT_READ:
                self._read(conn)
            if mask & selectors.EVENT_WRITE and conn.conn_id in self._conns:
                self._flush(conn)
        except Exception as e:                     # that connection goes, the server stays
            self._drop(conn, "%s: %s" % (type(e).__name__, e))

    def _close_all(self) -> None:
        for conn in list(self._conns.values()):
            self._drop(conn, None)
        for s in (self._listener, self._wake_r, self._wake_w):
            if s is not None:
                try:
                    s.close()
                except OSError:
                    pass
        self._listener = self._wake_r = self._wake_w = None
        if self._sel is not None:
            self._sel.close()
            self._sel = None
        self._stopped.set()

    def _safely(self, fn, *args) -> None:
        try:
            fn(*args)
        except Exception as e:                     # one round fails, the server goes on
            log.warning("futu-sim: %s failed: %s: %s", getattr(fn, "__name__", fn),
                        type(e).__name__, e)

    # ---------------------------------------------------------------- sockets
    def _accept(self) -> None:
        try:
            sock, addr = self._listener.accept()
        except OSError:
            return
        try:
            sock.setblocking(False)
            sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            conn = _Conn(next(self._conn_ids), sock, addr)
            self._sel.register(sock, selectors.EVENT_READ, conn)
        except (OSError, ValueError) as e:         # reset before it was taken, or no room
            log.warning("futu-sim: connection from %s not taken: %s", addr, e)
            sock.close()
            return
        self._conns[conn.conn_id] = conn

    def _drop(self, conn: _Conn, reason: Optional[str]) -> None:
        if self._conns.pop(conn.conn_id, None) is None:
            return
        if reason:
            log.warning("futu-sim: closed connection %d from %s: %s", conn.conn_id,
                        conn.addr, reason)
        try:
            self._sel.unregister(conn.sock)
        except (KeyError, ValueError):
            pass
        try:
            conn.sock.close()
        except OSError:
            pass

    def _read(self, conn: _Conn) -> None:
        try:
            data = conn.sock.recv(256 * 1024)
        except (BlockingIOError, InterruptedError):
            return
        except OSError as e:
            self._drop(conn, "read failed: %s" % e)
            return
        if not data:
            self._drop(conn, None)
            return
        conn.rbuf.extend(data)
        while conn.conn_id in self._conns and len(conn.rbuf) >= wire.HEADER_LEN:
            try:
                head = wire.parse_header(conn.rbuf)
            except wire.FrameError as e:
                self._drop(conn, str(e))
                return
            end = wire.HEADER_LEN + head.body_len
            if len(conn.rbuf) < end:
                return
            body = bytes(conn.rbuf[wire.HEADER_LEN:end])
            del conn.rbuf[:end]
            self._request(conn, head, body)

    def _send(self, conn: _Conn, proto_id: int, serial_no: int, body: bytes) -> None:
        if conn.conn_id not in self._conns:
            return
        conn.wbuf.extend(wire.pack(proto_id, serial_no, body))
        self._flush(conn)
        if len(conn.wbuf) > self.max_unsent:
            self._drop(conn, "the client is not reading: %d bytes unsent" % len(conn.wbuf))

    def _flush(self, conn: _Conn) -> None:
        if conn.wbuf:
            try:
                sent = conn.sock.send(conn.wbuf)
                del conn.wbuf[:sent]
            except (BlockingIOError, InterruptedError):
                pass
            except OSError as e:
                self._drop(conn, "send failed: %s" % e)
                return
        events = selectors.EVENT_READ | (selectors.EVENT_WRITE if conn.wbuf else 0)
        try:
            self._sel.modify(conn.sock, events, conn)
        except (KeyError, ValueError):
            pass

    # ---------------------------------------------------------------- requests
    def _request(self, conn: _Conn, head: wire.Header, body: bytes) -> None:
        pid, sn = head.proto_id, head.serial_no
        name = wire.proto_name(pid)
        after: List[Callable[[], None]] = []
        try:
            if hashlib.sha1(body).digest() != head.sha1:
                raise _BadPacket("%s: body does not match its SHA-1" % name)
            if head.fmt != wire.FMT_PROTOBUF:
                raise _BadPacket("%s: only protobuf bodies are served" % name)
            handler = self._handlers.get(pid)
            if handler is None:
                raise _BadPacket("%s is not served by this simulator" % name)
            if pid != ProtoId.InitConnect and not conn.ready:
                raise _BadPacket("%s before InitConnect" % name)
            module = wire.pb_module(pid)
            req = module.Request()
            try:
                req.ParseFromString(body)
            except Exception as e:
                raise _BadPacket("%s: malformed request: %s" % (name, e)) from None
            rsp = module.Response()
            rsp.retType = wire.RET_OK
            with self.broker.lock:
                result = handler(conn, req.c2s if req.HasField("c2s") else req, rsp)
            if result:
                after.extend(result)
            out = rsp.SerializeToString()
        except (RequestError, BrokerError) as e:
            if isinstance(e, _BadPacket):
                log.warning("futu-sim: connection %d from %s: %s", conn.conn_id, conn.addr, e)
            out = wire.error_body(pid, str(e))
        except Exception as e:
            log.warning("futu-sim: %s from connection %d failed: %s: %s", name, conn.conn_id,
                        type(e).__name__, e)
            out = wire.error_body(pid, "%s failed in the simulator: %s" % (name, e))
        if self.pushes_first:
            for fn in after:
                self._safely(fn)
        self._send(conn, pid, sn, out)
        if not self.pushes_first:
            for fn in after:
                self._safely(fn)

    def _instrument(self, security) -> Instrument:
        code = _full_code(security)
        inst = self.market.instrument(code, self.clock().date())
        if inst is None:
            raise RequestError("unknown security %s" % code)
        return inst

    # -- connection
    def _init_connect(self, conn: _Conn, c2s, rsp) -> None:
        if c2s.HasField("packetEncAlgo") and c2s.packetEncAlgo not in (-1, 0):
            raise RequestError("encrypted connections are not served; connect unencrypted")
        conn.ready = True
        rsp.s2c.serverVer = _SERVER_VER
        rsp.s2c.loginUserID = _USER_ID
        rsp.s2c.connID = conn.conn_id
        rsp.s2c.connAESKey = "0" * 16
        rsp.s2c.keepAliveInterval = _KEEP_ALIVE

    def _global_state(self, conn: _Conn, c2s, rsp) -> None:
        now = self.clock()
        s = rsp.s2c
        s.marketHK = self._market_state("HK.00700", now)
        s.marketHKFuture = self._market_state("HK.HSImain", now)
        s.marketUS = s.marketSH = s.marketSZ = QC.QotMarketState_Closed
        s.qotLogined = s.trdLogined = True
        s.serverVer, s.serverBuildNo = _SERVER_VER, 1
        s.time = int(now.timestamp())
        s.localTime = time.time()
        s.connID = conn.conn_id

    def _market_state(self, code: str, now: datetime) -> int:
        inst = self.market.instrument(code, now.date())
        phase = self.market.phase(inst, now)
        if phase == "open":
            m = now.hour * 60 + now.minute
            return QC.QotMarketState_Morning if m < 12 * 60 else QC.QotMarketState_Afternoon
        if phase == "break":
            return QC.QotMarketState_Rest
        if phase == "before":
            return QC.QotMarketState_WaitingOpen
        return QC.QotMarketState_Closed

    def _keep_alive(self, conn: _Conn, c2s, rsp) -> None:
        rsp.s2c.time = int(time.time())

    # -- quotes
    def _sub(self, conn: _Conn, c2s, rsp):
        if c2s.HasField("isUnsubAll") and c2s.isUnsubAll:
            conn.subs.clear()
            conn.pushed.clear()
            return None
        codes = [self._instrument(sec).code for sec in c2s.securityList]
        if not codes or not c2s.subTypeList:
            raise RequestError("a subscription needs codes and subscription types")
        for st in c2s.subTypeList:
            if st not in QC.SubType.values() or st == QC.SubType_None:
                raise RequestError("unknown subscription type %d" % st)
        types = set(c2s.subTypeList)
        if c2s.isSubOrUnSub:
            for code in codes:
                conn.subs.setdefault(code, set()).update(types)
                for t in types:
                    conn.pushed.pop((code, t), None)
            if c2s.HasField("isRegOrUnRegPush"):
                conn.push_quotes = c2s.isRegOrUnRegPush
            if c2s.HasField("isFirstPush") and not c2s.isFirstPush:
                second = int(self.clock().timestamp())
                for code in codes:
                    for t in types:
                        conn.pushed[(code, t)] = second
            return [lambda: self._push_quotes(conn, self.clock(), codes)]
        for code in codes:
            left = conn.subs.get(code, set()) - types
            if left:
                conn.subs[code] = left
            else:
                conn.subs.pop(code, None)
        return None

    def _reg_push(self, conn: _Conn, c2s, rsp) -> None:
        conn.push_quotes = bool(c2s.isRegOrUnReg)

    def _sub_info(self, conn: _Conn, c2s, rsp) -> None:
        by_type: Dict[int, List[str]] = {}
        for code, types in conn.subs.items():
            for t in types:
                by_type.setdefault(t, []).append(code)
        info = rsp.s2c.connSubInfoList.add()
        for t, codes in sorted(by_type.items()):
            sub = info.subInfoList.add()
            sub.subType = t
            for code in codes:
                _set_security(sub.securityList.add(), code)
        info.usedQuota = sum(len(v) for v in conn.subs.values())
        info.isOwnConnData = True
        rsp.s2c.totalUsedQuota = info.usedQuota
        rsp.s2c.remainQuota = 1000 - info.usedQuota

    def _need_sub(self, conn: _Conn, inst: Instrument, subtype: int, what: str) -> None:
        if subtype not in conn.subs.get(inst.code, ()):
            raise RequestError("%s of %s needs a %s subscription first"
                               % (what, inst.code, QC.SubType.Name(subtype)))

    def _basic_qot(self, conn: _Conn, c2s, rsp) -> None:
        now = self.clock()
        for sec in c2s.securityList:
            inst = self._instrument(sec)
            self._need_sub(conn, inst, QC.SubType_Basic, "a quote")
            self._fill_basic(rsp.s2c.basicQotList.add(), inst, now)

    def _fill_basic(self, b, inst: Instrument, now: datetime) -> None:
        st = self.market.state(inst, now)
        _set_security(b.security, inst.code)
        b.name = inst.name
        b.isSuspended = False
        b.listTime = "2004-06-16" if inst.kind == "stock" else ""
        b.priceSpread = inst.tick(st["last"])
        b.updateTime = _stamp(now)
        b.updateTimestamp = now.timestamp()
        b.highPrice, b.openPrice, b.lowPrice = st["high"], st["open"], st["low"]
        b.curPrice, b.lastClosePrice = st["last"], st["prev_close"]
        vol = st["volume"]
        b.volume = int(vol)
        if inst.kind == "crypto":
            b.hpVolume = float(vol)
        b.turnover = st["turnover"]
        b.turnoverRate = 0.0
        prev = st["prev_close"] or 1.0
        b.amplitude = round((st["high"] - st["low"]) / prev * 100.0, 3)
        b.secStatus = QC.SecurityStatus_Normal

    def _fill_book(self, s2c, inst: Instrument, now: datetime, num: int = 10) -> None:
        st = self.market.state(inst, now)
        bids, asks = self.market.book(inst, st, now)
        _set_security(s2c.security, inst.code)
        s2c.name = inst.name
        for side, levels in ((s2c.orderBookBidList, bids), (s2c.orderBookAskList, asks)):
            for price, volume, count in levels[:num]:
                x = side.add()
                x.price, x.volume, x.orederCount = price, int(volume), count
                if inst.kind == "crypto":
                    x.hpVolume = volume
        stamp = _stamp_ms(now)
        s2c.svrRecvTimeBid = s2c.svrRecvTimeAsk = stamp
        s2c.svrRecvTimeBidTimestamp = s2c.svrRecvTimeAskTimestamp = now.timestamp()

    def _get_order_book(self, conn: _Conn, c2s, rsp) -> None:
        inst = self._instrument(c2s.security)
        self._need_sub(conn, inst, QC.SubType_OrderBook, "an order book")
        self._fill_book(rsp.s2c, inst, self.clock(), max(1, min(c2s.num, 10)))

    @staticmethod
    def _fill_kl(k, row, crypto: bool) -> None:
        t, o, h, lo, c, vol, turnover, prev = row
        k.time = t
        k.isBlank = False
        k.openPrice, k.highPrice, k.lowPrice, k.closePrice = o, h, lo, c
        k.lastClosePrice = prev
        k.volume = int(vol)
        if crypto:
            k.hpVolume = float(vol)
        k.turnover = turnover
        k.turnoverRate = 0.0
        k.changeRate = round((c - prev) / prev * 100.0, 4) if prev else 0.0
        k.timestamp = datetime.strptime(t, "%Y-%m-%d %H:%M:%S").timestamp()

    def _fill_kls(self, s2c, inst: Instrument, rows) -> None:
        _set_security(s2c.security, inst.code)
        s2c.name = inst.name
        crypto = inst.kind == "crypto"
        for row in rows:
            self._fill_kl(s2c.klList.add(), row, crypto)

    def _get_kl(self, conn: _Conn, c2s, rsp) -> None:
        inst = self._instrument(c2s.security)
        now = self.clock()
        if c2s.klType == QC.KLType_1Min:
            self._need_sub(conn, inst, QC.SubType_KL_1Min, "current one-minute bars")
            rows = self.market.recent_minute_bars(inst, now, max(0, min(c2s.reqNum, 1000)))
        elif c2s.klType == QC.KLType_Day:
            self._need_sub(conn, inst, QC.SubType_KL_Day, "current daily bars")
            d = self.market.last_day(inst, now)
            rows, _ = self.market.day_bars(inst, d - timedelta(days=5 * 366), d, now, 100_000)
            rows = rows[-max(0, min(c2s.reqNum, 1000)):] if c2s.reqNum > 0 else []
        else:
            raise RequestError("kline type %d is not served: one-minute and daily bars are"
                               % c2s.klType)
        self._fill_kls(rsp.s2c, inst, rows)

    def _history_kl(self, conn: _Conn, c2s, rsp) -> None:
        inst = self._instrument(c2s.security)
        now = self.clock()
        begin = self._parse_time(c2s.beginTime, "beginTime")
        end = self._parse_time(c2s.endTime, "endTime", end_of_day=True)
        limit = c2s.maxAckKLNum if c2s.HasField("maxAckKLNum") and c2s.maxAckKLNum > 0 else 1000
        limit = min(limit, 1000)
        if c2s.HasField("nextReqKey") and c2s.nextReqKey:
            begin = self._read_key(bytes(c2s.nextReqKey), c2s.klType, inst, begin, end)
        if c2s.klType == QC.KLType_1Min:
            rows, more = self.market.minute_bars(inst, begin, end, now, limit)
            key = more.strftime("%Y-%m-%d %H:%M:%S") if more is not None else None
        elif c2s.klType == QC.KLType_Day:
            rows, more_day = self.market.day_bars(inst, begin.date(), end.date(), now, limit)
            key = more_day.strftime("%Y-%m-%d 00:00:00") if more_day is not None else None
        else:
            raise RequestError("kline type %d is not served: one-minute and daily bars are"
                               % c2s.klType)
        self._fill_kls(rsp.s2c, inst, rows)
        if key is not None:
            rsp.s2c.nextReqKey = ("kv1|%d|%s|%s" % (c2s.klType, inst.code, key)).encode()

    @staticmethod
    def _parse_time(text: str, what: str, end_of_day: bool = False) -> datetime:
        for fmt in ("%Y-%m-%d %H:%M:%S", "%Y-%m-%d %H:%M", "%Y-%m-%d"):
            try:
                t = datetime.strptime(text.strip(), fmt)
            except ValueError:
                continue
            if end_of_day and fmt == "%Y-%m-%d":
                t = t.replace(hour=23, minute=59, second=59)
            return t
        raise RequestError("cannot read %s %r; use 2024-03-01 or 2024-03-01 09:30:00"
                           % (what, text))

    @staticmethod
    def _read_key(key: bytes, kl_type: int, inst: Instrument, begin, end) -> datetime:
        try:
            tag, kind, code, at = key.decode("ascii").split("|")
            if tag != "kv1" or int(kind) != kl_type or code != inst.code:
                raise ValueError(key)
            t = datetime.strptime(at, "%Y-%m-%d %H:%M:%S")
        except (ValueError, UnicodeDecodeError):
            raise RequestError("invalid page key for this request") from None
        return max(t, begin)

    def _capital_distribution(self, conn: _Conn, c2s, rsp) -> None:
        inst = self._instrument(c2s.security)
        now = self.clock()
        cd = self.market.capital_distribution(inst, now)
        s = rsp.s2c
        s.capitalInBig, s.capitalInMid = cd["capital_in_big"], cd["capital_in_mid"]
        s.capitalInSmall, s.capitalOutBig = cd["capital_in_small"], cd["capital_out_big"]
        s.capitalOutMid, s.capitalOutSmall = cd["capital_out_mid"], cd["capital_out_small"]
        s.updateTime = _stamp(now)
        s.updateTimestamp = now.timestamp()

    # -- trading
    def _acc_list(self, conn: _Conn, c2s, rsp) -> None:
        category = _CATEGORIES.get(c2s.trdCategory) if c2s.HasField("trdCategory") else None
        for acct in self.broker.accounts_of(category):
            a = rsp.s2c.accList.add()
            a.trdEnv = _ENV_PB[acct.env]
            a.accID = acct.acc_id
            for m in acct.markets:
                a.trdMarketAuthList.append(_TRD_MARKETS[m])
            a.accType = TC.TrdAccType_Margin if acct.category != "crypto" else TC.TrdAccType_Cash
            a.cardNum = str(acct.acc_id)[-8:]
            a.uniCardNum = str(acct.acc_id)
            if acct.env == "REAL":
                a.securityFirm = TC.SecurityFirm_FutuSecurities
            else:
                a.simAccType = {"stock": 1, "future": 3}.get(acct.category, 0)
            a.accStatus = 0

    def _unlock(self, conn: _Conn, c2s, rsp) -> None:
        msg = self.broker.unlock(c2s.pwdMD5 if c2s.HasField("pwdMD5") else "", c2s.unlock)
        if msg:
            rsp.retMsg = msg

    def _sub_acc_push(self, conn: _Conn, c2s, rsp) -> None:
        for acc_id in c2s.accIDList:
            if acc_id not in self.broker.accounts:
                raise RequestError("unknown account %d" % acc_id)
        conn.acc_push = set(c2s.accIDList)

    def _account(self, header):
        env = _ENVS.get(header.trdEnv)
        if env is None:
            raise RequestError("unknown trading environment %d" % header.trdEnv)
        return self.broker.account(header.accID, env)

    def _funds(self, conn: _Conn, c2s, rsp) -> None:
        acct = self._account(c2s.header)
        now = self.clock()
        v = self.broker.valuation(acct, now)
        power = self.broker.buying_power(acct, now)
        self._header(rsp.s2c.header, acct)
        f = rsp.s2c.funds
        f.power = power
        f.totalAssets = round(acct.cash + v["market_val"] + (v["unrealized"] if
                                                            acct.category == "future" else 0), 2)
        f.cash = acct.cash
        f.marketVal = v["market_val"]
        f.frozenCash = v["frozen"]
        f.debtCash = 0.0
        f.avlWithdrawalCash = max(0.0, round(power, 2))
        f.currency = _CURRENCY_PB[acct.currency]
        f.availableFunds = power
        f.unrealizedPL = v["unrealized"]
        f.realizedPL = round(acct.realized, 2)
        f.initialMargin = v["margin"]
        f.maintenanceMargin = round(v["margin"] * 0.8, 2)
        f.maxPowerShort = power if acct.category == "future" else 0.0
        f.netCashPower = round(acct.cash - v["frozen"], 2)
        f.longMv, f.shortMv = v["long_mv"], v["short_mv"]
        if acct.category == "crypto":
            f.cryptoMv = v["market_val"]

    def _positions(self, conn: _Conn, c2s, rsp) -> None:
        acct = self._account(c2s.header)
        self._header(rsp.s2c.header, acct)
        now = self.clock()
        wanted = set(c2s.filterConditions.codeList) if c2s.HasField("filterConditions") else set()
        for code, pos in sorted(acct.positions.items()):
            if abs(pos.qty) < 1e-12:
                continue
            short_code = code.partition(".")[2]
            if wanted and short_code not in wanted:
                continue
            inst = pos.inst
            last = float(self.market.state(inst, now)["last"])
            p = rsp.s2c.positionList.add()
            p.positionID = abs(hash((acct.acc_id, code))) % (1 << 62)
            p.positionSide = TC.PositionSide_Long if pos.qty > 0 else TC.PositionSide_Short
            p.code = short_code
            p.name = inst.name
            p.qty = abs(pos.qty)
            sellable = abs(pos.qty) - acct.pending_sell(code) if pos.qty > 0 else abs(pos.qty)
            p.canSellQty = max(0.0, sellable)
            p.price = last
            p.costPrice = round(pos.cost, 6)
            p.averageCostPrice = round(pos.cost, 6)
            p.dilutedCostPrice = round(pos.cost, 6)
            p.val = round(last * pos.qty * inst.multiplier, 2)
            pnl = (last - pos.cost) * pos.qty * inst.multiplier
            p.plVal = round(pnl, 2)
            p.plRatio = round(pnl / abs(pos.cost * pos.qty * inst.multiplier), 6) \
                if pos.cost else 0.0
            p.secMarket = TC.TrdSecMarket_CC if inst.kind == "crypto" else TC.TrdSecMarket_HK
            p.trdMarket = _TRD_MARKETS[acct.markets[0]]
            p.currency = _CURRENCY_PB[acct.currency]
            p.unrealizedPL = round(pnl, 2)
            p.realizedPL = round(pos.realized, 2)
            p.td_buyQty, p.td_sellQty = pos.today_buy, pos.today_sell
            p.accID = acct.acc_id

    @staticmethod
    def _fill_order_fields(x, order: SimOrder) -> None:
        """The fields an order and its fills share."""
        x.trdSide = _SIDE_PB[order.side]
        x.orderID = order.order_id
        x.orderIDEx = str(order.order_id)
        x.code = order.code.partition(".")[2]
        x.name = order.inst.name
        x.secMarket = TC.TrdSecMarket_CC if order.inst.kind == "crypto" else TC.TrdSecMarket_HK
        x.trdMarket = _TRD_MARKETS[order.account.markets[0]]

    def _fill_order(self, o, order: SimOrder) -> None:
        self._fill_order_fields(o, order)
        o.orderType = _ORDER_TYPE_PB[order.order_type]
        o.orderStatus = _STATUS_PB[order.status]
        o.qty = order.qty
        o.price = order.price
        o.createTime = _stamp(order.created)
        o.updateTime = _stamp(order.updated or order.created)
        o.createTimestamp = order.created.timestamp()
        o.updateTimestamp = (order.updated or order.created).timestamp()
        o.fillQty = order.filled
        o.fillAvgPrice = order.avg_price
        o.lastErrMsg = order.last_err
        o.remark = order.remark
        o.timeInForce = TC.TimeInForce_DAY
        o.currency = _CURRENCY_PB[order.account.currency]

    def _fill_fill(self, f, fill: SimFill) -> None:
        self._fill_order_fields(f, fill.order)
        f.fillID = fill.fill_id
        f.fillIDEx = str(fill.fill_id)
        f.qty = fill.qty
        f.price = fill.price
        f.createTime = _stamp(fill.time)
        f.createTimestamp = fill.time.timestamp()
        f.updateTimestamp = fill.time.timestamp()
        f.status = 0

    def _header(self, h, acct) -> None:
        h.trdEnv = _ENV_PB[acct.env]
        h.accID = acct.acc_id
        h.trdMarket = _TRD_MARKETS[acct.markets[0]]

    def _order_list(self, conn: _Conn, c2s, rsp) -> None:
        acct = self._account(c2s.header)
        self._header(rsp.s2c.header, acct)
        fc = c2s.filterConditions if c2s.HasField("filterConditions") else None
        ids = set(fc.orderIDExList) | {str(i) for i in fc.idList} if fc is not None else set()
        statuses = set(c2s.filterStatusList)
        for order in acct.orders.values():
            if ids and str(order.order_id) not in ids:
                continue
            if statuses and _STATUS_PB[order.status] not in statuses:
                continue
            self._fill_order(rsp.s2c.orderList.add(), order)

    def _fill_list(self, conn: _Conn, c2s, rsp) -> None:
        acct = self._account(c2s.header)
        if acct.env == "SIMULATE":
            raise RequestError("paper trading keeps no fill records; read the orders instead")
        self._header(rsp.s2c.header, acct)
        for fill in acct.fills:
            self._fill_fill(rsp.s2c.orderFillList.add(), fill)

    def _place_order(self, conn: _Conn, c2s, rsp):
        acct = self._account(c2s.header)
        side = _SIDES.get(c2s.trdSide)
        if side is None:
            raise RequestError("unsupported trade side %d" % c2s.trdSide)
        order_type = _ORDER_TYPES.get(c2s.orderType)
        if order_type is None:
            raise RequestError("unsupported order type %d: NORMAL and MARKET are served"
                               % c2s.orderType)
        prefix = "CC" if c2s.secMarket == TC.TrdSecMarket_CC else "HK"
        order, events = self.broker.place(acct, prefix + "." + c2s.code, side, order_type,
                                          c2s.qty, c2s.price if c2s.HasField("price") else 0.0,
                                          c2s.remark if c2s.HasField("remark") else "")
        if self.pushes_first:
            events += self.broker.trade_at_once(order)
        self._header(rsp.s2c.header, acct)
        rsp.s2c.orderID = order.order_id
        rsp.s2c.orderIDEx = str(order.order_id)
        return [lambda: self._push_trades(events)]

    def _modify_order(self, conn: _Conn, c2s, rsp):
        acct = self._account(c2s.header)
        if c2s.HasField("forAll") and c2s.forAll:
            raise RequestError("modifying all orders at once is not served")
        order = self.broker.find(acct, c2s.orderIDEx if c2s.HasField("orderIDEx")
                                 and c2s.orderIDEx else str(c2s.orderID))
        if c2s.modifyOrderOp == TC.ModifyOrderOp_Cancel:
            events = self.broker.cancel(order)
        elif c2s.modifyOrderOp == TC.ModifyOrderOp_Normal:
            events = self.broker.modify(order, c2s.qty, c2s.price)
        else:
            raise RequestError("modify operation %d is not served: NORMAL and CANCEL are"
                               % c2s.modifyOrderOp)
        self._header(rsp.s2c.header, acct)
        rsp.s2c.orderID = order.order_id
        rsp.s2c.orderIDEx = str(order.order_id)
        return [lambda: self._push_trades(events)]

    # ---------------------------------------------------------------- pushes
    def _tick(self) -> None:
        now = self.clock()
        with self.broker.lock:
            events = self.broker.match(now)
        self._push_trades(events)
        for conn in list(self._conns.values()):
            if conn.ready and conn.subs and conn.push_quotes:
                self._safely(self._push_quotes, conn, now, list(conn.subs))

    def _push_quotes(self, conn: _Conn, now: datetime, codes: List[str]) -> None:
        if not conn.push_quotes:
            return
        second = int(now.timestamp())
        for code in codes:
            types = conn.subs.get(code, ())
            inst = self.market.instrument(code, now.date())
            if inst is None:
                continue
            for t in _PUSHED_SUBTYPES:
                if t not in types or conn.pushed.get((code, t)) == second:
                    continue
                conn.pushed[(code, t)] = second
                if t == QC.SubType_Basic:
                    pid, rsp = _push(ProtoId.Qot_UpdateBasicQot)
                    self._fill_basic(rsp.s2c.basicQotList.add(), inst, now)
                elif t == QC.SubType_OrderBook:
                    pid, rsp = _push(ProtoId.Qot_UpdateOrderBook)
                    self._fill_book(rsp.s2c, inst, now)
                else:
                    rows = self.market.recent_minute_bars(inst, now, 1)
                    if not rows:
                        continue
                    pid, rsp = _push(ProtoId.Qot_UpdateKL)
                    rsp.s2c.rehabType = QC.RehabType_Forward
                    rsp.s2c.klType = QC.KLType_1Min
                    self._fill_kls(rsp.s2c, inst, rows[-1:])
                self._send(conn, pid, 0, rsp.SerializeToString())

    def _push_trades(self, events) -> None:
        for kind, item in events:
            acct = item.account if kind == "order" else item.order.account
            if kind == "order":
                pid, rsp = _push(ProtoId.Trd_UpdateOrder)
                self._fill_order(rsp.s2c.order, item)
            elif acct.env == "SIMULATE":
                continue                   # paper trading reports fills through orders only
            else:
                pid, rsp = _push(ProtoId.Trd_UpdateOrderFill)
                self._fill_fill(rsp.s2c.orderFill, item)
            self._header(rsp.s2c.header, acct)
            body = rsp.SerializeToString()
            for conn in list(self._conns.values()):
                if conn.ready and acct.acc_id in conn.acc_push:
                    self._send(conn, pid, 0, body)
