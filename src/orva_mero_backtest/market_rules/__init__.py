"""The Taiwanese exchanges' own rules, applied in front of the matching engine.

The matcher matches whatever it is given. What the exchanges refuse, convert, hold for a call auction
or cancel at the close is decided here, once per order and at the few moments of the day when a rule
acts, so a run that keeps none of these rules pays nothing for them.

Each rule is a ``Rule`` with a name (its switch in ``RuleSwitches``). ``MarketRules`` asks the rules,
in the order of ``RULE_ORDER``, about each new order before the matcher sees it, and hands them the
ticks they asked for:

- ``check(order, market)`` may change the order (a market order booked at the band limit), refuse it
  (return a ``Refusal``) or keep it back itself (return ``HELD``, and place it later through
  ``market.submit``).
- ``on_tick(tick, market)`` runs before the tick is matched, for every tick at or after the rule's
  ``wake_at`` (a market time, Taipei wall-clock seconds written as epoch time) and for every tick of a
  code in its ``watched`` set. It runs before the exchange sees the tick (its set_current_tick): the
  reports of what a rule does then (a cancellation) carry the code's previous exchange time, and the
  positions book still marks the code at its previous price. A rule moves ``wake_at`` forward as it
  goes; ``market.refresh()`` recomputes what the engine's loop looks at.
- ``start(market)`` runs once when the run starts, before the first tick (a rule sets its first
  ``wake_at`` there).

A refused order reaches the strategy as the exchange's own would: ``ctx.buy`` / ``ctx.sell`` /
``ctx.place_order`` still return a trade id, at once ``ctx.order(trade_id)`` reads status "Failed"
with the refusal's ``reason``, ``status_code`` and ``message``, and an order report of the order's
market (``operation_type`` New, ``operation_status_code`` / ``operation_message`` the refusal's
code and text) reaches ``on_order`` in the normal delivery. Invalid requests (an unknown code, a
quantity that is no positive int, ...) still raise ``OrderRejected``.

``Backtest(..., rules=...)`` chooses the rules (``switches_of``); ``build_rules`` makes them.
"""

from __future__ import annotations

import dataclasses
import importlib
import inspect
from dataclasses import dataclass, field
from typing import Any, Dict, Iterable, List, Optional, Set, Tuple, Union

from ..constant import Action, OperationType

INFINITY = float("inf")

# The switches, one per rule, in the order the rules look at an order.
# A rule that holds an order (auctions, odd_lots) comes after every rule that may refuse it.
RULE_ORDER = ("sessions", "price_limits", "buying_power", "short_sales", "margin", "auctions", "odd_lots")


@dataclass
class RuleSwitches:
    """Which of the exchange's rules a run keeps; every one is on unless turned off."""

    sessions: bool = True  # order types per session phase, ROD orders cancelled at the session's close
    price_limits: bool = True  # the daily band and the tick ladder; market orders booked at the band limit
    buying_power: bool = True  # stock buys within the cash available
    short_sales: bool = True  # stock sales without holding need order_cond="ShortSelling"
    margin: bool = True  # futures initial margin per order; maintenance margin calls
    auctions: bool = True  # orders of the opening and closing call periods matched at the call's print
    odd_lots: bool = True  # intraday odd lots matched in the periodic odd-lot call

    @classmethod
    def without(cls, names: Iterable[str]) -> "RuleSwitches":
        """Every rule on but those named ("all" turns every rule off)."""
        names = list(names)
        known = [f.name for f in dataclasses.fields(cls)]
        if "all" in names:
            return cls(**{n: False for n in known})
        unknown = [n for n in names if n not in known]
        if unknown:
            raise ValueError(f"unknown market rule {unknown[0]!r} (known: {', '.join(known)}, or all)")
        return cls(**{n: n not in names for n in known})

    def off(self) -> List[str]:
        return [f.name for f in dataclasses.fields(self) if not getattr(self, f.name)]


def switches_of(rules: Any) -> RuleSwitches:
    """What ``Backtest(rules=...)`` takes: None or True (every rule on), False (every rule off), a
    ``RuleSwitches``, or the names of the rules to turn off (one name, a list, "all")."""
    if rules is None or rules is True:
        return RuleSwitches()
    if rules is False:
        return RuleSwitches.without(["all"])
    if isinstance(rules, RuleSwitches):
        return dataclasses.replace(rules)
    if isinstance(rules, str):
        return RuleSwitches.without([rules])
    try:
        names = list(rules)
    except TypeError:
        raise ValueError(f"rules must be a RuleSwitches or names of rules to turn off, got {rules!r}") from None
    if not all(isinstance(n, str) for n in names):
        raise ValueError(f"rules to turn off must be names, got {names!r}")
    return RuleSwitches.without(names)


@dataclass
class Order:
    """A new order as the exchange receives it: the arguments of ``OrderTracker.place``."""

    code: str
    product_type: str  # "Stock" or "Future"
    action: str  # "Buy" or "Sell"
    price: float  # 0.0 for a market order
    qty: int  # board lots or contracts; shares for odd lots
    price_type: str  # "LMT", "MKT" or "MKP"
    order_type: str  # "ROD", "IOC" or "FOK"
    order_cond: str
    order_lot: str
    oc_type: str
    timestamp: Optional[float]  # market time of placing

    def place_args(self) -> tuple:
        return (self.code, self.product_type, self.action, self.price, self.qty, self.price_type,
                self.order_type, self.order_cond, self.order_lot, self.oc_type, self.timestamp)


@dataclass(frozen=True)
class Refusal:
    """The exchange's answer to an order it does not take."""

    status_code: str  # the failure status of the order report
    message: str  # the exchange's own text (Traditional Chinese)
    reason: str  # what the strategy and the log read: the price, band, tick or amount that failed


class Failure:
    """The exchange's failure statuses of an order report: a four-digit code and its own text.

    The exchange answers an order it takes with "0000" (constant.SuccessCode); a refusal carries one of
    these instead. ``Failure.OUTSIDE_SESSION.refusal("no session at 14:00:00")`` makes the Refusal.
    """

    def __init__(self, code: str, message: str) -> None:
        self.code = code
        self.message = message

    def refusal(self, reason: str) -> "Refusal":
        return Refusal(self.code, self.message, reason)

    def __repr__(self) -> str:
        return f"Failure({self.code!r}, {self.message!r})"

    # sessions: when an order may be entered, and of which kind
    OUTSIDE_SESSION: "Failure"
    CALL_PERIOD: "Failure"
    LOT_SESSION: "Failure"
    # prices: the daily band and the tick ladder
    PRICE_OUTSIDE_BAND: "Failure"
    PRICE_OFF_TICK: "Failure"
    # odd lots
    ODD_LOT_ORDER: "Failure"
    # money: buying power, short sales, margin
    INSUFFICIENT_FUNDS: "Failure"
    SHORT_SALE: "Failure"
    INSUFFICIENT_MARGIN: "Failure"
    # changes: a cancel or modification that reaches the exchange after the order left its book
    CANCEL_NOT_OPEN: "Failure"
    MODIFY_NOT_OPEN: "Failure"


Failure.OUTSIDE_SESSION = Failure("0101", "非交易時段，委託失敗")
Failure.CALL_PERIOD = Failure("0102", "集合競價時段不接受市價、IOC或FOK委託")
Failure.LOT_SESSION = Failure("0103", "非該交易別之委託時段，委託失敗")
Failure.PRICE_OUTSIDE_BAND = Failure("0201", "委託價格超過漲跌停價格")
Failure.PRICE_OFF_TICK = Failure("0202", "委託價格不符升降單位")
Failure.ODD_LOT_ORDER = Failure("0203", "零股交易僅接受限價ROD委託")
Failure.INSUFFICIENT_FUNDS = Failure("0301", "可用餘額不足，委託失敗")
Failure.SHORT_SALE = Failure("0302", "庫存不足，不得賣出")
Failure.INSUFFICIENT_MARGIN = Failure("0303", "保證金不足，委託失敗")
Failure.CANCEL_NOT_OPEN = Failure("0401", "委託單已成交或已刪除，無法刪單")
Failure.MODIFY_NOT_OPEN = Failure("0402", "委託單已成交或已刪除，無法改單")

# The status of a refused order's record.
FAILED = "Failed"


# Returned by a rule's check when the rule keeps the order itself.
HELD = object()

CheckResult = Union[None, Refusal, object]


class Rule:
    """One of the exchange's rules; subclasses override what they need."""

    name = ""

    def __init__(self) -> None:
        self.wake_at: float = INFINITY
        self.watched: Set[str] = set()

    def check(self, order: Order, market: "MarketRules") -> CheckResult:
        return None

    def on_tick(self, tick: Dict[str, Any], market: "MarketRules") -> None:
        pass

    def start(self, market: "MarketRules") -> None:
        pass


class MarketRules:
    """The rules a run keeps, between the strategy context and the order tracker.

    ``place`` takes the arguments of ``OrderTracker.place`` and returns the trade id, as the tracker
    does; the engine's loop calls ``on_tick`` for a tick at or after ``wake_at`` or of a code in
    ``watched`` (a dict, code -> None).
    """

    def __init__(self, backtest: Any, switches: RuleSwitches, rules: List[Rule]) -> None:
        self.backtest = backtest
        self.switches = switches
        self.rules = rules
        self.wake_at: float = INFINITY
        self.watched: Dict[str, None] = {}
        # Orders the exchange keeps out of its book for now (a call auction): trade id -> (record, rule).
        self.held: Dict[str, Tuple[Dict[str, Any], Rule]] = {}
        self.refresh()

    def refresh(self) -> None:
        self.wake_at = min((r.wake_at for r in self.rules), default=INFINITY)
        watched: Dict[str, None] = {}
        for r in self.rules:
            watched.update(dict.fromkeys(r.watched))
        self.watched = watched
        self._watching = [frozenset(r.watched) for r in self.rules]

    # --- orders -----------------------------------------------------------------------------------

    def place(self, *args: Any) -> str:
        order = Order(*args)
        for rule in self.rules:
            answer = rule.check(order, self)
            if answer is None:
                continue
            if answer is HELD:
                return self.hold(order, rule)
            return self.refuse(order, answer)  # type: ignore[arg-type]
        return self.submit(order)

    def submit(self, order: Order) -> str:
        """Hands an order to the exchange (the order tracker), past the rules."""
        return self.backtest._order_tracker().place(*order.place_args())

    def refuse(self, order: Order, refusal: Refusal) -> str:
        """The exchange's answer to an order it does not take: the order gets a trade id and a record
        in the order tracker (status "Failed", with the refusal's reason, code and message; never
        open), and an order report of its market with the refusal's status goes on the exchange's
        report queue, delivered to on_order as the exchange's others are. The trade id."""
        from ..modules.matcher import matcher as matcher_module

        tracker = self.backtest._order_tracker()
        trade_id = matcher_module.generate(size=16)
        while trade_id in tracker.orders:
            trade_id = matcher_module.generate(size=16)
        ts = order.timestamp
        # The keys of the tracker's own records, in their order, then the refusal's.
        tracker.orders[trade_id] = {
            "trade_id": trade_id, "code": order.code, "product_type": order.product_type, "action": order.action,
            "price_type": order.price_type, "order_type": order.order_type, "price": order.price,
            "quantity": order.qty, "open_qty": 0, "filled_qty": 0, "avg_fill_price": None, "cancelled_qty": order.qty,
            "status": FAILED, "placed_ts": ts, "updated_ts": ts, "_fill_value": 0.0,
            "reason": refusal.reason, "status_code": refusal.status_code, "message": refusal.message,
        }
        matcher = self.backtest.matcher
        trade = {
            "trade_id": trade_id, "code": order.code, "action": Action.from_value(order.action), "price": order.price,
            "quantity": order.qty, "price_type": order.price_type, "order_type": order.order_type,
            "product_type": order.product_type, "order_cond": order.order_cond, "order_lot": order.order_lot,
            "oc_type": order.oc_type,
        }
        report = matcher.build_order_response(trade, OperationType.NEW, Failure(refusal.status_code, refusal.message))
        matcher.add_response_to_queue(report)
        return trade_id

    def hold(self, order: Order, rule: Optional[Rule] = None) -> str:
        """Takes an order as any other (its trade id, the exchange's "New" report, the tracker's record,
        status Open) and keeps it out of the exchange's book until ``rule`` (which gets ``kept(trade_id,
        record, order, market)``) hands it back with ``release``, so no tick meets it meanwhile."""
        trade_id = self.submit(order)
        self.backtest._order_tracker().holder = self
        record = self.take_out(trade_id)
        if record is None:  # the exchange did not book it
            return trade_id
        self.held[trade_id] = (record, rule)  # type: ignore[assignment]
        kept = getattr(rule, "kept", None)
        if kept is not None:
            kept(trade_id, record, order, self)
        self.refresh()
        return trade_id

    def take_out(self, trade_id: str) -> Optional[Dict[str, Any]]:
        """The exchange's record of an order in its book, taken out of the book (None if not there)."""
        book = self.backtest._order_tracker().matcher.pending_orders
        for i in range(len(book) - 1, -1, -1):
            if book[i]["trade_id"] == trade_id:
                return book.pop(i)
        return None

    def keep(self, trade_id: str, rule: Rule) -> bool:
        """Takes an order of the book out again, held for ``rule``; False when it is not in the book."""
        record = self.take_out(trade_id)
        if record is None:
            return False
        self.backtest._order_tracker().holder = self
        self.held[trade_id] = (record, rule)
        return True

    def release(self, trade_id: str) -> Optional[Dict[str, Any]]:
        """Puts a held order back at the end of the exchange's book; its record, None if not held."""
        entry = self.held.pop(trade_id, None)
        if entry is None:
            return None
        self.backtest._order_tracker().matcher.pending_orders.append(entry[0])
        return entry[0]

    def unhold(self, trade_id: str) -> Optional[Rule]:
        """For a cancel or change by the strategy: the held order back in the book, and the rule that
        held it (it keeps the order again after a change), or None when it was not held."""
        entry = self.held.get(trade_id)
        if entry is None:
            return None
        self.release(trade_id)
        return entry[1]

    # --- ticks ------------------------------------------------------------------------------------

    def on_tick(self, tick: Dict[str, Any]) -> None:
        ts = tick["timestamp"]
        code = tick["code"]
        for rule in self.rules:
            if ts >= rule.wake_at or code in rule.watched:
                rule.on_tick(tick, self)
        # The union of the watched codes is made again only when a rule's own set changed (a tick of
        # a watched code usually changes nothing).
        if any(r.watched != seen for r, seen in zip(self.rules, self._watching)):
            self.refresh()
        else:
            self.wake_at = min((r.wake_at for r in self.rules), default=INFINITY)


# The modules holding the rules, in the package: a module not there (yet) leaves its rules out.
RULE_MODULES = ("sessions", "auctions", "odd_lots", "prices", "money")


def rule_classes() -> Dict[str, type]:
    """Rule name -> the Rule subclass that implements it, from the rule modules present."""
    found: Dict[str, type] = {}
    for module_name in RULE_MODULES:
        full = f"{__name__}.{module_name}"
        try:
            module = importlib.import_module(full)
        except ModuleNotFoundError as exc:
            if exc.name == full:
                continue
            raise
        for value in vars(module).values():
            if inspect.isclass(value) and issubclass(value, Rule) and value.__module__ == full and value.name:
                found[value.name] = value
    return found


def build_rules(backtest: Any, switches: RuleSwitches) -> Optional[MarketRules]:
    """The run's MarketRules: one of each rule ``switches`` keeps, in RULE_ORDER; None when it keeps none
    (then nothing stands between the strategy and the exchange)."""
    classes = rule_classes()
    rules = [classes[name]() for name in RULE_ORDER if getattr(switches, name) and name in classes]
    if not rules:
        return None
    market = MarketRules(backtest, switches, rules)
    for rule in rules:
        rule.start(market)
    market.refresh()
    return market


def time_of_day(ts: float) -> float:
    """Seconds since Taipei midnight of a market timestamp (Taipei wall-clock written as epoch time)."""
    return ts % 86400.0


def day_of(ts: float) -> int:
    """The calendar day number (days since 1970-01-01, Taipei) of a market timestamp."""
    return int(ts // 86400.0)
