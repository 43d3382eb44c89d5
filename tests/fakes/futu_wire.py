"""Push messages as OpenD sends them: protobuf responses that the SDK's handler bases parse
into the tables a gateway's handlers receive."""
from futu.common.pb import Qot_UpdateBasicQot_pb2, Qot_UpdateOrderBook_pb2, Trd_UpdateOrder_pb2, Trd_UpdateOrderFill_pb2


def quote_push(code="00700", market=1, ret=0, time="2024-01-02 09:30:01", price=350.2):
    r = Qot_UpdateBasicQot_pb2.Response()
    r.retType = ret
    if ret != 0:
        r.retMsg = "bad push"
        return r
    b = r.s2c.basicQotList.add()
    b.security.market = market
    b.security.code = code
    b.isSuspended = False
    b.listTime = ""
    b.priceSpread = 0.2
    b.updateTime = time
    b.highPrice, b.openPrice, b.lowPrice, b.curPrice = 351.0, 349.0, 348.0, price
    b.lastClosePrice, b.volume, b.turnover = 347.0, 12345, 1e7
    b.turnoverRate, b.amplitude = 0.1, 0.5
    return r


def book_push(bid_time="2024-01-02 09:30:01.100", ask_time="2024-01-02 09:30:01.200", bids=3, asks=0):
    """A book of `bids` bid levels and `asks` ask levels, best first, 0.2 apart."""
    o = Qot_UpdateOrderBook_pb2.Response()
    o.retType = 0
    o.s2c.security.market = 1
    o.s2c.security.code = "00700"
    o.s2c.svrRecvTimeBid = bid_time
    o.s2c.svrRecvTimeAsk = ask_time
    for side, levels in ((o.s2c.orderBookBidList, bids), (o.s2c.orderBookAskList, asks)):
        for i in range(levels):
            x = side.add()
            x.price, x.volume, x.orederCount = 350 - i * 0.2, 100 * (i + 1), i + 1
    return o


def order_push():
    """Order X123 (id 123): 300 of 500 filled at 350.1."""
    r = Trd_UpdateOrder_pb2.Response()
    r.retType = 0
    r.s2c.header.trdEnv, r.s2c.header.accID, r.s2c.header.trdMarket = 0, 1, 1
    o = r.s2c.order
    o.trdSide, o.orderType, o.orderStatus, o.orderID, o.orderIDEx = 1, 1, 11, 123, "X123"
    o.code, o.name, o.qty, o.price, o.secMarket = "00700", "Tencent", 500, 350.0, 1
    o.createTime, o.updateTime = "2024-01-02 09:30:00", "2024-01-02 09:30:05"
    o.fillQty, o.fillAvgPrice = 300, 350.1
    return r


def deal_push():
    """Deal 77 of order X123: 300 at 350.1."""
    f = Trd_UpdateOrderFill_pb2.Response()
    f.retType = 0
    f.s2c.header.trdEnv, f.s2c.header.accID, f.s2c.header.trdMarket = 0, 1, 1
    d = f.s2c.orderFill
    d.trdSide, d.fillID, d.fillIDEx, d.orderID, d.orderIDEx = 1, 77, "F77", 123, "X123"
    d.code, d.name, d.qty, d.price, d.secMarket = "00700", "Tencent", 300, 350.1, 1
    d.createTime = "2024-01-02 09:30:05"
    return f
