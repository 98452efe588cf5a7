"""The report queue's unfinished count after the exchange's quick puts: the next int each time, and a
count object someone else holds keeps its value."""

from matcher_support import FakePositions, console  # noqa: F401
from orva_mero_backtest.modules.matcher import matcher as matcher_module


def test_a_held_count_keeps_its_value_while_the_queue_counts_on(console):  # noqa: F811
    m = matcher_module.Matcher(FakePositions())
    try:
        m.response_queue.unfinished_tasks = 1000
        for _ in range(3):
            m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        held = m.response_queue.unfinished_tasks
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert (held, m.response_queue.unfinished_tasks) == (1003, 1004)
        del held
        m.add_order("2330", "Stock", "Buy", 1.0, 1, "LMT", "ROD")
        assert m.response_queue.unfinished_tasks == 1005
        assert type(m.response_queue.unfinished_tasks) is int
    finally:
        m.close()
