// Small native helpers for the backtest's per-tick path (each has a plain-Python equivalent).
#include "fast.hpp"
#include "seconds.hpp"

namespace orva::fast {

namespace {

// ns_to_seconds(ts, digits) -> float, or None outside the range computed natively.
PyObject* ns_to_seconds(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2 || !PyLong_CheckExact(args[0]) || !PyLong_CheckExact(args[1])) {
    PyErr_SetString(PyExc_TypeError, "ns_to_seconds(ts: int, digits: int)");
    return nullptr;
  }
  int overflow = 0;
  const long long ts = PyLong_AsLongLongAndOverflow(args[0], &overflow);
  if (ts == -1 && PyErr_Occurred()) return nullptr;
  const long digits = PyLong_AsLong(args[1]);
  if (digits == -1 && PyErr_Occurred()) return nullptr;
  double out;
  if (overflow || !native_seconds(ts, digits, &out)) Py_RETURN_NONE;
  return PyFloat_FromDouble(out);
}

// Positions.set_current_tick(self, tick), step for step as the Python text in positions.py:
//     code = tick["code"]; self.last_ticks[code] = tick; entry = self.book.get(code)
//     if entry is not None: entry.last_price = tick["close"]
PyObject* positions_set_current_tick(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "set_current_tick() takes 2 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  PyObject *self = args[0], *tick = args[1];
  try {
    Ref code = getitem(tick, ORVA_NAME("code"));
    Ref last_ticks = getattr(self, ORVA_NAME("last_ticks"));
    if (PyObject_SetItem(last_ticks.get(), code.get(), tick) < 0) throw_error();
    Ref book = getattr(self, ORVA_NAME("book"));
    Ref entry;
    if (PyDict_CheckExact(book.get())) {
      PyObject* found = PyDict_GetItemWithError(book.get(), code.get());
      if (!found && PyErr_Occurred()) throw_error();
      entry = Ref::borrow(found);
    } else {
      Ref get = getattr(book.get(), ORVA_NAME("get"));
      entry = call(get.get(), {code.get()});
      if (entry.get() == Py_None) entry = Ref();
    }
    if (entry) {
      Ref close = getitem(tick, ORVA_NAME("close"));
      setattr(entry.get(), ORVA_NAME("last_price"), close.get());
    }
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

PyMethodDef functions[] = {
    {"tick_loop", tick_loop, METH_O, "driver.tick_loop in C++: the per-tick loop of a TickStream."},
    {"ns_to_seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(ns_to_seconds)), METH_FASTCALL,
     "The package's nanosecond-to-seconds helper computed natively; None outside its range."},
    {"_positions_set_current_tick",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(positions_set_current_tick)), METH_FASTCALL,
     "Positions.set_current_tick, native."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "fast", "Native helpers of the backtest's per-tick path.", -1,
                          functions};

}  // namespace

}  // namespace orva::fast

PyMODINIT_FUNC PyInit_fast() {
  using namespace orva;
  PyObject* module = PyModule_Create(&orva::fast::module_def);
  if (!module) return nullptr;
  if (orva::fast::add_book_functions(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  // As a class attribute it must bind `self` like a Python function does.
  PyObject* plain = PyObject_GetAttrString(module, "_positions_set_current_tick");
  PyObject* method = plain ? PyInstanceMethod_New(plain) : nullptr;
  Py_XDECREF(plain);
  if (!method || PyModule_AddObject(module, "positions_set_current_tick", method) < 0) {
    Py_XDECREF(method);
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
