"""Package-level behaviour: import order, the stand-in framework core, the demo session."""
import subprocess
import sys

import pytest

PACKAGES = [
    "kavrel_trader", "kavrel_trader.core", "kavrel_trader.gateways",
    "kavrel_trader.gateways.qmt", "kavrel_trader.gateways.ib", "kavrel_trader.gateways.cqg",
    "kavrel_trader.gateways.cqg.wrapper", "kavrel_trader.gateways.futu",
    "kavrel_trader.plugins", "kavrel_trader.plugins.analysis",
]
NATIVE = [
    "kavrel_trader.core.security", "kavrel_trader.core.bar_rollup",
    "kavrel_trader.gateways.qmt.symbols", "kavrel_trader.gateways.qmt.kline_history",
    "kavrel_trader.gateways.qmt.qmt_commissions", "kavrel_trader.gateways.ib.ib_commissions",
    "kavrel_trader.gateways.cqg.cqg_commissions", "kavrel_trader.plugins.analysis.metrics",
    "kavrel_trader.gateways.qmt.redis_bridge", "kavrel_trader.gateways.qmt.qmt_adapter",
    "kavrel_trader.gateways.futu.futu_adapter",
]
# Loads only where pywin32 is installed (its tests use stand-ins); never by a package init.
WINDOWS_ONLY = ["kavrel_trader.gateways.cqg.wrapper.CelHost"]


def test_package_inits_load_no_native_module():
    # A host installs its own framework core before any native module loads, so importing
    # every package must leave the native modules unloaded.
    code = (
        "import importlib, sys\n"
        f"for p in {PACKAGES!r}: importlib.import_module(p)\n"
        f"print(sorted(m for m in {NATIVE + WINDOWS_ONLY!r} if m in sys.modules))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "[]"


@pytest.mark.parametrize("name", NATIVE)
def test_native_modules_are_extensions(name):
    import importlib
    import importlib.machinery

    mod = importlib.import_module(name)
    assert mod.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


def test_gateways_package_exposes_base_gateway():
    from kavrel_trader.gateways import BaseGateway
    from kavrel_trader.gateways.base_gateway import BaseGateway as Direct

    assert BaseGateway is Direct
    gw = BaseGateway(["sec"], "Test")
    gw.quote.put("sec", 1)
    assert "sec" in gw.quote.queue and gw.quote.get("sec") == 1
