"""The money rules: what the account can pay for, what it may sell, and the futures margin.

One account holds the run's capital for both markets. Its cash is the capital plus realised P&L less
the costs paid, less what the positions tie up: a stock held long its cost (average price x shares),
a stock held short ``short_sale_margin_rate`` of its value plus its open loss or gain, a futures
position its initial margin per contract plus its open loss or gain (futures are marked to market).
What is left, less what the open orders would tie up if they filled, is the cash available:

- ``buying_power``: a stock buy in a cash account needs its value and commission (the part that buys
  back a short position needs nothing).
- ``short_sales``: a stock sell beyond the shares held (less the open sells) is a short sale. With
  ``order_cond="ShortSelling"`` it is a margin account's short sale and needs
  ``short_sale_margin_rate`` of its value (90%, the stock exchange's short-sale margin). With
  ``order_cond="Cash"`` it is taken as a day trade sold first (the account is assumed to have the
  broker's permission) and needs the same margin; what is still short at 13:25, when the closing call
  begins, is bought back at the close by a market order. A ``MarginTrading`` sell beyond the shares
  held is refused.
- ``margin``: a futures order that adds contracts (to the position and the open orders of its side)
  needs the initial margin of each; while futures are held, an account whose equity (its cash before
  the futures' initial margin) falls below their maintenance margin is closed out: at the next tick
  every futures position is closed by a market order whose order report says why.

A market order is valued at the price it would book at: its price when the price rule put the band
limit there, else the last price.
"""

from __future__ import annotations

from typing import Any, Dict, List, Optional, Tuple

from . import INFINITY, Failure, Order, Refusal, Rule, day_of, time_of_day

# The exchange's failure statuses and texts for the money rules' refusals, as (code, message).
NO_CASH = (Failure.INSUFFICIENT_FUNDS.code, Failure.INSUFFICIENT_FUNDS.message)
NO_SHARES = (Failure.SHORT_SALE.code, Failure.SHORT_SALE.message)
NO_MARGIN = (Failure.INSUFFICIENT_MARGIN.code, Failure.INSUFFICIENT_MARGIN.message)
# The statuses of the new-order reports of orders the exchange places itself (not refusals).
MARGIN_CALL = ("0304", "權益數低於維持保證金，期貨商代為沖銷")
DAY_TRADE_COVER = ("0305", "現股當沖未回補，收盤代為買回")

CLOSING_CALL = 13 * 3600 + 25 * 60  # stocks: the closing call period begins


def _text(value: Any) -> str:
    return str.__str__(value) if isinstance(value, str) else str(value)


def _is_odd(order_lot: str) -> bool:
    return order_lot in ("Odd", "IntradayOdd")


def _twd(amount: float) -> str:
    return f"{amount:,.0f} TWD"


class Account:
    """The account's money at one moment, read from the backtest's book and the exchange's open orders."""

    def __init__(self, backtest: Any) -> None:
        self.backtest = backtest
        self.costs = backtest.positions.costs

    def price_of(self, code: str, price: float) -> Optional[float]:
        if price and price > 0:
            return float(price)
        return self.backtest._last_close.get(code)

    # --- what the book holds ------------------------------------------------------------------

    def equity(self) -> Tuple[float, Dict[str, int]]:
        """(cash before the futures' initial margin and the open orders, futures contracts by code)."""
        bt, costs = self.backtest, self.costs
        cash = bt.capital
        futures: Dict[str, int] = {}
        for e in bt.positions.book.values():
            cash += e.realized_pnl - e.commission - e.tax
            q = e.quantity
            if not q:
                continue
            if e.product_type == "Stock":
                if q > 0:
                    cash -= e.avg_price * q
                else:
                    cash -= costs.short_sale_margin_rate * e.avg_price * -q
                    cash += e.unrealized_pnl
            else:
                cash += e.unrealized_pnl
                futures[e.code] = q
        return cash, futures

    def pending(self) -> List[Dict[str, Any]]:
        """The exchange's records of the open orders: those in its book and those held out of it for a
        call (they take the same cash once they meet their print)."""
        matcher = getattr(self.backtest, "matcher", None)
        records = list(matcher.pending_orders) if matcher is not None else []
        held = getattr(getattr(self.backtest, "_rules", None), "held", None)
        if held:
            records.extend(record for record, _ in held.values())
        return records

    # --- what orders tie up -------------------------------------------------------------------

    def stock_need(self, code: str, action: str, price: float, shares: int, odd: bool, held: int,
                   bought: int, sold: int) -> float:
        """Cash a stock order ties up, given the position and the shares of the open buys and sells
        of the code placed before it."""
        px = self.price_of(code, price)
        if px is None:
            return 0.0
        if action == "Buy":
            covering = min(shares, max(0, -held - bought))
            rest = shares - covering
            if rest <= 0:
                return 0.0
            return px * rest + self.costs.stock_commission(px, rest, odd)
        sellable = max(0, max(0, held) - sold)
        short = shares - min(shares, sellable)
        return self.costs.short_sale_margin_rate * px * short

    def future_need(self, code: str, held: int, bought: int, sold: int) -> float:
        """Initial margin of a code's position and open orders: the larger side once all fill."""
        return self.costs.future_margin(code) * max(abs(held + bought), abs(held - sold))

    def available(self, new: Optional[Order] = None) -> Tuple[float, float]:
        """(cash available before ``new``, what ``new`` would tie up)."""
        cash, futures = self.equity()
        held_of = self.backtest.positions.position
        costs = self.costs
        # Per stock: (shares bought, shares sold) by the open orders counted so far.
        stock_open: Dict[str, List[int]] = {}
        future_open: Dict[str, List[int]] = {}
        for record in self.pending():
            code = record["code"]
            action = _text(record["action"])
            qty = record["quantity"]
            if _text(record.get("product_type", "Stock")) == "Future":
                side = future_open.setdefault(code, [0, 0])
                side[action != "Buy"] += qty
                continue
            lot = _text(record.get("order_lot", "Common"))
            shares = costs.stock_shares(qty, lot)
            side = stock_open.setdefault(code, [0, 0])
            cash -= self.stock_need(code, action, record["price"], shares, _is_odd(lot), held_of(code), *side)
            side[action != "Buy"] += shares
        for code in set(futures) | set(future_open):
            cash -= self.future_need(code, futures.get(code, 0), *future_open.get(code, (0, 0)))
        if new is None:
            return cash, 0.0
        if new.product_type == "Future":
            held = futures.get(new.code, 0)
            bought, sold = future_open.get(new.code, (0, 0))
            before = self.future_need(new.code, held, bought, sold)
            if new.action == "Buy":
                bought += new.qty
            else:
                sold += new.qty
            return cash, self.future_need(new.code, held, bought, sold) - before
        shares = costs.stock_shares(new.qty, new.order_lot)
        bought, sold = stock_open.get(new.code, (0, 0))
        need = self.stock_need(new.code, new.action, new.price, shares, _is_odd(new.order_lot),
                               held_of(new.code), bought, sold)
        return cash, need

    def sellable(self, code: str) -> int:
        """Shares of ``code`` held and not yet offered by an open sell."""
        costs = self.costs
        offered = 0
        for record in self.pending():
            if record["code"] == code and _text(record["action"]) == "Sell":
                offered += costs.stock_shares(record["quantity"], _text(record.get("order_lot", "Common")))
        return max(0, self.backtest.positions.position(code) - offered)


def _refusal(kind: Tuple[str, str], reason: str) -> Refusal:
    return Refusal(kind[0], kind[1], reason)


def _check_cash(order: Order, market: Any, kind: Tuple[str, str], what: str) -> Optional[Refusal]:
    available, need = Account(market.backtest).available(order)
    if need <= 0 or need <= available + 1e-6:
        return None
    return _refusal(kind, f"{what} of {order.qty} {order.code} needs {_twd(need)}, "
                          f"{_twd(max(available, 0.0))} available")


class BuyingPower(Rule):
    """A stock buy in a cash account within the cash available."""

    name = "buying_power"

    def check(self, order: Order, market: Any) -> Optional[Refusal]:
        if order.product_type != "Stock" or order.action != "Buy" or order.order_cond != "Cash":
            return None
        return _check_cash(order, market, NO_CASH, "buy")


class ShortSales(Rule):
    """Stock sales beyond the shares held: a margin account's short sale, or a cash day trade sold first."""

    name = "short_sales"

    def __init__(self) -> None:
        super().__init__()
        self.day_shorts: Dict[str, int] = {}  # cash-account shares sold short today, by code
        self.day: Optional[int] = None

    def check(self, order: Order, market: Any) -> Optional[Refusal]:
        if order.product_type != "Stock" or order.action != "Sell":
            return None
        account = Account(market.backtest)
        shares = account.costs.stock_shares(order.qty, order.order_lot)
        short = shares - min(shares, account.sellable(order.code))
        if short <= 0:
            return None
        if order.order_cond not in ("ShortSelling", "Cash"):
            return _refusal(NO_SHARES, f"sell of {shares} shares of {order.code} with {order.order_cond}: "
                                       f"{shares - short} held and not offered")
        refusal = _check_cash(order, market, NO_CASH, "short sale")
        if refusal is not None or order.order_cond != "Cash":
            return refusal
        # A cash-account day trade sold first: bought back at the close if still short.
        ts = order.timestamp if order.timestamp is not None else 0.0
        if time_of_day(ts) >= CLOSING_CALL:
            return _refusal(NO_SHARES, f"sell of {shares} shares of {order.code}: {shares - short} held and "
                                       f"not offered; a day trade sold first is taken only before 13:25")
        today = day_of(ts)
        if self.day != today:
            self.day_shorts.clear()
            self.day = today
        self.day_shorts[order.code] = self.day_shorts.get(order.code, 0) + short
        self.wake_at = today * 86400.0 + CLOSING_CALL
        market.refresh()
        return None

    def on_tick(self, tick: Dict[str, Any], market: Any) -> None:
        bt = market.backtest
        positions = bt.positions
        costs = positions.costs
        lot = costs.stock_lot_size
        pending = Account(bt).pending()
        for code, short in self.day_shorts.items():
            # Open cash sells beyond the shares held would sell short in the closing call: cancelled.
            held = max(0, positions.position(code))
            offered = 0
            for record in pending:
                if record["code"] != code or _text(record["action"]) != "Sell":
                    continue
                offered += costs.stock_shares(record["quantity"], _text(record.get("order_lot", "Common")))
                if offered > held and _text(record.get("order_cond", "Cash")) == "Cash":
                    if bt.submit_cancel(record["trade_id"]):
                        offered -= costs.stock_shares(record["quantity"], _text(record.get("order_lot", "Common")))
            still = min(short, -positions.position(code))
            if still <= 0:
                continue
            lots, odd = divmod(still, lot)
            for qty, order_lot in ((lots, "Common"), (odd, "IntradayOdd")):
                if qty:
                    order = Order(code, "Stock", "Buy", 0.0, qty, "MKT", "ROD", "Cash", order_lot, "Auto",
                                  tick["timestamp"])
                    announce(market, market.submit(order), DAY_TRADE_COVER,
                             f"{code}: {still} shares sold short in a cash account bought back at the close")
        self.day_shorts.clear()
        self.wake_at = INFINITY


class Margin(Rule):
    """Futures initial margin per order; the account closed out below maintenance margin."""

    name = "margin"

    def __init__(self) -> None:
        super().__init__()
        self._fills = -1  # len(positions.fills) when the cached figures were read
        self._fill_rows: Optional[List[Any]] = None  # positions.fills
        self._base = 0.0  # the account's cash without the futures' open P&L
        self._held: Dict[str, Tuple[float, int, float]] = {}  # code -> (average, contracts, TWD per point)
        self._last: Dict[str, float] = {}
        self._maintenance = 0.0
        self._call_at: Optional[float] = None  # market time the equity fell below maintenance
        self._equity = 0.0
        self._closing: List[str] = []  # the close-out orders still in the exchange's book

    def check(self, order: Order, market: Any) -> Optional[Refusal]:
        if order.product_type != "Future":
            return None
        refusal = _check_cash(order, market, NO_MARGIN, "order")
        if refusal is None and order.code not in self.watched:
            self.watched.add(order.code)
            market.refresh()
        return refusal

    def _read(self, backtest: Any) -> None:
        positions = backtest.positions
        costs = positions.costs
        cash, futures = Account(backtest).equity()
        self._held = {}
        self._maintenance = 0.0
        for code, q in futures.items():
            e = positions.book[code]
            self._held[code] = (e.avg_price, q, e.point_value)
            self._last[code] = e.last_price if e.last_price is not None else e.avg_price
            cash -= e.unrealized_pnl
            self._maintenance += costs.future_maintenance_margin(code) * abs(q)
        self._base = cash
        self._fills = len(positions.fills)

    def on_tick(self, tick: Dict[str, Any], market: Any) -> None:
        # Per tick of a code held: a length, a few lookups and the sum over the futures held.
        fills = self._fill_rows
        if fills is None or len(fills) != self._fills:
            bt = market.backtest
            self._fill_rows = bt.positions.fills
            self._read(bt)
            self._unwatch(market)
        code = tick["code"]
        if code not in self._held:
            return
        if self._closing:
            pending = {r["trade_id"] for r in Account(market.backtest).pending()}
            self._closing = [t for t in self._closing if t in pending]
            if self._closing:
                return
        if self._call_at is not None:
            self._close_out(tick, market)
            return
        self._last[code] = tick["close"]
        equity = self._base
        for c, (avg, q, pv) in self._held.items():
            equity += (self._last[c] - avg) * q * pv
        if equity < self._maintenance:
            self._call_at = tick["timestamp"]
            self._equity = equity

    def _unwatch(self, market: Any) -> None:
        keep = set(self._held)
        for record in Account(market.backtest).pending():
            if _text(record.get("product_type", "")) == "Future":
                keep.add(record["code"])
        if keep != self.watched:
            self.watched = keep
            market.refresh()

    def _close_out(self, tick: Dict[str, Any], market: Any) -> None:
        reason = (f"account equity {_twd(self._equity)} below the maintenance margin "
                  f"{_twd(self._maintenance)}: every futures position closed")
        self._call_at = None
        for code, (_avg, q, _pv) in list(self._held.items()):
            order = Order(code, "Future", "Sell" if q > 0 else "Buy", 0.0, abs(q), "MKT", "IOC", "Cash",
                          "Common", "Cover", tick["timestamp"])
            trade_id = market.submit(order)
            self._closing.append(trade_id)
            announce(market, trade_id, MARGIN_CALL, f"{code}: {reason}")


def announce(market: Any, trade_id: str, kind: Tuple[str, str], reason: str) -> None:
    """Puts the exchange's status and text on the new-order report of an order the rules placed, and
    the same on its record in the order tracker (as a refusal's record has them)."""
    record = market.backtest._order_tracker().orders.get(trade_id)
    if record is not None:
        record.update(reason=reason, status_code=kind[0], message=kind[1])
    matcher = market.backtest.matcher
    for report in reversed(matcher.response_queue.queue):
        order = report.get("order") if isinstance(report, dict) else None
        if isinstance(order, dict) and order.get("id") == trade_id:
            report["operation_status_code"], report["operation_message"] = kind
            report["reason"] = reason
            break


RULES = (BuyingPower, ShortSales, Margin)
