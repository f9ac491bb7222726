"""A trade's excursions kept consistent with what it realised.

The engine follows a position's path at the closes; an exit inside the day
(a touched stop, an open that gapped through it) is filled at a price the
path never saw. Such a trade can show a worst excursion (MAE) milder than
the loss it realised: a trade stopped at -10 % with an MAE of -5.67 %. The
realised exit is a point of the path, so it bounds the excursions:

* ``mae`` = min(mae, return) and ``gmfe`` = max(gmfe, return);
* when the exit is the new low, the highest level before it is the whole
  path's peak: ``prior_mfe`` = gmfe (before the exit raised it);
* the fall to the exit counts as a drawdown from the peak before it:
  ``max_drawdown`` = min(max_drawdown, (1 + return) / (1 + gmfe) - 1).

All are fractions of the entry value; a trade without a return keeps its
figures.
"""

from __future__ import annotations

import numpy as np


def bounded_by_return(
    mae: np.ndarray, gmfe: np.ndarray, prior_mfe: np.ndarray, max_drawdown: np.ndarray, returns: np.ndarray
) -> dict[str, np.ndarray]:
    """The excursion columns with the realised return as a point of each trade's path."""
    with np.errstate(invalid="ignore"):
        exit_is_low = returns < mae
        fall_to_exit = (1.0 + returns) / (1.0 + gmfe) - 1.0
    return {
        "mae": np.where(exit_is_low, returns, mae),
        "gmfe": np.fmax(gmfe, returns),
        "prior_mfe": np.where(exit_is_low, gmfe, prior_mfe),
        "max_drawdown": np.fmin(max_drawdown, fall_to_exit),  # fmin: no return, no change
    }
