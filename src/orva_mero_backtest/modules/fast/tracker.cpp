// OrderTracker.track in C++, step for step as the Python text in orders.py (which stays the
// reference; a test compares the two): one report of the exchange applied to the order's record.
#include <utility>

#include "fast.hpp"
#include "items.hpp"

namespace orva::fast {

namespace {

// mapping.get(key): a new reference, or empty for a missing key (and for a None value).
Ref get_of(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = PyDict_GetItemWithError(mapping, key);
    if (!found && PyErr_Occurred()) throw_error();
    return found == Py_None ? Ref() : Ref::borrow(found);
  }
  Ref found = call_method(mapping, ORVA_NAME("get"), {key});
  return found.get() == Py_None ? Ref() : found;
}

// `a <op> b` as Python's `if a <op> b:` decides it.
bool compare(PyObject* a, PyObject* b, int op) {
  Ref result = Ref::steal(PyObject_RichCompare(a, b, op));
  return truthy(result.get());
}

Ref number(PyObject* result) { return Ref::steal(result); }

// OrderTracker._settle(order)
void settle(PyObject* self, PyObject* order) {
  Ref zero = py_long(0);
  Ref open = item_of(order, ORVA_NAME("open_qty"));
  if (compare(open.get(), zero.get(), Py_GT)) {
    Ref filled = item_of(order, ORVA_NAME("filled_qty"));
    set_item(order, ORVA_NAME("status"), truthy(filled.get()) ? ORVA_NAME("PartFilled") : ORVA_NAME("Open"));
    return;
  }
  Ref cancelled = item_of(order, ORVA_NAME("cancelled_qty"));
  set_item(order, ORVA_NAME("status"), truthy(cancelled.get()) ? ORVA_NAME("Cancelled") : ORVA_NAME("Filled"));
  Ref open_orders = getattr(self, ORVA_NAME("_open"));
  Ref trade_id = item_of(order, ORVA_NAME("trade_id"));
  call_method(open_orders.get(), ORVA_NAME("pop"), {trade_id.get(), Py_None});
}

bool track(PyObject* self, PyObject* report) {
  int is_deal = PySequence_Contains(report, ORVA_NAME("exchange_seqno"));
  if (is_deal < 0) throw_error();
  Ref orders = getattr(self, ORVA_NAME("orders"));
  if (is_deal) {
    Ref id = item_of(report, ORVA_NAME("id"));
    Ref order = get_of(orders.get(), id.get());
    if (order) {
      PyObject* o = order.get();
      Ref qty = item_of(report, ORVA_NAME("quantity"));
      Ref filled = number(PyNumber_Add(item_of(o, ORVA_NAME("filled_qty")).get(), qty.get()));
      set_item(o, ORVA_NAME("filled_qty"), filled.get());
      Ref before = item_of(o, ORVA_NAME("_fill_value"));
      Ref price = item_of(report, ORVA_NAME("price"));
      Ref worth = number(PyNumber_Multiply(qty.get(), price.get()));
      Ref value = number(PyNumber_Add(before.get(), worth.get()));
      set_item(o, ORVA_NAME("_fill_value"), value.get());
      if (truthy(filled.get())) {
        Ref average = number(PyNumber_TrueDivide(value.get(), filled.get()));
        set_item(o, ORVA_NAME("avg_fill_price"), average.get());
      }
      Ref left = number(PyNumber_Subtract(item_of(o, ORVA_NAME("open_qty")).get(), qty.get()));
      Ref zero = py_long(0);
      set_item(o, ORVA_NAME("open_qty"), compare(left.get(), zero.get(), Py_GT) ? left.get() : zero.get());
      set_item(o, ORVA_NAME("updated_ts"), item_of(report, ORVA_NAME("exchange_ts")).get());
      settle(self, o);
    }
    return true;
  }
  Ref entry = item_of(report, ORVA_NAME("order"));
  Ref id = item_of(entry.get(), ORVA_NAME("id"));
  Ref order = get_of(orders.get(), id.get());
  if (!order) return false;
  PyObject* o = order.get();
  Ref kind = item_of(report, ORVA_NAME("operation_type"));
  Ref status = item_of(report, ORVA_NAME("trade_status"));
  set_item(o, ORVA_NAME("updated_ts"), item_of(status.get(), ORVA_NAME("exchange_ts")).get());
  // The texts of OperationType.UPDATE_QTY, UPDATE_PRICE and CANCEL.
  if (compare(kind.get(), ORVA_NAME("UpdateQty"), Py_EQ)) {
    set_item(o, ORVA_NAME("open_qty"), item_of(entry.get(), ORVA_NAME("quantity")).get());
  } else if (compare(kind.get(), ORVA_NAME("UpdatePrice"), Py_EQ)) {
    set_item(o, ORVA_NAME("price"), item_of(entry.get(), ORVA_NAME("price")).get());
  } else if (compare(kind.get(), ORVA_NAME("Cancel"), Py_EQ)) {
    set_item(o, ORVA_NAME("open_qty"), py_long(0).get());
  }
  Ref quantity = item_of(o, ORVA_NAME("quantity"));
  Ref filled = item_of(o, ORVA_NAME("filled_qty"));
  Ref rest = number(PyNumber_Subtract(quantity.get(), filled.get()));
  Ref open = item_of(o, ORVA_NAME("open_qty"));
  Ref cancelled = number(PyNumber_Subtract(rest.get(), open.get()));
  set_item(o, ORVA_NAME("cancelled_qty"), cancelled.get());
  settle(self, o);
  return false;
}

// OrderTracker._place(self, code, product_type, action, price, qty, price_type, order_type,
// order_cond, order_lot, oc_type, now): `a` holds those eleven after self.
Ref place(PyObject* self, PyObject* const* a) {
  Ref book = getattr(self, ORVA_NAME("_book"));
  const Py_ssize_t before = PyObject_Length(book.get());
  if (before < 0) throw_error();
  Ref add = getattr(self, ORVA_NAME("_add_order"));
  Ref added = Ref::steal(PyObject_Vectorcall(add.get(), a, 10, nullptr));
  const Py_ssize_t after = PyObject_Length(book.get());
  if (after < 0) throw_error();
  if (after != before + 1) {
    Ref error = call_method(self, ORVA_NAME("_not_taken"), {a[0], a[2], a[4], a[5]});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error();
  }
  Ref last_index = py_long(-1);
  Ref last = item_of(book.get(), last_index.get());
  Ref trade_id = item_of(last.get(), ORVA_NAME("trade_id"));
  Ref zero = py_long(0);
  Ref no_value = py_float(0.0);
  PyObject* now = a[10];
  // The record's keys in the order the Python text writes them.
  const std::pair<PyObject*, PyObject*> fields[] = {
      {ORVA_NAME("trade_id"), trade_id.get()}, {ORVA_NAME("code"), a[0]},
      {ORVA_NAME("product_type"), a[1]},       {ORVA_NAME("action"), a[2]},
      {ORVA_NAME("price_type"), a[5]},         {ORVA_NAME("order_type"), a[6]},
      {ORVA_NAME("price"), a[3]},              {ORVA_NAME("quantity"), a[4]},
      {ORVA_NAME("open_qty"), a[4]},           {ORVA_NAME("filled_qty"), zero.get()},
      {ORVA_NAME("avg_fill_price"), Py_None},  {ORVA_NAME("cancelled_qty"), zero.get()},
      {ORVA_NAME("status"), ORVA_NAME("Open")}, {ORVA_NAME("placed_ts"), now},
      {ORVA_NAME("updated_ts"), now},          {ORVA_NAME("_fill_value"), no_value.get()},
  };
  Ref order = Ref::steal(_PyDict_NewPresized(16));
  for (const auto& [key, value] : fields) dict_set(order.get(), key, value);
  Ref orders = getattr(self, ORVA_NAME("orders"));
  set_item(orders.get(), trade_id.get(), order.get());
  Ref open_orders = getattr(self, ORVA_NAME("_open"));
  set_item(open_orders.get(), trade_id.get(), order.get());
  return trade_id;
}

}  // namespace

PyObject* order_tracker_place(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 12) {
    PyErr_Format(PyExc_TypeError, "place() takes 12 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  try {
    return place(args[0], args + 1).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* order_tracker_track(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "track() takes 2 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  try {
    return Ref::borrow(track(args[0], args[1]) ? Py_True : Py_False).release();
  } catch (PyError&) {
    return nullptr;
  }
}

}  // namespace orva::fast
