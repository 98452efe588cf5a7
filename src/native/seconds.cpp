#include "seconds.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "fastpaths.hpp"

namespace orva {

namespace {

using u128 = unsigned __int128;

// (high:low) / den, for a quotient known to fit 64 bits (high < den); the remainder in *rem.
inline uint64_t div_128_by_64(u128 num, uint64_t den, uint64_t* rem) {
#if defined(__x86_64__)
  uint64_t q, r;
  __asm__("divq %4" : "=a"(q), "=d"(r) : "a"(static_cast<uint64_t>(num)), "d"(static_cast<uint64_t>(num >> 64)), "rm"(den));
  *rem = r;
  return q;
#else
  *rem = static_cast<uint64_t>(num % den);
  return static_cast<uint64_t>(num / den);
#endif
}

// 2**e for -1022 <= e <= 1023, exactly.
inline double power_of_two(int e) {
  const uint64_t bits = static_cast<uint64_t>(1023 + e) << 52;
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// The double nearest to num / den (ties to even) as kept * 2**exponent, for 0 < num < 2**64,
// 0 < den < 2**40 and a quotient below 2**54; false outside that range. One division: the
// quotient is taken to 54 or 55 bits and rounded to 53 with the remainder as the sticky bit.
bool nearest_parts(uint64_t num, uint64_t den, uint64_t* kept_out, int* exponent) {
  const int bits_num = 64 - __builtin_clzll(num), bits_den = 64 - __builtin_clzll(den);
  const int shift = 54 + bits_den - bits_num;
  if (shift < 0 || bits_den > 40) return false;
  uint64_t rem;
  const uint64_t q = div_128_by_64(static_cast<u128>(num) << shift, den, &rem);  // in [2**53, 2**55)
  const int extra = (q >> 54) ? 2 : 1;
  uint64_t kept = q >> extra;
  const uint64_t dropped = q & ((1ULL << extra) - 1), half = 1ULL << (extra - 1);
  if (dropped > half || (dropped == half && (rem != 0 || (kept & 1)))) ++kept;  // kept <= 2**53
  *kept_out = kept;
  *exponent = extra - shift;
  return true;
}

bool nearest(uint64_t num, uint64_t den, double* out) {
  uint64_t kept;
  int exponent;
  if (!nearest_parts(num, den, &kept, &exponent)) return false;
  *out = static_cast<double>(kept) * power_of_two(exponent);  // exact
  return true;
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
  // ts / 1e9 as Python's int true division gives it: the double nearest to the exact quotient,
  // m / 2**frac_bits ...
  uint64_t m;
  int exponent;
  if (!nearest_parts(static_cast<uint64_t>(ts), 1000000000ULL, &m, &exponent)) return false;
  const int frac_bits = -exponent;
  if (frac_bits <= 0 || frac_bits > 60) return false;
  // The value's neighbours are at least 2**-(frac_bits+1) away and rounding to `digits` decimals moves
  // it by at most half of 10**-digits: when that is under half the nearer gap, the double nearest to
  // the rounded decimal is the value itself (every timestamp of these years at 8 digits).
  if ((1ULL << (frac_bits + 1)) < kPow10[digits]) {
    *out = static_cast<double>(m) * power_of_two(exponent);  // exact: m <= 2**53
    return true;
  }
  // ... round(seconds, digits): the exact binary value to `digits` decimals, ties to even ...
  const u128 scaled = static_cast<u128>(m) * kPow10[digits];
  u128 units = scaled >> frac_bits;
  const u128 rem = scaled & ((static_cast<u128>(1) << frac_bits) - 1);
  const u128 half = static_cast<u128>(1) << (frac_bits - 1);
  if (rem > half || (rem == half && (units & 1))) ++units;
  if (units >> 64) return false;
  // ... then the double nearest to that decimal.
  if (digits == 0) {
    *out = static_cast<double>(static_cast<uint64_t>(units));
    return true;
  }
  return nearest(static_cast<uint64_t>(units), kPow10[digits], out);
}

PyObject* SecondsBinding::bound() {
  // A module's __dict__ is read-only: the one found first stays its dict.
  if (!dict_known_) {
    module_dict_ = PyModule_CheckExact(module_) ? PyModule_GetDict(module_) : nullptr;
    dict_known_ = true;
  }
  PyObject* dict = module_dict_;
  if (dict && fn_ && guard_.unchanged(dict)) return fn_.get();
  guard_.forget();
  // Marked before the look-up: a change made while it runs is seen by the next row.
  PlainDictGuard seen;
  if (dict) seen.mark(dict);
  Ref fn = getattr(module_, name_);
  if (fn.get() != fn_.get()) {
    const bool package = is_package_helper(fn.get());
    code_ = package ? Ref::borrow(PyFunction_GET_CODE(fn.get())) : Ref();
    fn_ = std::move(fn);
  }
  if (dict) guard_ = seen;
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
