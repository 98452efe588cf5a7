// Shortcuts for the calls a backtest makes per tick and per order (add_order, set_current_tick,
// pop_response, the report queue): the same results as the plain paths, with fewer look-ups.
#pragma once

#include "matcher.hpp"

namespace orva::matcher {

struct DealFields;  // defined with the shortcuts; report_deal names it everywhere

// References held until the end of a call and released together, under one GIL check (a Ref
// checks at every release).
class Keep {
 public:
  Keep() = default;
  Keep(const Keep&) = delete;
  Keep& operator=(const Keep&) = delete;
  ~Keep() {
    if (n_ && holds_gil())
      while (n_ > 0) Py_DECREF(items_[--n_]);
  }
  // Takes over a new reference (NULL: a Python error is set, thrown); the object stays alive, and
  // the returned pointer valid, until the end of the call.
  PyObject* own(PyObject* p) {
    if (!p) throw_error();
    if (n_ == kCapacity) {
      Py_DECREF(p);
      raise(PyExc_SystemError, "too many references kept");
    }
    items_[n_++] = p;
    return p;
  }
  PyObject* hold(PyObject* p) {
    Py_INCREF(p);
    return own(p);
  }

 private:
  static constexpr int kCapacity = 48;
  PyObject* items_[kCapacity];
  int n_ = 0;
};

// ---- shapes.cpp: dicts of a fixed list of keys ---------------------------------------------

enum ShapeId {
  kRecordStockShape,   // an order record of a stock
  kRecordFutureShape,  // ... of a future
  kOrderStockShape,    // the "order" part of an order report
  kOrderFutureShape,
  kStatusShape,     // its "trade_status" part
  kNewReportShape,  // the report itself
  kDealStockShape,  // a deal report
  kDealFutureShape,
  kShapeCount
};
constexpr int kMaxShapeKeys = 16;

// Where an order record's fields sit, in both record shapes.
enum RecordField {
  kRecTradeId = 3, kRecCode = 5, kRecProduct = 6, kRecAction = 7, kRecPrice = 8, kRecQuantity = 9,
  kRecExchangeTs = 12, kRecOrderCond = 13, kRecOrderLot = 14
};

void load_shapes();

// A new dict of the shape's keys in order, key i holding values[i] (borrowed): what setting them
// one by one on a new dict gives.
Ref make_shaped(ShapeId id, PyObject* const* values);

// The number of keys of a shape.
int shape_size(ShapeId id);

// The values of `d`, by key index, when it shares the key table of the shape's template (made by
// make_shaped or copied from such a dict); else null. A value may be null (the key is not in `d`).
PyObject** shaped_values(ShapeId id, PyObject* d);

#if ORVA_FASTPATHS
// The values of `record` by key index, and its shape, when copy_record would give a plain copy of
// it without looking anything up: copy.deepcopy the one seen at load, the record holding exactly
// its shape's keys, each value one deepcopy returns as it is. Else null. No Python code runs.
PyObject** copied_as_is(PyObject* record, ShapeId* shape);
#endif

// The documented attributes of a Matcher, read from its instance dict in one pass, while that dict
// holds exactly them and the class (or subclass) is as built: no data descriptor over them, every
// method its own. Held by the Keep the view was made with.
struct SelfView {
  PyObject* pending_orders = nullptr;
  PyObject* response_queue = nullptr;
  PyObject* pending_order_queue = nullptr;
  PyObject* current_tick_infos = nullptr;
  PyObject* positions = nullptr;
  PyObject* account_info = nullptr;
  PyObject* exchange_info = nullptr;
  PyTypeObject* type = nullptr;  // what it was read through: compared only
  PyObject* dict = nullptr;
  uint64_t version = 0;
};

// self.<name> held by `keep`: with the shortcuts, from the remembered view of self, else from a new
// one; else (and without them) getattr.
PyObject* self_attr(PyObject* self, PyObject* SelfView::*attribute, PyObject* name, Keep& keep);

#if ORVA_FASTPATHS

// Fills `view`; false (nothing held) when the shortcut does not apply to `self` now.
bool view_of(PyObject* self, Keep& keep, SelfView& view);

// Whether `view` still shows `self`: the same plain class and instance dict, the dict unchanged.
bool view_holds(PyObject* self, const SelfView& view);

// One attribute of `self` from the view last read, while that view still shows `self`; else null.
// Borrowed from self's instance dict: hold it before anything can run Python code.
PyObject* remembered_attr(PyObject* self, PyObject* SelfView::*attribute);

// The fields of a deal its report is made of, borrowed from the deal (cond and lot may be null).
struct DealFields {
  PyObject *product, *id, *action, *code, *quantity, *price, *ts, *cond, *lot;
};

// Read from an exact dict `deal`; false when one of the first seven is missing.
bool deal_fields(PyObject* deal, DealFields& f);

// build_deal_response(deal) as the class's own report methods make it, for the instance `view`
// shows, from the deal's fields; an empty Ref (no error set, nothing changed) when only the
// methods can tell. What it reads is held by `keep`.
Ref quick_deal_report(const EnumSnapshot& e, const DealFields& f, const SelfView& view, Keep& keep);

// add_order of a valid request while every shortcut holds; false when the plain path must do it
// (nothing observable has happened then).
bool quick_add_order(const Args& a);
#endif

// What add_order does when building or sending the order's "New" report fails.
void add_order_failed(const Args& a, PyObject* price, Caught& caught);

}  // namespace orva::matcher
