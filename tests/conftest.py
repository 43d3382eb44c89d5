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
    """A private redis-server on a free loopback port for the whole session (stopped after)."""
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
