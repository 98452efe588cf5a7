// Nanosecond timestamps to seconds, the package's own helper computed natively.
//
// utils.format_nano_ts_to_second_ts is `round(ts / 1_000_000_000, digits)`. Called once per
// tick from C it costs more than the rest of the tick dict; the same value is computed here with
// exact integer arithmetic (a correctly rounded quotient, then round-half-even to `digits`
// decimals and the nearest double, as float.__round__ does). Only the package's own helper is
// replaced: any other function (a user's replacement, a wrapper) is still called.
#pragma once

#include <cstdint>

#include "fastpaths.hpp"
#include "pyref.hpp"

namespace orva {

// convert(ts, digits), computed natively when `convert` is the package's own helper and the
// arguments are in the range handled here (an int ts of at least one second, 0 <= digits <= 9).
Ref seconds_from_ns(PyObject* convert, PyObject* ts, PyObject* digits);

// `module.<name>(ts, digits)` called once per row: the binding is looked up for every row (a replaced
// helper is called for every row), but whether it is the package's own helper is decided once per
// bound function, not per row. With the fast paths on, an unchanged module dict (its version tag, or
// its dict watcher's word) also skips the look-up. One per reader of rows; use with the GIL held.
class SecondsBinding {
 public:
  SecondsBinding(PyObject* module, PyObject* name) : module_(module), name_(name) {}
  Ref operator()(PyObject* ts, long digits) { return call(ts, nullptr, digits); }
  // The same for a ts known as a C integer: no int object is made unless the helper is called.
  Ref operator()(long long ts, long digits) { return call(nullptr, &ts, digits); }

 private:
  Ref call(PyObject* ts, const long long* raw, long digits);
  PyObject* bound();  // borrowed from fn_, which holds it
  PyObject* module_;  // borrowed: a module kept for the life of the process
  PyObject* module_dict_ = nullptr;  // its __dict__ (borrowed), once known
  bool dict_known_ = false;
  PyObject* name_;    // interned, never released
  Ref fn_;            // the function last found bound
  Ref code_;          // its code object when it was the package's helper, else empty
  PlainDictGuard guard_;  // the module dict as it was when fn_ was found
};

// The native computation alone; false when the arguments are outside its range.
bool native_seconds(long long ts, long digits, double* out);

}  // namespace orva
