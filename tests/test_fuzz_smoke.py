"""A short run of every fuzz target (the full runs are `make fuzz`).

The targets run in child interpreters (a few modules' targets in each), so a crash fails
this test with the target's name and the faulthandler traceback instead of taking the test
session down.
"""
import io
import os
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = int(os.environ.get("KAVREL_FUZZ_SMOKE_EXAMPLES", "100"))


# The fuzz modules in GROUPS interleaved shares, one child each, so parallel test workers
# split the run; a new fuzz module joins a share by itself.
GROUPS = 3
MODULES = sorted(f[len("fuzz_"):-len(".py")] for f in os.listdir(os.path.join(HERE, "fuzz"))
                 if f.startswith("fuzz_") and f.endswith(".py"))


@pytest.mark.timeout(600)
@pytest.mark.parametrize("group", range(GROUPS))
def test_every_target_survives_a_short_run(group):
    code = ("import sys, fuzz.__main__ as m\n"
            "sys.exit(m.main(['--derandomize', '--together', '--examples', '%d', '--timeout', '300']"
            " + %r))" % (EXAMPLES, MODULES[group::GROUPS]))
    env = dict(os.environ)  # the child runs in tests/: relative path entries made absolute
    env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p)
    p = subprocess.run([sys.executable, "-X", "faulthandler", "-c", code], cwd=HERE, env=env,
                       stdout=subprocess.PIPE, stderr=subprocess.STDOUT, universal_newlines=True,
                       errors="replace", timeout=580)
    assert p.returncode == 0, p.stdout[-8000:]
    assert " 0 failed" in p.stdout, p.stdout[-8000:]


def test_runner_reports_a_crash_and_a_wrong_exception(tmp_path):
    """The runner itself: a target that kills the interpreter or lets an undocumented error
    out is reported as such, and the others still run."""
    pkg = tmp_path / "fuzz"
    pkg.mkdir()
    src = os.path.join(HERE, "fuzz")
    for name in ("__init__.py", "__main__.py", "hostile.py"):
        with open(os.path.join(src, name)) as f:
            (pkg / name).write_text(f.read())
    (pkg / "fuzz_selftest.py").write_text(
        "import ctypes\n"
        "from hypothesis import strategies as st\n"
        "from . import target\n"
        "@target(st.tuples(st.integers(0, 9)))\n"
        "def crashes(i):\n"
        "    if i == 7:\n"
        "        ctypes.string_at(0)\n"
        "@target(st.tuples(st.integers(0, 9)))\n"
        "def system_error(i):\n"
        "    raise SystemError('returned NULL without setting an exception')\n"
        "@target(st.tuples(st.integers(0, 9)), allowed=(ValueError,))\n"
        "def fine(i):\n"
        "    raise ValueError(i)\n")
    sys.path.insert(0, str(tmp_path))
    try:
        for m in [m for m in sys.modules if m == "fuzz" or m.startswith("fuzz.")]:
            sys.modules["_saved_" + m] = sys.modules.pop(m)
        import fuzz.__main__ as runner

        out = io.StringIO()
        results = {r[0]: r[1] for r in runner.run(["selftest.crashes", "selftest.system_error",
                                                   "selftest.fine"], 300, 1, 120, out=out)}
        together = {r[0]: r[1] for r in runner.run(["selftest.fine", "selftest.crashes", "selftest.fine"],
                                                   300, 1, 120, out=out, together=True)}
        # two children at once: the crash of one leaves the other's result standing
        parallel = [r[:2] for r in runner.run(["selftest.crashes", "selftest.fine"], 300, 1, 120,
                                              out=out, together=True, jobs=2)]
    finally:
        sys.path.remove(str(tmp_path))
        for m in [m for m in sys.modules if m == "fuzz" or m.startswith("fuzz.")]:
            del sys.modules[m]
        for m in [m for m in sys.modules if m.startswith("_saved_")]:
            sys.modules[m[len("_saved_"):]] = sys.modules.pop(m)
    assert results["selftest.crashes"].startswith("CRASHED (SIG"), out.getvalue()
    assert results["selftest.system_error"] == "FAILED", out.getvalue()
    assert results["selftest.fine"] == "ok", out.getvalue()
    assert list(together.values()) == ["ok", together["selftest.crashes"], "NOT RUN"] or \
        together["selftest.crashes"].startswith("CRASHED"), out.getvalue()
    assert parallel[1] == ("selftest.fine", "ok") and parallel[0][1].startswith("CRASHED"), out.getvalue()
