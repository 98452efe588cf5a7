"""Strategies for the sweep tests, importable by name in the sweep's worker processes."""

import os
import signal
import time

from orva_mero_backtest.strategies import MovingAverageCross
from orva_mero_backtest.strategy import Strategy


class Picky(MovingAverageCross):
    """The moving-average cross, except that it raises for fast=4 and kills its process for fast=6."""

    name = "picky"

    def on_tick(self, ctx, tick):
        if self.params["fast"] == 4:
            raise RuntimeError("picky refuses fast=4")
        if self.params["fast"] == 6:
            os.kill(os.getpid(), signal.SIGKILL)
        super().on_tick(ctx, tick)


class Sleepy(Strategy):
    """Sleeps ``pause`` seconds at the end of its run; creates the file ``marker`` (if given) first."""

    name = "sleepy"
    defaults = {"pause": 0.0, "marker": ""}

    def on_finish(self, ctx):
        if self.params["pause"] > 0:
            if self.params["marker"]:
                open(self.params["marker"], "w").close()
            deadline = time.monotonic() + self.params["pause"]
            while time.monotonic() < deadline:
                time.sleep(0.05)



class Whoami(Strategy):
    """Writes where it ran to ``out``/run-``fast``.json: its process, that process's parent and how many
    threads the parent runs, and $ORVA_SWEEP_PROBE."""

    name = "whoami"
    defaults = {"fast": 0, "out": ""}

    def on_finish(self, ctx):
        import json

        parent = os.getppid()
        try:
            threads = len(os.listdir(f"/proc/{parent}/task"))
        except OSError:
            threads = None
        with open(os.path.join(self.params["out"], f"run-{self.params['fast']}.json"), "w") as f:
            json.dump({"pid": os.getpid(), "parent": parent, "parent_threads": threads,
                       "probe": os.environ.get("ORVA_SWEEP_PROBE")}, f)
