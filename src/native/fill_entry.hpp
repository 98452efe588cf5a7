// The fill's calls from the exchange into the positions book without their Python-level binding:
// the engine module hands the matcher the book's own add_trade_record and set_positions (the
// capsule `_book_fill_entry`), used at each fill while the book's class has both methods and the
// book itself holds no attribute of either name.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace orva {

inline constexpr const char* kBookFillCapsule = "orva_mero_backtest.modules.engine.engine._book_fill_entry";

// A deal's fields as the exchange just wrote them into its deal copy, no Python code run since
// (borrowed from the deal). `lot` is null when the deal has no "order_lot".
struct FillFields {
  PyObject *trade_id, *code, *action, *quantity, *price, *exchange_ts, *lot;
};

struct BookFillEntry {
  // The descriptors Positions' class attributes add_trade_record and set_positions hold: compared only.
  PyObject* own_add_trade_record;
  PyObject* own_set_positions;
  // Positions.add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status)
  // with its seven values in that order; 0, or -1 with an error set.
  int (*add_trade_record)(PyObject* self, PyObject* const* values);
  // Positions.set_positions(self, trade, product_type); `known` (or null) the trade's fields, which
  // the body then does not read again: with `known` given, `trade` may be None (no deal dict was
  // made). 0, or -1 with an error set.
  int (*set_positions)(PyObject* self, PyObject* trade, PyObject* product_type, const FillFields* known);
};

}  // namespace orva

namespace orva {

inline constexpr const char* kReportEntryCapsule = "orva_mero_backtest.modules.matcher.matcher._report_entry";

// The engine's delivery takes each report of the exchange through the Matcher's own pop_response
// (the capsule `_report_entry`), while the run's pop_response is that method.
struct ReportEntry {
  // The function the class's own pop_response binds: compared only.
  PyObject* own_function;
  // Matcher.pop_response(self) as the binding calls its body: the report, or null with an error set.
  PyObject* (*pop_response)(PyObject* self);
};

}  // namespace orva
