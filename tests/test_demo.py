"""The demo session end to end: a private Redis, the simulator process, the native gateway.

Run as the user runs it (`python -m kavrel_tools.demo`), on a fast simulated clock."""
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

pytest.importorskip("kavrel_trader.gateways.qmt.qmt_adapter")
pytestmark = pytest.mark.timeout(180)

HEADINGS = ("== Setting up", "== Quotes", "== Five-level order books",
            "== Five-minute bars rolled up from one-minute history", "== Orders (allow_orders on)",
            "== Account", "== Fills charged with QmtCommissionsCN", "== Session performance",
            "== Done")


def _demo(tmp_path, *extra):
    env = dict(os.environ, PYTHONUNBUFFERED="1")
    return subprocess.Popen([sys.executable, "-m", "kavrel_tools.demo", "--out", str(tmp_path),
                             "--speed", "600", "--hold", "10", *extra],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, env=env)


def _started(out):
    """The simulator's pid and the private Redis port that the demo printed."""
    pid = int(re.search(r"simulator: pid (\d+)", out).group(1))
    port = int(re.search(r"private redis-server on 127\.0\.0\.1:(\d+)", out).group(1))
    return pid, port


def _gone(pid, port):
    try:
        os.kill(pid, 0)
        return False
    except OSError:
        pass
    with socket.socket() as s:
        s.settimeout(0.5)
        return s.connect_ex(("127.0.0.1", port)) != 0


def test_demo_runs_to_the_end_and_leaves_nothing_behind(tmp_path):
    proc = _demo(tmp_path, "--codes", "SH.600000,SZ.000002,SH.600519", "--seed", "3")
    out, _ = proc.communicate(timeout=170)
    assert proc.returncode == 0, out
    positions = [out.index(h) for h in HEADINGS]
    assert positions == sorted(positions), out
    assert "Traceback" not in out
    assert re.search(r"loading history: 3/3 SH\.600519", out)
    assert re.search(r"event .*600519\.SH\s+cancelled", out), out
    # The gateway's own table: the limit buy FILLED, the large market buy FILLED in parts.
    assert re.search(r"SH\.600000\s+LONG\s+1000\s+FILLED\s+1000\s", out), out
    assert re.search(r"SZ\.000002\s+LONG\s+\d+\s+FILLED\s+\d+\s+[\d.]+\s+([2-9]|\d\d+)\n", out), out
    assert "QMT Redis bridge ping ok: " in out and "[QMT] place_order ok: " in out
    assert re.search(r"Sharpe ratio .*\s-?\d+\.\d\d", out)
    chart = re.search(r"chart: (\S+\.png)", out).group(1)
    with open(chart, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(chart) > 10_000
    pid, port = _started(out)
    assert _gone(pid, port)


def test_ctrl_c_stops_everything_it_started(tmp_path):
    proc = _demo(tmp_path)
    seen = ""
    deadline = time.monotonic() + 120
    while "== Quotes" not in seen and time.monotonic() < deadline:
        line = proc.stdout.readline()
        if not line:
            break
        seen += line
    proc.send_signal(signal.SIGINT)
    out, _ = proc.communicate(timeout=60)
    out = seen + out
    assert proc.returncode == 130, out
    assert "interrupted: everything the demo started is stopped" in out
    pid, port = _started(out)
    deadline = time.monotonic() + 10
    while not _gone(pid, port) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert _gone(pid, port)


FUTU_HEADINGS = ("== Setting up", "== Quotes", "== Order books (five of ten levels)",
                 "== Five-minute bars rolled up from one-minute history",
                 "== Orders (paper trading)", "== Account",
                 "== Stock fills charged with IbHKEquityFees", "== Session performance",
                 "== Done")


@pytest.mark.filterwarnings("ignore:setDaemon:DeprecationWarning")
def test_futu_demo_runs_against_the_stand_in_server(tmp_path):
    proc = _demo(tmp_path, "--broker", "futu")
    out, _ = proc.communicate(timeout=170)
    assert proc.returncode == 0, out
    positions = [out.index(h) for h in FUTU_HEADINGS]
    assert positions == sorted(positions), out
    assert "Traceback" not in out
    assert len(re.findall(r"fill \d\d:\d\d:\d\d  \d+  HK\.00700", out)) >= 3, out
    assert re.search(r"\d+\s+HK\.00700\s+1\s+0\.00\s+0\.00\s+CANCELLED", out), out
    assert re.search(r"HK\.HSImain\s+LONG\s+6", out), out
    chart = re.search(r"chart: (\S+\.png)", out).group(1)
    with open(chart, "rb") as f:
        assert f.read(8) == b"\x89PNG\r\n\x1a\n"
    pid = int(re.search(r"Futu simulator: pid (\d+)", out).group(1))
    with pytest.raises(OSError):
        os.kill(pid, 0)
