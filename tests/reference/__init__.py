"""Plain-Python implementations of the native modules' rules.

The tests compare the native modules with these (``from reference import fees as ref``)
and the benchmarks time them as the baseline, so each rule is written once, here, as
straightforward Python.
"""
