"""Charts of the pages: matplotlib figures drawn as inline SVG, long series decimated."""

from __future__ import annotations

import io
import threading
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MAX_POINTS = 2_000
# Above this many points a scatter is embedded as a PNG inside its SVG: one
# vector marker per trade would make a long run's page several megabytes.
RASTER_SCATTER_POINTS = 1_000
STRATEGY_COLOUR = "#1f5fa8"
BENCHMARK_COLOUR = "#8c8c8c"
WIN_COLOUR = "#2e8b57"
LOSS_COLOUR = "#c0392b"


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


def need_matplotlib(what: str) -> None:
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        raise ImportError(f"{what} needs matplotlib; install it with: pip install 'quorex[plot]'") from None


def new_figure(height: float = 3.2, width: float = 9.0) -> Figure:
    """A figure with fixed margins in inches: a layout engine would draw every chart twice."""
    from matplotlib.figure import Figure

    figure = Figure(figsize=(width, height))
    figure.subplots_adjust(left=0.85 / width, right=1.0 - 0.2 / width, bottom=0.55 / height,
                           top=1.0 - 0.15 / height, wspace=0.12, hspace=0.12)
    return figure


# matplotlib's SVG writer reads its font setting from the process-wide rcParams, and
# rc_context saves and restores them without a lock: two threads interleaving would draw
# with each other's setting and leave it changed. Pages drawn at once take turns here.
_RC_LOCK = threading.Lock()


def svg(figure: Figure) -> str:
    """The figure as an inline ``<svg>`` element (text kept as text, no metadata)."""
    import matplotlib

    buffer = io.StringIO()
    # A fixed salt makes the element ids a function of their content: the same report
    # gives the same page (equal content, equal id, even across the page's charts).
    with _RC_LOCK, matplotlib.rc_context({"svg.fonttype": "none", "svg.hashsalt": "quorex"}):
        figure.savefig(buffer, format="svg", metadata={"Date": None, "Creator": None})
    text = buffer.getvalue()
    return text[text.index("<svg"):]


def style_axes(axes: Axes) -> None:
    axes.grid(alpha=0.3)
    for side in ("top", "right"):
        axes.spines[side].set_visible(False)


def plot_line(axes: Axes, series: pd.Series, **style: Any) -> None:
    thin = decimate(series)
    axes.plot(thin.index, thin.to_numpy(dtype=np.float64, na_value=np.nan), **style)


def scatter(axes: Axes, x: np.ndarray, y: np.ndarray, colours: np.ndarray) -> None:
    dense = len(x) > RASTER_SCATTER_POINTS
    axes.scatter(x, y, c=colours, s=6 if dense else 12, alpha=0.55, lw=0, rasterized=dense)


def log_scale(axes: Axes) -> None:
    """A log y axis labelled with plain numbers (mathtext labels are slow to lay out)."""
    from matplotlib.ticker import FuncFormatter, LogLocator, NullFormatter

    axes.set_yscale("log")
    axes.yaxis.set_major_locator(LogLocator(base=10.0, subs=(1.0, 2.0, 3.0, 5.0)))
    axes.yaxis.set_major_formatter(FuncFormatter(lambda value, _: f"{value:g}"))
    axes.yaxis.set_minor_formatter(NullFormatter())


def percent_formatter(decimals: int = 0) -> Any:
    from matplotlib.ticker import PercentFormatter

    return PercentFormatter(1.0, decimals=decimals)


def diverging_styles(values: pd.DataFrame, limit: float) -> pd.DataFrame:
    """Cell backgrounds from red (losses) through yellow to green (gains), saturating at ±``limit``."""
    from matplotlib import colormaps

    limit = limit if np.isfinite(limit) and limit > 0 else 1.0
    numbers = values.to_numpy(dtype=np.float64)
    rgba = colormaps["RdYlGn"](0.5 + 0.5 * np.clip(np.nan_to_num(numbers) / limit, -1.0, 1.0), bytes=True)
    codes = np.array([f"background:#{r:02x}{g:02x}{b:02x}" for r, g, b, _ in rgba.reshape(-1, 4)])
    codes = codes.reshape(numbers.shape)
    return pd.DataFrame(np.where(np.isfinite(numbers), codes, ""), index=values.index, columns=values.columns)
