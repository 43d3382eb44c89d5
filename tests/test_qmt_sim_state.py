"""The simulator's state file belongs to one simulator at a time."""
from datetime import datetime

import pytest

from kavrel_tools.qmt_agent import FixedClock, SimBackend


def test_a_second_simulator_on_the_same_file_is_refused_until_the_first_closes(tmp_path):
    path = str(tmp_path / "sim.db")
    clock = FixedClock(datetime(2024, 3, 1, 10, 0, 30))
    first = SimBackend(clock=clock, state=path)
    try:
        with pytest.raises(ValueError, match="in use by another simulator"):
            SimBackend(clock=clock, state=path)
    finally:
        first.close()
    SimBackend(clock=clock, state=path).close()
