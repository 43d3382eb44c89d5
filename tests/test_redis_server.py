"""The private Redis server the gateway tests and the demo run against."""
import socket

import pytest
import redis

from kavrel_tools.redis_server import RedisServer, RedisServerError


def test_server_serves_and_comes_back_on_the_same_port(redis_server, redis_client):
    redis_client.set("k", "v")
    assert redis_client.get("k") == "v"
    redis_server.stop()
    assert not redis_server.running
    redis_server.start()
    fresh = redis.Redis(host=redis_server.host, port=redis_server.port, decode_responses=True)
    try:
        assert fresh.ping() and fresh.get("k") is None  # nothing kept on disk
    finally:
        fresh.close()


@pytest.mark.parametrize("chosen", [False, True])
def test_a_port_taken_before_the_first_start(chosen):
    """A port picked by the server is picked again when another process took it first (the
    parallel test workers race for ports); a port the caller chose is an error."""
    srv = RedisServer()
    with socket.socket() as other:
        other.bind((srv.host, srv.port))
        other.listen()
        taken = srv.port
        if chosen:
            srv = RedisServer(port=taken)
            with pytest.raises(RedisServerError, match="exited at start"):
                srv.start()
        else:
            srv.start()
            assert srv.running and srv.port != taken
    srv.close()
