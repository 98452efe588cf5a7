// OrderTracker.place and track in C++, step for step as the Python text in orders.py (which stays the
// reference; tests compare the two): an order's record started, one report of the exchange applied to
// it. Records share one key table (dict_rows.hpp); a plain report on a plain record is applied on its
// values in place, anything else by the general steps.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <utility>

#include "dict_rows.hpp"
#include "engine.hpp"
#include "fastpaths.hpp"
#include "dict_items.hpp"
#include "native_method.hpp"

namespace orva::engine {

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

// The tracker's own attributes that place and track read on every call.
enum Part { kOrders, kOpen, kBook, kAddOrder, kParts };
PyObject* part_name(int i) {
  switch (i) {
    case kOrders: return ORVA_NAME("orders");
    case kOpen: return ORVA_NAME("_open");
    case kBook: return ORVA_NAME("_book");
    default: return ORVA_NAME("_add_order");
  }
}

#if ORVA_DICT_VERSIONS
// Those attributes as read from a tracker's __dict__, kept while that dict keeps its version tag and
// its class its type version tag (then no class attribute has come in front of them since): borrowed,
// the unchanged dict holds them.
struct PartsPlan {
  PyObject* dict = nullptr;
  uint64_t version = 0;
  PyTypeObject* type = nullptr;
  unsigned int type_version = 0;
  PyObject* parts[kParts] = {};
};
PartsPlan g_parts;  // borrowed pointers only: never released

bool parts_current(PyObject* self, PyObject* dict) {
  const PartsPlan& p = g_parts;
  PyTypeObject* type = Py_TYPE(self);
  return p.dict == dict && p.version == dict_version(dict) && p.type == type &&
         (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && p.type_version == type->tp_version_tag;
}

bool make_parts(PyObject* self, PyObject* dict) {
  PartsPlan& p = g_parts;
  p = PartsPlan{};
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (int i = 0; i < kParts; ++i) {
    if (_PyType_Lookup(type, part_name(i))) return false;  // also gives the type its version tag
    if (!(p.parts[i] = PyDict_GetItemWithError(dict, part_name(i)))) {
      if (PyErr_Occurred()) throw_error();
      return false;
    }
  }
  if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return false;
  p.dict = dict;
  p.version = dict_version(dict);
  p.type = type;
  p.type_version = type->tp_version_tag;
  return true;
}
#endif

// self.<part>
Ref part(PyObject* self, Part which) {
#if ORVA_DICT_VERSIONS
  if (fastpaths_on()) {
    PyObject** slot = _PyObject_GetDictPtr(self);
    if (slot && *slot && PyDict_CheckExact(*slot) && (parts_current(self, *slot) || make_parts(self, *slot)))
      return Ref::borrow(g_parts.parts[which]);
  }
#endif
  return getattr(self, part_name(which));
}

// `kind == text` for an operation type: a str (or a str enum member) compares as str does.
bool is_kind(PyObject* kind, PyObject* text) {
  return plain_text(kind) ? plain_equal(kind, text) : compare(kind, text, Py_EQ);
}

// open_orders.pop(trade_id, None)
void drop_open(PyObject* self, PyObject* trade_id) {
  Ref open_orders = part(self, kOpen);
  if (PyDict_CheckExact(open_orders.get())) {
    PyObject* found = peek(open_orders.get(), trade_id);
    if (found && PyDict_DelItem(open_orders.get(), trade_id) < 0) throw_error();
    return;
  }
  call_method(open_orders.get(), ORVA_NAME("pop"), {trade_id, Py_None});
}

// The keys of an order record in the order the Python text writes them.
constexpr int kRecordKeys = 16;
PyObject* record_key(int i) {
  switch (i) {
    case 0: return ORVA_NAME("trade_id");
    case 1: return ORVA_NAME("code");
    case 2: return ORVA_NAME("product_type");
    case 3: return ORVA_NAME("action");
    case 4: return ORVA_NAME("price_type");
    case 5: return ORVA_NAME("order_type");
    case 6: return ORVA_NAME("price");
    case 7: return ORVA_NAME("quantity");
    case 8: return ORVA_NAME("open_qty");
    case 9: return ORVA_NAME("filled_qty");
    case 10: return ORVA_NAME("avg_fill_price");
    case 11: return ORVA_NAME("cancelled_qty");
    case 12: return ORVA_NAME("status");
    case 13: return ORVA_NAME("placed_ts");
    case 14: return ORVA_NAME("updated_ts");
    default: return ORVA_NAME("_fill_value");
  }
}

// The template records are copied from (dict_rows.hpp: records kept for the whole run share one key
// table), made at first use and kept as engine._order_record.
Ref record_template(PyObject* module) {
  PyObject* found = peek(PyModule_GetDict(module), ORVA_NAME("_order_record"));
  if (found && PyDict_CheckExact(found)) return Ref::borrow(found);
  Ref made = dict_row_template("_OrderRecord", record_key, kRecordKeys);
  if (PyObject_SetAttr(module, ORVA_NAME("_order_record"), made.get()) < 0) throw_error();
  return made;
}

// An order record's fields. With the fast paths on (3.10) a record that still shares the template's
// key table (dict_rows.hpp) holds key i's value at values[i]: a field is read there, and one that
// takes an int, float or str (no value the collector tracks) is replaced there. The caller ends with
// one ordinary write (dict_set), which gives the dict its new version tag.
enum RecordField { kTradeId = 0, kPrice = 6, kQuantity = 7, kOpenQty = 8, kFilledQty = 9, kAvgFillPrice = 10,
                   kCancelledQty = 11, kStatus = 12, kUpdatedTs = 14, kFillValue = 15 };

class RecordFields {
 public:
  RecordFields(PyObject* module, PyObject* order) : d_(order) {
    PyObject* templ = peek(PyModule_GetDict(module), ORVA_NAME("_order_record"));
    if (templ && PyDict_CheckExact(templ)) values_ = dict_row_values(templ, order);
    if (values_ && PyDict_GET_SIZE(order) != kRecordKeys) values_ = nullptr;  // a field taken out
  }

  PyObject* get(RecordField i) const { return values_ ? values_[i] : peek(d_, record_key(i)); }

  void set(RecordField i, PyObject* value) {
    if (!values_) {
      dict_set(d_, record_key(i), value);
      return;
    }
    Py_INCREF(value);
    Py_XSETREF(values_[i], value);
  }

 private:
  PyObject* d_;
  PyObject** values_ = nullptr;
};

// Whether releasing `v` runs no Python code (and it is no object the collector tracks).
bool harmless(PyObject* v) {
  return v == Py_None || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyUnicode_CheckExact(v);
}

// A deal report applied to an order record when all of it is plain: exact dicts, ints for the
// quantities, floats for the price and the fill value, and every value replaced a plain one. The same
// values as the Python text; false (nothing changed) otherwise.
bool track_plain_deal(PyObject* module, PyObject* self, PyObject* order, PyObject* report) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report)) return false;
  PyObject* qty_obj = peek(report, ORVA_NAME("quantity"));
  PyObject* price_obj = peek(report, ORVA_NAME("price"));
  PyObject* ts = peek(report, ORVA_NAME("exchange_ts"));
  RecordFields f(module, order);
  PyObject* value_obj = f.get(kFillValue);
  PyObject* trade_id = f.get(kTradeId);
  PyObject* average = f.get(kAvgFillPrice);
  PyObject* status = f.get(kStatus);
  PyObject* updated = f.get(kUpdatedTs);
  long long qty, filled, open, cancelled;
  if (!ts || !trade_id || !price_obj || !value_obj || !PyFloat_CheckExact(price_obj) ||
      !PyFloat_CheckExact(value_obj) || !small_int(qty_obj, &qty) || !small_int(f.get(kFilledQty), &filled) ||
      !small_int(f.get(kOpenQty), &open) || !small_int(f.get(kCancelledQty), &cancelled) || !average ||
      !harmless(average) || !status || !harmless(status) || !updated || !harmless(updated))
    return false;
  // Held: the last write releases the value before it, and these came from the dicts written to.
  Ref keep_ts = Ref::borrow(ts), keep_id = Ref::borrow(trade_id);
  filled += qty;
  const double value = PyFloat_AS_DOUBLE(value_obj) + static_cast<double>(qty) * PyFloat_AS_DOUBLE(price_obj);
  const long long left = open - qty;
  f.set(kFilledQty, py_long(filled).get());
  f.set(kFillValue, py_float(value).get());
  if (filled) f.set(kAvgFillPrice, py_float(value / static_cast<double>(filled)).get());
  f.set(kOpenQty, py_long(left > 0 ? left : 0).get());
  f.set(kStatus, left > 0 ? (filled ? ORVA_NAME("PartFilled") : ORVA_NAME("Open"))
                          : (cancelled ? ORVA_NAME("Cancelled") : ORVA_NAME("Filled")));
  dict_set(order, ORVA_NAME("updated_ts"), ts);  // an ordinary write last: the dict's new version tag
  if (left <= 0) drop_open(self, trade_id);
  return true;
}

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
  Ref trade_id = item_of(order, ORVA_NAME("trade_id"));
  drop_open(self, trade_id.get());
}

// An order report (new, quantity or price changed, cancelled) applied to an order record when all of
// it is plain: exact dicts, ints for the quantities, a str kind. The same values as the Python text;
// a value the text would write again unchanged (the same status text, an equal count) is left as
// it is. False (nothing changed) otherwise.
bool track_plain_order(PyObject* module, PyObject* self, PyObject* order, PyObject* report, PyObject* entry) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report) || !PyDict_CheckExact(entry)) return false;
  PyObject* kind = peek(report, ORVA_NAME("operation_type"));
  PyObject* status = peek(report, ORVA_NAME("trade_status"));
  if (!kind || !status || !PyDict_CheckExact(status) || !plain_text(kind)) return false;
  PyObject* ts = peek(status, ORVA_NAME("exchange_ts"));
  RecordFields f(module, order);
  PyObject* old_cancelled = f.get(kCancelledQty);
  PyObject* old_status = f.get(kStatus);
  PyObject* trade_id = f.get(kTradeId);
  PyObject* updated = f.get(kUpdatedTs);
  PyObject* old_price = f.get(kPrice);
  long long quantity, filled, open;
  if (!ts || !old_cancelled || !harmless(old_cancelled) || !old_status || !harmless(old_status) || !trade_id ||
      !updated || !harmless(updated) || !old_price || !harmless(old_price) || !small_int(f.get(kQuantity), &quantity) ||
      !small_int(f.get(kFilledQty), &filled) || !small_int(f.get(kOpenQty), &open))
    return false;
  PyObject* new_open = nullptr;  // the open quantity written, when it changes
  PyObject* new_price = nullptr;
  const bool cancel = is_kind(kind, ORVA_NAME("Cancel"));
  if (is_kind(kind, ORVA_NAME("UpdateQty"))) {
    new_open = peek(entry, ORVA_NAME("quantity"));
    if (!small_int(new_open, &open)) return false;
  } else if (is_kind(kind, ORVA_NAME("UpdatePrice"))) {
    if (!(new_price = peek(entry, ORVA_NAME("price")))) return false;
  } else if (cancel) {
    open = 0;
  }
  const long long cancelled = quantity - filled - open;
  long long before;
  const bool cancelled_same = small_int(old_cancelled, &before) && before == cancelled;
  // Held: the ordinary writes release the values before them.
  Ref keep_ts = Ref::borrow(ts), keep_id = Ref::borrow(trade_id), keep_price = Ref::borrow(new_price);
  if (new_open)
    f.set(kOpenQty, new_open);
  else if (cancel)
    f.set(kOpenQty, py_long(0).get());
  if (!cancelled_same) f.set(kCancelledQty, py_long(cancelled).get());
  PyObject* text = open > 0 ? (filled ? ORVA_NAME("PartFilled") : ORVA_NAME("Open"))
                            : (cancelled ? ORVA_NAME("Cancelled") : ORVA_NAME("Filled"));
  // The same status text left as it is (the text would write it again).
  if (text != old_status) f.set(kStatus, text);
  if (new_price) dict_set(order, ORVA_NAME("price"), new_price);
  dict_set(order, ORVA_NAME("updated_ts"), ts);  // an ordinary write last: the dict's new version tag
  if (open <= 0) drop_open(self, trade_id);
  return true;
}

bool track(PyObject* module, PyObject* self, PyObject* report) {
  int is_deal = PySequence_Contains(report, ORVA_NAME("exchange_seqno"));
  if (is_deal < 0) throw_error();
  Ref orders = part(self, kOrders);
  if (is_deal) {
    Ref id = item_of(report, ORVA_NAME("id"));
    Ref order = get_of(orders.get(), id.get());
    if (order && !track_plain_deal(module, self, order.get(), report)) {
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
  if (!order || track_plain_order(module, self, order.get(), report, entry.get())) return false;
  PyObject* o = order.get();
  Ref kind = item_of(report, ORVA_NAME("operation_type"));
  Ref status = item_of(report, ORVA_NAME("trade_status"));
  set_item(o, ORVA_NAME("updated_ts"), item_of(status.get(), ORVA_NAME("exchange_ts")).get());
  // The texts of OperationType.UPDATE_QTY, UPDATE_PRICE and CANCEL.
  if (is_kind(kind.get(), ORVA_NAME("UpdateQty"))) {
    set_item(o, ORVA_NAME("open_qty"), item_of(entry.get(), ORVA_NAME("quantity")).get());
  } else if (is_kind(kind.get(), ORVA_NAME("UpdatePrice"))) {
    set_item(o, ORVA_NAME("price"), item_of(entry.get(), ORVA_NAME("price")).get());
  } else if (is_kind(kind.get(), ORVA_NAME("Cancel"))) {
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
Ref place(PyObject* module, PyObject* self, PyObject* const* a) {
  Ref book = part(self, kBook);
  const Py_ssize_t before = PyObject_Length(book.get());
  if (before < 0) throw_error();
  Ref add = part(self, kAddOrder);
  Ref added = Ref::steal(PyObject_Vectorcall(add.get(), a, 10, nullptr));
  const Py_ssize_t after = PyObject_Length(book.get());
  if (after < 0) throw_error();
  if (after != before + 1) {
    Ref error = call_method(self, ORVA_NAME("_not_taken"), {a[0], a[2], a[4], a[5]});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error();
  }
  Ref last;
  if (PyList_CheckExact(book.get()) && PyList_GET_SIZE(book.get()) > 0) {
    last = Ref::borrow(PyList_GET_ITEM(book.get(), PyList_GET_SIZE(book.get()) - 1));
  } else {
    Ref last_index = py_long(-1);
    last = item_of(book.get(), last_index.get());
  }
  Ref trade_id = item_of(last.get(), ORVA_NAME("trade_id"));
  Ref zero = py_long(0);
  Ref no_value = py_float(0.0);
  PyObject* now = a[10];
  PyObject* const values[kRecordKeys] = {
      trade_id.get(), a[0], a[1],      a[2],    a[5],      a[6], a[3], a[4], a[4], zero.get(), Py_None,
      zero.get(),     ORVA_NAME("Open"), now, now, no_value.get()};
  Ref order = dict_row(record_template(module).get(), record_key, values, kRecordKeys);
  Ref orders = part(self, kOrders);
  set_item(orders.get(), trade_id.get(), order.get());
  Ref open_orders = part(self, kOpen);
  if (PyDict_CheckExact(open_orders.get()))
    dict_set(open_orders.get(), trade_id.get(), order.get());
  else
    set_item(open_orders.get(), trade_id.get(), order.get());
  return trade_id;
}

}  // namespace

namespace {

// A TypeError as a def taking `count` positional arguments (self included) gives for other calls.
bool wrong_call(const char* name, Py_ssize_t count, size_t nargsf, PyObject* kwnames) {
  if (kwnames && PyTuple_GET_SIZE(kwnames)) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", name);
    return true;
  }
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargs == count) return false;
  PyErr_Format(PyExc_TypeError, "%s() takes %zd positional arguments but %zd were given", name, count, nargs);
  return true;
}

PyObject* order_tracker_place(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (wrong_call("place", 12, nargsf, kwnames)) return nullptr;
  try {
    return place(module, args[0], args + 1).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* order_tracker_track(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (wrong_call("track", 2, nargsf, kwnames)) return nullptr;
  try {
    return Ref::borrow(track(module, args[0], args[1]) ? Py_True : Py_False).release();
  } catch (PyError&) {
    return nullptr;
  }
}

}  // namespace

int add_tracker_methods(PyObject* module) {
  return add_native_methods(module, "OrderTracker", "order_tracker_",
                            {{"place", order_tracker_place}, {"track", order_tracker_track}});
}

}  // namespace orva::engine
