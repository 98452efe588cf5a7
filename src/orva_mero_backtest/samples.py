"""A run's price and equity samples, kept compact.

A long run takes a sample every few seconds of tick time for each instrument and for the equity: as a
list of ``(timestamp, value)`` tuples each costs about 110 bytes (the tuple, two floats, the list's slot),
which for a year of one busy stock is some 50 MB. ``Samples`` holds the same pairs in two arrays of
doubles, 16 bytes a pair, and reads like the list it replaces: indexing, slicing, iteration and
comparison give ``(timestamp, value)`` tuples of floats.
"""

from __future__ import annotations

from array import array
from collections.abc import MutableSequence
from itertools import chain
from typing import Any, Iterable, Iterator, List, Tuple, Union

Pair = Tuple[float, float]


class Samples(MutableSequence):
    """``(timestamp, value)`` pairs, oldest first, in two arrays of doubles (``timestamps``, ``values``)."""

    __slots__ = ("timestamps", "values")

    def __init__(self, pairs: Iterable[Pair] = ()) -> None:
        self.timestamps = array("d")
        self.values = array("d")
        self.extend(pairs)

    def __len__(self) -> int:
        return len(self.timestamps)

    def __getitem__(self, index: Union[int, slice]) -> Any:
        if isinstance(index, slice):
            part = Samples()
            part.timestamps, part.values = self.timestamps[index], self.values[index]
            return part
        return self.timestamps[index], self.values[index]

    def __setitem__(self, index: Any, pair: Any) -> None:
        if isinstance(index, slice):
            pairs = Samples(pair)
            self.timestamps[index], self.values[index] = pairs.timestamps, pairs.values
            return
        ts, value = pair
        self.timestamps[index], self.values[index] = ts, value

    def __delitem__(self, index: Union[int, slice]) -> None:
        del self.timestamps[index]
        del self.values[index]

    def insert(self, index: int, pair: Pair) -> None:
        ts, value = pair
        self.timestamps.insert(index, ts)
        self.values.insert(index, value)

    def append(self, pair: Pair) -> None:
        ts, value = pair
        self.timestamps.append(ts)
        self.values.append(value)

    def extend(self, pairs: Iterable[Pair]) -> None:
        if isinstance(pairs, Samples):
            self.timestamps.extend(pairs.timestamps)
            self.values.extend(pairs.values)
            return
        pairs = pairs if isinstance(pairs, (list, tuple)) else list(pairs)
        if any(len(p) != 2 for p in pairs):
            raise ValueError("samples are (timestamp, value) pairs")
        self.take(pairs)

    def take(self, pairs: List[Pair]) -> None:
        """Appends a list of pairs the caller made itself (every item a 2-tuple of numbers), in one
        pass in C over the flattened pairs."""
        flat = array("d", chain.from_iterable(pairs))
        self.timestamps.extend(flat[0::2])
        self.values.extend(flat[1::2])

    def __iter__(self) -> Iterator[Pair]:
        return zip(self.timestamps, self.values)

    def __reversed__(self) -> Iterator[Pair]:
        return zip(reversed(self.timestamps), reversed(self.values))

    def __eq__(self, other: object) -> bool:
        if isinstance(other, Samples):
            return self.timestamps == other.timestamps and self.values == other.values
        if isinstance(other, (list, tuple)):
            return len(other) == len(self) and all(a == b for a, b in zip(self, other))
        return NotImplemented

    __hash__ = None  # type: ignore[assignment]  # mutable, like the list it stands for

    def __repr__(self) -> str:
        shown = ", ".join(repr(p) for p in self[:3])
        return f"Samples([{shown}{', ...' if len(self) > 3 else ''}], {len(self)} pairs)"

    def __reduce__(self) -> Any:
        return (_rebuilt, (self.timestamps, self.values))

    def __add__(self, other: Iterable[Pair]) -> "Samples":
        joined = self.copy()
        joined.extend(other)
        return joined

    def __radd__(self, other: Any) -> Any:
        return other + list(self) if isinstance(other, list) else NotImplemented

    def copy(self) -> "Samples":
        return self[:]

    def to_list(self) -> List[Pair]:
        return list(self)


def _rebuilt(timestamps: array, values: array) -> Samples:
    samples = Samples()
    samples.timestamps, samples.values = timestamps, values
    return samples
