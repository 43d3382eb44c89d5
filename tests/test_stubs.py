"""The native modules' type stubs: present for every module, true to the built modules
(stubtest, docstrings, defaults and constants), shipped with the package, and usable by a
strictly typed caller (the example under examples/)."""
import ast
import dataclasses
import importlib
import importlib.machinery
import inspect
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import kavrel_trader

ROOT = Path(__file__).resolve().parents[1]
SOURCE_PACKAGE = ROOT / "python" / "kavrel_trader"
PACKAGE = Path(kavrel_trader.__file__).resolve().parent  # the tree in use: source or installed
MYPY_CONFIG = ROOT / "mypy.ini"
EXAMPLES = sorted((ROOT / "examples").glob("*.py"))
# Every .pyi next to a native module is checked; adding one is all a new module needs,
# besides leaving this list of native modules whose stubs are still to be written.
STUBS_PENDING = set()
TIMEOUT = 240
# The CEL host imports pywin32: here it is imported over the stand-ins of the CEL host tests.
CEL_HOST = "kavrel_trader.gateways.cqg.wrapper.CelHost"
PYWIN32_SITE = ROOT / "tests" / "fakes" / "pywin32" / "site"


def dotted(path, top=PACKAGE):
    return ".".join(("kavrel_trader",) + path.relative_to(top).with_suffix("").parts)


def native_modules():
    files = {f for suffix in importlib.machinery.EXTENSION_SUFFIXES for f in PACKAGE.rglob("*" + suffix)}
    return sorted({dotted(f.with_name(f.name.split(".", 1)[0] + ".py")) for f in files})


STUBS = sorted(PACKAGE.rglob("*.pyi"))
STUBBED = [dotted(p) for p in STUBS]


def mypy_available():
    try:
        import mypy  # noqa: F401
    except ImportError:
        return False
    return True


needs_mypy = pytest.mark.skipif(not mypy_available(), reason="mypy is not installed")


def run_mypy_tool(args, cwd, extra_path=()):
    """Run a mypy tool in a child process that imports the package under test."""
    path = [str(PACKAGE.parent)] + [str(p) for p in extra_path]
    path += [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path))
    return subprocess.run([sys.executable, "-m"] + args, cwd=str(cwd), env=env, capture_output=True,
                          text=True, timeout=TIMEOUT)


# ------------------------------------------------------------------ coverage and shipping

def test_every_native_module_has_a_stub():
    modules = native_modules()
    assert modules, "no native module found next to the package"
    leaf = {m: m.rsplit(".", 1)[1] for m in modules}
    missing = [m for m in modules if m not in STUBBED and leaf[m] not in STUBS_PENDING]
    assert missing == [], "native modules without a .pyi next to them"
    stale = [m for m in modules if m in STUBBED and leaf[m] in STUBS_PENDING]
    assert stale == [], "stubbed modules still listed in STUBS_PENDING"
    orphans = sorted(set(STUBBED) - set(modules))
    assert orphans == [], "stubs without a native module"


def test_package_is_marked_typed():
    assert (PACKAGE / "py.typed").is_file()


@pytest.mark.skipif(PACKAGE == SOURCE_PACKAGE.resolve(), reason="runs against the installed package")
def test_installed_stubs_are_the_source_stubs():
    source = {p.relative_to(SOURCE_PACKAGE): p.read_bytes() for p in SOURCE_PACKAGE.rglob("*.pyi")}
    installed = {p.relative_to(PACKAGE): p.read_bytes() for p in STUBS}
    assert sorted(installed) == sorted(source)
    assert [p for p in source if installed[p] != source[p]] == []


def runtime_module(path):
    name = dotted(path)
    if name == CEL_HOST:
        # the module as the CEL host tests load it: once per process, over the stand-ins
        from fakes.pywin32.harness import load
        return load()[0]
    return importlib.import_module(name)


# ------------------------------------------------------------------ stub against runtime

def stub_tree(path):
    return ast.parse(path.read_text(encoding="utf-8"), filename=str(path))


def documented(tree, runtime, prefix=""):
    """(qualified name, stub docstring, runtime object) for the module and each def and class;
    dunder methods are left out (a slot wrapper carries the interpreter's own text)."""
    yield prefix or "<module>", ast.get_docstring(tree), runtime
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            yield from documented(node, getattr(runtime, node.name), prefix + node.name + ".")
        elif isinstance(node, ast.FunctionDef) and not node.name.startswith("__"):
            yield prefix + node.name, ast.get_docstring(node), getattr(runtime, node.name)


@pytest.mark.parametrize("path", STUBS, ids=STUBBED)
def test_docstrings_match_runtime(path):
    module = runtime_module(path)
    pairs = [(name, stub_doc, inspect.cleandoc(obj.__doc__) if obj.__doc__ is not None else None)
             for name, stub_doc, obj in documented(stub_tree(path), module)]
    assert [(n, s) for n, s, _ in pairs] == [(n, r) for n, _, r in pairs]


def evaluated(node, module):
    """The value of a literal or `Enum.MEMBER` written in a stub."""
    return eval(compile(ast.Expression(node), "<stub>", "eval"), vars(module))


def annotated(cls_node):
    return [n for n in cls_node.body if isinstance(n, ast.AnnAssign) and isinstance(n.target, ast.Name)]


@pytest.mark.parametrize("path", STUBS, ids=STUBBED)
def test_written_values_match_runtime(path):
    # stubtest checks signatures and types, not the values a stub writes out: the field
    # defaults of the record types, the rates and other class constants.
    module = runtime_module(path)
    classes = [n for n in stub_tree(path).body if isinstance(n, ast.ClassDef)]
    checked = []
    for node in classes:
        cls = getattr(module, node.name)
        fields = getattr(cls, "__dataclass_fields__", None)
        if fields is not None and not any(isinstance(b, ast.Name) for b in node.bases):
            # a base record declares every field, in construction order
            assert [a.target.id for a in annotated(node)] == list(fields)
        for item in annotated(node):
            name = f"{node.name}.{item.target.id}"
            if fields is None and item.value is None:
                # an instance attribute: the class itself must not hold a value for it
                assert not hasattr(cls, item.target.id), f"{name} has a class value"
                continue
            want = fields[item.target.id].default if fields is not None else getattr(cls, item.target.id)
            if item.value is None:
                assert want is dataclasses.MISSING, f"{name} has a default"
            else:
                checked.append((name, evaluated(item.value, module), want))
    assert [(n, g) for n, g, _ in checked] == [(n, w) for n, _, w in checked]
    assert [(n, type(g)) for n, g, _ in checked] == [(n, type(w)) for n, _, w in checked]


PROBE = "__stub_probe__"


def call_error(func, *args, **kwargs):
    """The TypeError text of a call that must fail while its arguments are bound."""
    try:
        func(*args, **kwargs)
    except TypeError as e:
        return str(e).split("() ", 1)[-1]
    raise AssertionError(f"{func.__qualname__} ran with probe arguments")


def probed_shape(func, names, varargs):
    """What argument binding tells of a method that carries no signature: the keywords it
    rejects among `names`, its required and total positional counts, whether it takes
    **kwargs. Every call leaves out `self` or passes too many arguments, so no body runs."""
    accepted = call_error(func, **{n: None for n in names})
    taken = None
    if not varargs:
        m = re.match(r"takes (?:from (\d+) to )?(\d+) positional argument", call_error(func, *[None] * 40))
        assert m, f"{func.__qualname__}: no positional count in the binding error"
        taken = (int(m.group(1) or m.group(2)), int(m.group(2)))
    varkw = "unexpected keyword" not in call_error(func, **{PROBE: None})
    return accepted, taken, varkw


def stub_shape(node):
    args = node.args
    positional = [a.arg for a in args.posonlyargs + args.args]
    names = positional[1:] + [a.arg for a in args.kwonlyargs]
    taken = None if args.vararg else (len(positional) - len(args.defaults), len(positional))
    return names, ("missing 1 required positional argument: 'self'", taken, args.kwarg is not None)


@pytest.mark.parametrize("path", STUBS, ids=STUBBED)
def test_method_parameters_match_runtime(path):
    # A native method whose defaults have no literal text form (or that takes *args or
    # **kwargs) carries no introspectable signature, so stubtest cannot compare its
    # parameters; its argument binding answers instead: parameter names (a misspelt or
    # missing one), positional and keyword-only split, defaults present, **kwargs.
    module = runtime_module(path)
    got, want, unlisted = [], [], []
    for cls_node in [n for n in stub_tree(path).body if isinstance(n, ast.ClassDef)]:
        cls = getattr(module, cls_node.name)
        # stubtest passes over private members a stub leaves out; the stub lists them all
        listed = {n.name for n in cls_node.body if isinstance(n, ast.FunctionDef)}
        listed |= {a.target.id for a in annotated(cls_node)}
        unlisted += [f"{cls_node.name}.{k}" for k in vars(cls) if not k.startswith("__") and k not in listed]
        for node in cls_node.body:
            if not isinstance(node, ast.FunctionDef) or node.decorator_list:
                continue
            func = getattr(cls, node.name)
            if not isinstance(func, type(len)) or func.__text_signature__ is not None:
                continue  # a Python function or a signature stubtest reads
            names, shape = stub_shape(node)
            want.append((f"{cls_node.name}.{node.name}",) + shape)
            got.append((f"{cls_node.name}.{node.name}",) + probed_shape(func, names, node.args.vararg))
    assert unlisted == []
    assert got == want


# ------------------------------------------------------------------ the mypy tools

@needs_mypy
@pytest.mark.timeout(TIMEOUT + 30)
def test_stubtest_passes(tmp_path):
    # The pywin32 stand-ins on the child's path let it import the CEL host; nothing else
    # imports pywin32.
    out = run_mypy_tool(["mypy.stubtest", "--mypy-config-file", str(MYPY_CONFIG)] + STUBBED, tmp_path,
                        extra_path=[PYWIN32_SITE])
    assert out.returncode == 0, out.stdout + out.stderr


MISUSE = """\
from kavrel_trader.core.security import Stock
from kavrel_trader.core.bar_rollup import aggregate_1min_bars
from kavrel_trader.gateways.qmt.symbols import to_qmt_code
from kavrel_trader.plugins.analysis.metrics import convert_time
from kavrel_trader.gateways.qmt.redis_bridge import QmtRedisBridge
from kavrel_trader.gateways.futu.futu_adapter import get_hk_futures_code
from kavrel_trader.gateways.cqg.wrapper.CelHost import Trace
s = Stock('SH.600000', 'x')
s.code = 'y'
to_qmt_code(600000)
aggregate_1min_bars([], 5, False)
Stock('SH.600000')
n: int = convert_time('09:31:00')
QmtRedisBridge(port='6379')
get_hk_futures_code(s)
Trace(1)
"""


@needs_mypy
@pytest.mark.timeout(TIMEOUT + 30)
def test_mypy_strict_passes_the_examples_and_rejects_misuse(tmp_path):
    # One mypy run (numpy's stubs are the slow part): the examples are clean, and in a
    # misusing file the stubs, not Any, reach the caller: a frozen field, wrong types, a
    # keyword-only option passed by position and a missing argument are all reported, and
    # so are wrong argument types given to a gateway's bridge, a Futu helper and the CEL host.
    assert EXAMPLES
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    out = run_mypy_tool(["mypy", "--strict", "--config-file", str(MYPY_CONFIG), "--cache-dir",
                         str(tmp_path / "cache"), str(misuse)] + [str(p) for p in EXAMPLES], tmp_path)
    errors = [ln.split(":", 2) for ln in out.stdout.splitlines() if ": error:" in ln]
    assert [e for e in errors if Path(e[0]).name != misuse.name] == [], out.stdout + out.stderr
    assert [line for _, line, _ in errors] == [str(n) for n in range(9, 17)], out.stdout + out.stderr


@pytest.mark.timeout(120)
@pytest.mark.parametrize("example", EXAMPLES, ids=[p.name for p in EXAMPLES])
def test_examples_run(example, tmp_path):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE.parent))
    out = subprocess.run([sys.executable, str(example)], cwd=str(tmp_path), env=env,
                         capture_output=True, text=True, timeout=100)
    assert out.returncode == 0, out.stderr
    assert "600000.SH" in out.stdout

