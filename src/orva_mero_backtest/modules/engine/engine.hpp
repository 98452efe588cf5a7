// Native helpers of the backtest's per-tick path.
#pragma once

#include "pyref.hpp"

namespace orva::engine {

// engine.tick_loop(stream): driver.tick_loop in C++.
PyObject* tick_loop(PyObject* module, PyObject* stream);

// OrderTracker.place(self, <the order's ten fields>, now) and track(self, report) (tracker.cpp) as
// module attributes order_tracker_<name>; -1 with an error set on failure.
int add_tracker_methods(PyObject* module);

// StrategyContext's buy, sell and place_order (context.cpp) as module attributes context_<name>;
// -1 with an error set on failure.
int add_context_methods(PyObject* module);

// engine.context_register(registration), engine.context_register_backtest(market_of): see context.cpp.
PyObject* context_register(PyObject* module, PyObject* registration);
PyObject* context_register_backtest(PyObject* module, PyObject* market_of);

// Adds the positions book's methods (positions.cpp) and the cost rules (costs.cpp) to the module; -1
// with an error set on failure.
int add_book_functions(PyObject* module);

}  // namespace orva::engine
