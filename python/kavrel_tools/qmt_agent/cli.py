"""Command lines: ``kavrel-qmt-agent --backend xtquant|sim`` and ``kavrel-qmt-sim``.

    kavrel-qmt-sim --redis-url redis://127.0.0.1:6379/5 --key-prefix kavrel:qmt --seed 7
    kavrel-qmt-sim --start-time "2024-03-01 09:29" --speed 60     # a session outside hours
    kavrel-qmt-agent --backend xtquant --account-id 8800001 --allow-orders \
        --user-data-path "C:\\QMT\\userdata_mini"                  # next to the terminal

Every option can also come from the environment (the flag wins):

    KAVREL_QMT_REDIS_URL       --redis-url       redis://127.0.0.1:6379/5
    KAVREL_QMT_REDIS_PASSWORD  --redis-password  (none; never logged)
    KAVREL_QMT_KEY_PREFIX      --key-prefix      kavrel:qmt
    KAVREL_QMT_ACCOUNT_ID      --account-id      SIM0001 (sim); required for xtquant
    ALLOW_ORDERS               --allow-orders / --no-allow-orders   (sim: on, xtquant: off)
    KAVREL_QMT_REPLY_TTL       --reply-ttl       60 seconds
    KAVREL_QMT_WORKERS         --workers         4
    KAVREL_QMT_BACKEND         --backend         sim
    KAVREL_QMT_USER_DATA_PATH  --user-data-path  the terminal's user-data folder (xtquant)
    KAVREL_QMT_SESSION_ID      --session-id      the trader session number (xtquant)

The simulated clock: without --start-time the market follows the machine's local time;
with it the market starts at that time and runs --speed times faster than real time
(--speed 0 freezes it there). --state PATH keeps the simulated account, its orders and fills
in a file, so an agent started again on it goes on with the same account (and an
accelerated clock goes on from the file's last change when that is later than --start-time).
"""
from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
from typing import List, Optional

from .clock import AcceleratedClock, make_clock
from .core import QmtAgent

BACKENDS = ("sim", "xtquant")
_TRUE = ("1", "true", "yes", "on")
_FALSE = ("0", "false", "no", "off", "")


def _env_flag(name: str) -> Optional[bool]:
    value = os.environ.get(name)
    if value is None:
        return None
    if value.strip().lower() in _TRUE:
        return True
    if value.strip().lower() in _FALSE:
        return False
    raise SystemExit("%s must be one of 1/0, true/false, yes/no, on/off; got %r"
                     % (name, value))


def _positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1, got %d" % value)
    return value


def build_parser(prog: str, with_backend: bool) -> argparse.ArgumentParser:
    env = os.environ.get
    p = argparse.ArgumentParser(prog=prog, description="Serve the QMT Redis bridge.",
                                epilog=__doc__.split("\n\n", 1)[1],
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    if with_backend:
        p.add_argument("--backend", choices=BACKENDS, default=env("KAVREL_QMT_BACKEND", "sim"))
    p.add_argument("--redis-url", default=env("KAVREL_QMT_REDIS_URL", "redis://127.0.0.1:6379/5"))
    p.add_argument("--redis-password", default=env("KAVREL_QMT_REDIS_PASSWORD"))
    p.add_argument("--key-prefix", default=env("KAVREL_QMT_KEY_PREFIX", "kavrel:qmt"))
    p.add_argument("--account-id", default=env("KAVREL_QMT_ACCOUNT_ID"))
    group = p.add_mutually_exclusive_group()
    group.add_argument("--allow-orders", dest="allow_orders", action="store_true", default=None)
    group.add_argument("--no-allow-orders", dest="allow_orders", action="store_false")
    p.add_argument("--reply-ttl", type=_positive_int,
                   default=env("KAVREL_QMT_REPLY_TTL", "60"), help="seconds a reply is kept")
    p.add_argument("--workers", type=_positive_int, default=env("KAVREL_QMT_WORKERS", "4"))
    p.add_argument("--log-level", default="INFO",
                   choices=("DEBUG", "INFO", "WARNING", "ERROR"))
    xt = p.add_argument_group("the terminal's SDK (backend xtquant)")
    xt.add_argument("--user-data-path", default=env("KAVREL_QMT_USER_DATA_PATH"))
    xt.add_argument("--session-id", type=int, default=env("KAVREL_QMT_SESSION_ID"))
    sim = p.add_argument_group("simulated market (backend sim)")
    sim.add_argument("--seed", type=int, default=7)
    sim.add_argument("--cash", type=float, default=1_000_000.0, help="starting cash")
    sim.add_argument("--suspend-rate", type=float, default=0.01,
                     help="share of days a code is suspended")
    sim.add_argument("--start-time", default=None,
                     help='simulated start, e.g. "2024-03-01 09:29" (default: local time)')
    sim.add_argument("--speed", type=float, default=1.0,
                     help="simulated seconds per real second (0 freezes the clock)")
    sim.add_argument("--state", default=None, metavar="PATH",
                     help="file keeping the account, orders and fills across restarts")
    return p


def build_agent(args: argparse.Namespace) -> QmtAgent:
    backend_name = getattr(args, "backend", "sim")
    allow = args.allow_orders
    if allow is None:
        allow = _env_flag("ALLOW_ORDERS")
    if allow is None:
        allow = backend_name == "sim"        # simulated money: orders on unless refused
    account_id = args.account_id
    if backend_name == "sim":
        from .sim import SimBackend
        account_id = account_id or "SIM0001"
        try:
            clock = make_clock(args.start_time, args.speed)
        except ValueError as exc:
            raise SystemExit("error: %s" % exc) from None
        try:
            backend = SimBackend(seed=args.seed, clock=clock, cash=args.cash,
                                 account_id=account_id, suspend_rate=args.suspend_rate,
                                 state=args.state)
        except ValueError as exc:
            raise SystemExit("error: --state %s" % exc) from None
        saved = backend.store.last_time if backend.store is not None else None
        if isinstance(clock, AcceleratedClock) and saved is not None and saved > clock():
            # A restart on a state file goes on from the file's time, not back to the start.
            clock.start += saved - clock()
            logging.getLogger("kavrel.qmt_agent").info(
                "simulated clock goes on from %s (the state file's last change)", saved)
    else:
        from .xtquant_backend import XtQuantBackend
        if not account_id or not args.user_data_path:
            raise SystemExit("error: the xtquant backend needs --account-id and "
                             "--user-data-path (or KAVREL_QMT_ACCOUNT_ID and "
                             "KAVREL_QMT_USER_DATA_PATH)")
        try:
            backend = XtQuantBackend(args.user_data_path, account_id,
                                     session_id=args.session_id)
        except ImportError as exc:
            raise SystemExit("error: the xtquant backend needs the terminal's SDK "
                             "(pip install xtquant, on the terminal's Windows machine): %s"
                             % exc) from None
    return QmtAgent(backend, args.redis_url, redis_password=args.redis_password,
                    key_prefix=args.key_prefix, workers=int(args.workers),
                    reply_ttl=int(args.reply_ttl), allow_orders=allow,
                    account_id=account_id)


def _run(prog: str, with_backend: bool, argv: Optional[List[str]]) -> int:
    args = build_parser(prog, with_backend).parse_args(argv)
    for name in ("reply_ttl", "workers"):     # environment values pass the same check
        try:
            setattr(args, name, _positive_int(str(getattr(args, name))))
        except argparse.ArgumentTypeError as exc:
            raise SystemExit("error: --%s %s" % (name.replace("_", "-"), exc)) from None
    logging.basicConfig(level=args.log_level, stream=sys.stderr,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s")
    agent = build_agent(args)

    def on_signal(signum, frame):
        logging.getLogger("kavrel.qmt_agent").info("signal %d: stopping", signum)
        agent.request_stop()

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)
    agent.run_forever()
    return 0


def main_sim(argv: Optional[List[str]] = None) -> int:
    """``kavrel-qmt-sim``: the agent with the simulated market."""
    return _run("kavrel-qmt-sim", False, argv)


def main_agent(argv: Optional[List[str]] = None) -> int:
    """``kavrel-qmt-agent``: the agent with a chosen backend."""
    return _run("kavrel-qmt-agent", True, argv)
