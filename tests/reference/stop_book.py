"""StopBook.check as plain Python: the model engine.stop_book_check (modules/engine/stops.cpp) is
tested against."""

from typing import Any, Dict, List, Optional


def check(self: Any, code: str, price: float) -> Optional[List[Dict[str, Any]]]:
    held = self.by_code.get(code)
    if held is None:
        return None
    kept, fired = [], []
    for record in held:
        sign = record["sign"]
        trail, percent = record["trail"], record["trail_percent"]
        if trail is not None or percent is not None:
            best = record["best"]
            if best is None or (price > best if sign < 0 else price < best):
                record["best"] = best = float(price)
                record["stop"] = best + sign * trail if trail is not None else best * (1 + sign * percent / 100)
        stop = record["stop"]
        (fired if (price >= stop if sign > 0 else price <= stop) else kept).append(record)
    if not fired:
        return None
    if kept:
        held[:] = kept
    else:
        del self.by_code[code]
    return fired
