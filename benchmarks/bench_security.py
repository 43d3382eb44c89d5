"""Security hashing and dict use: native records against frozen dataclasses with the same rules."""
from dataclasses import dataclass
from typing import Optional

from _timing import best_time, report

from kavrel_trader.core.constants import Exchange
from kavrel_trader.core import security as native

N = 2000


# ---------------------------------------------------------------- plain-Python baseline

@dataclass(frozen=True)
class PySecurity:
    code: str
    security_name: str
    lot_size: Optional[int] = None
    exchange: Optional[Exchange] = None
    expiry_date: Optional[str] = None
    quote_currency: str = ""

    def __eq__(self, other):
        return (self.code == other.code
                and self.security_name == other.security_name
                and self.exchange.value == other.exchange.value)

    def __hash__(self):
        return hash(f"{self.security_name}|{self.code}|{self.exchange.value}")


@dataclass(frozen=True)
class PyStock(PySecurity):
    lot_size: Optional[int] = 1
    exchange: Optional[Exchange] = Exchange.SEHK


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


def main():
    cases = [("Security", native.Security, PySecurity), ("Stock", native.Stock, PyStock)]
    for label, ours_cls, base_cls in cases:
        ours_keys, base_keys = make(ours_cls), make(base_cls)
        # Lookups with equal but distinct records, as a gateway builds them from broker data.
        ours_probes, base_probes = make(ours_cls), make(base_cls)

        ours = best_time(hash_loop(ours_keys), number=20)
        base = best_time(hash_loop(base_keys), number=20)
        report(f"hash() x{N}, {label}", ours, base, target=5, baseline_name="dataclass")

        ours = best_time(dict_get(ours_keys, ours_probes), number=20)
        base = best_time(dict_get(base_keys, base_probes), number=20)
        report(f"dict.get x{N}, equal distinct {label} keys", ours, base, target=2,
               baseline_name="dataclass")

        ours = best_time(dict_put(ours_keys), number=20)
        base = best_time(dict_put(base_keys), number=20)
        report(f"dict[key] = v x{N} into a new dict, {label}", ours, base, target=2,
               baseline_name="dataclass")

        ours = best_time(construct(ours_cls), number=5)
        base = best_time(construct(base_cls), number=5)
        report(f"construction x{N}, {label}", ours, base, baseline_name="dataclass")


if __name__ == "__main__":
    main()
