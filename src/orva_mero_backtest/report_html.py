"""report.html: a tear sheet in one file that opens offline (plotly.js is embedded once, nothing is
fetched): equity and underwater curve, the statistics, each instrument's price with its fills and round
trips, P&L per round trip, monthly returns, the rolling Sharpe ratio, the worst drawdowns and the round
trips. The time axis leaves out only the hours the markets are closed (report_axis)."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence, Tuple

from .data.clock import wall_clock_text
from .report_axis import closed_stretches, day_of, price_text, rangebreaks, thinned, time_texts

if TYPE_CHECKING:  # pragma: no cover
    from .driver import BacktestResult
    from .stats import Statistics

# Beyond this many round trips the page lists the first ones and points to roundtrips.csv.
MAX_ROUND_TRIP_ROWS = 2000
# Points per line on a chart; longer series are thinned keeping each stretch's extremes.
MAX_CHART_POINTS = 20_000
WON, LOST = "#1f77b4", "#ff7f0e"  # round trips; red and green mean up and down to a Taiwanese reader
BUY, SELL = "#d62728", "#2ca02c"

_STYLE = """
body { font-family: system-ui, sans-serif; margin: 1.5em; color: #222; }
table { border-collapse: collapse; margin: 0.5em 0 1.5em; font-size: 0.9em; }
th, td { border: 1px solid #ccc; padding: 0.25em 0.6em; }
td.num { text-align: right; font-variant-numeric: tabular-nums; }
th { background: #f3f3f3; text-align: left; }
th.group { background: #e4e9f0; }
.tables { display: flex; flex-wrap: wrap; gap: 2em; align-items: flex-start; }
.warning { background: #fff4d6; border: 1px solid #e0b84c; padding: 0.5em 0.8em; }
"""
_CONFIG = {"scrollZoom": True, "displaylogo": False, "responsive": True}


def _to_html(fig: Any, div_id: str, first: bool) -> str:
    return fig.to_html(full_html=False, include_plotlyjs=first, div_id=div_id, config=_CONFIG)


def _xs(points: Sequence[Tuple[float, float]]) -> Any:
    import numpy as np

    # numpy arrays: plotly checks a list item by item, an array at once
    return np.array(time_texts([ts for ts, _ in points]), dtype=object)


def _ys(points: Sequence[Tuple[float, float]]) -> Any:
    import numpy as np

    return np.array([v for _, v in points], dtype=float)


def _axis(fig: Any, breaks: List[Dict[str, object]]) -> None:
    fig.update_xaxes(rangebreaks=breaks, showspikes=True, tickformat="%m-%d %H:%M", hoverformat="%Y-%m-%d %H:%M:%S")


def _equity_figure(curve, stats: "Statistics", breaks) -> Any:
    from plotly.subplots import make_subplots

    points = thinned(list(zip(curve["ts"].to_list(), curve["equity"].to_list())), MAX_CHART_POINTS)
    under = thinned(list(zip(curve["ts"].to_list(), (-curve["drawdown_pct"]).to_list())), MAX_CHART_POINTS)
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=[0.62, 0.38], vertical_spacing=0.07,
                        subplot_titles=("Equity (TWD)", "Underwater (% below the peak), the worst drawdowns shaded"))
    fig.add_scatter(x=_xs(points), y=_ys(points), name="equity",
                    line={"color": "black", "width": 1}, row=1, col=1)
    fig.add_scatter(x=_xs(under), y=_ys(under), name="underwater",
                    fill="tozeroy", line={"color": "firebrick", "width": 1}, row=2, col=1)
    periods = stats.tear_sheet.drawdown_periods if stats.tear_sheet else []
    end = curve["ts"][-1] if curve.height else None
    for rank, period in enumerate(periods, 1):
        until = period.recovery_ts if period.recovery_ts is not None else end
        fig.add_vrect(x0=wall_clock_text(period.peak_ts), x1=wall_clock_text(until), fillcolor="firebrick",
                      opacity=0.08 if rank > 1 else 0.16, line_width=0, row=2, col=1,
                      annotation_text=f"#{rank}", annotation_position="bottom left")
    _axis(fig, breaks)
    fig.update_layout(height=620, margin={"l": 60, "r": 20, "t": 40, "b": 40}, showlegend=False,
                      hovermode="x unified")
    return fig


def _price_figure(code: str, market: str, prices, fills, trips, breaks) -> Any:
    import plotly.graph_objects as go

    fig = go.Figure()
    points = thinned(prices, MAX_CHART_POINTS)
    fig.add_scatter(x=_xs(points), y=_ys(points), name=f"{code} price",
                    line={"color": "#555", "width": 1}, hoverinfo="skip")
    for won, colour in ((True, WON), (False, LOST)):
        xs: List[Optional[str]] = []
        ys: List[Optional[float]] = []
        for t in trips:
            if (t["net_pnl"] > 0) == won:
                xs += [t["entry_time"], t["exit_time"], None]
                ys += [t["entry_price"], t["exit_price"], None]
        if xs:
            fig.add_scatter(x=xs, y=ys, mode="lines", name="round trip " + ("won" if won else "lost"),
                            line={"color": colour, "width": 2, "dash": "solid" if won else "dot"}, hoverinfo="skip")
    for action, symbol, colour in (("Buy", "triangle-up", BUY), ("Sell", "triangle-down", SELL)):
        chosen = [f for f in fills if f["action"] == action]
        if not chosen:
            continue
        fig.add_scatter(
            x=[wall_clock_text(f["timestamp"]) for f in chosen], y=[f["price"] for f in chosen], mode="markers",
            name=f"{action} ({len(chosen)})", marker={"symbol": symbol, "size": 10, "color": colour,
                                                      "line": {"width": 0.5, "color": "black"}},
            text=[f"{action} {f['quantity']} at {price_text(market, code, f['price'])}<br>"
                  f"{wall_clock_text(f['timestamp'])}<br>position {f['position']}" for f in chosen],
            hoverinfo="text",
        )
    _axis(fig, breaks)
    fig.update_layout(height=420, margin={"l": 60, "r": 20, "t": 40, "b": 40},
                      title=f"{code} ({market}): price, fills and round trips",
                      legend={"orientation": "h", "y": -0.15}, hovermode="closest")
    return fig


def _pnl_figure(trips) -> Any:
    import plotly.graph_objects as go

    fig = go.Figure()
    fig.add_bar(
        x=list(range(1, len(trips) + 1)), y=[t["net_pnl"] for t in trips],
        marker={"color": [WON if t["net_pnl"] > 0 else LOST for t in trips]},
        text=[f"{t['instrument']} {t['side']} x{t['quantity']}<br>{t['entry_time'][:19]} to {t['exit_time'][:19]}"
              f"<br>net {t['net_pnl']:,.0f} TWD" for t in trips],
        hoverinfo="text", textposition="none",
    )
    fig.update_layout(height=320, margin={"l": 60, "r": 20, "t": 40, "b": 40},
                      title="Net P&L per round trip (TWD), in order of exit", xaxis_title="round trip")
    return fig


def _rolling_figure(stats: "Statistics") -> Any:
    import plotly.graph_objects as go

    sheet = stats.tear_sheet
    fig = go.Figure()
    fig.add_scatter(x=[d.isoformat() for d, _ in sheet.rolling_sharpe], y=[v for _, v in sheet.rolling_sharpe],
                    line={"color": "black", "width": 1}, name="rolling Sharpe")
    fig.add_hline(y=0, line={"color": "grey", "width": 0.6})
    fig.update_xaxes(rangebreaks=[{"bounds": ["sat", "mon"]}])
    fig.update_layout(height=300, margin={"l": 60, "r": 20, "t": 40, "b": 40},
                      title=f"Sharpe ratio over the last {sheet.rolling_window} trading days (annualised)")
    return fig


def _cells(value: Any) -> str:
    numeric = isinstance(value, (int, float)) and not isinstance(value, bool)
    return f'<td class="num">{value}</td>' if numeric else f"<td>{html.escape(str(value))}</td>"


def _table(columns: Sequence[str], rows: Sequence[Sequence[Any]], table_id: str, numeric: Sequence[str] = ()) -> str:
    head = "".join(f"<th>{html.escape(str(c))}</th>" for c in columns)
    right = [c in numeric for c in columns]
    body = []
    for row in rows:
        cells = [f'<td class="num">{html.escape(str(v))}</td>' if r else _cells(v) for v, r in zip(row, right)]
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f'<table id="{table_id}"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


def _grouped_table(groups: Sequence[Tuple[str, Sequence[Tuple[str, str]]]], table_id: str) -> str:
    body = []
    for title, rows in groups:
        body.append(f'<tr><th class="group" colspan="2">{html.escape(title)}</th></tr>')
        body += [f"<tr><td>{html.escape(k)}</td><td class=\"num\">{html.escape(v)}</td></tr>" for k, v in rows]
    return f'<table id="{table_id}"><tbody>{"".join(body)}</tbody></table>'


def _monthly_table(stats: "Statistics") -> str:
    sheet = stats.tear_sheet
    years = sorted(sheet.yearly_returns_pct)
    rows = []
    for year in years:
        cells = [f"<th>{year}</th>"]
        for month in range(1, 13):
            value = sheet.monthly_returns_pct.get(f"{year}-{month:02d}")
            cells.append(_shaded(value))
        cells.append(_shaded(sheet.yearly_returns_pct[year], bold=True))
        rows.append("<tr>" + "".join(cells) + "</tr>")
    head = "".join(f"<th>{m}</th>" for m in ("", *(f"{m:02d}" for m in range(1, 13)), "Year"))
    return f'<table id="monthly-returns"><thead><tr>{head}</tr></thead><tbody>{"".join(rows)}</tbody></table>'


def _shaded(value: Optional[float], bold: bool = False) -> str:
    if value is None:
        return '<td class="num"></td>'
    strength = min(abs(value) / 5.0, 1.0)  # full colour at 5% a month
    rgb = (214, 39, 40) if value > 0 else (44, 160, 44)  # red up, green down, as the exchange shows
    colour = f"rgba({rgb[0]},{rgb[1]},{rgb[2]},{0.12 + 0.5 * strength:.2f})" if value else "transparent"
    text = f"<b>{value:.2f}%</b>" if bold else f"{value:.2f}%"
    return f'<td class="num" style="background:{colour}">{text}</td>'


def drawdown_rows(stats: "Statistics") -> List[List[str]]:
    from .stats import hms

    return [
        [str(rank), wall_clock_text(p.peak_ts, 0), wall_clock_text(p.trough_ts, 0),
         wall_clock_text(p.recovery_ts, 0) if p.recovery_ts is not None else "not recovered",
         f"{p.depth:,.0f}", f"{p.depth_pct:.2f}%", hms(p.duration_seconds), str(p.trading_days)]
        for rank, p in enumerate(stats.tear_sheet.drawdown_periods if stats.tear_sheet else [], 1)
    ]


DRAWDOWN_COLUMNS = ("#", "Peak", "Trough", "Recovery", "Depth (TWD)", "Depth", "Duration", "Trading days")
ROUND_TRIP_HEADINGS = ("Instrument", "Market", "Side", "Entry time", "Entry price", "Exit time", "Exit price",
                       "Quantity", "Gross P&L", "Costs", "Net P&L", "Held (h:mm:ss)")


def round_trip_rows(trips: Sequence[Dict[str, Any]]) -> List[List[str]]:
    """The round trips as the table shows them: prices at tick precision, money rounded to TWD."""
    from .stats import hms, money_text

    return [
        [t["instrument"], t["market"], t["side"], t["entry_time"], price_text(t["market"], t["instrument"],
                                                                              t["entry_price"]),
         t["exit_time"], price_text(t["market"], t["instrument"], t["exit_price"]), f"{t['quantity']:,}",
         money_text(t["gross_pnl"]), money_text(t["costs"]), money_text(t["net_pnl"]), hms(t["holding_seconds"])]
        for t in trips
    ]


def render_html(result: "BacktestResult", stats: "Statistics", curve, trips: List[Dict[str, Any]]) -> str:
    from .stats import MIN_ANNUALISED_DAYS

    title = f"Backtest {result.strategy}: {result.start} to {result.end}"
    instruments = ", ".join(f"{i.code} ({i.market})" for i in result.instruments)
    futures = any(i.market == "Future" for i in result.instruments)
    stamps = [ts for series in result.prices.values() for ts, _ in series]
    stamps += curve["ts"].to_list() + [f["timestamp"] for f in result.fills]
    if stats.tear_sheet is not None:
        days = [d for d, _ in stats.tear_sheet.daily_returns]
    else:
        days = sorted({day_of(ts) for ts in stamps})
    breaks = rangebreaks(closed_stretches(stamps, days, futures))

    parts = [_to_html(_equity_figure(curve, stats, breaks), "equity-chart", first=True)]
    stat_tables = (_table(("Statistic", "Value"), stats.rows(), "statistics")
                   + _grouped_table(stats.metric_rows(), "metrics"))
    prices = []
    for n, inst in enumerate(result.instruments):
        own_fills = [f for f in result.fills if f["code"] == inst.code]
        own_trips = [t for t in trips if t["instrument"] == inst.code]
        fig = _price_figure(inst.code, inst.market, result.prices.get(inst.code, []), own_fills, own_trips, breaks)
        prices.append(_to_html(fig, f"price-chart-{n}", first=False))
    pnl = _to_html(_pnl_figure(trips), "pnl-chart", first=False) if trips else "<p>No round trip.</p>"
    sheet = stats.tear_sheet
    if sheet is not None and sheet.rolling_sharpe:
        rolling = _to_html(_rolling_figure(stats), "rolling-sharpe-chart", first=False)
    else:
        window = sheet.rolling_window if sheet is not None else MIN_ANNUALISED_DAYS
        rolling = f"<p>Needs at least {window} trading days; this run has {stats.trading_days}.</p>"
    monthly = _monthly_table(stats) if sheet is not None else ""
    drawdowns = _table(DRAWDOWN_COLUMNS, drawdown_rows(stats), "drawdown-periods",
                       numeric=("#", "Depth (TWD)", "Depth", "Duration", "Trading days"))
    shown = trips[:MAX_ROUND_TRIP_ROWS]
    note = ""
    if len(trips) > len(shown):
        note = f"<p>The first {len(shown):,} of {len(trips):,} round trips; all are in roundtrips.csv.</p>"
    trip_table = _table(ROUND_TRIP_HEADINGS, round_trip_rows(shown), "round-trips",
                        numeric=("Entry price", "Exit price", "Quantity", "Gross P&L", "Costs", "Net P&L",
                                 "Held (h:mm:ss)"))
    warning = ""
    if stats.small_sample:
        warning = (f'<p class="warning">This run has {stats.trading_days} trading day(s): annualised figures '
                   f"(Sharpe, Sortino, CAGR, volatility, Calmar) need at least {MIN_ANNUALISED_DAYS} to mean "
                   "anything and are marked as not meaningful.</p>")
    costs = result.positions.costs
    slippage = (f"fills booked {costs.slippage_ticks} tick(s) worse than the exchange reported"
                if costs.slippage_ticks else "fills booked at the exchange's prices")
    return f"""<!DOCTYPE html>
<html lang="en">
<head><meta charset="utf-8"><title>{html.escape(title)}</title><style>{_STYLE}</style></head>
<body>
<h1>{html.escape(title)}</h1>
<p>{html.escape(instruments)}; {result.ticks:,} ticks; {len(result.fills):,} fills; {html.escape(slippage)}; fills by the {html.escape(result.fill_model_text)}.</p>
{warning}
{parts[0]}
<h2>Statistics</h2>
<div class="tables">{stat_tables}</div>
<h2>Prices, fills and round trips</h2>
{"".join(prices)}
<h2>P&amp;L per round trip</h2>
{pnl}
<h2>Monthly returns</h2>
{monthly}
<h2>Rolling Sharpe ratio</h2>
{rolling}
<h2>Worst drawdowns</h2>
{drawdowns}
<h2>Round trips</h2>
{note}
{trip_table}
</body>
</html>
"""


def write_html(result: "BacktestResult", stats: "Statistics", curve, trips: List[Dict[str, Any]], path: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(render_html(result, stats, curve, trips))
