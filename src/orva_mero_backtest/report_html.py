"""report.html: equity and drawdown charts, the statistics and the round trips in one file that opens
offline (plotly.js is embedded, nothing is fetched)."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any, Dict, List, Sequence

from .data.clock import wall_clock_text

if TYPE_CHECKING:  # pragma: no cover
    from .driver import BacktestResult
    from .stats import Statistics

# Beyond this many round trips the page lists the first ones and points to roundtrips.csv.
MAX_ROUND_TRIP_ROWS = 2000

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #f3f3f3; text-align: left; }
"""


def _figure(curve) -> Any:
    from plotly.subplots import make_subplots

    times = [wall_clock_text(ts) for ts in curve["ts"]]
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.65, 0.35], vertical_spacing=0.06,
                        subplot_titles=("Equity (TWD)", "Drawdown (TWD)"))
    fig.add_scatter(x=times, y=curve["equity"].to_list(), name="equity", line={"color": "black", "width": 1},
                    row=1, col=1)
    fig.add_scatter(x=times, y=[-d for d in curve["drawdown"].to_list()], name="drawdown", fill="tozeroy",
                    line={"color": "firebrick", "width": 1}, row=2, col=1)
    # Nights and weekends take no room on the time axis.
    fig.update_xaxes(rangebreaks=[{"bounds": ["sat", "mon"]}, {"bounds": [14, 8.5], "pattern": "hour"}])
    fig.update_layout(height=600, margin={"l": 60, "r": 20, "t": 40, "b": 40}, showlegend=False,
                      hovermode="x unified")
    return fig


def _table(columns: Sequence[str], rows: Sequence[Sequence[Any]], table_id: str) -> str:
    head = "".join(f"<th>{html.escape(str(c))}</th>" for c in columns)
    body = []
    for row in rows:
        cells = []
        for value in row:
            numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
            cells.append(f'<td class="num">{value}</td>' if numeric else f"<td>{html.escape(str(value))}</td>")
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f'<table id="{table_id}"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def render_html(result: "BacktestResult", stats: "Statistics", curve, trips: List[Dict[str, Any]]) -> str:
    from .stats import ROUND_TRIP_COLUMNS

    title = f"Backtest {result.strategy}: {result.start} to {result.end}"
    instruments = ", ".join(f"{i.code} ({i.market})" for i in result.instruments)
    chart = _figure(curve).to_html(full_html=False, include_plotlyjs=True, div_id="equity-chart")
    stat_table = _table(("Statistic", "Value"), stats.rows(), "statistics")
    shown = trips[:MAX_ROUND_TRIP_ROWS]
    note = ""
    if len(trips) > len(shown):
        note = f"<p>The first {len(shown):,} of {len(trips):,} round trips; all are in roundtrips.csv.</p>"
    trip_table = _table(ROUND_TRIP_COLUMNS, [[t[c] for c in ROUND_TRIP_COLUMNS] for t in shown], "round-trips")
    costs = result.positions.costs
    slippage = (f"fills booked {costs.slippage_ticks} tick(s) worse than the exchange reported"
                if costs.slippage_ticks else "fills booked at the exchange's prices")
    return f"""<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>{html.escape(title)}</title><style>{_STYLE}</style></head>
<body>
<h1>{html.escape(title)}</h1>
<p>{html.escape(instruments)}; {result.ticks:,} ticks; {len(result.fills):,} fills; {html.escape(slippage)}; fills by the {html.escape(result.fill_model_text)}.</p>
{chart}
<h2>Statistics</h2>
{stat_table}
<h2>Round trips</h2>
{note}
{trip_table}
</body>
</html>
"""


def write_html(result: "BacktestResult", stats: "Statistics", curve, trips: List[Dict[str, Any]], path: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_html(result, stats, curve, trips))
