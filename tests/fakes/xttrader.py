"""Stand-in for the terminal SDK's trading module ``xtquant.xttrader``.

``XtQuantTrader(path, session, callback=None)`` with ``start``, ``stop``, ``connect``,
``subscribe``, ``order_stock``, ``cancel_order_stock``, ``query_stock_orders``,
``query_stock_trades``, ``query_stock_asset`` and ``query_stock_positions`` as the SDK has
them, returning the SDK's own ``xttype`` objects; as the SDK does, pushes to the
``XtQuantTraderCallback`` subclass and the answers to the blocking calls share one executor
thread, so a callback that blocks holds up every answer. A test steers it through ``STATE``
(return codes, held positions, asset) and drives the terminal's side with ``fill`` (whole or
a part: the trade push, then the order push with the cumulative fill and average price; trade
time in epoch seconds), ``reject`` and ``disconnect``; ``STATE.exchange``, when set, is called
as ``exchange(trader, order)`` for every accepted order, to play the market (fill it).
"""
import copy
from concurrent.futures import ThreadPoolExecutor

from xtquant import xtconstant, xttype


class XtQuantTraderCallback(object):
    def on_connected(self):
        pass

    def on_disconnected(self):
        pass

    def on_account_status(self, status):
        pass

    def on_stock_asset(self, asset):
        pass

    def on_stock_order(self, order):
        pass

    def on_stock_trade(self, trade):
        pass

    def on_stock_position(self, position):
        pass

    def on_order_error(self, order_error):
        pass

    def on_cancel_error(self, cancel_error):
        pass

    def on_order_stock_async_response(self, response):
        pass

    def on_cancel_order_stock_async_response(self, response):
        pass


class _State:
    def reset(self):
        self.connect_rc = [0]          # return codes of successive connect() calls; last repeats
        self.subscribe_rc = 0
        self.order_rc = None           # force order_stock to return this (e.g. -1)
        self.cancel_rc = 0
        self.asset = None
        self.positions = []
        self.traders = []
        self.orders = {}               # order id -> XtOrder
        self.trades = []               # XtTrade, in the order filled
        self.next_id = 1000
        self.exchange = None           # exchange(trader, XtOrder) after each accepted order

    def __init__(self):
        self.reset()


STATE = _State()


class XtQuantTrader(object):
    def __init__(self, path, session, callback=None):
        self.path, self.session, self.callback = path, session, callback
        self.started = self.stopped = False
        self.connected = False
        self.executor = None
        STATE.traders.append(self)

    def _later(self, fn, *args):
        self.executor.submit(fn, *args)

    def _answer(self, value):
        # The SDK waits without a limit; ten seconds turns a deadlock into a test failure.
        return self.executor.submit(lambda: value).result(timeout=10)

    def register_callback(self, callback):
        self.callback = callback

    def start(self):
        self.started = True
        self.executor = ThreadPoolExecutor(max_workers=1)

    def stop(self):
        self.stopped = True
        if self.executor is not None:
            self.executor.shutdown(wait=True)

    def connect(self):
        rc = STATE.connect_rc.pop(0) if len(STATE.connect_rc) > 1 else STATE.connect_rc[0]
        self.connected = rc == 0
        return rc

    def subscribe(self, account):
        return self._answer(STATE.subscribe_rc)

    def order_stock(self, account, stock_code, order_type, order_volume, price_type, price,
                    strategy_name='', order_remark=''):
        if STATE.order_rc is not None:
            return self._answer(STATE.order_rc)
        STATE.next_id += 1
        oid = STATE.next_id
        order = xttype.XtOrder(account.account_id, stock_code, oid, "S%d" % oid, 0, order_type,
                               order_volume, price_type, price, 0, 0.0,
                               xtconstant.ORDER_REPORTED, "", strategy_name, order_remark,
                               xtconstant.DIRECTION_FLAG_LONG, 0, "", "")
        STATE.orders[oid] = order
        self._later(self.callback.on_stock_order, order)     # the push may come first
        if STATE.exchange is not None:
            STATE.exchange(self, order)
        return self._answer(oid)

    def cancel_order_stock(self, account, order_id):
        order = STATE.orders.get(order_id)
        if STATE.cancel_rc != 0 or order is None:
            return self._answer(-1)
        order.order_status = xtconstant.ORDER_CANCELED
        self._later(self.callback.on_stock_order, order)
        return self._answer(0)

    def query_stock_orders(self, account, cancelable_only=False):
        working = (xtconstant.ORDER_UNREPORTED, xtconstant.ORDER_WAIT_REPORTING,
                   xtconstant.ORDER_REPORTED, xtconstant.ORDER_PART_SUCC)
        return self._answer([o for o in STATE.orders.values()
                             if not cancelable_only or o.order_status in working])

    def query_stock_trades(self, account):
        return self._answer(list(STATE.trades))

    def query_stock_asset(self, account):
        return self._answer(STATE.asset)

    def query_stock_positions(self, account):
        return self._answer(list(STATE.positions))

    # ------------------------------------------------ the terminal's side, for tests
    def fill(self, order_id, price, volume=None, traded_time=1709262030, order_first=False):
        o = STATE.orders[order_id]
        volume = o.order_volume - o.traded_volume if volume is None else volume
        amount = o.traded_price * o.traded_volume + price * volume
        o.traded_volume += volume
        o.traded_price = round(amount / o.traded_volume, 4)
        o.order_status = (xtconstant.ORDER_SUCCEEDED if o.traded_volume >= o.order_volume
                          else xtconstant.ORDER_PART_SUCC)
        trade = xttype.XtTrade(o.account_id, o.stock_code, o.order_type,
                               "T%d-%d" % (order_id, len(STATE.trades) + 1), traded_time,
                               price, volume, price * volume, order_id, o.order_sysid,
                               o.strategy_name, o.order_remark, o.direction, o.offset_flag,
                               5.0, "", "")
        STATE.trades.append(trade)
        pushed = copy.copy(o)                  # the push is a snapshot, as the SDK's are
        pushes = [(self.callback.on_stock_trade, trade), (self.callback.on_stock_order, pushed)]
        for fn, arg in (pushes[::-1] if order_first else pushes):
            self._later(fn, arg)
        return trade

    def reject(self, order_id, message):
        o = STATE.orders[order_id]
        err = xttype.XtOrderError(o.account_id, order_id, -61, message, o.strategy_name,
                                  o.order_remark)
        self._later(self.callback.on_order_error, err)

    def refuse_cancel(self, order_id, message):
        err = xttype.XtCancelError(STATE.orders[order_id].account_id, order_id, 0, "", -62,
                                   message)
        self._later(self.callback.on_cancel_error, err)

    def disconnect(self):
        self.connected = False
        self._later(self.callback.on_disconnected)
