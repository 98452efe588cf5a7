// Tick state and the matching pass: one instrument's pending orders against one market tick.
#include <algorithm>
#include <climits>

#include "matcher.hpp"

// A dict's version tag (changed by every change of the dict) is read while CPython has it.
#if PY_VERSION_HEX < 0x030C0000
#define ORVA_DICT_VERSIONS 1
#endif

namespace orva::matcher {

Ref reset_tick_infos(const Args& a) {
  setattr(a.self(), ORVA_NAME("current_tick_infos"), Ref::steal(PyDict_New()).get());
  return Ref::none();
}

Ref set_current_tick(const Args& a) {
  PyObject* self = a.self();
  PyObject* tick = a[1];
  Ref code = Ref::borrow(dict_item(tick, ORVA_NAME("code")));
  Ref infos = getattr(self, ORVA_NAME("current_tick_infos"));
  Ref record;
  if (PyDict_CheckExact(infos.get()) && PyUnicode_CheckExact(code.get())) {
    // A plain dict keyed by text: one look-up answers both "in" and "[]".
    PyObject* found = PyDict_GetItemWithError(infos.get(), code.get());
    if (!found && PyErr_Occurred()) throw_error();
    if (found) record = Ref::borrow(found);
  }
  if (!record) {
    int known = PySequence_Contains(infos.get(), code.get());
    if (known < 0) throw_error();
    if (!known) {
      Ref fresh = call_self(self, ORVA_NAME("_Matcher__init_current_tick_info"), {code.get()});
      if (PyObject_SetItem(infos.get(), code.get(), fresh.get()) < 0) throw_error();
    }
    record = getitem(infos.get(), code.get());
  }
  if (PyDict_CheckExact(record.get())) {
    dict_set(record.get(), ORVA_NAME("tick"), tick);
    dict_set(record.get(), ORVA_NAME("ts"), dict_item(tick, ORVA_NAME("timestamp")));
  } else {
    if (PyObject_SetItem(record.get(), ORVA_NAME("tick"), tick) < 0) throw_error();
    Ref ts = Ref::borrow(dict_item(tick, ORVA_NAME("timestamp")));
    if (PyObject_SetItem(record.get(), ORVA_NAME("ts"), ts.get()) < 0) throw_error();
  }
  Ref positions = getattr(self, ORVA_NAME("positions"));
  call_method(positions.get(), ORVA_NAME("set_current_tick"), {tick});
  return Ref::none();
}

namespace {

// What one pass works with: its arguments and the enumeration members it compares against.
struct Pass {
  PyObject* self;
  PyObject* book;
  PyObject* code;
  Py_hash_t code_hash;
  std::vector<CodeSlot>* codes;
  double close;
  Ref close_obj;  // tick_close as a float
  Ref ts_obj;     // tick_ts as a float
  long long tick_qty;  // volume still available to the orders of this pass
  Ref buy, buy_value, lmt, rod, ioc, fok;
  Ref sell;  // Action.SELL when the enumeration is the one bound at load, else empty
};

// One pending order being examined.
struct Order {
  PyObject* record;
  Py_ssize_t index;
  long long quantity;
  bool price_match = false;
  bool removed = false;
};

// What the order's type made of it: a fill (qty_match, deal_qty) and/or a cancellation report.
struct Outcome {
  bool qty_match = false;
  long long deal_qty = 0;
  Ref cancel_info;
};

Ref field(PyObject* record, PyObject* key) {
  if (PyDict_CheckExact(record)) return Ref::borrow(dict_item(record, key));
  return getitem(record, key);
}

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

void take_out(Pass& p, Order& o) {
  remove_order(p.book, o.record, o.index);
  o.removed = true;
}

// The order's own product type must have a report variant before its rest can be cancelled.
void require_known_product(PyObject* record) {
  Ref product = field(record, ORVA_NAME("product_type"));
  if (same_text(product.get(), ORVA_NAME("Stock")) || same_text(product.get(), ORVA_NAME("Future"))) return;
  raise(PyExc_Exception, "不支援的商品類型");
}

// The cancellation report of `quantity` of the order, at its own price.
Ref cancellation(Pass& p, Order& o, long long quantity) {
  require_known_product(o.record);
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
  out.qty_match = true;
  out.deal_qty = std::min(o.quantity, p.tick_qty);
  const long long rest = o.quantity - out.deal_qty;
  set_field(o.record, ORVA_NAME("quantity"), py_long(rest).get());
  if (rest == 0) take_out(p, o);
  return out;
}

// IOC: fills what the tick's volume allows, cancels the rest, and leaves the book either way.
Outcome match_ioc(Pass& p, Order& o) {
  Outcome out;
  long long rest = o.quantity;
  if (o.price_match) {
    out.qty_match = true;
    out.deal_qty = std::min(o.quantity, p.tick_qty);
    rest = o.quantity - out.deal_qty;
  }
  if (rest > 0) out.cancel_info = cancellation(p, o, rest);
  take_out(p, o);
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
  take_out(p, o);
  return out;
}

void trade_record(PyObject* positions, PyObject* trade_id, PyObject* code, PyObject* action, PyObject* quantity,
                  PyObject* price, PyObject* timestamp, PyObject* status) {
  static PyObject* names =
      kwnames({"trade_id", "code", "action", "quantity", "price", "timestamp", "trade_status"});
  call_method(positions, ORVA_NAME("add_trade_record"), {trade_id, code, action, quantity, price, timestamp, status},
              names);
}

void fill(Pass& p, Order& o, const Outcome& out) {
  p.tick_qty -= out.deal_qty;
  Ref deal = copy_record(o.record);
  PyObject* d = deal.get();
  set_field(d, ORVA_NAME("quantity"), py_long(out.deal_qty).get());
  set_field(d, ORVA_NAME("price"), p.close_obj.get());
  set_field(d, ORVA_NAME("exchange_ts"), p.ts_obj.get());
  Ref positions = getattr(p.self, ORVA_NAME("positions"));
  trade_record(positions.get(), field(d, ORVA_NAME("trade_id")).get(), field(d, ORVA_NAME("code")).get(),
               field(d, ORVA_NAME("action")).get(), field(d, ORVA_NAME("quantity")).get(),
               field(d, ORVA_NAME("price")).get(), field(d, ORVA_NAME("exchange_ts")).get(), ORVA_NAME("Deal"));
  Ref report = call_self(p.self, ORVA_NAME("build_deal_response"), {d});
  call_self(p.self, ORVA_NAME("add_response_to_queue"), {report.get()});
  Ref product = field(d, ORVA_NAME("product_type"));
  Ref positions_now = getattr(p.self, ORVA_NAME("positions"));
  call_method(positions_now.get(), ORVA_NAME("set_positions"), {d, product.get()});
}

void cancel(Pass& p, Order& o, const Outcome& out) {
  PyObject* info = out.cancel_info.get();
  Ref order = field(info, ORVA_NAME("order"));
  Ref status = field(info, ORVA_NAME("trade_status"));
  Ref positions = getattr(p.self, ORVA_NAME("positions"));
  trade_record(positions.get(), field(o.record, ORVA_NAME("trade_id")).get(), field(o.record, ORVA_NAME("code")).get(),
               field(o.record, ORVA_NAME("action")).get(), field(order.get(), ORVA_NAME("quantity")).get(),
               field(order.get(), ORVA_NAME("price")).get(), field(status.get(), ORVA_NAME("exchange_ts")).get(),
               ORVA_NAME("Cancel"));
  call_self(p.self, ORVA_NAME("add_response_to_queue"), {info});
}

enum class OrderKind { ROD, IOC, FOK, Other };

OrderKind kind_of(const Pass& p, PyObject* order_type) {
  if (equal(order_type, p.rod.get())) return OrderKind::ROD;
  if (equal(order_type, p.ioc.get())) return OrderKind::IOC;
  if (equal(order_type, p.fok.get())) return OrderKind::FOK;
  return OrderKind::Other;
}

bool price_reached(const Pass& p, PyObject* action, PyObject* price_type, PyObject* price) {
  if (!equal(price_type, p.lmt.get())) return true;  // any other price type fills like a market order
  const bool buy = action == p.buy.get() || equal(action, p.buy_value.get());
  if (PyFloat_CheckExact(price)) {
    const double limit = PyFloat_AS_DOUBLE(price);
    return buy ? p.close <= limit : p.close >= limit;
  }
  int r = PyObject_RichCompareBool(p.close_obj.get(), price, buy ? Py_LE : Py_GE);
  if (r < 0) throw_error();
  return r != 0;
}

// The slot of position `i` when it describes `record` as it is now, with the fields a visit reads.
const CodeSlot* known_fields(const Pass& p, Py_ssize_t i, PyObject* record) {
#ifdef ORVA_DICT_VERSIONS
  const auto at = static_cast<size_t>(i);
  if (at >= p.codes->size() || !PyDict_CheckExact(record)) return nullptr;
  const CodeSlot& s = (*p.codes)[at];
  if (s.record != record || !s.fields || s.version != reinterpret_cast<PyDictObject*>(record)->ma_version_tag)
    return nullptr;
  return &s;
#else
  (void)p, (void)i, (void)record;
  return nullptr;
#endif
}

// Keeps what a visit read from `record` in the slot of position `i`, if the record is the one
// the slot describes and has not changed since.
void remember_fields(Pass& p, Py_ssize_t i, PyObject* record, uint64_t version, PyObject* action, PyObject* price,
                     PyObject* order_type, PyObject* price_type, PyObject* quantity) {
#ifdef ORVA_DICT_VERSIONS
  const auto at = static_cast<size_t>(i);
  if (at >= p.codes->size() || !PyDict_CheckExact(record)) return;
  CodeSlot& s = (*p.codes)[at];
  if (s.record != record || s.version != version ||
      reinterpret_cast<PyDictObject*>(record)->ma_version_tag != version)
    return;
  s.action = action;
  s.price = price;
  s.order_type = order_type;
  s.price_type = price_type;
  s.quantity = quantity;
  s.fields = true;
#else
  (void)p, (void)i, (void)record, (void)version, (void)action, (void)price, (void)order_type, (void)price_type,
      (void)quantity;
#endif
}

uint64_t version_of(PyObject* record) {
#ifdef ORVA_DICT_VERSIONS
  if (PyDict_CheckExact(record)) return reinterpret_cast<PyDictObject*>(record)->ma_version_tag;
#endif
  (void)record;
  return 0;
}

// Examines one order of the instrument. Returns false when the tick's volume is used up.
bool visit(Pass& p, Order& o) {
  const CodeSlot* known = known_fields(p, o.index, o.record);
  const uint64_t version = known ? 0 : version_of(o.record);
  Ref action = known ? Ref::borrow(known->action) : field(o.record, ORVA_NAME("action"));
  Ref price = known ? Ref::borrow(known->price) : field(o.record, ORVA_NAME("price"));
  Ref order_type = known ? Ref::borrow(known->order_type) : field(o.record, ORVA_NAME("order_type"));
  Ref price_type = known ? Ref::borrow(known->price_type) : field(o.record, ORVA_NAME("price_type"));
  Ref quantity = known ? Ref::borrow(known->quantity) : Ref();
  if (p.tick_qty == 0) return false;
  const OrderKind kind = kind_of(p, order_type.get());
  if (kind == OrderKind::Other) return true;
  if (!known) {
    quantity = field(o.record, ORVA_NAME("quantity"));
    remember_fields(p, o.index, o.record, version, action.get(), price.get(), order_type.get(), price_type.get(),
                    quantity.get());
  }
  o.quantity = as_quantity(quantity.get());
  if (o.quantity == 0) {
    // Nothing left to trade (its whole quantity was modified away): it leaves without a report.
    take_out(p, o);
    return true;
  }
  o.price_match = price_reached(p, action.get(), price_type.get(), price.get());
  Outcome out;
  switch (kind) {
    case OrderKind::ROD: out = match_rod(p, o); break;
    case OrderKind::IOC: out = match_ioc(p, o); break;
    case OrderKind::FOK: out = match_fok(p, o); break;
    case OrderKind::Other: break;
  }
  if (o.price_match && out.qty_match) fill(p, o, out);
  if (out.cancel_info) cancel(p, o, out);
  return true;
}

Py_ssize_t position_of(PyObject* book, PyObject* record) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i)
    if (PyList_GET_ITEM(book, i) == record) return i;
  return -1;
}

// Where the pass goes on after `o`: normally right behind it. Reports and the positions book
// run Python code that may change the book, so positions are checked by identity.
Py_ssize_t next_index(PyObject* book, const Order& o, PyObject* follower) {
  const Py_ssize_t n = PyList_GET_SIZE(book);
  if (!o.removed) {
    if (o.index < n && PyList_GET_ITEM(book, o.index) == o.record) return o.index + 1;
    Py_ssize_t at = position_of(book, o.record);
    if (at >= 0) return at + 1;
  }
  if (!follower) return n;
  if (o.index < n && PyList_GET_ITEM(book, o.index) == follower) return o.index;
  Py_ssize_t at = position_of(book, follower);
  return at >= 0 ? at : std::min(o.index, n);
}

bool is_code(PyObject* record, PyObject* code) {
  if (PyDict_CheckExact(record)) return same_text(dict_item(record, ORVA_NAME("code")), code);
  Ref value = getitem(record, ORVA_NAME("code"));
  return same_text(value.get(), code);
}

// is_code for the record at position `i`, through the slot that remembers its code while the
// record is unchanged: the scan then reads one word of most records instead of a dict lookup.
bool is_code_at(Pass& p, Py_ssize_t i, PyObject* record) {
#ifdef ORVA_DICT_VERSIONS
  if (!PyDict_CheckExact(record)) return is_code(record, p.code);
  const uint64_t version = reinterpret_cast<PyDictObject*>(record)->ma_version_tag;
  const auto at = static_cast<size_t>(i);
  if (at < p.codes->size()) {
    const CodeSlot& s = (*p.codes)[at];
    if (s.record == record && s.version == version) {
      if (s.code == p.code) return true;
      if (s.hash != p.code_hash) return false;
      return same_text(s.code, p.code);
    }
  }
  PyObject* code = dict_item(record, ORVA_NAME("code"));
  Ref keep = Ref::borrow(code);
  const bool match = same_text(code, p.code);
  // Looked up again: Python code run by the look-up (a key's __eq__) may have changed the book.
  if (PyUnicode_CheckExact(code) && reinterpret_cast<PyDictObject*>(record)->ma_version_tag == version) {
    if (at >= p.codes->size()) p.codes->resize(std::max<size_t>(at + 1, PyList_GET_SIZE(p.book)));
    (*p.codes)[at] = CodeSlot{record, version, code, text_hash(code)};
  }
  return match;
#else
  (void)i;
  return is_code(record, p.code);
#endif
}

#ifdef ORVA_DICT_VERSIONS
// Whether a visit of the order the slot describes would do nothing at all: a resting ROD limit
// order, with a small non-zero quantity, whose limit the tick's close does not reach (the
// comparisons visit makes, on the same values).
bool idle_rod(const Pass& p, const CodeSlot& s) {
  if (!s.fields || s.order_type != p.rod.get() || s.price_type != p.lmt.get() || !PyFloat_CheckExact(s.price) ||
      !PyLong_CheckExact(s.quantity))
    return false;
  const Py_ssize_t digits = Py_SIZE(s.quantity);
  if (digits != 1 && digits != -1) return false;  // zero leaves the book; big ones take the long way
  const double limit = PyFloat_AS_DOUBLE(s.price);
  if (s.action == p.buy.get()) return !(p.close <= limit);
  if (p.sell && s.action == p.sell.get()) return !(p.close >= limit);
  return false;
}
#endif

// How many records from position `i` on (at most `limit`) are known from their slots to need
// nothing from this pass: records of another instrument (their code's hash differs), and
// resting orders of this one that the tick does not reach, all unchanged since their slot was
// written. No Python code runs here, so the book cannot change while they are skipped.
Py_ssize_t skip_other_codes(const Pass& p, Py_ssize_t i, Py_ssize_t limit) {
#ifdef ORVA_DICT_VERSIONS
  PyObject** items = reinterpret_cast<PyListObject*>(p.book)->ob_item;
  const Py_ssize_t end = std::min<Py_ssize_t>(
      {PyList_GET_SIZE(p.book), i + limit, static_cast<Py_ssize_t>(p.codes->size())});
  const CodeSlot* slots = p.codes->data();
  Py_ssize_t at = i;
  for (; at < end; ++at) {
#if defined(__GNUC__) || defined(__clang__)
    if (at + 8 < end) __builtin_prefetch(items[at + 8]);
#endif
    PyObject* record = items[at];
    const CodeSlot& s = slots[at];
    if (s.record != record || Py_TYPE(record) != &PyDict_Type ||
        s.version != reinterpret_cast<PyDictObject*>(record)->ma_version_tag)
      break;
    if (s.hash != p.code_hash) continue;
    if (s.code != p.code && !same_text(s.code, p.code)) continue;
    // Of this instrument: a visit would first stop the pass when the volume is used up.
    if (p.tick_qty == 0 || !idle_rod(p, s)) break;
  }
  return at - i;
#else
  (void)p, (void)i, (void)limit;
  return 0;
#endif
}

}  // namespace

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
  p.close_obj = py_float(p.close);
  p.ts_obj = py_float(ts);
  p.buy = enum_member(ORVA_NAME("Action"), ORVA_NAME("BUY"));
  p.buy_value = member_attr(p.buy.get(), ORVA_NAME("value"));
  p.sell = loaded_member(ORVA_NAME("Action"), ORVA_NAME("SELL"));
  p.lmt = enum_member(ORVA_NAME("PriceType"), ORVA_NAME("LMT"));
  p.rod = enum_member(ORVA_NAME("OrderType"), ORVA_NAME("ROD"));
  p.ioc = enum_member(ORVA_NAME("OrderType"), ORVA_NAME("IOC"));
  p.fok = enum_member(ORVA_NAME("OrderType"), ORVA_NAME("FOK"));
  p.code_hash = text_hash(p.code);
  p.codes = &code_cache(p.self);

  BookLock lock(p.self);
  Ref book = getattr(p.self, ORVA_NAME("pending_orders"));
  if (!PyList_Check(book.get())) raise(PyExc_TypeError, "pending_orders must be a list");
  p.book = book.get();
  // Orders that enter the book during the pass (only possible from this thread) wait for the next one.
  Py_ssize_t to_visit = PyList_GET_SIZE(p.book);
  Py_ssize_t i = 0;
  while (to_visit > 0 && i < PyList_GET_SIZE(p.book)) {
    const Py_ssize_t skipped = skip_other_codes(p, i, to_visit);
    i += skipped;
    to_visit -= skipped;
    if (to_visit == 0 || i >= PyList_GET_SIZE(p.book)) break;
    --to_visit;
    prefetch_ahead(p.book, i);
    PyObject* record = PyList_GET_ITEM(p.book, i);
    if (!is_code_at(p, i, record)) {
      ++i;
      continue;
    }
    Ref keep = Ref::borrow(record);
    Ref follower = i + 1 < PyList_GET_SIZE(p.book) ? Ref::borrow(PyList_GET_ITEM(p.book, i + 1)) : Ref();
    Order o{record, i, 0};
    if (!visit(p, o)) break;
    i = next_index(p.book, o, follower.get());
  }
  return Ref::none();
}

}  // namespace orva::matcher
