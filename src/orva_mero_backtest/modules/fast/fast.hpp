// Native helpers of the backtest's per-tick path.
#pragma once

#include "pyref.hpp"

namespace orva::fast {

// fast.tick_loop(stream): driver.tick_loop in C++.
PyObject* tick_loop(PyObject* module, PyObject* stream);

// OrderTracker.place(self, <the order's ten fields>, now) in C++.
PyObject* order_tracker_place(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// OrderTracker.track(self, report) in C++.
PyObject* order_tracker_track(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// Adds the positions book's native methods (book.cpp) to the module; -1 with an error set on failure.
int add_book_functions(PyObject* module);

}  // namespace orva::fast
