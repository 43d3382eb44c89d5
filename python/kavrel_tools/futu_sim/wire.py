"""The broker SDK's wire format, read from the SDK package itself.

A packet is a 44-byte little-endian header followed by the body: "F", "T", the protocol id
(uint32), the body format (0 protobuf, 1 JSON), the protocol version, the serial number
(uint32, a reply carries its request's), the body length (uint32), the SHA-1 of the body
(20 bytes) and 8 reserved bytes. Bodies are the protobuf messages of the modules the SDK ships
under ``futu.common.pb``: a request is the module's ``Request``, a reply or push its
``Response`` (return type, message, error code, then the payload ``s2c``).
"""
from __future__ import annotations

import hashlib
import importlib
import struct
from typing import Any, Dict, Optional

from futu.common.constant import ProtoId
from futu.common.pb import KeepAlive_pb2

__all__ = ["HEADER", "HEADER_LEN", "MAX_BODY", "FrameError", "Header", "pack", "parse_header",
           "pb_module", "proto_name", "error_body", "RET_OK", "RET_FAILED"]

HEADER = struct.Struct("<1s1sI2B2I20s8s")
HEADER_LEN = HEADER.size
MAX_BODY = 16 * 1024 * 1024
FMT_PROTOBUF, FMT_JSON = 0, 1
RET_OK, RET_FAILED = 0, -1
_PROTO_VER = 0
_RESERVED = b"\x00" * 8

_NAMES: Dict[int, str] = {v: k for k, v in vars(ProtoId).items()
                          if isinstance(v, int) and not k.startswith("_")}
_MODULES: Dict[int, Any] = {}


class FrameError(Exception):
    """A packet this connection cannot recover from (bad magic, oversized body)."""


class Header:
    __slots__ = ("proto_id", "fmt", "serial_no", "body_len", "sha1")

    def __init__(self, proto_id: int, fmt: int, serial_no: int, body_len: int, sha1: bytes):
        self.proto_id, self.fmt, self.serial_no = proto_id, fmt, serial_no
        self.body_len, self.sha1 = body_len, sha1


def parse_header(data) -> Header:
    h1, h2, proto_id, fmt, _ver, serial_no, body_len, sha1, _res = HEADER.unpack_from(data)
    if h1 != b"F" or h2 != b"T":
        raise FrameError("bad packet header %r" % bytes(data[:2]))
    if body_len > MAX_BODY:
        raise FrameError("packet body of %d bytes is over the %d limit" % (body_len, MAX_BODY))
    return Header(proto_id, fmt, serial_no, body_len, sha1)


def pack(proto_id: int, serial_no: int, body: bytes, fmt: int = FMT_PROTOBUF) -> bytes:
    return HEADER.pack(b"F", b"T", proto_id, fmt, _PROTO_VER, serial_no & 0xFFFFFFFF,
                       len(body), hashlib.sha1(body).digest(), _RESERVED) + body


def proto_name(proto_id: int) -> str:
    return _NAMES.get(proto_id, "proto %d" % proto_id)


def pb_module(proto_id: int) -> Optional[Any]:
    """The SDK's protobuf module of a protocol id (``Qot_GetKL_pb2`` for 3006), or None."""
    if proto_id in _MODULES:
        return _MODULES[proto_id]
    name = _NAMES.get(proto_id)
    module = None
    if name is not None:
        try:
            module = importlib.import_module("futu.common.pb.%s_pb2" % name)
        except ImportError:
            module = None
    _MODULES[proto_id] = module
    return module


def error_body(proto_id: int, message: str, err_code: int = 0) -> bytes:
    """A failed reply: every Response message starts with the same three fields."""
    module = pb_module(proto_id)
    rsp = module.Response() if module is not None and hasattr(module, "Response") \
        else KeepAlive_pb2.Response()
    rsp.retType = RET_FAILED
    rsp.retMsg = message
    if err_code:
        rsp.errCode = err_code
    return rsp.SerializeToString()

