"""Run every benchmark module (benchmarks/bench_*.py) and print its ratios."""
import importlib.util
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
# The plain-Python baselines live with the tests, which compare against the same code.
TESTS = HERE.parent / "tests"


def main(argv):
    sys.path.insert(0, str(HERE))
    sys.path.insert(1, str(TESTS))
    wanted = set(argv)
    for path in sorted(HERE.glob("bench_*.py")):
        if wanted and path.stem not in wanted and path.stem[len("bench_"):] not in wanted:
            continue
        print(f"== {path.stem}")
        spec = importlib.util.spec_from_file_location(path.stem, path)
        mod = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(mod)
        mod.main()
        print()


if __name__ == "__main__":
    main(sys.argv[1:])
