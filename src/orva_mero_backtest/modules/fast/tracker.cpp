// OrderTracker.track in C++, step for step as the Python text in orders.py (which stays the
// reference; a test compares the two): one report of the exchange applied to the order's record.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <utility>

#include "dict_rows.hpp"
#include "fast.hpp"
#include "fastpaths.hpp"
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

// obj.name; an instance's own attribute is read from its __dict__ when nothing on its class can stand
// in front of it (generic attribute access, no class attribute of that name).
Ref attribute(PyObject* obj, PyObject* name) {
#if ORVA_FASTPATHS && PY_VERSION_HEX < 0x030B0000
  PyTypeObject* type = Py_TYPE(obj);
  if (fastpaths_on() && type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject** slot = _PyObject_GetDictPtr(obj);
    if (slot && *slot && !_PyType_Lookup(type, name)) {
      PyObject* found = PyDict_GetItemWithError(*slot, name);
      if (found) return Ref::borrow(found);
      if (PyErr_Occurred()) throw_error();
    }
  }
#endif
  return getattr(obj, name);
}

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
  return p.dict == dict && p.version == reinterpret_cast<PyDictObject*>(dict)->ma_version_tag && p.type == type &&
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
  p.version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
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
  return attribute(self, part_name(which));
}

// `kind == text` for an operation type: a str (or a str enum member) compares as str does.
bool is_kind(PyObject* kind, PyObject* text) {
  if (PyUnicode_Check(kind) && Py_TYPE(kind)->tp_richcompare == PyUnicode_Type.tp_richcompare)
    return kind == text || (PyUnicode_GET_LENGTH(kind) == PyUnicode_GET_LENGTH(text) && PyUnicode_Compare(kind, text) == 0);
  return compare(kind, text, Py_EQ);
}

// An exact int that fits a long long with room for a sum of two.
bool small_int(PyObject* v, long long* out) {
  if (!v || !PyLong_CheckExact(v)) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (overflow || x > (1LL << 52) || x < -(1LL << 52)) return false;
  *out = x;
  return true;
}

// d[key] of an exact dict, borrowed; null when missing.
PyObject* peek(PyObject* d, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(d, key);
  if (!found && PyErr_Occurred()) throw_error();
  return found;
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

// A deal report applied to an order record when all of it is plain: exact dicts, ints for the
// quantities, floats for the price and the fill value. The same values as the Python text; false
// (nothing changed) otherwise.
bool track_plain_deal(PyObject* self, PyObject* order, PyObject* report) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report)) return false;
  PyObject* qty_obj = peek(report, ORVA_NAME("quantity"));
  PyObject* price_obj = peek(report, ORVA_NAME("price"));
  PyObject* ts = peek(report, ORVA_NAME("exchange_ts"));
  PyObject* filled_obj = peek(order, ORVA_NAME("filled_qty"));
  PyObject* value_obj = peek(order, ORVA_NAME("_fill_value"));
  PyObject* open_obj = peek(order, ORVA_NAME("open_qty"));
  PyObject* cancelled_obj = peek(order, ORVA_NAME("cancelled_qty"));
  PyObject* trade_id = peek(order, ORVA_NAME("trade_id"));
  long long qty, filled, open, cancelled;
  if (!ts || !trade_id || !price_obj || !value_obj || !PyFloat_CheckExact(price_obj) ||
      !PyFloat_CheckExact(value_obj) || !small_int(qty_obj, &qty) || !small_int(filled_obj, &filled) ||
      !small_int(open_obj, &open) || !small_int(cancelled_obj, &cancelled))
    return false;
  // Held: writing a value releases the one before, and these came from the dicts written to.
  Ref keep_ts = Ref::borrow(ts), keep_id = Ref::borrow(trade_id);
  filled += qty;
  const double value = PyFloat_AS_DOUBLE(value_obj) + static_cast<double>(qty) * PyFloat_AS_DOUBLE(price_obj);
  const long long left = open - qty;
  dict_set(order, ORVA_NAME("filled_qty"), py_long(filled).get());
  dict_set(order, ORVA_NAME("_fill_value"), py_float(value).get());
  if (filled) dict_set(order, ORVA_NAME("avg_fill_price"), py_float(value / static_cast<double>(filled)).get());
  dict_set(order, ORVA_NAME("open_qty"), py_long(left > 0 ? left : 0).get());
  dict_set(order, ORVA_NAME("updated_ts"), ts);
  if (left > 0) {
    dict_set(order, ORVA_NAME("status"), filled ? ORVA_NAME("PartFilled") : ORVA_NAME("Open"));
    return true;
  }
  dict_set(order, ORVA_NAME("status"), cancelled ? ORVA_NAME("Cancelled") : ORVA_NAME("Filled"));
  drop_open(self, trade_id);
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
bool track_plain_order(PyObject* self, PyObject* order, PyObject* report, PyObject* entry) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report) || !PyDict_CheckExact(entry)) return false;
  PyObject* kind = peek(report, ORVA_NAME("operation_type"));
  PyObject* status = peek(report, ORVA_NAME("trade_status"));
  if (!kind || !status || !PyDict_CheckExact(status) || !PyUnicode_Check(kind) ||
      Py_TYPE(kind)->tp_richcompare != PyUnicode_Type.tp_richcompare)
    return false;
  PyObject* ts = peek(status, ORVA_NAME("exchange_ts"));
  PyObject* old_cancelled = peek(order, ORVA_NAME("cancelled_qty"));
  PyObject* old_status = peek(order, ORVA_NAME("status"));
  PyObject* trade_id = peek(order, ORVA_NAME("trade_id"));
  long long quantity, filled, open;
  if (!ts || !old_cancelled || !old_status || !trade_id || !small_int(peek(order, ORVA_NAME("quantity")), &quantity) ||
      !small_int(peek(order, ORVA_NAME("filled_qty")), &filled) || !small_int(peek(order, ORVA_NAME("open_qty")), &open))
    return false;
  PyObject* new_open = nullptr;  // the open quantity written, when it changes
  PyObject* new_price = nullptr;
  if (is_kind(kind, ORVA_NAME("UpdateQty"))) {
    new_open = peek(entry, ORVA_NAME("quantity"));
    if (!small_int(new_open, &open)) return false;
  } else if (is_kind(kind, ORVA_NAME("UpdatePrice"))) {
    if (!(new_price = peek(entry, ORVA_NAME("price")))) return false;
  } else if (is_kind(kind, ORVA_NAME("Cancel"))) {
    open = 0;
  }
  const long long cancelled = quantity - filled - open;
  long long before;
  const bool cancelled_same = small_int(old_cancelled, &before) && before == cancelled;
  // Held: each write releases the value before it.
  Ref keep_ts = Ref::borrow(ts), keep_id = Ref::borrow(trade_id), keep_open = Ref::borrow(new_open);
  Ref keep_price = Ref::borrow(new_price), keep_status = Ref::borrow(old_status);
  dict_set(order, ORVA_NAME("updated_ts"), ts);
  if (new_open)
    dict_set(order, ORVA_NAME("open_qty"), new_open);
  else if (is_kind(kind, ORVA_NAME("Cancel")))
    dict_set(order, ORVA_NAME("open_qty"), py_long(0).get());
  if (new_price) dict_set(order, ORVA_NAME("price"), new_price);
  if (!cancelled_same) dict_set(order, ORVA_NAME("cancelled_qty"), py_long(cancelled).get());
  PyObject* text = open > 0 ? (filled ? ORVA_NAME("PartFilled") : ORVA_NAME("Open"))
                            : (cancelled ? ORVA_NAME("Cancelled") : ORVA_NAME("Filled"));
  if (text != old_status) dict_set(order, ORVA_NAME("status"), text);
  if (open <= 0) drop_open(self, trade_id);
  return true;
}

bool track(PyObject* self, PyObject* report) {
  int is_deal = PySequence_Contains(report, ORVA_NAME("exchange_seqno"));
  if (is_deal < 0) throw_error();
  Ref orders = part(self, kOrders);
  if (is_deal) {
    Ref id = item_of(report, ORVA_NAME("id"));
    Ref order = get_of(orders.get(), id.get());
    if (order && !track_plain_deal(self, order.get(), report)) {
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
  if (!order || track_plain_order(self, order.get(), report, entry.get())) return false;
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
// table), made at first use and kept as fast._order_record.
Ref record_template(PyObject* module) {
  PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), ORVA_NAME("_order_record"));
  if (found && PyDict_CheckExact(found)) return Ref::borrow(found);
  if (PyErr_Occurred()) throw_error();
  Ref made = dict_row_template("_OrderRecord", record_key, kRecordKeys);
  if (PyObject_SetAttr(module, ORVA_NAME("_order_record"), made.get()) < 0) throw_error();
  return made;
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
  set_item(open_orders.get(), trade_id.get(), order.get());
  return trade_id;
}

}  // namespace

PyObject* order_tracker_place(PyObject* module, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 12) {
    PyErr_Format(PyExc_TypeError, "place() takes 12 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  try {
    return place(module, args[0], args + 1).release();
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
