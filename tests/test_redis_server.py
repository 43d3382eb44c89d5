"""The private Redis server the gateway tests and the demo run against."""
import redis


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
