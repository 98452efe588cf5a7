// What the matcher module hands the engine's tick loop: its Matcher's own set_current_tick as a C
// call, so that the loop, once it knows the run's exchange uses that method, skips the method's
// Python-level binding on every tick. The module holds it as the capsule `_tick_entry`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orva {

inline constexpr const char* kTickEntryCapsule = "orva_mero_backtest.modules.matcher.matcher._tick_entry";

struct TickEntry {
  // The function the class's own set_current_tick binds (what `matcher.set_current_tick.__func__`
  // is while nothing replaced it): compared only.
  PyObject* own_function;
  // Matcher.set_current_tick(self, tick) for a tick that is exactly a dict, as the binding calls its
  // body (a failure gets the same traceback frame); 0, or -1 with an error set.
  int (*set_current_tick)(PyObject* self, PyObject* tick);
};

}  // namespace orva
