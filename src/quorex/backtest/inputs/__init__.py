"""A backtest's inputs: alignment by label and every check, before the engine runs.

``dates`` reads date indexes and clocks, ``prices`` the price frames,
``weights`` the target weights and the rebalance calendar, ``rules`` the
run's settings (costs, stops, switches). Each check refuses an input with a
``ValueError`` that names what is wrong (the argument, the symbols, the
dates), or warns with a ``DataWarning`` where the input is usable but
probably not what was meant.
"""
