"""A plain model of the quote fill model, entry and cancel latency, one instrument, for differential tests.

Orders are dicts (action "Buy"/"Sell", price_type "MKT"/"LMT", order_type "ROD"/"IOC"/"FOK", price, qty,
placed); ticks are dicts with close, qty, timestamp and the best quote. ``meet`` returns what one tick
did: ("deal", order index, price, qty), ("cancel", order index, qty) and ("refused", order index) (a
cancel that landed when the order was no longer open) in the order they happened.
"""

from __future__ import annotations

from typing import Any, Dict, List, Tuple


def _same(a: float, b: float) -> bool:
    return abs(a - b) <= 1e-9 * max(1.0, abs(a))


class QuoteModel:
    def __init__(self, latency_ms: float = 0.0, cancel_latency_ms: float = 0.0, queue: str = "conservative") -> None:
        self.latency = latency_ms / 1000.0
        self.proportional = queue == "proportional"
        self.cancel_latency = cancel_latency_ms / 1000.0
        self.book: List[Dict[str, Any]] = []  # open orders in time order, each with its state
        self.requests: List[Tuple[float, int]] = []  # cancels on their way: (due, order index)

    def cancel(self, index: int, sent: float) -> bool:
        """A cancel sent at ``sent``; False (nothing sent) when the order is not open."""
        if not any(o["index"] == index for o in self.book):
            return False
        self.requests.append((sent + self.cancel_latency, index))
        return True

    def place(self, index: int, order: Dict[str, Any]) -> None:
        self.book.append({**order, "index": index, "left": order["qty"], "joined": False, "level": 0.0,
                          "queue": 0, "shown": 0, "arrives": order["placed"] + self.latency})

    def meet(self, tick: Dict[str, Any]) -> List[Tuple]:
        out: List[Tuple] = []
        # cancels whose time has come land first, in the order they were sent
        due = [r for r in self.requests if tick["timestamp"] + 1e-9 >= r[0]]
        self.requests = [r for r in self.requests if r not in due]
        for _, index in due:
            open_order = [o for o in self.book if o["index"] == index]
            if open_order:
                out.append(("cancel", index, open_order[0]["left"]))
                self.book.remove(open_order[0])
            else:
                out.append(("refused", index))
        t = dict(tick)
        if t["bid_volume"] <= 0:
            t["bid_price"] = 0.0
        if t["ask_volume"] <= 0:
            t["ask_price"] = 0.0
        t["bid_shown"], t["ask_shown"] = max(0, t["bid_volume"]), max(0, t["ask_volume"])
        for o in [o for o in self.book if tick["timestamp"] + 1e-9 >= o["arrives"]]:
            self._one(o, t, out)
        self.book = [o for o in self.book if o["left"] > 0 and not o.get("gone")]
        return out

    # --- one order ------------------------------------------------------------------------------

    def _fill(self, o, price: float, available: int, out) -> int:
        """The order's type meets `available` at `price`: what it filled."""
        kind, left = o["order_type"], o["left"]
        if kind == "FOK":
            o["gone"] = True
            if available >= left:
                out.append(("deal", o["index"], price, left))
                o["left"] = 0
                return left
            out.append(("cancel", o["index"], left))
            return 0
        n = min(left, available)
        if n > 0:
            out.append(("deal", o["index"], price, n))
            o["left"] -= n
        if kind == "IOC":
            o["gone"] = True
            if o["left"] > 0:
                out.append(("cancel", o["index"], o["left"]))
        return n

    def _one(self, o, t, out) -> None:
        buy = o["action"] == "Buy"
        opposite = t["ask_price"] if buy else t["bid_price"]
        size_key = "ask_volume" if buy else "bid_volume"
        if o["price_type"] == "MKT":
            if opposite > 0:
                t[size_key] -= self._fill(o, opposite, t[size_key], out)
                o["joined"] = False
            elif t["qty"] > 0:
                t["qty"] -= self._fill(o, t["close"], t["qty"], out)
            return
        limit = o["price"]
        if opposite > 0 and ((limit >= opposite if buy else limit <= opposite) or _same(limit, opposite)):
            t[size_key] -= self._fill(o, opposite, t[size_key], out)
            o["joined"] = False
            return
        if o["order_type"] != "ROD":
            self._fill(o, limit, 0, out)
            return
        if not o["joined"] or not _same(o["level"], limit):
            best = t["bid_price"] if buy else t["ask_price"]
            shown = t["bid_volume"] if buy else t["ask_volume"]
            o["joined"] = False
            if best <= 0 or (limit > best if buy else limit < best):
                o.update(joined=True, level=limit, queue=0)
            elif _same(best, limit):
                o.update(joined=True, level=limit, queue=shown)
            o["shown"] = o["queue"]
        elif self.proportional:
            self._cancels_ahead(o, buy, t)
        if t["qty"] <= 0:
            return
        close = t["close"]
        through = (close < limit if buy else close > limit) and not _same(close, limit)
        if through:
            t["qty"] -= self._fill(o, limit, t["qty"], out)
            return
        if not o["joined"] or not _same(close, limit):
            return
        o["shown"] = max(0, o["shown"] - t["qty"])  # what the next tick should show at its level
        ahead = min(o["queue"], t["qty"])
        o["queue"] -= ahead
        t["qty"] -= ahead
        if t["qty"] > 0:
            t["qty"] -= self._fill(o, limit, t["qty"], out)

    @staticmethod
    def _cancels_ahead(o, buy: bool, t) -> None:
        """The proportional queue: C = max(0, S - S') cancelled at the level since the last tick (S: what
        it showed less what traded at the price, S': what it shows now), the queue ahead A with B = S - A
        behind loses floor(C * A / (A + B)); a level no longer shown, the best quote worse, has nobody ahead."""
        best = t["bid_price"] if buy else t["ask_price"]
        shown = t["bid_shown"] if buy else t["ask_shown"]
        if best > 0 and _same(best, o["level"]):
            cancelled = max(0, o["shown"] - shown)
            behind = max(0, o["shown"] - o["queue"])
            if cancelled > 0 and o["queue"] > 0:
                o["queue"] -= min(o["queue"], cancelled * o["queue"] // (o["queue"] + behind))
            o["shown"] = shown
        elif best > 0 and (best < o["level"] if buy else best > o["level"]):
            o["queue"] = o["shown"] = 0
