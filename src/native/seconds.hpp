// Nanosecond timestamps to seconds, the package's own helper computed natively.
//
// utils.format_nano_ts_to_second_ts is `round(ts / 1_000_000_000, digits)`. Called once per
// tick from C it costs more than the rest of the tick dict; the same value is computed here with
// exact integer arithmetic (a correctly rounded quotient, then round-half-even to `digits`
// decimals and the nearest double, as float.__round__ does). Only the package's own helper is
// replaced: any other function (a user's replacement, a wrapper) is still called.
#pragma once

#include "pyref.hpp"

namespace orva {

// convert(ts, digits), computed natively when `convert` is the package's own helper and the
// arguments are in the range handled here (an int ts of at least one second, 0 <= digits <= 9).
Ref seconds_from_ns(PyObject* convert, PyObject* ts, PyObject* digits);

// The native computation alone; false when the arguments are outside its range.
bool native_seconds(long long ts, long digits, double* out);

}  // namespace orva
