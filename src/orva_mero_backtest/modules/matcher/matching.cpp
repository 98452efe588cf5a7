// Tick state and the matching pass: one instrument's pending orders against one market tick.
#include <algorithm>
#include <climits>
#include <initializer_list>
#include <utility>

#include "shortcuts.hpp"
#include "queues.hpp"
#include "tick_entry.hpp"
#include "fill_entry.hpp"
#include "own_methods.hpp"

namespace orva::matcher {

Ref reset_tick_infos(const Args& a) {
  setattr(a.self(), ORVA_NAME("current_tick_infos"), Ref::steal(PyDict_New()).get());
  return Ref::none();
}

namespace {

// The attributes set_current_tick reads, in the order it reads them.
#define TICK_ATTRS {ORVA_NAME("current_tick_infos"), ORVA_NAME("positions")}

// The Matcher class (or subclass) last found to leave current_tick_infos and positions to the
// instance dict: generic attribute access, no data descriptor of either name.
TypeGuard g_tick_self_type;

// Whether self's class leaves TICK_ATTRS to the instance dict, checked again (type look-ups only:
// no Python code runs).
[[gnu::noinline]] bool tick_attrs_plain(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  for (PyObject* n : TICK_ATTRS) {
    PyObject* d = type_lookup(type, n);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  g_tick_self_type.mark(type);
  return true;
}

// self.__dict__ (borrowed) while self's class leaves TICK_ATTRS to it, else null. No Python code runs.
inline PyObject* tick_attrs_dict(PyObject* self) {
  if (!fastpaths_on()) return nullptr;
  PyTypeObject* type = Py_TYPE(self);
  if (!g_tick_self_type.unchanged(type) && !tick_attrs_plain(type)) return nullptr;
  PyObject* dict = instance_dict(self);
  if (!dict) PyErr_Clear();
  return dict && PyDict_CheckExact(dict) ? dict : nullptr;
}

// Where each of TICK_ATTRS sat in the instance dict last read (instances share keys).
EntryPlace g_tick_attr_at[2];

[[gnu::noinline]] PyObject* tick_attr_looked_up(PyObject* self, PyObject* dict, PyObject* name, EntryPlace& place,
                                                Keep& keep, bool* quiet) {
  if (dict) {
    PyObject* found = place.get(dict, name);  // a str key: no Python code runs
    if (found) return keep.hold(found);
    if (PyErr_Occurred()) throw_error();
  }
  *quiet = false;
  return keep.own(PyObject_GetAttr(self, name));
}

// self.<name> (one of TICK_ATTRS, `which` its index) held by `keep`: from `dict`
// (tick_attrs_dict's, null when it answered null), else getattr (then *quiet is cleared: Python
// code may have run).
inline PyObject* tick_attr(PyObject* self, PyObject* dict, int which, Keep& keep, bool* quiet) {
  PyObject* name = which ? ORVA_NAME("positions") : ORVA_NAME("current_tick_infos");
  EntryPlace& place = g_tick_attr_at[which];
  if (dict)
    if (PyObject* found = place.find(dict, name)) return keep.hold(found);
  return tick_attr_looked_up(self, dict, name, place, keep, quiet);
}

// Where an instrument's record sits in current_tick_infos, for a run's few instruments: a place
// chosen by the code's address (a place read for another code only looks it up again).
EntryPlace g_record_at[8];
EntryPlace& record_place(PyObject* code) { return g_record_at[(reinterpret_cast<uintptr_t>(code) >> 4) & 7]; }

// What the engine module's capsule `attr` (named `capsule_name`) points to, once that module is
// loaded (a Positions book imports it); null before, or when it holds no such capsule.
const void* engine_capsule(PyObject* attr, const char* capsule_name) {
  Ref name = Ref::steal(PyUnicode_FromString("orva_mero_backtest.modules.engine.engine"));
  Ref module = name ? Ref::steal(PyImport_GetModule(name.get())) : Ref();  // sys.modules only: no import
  if (!module) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* capsule = nullptr;
  if (optional_attr(module.get(), attr, &capsule) <= 0) {
    PyErr_Clear();
    return nullptr;
  }
  const void* found = PyCapsule_IsValid(capsule, capsule_name) ? PyCapsule_GetPointer(capsule, capsule_name) : nullptr;
  Py_DECREF(capsule);  // the module keeps it, and what it points to is static in the engine module
  return found;
}

// The positions book's own set_current_tick (tick_entry.hpp); null before the engine is loaded.
const BookTickEntry* book_tick_entry() {
  static const BookTickEntry* entry = nullptr;
  if (!entry) entry = static_cast<const BookTickEntry*>(engine_capsule(ORVA_NAME("_book_tick_entry"), kBookTickCapsule));
  return entry;
}

// Releases `old`, a value just written over in place; false when that may have run Python code
// (its last reference, of an object other than a float).
inline bool released_quietly(PyObject* old) {
  const bool quiet = Py_REFCNT(old) > 1 || PyFloat_CheckExact(old);
  Py_DECREF(old);
  return quiet;
}

// The body of set_current_tick; `seen_code` and `seen_ts` are tick["code"] and tick["timestamp"]
// when the caller just read them (else null). Called for every tick: its references are held by a
// Keep (one GIL check for all at the end).
void set_tick(PyObject* self, PyObject* tick, PyObject* seen_code, PyObject* seen_ts) {
  Keep keep;
  bool quiet = true;  // no Python code ran since the tick's code was read
  PyObject* code = seen_code ? seen_code : keep.hold(dict_item(tick, ORVA_NAME("code")));
  PyObject* self_dict = tick_attrs_dict(self);
  PyObject* infos = tick_attr(self, self_dict, 0, keep, &quiet);
  // Whether no Python code ran since self_dict was read: the record found where it sat, the old
  // values written over in place and their release running none (see released_quietly).
  bool settled = quiet;
  PyObject* record = nullptr;
  if (PyDict_CheckExact(infos) && PyUnicode_CheckExact(code)) {
    // A plain dict keyed by text: one look-up answers both "in" and "[]".
    PyObject* found = record_place(code).find(infos, code);
    if (!found) {
      settled = false;  // a look-up may compare keys
      found = record_place(code).get(infos, code);
    }
    if (!found && PyErr_Occurred()) throw_error();
    if (found) record = keep.hold(found);
  }
  if (!record) {
    quiet = false;
    int known = PySequence_Contains(infos, code);
    if (known < 0) throw_error();
    if (!known) {
      Ref fresh = call_self(self, ORVA_NAME("_Matcher__init_current_tick_info"), {code});
      if (PyObject_SetItem(infos, code, fresh.get()) < 0) throw_error();
    }
    record = keep.own(PyObject_GetItem(infos, code));
  }
  // Where "tick" and "ts" sit in the records (made alike, one per code).
  static EntryHint tick_at, ts_at;
  if (!quiet) settled = false;
  const bool plain_record = PyDict_CheckExact(record);
  if (plain_record) {
    // The old tick is still the book's last one, the old time a float: releasing them runs no code.
    if (PyObject* old = tick_at.exchange(record, ORVA_NAME("tick"), tick)) {
      settled = released_quietly(old) && settled;
    } else {
      settled = false;
      dict_set(record, ORVA_NAME("tick"), tick);
      tick_at.learn(record, ORVA_NAME("tick"));
    }
  } else {
    quiet = false;
    if (PyObject_SetItem(record, ORVA_NAME("tick"), tick) < 0) throw_error();
  }
  PyObject* ts = quiet && seen_ts ? seen_ts : nullptr;
  if (!ts) {
    static EntryPlace ts_in_tick;  // where the feed's ticks (made alike) hold their time
    ts = ts_in_tick.find(tick, ORVA_NAME("timestamp"));  // read where it sat: no key compared
    if (!ts) {
      settled = false;  // a look-up may compare keys
      ts = ts_in_tick.get(tick, ORVA_NAME("timestamp"));
      if (!ts && PyErr_Occurred()) throw_error();
      if (!ts) ts = dict_item(tick, ORVA_NAME("timestamp"));  // raises the KeyError
    }
    keep.hold(ts);
  }
  if (plain_record) {
    PyObject* old = PyFloat_CheckExact(ts) ? ts_at.exchange(record, ORVA_NAME("ts"), ts) : nullptr;
    if (old) {
      settled = released_quietly(old) && settled;
    } else {
      settled = false;
      dict_set(record, ORVA_NAME("ts"), ts);
      ts_at.learn(record, ORVA_NAME("ts"));
    }
  } else {
    quiet = false;
    if (PyObject_SetItem(record, ORVA_NAME("ts"), ts) < 0) throw_error();
  }
  // Read again unless settled: releasing the old values above, or a look-up's comparison, may have
  // run Python code, which may have changed the class or the instance.
  if (!settled) self_dict = tick_attrs_dict(self);
  PyObject* positions = tick_attr(self, self_dict, 1, keep, &quiet);
  // The book's own method is called as its binding calls it; anything else through the attribute.
  if (const BookTickEntry* entry = book_tick_entry()) {
    const int done = entry->set_current_tick(positions, tick, quiet && PyUnicode_CheckExact(code) ? code : nullptr);
    if (done < 0) throw_error();
    if (done) return;
  }
  PyObject* stack[] = {positions, tick};
  keep.own(PyObject_VectorcallMethod(ORVA_NAME("set_current_tick"), stack, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr));
}

}  // namespace

Ref set_current_tick(const Args& a) {
  set_tick(a.self(), a[1], nullptr, nullptr);  // a[1] is exactly a dict
  return Ref::none();
}

namespace {

const std::string kSetTickQualname = "Matcher.set_current_tick";

// The body as the binding calls it, for the engine's loop (tick_entry.hpp): the tick is exactly a
// dict; a failure gets the binding's traceback frame.
int set_current_tick_entry(PyObject* self, PyObject* tick, PyObject* code, PyObject* ts) {
  return as_binding(kSetTickQualname, [&] { set_tick(self, tick, code, ts); }) ? 0 : -1;
}

}  // namespace

PyObject* own_method_function(PyObject* cls, const char* name) {
  Ref ns = getattr(cls, ORVA_NAME("__dict__"));
  Ref descr = getitem(ns.get(), text(name).get());
  if (Py_TYPE(descr.get()) != &PyInstanceMethod_Type)
    raise(PyExc_SystemError, std::string("Matcher.") + name + " is not its own");
  PyObject* function = PyInstanceMethod_GET_FUNCTION(descr.get());
  Py_INCREF(function);  // never released
  return function;
}

void add_entry_capsule(PyObject* module, const char* attribute, void* entry, const char* capsule_name) {
  Ref capsule = Ref::steal(PyCapsule_New(entry, capsule_name, nullptr));
  if (PyModule_AddObjectRef(module, attribute, capsule.get()) < 0) throw_error();
}

void add_tick_entry(PyObject* module, PyObject* cls) {
  static TickEntry entry = {nullptr, set_current_tick_entry};
  entry.own_function = own_method_function(cls, "set_current_tick");
  dict_lacks_checked();  // at load (it allocates): own_methods asks it of the book's dict
  add_entry_capsule(module, "_tick_entry", &entry, kTickEntryCapsule);
}


namespace {

// What one pass works with: its arguments and the enumeration members it compares against.
struct Pass {
  PyObject* self;
  PyObject* code;
  double close;
  Keep keep;  // holds what the pass reads (one GIL check for all at the end)
  PyObject* close_obj = nullptr;  // tick_close as a float
  PyObject* ts_obj = nullptr;     // tick_ts as a float
  long long tick_qty;  // volume still available to the orders of this pass
  PyObject *buy = nullptr, *buy_value = nullptr, *lmt = nullptr, *rod = nullptr, *ioc = nullptr, *fok = nullptr;
  Ref book;  // self.pending_orders when the pass started
  Py_ssize_t removed = 0;  // orders this pass took out (those behind them moved up)
  bool touched = false;    // whether Python code may have run since the book was scanned
#if ORVA_FASTPATHS
  bool slots = false;  // whether the remembered-slot shortcut is on for this pass
  Py_hash_t code_hash = 0;
  std::vector<CodeSlot>* codes = nullptr;
  PyObject* sell = nullptr;  // Action.SELL
#endif
};

// One order of the book, held by the pass's snapshot of the book for the whole pass.
struct Order {
  PyObject* record;
  Py_ssize_t origin;  // its position when the pass started
  Py_ssize_t hint;    // where it was last seen in the book
  long long quantity = 0;
  bool price_match = false;
};

// What the order's type made of it: a fill (qty_match, deal_qty) and/or a cancellation report.
struct Outcome {
  bool qty_match = false;
  long long deal_qty = 0;
  Ref cancel_info;
  bool gone = false;  // the order left the book while this pass ran Python code: nothing happens
};

void set_field(PyObject* record, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(record, key, value) < 0) throw_error();
}

long long as_quantity(PyObject* value) {
  if (!PyLong_Check(value)) raise(PyExc_TypeError, "an order's \"quantity\" must be an int");
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow) raise(PyExc_OverflowError, "an order's \"quantity\" does not fit in 64 bits");
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

// Where the order is in the book now (by identity), or -1 when Python code run by this pass
// has taken it out. The pass works on the list that was the book when it started.
Py_ssize_t locate(Pass& p, Order& o) {
  PyObject* book = p.book.get();
  const Py_ssize_t n = PyList_GET_SIZE(book);
  PyObject* record = o.record;
  if (o.hint >= 0 && o.hint < n && PyList_GET_ITEM(book, o.hint) == record) return o.hint;
  // Usually only the pass's own removals (of orders before this one) have moved it.
  const Py_ssize_t moved = o.origin - p.removed;
  if (moved >= 0 && moved < n && PyList_GET_ITEM(book, moved) == record) return o.hint = moved;
  return o.hint = position_of(book, record);
}

// Takes the order out of the book; whether it was still there.
bool take_out(Pass& p, Order& o) {
  if (locate(p, o) < 0) return false;
  remove_order(p.book.get(), o.record, o.hint);
  ++p.removed;
  return true;
}

// The cancellation report of `quantity` of the order, at its own price.
Ref cancellation(Pass& p, Order& o, long long quantity) {
  Ref product = item(o.record, ORVA_NAME("product_type"));
  if (product_kind(product.get()) == Product::Other) raise(PyExc_Exception, "不支援的商品類型");
  Ref copy = copy_record(o.record);
  set_field(copy.get(), ORVA_NAME("quantity"), py_long(quantity).get());
  Ref op = enum_member(ORVA_NAME("OperationType"), ORVA_NAME("CANCEL"));
  Ref success = enum_member(ORVA_NAME("SuccessCode"), ORVA_NAME("OrderBeCancel"));
  return call_self(p.self, ORVA_NAME("build_order_response"), {copy.get(), op.get(), success.get()});
}

// ROD: fills what the tick's volume allows; the rest stays in the book for later ticks.
Outcome match_rod(Pass& p, Order& o) {
  Outcome out;
  if (!o.price_match) return out;
  if (locate(p, o) < 0) {
    out.gone = true;
    return out;
  }
  out.qty_match = true;
  out.deal_qty = std::min(o.quantity, p.tick_qty);
  const long long rest = o.quantity - out.deal_qty;
  set_field(o.record, ORVA_NAME("quantity"), py_long(rest).get());
  if (rest == 0) take_out(p, o);
  return out;
}

// IOC: fills what the tick's volume allows, cancels the rest, and leaves the book either way.
// Building the cancellation runs Python code: the order must still be in the book after it.
Outcome match_ioc(Pass& p, Order& o) {
  Outcome out;
  long long rest = o.quantity;
  if (o.price_match) {
    out.qty_match = true;
    out.deal_qty = std::min(o.quantity, p.tick_qty);
    rest = o.quantity - out.deal_qty;
  }
  if (rest > 0) out.cancel_info = cancellation(p, o, rest);
  if (!take_out(p, o)) return Outcome{false, 0, Ref(), true};
  return out;
}

// FOK: fills whole or is cancelled whole, and leaves the book either way.
Outcome match_fok(Pass& p, Order& o) {
  Outcome out;
  if (o.price_match) {
    out.qty_match = p.tick_qty >= o.quantity;
    if (out.qty_match) out.deal_qty = o.quantity;
  }
  if (!out.qty_match) out.cancel_info = cancellation(p, o, o.quantity);
  if (!take_out(p, o)) return Outcome{false, 0, Ref(), true};
  return out;
}

void trade_record(PyObject* positions, std::initializer_list<PyObject*> values) {
  call_method(positions, ORVA_NAME("add_trade_record"), values, g_call_names.trade_record);
}

// What quick_report did.
enum class Reported {
  No,      // nothing: the report is the methods' to make
  Made,    // made and queued here: no Python code has seen the deal
  Quietly  // the same through the view it was given, which still holds: no Python code ran
};

// The deal report and its trip to the report queue, from the deal's fields while the instance and
// the enumerations are as built (shortcut); `deal` may be null when `known` is given.
// `known`: the deal's fields, when known; `seen`: a view of self taken before, used while it holds.
Reported quick_report(Pass& p, PyObject* deal, const DealFields* known, const SelfView* seen) {
#if ORVA_FASTPATHS
  if (const EnumSnapshot* e = enum_snapshot()) {
    Keep keep;
    SelfView v;
    DealFields read;
    const DealFields* f = known;
    if (!f && deal_fields(deal, read)) f = &read;
    const bool as_seen = f && seen && view_holds(p.self, *seen);
    if (as_seen) {
      v = *seen;
    } else if (!f || !view_of(p.self, keep, v)) {
      f = nullptr;
    }
    if (f) {
      if (Ref report = quick_deal_report(*e, *f, v, keep)) {
        bool quiet = false;
        if (!queue_put_quick(v.response_queue, report.get(), &quiet)) queue_put(v.response_queue, report.get());
        // Before 3.12 making the report's dict may run the collector (and finalizers) there and then.
        return as_seen && quiet && PY_VERSION_HEX >= 0x030C0000 ? Reported::Quietly : Reported::Made;
      }
    }
  }
#endif
  (void)p, (void)deal, (void)known, (void)seen;
  return Reported::No;
}

// The same through self's own methods.
void report_deal(Pass& p, PyObject* deal) {
  Ref report = call_self(p.self, ORVA_NAME("build_deal_response"), {deal});
  call_self(p.self, ORVA_NAME("add_response_to_queue"), {report.get()});
}

void set_positions(PyObject* positions, PyObject* deal, PyObject* product, Keep& keep) {
  PyObject* stack[] = {positions, deal, product};
  keep.own(PyObject_VectorcallMethod(ORVA_NAME("set_positions"), stack, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

#if ORVA_FASTPATHS
// The positions book's own add_trade_record and set_positions (fill_entry.hpp); null before the
// engine is loaded.
const BookFillEntry* book_fill_entry() {
  static const BookFillEntry* entry = nullptr;
  if (!entry) entry = static_cast<const BookFillEntry*>(engine_capsule(ORVA_NAME("_book_fill_entry"), kBookFillCapsule));
  return entry;
}

OwnMethodsSeen g_own_book_fill;

// The entry when positions.add_trade_record and positions.set_positions are the book's own methods;
// else null.
const BookFillEntry* own_book_fill(PyObject* positions) {
  const BookFillEntry* entry = book_fill_entry();
  if (!entry) return nullptr;
  const bool own = own_methods(positions, g_own_book_fill,
                               {{ORVA_NAME("add_trade_record"), entry->own_add_trade_record},
                                {ORVA_NAME("set_positions"), entry->own_set_positions}});
  return own ? entry : nullptr;
}

// A deal's values by key index, held: what a copy of its order record holds, without the copy.
class DealValues {
 public:
  DealValues(PyObject* const* values, int n) : n_(n) {
    for (int i = 0; i < n; ++i) {
      values_[i] = values[i];
      Py_INCREF(values_[i]);
    }
  }
  ~DealValues() {
    if (holds_gil())
      for (int i = 0; i < n_; ++i) Py_DECREF(values_[i]);
  }
  DealValues(const DealValues&) = delete;
  DealValues& operator=(const DealValues&) = delete;
  // The old value is still held by the record it was read from: releasing it runs nothing.
  void set(int i, PyObject* value) {
    Py_INCREF(value);
    Py_SETREF(values_[i], value);
  }
  PyObject* const* get() const { return values_; }

 private:
  PyObject* values_[kMaxShapeKeys];
  int n_;
};

// fill() from the deal's values by key index (`shape` a record shape, its three new values
// written). `deal` is the deal copy they are read from, or null when none was made: then `seen` is
// a view of self taken just before, whose positions book is `entry`'s, and a deal dict is made
// from the values only if Python code must be handed one (nobody else could tell it from the copy).
void fill_from(Pass& p, PyObject* const* values, ShapeId shape, PyObject* deal, const SelfView* seen,
               const BookFillEntry* entry, Keep& keep) {
  auto deal_dict = [&] {
    if (!deal) deal = keep.own(make_shaped(shape, values).release());
    return deal;
  };
  DealFields f{keep.hold(values[kRecProduct]), keep.hold(values[kRecTradeId]), keep.hold(values[kRecAction]),
               keep.hold(values[kRecCode]),    keep.hold(values[kRecQuantity]), keep.hold(values[kRecPrice]),
               keep.hold(values[kRecExchangeTs]), nullptr,                      nullptr};
  if (shape == kRecordStockShape) {
    if (values[kRecOrderCond]) f.cond = keep.hold(values[kRecOrderCond]);
    if (values[kRecOrderLot]) f.lot = keep.hold(values[kRecOrderLot]);
  }
  SelfView v;
  const bool viewed = seen ? (v = *seen, true) : view_of(p.self, keep, v);
  PyObject* positions = viewed ? v.positions : keep.own(PyObject_GetAttr(p.self, ORVA_NAME("positions")));
  // The book's own methods are called as their bindings call them; anything else through the attribute.
  if (!seen) entry = own_book_fill(positions);
  if (entry) {
    PyObject* const record[] = {f.id, f.code, f.action, f.quantity, f.price, f.ts, ORVA_NAME("Deal")};
    if (entry->add_trade_record(positions, record) < 0) throw_error();
  } else {
    trade_record(positions, {f.id, f.code, f.action, f.quantity, f.price, f.ts, ORVA_NAME("Deal")});
  }
  const Reported reported = quick_report(p, deal, &f, viewed ? &v : nullptr);
  const bool unseen = reported != Reported::No;
  if (!unseen) report_deal(p, deal_dict());
  PyObject* product = unseen ? f.product : keep.own(item(deal, ORVA_NAME("product_type")).release());
  // A quiet report leaves self as the report's view of it found it (this view, as it still held).
  PyObject* positions_now = viewed && (reported == Reported::Quietly || view_holds(p.self, v))
                                ? v.positions
                                : keep.own(PyObject_GetAttr(p.self, ORVA_NAME("positions")));
  if (const BookFillEntry* own = own_book_fill(positions_now)) {
    // No Python code has seen the deal when the report was made here: its fields are as written,
    // and the book reads them, not the deal (None when none was made).
    const FillFields known{f.id, f.code, f.action, f.quantity, f.price, f.ts, f.lot};
    if (own->set_positions(positions_now, unseen ? (deal ? deal : Py_None) : deal, product, unseen ? &known : nullptr) < 0)
      throw_error();
    return;
  }
  set_positions(positions_now, deal_dict(), product, keep);
}

// fill() for a deal copied here from a record of the quick add_order (a key-sharing dict of a
// record shape, seen by no Python code yet): its three new values are written in place and its
// fields read by position. False (nothing changed) when that does not apply.
bool quick_fill(Pass& p, PyObject* d, PyObject* deal_qty, Keep& keep) {
  ShapeId shape = kRecordStockShape;
  PyObject** values = shaped_values(shape, d);
  if (!values) values = shaped_values(shape = kRecordFutureShape, d);
  if (!values) return false;
  for (int i : {kRecTradeId, kRecCode, kRecProduct, kRecAction, kRecPrice, kRecQuantity, kRecExchangeTs})
    if (!values[i]) return false;
  // The old values stay held by the record the deal was copied from: releasing them runs nothing.
  PyObject* const fresh[] = {deal_qty, p.close_obj, p.ts_obj};
  const int at[] = {kRecQuantity, kRecPrice, kRecExchangeTs};
  for (int k = 0; k < 3; ++k) {
    Py_INCREF(fresh[k]);
    Py_SETREF(values[at[k]], fresh[k]);
  }
  fill_from(p, values, shape, d, nullptr, nullptr, keep);
  return true;
}

// fill() without a deal copy, when nobody could tell it from one: deepcopy would copy the record
// as it is (copied_as_is), and the positions book is the package's own, which reads the deal's
// fields rather than the deal. False (nothing changed) when that does not apply.
bool unseen_fill(Pass& p, PyObject* record, PyObject* deal_qty, Keep& keep) {
  ShapeId shape;
  PyObject** values = copied_as_is(record, &shape);
  if (!values) return false;
  SelfView v;
  if (!view_of(p.self, keep, v)) return false;
  const BookFillEntry* entry = own_book_fill(v.positions);
  if (!entry) return false;
  // Held as a copy would hold them: Python code run from here on may change the record.
  DealValues deal(values, shape_size(shape));
  deal.set(kRecQuantity, deal_qty);
  deal.set(kRecPrice, p.close_obj);
  deal.set(kRecExchangeTs, p.ts_obj);
  fill_from(p, deal.get(), shape, nullptr, &v, entry, keep);
  return true;
}
#endif

void fill(Pass& p, Order& o, const Outcome& out) {
  p.tick_qty -= out.deal_qty;
  Keep keep;
  PyObject* deal_qty = keep.own(PyLong_FromLongLong(out.deal_qty));
#if ORVA_FASTPATHS
  if (unseen_fill(p, o.record, deal_qty, keep)) return;
#endif
  bool fresh = false;
  PyObject* d = keep.own(copy_record(o.record, &fresh).release());
#if ORVA_FASTPATHS
  if (fresh && quick_fill(p, d, deal_qty, keep)) return;
#endif
  set_field(d, ORVA_NAME("quantity"), deal_qty);
  set_field(d, ORVA_NAME("price"), p.close_obj);
  set_field(d, ORVA_NAME("exchange_ts"), p.ts_obj);
  PyObject* positions = keep.own(PyObject_GetAttr(p.self, ORVA_NAME("positions")));
  auto field = [&](PyObject* key) { return keep.own(item(d, key).release()); };
  PyObject* id = field(ORVA_NAME("trade_id"));
  PyObject* code = field(ORVA_NAME("code"));
  PyObject* action = field(ORVA_NAME("action"));
  PyObject* quantity = field(ORVA_NAME("quantity"));
  PyObject* price = field(ORVA_NAME("price"));
  PyObject* ts = field(ORVA_NAME("exchange_ts"));
  trade_record(positions, {id, code, action, quantity, price, ts, ORVA_NAME("Deal")});
  if (quick_report(p, d, nullptr, nullptr) == Reported::No) report_deal(p, d);
  PyObject* product = field(ORVA_NAME("product_type"));
  PyObject* positions_now = keep.own(PyObject_GetAttr(p.self, ORVA_NAME("positions")));
  set_positions(positions_now, d, product, keep);
}

void cancel(Pass& p, Order& o, const Outcome& out) {
  PyObject* info = out.cancel_info.get();
  Ref order = item(info, ORVA_NAME("order"));
  Ref status = item(info, ORVA_NAME("trade_status"));
  Ref positions = getattr(p.self, ORVA_NAME("positions"));
  PyObject* r = o.record;
  Ref id = item(r, ORVA_NAME("trade_id")), code = item(r, ORVA_NAME("code")), action = item(r, ORVA_NAME("action"));
  Ref quantity = item(order.get(), ORVA_NAME("quantity")), price = item(order.get(), ORVA_NAME("price"));
  Ref ts = item(status.get(), ORVA_NAME("exchange_ts"));
  trade_record(positions.get(), {id.get(), code.get(), action.get(), quantity.get(), price.get(), ts.get(),
                                 ORVA_NAME("Cancel")});
  call_self(p.self, ORVA_NAME("add_response_to_queue"), {info});
}

enum class OrderKind { ROD, IOC, FOK, Other };

OrderKind kind_of(const Pass& p, PyObject* order_type) {
  if (same_text(order_type, p.rod)) return OrderKind::ROD;
  if (same_text(order_type, p.ioc)) return OrderKind::IOC;
  if (same_text(order_type, p.fok)) return OrderKind::FOK;
  return OrderKind::Other;
}

bool price_reached(const Pass& p, PyObject* action, PyObject* price_type, PyObject* price) {
  if (!same_text(price_type, p.lmt)) return true;  // any other price type fills like a market order
  const bool buy = action == p.buy || same_text(action, p.buy_value);
  if (PyFloat_CheckExact(price)) {
    const double limit = PyFloat_AS_DOUBLE(price);
    return buy ? p.close <= limit : p.close >= limit;
  }
  int r = PyObject_RichCompareBool(p.close_obj, price, buy ? Py_LE : Py_GE);
  if (r < 0) throw_error();
  return r != 0;
}

// The fields a visit reads, held.
struct Fields {
  Ref action, price, order_type, price_type, quantity;
};

// ---- Remembered slots (shortcut) -------------------------------------------------------------
// Per position of the book, what a pass read from the record there, valid while the same dict
// sits there at the same version tag (every change of a dict gives it a new one, and a new
// dict never gets an old one). Only pointer and number compares: no Python code runs.
#if ORVA_USE_DICT_VERSIONS
const CodeSlot* slot_at(const Pass& p, Py_ssize_t i, PyObject* record) {
  const auto at = static_cast<size_t>(i);
  if (!p.slots || at >= p.codes->size() || Py_TYPE(record) != &PyDict_Type) return nullptr;
  const CodeSlot& s = (*p.codes)[at];
  if (s.record != record || s.version != dict_version(record)) return nullptr;
  return &s;
}

// Whether a visit of the order the slot describes would do nothing: a resting ROD limit order
// with a small non-zero quantity whose limit the close does not reach.
bool idle_rod(const Pass& p, const CodeSlot& s) {
  if (!s.fields || s.order_type != p.rod || s.price_type != p.lmt || !PyFloat_CheckExact(s.price) ||
      !PyLong_CheckExact(s.quantity))
    return false;
  const Py_ssize_t digits = Py_SIZE(s.quantity);
  if (digits != 1 && digits != -1) return false;  // zero leaves the book; big ones take the long way
  const double limit = PyFloat_AS_DOUBLE(s.price);
  if (s.action == p.buy) return !(p.close <= limit);
  if (p.sell && s.action == p.sell) return !(p.close >= limit);
  return false;
}
#endif

// What the slot of position `i` says of the record there: 1 of this instrument, 0 of another,
// -1 unknown. Pure: no Python code runs, nothing is held.
int known_code(const Pass& p, Py_ssize_t i, PyObject* record) {
#if ORVA_USE_DICT_VERSIONS
  if (const CodeSlot* s = slot_at(p, i, record)) {
    if (s->code == p.code) return 1;
    if (s->hash != p.code_hash) return 0;
    return same_text(s->code, p.code);  // both exactly str: no Python code
  }
#endif
  (void)p, (void)i, (void)record;
  return -1;
}

#if ORVA_USE_DICT_VERSIONS
// The first position from `i` on whose record is not known from its slot to be of another
// instrument (its code's hash differs). Pure: pointer and number compares only.
Py_ssize_t skip_other_codes(const Pass& p, Py_ssize_t i) {
  if (!p.slots) return i;
  PyObject* const* items = PySequence_Fast_ITEMS(p.book.get());  // an exact list (the pass checked)
  const Py_ssize_t end = std::min<Py_ssize_t>(PyList_GET_SIZE(p.book.get()), static_cast<Py_ssize_t>(p.codes->size()));
  const CodeSlot* slots = p.codes->data();
  for (; i < end; ++i) {
    PyObject* record = items[i];
    const CodeSlot& s = slots[i];
    if (s.record != record || Py_TYPE(record) != &PyDict_Type || s.version != dict_version(record) ||
        s.hash == p.code_hash)
      break;
  }
  return i;
}
#endif

// Whether the record at position `i` is of this pass's instrument.
bool is_code_at(Pass& p, Py_ssize_t i, PyObject* record) {
  if (const int known = known_code(p, i, record); known >= 0) return known == 1;
  p.touched = true;  // reading the record may run Python code
  Ref keep = Ref::borrow(record);
#if ORVA_USE_DICT_VERSIONS
  if (p.slots && Py_TYPE(record) == &PyDict_Type) {
    const uint64_t version = dict_version(record);
    Ref code = item(record, ORVA_NAME("code"));
    const bool match = same_text(code.get(), p.code);
    // Remembered only if nothing changed the record while it was compared.
    if (PyUnicode_CheckExact(code.get()) && dict_version(record) == version && i < PyList_GET_SIZE(p.book.get())) {
      const auto at = static_cast<size_t>(i);
      if (at >= p.codes->size()) p.codes->resize(std::max<size_t>(at + 1, PyList_GET_SIZE(p.book.get())));
      (*p.codes)[at] = CodeSlot{record, version, code.get(), text_hash(code.get())};
    }
    return match;
  }
#endif
  static EntryPlace at_code;
  Ref code = item(at_code, record, ORVA_NAME("code"));
  return same_text(code.get(), p.code);
}

Fields read_fields(Pass& p, Order& o) {
#if ORVA_USE_DICT_VERSIONS
  if (const CodeSlot* s = slot_at(p, o.hint, o.record); s && s->fields)
    return Fields{Ref::borrow(s->action), Ref::borrow(s->price), Ref::borrow(s->order_type),
                  Ref::borrow(s->price_type), Ref::borrow(s->quantity)};
  const uint64_t version = p.slots && Py_TYPE(o.record) == &PyDict_Type ? dict_version(o.record) : 0;
#endif
  PyObject* r = o.record;
  static EntryPlace places[5];  // the book's records are made alike
  Fields f{item(places[0], r, ORVA_NAME("action")), item(places[1], r, ORVA_NAME("price")),
           item(places[2], r, ORVA_NAME("order_type")), item(places[3], r, ORVA_NAME("price_type")),
           item(places[4], r, ORVA_NAME("quantity"))};
#if ORVA_USE_DICT_VERSIONS
  // Kept only if nothing changed the record (or the slot) while the fields were read.
  const auto at = static_cast<size_t>(o.hint);
  if (version && dict_version(r) == version && at < p.codes->size()) {
    CodeSlot& s = (*p.codes)[at];
    if (s.record == r && s.version == version) {
      s.action = f.action.get();
      s.price = f.price.get();
      s.order_type = f.order_type.get();
      s.price_type = f.price_type.get();
      s.quantity = f.quantity.get();
      s.fields = true;
    }
  }
#endif
  return f;
}

// Examines one order of the instrument, found at o.hint just now.
// `can_fill` false: the order meets no volume at all (an IOC or FOK is cancelled, a ROD waits).
void visit(Pass& p, Order& o, bool can_fill = true) {
#if ORVA_USE_DICT_VERSIONS
  if (const CodeSlot* s = slot_at(p, o.hint, o.record); s && idle_rod(p, *s)) return;
#endif
  p.touched = true;
  Fields f = read_fields(p, o);
  const OrderKind kind = kind_of(p, f.order_type.get());
  if (kind == OrderKind::Other) return;
  o.quantity = as_quantity(f.quantity.get());
  if (o.quantity == 0) {
    // Nothing left to trade (its whole quantity was modified away): it leaves without a report.
    take_out(p, o);
    return;
  }
  o.price_match = can_fill && price_reached(p, f.action.get(), f.price_type.get(), f.price.get());
  Outcome out;
  switch (kind) {
    case OrderKind::ROD: out = match_rod(p, o); break;
    case OrderKind::IOC: out = match_ioc(p, o); break;
    case OrderKind::FOK: out = match_fok(p, o); break;
    case OrderKind::Other: break;
  }
  if (out.gone) return;
  if (o.price_match && out.qty_match) fill(p, o, out);
  if (out.cancel_info) cancel(p, o, out);
}

#if ORVA_USE_DICT_VERSIONS
// Goes over the book while its slots tell that nothing needs doing (records of other
// instruments, resting orders the tick does not reach): pure, so the book cannot change
// meanwhile and nothing needs holding. Returns where a visit (or a read) is needed, or -1 when
// the whole book was passed so.
Py_ssize_t idle_prefix(Pass& p) {
  if (!p.slots) return 0;
  PyObject* book = p.book.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) {
    i = skip_other_codes(p, i);
    if (i >= PyList_GET_SIZE(book)) break;
    PyObject* record = PyList_GET_ITEM(book, i);
    const int known = known_code(p, i, record);
    if (known == 0) continue;
    if (known < 0) return i;
    const CodeSlot* s = slot_at(p, i, record);
    if (!s || !idle_rod(p, *s)) return i;
  }
  return -1;
}
#endif

}  // namespace

// The records of book[from:], held for a pass (Python code it runs may change the book): a few
// in place, more in a new list.
class Orders {
 public:
  Orders(PyObject* book, Py_ssize_t from) {
    const Py_ssize_t n = PyList_GET_SIZE(book) - from;
    if (n > kInPlace) {
      list_ = Ref::steal(PyList_GetSlice(book, from, PyList_GET_SIZE(book)));
      return;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
      items_[i] = PyList_GET_ITEM(book, from + i);
      Py_INCREF(items_[i]);
    }
    n_ = n;
  }
  ~Orders() {
    if (n_ && holds_gil())
      for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
  }
  Orders(const Orders&) = delete;
  Orders& operator=(const Orders&) = delete;
  Py_ssize_t size() const { return list_ ? PyList_GET_SIZE(list_.get()) : n_; }
  PyObject* operator[](Py_ssize_t i) const { return list_ ? PyList_GET_ITEM(list_.get(), i) : items_[i]; }

 private:
  static constexpr Py_ssize_t kInPlace = 8;
  PyObject* items_[kInPlace];
  Py_ssize_t n_ = 0;
  Ref list_;
};

// The members a pass compares against, from the enumerations' snapshot (shortcut); false when
// they must be looked up.
bool snapshot_members(Pass& p) {
#if ORVA_FASTPATHS
  if (const EnumSnapshot* e = enum_snapshot()) {
    p.buy = e->buy, p.buy_value = e->buy_value, p.lmt = e->lmt, p.sell = e->sell;
    p.rod = e->rod, p.ioc = e->ioc, p.fok = e->fok;
    return true;
  }
#endif
  (void)p;
  return false;
}

// The enumeration members a pass compares against.
void load_members(Pass& p) {
  if (!snapshot_members(p)) {
    auto kept = [&p](Ref r) { return p.keep.own(r.release()); };
    p.buy = kept(enum_member(ORVA_NAME("Action"), ORVA_NAME("BUY")));
    p.buy_value = kept(member_attr(p.buy, ORVA_NAME("value")));
    p.lmt = kept(enum_member(ORVA_NAME("PriceType"), ORVA_NAME("LMT")));
    p.rod = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("ROD")));
    p.ioc = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("IOC")));
    p.fok = kept(enum_member(ORVA_NAME("OrderType"), ORVA_NAME("FOK")));
#if ORVA_FASTPATHS
    if (fastpaths_on()) {
      try {
        p.sell = kept(enum_member(ORVA_NAME("Action"), ORVA_NAME("SELL")));
      } catch (PyError&) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
        PyErr_Clear();  // no Action.SELL: sell orders take the long way
      }
    }
#endif
  }
}

// A pass visits the orders that were in the book when it started, in book order, each at
// its turn: an order that has left the book by then is passed over, the others are compared
// by code then. Every change runs Python code (reports, the positions book, the console) that
// may change the book, so the pass holds a snapshot of the book (a new list: its references
// keep every record alive) and looks each record up again by identity before using it.
Ref match_deal(const Args& a) {
  Pass p;
  p.self = a.self();
  p.code = a[1];
  p.close = real_arg(a, 2);
  const double ts = real_arg(a, 4);
  int overflow = 0;
  p.tick_qty = PyLong_AsLongLongAndOverflow(a[3], &overflow);
  if (p.tick_qty == -1 && PyErr_Occurred()) throw_error();
  if (overflow > 0) p.tick_qty = LLONG_MAX;  // more volume than any order can take
  if (overflow < 0 || p.tick_qty < 0) {
    Ref message = format("成交量 {} 不能小於 0", {a[3]});
    PyErr_SetObject(PyExc_ValueError, message.get());
    throw_error();
  }
  load_members(p);

  BookLock lock(p.self);
  // The one attribute the pass needs here: the fill reads its own view of self.
  PyObject* book = self_attr(p.self, &SelfView::pending_orders, ORVA_NAME("pending_orders"), p.keep);
  if (!PyList_Check(book)) raise(PyExc_TypeError, "pending_orders must be a list");
  p.book = Ref::borrow(book);
  if (p.tick_qty == 0 || PyList_GET_SIZE(p.book.get()) == 0) return Ref::none();
  p.close_obj = p.keep.own(PyFloat_FromDouble(p.close));
  p.ts_obj = p.keep.own(PyFloat_FromDouble(ts));
#if ORVA_FASTPATHS
  p.slots = fastpaths_on();
  if (p.slots) {
    p.code_hash = text_hash(p.code);
    p.codes = instance(p.self).codes;
  }
#endif
  Py_ssize_t from = 0;
#if ORVA_USE_DICT_VERSIONS
  from = idle_prefix(p);
  if (from < 0) return Ref::none();  // every order of the instrument is known to stay as it is
#endif
  const Orders snapshot(p.book.get(), from);
  for (Py_ssize_t j = 0; j < snapshot.size(); ++j) {
    Order o{snapshot[j], from + j, from + j};
    if (p.touched) {
      if (locate(p, o) < 0) continue;
    } else {
      o.hint = o.origin - p.removed;  // nothing but this pass's removals has changed the book
    }
    if (!is_code_at(p, o.hint, o.record)) continue;
    if (p.touched && locate(p, o) < 0) continue;  // the comparison took it out
    if (p.tick_qty == 0) break;
    visit(p, o);
  }
  return Ref::none();
}

// One order met at a price of the caller's choosing (see matcher.hpp).
PyObject* match_order(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 5) raise(PyExc_TypeError, "match_order(matcher, record, price, qty, ts) takes 5 arguments");
    Pass p;
    p.self = args[0];
    p.close = PyFloat_AsDouble(args[2]);
    if (p.close == -1.0 && PyErr_Occurred()) throw_error();
    const double ts = PyFloat_AsDouble(args[4]);
    if (ts == -1.0 && PyErr_Occurred()) throw_error();
    p.tick_qty = as_quantity(args[3]);
    if (p.tick_qty < 0) raise(PyExc_ValueError, "match_order: qty must not be negative");
    load_members(p);
    BookLock lock(p.self);
    p.book = book_of(p.self);
    const Py_ssize_t at = position_of(p.book.get(), args[1]);
    if (at < 0) return PyLong_FromLong(0);
    p.close_obj = p.keep.own(PyFloat_FromDouble(p.close));
    p.ts_obj = p.keep.own(PyFloat_FromDouble(ts));
    p.keep.hold(args[1]);
    const long long available = p.tick_qty;
    Order o{args[1], at, at};
    visit(p, o, available > 0);
    return PyLong_FromLongLong(available - p.tick_qty);
  } catch (PyError&) {
    return nullptr;
  }
}

}  // namespace orva::matcher
