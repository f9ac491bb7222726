"""The HTML of the pages: the document frame, its styles, tables and cell formats."""

from __future__ import annotations

import html
import os
from collections.abc import Callable, Iterable
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from quorex.io.atomic import write_atomically


def escape(value: object) -> str:
    """Text safe inside HTML, quotes included."""
    return html.escape(str(value), quote=True)


def percent(value: float, digits: int = 2) -> str:
    """A fraction as a percentage, "n/a" when undefined."""
    return "n/a" if value is None or not np.isfinite(value) else f"{value:.{digits}%}"


def date_text(value: object) -> str:
    """A date as YYYY-MM-DD, a dash when missing."""
    return "—" if pd.isna(value) else pd.Timestamp(value).strftime("%Y-%m-%d")


def price_text(value: object) -> str:
    """A price with two decimals and thousands separators, "n/a" when missing."""
    return "n/a" if value is None or pd.isna(value) else f"{float(value):,.2f}"


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
    head = ([f"<th>{escape(index)}</th>"] if index is not None else []) + [f"<th>{escape(c)}</th>" for c in columns]
    rows = []
    if styles is None:
        styles = pd.DataFrame("", index=frame.index, columns=frame.columns)
    style_rows = styles.itertuples(index=False, name=None)
    for label, record, row_styles in zip(frame.index, frame.itertuples(index=False, name=None), style_rows):
        cells = [f"<th{_sort_key(label)}>{escape(label)}</th>"] if index is not None else []
        for column, value, style in zip(columns, record, row_styles):
            text = formats.get(column, default_format)(value)
            style_attr = f' style="{style}"' if style else ""
            cells.append(f"<td{_sort_key(value)}{style_attr}>{escape(text)}</td>")
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


def default_format(value: object) -> str:
    if isinstance(value, (float, np.floating)):
        return "n/a" if not np.isfinite(value) else f"{value:.4g}"
    if isinstance(value, pd.Timestamp) or value is pd.NaT:
        return date_text(value)
    return "" if value is None else str(value)


CSS = """
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


SORT_SCRIPT = """
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
        f"<title>{escape(title)}</title><style>{CSS}</style></head>"
        f"<body><main>{''.join(body)}</main>{tail}</body></html>\n"
    )


def written(text: str, path: str | os.PathLike[str] | None) -> str:
    """A page's ``text``, first written to ``path`` (UTF-8, in one step: never a cut-off page)
    when a path is given."""
    if path is not None:
        write_atomically(Path(path), text.encode("utf-8"))
    return text
