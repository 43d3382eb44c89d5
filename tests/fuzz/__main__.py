"""Fuzz command: every target in its own child process, so a crash is caught and reported.

    python -m fuzz                      # all targets, FUZZ_EXAMPLES (default 100000) each
    python -m fuzz --examples 200 symbols.to_qmt_code
    python -m fuzz --jobs 2             # two children at once (one per core)
    python -m fuzz --list

Run from tests/ with the modules importable (an installed package, or PYTHONPATH=../python).
The exit status is 0 only when every target passed; a child killed by a signal is reported
with its signal and the faulthandler traceback it printed.
"""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

HERE = os.path.dirname(os.path.abspath(__file__))


def _child(names, examples, seed):
    import faulthandler

    faulthandler.enable()
    import warnings

    warnings.simplefilter("ignore")  # hypothesis' notes on large reprs and the like
    from . import load_all

    targets = load_all()
    for name in names.split(","):
        _mark("FUZZ-START %s" % name)
        start = time.perf_counter()
        calls = targets[name].run(examples, seed)
        _mark("FUZZ-RESULT %s calls=%d seconds=%.1f" % (name, calls, time.perf_counter() - start))


def _mark(text):
    """One marker line in a single write, so no other thread's output lands inside it."""
    sys.stdout.write(text + "\n")
    sys.stdout.flush()


_MARK = re.compile(r"FUZZ-(START|RESULT) (\S+)(?: calls=(\d+) seconds=([0-9.]+))?")


def _signal_name(rc):
    try:
        return signal.Signals(-rc).name
    except (ValueError, AttributeError):
        return "signal %d" % -rc


def _sanitizer_fault(log):
    """What AddressSanitizer's report says happened: a signal as its name, else the bug kind."""
    kind = log.split("ERROR: AddressSanitizer: ", 1)[1].split(None, 1)[0]
    return "SIG" + kind if kind in ("SEGV", "BUS", "FPE", "ILL", "ABRT") else kind


def _run_child(group, examples, seed, timeout, env, cwd):
    """One child over `group`: (log, return code or None after the time-out, seconds)."""
    cmd = [sys.executable, "-X", "faulthandler", "-m", "fuzz", "--child", ",".join(group),
           "--examples", str(examples), "--seed", str(seed)]
    start = time.perf_counter()
    try:
        p = subprocess.run(cmd, env=env, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                           timeout=timeout, universal_newlines=True, errors="replace")
        log, rc = p.stdout, p.returncode
    except subprocess.TimeoutExpired as e:
        log, rc = (e.output or "") if isinstance(e.output, str) else "", None
    return log, rc, time.perf_counter() - start


def run(names, examples, seed, timeout, out=sys.stdout, together=False, jobs=1):
    """Runs each target in a child (or, when `together`, the targets in `jobs` children,
    for short runs), up to `jobs` children at once; returns the list of (name, status,
    calls, seconds, log), in the order of `names` when each target has its own child."""
    results = []
    env = dict(os.environ)
    root = os.path.dirname(HERE)
    # The children run in tests/: a relative entry of the caller's path is made absolute.
    path = [root] + [os.path.abspath(p) for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join(path)
    jobs = max(1, min(jobs, len(names)))
    groups = [names[i::jobs] for i in range(jobs)] if together else [[n] for n in names]
    with ThreadPoolExecutor(max_workers=jobs) as pool:
        runs = pool.map(lambda g: _run_child(g, examples, seed, timeout, env, root), groups)
        for group, (log, rc, seconds) in zip(groups, runs):
            results.extend(_report(group, log, rc, seconds, out))
    return results


def _report(group, log, rc, seconds, out):
    """The results of one child's targets, each printed as one line (and the child's log
    after a failure)."""
    results = []
    done, started = {}, None
    # A marker may share its line with output a target's leftover thread printed.
    for m in _MARK.finditer(log):
        if m.group(1) == "START":
            started = m.group(2)
        else:
            done[m.group(2)] = (int(m.group(3)), float(m.group(4)))
            started = None
    if rc is None:
        failure = "TIMEOUT"
    elif rc < 0:
        failure = "CRASHED (%s)" % _signal_name(rc)
    elif rc and "ERROR: AddressSanitizer" in log:
        # The sanitizer caught the signal or the fault itself and exited: its report
        # names what happened ("SEGV on unknown address", "heap-use-after-free", ...).
        failure = "CRASHED (%s)" % _sanitizer_fault(log)
    else:
        failure = "FAILED"
    for name in group:
        if name in done:
            status, (calls, secs) = "ok", done[name]
        elif name == started or len(group) == 1:
            status, calls, secs = failure, 0, seconds
        else:
            status, calls, secs = "NOT RUN", 0, 0.0
        print("%-45s %-22s %8d inputs %7.1fs" % (name, status, calls, secs), file=out, flush=True)
        if status not in ("ok", "NOT RUN"):
            # The sanitizer's report comes first and the tracebacks last: keep both ends.
            shown = log if len(log) < 24000 else log[:12000] + "\n[...]\n" + log[-12000:]
            print(shown, file=out, flush=True)
        results.append((name, status, calls, secs, log))
    return results


def main(argv=None):
    ap = argparse.ArgumentParser(prog="python -m fuzz")
    ap.add_argument("targets", nargs="*", help="target names or module prefixes (default: all)")
    ap.add_argument("--examples", type=int, default=int(os.environ.get("FUZZ_EXAMPLES", "100000")))
    ap.add_argument("--seed", type=int, default=None, help="hypothesis seed (default: random, printed)")
    ap.add_argument("--derandomize", action="store_true", help="the same inputs on every run")
    ap.add_argument("--timeout", type=float, default=float(os.environ.get("FUZZ_TIMEOUT", "3600")),
                    help="seconds per target before it is reported as hung")
    ap.add_argument("--together", action="store_true",
                    help="the targets shared among --jobs children (short runs: a few start-ups "
                         "instead of one each)")
    ap.add_argument("--jobs", type=int, default=1, help="children running at once")
    ap.add_argument("--list", action="store_true")
    ap.add_argument("--child", help=argparse.SUPPRESS)
    a = ap.parse_args(argv)

    if a.child:
        _child(a.child, a.examples, a.seed or 0)
        return 0

    from . import load_all

    names = sorted(load_all())
    if a.targets:
        names = [n for n in names if any(n == t or n.startswith(t + ".") for t in a.targets)]
        if not names:
            ap.error("no target matches %s" % " ".join(a.targets))
    if a.list:
        print("\n".join(names))
        return 0
    seed = 0 if a.derandomize else (a.seed if a.seed is not None else random.randrange(2 ** 32))
    print("== fuzz: %d targets, %d inputs each, seed %s" % (len(names), a.examples,
                                                            seed), flush=True)
    start = time.perf_counter()
    results = run(names, a.examples, seed, a.timeout, together=a.together, jobs=a.jobs)
    bad = [r for r in results if r[1] != "ok"]
    print("== fuzz: %d passed, %d failed, %d inputs in %.0fs" % (
        len(results) - len(bad), len(bad), sum(r[2] for r in results), time.perf_counter() - start))
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
