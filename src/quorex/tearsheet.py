"""The report as one self-contained HTML page: a tearsheet for a backtest or a sweep.

The page opens offline and archives well: styles and the small sorting script
are inline, every chart is an inline SVG drawn with matplotlib (dense
scatters are embedded as PNG inside their SVG), and nothing is fetched from
anywhere. Long histories stay light because every curve is decimated to at
most ``MAX_POINTS`` points per series, keeping each bucket's extremes.
"""

from __future__ import annotations

import html
import io
import warnings
from collections.abc import Callable, Iterable, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from quorex.report import Report

MAX_POINTS = 2_000
RISKFREE_RATE = 0.02
TRADING_DAYS = 252
ROLLING_WINDOW = 126  # about six months of trading dates
WORST_DRAWDOWNS = 5
TOP_TRADES = 10
MOST_HELD = 10
# Above this many points a scatter is embedded as a PNG inside its SVG: one
# vector marker per trade would make a long run's page several megabytes.
RASTER_SCATTER_POINTS = 1_000
STRATEGY_COLOUR = "#1f5fa8"
BENCHMARK_COLOUR = "#8c8c8c"
WIN_COLOUR = "#2e8b57"
LOSS_COLOUR = "#c0392b"
MONTHS = ("Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec")

# The sweep table's figure columns, in order; the other columns are parameters.
SWEEP_FIGURES = (
    "annual_return", "sharpe_ratio", "sortino_ratio", "max_drawdown", "volatility",
    "calmar_ratio", "win_rate", "profit_factor", "trades", "turnover", "final_equity",
    "psr", "dsr", "error",
)
_PERCENT_FIGURES = {"annual_return", "max_drawdown", "volatility", "win_rate", "psr", "dsr"}


# ---------------------------------------------------------------------------
# Series helpers


def decimate(series: pd.Series, max_points: int = MAX_POINTS) -> pd.Series:
    """At most ``max_points`` points of ``series``, keeping each bucket's min and max.

    The series is cut into equal buckets of consecutive points; each bucket
    keeps the positions of its lowest and highest value (NaN never wins), and
    the first and last point stay, so peaks, troughs and the ends of the
    curve are drawn where they really are.
    """
    if max_points < 4:
        raise ValueError(f"max_points must be at least 4, got {max_points}")
    n = len(series)
    if n <= max_points:
        return series
    buckets = (max_points - 2) // 2
    size = -(-n // buckets)
    values = series.to_numpy(dtype=np.float64, na_value=np.nan)
    padded = np.full(buckets * size, np.nan)
    padded[:n] = values
    grid = padded.reshape(buckets, size)
    offsets = np.arange(buckets) * size
    lowest = np.argmin(np.where(np.isnan(grid), np.inf, grid), axis=1) + offsets
    highest = np.argmax(np.where(np.isnan(grid), -np.inf, grid), axis=1) + offsets
    keep = np.unique(np.concatenate(([0, n - 1], lowest, highest)))
    return series.iloc[keep[keep < n]]


def daily_returns(level: pd.Series) -> pd.Series:
    """Simple returns of a level series (the first date's return is 0)."""
    return level.pct_change(fill_method=None).fillna(0.0)


def drawdown_periods(equity: pd.Series, count: int = WORST_DRAWDOWNS) -> pd.DataFrame:
    """The ``count`` deepest drawdowns of ``equity``, deepest first.

    Columns: "start" (the peak before the fall), "trough", "recovery" (the
    first date back at the peak; NaT when still under water), "depth"
    (negative fraction) and "days" (trading dates from peak to recovery, or to
    the last date).
    """
    columns = ["start", "trough", "recovery", "depth", "days"]
    if equity.empty:
        return pd.DataFrame(columns=columns)
    drawdown = equity / equity.cummax() - 1.0
    at_peak = drawdown.to_numpy() >= 0
    episode = np.cumsum(at_peak)
    frame = pd.DataFrame({"drawdown": drawdown.to_numpy(), "episode": episode, "position": np.arange(len(equity))})
    grouped = frame.groupby("episode")
    depth = grouped["drawdown"].min()
    depth = depth[depth < 0].nsmallest(count)
    if depth.empty:
        return pd.DataFrame(columns=columns)
    first = grouped["position"].min().loc[depth.index].to_numpy()
    trough = grouped["drawdown"].idxmin().loc[depth.index].to_numpy()
    last = grouped["position"].max().loc[depth.index].to_numpy()
    recovered = last + 1 < len(equity)
    end = np.where(recovered, last + 1, len(equity) - 1)
    dates = equity.index
    return pd.DataFrame({
        "start": dates[first],
        "trough": dates[trough],
        "recovery": pd.DatetimeIndex(np.where(recovered, dates[end], pd.NaT)),
        "depth": depth.to_numpy(),
        "days": end - first,
    })


def monthly_table(level: pd.Series) -> pd.DataFrame:
    """Monthly returns as years × months (1..12), with the compounded "year" total."""
    month_end = level.resample("ME").last().dropna()
    start = level.dropna().iloc[:1]
    monthly = pd.concat([start, month_end]).pct_change(fill_method=None).iloc[1:]
    monthly.index = pd.DatetimeIndex(month_end.index)
    table = pd.DataFrame({"year": monthly.index.year, "month": monthly.index.month, "r": monthly.to_numpy()})
    grid = table.pivot(index="year", columns="month", values="r").reindex(columns=range(1, 13))
    grid["year"] = (1.0 + grid[list(range(1, 13))].fillna(0.0)).prod(axis=1) - 1.0
    return grid


def yearly_returns(level: pd.Series) -> pd.Series:
    """Each calendar year's return of a level series (the first from its first value)."""
    year_end = level.resample("YE").last().dropna()
    start = level.dropna().iloc[:1]
    yearly = pd.concat([start, year_end]).pct_change(fill_method=None).iloc[1:]
    return pd.Series(yearly.to_numpy(), index=year_end.index.year)


def level_figures(level: pd.Series, riskfree_rate: float = RISKFREE_RATE) -> dict[str, float]:
    """Annual return, Sharpe, Sortino, Calmar, drawdown, volatility, VaR and CVaR of a level series.

    Daily figures annualised over 252 trading dates, the risk-free rate
    deannualised the same way; VaR and CVaR are those of the monthly returns
    at 5 %. These are the page's own figures for the benchmark.
    """
    level = level.dropna()
    if len(level) < 2 or level.iloc[0] <= 0:
        return {}
    returns = level.pct_change(fill_method=None).iloc[1:]
    excess = returns - ((1.0 + riskfree_rate) ** (1.0 / TRADING_DAYS) - 1.0)
    years = (level.index[-1] - level.index[0]).days / 365.25
    with np.errstate(divide="ignore", invalid="ignore"):
        annual = (level.iloc[-1] / level.iloc[0]) ** (1.0 / years) - 1.0 if years > 0 else np.nan
        volatility = returns.std() * np.sqrt(TRADING_DAYS)
        downside = np.sqrt((np.minimum(excess, 0.0) ** 2).mean()) * np.sqrt(TRADING_DAYS)
        max_drawdown = float((level / level.cummax() - 1.0).min())
        monthly = level.resample("ME").last().pct_change(fill_method=None).dropna()
        var = monthly.quantile(0.05) if len(monthly) else np.nan
        return {
            "annual_return": float(annual),
            "sharpe_ratio": float(excess.mean() * TRADING_DAYS / volatility),
            "sortino_ratio": float(excess.mean() * TRADING_DAYS / downside),
            "calmar_ratio": float(annual / abs(max_drawdown)) if max_drawdown < 0 else np.nan,
            "max_drawdown": max_drawdown,
            "volatility": float(volatility),
            "value_at_risk": float(var),
            "cvalue_at_risk": float(monthly[monthly <= var].mean()) if len(monthly) else np.nan,
        }


def trade_costs(trades: pd.DataFrame, fee_ratio: float, tax_ratio: float) -> pd.DataFrame:
    """Fees and taxes of each trade as fractions of equity, with the dates they fell on.

    An entry costs fee × |position|; an exit (fee + tax) × |position| × the
    trade's growth (exit over entry price, for shorts 2 minus that; 1 +
    return without the fills). A trade split at a rebalance while the stock
    stays held (the records of one round trip, ``quorex.roundtrips``) is
    charged neither at that exit nor at that entry;
    only the change of weight there is, as a buy (fee) or a sale (fee + tax).
    Open trades carry no exit cost. Returns one row per trade (the trades'
    index) with "entry_date", "entry_fee", "exit_date", "exit_fee",
    "exit_tax".
    """
    if trades.empty:
        return pd.DataFrame(columns=["entry_date", "entry_fee", "exit_date", "exit_fee", "exit_tax"])
    from quorex.roundtrips import trip_numbers

    trip = pd.Series(trip_numbers(trades), index=trades.index)
    ordered = trades.assign(_trip=trip).sort_values(["_trip", "entry_index"], kind="stable")
    weight = ordered["position"].abs().fillna(0.0)
    grown = weight * _price_ratio(ordered)
    continued = ordered["_trip"].eq(ordered["_trip"].shift(-1))
    continues = continued.shift(1, fill_value=False)
    change = weight - grown.shift(1)
    entry_fee = np.where(continues, fee_ratio * change.clip(lower=0.0), fee_ratio * weight)
    sold_at_split = (-change).clip(lower=0.0).shift(-1, fill_value=0.0).where(continued, 0.0)
    is_open = _open_trades(ordered)
    closed_exit = grown.where(~continued & ~is_open, 0.0) + sold_at_split
    return pd.DataFrame({
        "entry_date": ordered["entry_date"],
        "entry_fee": entry_fee,
        "exit_date": ordered["exit_date"],
        "exit_fee": fee_ratio * closed_exit,
        "exit_tax": tax_ratio * closed_exit,
    }, index=ordered.index).loc[trades.index]


def _price_ratio(trades: pd.DataFrame) -> pd.Series:
    """Exit over entry value of each trade: from the fills when known, else from the return."""
    from_return = 1.0 + trades["return"].fillna(0.0)
    if {"entry_price", "exit_price"} <= set(trades.columns):
        ratio = trades["exit_price"] / trades["entry_price"].where(trades["entry_price"] > 0)
        if "position" in trades:
            # a short's value grows as the price falls
            ratio = ratio.where(trades["position"] >= 0, 2.0 - ratio)
        return ratio.fillna(from_return)
    return from_return


def _open_trades(trades: pd.DataFrame) -> pd.Series:
    """True for trades still open at the end of the run."""
    is_open = trades["exit_date"].isna()
    if "exit_index" in trades:
        is_open |= trades["exit_index"].eq(-1)
    if "exit_reason" in trades:
        is_open |= trades["exit_reason"].eq("open")
    return is_open


def exit_reason_table(trades: pd.DataFrame) -> pd.DataFrame:
    """By exit reason: number of trades, average return, and total contribution.

    The contribution is the sum of position × return, in fractions of equity
    at each entry (it ignores compounding between trades).
    """
    contribution = trades["position"].abs() * trades["return"]
    grouped = trades.assign(contribution=contribution).groupby("exit_reason", sort=False, observed=True)
    table = pd.DataFrame({
        "trades": grouped.size(),
        "average_return": grouped["return"].mean(),
        "contribution": grouped["contribution"].sum(),
    })
    return table.sort_values("trades", ascending=False)


# ---------------------------------------------------------------------------
# Charts and markup


def _need_matplotlib(what: str) -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(f"{what} needs matplotlib; install it with: pip install 'quorex[plot]'") from None


def _figure(height: float = 3.2, width: float = 9.0) -> Figure:
    """A figure with fixed margins in inches: a layout engine would draw every chart twice."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width, height))
    figure.subplots_adjust(left=0.85 / width, right=1.0 - 0.2 / width, bottom=0.55 / height,
                           top=1.0 - 0.15 / height, wspace=0.12, hspace=0.12)
    return figure


def svg(figure: Figure) -> str:
    """The figure as an inline ``<svg>`` element (text kept as text, no metadata)."""
    import matplotlib

    buffer = io.StringIO()
    with matplotlib.rc_context({"svg.fonttype": "none"}):
        figure.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    text = buffer.getvalue()
    return text[text.index("<svg"):]


def _style(axes: Axes) -> None:
    axes.grid(alpha=0.3)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)


def _plot_line(axes: Axes, series: pd.Series, **style: Any) -> None:
    thin = decimate(series)
    axes.plot(thin.index, thin.to_numpy(dtype=np.float64, na_value=np.nan), **style)


def _scatter(axes: Axes, x: np.ndarray, y: np.ndarray, colours: np.ndarray) -> None:
    dense = len(x) > RASTER_SCATTER_POINTS
    axes.scatter(x, y, c=colours, s=6 if dense else 12, alpha=0.55, lw=0, rasterized=dense)


def _e(value: object) -> str:
    return html.escape(str(value), quote=True)


def _percent(value: float, digits: int = 2) -> str:
    return "n/a" if value is None or not np.isfinite(value) else f"{value:.{digits}%}"


def _date(value: object) -> str:
    return "—" if pd.isna(value) else pd.Timestamp(value).strftime("%Y-%m-%d")


def html_table(
    frame: pd.DataFrame,
    formats: dict[str, Callable[[Any], str]] | None = None,
    *,
    index: str | None = None,
    sortable: bool = False,
    styles: pd.DataFrame | None = None,
) -> str:
    """A DataFrame as an HTML table; ``index`` names the index column (None: left out).

    Numeric cells carry their raw value in ``data-v`` so the inline script
    can sort them; ``styles`` (same shape, strings) gives optional inline styles.
    """
    formats = formats or {}
    columns = list(frame.columns)
    head = ([f"<th>{_e(index)}</th>"] if index is not None else []) + [f"<th>{_e(c)}</th>" for c in columns]
    rows = []
    if styles is None:
        styles = pd.DataFrame("", index=frame.index, columns=frame.columns)
    style_rows = styles.itertuples(index=False, name=None)
    for label, record, row_styles in zip(frame.index, frame.itertuples(index=False, name=None), style_rows):
        cells = [f"<th{_sort_key(label)}>{_e(label)}</th>"] if index is not None else []
        for column, value, style in zip(columns, record, row_styles):
            text = formats.get(column, _default_format)(value)
            style_attr = f' style="{style}"' if style else ""
            cells.append(f"<td{_sort_key(value)}{style_attr}>{_e(text)}</td>")
        rows.append("<tr>" + "".join(cells) + "</tr>")
    kind = ' class="sortable"' if sortable else ""
    return (f"<table{kind}><thead><tr>{''.join(head)}</tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table>")


def _sort_key(value: object) -> str:
    """The raw value of a numeric cell for the sorting script ("" for others)."""
    return f' data-v="{float(value)!r}"' if _is_number(value) else ""


def _is_number(value: object) -> bool:
    numeric = isinstance(value, (int, float, np.integer, np.floating)) and not isinstance(value, (bool, np.bool_))
    return numeric and bool(np.isfinite(value))


def _default_format(value: object) -> str:
    if isinstance(value, (float, np.floating)):
        return "n/a" if not np.isfinite(value) else f"{value:.4g}"
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        return _date(value)
    return "" if value is None else str(value)


_CSS = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:#222;margin:0;background:#fafafa}
main{max-width:1100px;margin:0 auto;padding:18px 24px 48px;background:#fff}
h1{font-size:24px;margin:8px 0 4px}h2{font-size:18px;margin:28px 0 8px;border-bottom:1px solid #ddd;padding-bottom:4px}
h3{font-size:15px;margin:18px 0 6px}.meta{color:#555;margin:2px 0}.note{color:#666;font-size:12.5px}
table{border-collapse:collapse;margin:6px 0 12px;font-variant-numeric:tabular-nums}
th,td{padding:3px 8px;border-bottom:1px solid #eee;text-align:right;white-space:nowrap}
thead th{background:#f2f4f7;position:sticky;top:0}tbody th{text-align:left;font-weight:600}
table.sortable thead th{cursor:pointer}table.sortable thead th:hover{background:#e4e8ef}
.scroll{max-height:520px;overflow:auto;border:1px solid #eee}
svg{max-width:100%;height:auto}
@media print{.scroll{max-height:none;overflow:visible}main{max-width:none}}
"""

# Click a heading to sort by its column (largest first, again to reverse).
# Numbers sort by their raw value; cells without one (n/a, text) go last.
_SORT_SCRIPT = """
document.querySelectorAll("table.sortable").forEach(function(table){
  table.querySelectorAll("thead th").forEach(function(th, column){
    th.addEventListener("click", function(){
      var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
      var sign = th.getAttribute("data-order") === "desc" ? 1 : -1;
      function key(row){
        var cell = row.cells[column];
        return cell.hasAttribute("data-v") ? parseFloat(cell.getAttribute("data-v")) : cell.textContent;
      }
      rows.sort(function(a, b){
        var u = key(a), v = key(b);
        if (typeof u !== typeof v) return typeof u === "number" ? -1 : 1;
        return u === v ? 0 : (u < v ? -sign : sign);
      });
      rows.forEach(function(row){ body.appendChild(row); });
      th.setAttribute("data-order", sign < 0 ? "desc" : "asc");
    });
  });
});
"""


def page(title: str, body: Iterable[str], *, script: str = "") -> str:
    """A whole HTML document: inline styles, an empty icon (so none is requested), ``body``."""
    tail = f"<script>{script}</script>" if script else ""
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width,initial-scale=1">'
        '<link rel="icon" href="data:,">'
        f"<title>{_e(title)}</title><style>{_CSS}</style></head>"
        f"<body><main>{''.join(body)}</main>{tail}</body></html>\n"
    )


def diverging_styles(values: pd.DataFrame, limit: float) -> pd.DataFrame:
    """Cell backgrounds from red (losses) through yellow to green (gains), saturating at ±``limit``."""
    from matplotlib import colormaps

    limit = limit if np.isfinite(limit) and limit > 0 else 1.0
    numbers = values.to_numpy(dtype=np.float64)
    rgba = colormaps["RdYlGn"](0.5 + 0.5 * np.clip(np.nan_to_num(numbers) / limit, -1.0, 1.0), bytes=True)
    codes = np.array([f"background:#{r:02x}{g:02x}{b:02x}" for r, g, b, _ in rgba.reshape(-1, 4)])
    codes = codes.reshape(numbers.shape)
    return pd.DataFrame(np.where(np.isfinite(numbers), codes, ""), index=values.index, columns=values.columns)


# ---------------------------------------------------------------------------
# The backtest page


def report_html(report: Report, *, title: str | None = None, benchmark_name: str | None = None) -> str:
    """The backtest ``report`` as a self-contained HTML page.

    ``title`` heads the page (default: the market and period);
    ``benchmark_name`` labels the benchmark (default "benchmark").
    """
    _need_matplotlib("the report page")
    equity = report._invested()
    if equity.empty:
        raise ValueError("the report has no equity curve: nothing to draw")
    benchmark = _benchmark_on(report, equity.index)
    name = benchmark_name or "benchmark"
    start, end = equity.index[0], equity.index[-1]
    market = _market_name(report)
    title = title or f"Backtest on {market}, {_date(start)} to {_date(end)}"
    summary = report.summary(RISKFREE_RATE)
    trips = holdings(report)
    # Flat stretches make some ratios 0/0; they show as n/a.
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [
            _header(report, summary, title, equity.index),
            _headline(summary, benchmark, name),
            _equity_section(equity, benchmark, name),
            _calendar_section(equity, benchmark, name),
            _rolling_section(equity, benchmark, name),
            _trades_section(report, trips, equity),
            _exposure_section(report, trips, equity.index),
            _best_worst_section(trips),
        ]
    return page(title, sections)


def holdings(report: Report) -> pd.DataFrame:
    """The trades as the page shows them: round trips when the report has them, else its records.

    A position kept through a rebalance is one round trip but two records;
    its excursions, return and exit reason are those of the whole holding.
    """
    trips = getattr(report, "round_trips", None)
    return trips if isinstance(trips, pd.DataFrame) else report.trades


def _benchmark_on(report: Report, index: pd.DatetimeIndex) -> pd.Series | None:
    from quorex.report import _rebased

    return _rebased(report.benchmark, index)


def _market_name(report: Report) -> str:
    getter = getattr(report.market, "get_name", None)
    return str(getter()) if callable(getter) else str(report.market or "custom")


def _figure_labels() -> dict[str, tuple[str | None, str]]:
    """Headline label → (Metrics accessor or None, format kind), in the summary's order."""
    from quorex.report import SUMMARY_FIGURES, TRADE_FIGURES

    return SUMMARY_FIGURES | {label: (None, kind) for label, kind in TRADE_FIGURES.items()}


def _header(report: Report, summary: pd.DataFrame, title: str, dates: pd.DatetimeIndex) -> str:
    import quorex

    start, end = dates[0], dates[-1]
    years = (end - start).days / 365.25
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    settings = summary.loc[~summary.index.isin(list(_figure_labels())), "text"]
    rules = " · ".join(f"{_e(label.lower())}: {_e(text)}" for label, text in settings.items())
    return (
        f"<header><h1>{_e(title)}</h1>"
        f'<p class="meta">{_date(start)} to {_date(end)} ({years:.1f} years, {len(dates):,} trading dates,'
        f" {len(report.rebalance_dates):,} rebalances)</p>"
        f'<p class="meta">{rules}</p>'
        f'<p class="meta">made {run_date} with quorex {_e(quorex.__version__)}</p></header>'
    )


def _headline(summary: pd.DataFrame, benchmark: pd.Series | None, name: str) -> str:
    from quorex.report import format_figure

    theirs = level_figures(benchmark) if benchmark is not None else {}
    labels = _figure_labels()
    shown = summary.loc[summary.index.isin(list(labels)), "text"]
    rows = [
        f"<tr><th>{_e(label)}</th><td>{_e(text)}</td>"
        f"<td>{_e(format_figure(theirs.get(labels[label][0] or '', np.nan), labels[label][1]))}</td></tr>"
        for label, text in shown.items()
    ]
    return (
        "<section><h2>Headline figures</h2>"
        f"<table><thead><tr><th></th><th>strategy</th><th>{_e(name)}</th></tr></thead>"
        f"<tbody>{''.join(rows)}</tbody></table>"
        f'<p class="note">Risk-free rate {RISKFREE_RATE:.0%}. The {_e(name)} column is computed by the page '
        "from its daily levels (252 trading dates a year); n/a where a figure needs trades.</p></section>"
    )


def _equity_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    figure = _figure(3.6)
    axes = figure.subplots()
    _plot_line(axes, equity, color=STRATEGY_COLOUR, lw=1.3, label="strategy")
    if benchmark is not None:
        _plot_line(axes, benchmark, color=BENCHMARK_COLOUR, lw=1.0, label=name)
    positive = equity.min() > 0 and (benchmark is None or benchmark.min() > 0)
    if positive:
        _log_scale(axes)
    axes.set_ylabel("equity (start = 1)" + (", log scale" if positive else ""))
    axes.legend(loc="upper left", frameon=False)
    _style(axes)

    worst = drawdown_periods(equity)
    under = _figure(2.4)
    axes = under.subplots()
    drawdown = equity / equity.cummax() - 1.0
    thin = decimate(drawdown)
    axes.fill_between(thin.index, thin.to_numpy(), 0.0, color=LOSS_COLOUR, alpha=0.55, lw=0)
    for rank, period in enumerate(worst.itertuples(), start=1):
        stop = period.recovery if pd.notna(period.recovery) else equity.index[-1]
        axes.axvspan(period.start, stop, color="#f0b429", alpha=0.18, lw=0)
        axes.annotate(str(rank), (period.trough, period.depth), fontsize=8, ha="center", va="top")
    axes.set_ylabel("drawdown")
    axes.yaxis.set_major_formatter(_percent_formatter())
    _style(axes)
    listing = html_table(
        worst.set_axis(range(1, len(worst) + 1)),
        {"start": _date, "trough": _date, "recovery": lambda v: "not yet" if pd.isna(v) else _date(v),
         "depth": _percent, "days": lambda v: f"{int(v):,}"},
        index="#",
    )
    return (
        "<section><h2>Equity and drawdowns</h2>" + svg(figure)
        + "<h3>Underwater curve, the five worst drawdowns shaded</h3>" + svg(under) + listing
        + '<p class="note">days: trading dates from the peak to the recovery (or to the last date).</p></section>'
    )


def _log_scale(axes: Axes) -> None:
    """A log y axis labelled with plain numbers (mathtext labels are slow to lay out)."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    axes.set_yscale("log")
    axes.yaxis.set_major_locator(LogLocator(base=10.0, subs=(1.0, 2.0, 3.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())


def _percent_formatter() -> Any:
    from matplotlib.ticker import PercentFormatter

    return PercentFormatter(1.0, decimals=0)


def _calendar_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    grid = monthly_table(equity)
    limit = float(np.nanmax(np.abs(grid[list(range(1, 13))].to_numpy()))) if grid.size else 1.0
    shown = grid.rename(columns=dict(zip(range(1, 13), MONTHS)))
    heatmap = html_table(
        shown, {column: lambda v: "" if pd.isna(v) else f"{v:.1%}" for column in shown.columns},
        index="year", styles=diverging_styles(shown, limit),
    )
    ours = yearly_returns(equity)
    theirs = yearly_returns(benchmark).reindex(ours.index) if benchmark is not None else None
    figure = _figure(2.8)
    axes = figure.subplots()
    positions = np.arange(len(ours))
    width = 0.4 if theirs is not None else 0.7
    axes.bar(positions - (width / 2 if theirs is not None else 0), ours.to_numpy(), width,
             color=STRATEGY_COLOUR, label="strategy")
    if theirs is not None:
        axes.bar(positions + width / 2, theirs.to_numpy(), width, color=BENCHMARK_COLOUR, label=name)
    axes.set_xticks(positions, [str(y) for y in ours.index], rotation=45 if len(ours) > 12 else 0, fontsize=8)
    axes.axhline(0.0, color="#444", lw=0.7)
    axes.yaxis.set_major_formatter(_percent_formatter())
    axes.legend(loc="upper left", frameon=False)
    _style(axes)
    return (
        "<section><h2>Monthly and yearly returns</h2>" + heatmap
        + "<h3>Yearly returns</h3>" + svg(figure) + "</section>"
    )


def _rolling_section(equity: pd.Series, benchmark: pd.Series | None, name: str) -> str:
    returns = daily_returns(equity)
    riskfree = (1.0 + RISKFREE_RATE) ** (1.0 / TRADING_DAYS) - 1.0
    figure = _figure(4.2)
    top, bottom = figure.subplots(2, 1, sharex=True)
    series = [("strategy", returns, STRATEGY_COLOUR)]
    if benchmark is not None:
        series.append((name, daily_returns(benchmark), BENCHMARK_COLOUR))
    for label, daily, colour in series:
        window = daily.rolling(ROLLING_WINDOW, min_periods=ROLLING_WINDOW)
        deviation = window.std()
        sharpe = (window.mean() - riskfree) / deviation.where(deviation > 0) * np.sqrt(TRADING_DAYS)
        _plot_line(top, sharpe.dropna(), color=colour, lw=1.0, label=label)
        _plot_line(bottom, (deviation * np.sqrt(TRADING_DAYS)).dropna(), color=colour, lw=1.0, label=label)
    top.axhline(0.0, color="#444", lw=0.7)
    top.set_ylabel("Sharpe ratio")
    top.legend(loc="upper left", frameon=False)
    bottom.set_ylabel("volatility")
    bottom.yaxis.set_major_formatter(_percent_formatter())
    for axes in (top, bottom):
        _style(axes)
    return (
        f"<section><h2>Rolling six months ({ROLLING_WINDOW} trading dates)</h2>" + svg(figure)
        + f'<p class="note">Annualised, risk-free rate {RISKFREE_RATE:.0%}.</p></section>'
    )


def _trades_section(report: Report, trades: pd.DataFrame, equity: pd.Series) -> str:
    parts = ["<section><h2>Trades</h2>"]
    if trades.empty:
        return parts[0] + '<p class="note">No trades.</p></section>'
    if trades is not report.trades:
        parts.append(f'<p class="note">{len(trades):,} round trips ({len(report.trades):,} trade records: a '
                     "position kept through a rebalance is one round trip).</p>")
    parts.append(_excursion_charts(trades))
    if "exit_reason" in trades:
        table = exit_reason_table(trades)
        parts.append("<h3>Exit reasons</h3>" + html_table(
            table.rename(columns={"average_return": "average return"}),
            {"trades": lambda v: f"{int(v):,}", "average return": _percent, "contribution": _percent},
            index="exit reason",
        ) + '<p class="note">contribution: the sum of |position| × return over the trades, in fractions of '
            "equity at each entry (no compounding).</p>")
    parts.append(_costs_part(report, equity))
    return "".join(parts) + "</section>"


def _excursion_charts(trades: pd.DataFrame) -> str:
    final = trades["return"].to_numpy(dtype=np.float64)
    colours = np.where(final > 0, WIN_COLOUR, LOSS_COLOUR)
    figure = _figure(3.6)
    left, right = figure.subplots(1, 2, sharey=True)
    for axes, column, label in ((left, "mae", "MAE (worst excursion)"), (right, "gmfe", "MFE (best excursion)")):
        if column not in trades:
            continue
        _scatter(axes, trades[column].to_numpy(dtype=np.float64), final, colours)
        axes.set_xlabel(label)
        axes.axhline(0.0, color="#444", lw=0.6)
        axes.xaxis.set_major_formatter(_percent_formatter())
        axes.yaxis.set_major_formatter(_percent_formatter())
        _style(axes)
    left.set_ylabel("final return")
    return (
        "<h3>Excursions against the final return</h3>" + svg(figure)
        + f'<p class="note">{int((final > 0).sum()):,} winners (green), {int((final <= 0).sum()):,} losers (red).</p>'
    )


def _costs_part(report: Report, equity: pd.Series) -> str:
    costs = trade_costs(report.trades, report.fee_ratio, report.tax_ratio)
    years = max((equity.index[-1] - equity.index[0]).days / 365.25, 1.0 / 365.25)
    fees = float(costs["entry_fee"].sum() + costs["exit_fee"].sum())
    taxes = float(costs["exit_tax"].sum())
    rows = pd.DataFrame({
        "paid (fractions of equity)": [fees, taxes, fees + taxes],
        "drag on annual return": [fees / years, taxes / years, (fees + taxes) / years],
    }, index=["fees", "taxes", "total"])
    return (
        "<h3>Costs paid</h3>" + html_table(rows, {c: _percent for c in rows.columns}, index="")
        + '<p class="note">Estimated from the trades: an entry costs fee × |position|, an exit (fee + tax) × '
        "|position| × the trade's growth (exit over entry price); a position carried through a rebalance is "
        "charged only for its change of weight there, and open trades for their entry. Each cost is a fraction "
        "of the equity at the time; the drag is their sum divided by the years of the run, without "
        "compounding.</p>"
    )


def _exposure_section(report: Report, trades: pd.DataFrame, index: pd.DatetimeIndex) -> str:
    position = report.position.reindex(index)
    # NumPy on one array: a universe of thousands of stocks over decades is
    # tens of millions of weights, too many for frame-wide fillna and abs.
    weights = np.nan_to_num(position.to_numpy(dtype=np.float64), copy=False)
    count = pd.Series(np.count_nonzero(weights, axis=1).astype(np.float64), index=index)
    figure = _figure(4.2)
    top, bottom = figure.subplots(2, 1, sharex=True)
    _plot_line(top, count, color=STRATEGY_COLOUR, lw=1.0, drawstyle="steps-post")
    top.set_ylabel("stocks held")
    _plot_line(bottom, pd.Series(np.abs(weights).sum(axis=1), index=index), color=STRATEGY_COLOUR, lw=1.0,
               label="gross")
    _plot_line(bottom, pd.Series(weights.sum(axis=1), index=index), color="#e67e22", lw=1.0, ls="--", label="net")
    bottom.set_ylabel("exposure")
    bottom.yaxis.set_major_formatter(_percent_formatter())
    bottom.legend(loc="lower left", frameon=False, ncols=2)
    for axes in (top, bottom):
        _style(axes)
    days = pd.Series(np.count_nonzero(weights, axis=0), index=position.columns)
    most = days[days > 0].nlargest(MOST_HELD)
    chosen = weights[:, position.columns.get_indexer(most.index)]
    with np.errstate(invalid="ignore"):
        average = np.where(chosen != 0, chosen, 0.0).sum(axis=0) / most.to_numpy()
    trade_counts = trades["stock_id"].astype(str).value_counts()
    table = pd.DataFrame({
        "days held": most.to_numpy(),
        "share of the run": most.to_numpy() / max(len(index), 1),
        "average weight": average,
        "trades": trade_counts.reindex(most.index.astype(str)).fillna(0).to_numpy(),
    }, index=most.index)
    return (
        "<section><h2>Exposure and holdings</h2>" + svg(figure)
        + '<p class="note">From the target weights applied at each rebalance (not drifted market values).</p>'
        + "<h3>The ten most-held stocks</h3>" + html_table(
            table, {"days held": lambda v: f"{int(v):,}", "share of the run": _percent,
                    "average weight": _percent, "trades": lambda v: f"{int(v):,}"},
            index="stock",
        ) + "</section>"
    )


def _best_worst_section(trades: pd.DataFrame) -> str:
    if trades.empty:
        return ""
    columns = [c for c in ("stock_id", "entry_date", "exit_date", "period", "position", "entry_price",
                           "exit_price", "exit_reason", "mae", "gmfe", "return") if c in trades]
    ranked = trades.dropna(subset=["return"]).sort_values("return", ascending=False, kind="stable")
    formats = {"entry_date": _date, "exit_date": _date, "position": _percent, "mae": _percent,
               "gmfe": _percent, "return": _percent, "period": lambda v: f"{int(v):,}",
               "entry_price": _price, "exit_price": _price}

    formats = {TRADE_HEADINGS.get(column, column): style for column, style in formats.items()}

    def listing(frame: pd.DataFrame) -> str:
        shown = frame[columns].rename(columns=TRADE_HEADINGS).reset_index(drop=True)
        shown.index = shown.index + 1
        return html_table(shown, formats, index="#")

    return (
        "<section><h2>Best and worst trades</h2><h3>Best 10</h3>" + listing(ranked.head(TOP_TRADES))
        + "<h3>Worst 10</h3>" + listing(ranked.tail(TOP_TRADES).iloc[::-1]) + "</section>"
    )


TRADE_HEADINGS = {
    "stock_id": "stock", "entry_date": "entry", "exit_date": "exit", "period": "days", "entry_price": "entry price",
    "exit_price": "exit price", "exit_reason": "exit reason", "mae": "MAE", "gmfe": "MFE",
}


def _price(value: object) -> str:
    return "n/a" if value is None or pd.isna(value) else f"{float(value):,.2f}"


# ---------------------------------------------------------------------------
# The sweep page


def sweep_html(
    table: pd.DataFrame,
    returns: pd.DataFrame,
    *,
    by: str = "sharpe_ratio",
    params: Sequence[str] | None = None,
    pbo: Any = None,
    title: str | None = None,
) -> str:
    """A parameter sweep as a self-contained HTML page.

    ``table`` has one row per parameter set (parameter columns, then the
    figure columns); ``returns`` the sets' daily returns, dates × sets, its
    columns the labels of ``table``'s rows. ``by`` ranks the sets (higher is
    better); the heatmap shows it over the first two of ``params`` (default:
    the table's parameter columns). ``pbo``, when given, has ``pbo``,
    ``logits``, ``in_sample`` and ``out_of_sample``.
    """
    _need_matplotlib("the sweep page")
    if by not in table.columns:
        raise ValueError(f"by={by!r} is not a column of the sweep table (columns: {list(table.columns)})")
    params = list(params) if params is not None else [c for c in table.columns if c not in SWEEP_FIGURES]
    missing = [p for p in params if p not in table.columns]
    if missing:
        raise ValueError(f"params {missing} are not columns of the sweep table")
    returns = _returns_by_set(table, returns)
    ranked = table.sort_values(by, ascending=False, na_position="last", kind="stable")
    title = title or f"Parameter sweep: {len(table):,} sets ranked by {by}"
    with np.errstate(divide="ignore", invalid="ignore"), warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        sections = [
            _sweep_header(title, table, returns, by),
            _sweep_table(ranked, params, by),
            _sweep_heatmap(table, params, by),
            _overfitting_section(pbo),
            _dsr_section(ranked, by),
            _best_curves(ranked, returns, by),
        ]
    return page(title, sections, script=_SORT_SCRIPT)


def _returns_by_set(table: pd.DataFrame, returns: pd.DataFrame) -> pd.DataFrame:
    """``returns`` with one column per row of ``table``, in the table's row order."""
    missing = table.index.difference(returns.columns)
    if missing.empty:
        return returns[table.index]
    if isinstance(table.index, pd.RangeIndex) and returns.shape[1] == len(table):
        return returns.set_axis(table.index, axis=1)
    raise ValueError(
        f"the returns have no column for sets {list(missing[:5])}"
        f"{' ...' if len(missing) > 5 else ''} of the sweep table"
    )


def _sweep_header(title: str, table: pd.DataFrame, returns: pd.DataFrame, by: str) -> str:
    import quorex

    dates = returns.index
    period = f"{_date(dates[0])} to {_date(dates[-1])}" if len(dates) else "no dates"
    failed = int(table["error"].notna().sum()) if "error" in table else 0
    run_date = pd.Timestamp.now(tz="UTC").strftime("%Y-%m-%d %H:%M UTC")
    return (
        f"<header><h1>{_e(title)}</h1><p class=\"meta\">{len(table):,} parameter sets · {period}"
        f" · ranked by {_e(by)}{f' · {failed:,} failed' if failed else ''}</p>"
        f'<p class="meta">made {run_date} with quorex {_e(quorex.__version__)}</p></header>'
    )


def _sweep_table(ranked: pd.DataFrame, params: list[str], by: str) -> str:
    columns = params + [c for c in ranked.columns if c not in params]
    formats = {c: (_percent if c in _PERCENT_FIGURES else _default_format) for c in columns}
    formats |= {"trades": lambda v: "n/a" if pd.isna(v) else f"{int(v):,}",
                "error": lambda v: "" if v is None or (isinstance(v, float) and np.isnan(v)) else str(v)}
    return (
        f"<section><h2>All sets, best {_e(by)} first</h2>"
        '<p class="note">Click a column heading to sort by it.</p><div class="scroll">'
        + html_table(ranked[columns], formats, index="set", sortable=True) + "</div></section>"
    )


def _sweep_heatmap(table: pd.DataFrame, params: list[str], by: str) -> str:
    if not params:
        return ""
    figure = _figure(3.8, 7.0)
    axes = figure.subplots()
    if len(params) == 1:
        line = table.groupby(params[0])[by].mean()
        axes.plot(np.arange(len(line)), line.to_numpy(dtype=np.float64), marker="o", color=STRATEGY_COLOUR)
        axes.set_xticks(np.arange(len(line)), [str(v) for v in line.index])
        axes.set_xlabel(params[0])
        axes.set_ylabel(by)
        _style(axes)
    else:
        grid = table.pivot_table(index=params[0], columns=params[1], values=by, aggfunc="mean")
        values = grid.to_numpy(dtype=np.float64)
        image = axes.imshow(values, cmap="RdYlGn", aspect="auto", origin="lower")
        axes.set_xticks(np.arange(grid.shape[1]), [str(v) for v in grid.columns], fontsize=8)
        axes.set_yticks(np.arange(grid.shape[0]), [str(v) for v in grid.index], fontsize=8)
        axes.set_xlabel(params[1])
        axes.set_ylabel(params[0])
        if values.size <= 150:
            for (row, column), value in np.ndenumerate(values):
                if np.isfinite(value):
                    axes.text(column, row, f"{value:.2f}", ha="center", va="center", fontsize=7)
        figure.colorbar(image, ax=axes, label=by)
    others = ", averaged over the other parameters" if len(params) > 2 else ""
    return (
        f"<section><h2>{_e(by)} over {_e(' and '.join(params[:2]))}</h2>" + svg(figure)
        + (f'<p class="note">Mean of each cell{others}.</p>' if others else "") + "</section>"
    )


def _overfitting_section(pbo: Any) -> str:
    if pbo is None:
        return ""
    in_sample = np.asarray(pbo.in_sample, dtype=np.float64)
    out_of_sample = np.asarray(pbo.out_of_sample, dtype=np.float64)
    logits = np.asarray(pbo.logits, dtype=np.float64)
    figure = _figure(3.6)
    left, right = figure.subplots(1, 2)
    colours = np.where(out_of_sample > 0, WIN_COLOUR, LOSS_COLOUR)
    _scatter(left, in_sample, out_of_sample, colours)
    left.axhline(0.0, color="#444", lw=0.6)
    left.set_xlabel("in-sample Sharpe of the selected set")
    left.set_ylabel("its out-of-sample Sharpe")
    finite = logits[np.isfinite(logits)]
    right.hist(finite, bins=min(40, max(5, len(finite) // 5 or 5)), color=STRATEGY_COLOUR, alpha=0.8)
    right.axvline(0.0, color=LOSS_COLOUR, lw=1.0)
    right.set_xlabel("logit of the selected set's out-of-sample rank")
    right.set_ylabel("splits")
    for axes in (left, right):
        _style(axes)
    return (
        "<section><h2>Overfitting</h2>"
        f'<p class="meta">Probability of backtest overfitting: <b>{_percent(float(pbo.pbo), 1)}</b>'
        f" over {len(logits):,} splits (the share of logits at or below 0).</p>" + svg(figure) + "</section>"
    )


def _dsr_section(ranked: pd.DataFrame, by: str) -> str:
    if "dsr" not in ranked:
        return ""
    dsr = ranked["dsr"].to_numpy(dtype=np.float64)
    figure = _figure(2.8)
    axes = figure.subplots()
    positions = np.arange(1, len(dsr) + 1)
    if len(dsr) <= 120:
        axes.bar(positions, dsr, color=np.where(dsr >= 0.95, WIN_COLOUR, STRATEGY_COLOUR), width=0.8)
    else:
        axes.plot(positions, dsr, color=STRATEGY_COLOUR, lw=0.8, marker=".", ms=2, ls="none")
    axes.axhline(0.95, color=LOSS_COLOUR, lw=0.8, ls="--")
    axes.set_ylim(0.0, 1.0)
    axes.set_xlabel(f"set, by rank of {by}")
    axes.set_ylabel("deflated Sharpe ratio")
    _style(axes)
    return (
        "<section><h2>Deflated Sharpe ratio per set</h2>" + svg(figure)
        + f'<p class="note">{int((dsr >= 0.95).sum()):,} of {len(dsr):,} sets at or above 0.95 (dashed).</p></section>'
    )


def _best_curves(ranked: pd.DataFrame, returns: pd.DataFrame, by: str) -> str:
    best = ranked.index[:TOP_TRADES]
    if returns.empty or len(best) == 0:
        return ""
    equity = (1.0 + returns[best].fillna(0.0)).cumprod()
    figure = _figure(3.8)
    axes = figure.subplots()
    palette = [f"C{i}" for i in range(10)]
    for colour, label in zip(palette, best):
        _plot_line(axes, equity[label], color=colour, lw=1.0, label=str(label))
    if (equity > 0).all().all():
        _log_scale(axes)
    axes.set_ylabel("equity (start = 1)")
    axes.legend(loc="upper left", frameon=False, fontsize=8, ncols=2, title=f"set (best {by})")
    _style(axes)
    return f"<section><h2>Equity of the best {len(best)} sets</h2>" + svg(figure) + "</section>"
