"""Positions book fed by the simulated exchange."""

from __future__ import annotations

from typing import Any, Dict, List

from ...constant import Action


class Positions:
    """Records every trade record and keeps the net position per instrument."""

    def __init__(self) -> None:
        self.trade_records: List[Dict[str, Any]] = []
        self.net_positions: Dict[str, int] = {}
        self.last_ticks: Dict[str, Dict[str, Any]] = {}

    def set_current_tick(self, tick: Dict[str, Any]) -> None:
        self.last_ticks[tick["code"]] = tick

    def add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status) -> None:
        self.trade_records.append(
            {
                "trade_id": trade_id,
                "code": code,
                "action": action,
                "quantity": quantity,
                "price": price,
                "timestamp": timestamp,
                "trade_status": trade_status,
            }
        )

    def set_positions(self, trade: Dict[str, Any], product_type: str) -> None:
        sign = 1 if trade["action"] == Action.BUY.value else -1
        code = trade["code"]
        self.net_positions[code] = self.net_positions.get(code, 0) + sign * trade["quantity"]
