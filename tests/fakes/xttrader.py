"""Stand-in for the terminal SDK's trading module ``xtquant.xttrader``.

``XtQuantTrader(path, session, callback=None)`` with ``start``, ``stop``, ``connect``,
``subscribe``, ``order_stock``, ``cancel_order_stock``, ``query_stock_asset`` and
``query_stock_positions`` as the SDK has them, returning the SDK's own ``xttype`` objects;
callbacks go to an ``XtQuantTraderCallback`` subclass on a separate thread, as the SDK's do.
A test steers it through ``STATE`` (return codes, held positions, asset) and drives the
terminal's side with ``fill``, ``reject`` and ``disconnect``.
"""
import threading

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
        self.next_id = 1000
        self.callback_threads = []

    def __init__(self):
        self.reset()


STATE = _State()


def _later(fn, *args):
    t = threading.Thread(target=fn, args=args, daemon=True)
    STATE.callback_threads.append(t)
    t.start()


class XtQuantTrader(object):
    def __init__(self, path, session, callback=None):
        self.path, self.session, self.callback = path, session, callback
        self.started = self.stopped = False
        self.connected = False
        STATE.traders.append(self)

    def register_callback(self, callback):
        self.callback = callback

    def start(self):
        self.started = True

    def stop(self):
        self.stopped = True

    def connect(self):
        rc = STATE.connect_rc.pop(0) if len(STATE.connect_rc) > 1 else STATE.connect_rc[0]
        self.connected = rc == 0
        return rc

    def subscribe(self, account):
        return STATE.subscribe_rc

    def order_stock(self, account, stock_code, order_type, order_volume, price_type, price,
                    strategy_name='', order_remark=''):
        if STATE.order_rc is not None:
            return STATE.order_rc
        STATE.next_id += 1
        oid = STATE.next_id
        order = xttype.XtOrder(account.account_id, stock_code, oid, "S%d" % oid, 0, order_type,
                               order_volume, price_type, price, 0, 0.0,
                               xtconstant.ORDER_REPORTED, "", strategy_name, order_remark,
                               xtconstant.DIRECTION_FLAG_LONG, 0, "", "")
        STATE.orders[oid] = order
        _later(self.callback.on_stock_order, order)
        return oid

    def cancel_order_stock(self, account, order_id):
        order = STATE.orders.get(order_id)
        if STATE.cancel_rc != 0 or order is None:
            return -1
        order.order_status = xtconstant.ORDER_CANCELED
        _later(self.callback.on_stock_order, order)
        return 0

    def query_stock_asset(self, account):
        return STATE.asset

    def query_stock_positions(self, account):
        return list(STATE.positions)

    # ------------------------------------------------ the terminal's side, for tests
    def fill(self, order_id, price):
        o = STATE.orders[order_id]
        o.traded_volume, o.traded_price = o.order_volume, price
        o.order_status = xtconstant.ORDER_SUCCEEDED
        trade = xttype.XtTrade(o.account_id, o.stock_code, o.order_type, "T%d" % order_id, 0,
                               price, o.order_volume, price * o.order_volume, order_id,
                               o.order_sysid, o.strategy_name, o.order_remark, o.direction,
                               o.offset_flag, 5.0, "", "")
        _later(self.callback.on_stock_trade, trade)
        _later(self.callback.on_stock_order, o)

    def reject(self, order_id, message):
        o = STATE.orders[order_id]
        err = xttype.XtOrderError(o.account_id, order_id, -61, message, o.strategy_name,
                                  o.order_remark)
        _later(self.callback.on_order_error, err)

    def refuse_cancel(self, order_id, message):
        err = xttype.XtCancelError(STATE.orders[order_id].account_id, order_id, 0, "", -62,
                                   message)
        _later(self.callback.on_cancel_error, err)

    def disconnect(self):
        self.connected = False
        _later(self.callback.on_disconnected)
