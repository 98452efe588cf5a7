"""Simulated exchange and historical tick feed for backtesting Taiwanese stocks and futures."""

__version__ = "0.1.0"
