"""futu_adapter through the broker SDK's own contexts against the stand-in server
(kavrel-futu-sim, run as its own process): a quote push end to end, and 100,000 one-minute
rows of paged history, with the share of the time spent in the SDK and in our code; then the
gateway's conversion of the SDK's real history tables against plain Python on the same tables.
"""
import contextlib
import io
import os
import statistics
import subprocess
import sys
import time
from datetime import datetime, timedelta

from _timing import best_time, report
from bench_futu import PlainFutu, _Patch
from fakes.futu_contexts import FutuContexts

from kavrel_trader.core.security import Stock
from kavrel_trader.gateways.futu import futu_adapter as fa

TENCENT = Stock("HK.00700", "Tencent", lot_size=100)
ROWS = 100_000


def start_server(start: datetime):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    proc = subprocess.Popen([sys.executable, "-m", "kavrel_tools.futu_sim", "--port", "0",
                             "--start-time", start.strftime("%Y-%m-%d %H:%M:%S"),
                             "--speed", "0", "--tick", "0.002"],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, env=env)
    line = proc.stdout.readline()
    return proc, int(line.split(" on ")[1].split()[0].rsplit(":", 1)[1])


class TimedQuoteContext:
    """The gateway's quote context with the time spent inside the SDK's history calls
    recorded, and the history window widened so that 100,000 rows fit (the gateway's
    look-back rule assumes 300 bars a weekday; Hong Kong trades 330)."""

    def __init__(self, ctx):
        self.ctx = ctx
        self.sdk_time = 0.0
        self.pages = []

    def request_history_kline(self, code, start=None, end=None, **kw):
        start = (datetime.strptime(start, "%Y-%m-%d") - timedelta(days=200)).strftime("%Y-%m-%d")
        t0 = time.perf_counter()
        out = self.ctx.request_history_kline(code, start=start, end=end, **kw)
        self.sdk_time += time.perf_counter() - t0
        self.pages.append(out[1])
        return out

    def __getattr__(self, name):
        return getattr(self.ctx, name)


def main():
    push_end_to_end()
    day = datetime.now().date()
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    proc, port = start_server(datetime(day.year, day.month, day.day, 10, 0, 30))
    settings = {"host": "127.0.0.1", "port": port, "pwd_unlock": "1"}
    saved = fa.FUTU
    fa.FUTU = settings
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            gw = fa.FutuAdapter([TENCENT], "bench-sdk")
        try:
            history(gw)
        finally:
            with contextlib.redirect_stdout(io.StringIO()):
                gw.close()
    finally:
        fa.FUTU = saved
        proc.terminate()
        proc.wait(10)
        proc.stdout.close()


def push_end_to_end():
    """From the server's send of a quote push to the Quote stored by our handler: the SDK's
    network thread reads and parses the packet, its callback thread builds the table in the
    handler base, then our process_quote runs. The server runs in this process here, so that
    its send can be stamped on the same clock (it shares the interpreter lock, which adds to
    the SDK's share)."""
    from futu import StockQuoteHandlerBase
    from futu.common.constant import ProtoId
    from kavrel_tools.futu_sim import FutuSimServer
    from kavrel_tools.qmt_agent.clock import FixedClock

    day = datetime.now().date()
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    clock = FixedClock(datetime(day.year, day.month, day.day, 10, 0, 30))
    sim = FutuSimServer(port=0, clock=clock, tick=0.001).start()
    sent = []
    send = sim._send

    def stamped(conn, proto_id, serial_no, body):
        if proto_id == ProtoId.Qot_UpdateBasicQot:
            sent.append(time.perf_counter())
        send(conn, proto_id, serial_no, body)

    sim._send = stamped
    saved = fa.FUTU
    fa.FUTU = {"host": "127.0.0.1", "port": sim.port, "pwd_unlock": "1"}
    with contextlib.redirect_stdout(io.StringIO()):
        gw = fa.FutuAdapter([TENCENT], "bench-push")
    fa.FUTU = saved
    marks = []
    original = gw.process_quote

    def timed(content):
        t0 = time.perf_counter()
        original(content)
        marks.append((t0, time.perf_counter()))

    gw.process_quote = timed
    parse = []
    original_base = StockQuoteHandlerBase.on_recv_rsp

    def timed_base(self, rsp):
        t0 = time.perf_counter()
        out = original_base(self, rsp)
        parse.append(time.perf_counter() - t0)
        return out

    StockQuoteHandlerBase.on_recv_rsp = timed_base
    lat = []
    try:
        time.sleep(0.2)
        for _ in range(300):
            sent.clear()
            marks.clear()
            clock.advance(seconds=1)
            deadline = time.monotonic() + 2
            while not marks and time.monotonic() < deadline:
                time.sleep(0.0002)
            if marks and sent:
                lat.append((sent[0], marks[0][0], marks[0][1]))
    finally:
        StockQuoteHandlerBase.on_recv_rsp = original_base
        with contextlib.redirect_stdout(io.StringIO()):
            gw.close()
        sim.stop()
    total = statistics.median(end - t_sent for t_sent, _, end in lat)
    ours = statistics.median(end - start for _, start, end in lat)
    sdk = total - ours
    print(f"{'quote push, server send to Quote stored (median of %d)' % len(lat):<58} "
          f"{total * 1e6:9.1f} us")
    print(f"{'  in the SDK (socket, parse, handler base, callback queue)':<58} "
          f"{sdk * 1e6:9.1f} us ({sdk / total:.0%})")
    print(f"{'    of which the handler base building the table':<58} "
          f"{statistics.median(parse) * 1e6:9.1f} us")
    print(f"{'  in our process_quote':<58} {ours * 1e6:9.1f} us ({ours / total:.0%})")


def history(gw):
    timed = TimedQuoteContext(gw.quote_ctx)
    real = gw.quote_ctx
    gw.quote_ctx = timed
    try:
        t0 = time.perf_counter()
        bars = gw.req_historical_bars(TENCENT, ROWS, "1Min", datetime.now())
        total = time.perf_counter() - t0
    finally:
        gw.quote_ctx = real
    assert len(bars) == ROWS, len(bars)
    ours = total - timed.sdk_time
    print(f"{'100,000 one-minute rows through the SDK (%d pages)' % len(timed.pages):<58} "
          f"{total:9.3f} s")
    print(f"{'  in the SDK and the server (paged requests)':<58} {timed.sdk_time:9.3f} s "
          f"({timed.sdk_time / total:.0%})")
    print(f"{'  in our code (paging, concatenation, rows to Bars)':<58} {ours:9.3f} s "
          f"({ours / total:.1%})")

    # Our conversion against plain Python on the SDK's real page tables.
    contexts = FutuContexts()
    saved = {n: getattr(fa, n) for n in FutuContexts.KINDS}
    contexts.install(_Patch(), fa)
    try:
        with contextlib.redirect_stdout(io.StringIO()):
            fake_gw = fa.FutuAdapter([TENCENT], "bench-tables")
    finally:
        for n, v in saved.items():
            setattr(fa, n, v)
    contexts.quote.history_pages = timed.pages
    plain = PlainFutu([TENCENT], contexts.quote)
    a = fake_gw.req_historical_bars(TENCENT, ROWS, "1Min", None)
    b = plain.req_historical_bars(TENCENT, ROWS, rows="itertuples")
    assert [(x.datetime, x.close, x.volume) for x in a[::997]] == \
        [(x.datetime, x.close, x.volume) for x in b[::997]]
    ours_t = best_time(lambda: fake_gw.req_historical_bars(TENCENT, ROWS, "1Min", None), repeat=3)
    base = best_time(lambda: plain.req_historical_bars(TENCENT, ROWS), repeat=1)
    report("req_historical_bars 100k real SDK rows vs iterrows", ours_t, base, target=10,
           baseline_name="python")
    base = best_time(lambda: plain.req_historical_bars(TENCENT, ROWS, rows="itertuples"),
                     repeat=2)
    report("req_historical_bars 100k real SDK rows vs itertuples", ours_t, base,
           baseline_name="python")


if __name__ == "__main__":
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
    main()
