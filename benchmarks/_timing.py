"""Timing helpers shared by the benchmarks: every figure is a ratio measured in one run."""
import gc
import time


def best_time(fn, *, repeat=5, number=1):
    """Best wall time of `number` calls of fn(), over `repeat` rounds, in seconds per call."""
    gc_was_on = gc.isenabled()
    gc.disable()
    try:
        best = float("inf")
        for _ in range(repeat):
            t0 = time.perf_counter()
            for _ in range(number):
                fn()
            best = min(best, (time.perf_counter() - t0) / number)
        return best
    finally:
        if gc_was_on:
            gc.enable()


def report(name, ours, baseline, target=None, baseline_name="baseline"):
    """Print one benchmark line: both times and the speed-up of ours over the baseline."""
    ratio = baseline / ours if ours > 0 else float("inf")
    goal = ""
    if target is not None:
        goal = f"  (goal >= {target:g}x: {'met' if ratio >= target else 'NOT MET'})"
    print(f"{name:<58} ours {ours * 1e6:12.2f} us  {baseline_name} {baseline * 1e6:12.2f} us"
          f"  speed-up {ratio:7.2f}x{goal}")
    return ratio
