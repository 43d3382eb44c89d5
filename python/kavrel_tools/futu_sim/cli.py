"""Command line: ``kavrel-futu-sim``, the broker stand-in server.

    kavrel-futu-sim --port 11111 --seed 7
    kavrel-futu-sim --port 0                                    # a free port, printed
    kavrel-futu-sim --start-time "2024-03-01 09:29" --speed 60  # a session outside hours

Point the gateways' settings ("host", "port" of GATEWAYS["Futu"], ["Futufutures"],
["Futucrypto"] in kavrel_trader_config) at it. Without --start-time the market follows the
machine's local time; with it the market starts there and runs --speed times faster
(--speed 0 freezes it). Real accounts need the trade unlock; any password unlocks unless
--unlock-password is given. SIGINT or SIGTERM stops the server.
"""
from __future__ import annotations

import argparse
import logging
import signal
import sys
import threading
from typing import List, Optional

from ..qmt_agent.clock import make_clock
from .server import FutuSimServer


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(prog="kavrel-futu-sim",
                                description="Serve the broker SDK's contexts against a "
                                            "simulated market.",
                                epilog=__doc__.split("\n\n", 1)[1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--host", default="127.0.0.1")
    p.add_argument("--port", type=int, default=11111, help="0 picks a free port")
    p.add_argument("--seed", type=int, default=7)
    p.add_argument("--start-time", default=None)
    p.add_argument("--speed", type=float, default=1.0)
    p.add_argument("--tick", type=float, default=0.2,
                   help="seconds between matching rounds and pushes (real time)")
    p.add_argument("--unlock-password", default=None)
    p.add_argument("--pushes-first", action="store_true",
                   help="a new order trades at once and the pushes a request causes go out "
                        "before its reply, as a broker's may")
    return p


def main(argv: Optional[List[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s", stream=sys.stderr)
    try:
        clock = make_clock(args.start_time, args.speed)
    except ValueError as e:
        print("kavrel-futu-sim: %s" % e, file=sys.stderr)
        return 2
    if not 0 <= args.port <= 65535 or args.tick <= 0:
        print("kavrel-futu-sim: --port must be 0-65535 and --tick positive", file=sys.stderr)
        return 2
    done = threading.Event()

    def _stop(signum, frame):
        done.set()

    # Handlers first: a signal that comes as soon as the port is printed still stops cleanly.
    signal.signal(signal.SIGINT, _stop)
    signal.signal(signal.SIGTERM, _stop)
    server = FutuSimServer(args.host, args.port, seed=args.seed, clock=clock, tick=args.tick,
                           unlock_password=args.unlock_password, pushes_first=args.pushes_first)
    try:
        server.start()
    except OSError as e:
        print("kavrel-futu-sim: cannot listen on %s:%d: %s" % (args.host, args.port, e),
              file=sys.stderr)
        return 1
    print("kavrel-futu-sim listening on %s:%d (seed %d, clock %r)"
          % (args.host, server.port, args.seed, clock), flush=True)
    try:
        while not done.wait(0.5):
            if not server.running:
                break
    finally:
        server.stop()
    print("kavrel-futu-sim stopped", flush=True)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
