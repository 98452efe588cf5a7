// Native helpers of the backtest's per-tick path.
#pragma once

#include "pyref.hpp"

namespace orva::engine {

// engine.tick_loop(stream): the driver's per-tick loop (loop.cpp). Exported, unlike the rest, so that a
// profiler finds it by name in the stripped module (benchmarks/loop_instructions.py counts from it).
__attribute__((visibility("default"))) PyObject* tick_loop(PyObject* module, PyObject* stream);

// OrderTracker.place(self, <the order's ten fields>, now) and track(self, report) (orders.cpp) as
// module attributes order_tracker_<name>; -1 with an error set on failure.
int add_tracker_methods(PyObject* module);

// OrderTracker.track's body for `report`, as the method `track` (the module attribute
// order_tracker_track) bound to `tracker` runs it: 1 for a deal report, 0 for another, -1 with an
// error set.
int track_report(PyObject* module, PyObject* tracker, PyObject* report);

// OrderTracker.place's body for `tracker` and the eleven values after self (code ... now), as the
// method bound to it runs it: the trade id. order[-1] is a spare slot the body may write (a call's
// PY_VECTORCALL_ARGUMENTS_OFFSET).
Ref tracker_place(PyObject* module, PyObject* tracker, PyObject* const* order);

// Whether `function` is what OrderTracker.place binds (the module attribute order_tracker_place):
// compared only.
bool is_tracker_place(PyObject* function);

// StrategyContext's buy, sell and place_order (context.cpp) as module attributes context_<name>;
// -1 with an error set on failure.
int add_context_methods(PyObject* module);

// StopBook.check (stops.cpp) as the module attribute stop_book_check; -1 with an error set on failure.
int add_stop_methods(PyObject* module);

// Adds the positions book's methods (positions.cpp) and the cost rules (costs.cpp) to the module; -1
// with an error set on failure.
int add_book_functions(PyObject* module);

// The fill models (fills.cpp): engine.fill_model(matcher, model, entry_latency) makes a run's state;
// match_with_model meets one main tick against the book (a list) with it.
int add_fill_functions(PyObject* module);
void match_with_model(PyObject* model, PyObject* tick, PyObject* book);

}  // namespace orva::engine
