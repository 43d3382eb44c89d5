"""A private redis-server on a free loopback port, for tests, the demo and local development.

    with RedisServer() as srv:
        client = redis.Redis(host=srv.host, port=srv.port, decode_responses=True)

The server keeps nothing on disk (no snapshots, no append-only file) and lives in a private
temporary folder that is removed on stop. `stop()` and `start()` may be called again on the
same object, on the same port, to simulate a server that goes away and comes back.
"""
from __future__ import annotations

import os
import shutil
import socket
import subprocess
import tempfile
import time
from typing import Optional

__all__ = ["RedisServer", "RedisServerError", "free_port", "find_redis_server"]


class RedisServerError(RuntimeError):
    """The server binary is missing or did not come up."""


def find_redis_server() -> str:
    path = shutil.which("redis-server") or (
        "/usr/bin/redis-server" if os.path.exists("/usr/bin/redis-server") else None)
    if not path:
        raise RedisServerError(
            "redis-server not found; install it (Debian: apt-get install redis-server)")
    return path


def free_port(host: str = "127.0.0.1") -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def _answers_ping(host: str, port: int, password: Optional[str]) -> bool:
    try:
        with socket.create_connection((host, port), timeout=0.5) as s:
            if password:
                s.sendall(f"AUTH {password}\r\n".encode())
                if not s.recv(64).startswith(b"+OK"):
                    return False
            s.sendall(b"PING\r\n")
            return s.recv(64).startswith(b"+PONG")
    except OSError:
        return False


class RedisServer:
    def __init__(self, port: Optional[int] = None, host: str = "127.0.0.1",
                 password: Optional[str] = None, binary: Optional[str] = None):
        self.host = host
        self.port = port or free_port(host)
        # A port picked here may be taken by another process before the server binds it
        # (parallel test workers): the first start then retries on a fresh one.
        self._pick_port = not port
        self.password = password
        self.binary = binary or find_redis_server()
        self._proc: Optional[subprocess.Popen] = None
        self._dir: Optional[str] = None

    @property
    def url(self) -> str:
        auth = f":{self.password}@" if self.password else ""
        return f"redis://{auth}{self.host}:{self.port}/0"

    @property
    def running(self) -> bool:
        return self._proc is not None and self._proc.poll() is None

    def start(self, timeout: float = 10.0) -> "RedisServer":
        if self.running:
            return self
        for _ in range(3 if self._pick_port else 0):
            try:
                return self._start(timeout)
            except RedisServerError as exc:
                if "exited at start" not in str(exc):
                    raise
                self.port = free_port(self.host)
        self._pick_port = False
        return self._start(timeout)

    def _start(self, timeout: float) -> "RedisServer":
        if self._dir is None:
            self._dir = tempfile.mkdtemp(prefix="kavrel-redis-")
        args = [self.binary, "--port", str(self.port), "--bind", self.host,
                "--save", "", "--appendonly", "no", "--dir", self._dir,
                "--daemonize", "no", "--protected-mode", "yes", "--loglevel", "warning",
                "--logfile", os.path.join(self._dir, "redis.log")]
        if self.password:
            args += ["--requirepass", self.password]
        self._proc = subprocess.Popen(args, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                      stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self._proc.poll() is not None:
                self._proc = None
                raise RedisServerError(f"redis-server exited at start (port {self.port}): "
                                       + self._log_tail())
            if _answers_ping(self.host, self.port, self.password):
                self._pick_port = False
                return self
            time.sleep(0.02)
        self.stop()
        raise RedisServerError(f"redis-server did not answer on port {self.port}")

    def stop(self, timeout: float = 10.0) -> None:
        proc, self._proc = self._proc, None
        if proc is not None and proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    def close(self) -> None:
        """Stop the server and remove its folder."""
        self.stop()
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def _log_tail(self) -> str:
        try:
            with open(os.path.join(self._dir or "", "redis.log")) as f:
                return f.read()[-500:]
        except OSError:
            return ""

    def __enter__(self) -> "RedisServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()
