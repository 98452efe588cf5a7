#include "seconds.hpp"

#include <cmath>

#include "fastpaths.hpp"

namespace orva {

namespace {

using u128 = unsigned __int128;

int bit_length(u128 v) {
  const unsigned long long high = static_cast<unsigned long long>(v >> 64);
  const unsigned long long low = static_cast<unsigned long long>(v);
  if (high) return 128 - __builtin_clzll(high);
  return low ? 64 - __builtin_clzll(low) : 0;
}

// The double nearest to num / den (ties to even); num >= den, num < 2**75, den < 2**40.
double nearest(u128 num, u128 den) {
  const int whole = bit_length(num / den);  // >= 1
  const int shift = whole >= 53 ? 0 : 53 - whole;
  const u128 scaled = num << shift;
  u128 q = scaled / den;
  const u128 rem = scaled % den;
  if (2 * rem > den || (2 * rem == den && (q & 1))) ++q;
  // q < 2**54 here; when whole > 53 (not reached for the ranges handled) the cast rounds again.
  return std::ldexp(static_cast<double>(q), -shift);
}

constexpr unsigned long long kPow10[] = {1ULL,         10ULL,         100ULL,         1000ULL,
                                         10000ULL,     100000ULL,     1000000ULL,     10000000ULL,
                                         100000000ULL, 1000000000ULL};

// The package's own helper, kept under a second name in utils so replacing the public name is seen.
bool is_package_helper(PyObject* convert) {
  if (!PyFunction_Check(convert)) return false;
  PyObject* utils = PyImport_GetModule(ORVA_NAME("orva_mero_backtest.utils"));
  if (!utils) {
    PyErr_Clear();
    return false;
  }
  Ref keep = Ref::steal(utils);
  PyObject* original = PyObject_GetAttr(utils, ORVA_NAME("_package_ns_to_seconds"));
  if (!original) {
    PyErr_Clear();
    return false;
  }
  Ref hold = Ref::steal(original);
  return PyFunction_Check(original) && PyFunction_GET_CODE(original) == PyFunction_GET_CODE(convert) &&
         PyFunction_GET_GLOBALS(original) == PyFunction_GET_GLOBALS(convert);
}

}  // namespace

bool native_seconds(long long ts, long digits, double* out) {
  if (ts < 1000000000LL || digits < 0 || digits > 9) return false;
  // ts / 1e9 as Python's int true division gives it: the double nearest to the exact quotient.
  const double seconds = nearest(static_cast<u128>(ts), 1000000000ULL);
  // round(seconds, digits): the exact binary value to `digits` decimals, ties to even ...
  int exponent = 0;
  const double mantissa = std::frexp(seconds, &exponent);  // seconds = mantissa * 2**exponent
  const unsigned long long m = static_cast<unsigned long long>(std::ldexp(mantissa, 53));
  const int frac_bits = 53 - exponent;  // seconds = m / 2**frac_bits
  if (frac_bits <= 0 || frac_bits > 60) return false;
  const u128 scaled = static_cast<u128>(m) * kPow10[digits];
  u128 units = scaled >> frac_bits;
  const u128 rem = scaled & ((static_cast<u128>(1) << frac_bits) - 1);
  const u128 half = static_cast<u128>(1) << (frac_bits - 1);
  if (rem > half || (rem == half && (units & 1))) ++units;
  // ... then the double nearest to that decimal.
  *out = digits == 0 ? static_cast<double>(units) : nearest(units, kPow10[digits]);
  return true;
}

Ref seconds_from_ns(PyObject* convert, PyObject* ts, PyObject* digits) {
  if (PyLong_CheckExact(ts) && PyLong_CheckExact(digits) && is_package_helper(convert)) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(ts, &overflow);
    const long places = PyLong_AsLong(digits);
    if (PyErr_Occurred()) PyErr_Clear();
    double result;
    if (!overflow && native_seconds(value, places, &result)) return Ref::steal(PyFloat_FromDouble(result));
  }
  PyObject* args[] = {ts, digits};
  return Ref::steal(PyObject_Vectorcall(convert, args, 2, nullptr));
}

PyObject* SecondsBinding::bound() {
#if ORVA_DICT_VERSIONS
  if (fastpaths_on() && versioned_ &&
      reinterpret_cast<PyDictObject*>(PyModule_GetDict(module_))->ma_version_tag == version_)
    return fn_.get();
  versioned_ = false;
  // Read before the look-up: a change made while it runs is seen by the next row.
  uint64_t version = 0;
  PyObject* dict = PyModule_CheckExact(module_) ? PyModule_GetDict(module_) : nullptr;
  if (fastpaths_on() && dict) version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
  Ref fn = getattr(module_, name_);
  if (fn.get() != fn_.get()) {
    const bool package = is_package_helper(fn.get());
    code_ = package ? Ref::borrow(PyFunction_GET_CODE(fn.get())) : Ref();
    fn_ = std::move(fn);
  }
#if ORVA_DICT_VERSIONS
  if (fastpaths_on() && dict) {
    version_ = version;
    versioned_ = true;
  }
#endif
  return fn_.get();
}

Ref SecondsBinding::call(PyObject* ts, const long long* raw, long digits) {
  PyObject* fn = bound();
  // The same function object can be given other code (fn.__code__ = ...): asked every row.
  if (code_ && PyFunction_GET_CODE(fn) == code_.get()) {
    long long value = 0;
    bool exact = raw != nullptr;
    if (raw) {
      value = *raw;
    } else if (PyLong_CheckExact(ts)) {
      int overflow = 0;
      value = PyLong_AsLongLongAndOverflow(ts, &overflow);
      exact = !overflow && !(value == -1 && PyErr_Occurred());
      PyErr_Clear();
    }
    double result;
    if (exact && native_seconds(value, digits, &result)) return Ref::steal(PyFloat_FromDouble(result));
  }
  Ref keep = fn_;  // the call may rebind the module's name
  Ref made = raw ? py_long(*raw) : Ref();
  Ref places = py_long(digits);
  PyObject* args[] = {raw ? made.get() : ts, places.get()};
  return Ref::steal(PyObject_Vectorcall(keep.get(), args, 2, nullptr));
}

}  // namespace orva
