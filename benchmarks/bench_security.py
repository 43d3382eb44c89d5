"""Security hashing and dict use: native records against frozen dataclasses with the same rules."""
from _timing import best_time, report
from reference import security as ref

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core import security as native

N = 2000


# ---------------------------------------------------------------- workloads

def make(cls, exchange=Exchange.SEHK):
    return [cls(f"HK.{i:05d}", f"Name {i}", 100, exchange) for i in range(N)]


def hash_loop(secs):
    def run():
        for s in secs:
            hash(s)
    return run


def dict_get(keys, probes):
    d = {k: i for i, k in enumerate(keys)}
    get = d.get

    def run():
        for p in probes:
            get(p)
    return run


def dict_put(keys):
    def run():
        d = {}
        for k in keys:
            d[k] = 1
    return run


def construct(cls):
    codes = [(f"HK.{i:05d}", f"Name {i}") for i in range(N)]

    def run():
        for c, n in codes:
            cls(c, n, 100, Exchange.SEHK)
    return run


def compare(name, ours_run, base_run, number, target=None):
    ours = best_time(ours_run, number=number)
    base = best_time(base_run, number=number)
    report(name, ours, base, target=target, baseline_name="dataclass")


def main():
    cases = [("Security", native.Security, ref.Security), ("Stock", native.Stock, ref.Stock)]
    for label, ours_cls, base_cls in cases:
        ours_keys, base_keys = make(ours_cls), make(base_cls)
        # Lookups with equal but distinct records, as a gateway builds them from broker data.
        ours_probes, base_probes = make(ours_cls), make(base_cls)

        compare(f"hash() x{N}, {label}", hash_loop(ours_keys), hash_loop(base_keys), 20, target=5)
        compare(f"dict.get x{N}, equal distinct {label} keys", dict_get(ours_keys, ours_probes),
                dict_get(base_keys, base_probes), 20, target=2)
        compare(f"dict[key] = v x{N} into a new dict, {label}", dict_put(ours_keys), dict_put(base_keys), 20,
                target=2)
        compare(f"construction x{N}, {label}", construct(ours_cls), construct(base_cls), 5)


if __name__ == "__main__":
    main()
