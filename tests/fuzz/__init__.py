"""Fuzz targets for the native modules.

Each `fuzz_<module>.py` in this package registers targets with `@target(...)`: a
hypothesis strategy for the arguments, the call, and the exceptions that call may raise
(its documented errors, plus `Boom` from hostile objects the caller passed in). Anything
else escaping, a wrong result the target checks for, or the interpreter dying is a fault.
A new module joins by adding its own `fuzz_<module>.py`; nothing else changes.

Run: `python -m fuzz [--examples N] [target ...]` from tests/ (see __main__.py).
"""
import importlib
import random
import pkgutil
import warnings

from hypothesis import HealthCheck, given, settings

from .hostile import Boom, realize

TARGETS = {}

# Errors no target ever accepts, whatever it documents: they mean the native code went wrong
# (a C API misuse, an unconverted C++ exception, a runaway allocation).
NEVER = (SystemError, RuntimeError, MemoryError, RecursionError)


class Target:
    def __init__(self, name, strategy, body, allowed):
        self.name = name
        self.strategy = strategy
        self.body = body
        self.allowed = tuple(allowed) + (Boom,)
        self.calls = 0

    def check(self, args):
        self.calls += 1
        self.last = args
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                self.body(*realize(args))
        except BaseException as e:
            if isinstance(e, self.allowed) and type(e) not in NEVER:
                return
            # The interpreter's own complaint about a container a hostile object changed
            # while it was being iterated is the caller's doing; any other RuntimeError is
            # what an unconverted C++ exception becomes.
            if type(e) is RuntimeError and "during iteration" in str(e):
                return
            raise

    def run(self, examples, seed=0):
        """Feeds `examples` inputs to the target, drawn from random bytes through the
        strategy (hypothesis' fuzzing entry point: no example database, no shrinking, so a
        run costs little more than the calls). The first failure is re-raised after the
        failing input has been printed."""
        self.calls = 0
        test = settings(database=None, deadline=None, suppress_health_check=list(HealthCheck))(
            given(self.strategy)(lambda args: self.check(args)))
        fuzz = test.hypothesis.fuzz_one_input
        rng = random.Random(seed)
        tries = 0
        while self.calls < examples:
            tries += 1
            if tries > 20 * examples + 1000:
                raise AssertionError("%s: the strategy rejects most inputs" % self.name)
            self.last = None
            try:
                n = rng.choice((64, 512, 4096))
                fuzz(rng.getrandbits(8 * n).to_bytes(n, "little"))
            except BaseException:
                print("Falsifying input for %s (seed %s, input %d):\n  %s" % (
                    self.name, seed, self.calls, _safe_repr(self.last)), flush=True)
                raise
        return self.calls


def _safe_repr(x):
    try:
        return repr(x)[:4000]
    except Exception as e:  # noqa: BLE001 - a hostile repr must not hide the failure
        return "<repr failed: %r>" % e


def target(strategy, allowed=(TypeError, ValueError), name=None):
    """Registers `fn(*args)` as a fuzz target fed with tuples drawn from `strategy`."""

    def register(fn):
        qual = name or "%s.%s" % (fn.__module__.rsplit(".", 1)[-1][len("fuzz_"):], fn.__name__)
        TARGETS[qual] = Target(qual, strategy, fn, allowed)
        return fn

    return register


def load_all():
    """Imports every fuzz_<module>.py of the package; returns the registry by name."""
    for info in pkgutil.iter_modules(__path__):
        if info.name.startswith("fuzz_"):
            importlib.import_module("%s.%s" % (__name__, info.name))
    return TARGETS
