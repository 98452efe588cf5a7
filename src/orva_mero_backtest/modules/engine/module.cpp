// Small native helpers for the backtest's per-tick path (each has a plain-Python equivalent).
#include "binder.hpp"
#include "engine.hpp"
#include "queues.hpp"
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

// wait_item(q, seconds) -> the next item of the queue, or None when none came within `seconds`.
PyObject* wait_item(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "wait_item(queue, seconds: float)");
    return nullptr;
  }
  const double seconds = PyFloat_AsDouble(args[1]);
  if (seconds == -1.0 && PyErr_Occurred()) return nullptr;
  try {
    Ref item = queue_get_within(args[0], seconds);
    if (!item) Py_RETURN_NONE;
    return item.release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyMethodDef functions[] = {
    {"tick_loop", tick_loop, METH_O, "tick_loop(stream): the per-tick loop of a run's TickStream, until the feed's exit status."},
    {"ns_to_seconds", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(ns_to_seconds)), METH_FASTCALL,
     "The package's nanosecond-to-seconds helper computed natively; None outside its range."},
    {"wait_item", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(wait_item)), METH_FASTCALL,
     "wait_item(queue, seconds)\n--\n\nThe next item of the queue, or None when none came within `seconds`. "
     "Ctrl-C ends the wait (KeyboardInterrupt) and never leaves a plain queue.Queue's mutex held, which "
     "queue.Queue.get can (its Condition is Python code)."},
    {nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "engine", "Native helpers of the backtest's per-tick path.", -1,
                          functions};

}  // namespace

}  // namespace orva::engine

PyMODINIT_FUNC PyInit_engine() {
  using namespace orva;
  PyObject* module = PyModule_Create(&orva::engine::module_def);
  if (!module) return nullptr;
  if (!run_caught([] { watch_exit(); }, [] {})) {
    Py_DECREF(module);
    return nullptr;
  }
  if (orva::engine::add_book_functions(module) < 0 || orva::engine::add_context_methods(module) < 0 ||
      orva::engine::add_tracker_methods(module) < 0 || orva::engine::add_stop_methods(module) < 0 ||
      orva::engine::add_fill_functions(module) < 0) {
    Py_DECREF(module);
    return nullptr;
  }
  return module;
}
