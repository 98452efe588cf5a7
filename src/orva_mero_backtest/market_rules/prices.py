"""The exchanges' price rules: the daily band, the tick ladder, market orders booked at the band limit,
and a market locked at a limit.

- The band: 10% either side of the day's reference price, the instrument's last trade before the day
  (the stock exchange's previous close; for futures the previous day's last price, as the data holds no
  settlement price). Limit-up is rounded down onto the tick ladder, limit-down up, each with the tick
  of its own price tier: the limits are the highest and lowest prices an order may carry, and an order
  price steps by the tick of its own tier. A band narrower than one tick is one tick wide.
- A limit price outside the band or off the ladder is refused.
- A market order (MKT, MKP) is booked as a limit at the band limit: buys at limit-up, sells at
  limit-down, and from then on behaves as that limit order.
- A locked market: a tick whose best bid stands at limit-up has buyers queued there and no seller
  below them, so its offer is read as empty and a buy at limit-up waits behind the displayed bid
  (the quote fill model's queue); a best offer at limit-down likewise empties the bid. Only ticks of
  instruments with an order of ours resting at a band limit are looked at.

The references are read once a trading day, at its first tick, from the backtest's last prices (which
the warm-up ticks set too). A trading day begins at 14:50, when the futures' after-hours session opens
the next one, so a night session and the day session after it share a band. An instrument with no
trade known before the day (the first day of a run without warm-up) takes its band from its first
print that day; until that print its limit prices are checked against the ladder only and its market
orders stay market orders.
"""

from __future__ import annotations

from typing import Any, Dict, Set, Tuple

from ..costs import TickLadder
from . import INFINITY, CheckResult, Failure, MarketRules, Order, Rule, day_of

LIMIT_RATE = 0.10  # of the reference price, either side
DAY_BREAK = 14 * 3600.0 + 50 * 60.0  # 14:50: the after-hours session opens the next trading day

Band = Tuple[float, float]  # (limit-down, limit-up)


def _same(a: float, b: float) -> bool:
    return abs(a - b) <= 1e-9 * max(1.0, abs(a))


def daily_band(reference: float, ladder: TickLadder) -> Band:
    """(limit-down, limit-up) for a reference price on an instrument's ladder."""
    up = ladder.floor(round(reference * (1 + LIMIT_RATE), 6))
    down = ladder.ceil(round(reference * (1 - LIMIT_RATE), 6))
    # Never narrower than one tick each way, and never below the lowest price there is.
    up = max(up, ladder.up(reference))
    down = min(down, ladder.down(reference))
    lowest = ladder.size_above(0.0)
    return (max(down, lowest), up)


def on_ladder(price: float, ladder: TickLadder) -> bool:
    steps = price / ladder.size_above(price)
    return abs(steps - round(steps)) <= 1e-6


def _text(price: float) -> str:
    return f"{price:,.4f}".rstrip("0").rstrip(".")


def next_break(ts: float) -> float:
    """The first start of a trading day (14:50) after market time ``ts``."""
    today = day_of(ts) * 86400.0 + DAY_BREAK
    return today if ts < today else today + 86400.0


class PriceLimits(Rule):
    name = "price_limits"

    def __init__(self) -> None:
        super().__init__()
        self.wake_at = -INFINITY  # the first tick of the run
        self.references: Dict[str, float] = {}
        self.bands: Dict[str, Band] = {}
        self.markets: Dict[str, str] = {}
        self._ladders: Dict[Tuple[str, str], TickLadder] = {}
        self._locks: Set[str] = set()  # codes with an order at a band limit today
        self._unpriced: Set[str] = set()  # codes waiting for their first print of the day

    def start(self, market: MarketRules) -> None:
        self.wake_at = -INFINITY

    def ladder(self, product_type: str, code: str) -> TickLadder:
        key = (product_type, code)
        ladder = self._ladders.get(key)
        if ladder is None:
            ladder = self._ladders[key] = TickLadder(product_type, code)
        return ladder

    # --- the day's references ---------------------------------------------------------------------

    def start_day(self, ts: float, last_prices: Dict[str, Any], markets: Dict[str, str]) -> None:
        """The bands of the trading day of ``ts`` from each instrument's last price before it."""
        self.markets = markets
        self.references, self.bands = {}, {}
        for code, price in last_prices.items():
            if code in markets and price is not None and price > 0:
                self._set_reference(code, float(price))
        self._locks = set()
        self._unpriced = {code for code in markets if code not in self.references}
        self.watched = set(self._unpriced)
        self.wake_at = next_break(ts)

    def _set_reference(self, code: str, reference: float) -> None:
        self.references[code] = reference
        self.bands[code] = daily_band(reference, self.ladder(self.markets[code], code))

    def on_tick(self, tick: Dict[str, Any], market: MarketRules) -> None:
        ts = tick["timestamp"]
        if ts >= self.wake_at:
            backtest = market.backtest
            self.start_day(ts, self._prices_before(tick, backtest), backtest.markets)
        code = tick["code"]
        if code in self._unpriced:
            self._unpriced.discard(code)
            self._set_reference(code, float(tick["close"]))
            self.watched = self._locks | self._unpriced
        if code in self._locks:
            band = self.bands[code]
            if self._rests_at_limit(code, band, market.backtest):
                self._read_lock(tick, band)
            else:  # filled or gone: the instrument's ticks need no more looks today
                self._locks.discard(code)
                self.watched = self._locks | self._unpriced

    @staticmethod
    def _rests_at_limit(code: str, band: Band, backtest: Any) -> bool:
        """Whether the exchange's book holds an order of ``code`` at the band limit a lock there stops."""
        book = getattr(getattr(backtest, "matcher", None), "pending_orders", None)
        if book is None:
            return True
        down, up = band
        for record in book:
            if record["code"] == code and record["price_type"] == "LMT":
                limit = up if record["action"] == "Buy" else down
                if _same(record["price"], limit):
                    return True
        return False

    @staticmethod
    def _prices_before(tick: Dict[str, Any], backtest: Any) -> Dict[str, Any]:
        """Each instrument's last price before this tick. The loop calls the rules before it sets the
        tick's own price; should that price be there already, the positions book's last tick of the
        instrument (marked after the rules) holds the one before, when it was a main-range tick."""
        prices = dict(backtest._last_close)
        code = tick["code"]
        if prices.get(code) is tick["close"]:
            last_ticks = getattr(getattr(backtest, "positions", None), "last_ticks", None) or {}
            previous = last_ticks.get(code)
            if isinstance(previous, dict) and previous is not tick:
                if previous.get("timestamp", INFINITY) < tick["timestamp"]:
                    prices[code] = previous.get("close")
        return prices

    @staticmethod
    def _read_lock(tick: Dict[str, Any], band: Band) -> None:
        down, up = band
        bid, ask = tick.get("bid_price") or 0.0, tick.get("ask_price") or 0.0
        if bid > 0 and (tick.get("bid_volume") or 0) > 0 and (bid >= up or _same(bid, up)):
            tick["ask_price"], tick["ask_volume"] = 0.0, 0  # buyers queued at limit-up, no seller
        elif ask > 0 and (tick.get("ask_volume") or 0) > 0 and (ask <= down or _same(ask, down)):
            tick["bid_price"], tick["bid_volume"] = 0.0, 0

    # --- orders -----------------------------------------------------------------------------------

    def check(self, order: Order, market: MarketRules) -> CheckResult:
        band = self.bands.get(order.code)
        buy = order.action == "Buy"
        if order.price_type in ("MKT", "MKP"):
            if band is None:
                return None
            order.price = band[1] if buy else band[0]
            order.price_type = "LMT"
            self._watch(order.code, market)
            return None
        price = order.price
        if band is not None:
            down, up = band
            if (price > up and not _same(price, up)) or (price < down and not _same(price, down)):
                return Failure.PRICE_OUTSIDE_BAND.refusal(
                    f"limit price {_text(price)} is outside {order.code}'s daily band "
                    f"{_text(down)} - {_text(up)} (reference {_text(self.references[order.code])})"
                )
        ladder = self.ladder(order.product_type, order.code)
        if price <= 0 or not on_ladder(price, ladder):
            return Failure.PRICE_OFF_TICK.refusal(
                f"limit price {_text(price)} is not on {order.code}'s tick ladder "
                f"(tick {_text(ladder.size_above(max(price, 0.0)))} at that price)"
            )
        if band is not None and _same(price, band[1] if buy else band[0]):
            self._watch(order.code, market)
        return None

    def _watch(self, code: str, market: MarketRules) -> None:
        if code not in self._locks:
            self._locks.add(code)
            self.watched = self._locks | self._unpriced
            market.refresh()
