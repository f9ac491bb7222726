"""Row-by-row ranks and correlations of panels (dates × names), vectorised over the whole panel.

Each row is one date's cross-section. A name missing (NaN) in either panel
is left out of that row: the ranks are taken among the names both panels
know that day (pairwise-complete), ties share their average rank, and a row
in which either side does not vary has no correlation (NaN).

The panel is walked in blocks of rows small enough for the processor's
cache: sorting, gathering and scattering a 2,000-name panel is several
times faster on blocks of a few dozen dates than on the whole array, and
every row's result is the same either way.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence

import numpy as np

# Cells per block: 512 KB of float64 per array.
BLOCK_CELLS = 1 << 16
# Rows up to 2 ** PACKED_BITS names are sorted with the column packed into the key.
PACKED_BITS = 16


def row_blocks(n_rows: int, n_cols: int) -> Iterator[slice]:
    """Consecutive row slices of about ``BLOCK_CELLS`` cells."""
    step = max(1, BLOCK_CELLS // max(n_cols, 1))
    for start in range(0, n_rows, step):
        yield slice(start, min(start + step, n_rows))


def rank_correlation(first: np.ndarray, others: Sequence[np.ndarray]) -> np.ndarray:
    """Spearman's rank correlation of each row of ``first`` with the same row of each of ``others``
    (rows × len(others)), over the names both know that row."""
    out = np.full((first.shape[0], len(others)), np.nan)
    for rows in row_blocks(*first.shape):
        out[rows] = _rank_correlation_block(first[rows], [other[rows] for other in others])
    return out


def pearson_correlation(first: np.ndarray, others: Sequence[np.ndarray]) -> np.ndarray:
    """Pearson's correlation of each row of ``first`` with the same row of each of ``others``
    (rows × len(others)), over the names both know that row."""
    out = np.full((first.shape[0], len(others)), np.nan)
    for rows in row_blocks(*first.shape):
        for column, other in enumerate(others):
            out[rows, column] = _pearson_block(first[rows], other[rows])
    return out


def doubled_ranks(values: np.ndarray) -> np.ndarray:
    """Twice each name's average rank among the known (non-NaN) values of its row, 1-based;
    0 where the value is missing. Doubled, ranks of ties stay whole numbers."""
    out = np.zeros(values.shape, dtype=np.int64)
    for rows in row_blocks(*values.shape):
        block = values[rows]
        known = ~np.isnan(block)
        order, ordered = _sorted(np.where(known, block, np.inf))
        ranks = _sorted_doubled_ranks(ordered, known.ravel().take(order).reshape(block.shape))
        scattered = np.empty(block.size, dtype=np.int64)
        scattered[order] = ranks.ravel()
        out[rows] = scattered.reshape(block.shape)
    return out


def _sorted(key: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each row of ``key`` (float64, no NaN) in ascending order: the flat positions into ``key``
    and the ordered values."""
    n_rows, n_cols = key.shape
    bits = max(1, (n_cols - 1).bit_length())
    order = _packed_argsort(key, bits) if bits <= PACKED_BITS else np.argsort(key, axis=1)
    offsets = (np.arange(n_rows) * n_cols)[:, None]
    order += offsets
    ordered = key.ravel().take(order)
    misplaced = np.flatnonzero((ordered[:, 1:] < ordered[:, :-1]).any(axis=1))
    if len(misplaced):
        order[misplaced] = np.argsort(key[misplaced], axis=1) + offsets[misplaced]
        ordered[misplaced] = key.ravel().take(order[misplaced])
    return order.ravel(), ordered


def _packed_argsort(key: np.ndarray, bits: int) -> np.ndarray:
    """Each row's ascending order, nearly: 64-bit keys in the value's order carry the column in
    their lowest ``bits`` bits and are sorted directly, about three times faster than an indirect
    sort. Values that differ only in those bits (relative gaps below 2 ** (bits - 52)) may come
    out of order; ``_sorted`` finds and re-sorts such rows."""
    code = key.view(np.uint64)
    # The order of floats as unsigned integers: negatives flipped whole, positives above them.
    packed = code ^ ((code >> np.uint64(63)) * np.uint64(0xFFFF_FFFF_FFFF_FFFF) | np.uint64(1 << 63))
    low = np.uint64((1 << bits) - 1)
    packed &= ~low
    packed |= np.arange(key.shape[1], dtype=np.uint64)
    packed.sort(axis=1)
    packed &= low
    return packed.view(np.int64)


def _sorted_doubled_ranks(ordered: np.ndarray, known: np.ndarray) -> np.ndarray:
    """Twice the average rank of each entry of rows already in ascending order, among the known
    entries of its row (0 where unknown). Unknown entries may sit anywhere in a row."""
    count = np.cumsum(known, axis=1, dtype=np.int64)
    same = ordered[:, 1:] == ordered[:, :-1]
    if (same & known[:, 1:]).any():
        # Runs of equal values: every known entry of a run gets the mean of
        # the run's ordinal ranks among the known entries.
        n_rows, n_cols = ordered.shape
        starts = np.ones(ordered.shape, dtype=bool)
        starts[:, 1:] = ~same
        first = np.flatnonzero(starts)
        last = np.r_[first[1:], n_rows * n_cols] - 1
        flat = count.ravel()
        doubled = flat[first] - known.ravel()[first] + 1 + flat[last]
        count = np.repeat(doubled, last - first + 1).reshape(ordered.shape)
    else:
        count *= 2
    return np.where(known, count, 0)


def _rank_correlation_block(first: np.ndarray, others: Sequence[np.ndarray]) -> np.ndarray:
    n_rows, n_cols = first.shape
    known_first = ~np.isnan(first)
    # ``first`` is ordered once; each pairing only marks which of its names count.
    order, ordered = _sorted(np.where(known_first, first, np.inf))
    back = np.empty_like(order)
    back[order] = np.arange(order.size)
    out = np.empty((n_rows, len(others)))
    for column, other in enumerate(others):
        both = known_first & ~np.isnan(other)
        count = both.sum(axis=1, dtype=np.int64)
        ranks = _sorted_doubled_ranks(ordered, both.ravel().take(order).reshape(n_rows, n_cols))
        ours = ranks.ravel().take(back).astype(np.float64)
        other_order, other_ordered = _sorted(np.where(both, other, np.inf))
        # Known names come first in each row of ``other_ordered``.
        known_sorted = np.arange(n_cols)[None, :] < count[:, None]
        theirs = _sorted_doubled_ranks(other_ordered, known_sorted).astype(np.float64)
        ours = ours.take(other_order).reshape(n_rows, n_cols)
        out[:, column] = _correlation_of_doubled_ranks(ours, theirs, count)
    return out


def _correlation_of_doubled_ranks(ours: np.ndarray, theirs: np.ndarray, count: np.ndarray) -> np.ndarray:
    """Pearson's correlation of doubled ranks (0 where a name does not count) of ``count`` names.

    Doubled average ranks are whole numbers (or halves) with mean count + 1,
    so every sum below is exact in float64 and only the last division rounds.
    """
    centre = (count * (count + 1) ** 2).astype(np.float64)
    cross = np.einsum("ij,ij->i", ours, theirs) - centre
    spread = (np.einsum("ij,ij->i", ours, ours) - centre) * (np.einsum("ij,ij->i", theirs, theirs) - centre)
    with np.errstate(invalid="ignore", divide="ignore"):
        return np.where(spread > 0, cross / np.sqrt(spread), np.nan)


def _pearson_block(first: np.ndarray, other: np.ndarray) -> np.ndarray:
    both = ~np.isnan(first) & ~np.isnan(other)
    count = both.sum(axis=1)
    with np.errstate(invalid="ignore", divide="ignore"):
        centred = [np.where(both, values - np.where(both, values, 0.0).sum(axis=1, keepdims=True)
                            / count[:, None], 0.0) for values in (first, other)]
        cross = np.einsum("ij,ij->i", centred[0], centred[1])
        spread = np.einsum("ij,ij->i", centred[0], centred[0]) * np.einsum("ij,ij->i", centred[1], centred[1])
        correlation = cross / np.sqrt(spread)
    varies = [np.where(both, values, -np.inf).max(axis=1) > np.where(both, values, np.inf).min(axis=1)
              for values in (first, other)]
    return np.where(varies[0] & varies[1] & (count >= 2), correlation, np.nan)
