"""Real tick data in: importers for tick files, the cache-only broker, the time convention and the
trading calendar."""

from .cache_broker import CacheOnly, DataError, cache_dir, cache_file, check_cache, missing_days
from .clock import is_trading_day, trading_days, wall_clock, wall_clock_text, wall_ns
from .importer import ImportedDay, ImportResult, import_ticks

__all__ = [
    "CacheOnly", "DataError", "ImportResult", "ImportedDay", "cache_dir", "cache_file", "check_cache",
    "import_ticks", "is_trading_day", "missing_days", "trading_days", "wall_clock", "wall_clock_text", "wall_ns",
]
