// StopBook.check (stops.py): the per-tick test of the stops the backtest holds for one instrument.
//
// The tick loop (loop.cpp) calls it after the exchange matched a tick, only when the book holds a
// stop of that tick's instrument. For each held record (a dict, see stops.py) in placing order:
//   1. a trailing stop follows the trade price when it improves on the best seen (the highest for a
//      sell stop, the lowest for a buy stop), its stop price kept at `trail` points or
//      `trail_percent` percent from that best;
//   2. a sell stop triggers at a trade price at or below its stop, a buy stop at or above.
// Triggered records leave by_code[code] (the key goes when none is left) and are answered, in
// order, for StopBook.fire to send; None when nothing triggered.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <vector>

#include "dict_items.hpp"
#include "engine.hpp"
#include "native_method.hpp"

namespace orva::engine {

namespace {

// A record's float field: false for None; TypeError for anything but an exact float.
bool float_field(PyObject* record, PyObject* key, double* out) {
  PyObject* v = peek(record, key);
  if (!v || v == Py_None) return false;
  if (!PyFloat_CheckExact(v)) raise(PyExc_TypeError, "a held stop's prices must be floats");
  *out = PyFloat_AS_DOUBLE(v);
  return true;
}

void set_float(PyObject* record, PyObject* key, double value) {
  Ref v = py_float(value);
  if (PyDict_SetItem(record, key, v.get()) < 0) throw_error();
}

PyObject* stop_book_check(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    if (PyVectorcall_NARGS(nargsf) != 3 || kwnames)
      raise(PyExc_TypeError, "StopBook.check(code, price) takes two arguments");
    PyObject* self = args[0];
    PyObject* code = args[1];
    const double price = PyFloat_AsDouble(args[2]);
    if (price == -1.0 && PyErr_Occurred()) throw_error();
    Ref by_code = getattr(self, ORVA_NAME("by_code"));
    if (!PyDict_CheckExact(by_code.get()) || !PyUnicode_CheckExact(code))
      raise(PyExc_TypeError, "StopBook.by_code must be a dict of text codes");
    PyObject* found = peek(by_code.get(), code);
    if (!found) Py_RETURN_NONE;
    Ref held = Ref::borrow(found);
    if (!PyList_CheckExact(held.get())) raise(PyExc_TypeError, "StopBook.by_code must hold lists");
    // From here on no Python code runs: exact dicts with text keys, exact floats.
    std::vector<Ref> records;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(held.get()); ++i) records.push_back(Ref::borrow(PyList_GET_ITEM(held.get(), i)));
    Ref kept = Ref::steal(PyList_New(0));
    Ref fired = Ref::steal(PyList_New(0));
    for (const Ref& r : records) {
      PyObject* record = r.get();
      if (!PyDict_CheckExact(record)) raise(PyExc_TypeError, "a held stop must be a dict");
      long long sign = 0;
      if (!small_int(peek(record, ORVA_NAME("sign")), &sign) || (sign != 1 && sign != -1))
        raise(PyExc_TypeError, "a held stop's sign must be 1 or -1");
      double trail = 0, percent = 0, best = 0, stop = 0;
      const bool by_points = float_field(record, ORVA_NAME("trail"), &trail);
      const bool by_percent = !by_points && float_field(record, ORVA_NAME("trail_percent"), &percent);
      if (by_points || by_percent) {
        const bool seen = float_field(record, ORVA_NAME("best"), &best);
        if (!seen || (sign < 0 ? price > best : price < best)) {
          best = price;
          stop = by_points ? best + static_cast<double>(sign) * trail
                           : best * (1 + static_cast<double>(sign) * percent / 100);
          set_float(record, ORVA_NAME("best"), best);
          set_float(record, ORVA_NAME("stop"), stop);
        }
      }
      if (!float_field(record, ORVA_NAME("stop"), &stop)) raise(PyExc_TypeError, "a held stop needs a stop price");
      const bool triggered = sign > 0 ? price >= stop : price <= stop;
      if (PyList_Append(triggered ? fired.get() : kept.get(), record) < 0) throw_error();
    }
    if (PyList_GET_SIZE(fired.get()) == 0) Py_RETURN_NONE;
    if (PyList_GET_SIZE(kept.get()) == 0) {
      if (PyDict_DelItem(by_code.get(), code) < 0) throw_error();
    } else if (PyList_SetSlice(held.get(), 0, PY_SSIZE_T_MAX, kept.get()) < 0) {
      throw_error();
    }
    return fired.release();
  } catch (PyError&) {
    return nullptr;
  }
}

}  // namespace

int add_stop_methods(PyObject* module) {
  return add_documented_methods(
      module, "StopBook", "stop_book_",
      {{"check", stop_book_check,
        "check($self, code, price)\n--\n\n"
        "Moves the trailing stops of ``code`` with the trade ``price`` and takes out the stops it triggers;\n"
        "the triggered records in placing order, or None."}});
}

}  // namespace orva::engine
