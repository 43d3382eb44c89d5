"""The CEL host module loaded over the pywin32 stand-ins, and what its tests share."""
import importlib
import threading
import types

import pytest

from . import installed

MODULE = "kavrel_trader.gateways.cqg.wrapper.CelHost"
_loaded = None


def load():
    """(module, fakes): the module imported once per process with the stand-ins in place;
    they leave sys.modules again, the module keeps its own references to them."""
    global _loaded
    if _loaded is None:
        with installed() as fakes:
            _loaded = (importlib.import_module(MODULE), fakes)
    return _loaded


def workers():
    return [t for t in threading.enumerate() if t.name == "cel_threadfunc"]


@pytest.fixture
def cel():
    """The module and the stand-ins, reset; no worker outlives the test (a hung one is
    released by aborting every wait of the stand-ins)."""
    mod, fakes = load()
    fakes.comsim.reset()
    yield types.SimpleNamespace(mod=mod, com=fakes.comsim, fakes=fakes)
    left = workers()
    if left:
        fakes.comsim.abort()
        for t in left:
            t.join(5)
    assert not workers(), "a cel_threadfunc worker outlived its test"


def trace_lines(out):
    """[(thread ident, message)] of the trace lines in captured output."""
    lines = []
    for line in out.splitlines():
        ident, sep, message = line.partition(": ")
        if sep and ident.isdigit():
            lines.append((int(ident), message))
    return lines


def by_thread(out, ident):
    return [m for i, m in trace_lines(out) if i == ident]
