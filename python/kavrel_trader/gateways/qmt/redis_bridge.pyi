"""Redis request/reply client and event subscriber for the QMT bridge agent."""
import threading
from typing import Any, Callable, Dict, Optional

import redis

# The callback given to start_events: one decoded event object, nothing returned.
EventHandler = Callable[[Dict[str, Any]], None]

class QmtRedisBridge:
    """Thin Redis request/reply + optional event subscriber."""

    key_prefix: str
    timeout: float
    _r: redis.Redis
    _pubsub: Optional[Any]
    _event_thread: Optional[threading.Thread]
    _event_handler: Optional[EventHandler]
    _recovered_handler: Optional[Callable[[], None]]
    # The number ("seq") of the last numbered event delivered.
    _last_seq: Optional[str]
    _stop_events: threading.Event
    # No connection is opened here: the first command connects.
    def __init__(
        self,
        host: str = "127.0.0.1",
        port: int = 6379,
        password: Optional[str] = None,
        db: int = 5,
        key_prefix: str = "kavrel:qmt",
        timeout: float = 10.0,
    ) -> None: ...
    @property
    def req_key(self) -> str:
        """The request list: prefix + ":req"."""
    @property
    def events_channel(self) -> str:
        """The event channel: prefix + ":events"."""
    def res_key(self, req_id: str) -> str:
        """The reply list of request `req_id`: prefix + ":res:" + req_id."""
    def call(self, op: str, params: Optional[Dict[str, Any]] = None, timeout: Optional[float] = None) -> Any:
        """Send one request to the bridge agent and return the reply's data. Raises TimeoutError when no reply comes within `timeout` seconds (the object's default when None) and RuntimeError when the agent reports a failure."""
    def ping(self) -> Optional[Dict[str, Any]]:
        """call("ping"): the agent's status object (None when it sends none)."""
    def start_events(self, handler: EventHandler, recovered: Optional[Callable[[], None]] = None) -> None:
        """Subscribe to the bridge's events and call `handler` with each decoded event on the daemon thread "qmt-redis-events". A running subscriber is stopped first. Numbered events are delivered once, in order; after a re-subscription the events logged meanwhile come first, then `recovered()` is called."""
    def stop_events(self) -> None:
        """Stop the event subscriber (waits up to 2 s for its thread)."""
    def close(self) -> None:
        """Stop the event subscriber and close the Redis client."""
