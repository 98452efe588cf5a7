// Small native helpers for the backtest's per-tick path (each has a plain-Python equivalent).
#include "engine.hpp"
#include "seconds.hpp"

namespace orva::engine {

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

PyMethodDef functions[] = {
    {"tick_loop", tick_loop, METH_O, "tick_loop(stream): the per-tick loop of a run's TickStream, until the feed's exit status."},
    {"ns_to_seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(ns_to_seconds)), METH_FASTCALL,
     "The package's nanosecond-to-seconds helper computed natively; None outside its range."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "engine", "Native helpers of the backtest's per-tick path.", -1,
                          functions};

}  // namespace

}  // namespace orva::engine

PyMODINIT_FUNC PyInit_engine() {
  using namespace orva;
  PyObject* module = PyModule_Create(&orva::engine::module_def);
  if (!module) return nullptr;
  if (orva::engine::add_book_functions(module) < 0 || orva::engine::add_context_methods(module) < 0 ||
      orva::engine::add_tracker_methods(module) < 0 || orva::engine::add_stop_methods(module) < 0 ||
      orva::engine::add_fill_functions(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
