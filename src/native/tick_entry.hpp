// Per-tick calls between the native modules without their Python-level binding, each taken only
// while the method Python would call is the module's own:
// - the matcher module hands the engine's tick loop its Matcher's own set_current_tick (the capsule
//   `_tick_entry`), used while the run's exchange has that method;
// - the engine module hands the matcher the positions book's own set_current_tick (the capsule
//   `_book_tick_entry`), which itself checks at each call that the book's class has that method and
//   the book itself holds no attribute of the name.
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
  // body (a failure gets the same traceback frame); 0, or -1 with an error set. `code` and `ts` are
  // tick["code"] and tick["timestamp"] (a str and a float) when the caller just read them, no Python
  // code run since (the body then does not read them again); else both null.
  int (*set_current_tick)(PyObject* self, PyObject* tick, PyObject* code, PyObject* ts);
};

inline constexpr const char* kBookTickCapsule = "orva_mero_backtest.modules.engine.engine._book_tick_entry";

struct BookTickEntry {
  // Positions.set_current_tick(self, tick) while self.set_current_tick is that method (the book's
  // class holds engine.book_set_current_tick, nothing in front of it): 1 done; 0 when it is another
  // (nothing done, no Python code run: call the attribute); -1 with an error set. `code` is
  // tick["code"] (a str) when the caller just read it, no Python code run since; else null.
  int (*set_current_tick)(PyObject* self, PyObject* tick, PyObject* code);
};

}  // namespace orva
