// Order entry between the native modules without the Python-level binding: the matcher module
// hands the engine's order tracker its Matcher's own add_order (the capsule `_order_entry`), used at
// each order while the tracker's bound add_order is that method.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orva {

inline constexpr const char* kOrderEntryCapsule = "orva_mero_backtest.modules.matcher.matcher._order_entry";

struct OrderEntry {
  // The function the class's own add_order binds (what `matcher.add_order.__func__` is while
  // nothing replaced it): compared only.
  PyObject* own_function;
  // Matcher.add_order(self, code, product_type, action, price, qty, price_type, order_type,
  // order_cond, order_lot, oc_type) with its ten values in that order, as the binding calls its body
  // (a failure gets the same traceback frame): 0 done, -1 with an error set, 1 when a value is not
  // of a type taken here without the binding (nothing done: call the method).
  int (*add_order)(PyObject* self, PyObject* const* values);
};

}  // namespace orva
