import os

from hypothesis import HealthCheck, settings

# Property tests: no per-example deadline (CI machines are shared), a bounded example count.
settings.register_profile(
    "kavrel",
    deadline=None,
    max_examples=int(os.environ.get("KAVREL_HYPOTHESIS_EXAMPLES", "200")),
    suppress_health_check=[HealthCheck.too_slow],
)
settings.load_profile("kavrel")
