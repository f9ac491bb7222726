"""The pandas layer of quorex.backtest on its own: alignment, conversion, result tables."""

from __future__ import annotations

from types import SimpleNamespace

import numpy as np
import pandas as pd
import pytest

from quorex.backtest import engine, operations, run, tables
from quorex.backtest.inputs import dates, prices, weights
from quorex.backtest.inputs.rules import checked_benchmark

# The layer's functions by name, wherever they live.
bt = SimpleNamespace(
    align_weights=weights.align_weights, drop_unchanged_rows=weights.drop_unchanged_rows,
    resample_dates=weights.resample_dates, to_datetime_index=dates.to_datetime_index,
    price_frames=prices.price_frames, backtest=run.backtest, EngineInputs=engine.EngineInputs,
    labels=engine.labels, trade_table=tables.trade_table, position_table=tables.position_table,
    add_turnover=tables.add_turnover, liquidity_table=tables.liquidity_table,
    stock_operation_tables=operations.stock_operation_tables,
)

DATES = pd.bdate_range("2024-01-01", periods=6)


def frame(values, columns=("A", "B"), index=DATES):
    return pd.DataFrame(np.asarray(values, dtype=float), index=index[: len(values)], columns=list(columns))


class TestAlignWeights:
    def test_booleans_mean_equal_weight_and_nan_is_zero(self):
        picks = pd.DataFrame({"A": [True, True, False], "B": [True, False, False]}, index=DATES[:3])
        got = bt.align_weights(picks, pd.Index(["A", "B"]))
        np.testing.assert_array_equal(got.to_numpy(), [[0.5, 0.5], [1.0, 0.0], [0.0, 0.0]])
        gaps = pd.DataFrame({"A": [True, np.nan], "B": [True, True]}, index=DATES[:2], dtype=object)
        np.testing.assert_array_equal(bt.align_weights(gaps, pd.Index(["A", "B"])), [[0.5, 0.5], [0, 1]])
        floats = frame([[0.3, np.nan]])
        assert bt.align_weights(floats, pd.Index(["A", "B"])).iloc[0].tolist() == [0.3, 0.0]

    def test_symbol_with_weight_but_no_price_is_named(self):
        weights = pd.DataFrame({"A": [0.5], "ZZZ": [0.5]}, index=DATES[:1])
        with pytest.raises(ValueError, match=r"1 symbol\(s\) have weights but no prices: 'ZZZ'"):
            bt.align_weights(weights, pd.Index(["A", "B"]))

    def test_unpriced_symbol_that_is_never_held_is_dropped(self):
        weights = pd.DataFrame({"ZZZ": [0.0, np.nan], "B": [1.0, 1.0]}, index=DATES[:2])
        got = bt.align_weights(weights, pd.Index(["A", "B"]))
        assert list(got.columns) == ["B"]

    def test_unsorted_dates_are_sorted_and_duplicates_rejected(self):
        weights = frame([[1, 0], [0, 1]]).iloc[::-1]
        got = bt.align_weights(weights, pd.Index(["A", "B"]))
        assert got.index.is_monotonic_increasing and got.iloc[0].tolist() == [1.0, 0.0]
        twice = pd.DataFrame({"A": [1.0, 1.0]}, index=[DATES[0], DATES[0]])
        with pytest.raises(ValueError, match="duplicate dates"):
            bt.align_weights(twice, pd.Index(["A"]))

    @pytest.mark.parametrize(
        "weights, message",
        [
            ([0.5], "must be a pandas DataFrame"),
            (pd.DataFrame({"A": ["x"]}, index=DATES[:1]), "weights must be numeric"),
            (pd.DataFrame({"A": [1.0]}, index=["not a date"]), "the index must hold dates"),
        ],
    )
    def test_bad_weights(self, weights, message):
        with pytest.raises((TypeError, ValueError), match=message):
            bt.align_weights(weights, pd.Index(["A"]))


def test_tz_aware_dates_become_their_own_naive_calendar_dates():
    index = pd.DatetimeIndex(["2024-01-02 07:00"], tz="Asia/Taipei").as_unit("s")
    got = bt.to_datetime_index(index, "x")
    assert got.tz is None and got.unit == "ns" and got[0] == pd.Timestamp("2024-01-02")


class TestPriceFrames:
    def test_other_fields_are_aligned_to_close_by_label(self):
        close = frame([[10, 20], [11, 21]])
        opens = frame([[200, 100], [210, 110], [999, 999]], columns=("B", "A"))
        got = bt.price_frames({"close": close, "open": opens})
        assert got["open"].to_numpy().tolist() == [[100, 200], [110, 210]]

    @pytest.mark.parametrize("index", [DATES[:2].as_unit("ns"), DATES[:2].as_unit("us"),
                                       DATES[:2].tz_localize("Asia/Taipei")])
    def test_float_close_is_not_copied(self, index):
        close = frame([[10, 20], [11, 21]], index=index)
        got = bt.price_frames(close)["close"]
        assert got.index.equals(DATES[:2]) and got.index.unit == "ns"
        assert np.shares_memory(got.to_numpy(), close.to_numpy())

    @pytest.mark.parametrize(
        "prices, message",
        [
            ({"open": frame([[1, 2]])}, "needs a 'close' frame"),
            ({"close": frame([[1, 2]]), "volume": frame([[1, 2]])}, "unknown fields"),
            (frame([[1, 2]], columns=("A", "A")), "duplicate symbols"),
            ([1, 2], "must be a DataFrame of closes"),
        ],
    )
    def test_bad_prices(self, prices, message):
        with pytest.raises((TypeError, ValueError), match=message):
            bt.price_frames(prices)


def test_drop_unchanged_rows_keeps_changes_only():
    weights = frame([[1, 0], [1, 0], [0, 1], [0, 1], [1, 0]])
    assert list(bt.drop_unchanged_rows(weights).index) == [DATES[0], DATES[2], DATES[4]]


class TestResampleDates:
    index = pd.bdate_range("2024-01-01", "2024-03-20")

    def test_month_end_alias_marks_last_trading_date_of_finished_months(self):
        got = bt.resample_dates("ME", self.index, self.index, pd.Timestamp("2024-03-21"))
        assert list(got) == [pd.Timestamp("2024-01-31"), pd.Timestamp("2024-02-29")]

    def test_last_period_counts_once_the_next_date_opens_a_new_one(self):
        index = self.index[self.index <= "2024-02-29"]
        got = bt.resample_dates("ME", index, index, pd.Timestamp("2024-03-01"))
        assert got[-1] == pd.Timestamp("2024-02-29")

    def test_none_uses_weight_dates_and_dates_are_sorted(self):
        weight_dates = pd.DatetimeIndex(["2024-01-05", "2024-01-12"])
        assert bt.resample_dates(None, self.index, weight_dates, self.index[-1]) is weight_dates
        explicit = pd.DatetimeIndex(["2024-02-01", "2024-01-03", "2024-02-01"])
        assert list(bt.resample_dates(explicit, self.index, weight_dates, self.index[-1])) == [
            pd.Timestamp("2024-01-03"), pd.Timestamp("2024-02-01")]

    @pytest.mark.parametrize("bad, error", [("NOPE", ValueError), (3, TypeError)])
    def test_bad_rebalance(self, bad, error):
        with pytest.raises(error, match="rebalance"):
            bt.resample_dates(bad, self.index, self.index, self.index[-1])


def _ns(*dates):
    return pd.DatetimeIndex(list(dates)).as_unit("ns").asi8


def test_rebalance_dates_follow_marks_and_new_rows():
    price = pd.bdate_range("2024-01-01", periods=8)  # Mon 1 .. Wed 10
    close = pd.DataFrame({"A": np.linspace(10, 11, 8)}, index=price)
    pos = pd.DataFrame({"A": [0.2, 0.5, 0.8]}, index=pd.DatetimeIndex(["2024-01-02", "2024-01-03", "2024-01-09"]))
    # Marks on Jan 3 and Jan 5 (Jan 6 falls back to Fri 5) and on the last date.
    resample = pd.DatetimeIndex(["2024-01-03", "2024-01-06", "2024-01-10"])
    report = bt.backtest(pos, close, rebalance=resample)
    # Jan 3: row 1 current -> trade Jan 4; Jan 5: still row 1 -> nothing;
    # Jan 10 (last): row 2 -> due on the next trading date.
    assert list(report.rebalance_dates) == [price[3]]
    assert report.weights.to_dict() == {"A": 0.5} and report.weights.name == price[3]
    assert report.next_weights.to_dict() == {"A": 0.8}
    assert report.next_weights.name == pd.Timestamp("2024-01-11")
    assert report.stock_operations.loc["A", "action"] == "hold"


def _engine(symbols=("A", "B"), n=6):
    labels = pd.Index(list(symbols))
    return bt.EngineInputs(
        symbols=labels, pos_labels=labels, price_values=np.ones((n, len(labels))),
        close_values=np.ones((n, len(labels))), high_values=None, low_values=None,
        open_values=None, price_index=engine.nanoseconds(DATES[:n]), price_columns=bt.labels(labels),
        pos_values=np.zeros((1, len(labels))), pos_index=engine.nanoseconds(DATES[:1]),
        pos_columns=bt.labels(labels), resample=engine.nanoseconds(DATES[:1]),
    )


def _run(trades, reasons=None):
    """An engine result with trades laid out as the engine returns them."""
    labels = {"A": 0, "B": 1}
    entry = np.array([t[1] for t in trades], dtype=np.int64)
    exit_ = np.array([t[2] for t in trades], dtype=np.int64)
    n = len(trades)
    return SimpleNamespace(
        creturn=np.ones(6), trade_sid=np.array([labels[t[0]] for t in trades], dtype=np.int64),
        trade_entry_row=entry, trade_exit_row=exit_,
        trade_entry_signal_row=entry - 1, trade_exit_signal_row=np.where(exit_ >= 0, exit_ - 1, -1),
        trade_position=np.array([t[3] for t in trades], dtype=float),
        trade_entry_price=np.full(n, 10.0), trade_exit_price=np.linspace(11.0, 12.0, n),
        trade_entry_charged=np.ones(n, bool), trade_exit_charged=exit_ >= 0,
        trade_exit_reason=np.asarray(reasons if reasons is not None else np.where(exit_ >= 0, 0, 4), np.int8),
        excursions=np.arange(6.0)[None, :] + np.arange(n)[:, None],
        trade_fee=np.full(n, 0.001), trade_tax=np.where(exit_ >= 0, 0.003, 0.0), trade_holding=np.arange(n),
        trade_slippage=np.zeros(n), trade_shares=np.full(n, np.nan),
    )


class TestResultTables:
    trades = [("A", 1, 3, 0.5), ("A", 3, -1, 0.4), ("B", 0, 2, -0.25)]

    def test_trade_dates_with_nat_for_open_trades_and_missing_signal_dates(self):
        table = bt.trade_table(_run(self.trades), _engine(), 0.0, 0.0)
        assert table["exit_date"].isna().tolist() == [False, True, False]
        assert table.loc[0, "entry_signal_date"] == DATES[0]
        assert table.loc[0, "exit_signal_date"] == DATES[2]
        assert pd.isna(table.loc[2, "entry_signal_date"])  # entered on the first date
        # The excursions are read from the record (the MAE is then bounded by the realised return).
        assert table.loc[2, "gmfe"] == 3.0 and table.loc[2, "profit_days"] == 6.0
        assert table["exit_reason"].tolist() == ["rebalance", "open", "rebalance"]
        assert table["period"].tolist() == [2, 3, 2]

    @pytest.mark.parametrize("fee, tax", [(0.0, 0.0), (0.001425, 0.003), (0.01, 0.02)])
    def test_return_is_realised_at_the_fills_net_of_costs(self, fee, tax):
        run = _run(self.trades)
        table = bt.trade_table(run, _engine(), fee, tax)
        x = run.trade_exit_price / run.trade_entry_price
        long_closed = (1 - fee) * x[0] * (1 - fee - tax) - 1
        long_open = (1 - fee) * x[1] - 1  # nothing paid yet on the way out
        short_closed = (1 - fee) - x[2] * (1 + fee + tax)
        np.testing.assert_allclose(table["return"], [long_closed, long_open, short_closed], rtol=1e-15)
        assert table["entry_price"].tolist() == [10.0] * 3 and table["exit_price"].tolist() == [11.0, 11.5, 12.0]

    def test_position_holds_each_trade_from_entry_until_exit(self):
        table = bt.trade_table(_run(self.trades), _engine(), 0.0, 0.0)
        held = bt.position_table(table, DATES, pd.Index(["A", "B"]))
        assert held["A"].tolist() == [0, 0.5, 0.5, 0.4, 0.4, 0.4]
        assert held["B"].tolist() == [-0.25, -0.25, 0, 0, 0, 0]

    def test_turnover_and_liquidity_shares(self):
        engine, run = _engine(), _run(self.trades)
        table = bt.trade_table(run, engine, 0.0, 0.0)
        turnover = pd.DataFrame({"B": np.arange(6.0) * 10, "A": np.arange(6.0)}, index=DATES)
        table = bt.add_turnover(table, run, engine, turnover)
        assert table["turnover@entry_date"].tolist() == [1.0, 3.0, 0.0]
        assert table["turnover@exit_date"].tolist()[::2] == [3.0, 20.0]
        flags = pd.DataFrame(False, index=DATES, columns=["A", "B"])
        flags.loc[DATES[3], "A"] = True
        close = pd.DataFrame(10.0, index=DATES, columns=["A", "B"])
        high = close.copy()
        high.iloc[1, 0] = 12.0  # trade 0 did not buy at the high; trades 1 and 2 did
        liq = bt.liquidity_table(
            table, {"close": close, "high": high}, {"警示股": flags}, close
        )
        assert liq["警示股"] == {"entry": 1 / 3, "exit": 0.5}
        assert liq["buy_high"]["entry"] == pytest.approx(2 / 3) and "sell_low" not in liq


    @pytest.mark.parametrize("off, on, dtype", [(False, True, None), (0.0, 2.0, None), (False, True, "boolean")])
    def test_category_flags_not_given_for_a_date_or_symbol_are_not_flagged(self, off, on, dtype):
        table = bt.trade_table(_run(self.trades), _engine(), 0.0, 0.0)
        close = pd.DataFrame(10.0, index=DATES, columns=["A", "B"])
        # A's flags end on DATES[2] and B has none: aligned to the prices, those cells are missing.
        flags = pd.DataFrame({"A": [off, on, off]}, index=DATES[:3], dtype=dtype)
        liq = bt.liquidity_table(table, {"close": close}, {"警示股": flags}, close)
        assert liq["警示股"] == {"entry": 1 / 3, "exit": 0.0}


def test_default_benchmark_is_equal_weight_buy_and_hold():
    close = pd.DataFrame({"A": [10.0, 20.0, np.nan], "B": [5.0, 5.0, 10.0], "C": [np.nan, 1, 1]}, index=DATES[:3])
    # C has no first price and is left out; A is carried at its last price.
    assert tables.benchmark_levels(None, close).tolist() == [1.0, 1.5, 2.0]
    given = pd.Series([1.0, 2.0], index=pd.DatetimeIndex(["2024-01-02", "2024-01-01"], tz="UTC"))
    assert tables.benchmark_levels(checked_benchmark(given), close).tolist() == [2.0, 1.0]


def test_stock_operations_by_symbol():
    engine = _engine(("X", "Y", "Z"))
    run = SimpleNamespace(
        weight_sids=np.array([0, 1]), weight_values=np.array([0.5, 0.5]),
        next_weight_sids=np.array([1, 2]), next_weight_values=np.array([0.5, 0.5]),
        actions=np.array([1, -1, 0], dtype=np.int8), rebalance_rows=np.array([4]), rebalance_due=False,
    )
    weights, upcoming, table = bt.stock_operation_tables(run, engine, None, None)
    assert weights.name == DATES[4] and upcoming.name is None
    assert table.to_dict("index") == {
        "X": {"action": "exit", "weight": 0.5, "next_weight": pytest.approx(np.nan, nan_ok=True)},
        "Y": {"action": pytest.approx(np.nan, nan_ok=True), "weight": 0.5, "next_weight": 0.5},
        "Z": {"action": "enter", "weight": pytest.approx(np.nan, nan_ok=True), "next_weight": 0.5},
    }
