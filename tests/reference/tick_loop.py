"""The driver's per-tick loop as plain Python: the model the native engine.tick_loop
(modules/engine/loop.cpp) is tested against. It takes the same TickStream."""

from orva_mero_backtest.modules.engine import engine
from typing import Any


def nothing_to_match(book: Any, code: Any, close: Any, qty: Any, timestamp: Any) -> bool:
    """Whether ``match_deal`` would do nothing: on an empty book it only checks its arguments, so it
    is skipped when the book is an empty list and the arguments are of the types it takes."""
    return (
        type(book) is list
        and not book
        and type(code) is str
        and type(close) is float
        and type(qty) is int
        and qty >= 0
        and type(timestamp) is float
    )


def tick_loop(s: Any) -> None:
    """The steps of engine.tick_loop, one tick at a time."""
    pending, pop, wait = s.pending, s.pop, s.wait
    matcher, set_tick, match, reports, deliver = s.matcher, s.set_tick, s.match, s.reports, s.deliver
    on_tick, ctx, last_close, every = s.on_tick, s.ctx, s.last_close, s.every
    rec = s.recording
    sample, prices, last_sample, last_main_ts = rec.sample, rec.prices, rec.last_sample, rec.last_main_ts
    fills, equity, equity_of = rec.fills, rec.equity, rec.equity_of
    advance = s.advance
    item = None
    while True:
        if item is None:
            item = pop() if pending else wait()
        if "orva_status" in item or item["is_backfilling"]:
            if s.other(item):
                return
            item = None
            continue
        code, timestamp, close = item["code"], item["timestamp"], item["close"]
        s.timestamp = ctx.now = timestamp
        last_close[code] = close
        if ctx.warming_up:
            s.begin_main(item)
        s.ticks += 1
        last_main_ts[code] = timestamp
        rules = getattr(s, "rules", None)
        if rules is not None and (timestamp >= rules.wake_at or code in rules.watched):
            rules.on_tick(item)
        set_tick(item)
        qty = item["qty"]
        book = matcher.pending_orders
        if s.fill_model is not None and type(book) is list:
            if book:
                engine.match_with_model(s.fill_model, item, book)
        elif not nothing_to_match(book, code, close, qty, timestamp):
            match(code, close, qty, timestamp)
        stops = getattr(s, "stops", None)
        if stops is not None and stops.by_code:
            fired = stops.check(code, close)
            if fired is not None:
                stops.fire(fired)
        if reports:
            deliver(item)
        try:
            on_tick(ctx, item)
        except BaseException as exc:
            error = s.failed("on_tick", exc, item)
            if error is exc:
                raise
            raise error
        if reports:
            deliver(item)
        if timestamp - last_sample[code] >= sample:
            last_sample[code] = timestamp
            prices[code].append((timestamp, close))
        if timestamp - rec.last_equity_ts >= sample or len(fills) != rec.fills_seen:
            rec.last_equity_ts = timestamp
            rec.fills_seen = len(fills)
            equity.append((timestamp, equity_of()))
        if s.ticks % every == 0:
            s.progress()
        item = advance()
