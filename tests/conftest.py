import os

from hypothesis import HealthCheck, settings

# Property tests: no per-example deadline (CI machines are shared), a bounded example count.
settings.register_profile(
    "kavrel",
    deadline=None,
    max_examples=int(os.environ.get("KAVREL_HYPOTHESIS_EXAMPLES", "200")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kavrel")


# ---------------------------------------------------------------- a real Redis server
import pytest  # noqa: E402


@pytest.fixture(scope="session")
def redis_server():
    """A private redis-server on a free loopback port for the whole session (stopped after);
    each parallel worker (pytest-xdist) runs its own session, so its own server."""
    from kavrel_tools.redis_server import RedisServer

    srv = RedisServer().start()
    try:
        yield srv
    finally:
        srv.close()


@pytest.fixture
def redis_client(redis_server):
    """A decoded redis-py client on the session's server, its database flushed before and after."""
    import redis

    client = redis.Redis(host=redis_server.host, port=redis_server.port, db=0,
                         decode_responses=True)
    if not redis_server.running:
        redis_server.start()
    client.flushall()
    yield client
    try:
        if redis_server.running:
            client.flushall()
    finally:
        client.close()


@pytest.fixture
def events(redis_client):
    """A subscriber to the agent's event channel, recording what it publishes."""
    from qmt_wire import Events

    ev = Events(redis_client)
    yield ev
    ev.close()


# ---------------------------------------------------------------- the broker stand-in server
@pytest.fixture
def futu_sim():
    """The Futu stand-in server on a free loopback port, its clock frozen at 10:00:30 of the
    machine's latest weekday (the gateways date their history windows by the machine's
    clock); `futu_sim.clock.advance(seconds=1)` moves the market. Stopped after."""
    from datetime import datetime, timedelta

    from kavrel_tools.futu_sim import FutuSimServer
    from kavrel_tools.qmt_agent.clock import FixedClock

    day = datetime.now().date()
    while day.weekday() >= 5:
        day -= timedelta(days=1)
    clock = FixedClock(datetime(day.year, day.month, day.day, 10, 0, 30))
    server = FutuSimServer(port=0, clock=clock, tick=0.02, unlock_password="1234").start()
    try:
        yield server
    finally:
        server.stop()


@pytest.fixture
def futu_config(futu_sim, monkeypatch):
    """The three Futu gateway settings of the configuration pointed at the stand-in server."""
    from kavrel_trader.gateways.futu import futu_adapter as fa

    settings = {"host": "127.0.0.1", "port": futu_sim.port, "pwd_unlock": "1234"}
    for name in ("FUTU", "FUTUFUTURES", "FUTUCRYPTO"):
        monkeypatch.setattr(fa, name, dict(settings))
    return settings


# ---------------------------------------------------------------- bridge agents
@pytest.fixture
def echo_agent(redis_server, redis_client):
    """The small agent of tests/bridge_agent.py serving the session's server."""
    from bridge_agent import EchoAgent

    a = EchoAgent(port=redis_server.port, db=0).start()
    yield a
    a.stop()


@pytest.fixture
def sim_clock():
    """The simulator's clock, frozen on a Friday morning; a test may move it."""
    from fakes.qmt_agents import FRIDAY
    from kavrel_tools.qmt_agent import FixedClock

    return FixedClock(FRIDAY)


@pytest.fixture
def sim_agent(redis_server, redis_client, sim_clock):
    """The simulator serving the session's server on `sim_clock`."""
    from kavrel_tools.qmt_agent import simulator

    ag = simulator(redis_server.url, clock=sim_clock, workers=2, reply_ttl=30, cash=1_000_000)
    ag.start()
    yield ag
    ag.stop()


@pytest.fixture
def xt_sdk():
    """The stand-in terminal SDK's data and trading state, fresh for each test."""
    pytest.importorskip("xtquant.xtconstant")
    from fakes import xtdata as fake_xtdata
    from fakes import xttrader as fake_xttrader

    fake_xtdata.STATE.reset()
    fake_xttrader.STATE.reset()
    yield fake_xtdata.STATE, fake_xttrader.STATE
    for trader in fake_xttrader.STATE.traders:
        if trader.executor is not None:
            trader.executor.shutdown(wait=True)


@pytest.fixture
def xtquant_agent(redis_server, redis_client, xt_sdk):
    """The terminal-SDK backend's agent serving the session's server, connected."""
    from fakes.qmt_agents import make_xtquant_agent
    from qmt_wire import wait_for

    ag = make_xtquant_agent(redis_server.url).start()
    assert wait_for(lambda: ag.backend.connected)
    yield ag
    ag.stop()
