// OrderTracker.place and track: the driver's record of an order, from entry to its last report.
//
// The life of one order, continued from context.cpp:
//   1. place() hands the accepted request to the exchange's add_order, which appends the order's
//      record (with its trade id) to its book and queues an order report "New"; place reads the trade
//      id off the book and starts the driver's record (one dict per order, in tracker.orders, and in
//      tracker._open while it is open).
//   2. At the next tick of the instrument the exchange matches its book (loop.cpp calls match_deal)
//      and queues a deal report per fill; the loop pops each report and hands it to track() before
//      the strategy's on_order / on_deal sees it.
//   3. track() applies the report: a deal adds to the filled quantity and the average price, an
//      order report sets the open quantity or price; the status follows (Open, PartFilled, Filled,
//      Cancelled) and an order no longer open leaves tracker._open.
//
// Records share one key table (dict_rows.hpp); a plain report on a plain record is applied on its
// values in place, anything else by the general steps. What the tracker may take as plain is decided
// once, when it is made (OrderTracker.__init__ writes tracker._plan): whether its exchange is the
// package's Matcher (a list for a book) and whether its attributes live in its __dict__.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <utility>

#include "dict_rows.hpp"
#include "engine.hpp"
#include "fastpaths.hpp"
#include "dict_items.hpp"
#include "native_method.hpp"
#include "order_entry.hpp"
#include "placed.hpp"

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

// A tracker's attributes and its plan (tracker._plan, decided when it is made; 0, the general path,
// when it has none).
enum Plan : long { kPlainExchange = 1, kPlainAttributes = 2 };

// The attributes place and track read on every call.
enum Part { kOrders, kOpen, kBook, kAddOrder, kParts };
PyObject* part_name(int i) {
  switch (i) {
    case kOrders: return ORVA_NAME("orders");
    case kOpen: return ORVA_NAME("_open");
    case kBook: return ORVA_NAME("_book");
    default: return ORVA_NAME("_add_order");
  }
}

#if ORVA_USE_DICT_VERSIONS
// 3.10: the plan and parts last read from a plain tracker's __dict__, kept while that dict keeps its
// version tag (it changes with every change of the dict, and no two dicts share one): borrowed, the
// unchanged dict holds them.
struct Remembered {
  uint64_t version = 0;
  PyObject* dict = nullptr;
  long plan = 0;
  PyObject* parts[kParts] = {};
};
Remembered g_remembered;  // borrowed pointers only: never released
#endif

struct Tracker {
  PyObject* self;
  Attributes attrs;
  long plan = 0;

  explicit Tracker(PyObject* tracker) : self(tracker), attrs(tracker, true) {
#if ORVA_USE_DICT_VERSIONS
    if (remembered()) {
      plan = g_remembered.plan;
      return;
    }
#endif
    static EntryPlace at;
    PyObject* bits = own_at(attrs, at, ORVA_NAME("_plan"));
    if (bits && PyLong_CheckExact(bits)) {
      plan = PyLong_AsLong(bits);
      if (plan == -1 && PyErr_Occurred()) throw_error();
    }
    if (!(plan & kPlainAttributes)) {
      attrs.forget_dict();
      return;
    }
#if ORVA_USE_DICT_VERSIONS
    remember();
#endif
  }

  Ref get(Part part) const {
#if ORVA_USE_DICT_VERSIONS
    if (remembered()) return Ref::borrow(g_remembered.parts[part]);
#endif
    static EntryPlace at[kParts];  // trackers share their __dict__'s keys
    return attr_at(attrs, at[part], part_name(part));
  }

#if ORVA_USE_DICT_VERSIONS
 private:
  bool remembered() const {
    PyObject* dict = attrs.dict();
    return dict && fastpaths_on() && g_remembered.dict == dict && g_remembered.version == dict_version(dict);
  }

  void remember() {
    g_remembered = Remembered{};
    if (!fastpaths_on()) return;
    PyObject* dict = attrs.dict();
    Remembered r;
    for (int i = 0; i < kParts; ++i)
      if (!(r.parts[i] = attrs.own(part_name(i)))) return;
    r.dict = dict;
    r.version = dict_version(dict);
    r.plan = plan;
    g_remembered = r;
  }
#endif
};

// `kind == text` for an operation type: a str (or a str enum member) compares as str does.
bool is_kind(PyObject* kind, PyObject* text) {
  return plain_text(kind) ? plain_equal(kind, text) : compare(kind, text, Py_EQ);
}

// tracker._open.pop(trade_id, None)
void drop_open(const Tracker& t, PyObject* trade_id) {
  Ref open_orders = t.get(kOpen);
  if (PyDict_CheckExact(open_orders.get())) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* found = nullptr;  // one look-up: taken out if there
    if (PyDict_Pop(open_orders.get(), trade_id, &found) < 0) throw_error();
    Py_XDECREF(found);
#else
    PyObject* found = peek(open_orders.get(), trade_id);
    if (found && PyDict_DelItem(open_orders.get(), trade_id) < 0) throw_error();
#endif
    return;
  }
  call_method(open_orders.get(), ORVA_NAME("pop"), {trade_id, Py_None});
}

// The keys of an order record, in the order a record shows them.
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
  static EntryPlace at;
  PyObject* found = peek_at(at, PyModule_GetDict(module), ORVA_NAME("_order_record"));
  if (found && PyDict_CheckExact(found)) return Ref::borrow(found);
  Ref made = dict_row_template("_OrderRecord", record_key, kRecordKeys);
  if (PyObject_SetAttr(module, ORVA_NAME("_order_record"), made.get()) < 0) throw_error();
  return made;
}

// An order record's fields. With the fast paths on (3.10) a record that still shares the template's
// key table (dict_rows.hpp) holds key i's value at values[i]: a field is read there, and one that
// takes an int, float or str (no value the collector tracks) is replaced there. The caller ends with
// set_last(), with dict versions one ordinary write (dict_set), which gives the dict its new tag.
enum RecordField { kTradeId = 0, kPrice = 6, kQuantity = 7, kOpenQty = 8, kFilledQty = 9, kAvgFillPrice = 10,
                   kCancelledQty = 11, kStatus = 12, kUpdatedTs = 14, kFillValue = 15 };

class RecordFields {
 public:
  RecordFields(PyObject* module, PyObject* order) : d_(order) {
    static EntryPlace at;
    PyObject* templ = peek_at(at, PyModule_GetDict(module), ORVA_NAME("_order_record"));
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

  // The last write of a change: an ordinary one where dicts carry version tags (it gives the dict its
  // new one), else as set() writes.
  void set_last(RecordField i, PyObject* value) {
#if ORVA_USE_DICT_VERSIONS
    dict_set(d_, record_key(i), value);
#else
    set(i, value);
#endif
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
// values as the general steps in track(); false (nothing changed) otherwise.
bool track_plain_deal(PyObject* module, const Tracker& t, PyObject* order, PyObject* report) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report)) return false;
  static EntryPlace at_qty, at_price, at_ts;  // deal reports are made alike
  PyObject* qty_obj = peek_at(at_qty, report, ORVA_NAME("quantity"));
  PyObject* price_obj = peek_at(at_price, report, ORVA_NAME("price"));
  PyObject* ts = peek_at(at_ts, report, ORVA_NAME("exchange_ts"));
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
  f.set_last(kUpdatedTs, ts);
  if (left <= 0) drop_open(t, trade_id);
  return true;
}

// The order's status from its counts; an order no longer open leaves tracker._open.
void settle(const Tracker& t, PyObject* order) {
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
  drop_open(t, trade_id.get());
}

// An order report (new, quantity or price changed, cancelled) applied to an order record when all of
// it is plain: exact dicts, ints for the quantities, a str kind. The same values as the general
// steps in track(); a value they would write again unchanged (the same status text, an equal count) is left as
// it is. False (nothing changed) otherwise.
bool track_plain_order(PyObject* module, const Tracker& t, PyObject* order, PyObject* report, PyObject* entry) {
  if (!PyDict_CheckExact(order) || !PyDict_CheckExact(report) || !PyDict_CheckExact(entry)) return false;
  static EntryPlace at_kind, at_status, at_ts;  // order reports are made alike
  PyObject* kind = peek_at(at_kind, report, ORVA_NAME("operation_type"));
  PyObject* status = peek_at(at_status, report, ORVA_NAME("trade_status"));
  if (!kind || !status || !PyDict_CheckExact(status) || !plain_text(kind)) return false;
  PyObject* ts = peek_at(at_ts, status, ORVA_NAME("exchange_ts"));
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
  // The same status text left as it is (the general steps would write it again).
  if (text != old_status) f.set(kStatus, text);
  if (new_price) dict_set(order, ORVA_NAME("price"), new_price);
  f.set_last(kUpdatedTs, ts);
  if (open <= 0) drop_open(t, trade_id);
  return true;
}

// A record the exchange's rules refused (market_rules: status "Failed"): its report changes nothing.
bool refused(PyObject* order) {
  if (!PyDict_CheckExact(order)) return false;
  static EntryPlace at;
  PyObject* status = peek_at(at, order, ORVA_NAME("status"));
  return status && PyUnicode_CheckExact(status) && PyUnicode_Compare(status, ORVA_NAME("Failed")) == 0;
}

bool track(PyObject* module, const Tracker& t, PyObject* report) {
  static EntryPlace at_seqno, at_deal_id, at_order, at_order_id;  // reports of a kind are made alike
  int is_deal = PyDict_CheckExact(report) ? peek_at(at_seqno, report, ORVA_NAME("exchange_seqno")) != nullptr
                                          : PySequence_Contains(report, ORVA_NAME("exchange_seqno"));
  if (is_deal < 0) throw_error();
  Ref orders = t.get(kOrders);
  if (is_deal) {
    Ref id = item_at(at_deal_id, report, ORVA_NAME("id"));
    Ref order = get_of(orders.get(), id.get());
    if (order && !track_plain_deal(module, t, order.get(), report)) {
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
      settle(t, o);
    }
    return true;
  }
  Ref entry = item_at(at_order, report, ORVA_NAME("order"));
  Ref id = item_at(at_order_id, entry.get(), ORVA_NAME("id"));
  Ref order = get_of(orders.get(), id.get());
  if (!order || refused(order.get()) || track_plain_order(module, t, order.get(), report, entry.get())) return false;
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
  settle(t, o);
  return false;
}

// The matcher module's order entry (order_entry.hpp), read at the first order; null when it holds
// none (or cannot be imported). Any other failure (a Ctrl-C, say) is raised, and asked again next
// time. What it points to is static in that module, which is never unloaded.
const OrderEntry* order_entry() {
  static const OrderEntry* entry = nullptr;
  static bool looked = false;
  if (looked) return entry;
  PyObject* module = PyImport_ImportModule("orva_mero_backtest.modules.matcher.matcher");
  PyObject* capsule = module ? PyObject_GetAttrString(module, "_order_entry") : nullptr;
  Py_XDECREF(module);
  if (!capsule) {
    if (!PyErr_ExceptionMatches(PyExc_ImportError) && !PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
  } else if (PyCapsule_IsValid(capsule, kOrderEntryCapsule)) {
    entry = static_cast<const OrderEntry*>(PyCapsule_GetPointer(capsule, kOrderEntryCapsule));
  }
  Py_XDECREF(capsule);
  looked = true;
  return entry;
}

// OrderTracker.place(self, code, product_type, action, price, qty, price_type, order_type,
// order_cond, order_lot, oc_type, now): `a` holds those eleven after self.
Ref place(PyObject* module, const Tracker& t, PyObject* const* a) {
  // add_order returns nothing: the order it takes is appended to the exchange's book (a list of
  // records holding "trade_id"), read here, the one place that reads the book on entry. The plain
  // Matcher's book is a list: its length and last record are read directly.
  Ref book = t.get(kBook);
  const bool listed = (t.plan & kPlainExchange) && PyList_CheckExact(book.get());
  auto length = [&] {
    const Py_ssize_t n = listed ? PyList_GET_SIZE(book.get()) : PyObject_Length(book.get());
    if (n < 0) throw_error();
    return n;
  };
  const OrderEntry* entry = order_entry();
  const Py_ssize_t before = length();
  Ref add = t.get(kAddOrder);
  // The Matcher's own add_order bound to an exchange: its body without the binding.
  int taken = 1;
  if (entry && PyMethod_Check(add.get()) && PyMethod_GET_FUNCTION(add.get()) == entry->own_function) {
    Ref exchange = Ref::borrow(PyMethod_GET_SELF(add.get()));
    if ((taken = entry->add_order(exchange.get(), a)) < 0) throw_error();
  }
  // a[-1] is the caller's slot for self (order_tracker_place): a bound method may use it.
  if (taken) Ref::steal(PyObject_Vectorcall(add.get(), a, 10 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  const Py_ssize_t after = length();
  if (after != before + 1) {
    Ref error = call_method(t.self, ORVA_NAME("_not_taken"), {a[0], a[2], a[4], a[5]});
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error();
  }
  Ref last;
  if (listed) {
    last = Ref::borrow(PyList_GET_ITEM(book.get(), after - 1));
  } else {
    Ref last_index = py_long(-1);
    last = getitem(book.get(), last_index.get());
  }
  static EntryPlace at_trade_id;  // the exchange's records are made alike
  Ref trade_id = item_at(at_trade_id, last.get(), ORVA_NAME("trade_id"));
  Ref zero = py_long(0);
  Ref no_value = py_float(0.0);
  PyObject* now = a[10];
  PyObject* const values[kRecordKeys] = {
      trade_id.get(), a[0], a[1],      a[2],    a[5],      a[6], a[3], a[4], a[4], zero.get(), Py_None,
      zero.get(),     ORVA_NAME("Open"), now, now, no_value.get()};
  Ref order = dict_row(record_template(module).get(), record_key, values, kRecordKeys);
  Ref orders = t.get(kOrders);
  if (PyDict_CheckExact(orders.get()))
    dict_set(orders.get(), trade_id.get(), order.get());
  else
    set_item(orders.get(), trade_id.get(), order.get());
  Ref open_orders = t.get(kOpen);
  if (PyDict_CheckExact(open_orders.get()))
    dict_set(open_orders.get(), trade_id.get(), order.get());
  else
    set_item(open_orders.get(), trade_id.get(), order.get());
  return trade_id;
}

PyObject* order_tracker_place(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {ORVA_NAME("self"),       ORVA_NAME("code"),       ORVA_NAME("product_type"),
                               ORVA_NAME("action"),     ORVA_NAME("price"),      ORVA_NAME("qty"),
                               ORVA_NAME("price_type"), ORVA_NAME("order_type"), ORVA_NAME("order_cond"),
                               ORVA_NAME("order_lot"),  ORVA_NAME("oc_type"),    ORVA_NAME("now")};
    constexpr size_t kCount = sizeof(names) / sizeof(names[0]);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* v[kCount];
    bind_call(Signature{"OrderTracker.place", names, kCount, kCount}, args, nargs, kwnames, args + nargs, v);
    return place(module, Tracker(v[0]), v + 1).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* order_tracker_track(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {ORVA_NAME("self"), ORVA_NAME("report")};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* v[2];
    bind_call(Signature{"OrderTracker.track", names, 2, 2}, args, nargs, kwnames, args + nargs, v);
    return Ref::borrow(track(module, Tracker(v[0]), v[1]) ? Py_True : Py_False).release();
  } catch (PyError&) {
    return nullptr;
  }
}

// What OrderTracker.place binds (engine.order_tracker_place), set at load and never released.
PyObject* g_tracker_place = nullptr;

}  // namespace

Ref tracker_place(PyObject* module, PyObject* tracker, PyObject* const* order) {
  return place(module, Tracker(tracker), order);
}

bool is_tracker_place(PyObject* function) { return function == g_tracker_place; }

int track_report(PyObject* module, PyObject* tracker, PyObject* report) {
  try {
    return track(module, Tracker(tracker), report) ? 1 : 0;
  } catch (PyError&) {
    return -1;
  }
}

int add_tracker_methods(PyObject* module) {
  const int added = add_documented_methods(
      module, "OrderTracker", "order_tracker_",
      {{"place", order_tracker_place,
        "place($self, code, product_type, action, price, qty, price_type, order_type, order_cond, order_lot, "
        "oc_type, now)\n--\n\n"
        "Puts an order into the exchange's book (its add_order) and starts its record; the trade id."},
       {"track", order_tracker_track,
        "track($self, report)\n--\n\n"
        "Applies one report of the exchange to the record of its order; True for a deal report."}});
  if (added < 0) return -1;
  g_tracker_place = PyObject_GetAttrString(module, "order_tracker_place");  // kept for the life of the process
  return g_tracker_place ? 0 : -1;
}

}  // namespace orva::engine
