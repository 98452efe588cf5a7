// The positions book (Positions in positions.py): what the exchange calls on every tick and fill, and
// the equity the driver samples. positions.py binds these as Positions' methods; this is their only
// text. The costs of a fill come from the costs object's methods (costs.cpp), called through the
// object, so a subclass or a replaced method is honoured.
//
// Average-cost accounting: adding to a position blends the average price; reducing it realizes
// (fill price - average) x closed quantity x point value and keeps the average; a fill that crosses
// zero closes the old side and opens the rest at the fill price. Quantities are whole numbers; the
// average price and the P&L are floats, computed as Python's float arithmetic computes them.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <cmath>
#include <cstdlib>

#include "arguments.hpp"
#include "costs.hpp"
#include "dict_items.hpp"
#include "dict_rows.hpp"
#include "engine.hpp"
#include "fastpaths.hpp"
#include "fill_entry.hpp"
#include "native_method.hpp"
#include "own_methods.hpp"
#include "placed.hpp"
#include "tick_entry.hpp"

namespace orva::engine {

namespace {

#define N(text) ORVA_NAME(text)

// The keys of a row of Positions.fills, in order.
constexpr int kFillKeys = 14;
PyObject* fill_key(int i) {
  switch (i) {
    case 0: return N("trade_id");
    case 1: return N("timestamp");
    case 2: return N("code");
    case 3: return N("product_type");
    case 4: return N("action");
    case 5: return N("quantity");
    case 6: return N("units");
    case 7: return N("price");
    case 8: return N("exchange_price");
    case 9: return N("commission");
    case 10: return N("tax");
    case 11: return N("realized_pnl");
    case 12: return N("position");
    default: return N("avg_price");
  }
}

// The keys of a trade record: add_trade_record's parameters, in order.
constexpr int kRecordKeys = 7;
PyObject* record_key(int i) {
  switch (i) {
    case 0: return N("trade_id");
    case 1: return N("code");
    case 2: return N("action");
    case 3: return N("quantity");
    case 4: return N("price");
    case 5: return N("timestamp");
    default: return N("trade_status");
  }
}

// The module's row templates (made at load; rows share their key tables, dict_rows.hpp).
Ref row_template(PyObject* module, PyObject* name, EntryPlace& at) {
  PyObject* found = at.get(PyModule_GetDict(module), name);
  if (!found && PyErr_Occurred()) throw_error();
  if (!found) raise(PyExc_RuntimeError, "the positions book's row templates are missing");
  return Ref::borrow(found);  // held: making a row may collect, and a finalizer may change the module
}

// mapping.get(key, fallback)
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = peek(mapping, key);
    return Ref::borrow(found ? found : fallback);
  }
  return call_method(mapping, N("get"), {key, fallback});
}

void append(PyObject* list, PyObject* value) {
  if (PyList_CheckExact(list)) {
    if (PyList_Append(list, value) < 0) throw_error();
  } else {
    call_method(list, N("append"), {value});
  }
}

// A quantity of the book: a whole number within a long long.
long long whole(PyObject* v, const char* what) {
  if (PyLong_CheckExact(v)) {
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v, &overflow);  // cannot fail on an exact int
    if (!overflow) return n;
  }
  Ref index = Ref::steal(PyNumber_Index(v));
  const long long n = PyLong_AsLongLong(index.get());
  if (n == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Clear();
      raise(PyExc_OverflowError, std::string("positions book: ") + what + " beyond a 64-bit integer");
    }
    throw_error();
  }
  return n;
}

double real(PyObject* v) {
  const double d = PyFloat_AsDouble(v);
  if (d == -1.0 && PyErr_Occurred()) throw_error();
  return d;
}

bool is_exact_zero(PyObject* v) { return PyLong_CheckExact(v) && PyObject_Not(v) == 1; }

// The fill row's text of the action: an Action member's value (a str's characters), else str().
Ref action_text(PyObject* action) {
  if (PyUnicode_CheckExact(action)) return Ref::borrow(action);
  if (!PyUnicode_Check(action)) return str_of(action);
  for (PyObject* side : {N("Buy"), N("Sell")})
    if (plain_text(action) ? plain_equal(action, side) : PyUnicode_Compare(action, side) == 0) return Ref::borrow(side);
  return Ref::steal(PyUnicode_FromObject(action));
}

// a + b (as `+=` gives it): exact floats and ints of up to 52 bits directly, as float and int
// addition compute them (an int joins a float exactly), else the number protocol.
Ref plus(PyObject* a, PyObject* b) {
  long long x, y;
  const bool fa = PyFloat_CheckExact(a), fb = PyFloat_CheckExact(b);
  if (fa && fb) return py_float(PyFloat_AS_DOUBLE(a) + PyFloat_AS_DOUBLE(b));
  if (fa && small_int(b, &y)) return py_float(PyFloat_AS_DOUBLE(a) + static_cast<double>(y));
  if (fb && small_int(a, &x)) return py_float(static_cast<double>(x) + PyFloat_AS_DOUBLE(b));
  if (small_int(a, &x) && small_int(b, &y)) return py_long(x + y);
  return Ref::steal(PyNumber_InPlaceAdd(a, b));
}

// One class's fields as DirectFields reads them: the guard of the class, and where each field sat
// in the __dict__ of the instance last read (instances of a class share their key table), so that
// it is read (and, where fastpaths.hpp allows, replaced) there again without a look-up.
struct FieldSet {
  static constexpr int kMax = 12;
  TypeGuard guard;
  int n = 0;
  PyObject* names[kMax] = {};
  EntryPlace read[kMax];
  EntryHint write[kMax];

  FieldSet(std::initializer_list<PyObject*> fields) {
    for (PyObject* name : fields) names[n++] = name;
  }
  // The index of `name` (interned, compared by address), or -1.
  int index(PyObject* name) const {
    for (int i = 0; i < n; ++i)
      if (names[i] == name) return i;
    return -1;
  }
};

// An object's attributes read from and written to its __dict__ while its class leaves them to it:
// generic getattr and setattr, and no data descriptor (property, slot) over any of the set's
// names, checked again only when the class changed (fastpaths.hpp's TypeGuard). Otherwise,
// with the shortcuts off, and for a name its dict does not hold, getattr / setattr.
class DirectFields {
 public:
  DirectFields(PyObject* obj, FieldSet& set) : obj_(obj), set_(&set) {
    if (plain_class(set.guard, set.names, set.names + set.n)) read_dict();
  }
  // Fields read and written by look-up, with no places kept.
  DirectFields(PyObject* obj, TypeGuard& guard, std::initializer_list<PyObject*> names) : obj_(obj) {
    if (plain_class(guard, names.begin(), names.end())) read_dict();
  }

  Ref get(PyObject* name) const {
    if (PyObject* found = own(name)) return Ref::borrow(found);
    return getattr(obj_, name);
  }

  // obj.name, or empty when it has no such attribute.
  Ref find(PyObject* name) const {
    if (PyObject* found = own(name)) return Ref::borrow(found);
    PyObject* found = nullptr;
    if (orva::optional_attr(obj_, name, &found) < 0) throw_error();
    return Ref::steal(found);
  }

  void set(PyObject* name, PyObject* value) const {
    if (!dict_) {
      setattr(obj_, name, value);
      return;
    }
    const int i = index(name);
    // In place, as PyDict_SetItem would leave it (the old value released last).
    if (i >= 0 && set_->write[i].replace(dict_.get(), name, value)) return;
    dict_set(dict_.get(), name, value);
    if (i >= 0) set_->write[i].learn(dict_.get(), name);
  }

  // obj.name += value
  void add(PyObject* name, PyObject* value) const {
    Ref now = get(name);
    set(name, plus(now.get(), value).get());
  }

 private:
  bool plain_class(TypeGuard& guard, PyObject* const* names, PyObject* const* end) const {
    if (!fastpaths_on()) return false;
    PyTypeObject* type = Py_TYPE(obj_);
    if (guard.unchanged(type)) return true;
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    for (; names != end; ++names) {  // type look-ups only: no Python code runs
      PyObject* d = type_lookup(type, *names);
      if (d && Py_TYPE(d)->tp_descr_set) return false;
    }
    guard.mark(type);
    return true;
  }

  void read_dict() {
    PyObject* dict = instance_dict(obj_);
    if (!dict) PyErr_Clear();
    if (dict && PyDict_CheckExact(dict)) dict_ = Ref::borrow(dict);  // held: a write may release a value
  }

  int index(PyObject* name) const { return set_ ? set_->index(name) : -1; }

  // The value of `name` in the __dict__ (borrowed), or null.
  PyObject* own(PyObject* name) const {
    if (!dict_) return nullptr;
    const int i = index(name);
    if (i < 0) return peek(dict_.get(), name);
    PyObject* found = set_->read[i].get(dict_.get(), name);  // a str key: no Python code runs
    if (!found && PyErr_Occurred()) throw_error();
    return found;
  }

  PyObject* obj_;
  FieldSet* set_ = nullptr;
  Ref dict_;
};

// The classes whose instances set_positions reads directly, with the fields it reads (one list for
// every use of a class: the guard vouches for all of them at once).
FieldSet& book_fields() {
  static FieldSet set{N("costs"), N("book"), N("net_positions"), N("fills"), N("day_trades")};
  return set;
}

FieldSet& entry_field_set() {
  static FieldSet set{N("quantity"), N("avg_price"),  N("last_price"), N("point_value"), N("realized_pnl"),
                      N("commission"), N("tax"), N("fills"), N("bought"), N("sold")};
  return set;
}

// An entry's fields as the book reads and writes them.
DirectFields entry_fields(PyObject* entry) { return DirectFields(entry, entry_field_set()); }

// Places of each instrument's value in a dict keyed by codes, for a run's few instruments: a slot
// chosen by the code's address (each place checks the key it finds, so two codes sharing a slot
// only look each other up again).
template <class Place>
struct ByCode {
  Place at[8];
  Place& of(PyObject* code) { return at[(reinterpret_cast<uintptr_t>(code) >> 4) & 7]; }
};
using CodeHints = ByCode<EntryHint>;

// table[code] (borrowed; null when missing) of an exact dict and a str code: no Python code runs.
PyObject* code_value(CodeHints& hints, PyObject* table, PyObject* code) {
  if (PyObject* found = hints.of(code).find(table, code)) return found;
  return peek(table, code);
}

// table[code] = value of an exact dict and a str code, as PyDict_SetItem leaves it.
void put_code_value(CodeHints& hints, PyObject* table, PyObject* code, PyObject* value) {
  EntryHint& at = hints.of(code);
  if (PyObject* old = at.exchange(table, code, value)) {
    Py_DECREF(old);  // as PyDict_SetItem releases it: the caller holds what it reads after
    return;
  }
  dict_set(table, code, value);
  at.learn(table, code);
}

// Where an instrument's entry sits in the book (each place checks the key it finds by its text).
// One set per call site: the codes of ticks and of fills are other objects of the same texts.
ByCode<TextKeyPlace> g_tick_entry_at, g_fill_entry_at;

// The calendar date YYYYMMDD of a day number (days since 1970-01-01), proleptic Gregorian.
long long ymd_of(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const long long doe = z - era * 146097;
  const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long long mp = (5 * doy + 2) / 153;
  const long long d = doy - (153 * mp + 2) / 5 + 1;
  const long long m = mp < 10 ? mp + 3 : mp - 9;
  return (yoe + era * 400 + (m <= 2)) * 10000 + m * 100 + d;
}

// Same-day netting of a stock's fills, kept in self.day_trades (code -> (day, bought, sold): the
// shares of that day's buys and sells not yet netted against the other side). Returns the shares of
// a sell netted against earlier buys of its day (its day-trade shares) and sets *ymd to its date.
// A book without day_trades, or a fill without a time, nets nothing.
long long net_same_day(const DirectFields& self, PyObject* code, PyObject* timestamp, bool is_buy, long long units,
                       long long* ymd) {
  *ymd = 0;
  if (timestamp == Py_None) return 0;
  const double t = real(timestamp);
  if (!std::isfinite(t) || std::fabs(t) > 1e15) return 0;
  Ref table = self.find(N("day_trades"));
  if (!table) return 0;
  const long long day = static_cast<long long>(std::floor(t / 86400.0));
  *ymd = ymd_of(day);
  long long bought = 0, sold = 0;
  const bool plain_table = PyDict_CheckExact(table.get()) && PyUnicode_CheckExact(code);
  static CodeHints day_at;
  Ref state = plain_table ? Ref::borrow(code_value(day_at, table.get(), code)) : get_or(table.get(), code, Py_None);
  if (!state) state = Ref::none();
  bool same_day = false;
  if (PyTuple_CheckExact(state.get()) && PyTuple_GET_SIZE(state.get()) == 3) {
    long long was[3];
    for (int i = 0; i < 3; ++i) was[i] = whole(PyTuple_GET_ITEM(state.get(), i), "a day-trade count");
    same_day = was[0] == day && PyLong_CheckExact(PyTuple_GET_ITEM(state.get(), 0));
    if (was[0] == day) bought = was[1], sold = was[2];
  }
  long long netted;
  if (is_buy) {
    netted = sold < units ? sold : units;
    sold -= netted;
    bought += units - netted;
  } else {
    netted = bought < units ? bought : units;
    bought -= netted;
    sold += units - netted;
  }
  // The day's int of the state before, when it is one: the same value.
  Ref d = same_day ? Ref::borrow(PyTuple_GET_ITEM(state.get(), 0)) : py_long(day);
  Ref b = py_long(bought), s = py_long(sold);
  Ref next = Ref::steal(PyTuple_Pack(3, d.get(), b.get(), s.get()));
  if (!next) throw_error();
  if (plain_table) put_code_value(day_at, table.get(), code, next.get());
  else if (PyDict_CheckExact(table.get())) dict_set(table.get(), code, next.get());
  else set_item(table.get(), code, next.get());
  return is_buy ? 0 : netted;
}

// The entry of an instrument's first fill: InstrumentPosition(code, product_type, point value),
// marked at the instrument's last tick (else at the fill price). The class is positions.py's own,
// read when an entry is made.
Ref new_entry(PyObject* self, PyObject* costs, PyObject* code, PyObject* product_type, bool stock, PyObject* price) {
  Ref point_value = stock ? py_float(1.0) : future_multiplier(costs, code);
  Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.modules.positions.positions"));
  Ref cls = getattr(module.get(), N("InstrumentPosition"));
  Ref entry = call(cls.get(), {code, product_type, point_value.get()});
  set_item(getattr(self, N("book")).get(), code, entry.get());
  Ref tick = get_or(getattr(self, N("last_ticks")).get(), code, Py_None);
  setattr(entry.get(), N("last_price"), tick.get() != Py_None ? item_of(tick.get(), N("close")).get() : price);
  return entry;
}

// Positions.set_positions(self, trade, product_type): books one fill (the exchange's deal copy of
// the order) at the slipped price, with its costs; the exchange's own report keeps its price.
// `known`: the trade's fields as the exchange just wrote them, no Python code run since (else read).
Ref set_positions(PyObject* module, PyObject* self, PyObject* trade, PyObject* product_type,
                  const FillFields* known = nullptr) {
  const DirectFields book(self, book_fields());
  // A known trade's fields are held at once: the cost methods below may run Python code, and the
  // trade's values are read from nothing borrowed after that.
  enum { kTradeId, kCode, kAction, kQuantity, kPrice, kTimestamp, kLot };
  Ref fields[7];  // each read once, and held from then on
  if (known) {
    PyObject* const given[7] = {known->trade_id, known->code,        known->action, known->quantity,
                                known->price,    known->exchange_ts, known->lot};
    for (int i = 0; i < 7; ++i) fields[i] = Ref::borrow(given[i]);
  }
  // trade[name] (borrowed from fields)
  auto field = [&](int i, PyObject* name) -> PyObject* {
    if (!fields[i]) fields[i] = item_of(trade, name);
    return fields[i].get();
  };
  // trade.get(name, fallback); for a known trade its exchange_ts and order_lot (null: missing).
  auto optional = [&](int i, PyObject* name, PyObject* fallback) -> PyObject* {
    if (!fields[i]) fields[i] = known ? Ref::borrow(fallback) : get_or(trade, name, fallback);
    return fields[i].get();
  };
  PyObject* code = field(kCode, N("code"));
  PyObject* quantity = field(kQuantity, N("quantity"));
  if (!truthy(quantity)) return Ref::none();  // an order emptied by a modification can "fill" 0
  Ref exchange_price = Ref::steal(PyNumber_Float(field(kPrice, N("price"))));
  PyObject* action = field(kAction, N("action"));
  const bool is_buy = same_value(action, N("Buy"));
  Ref costs = book.get(N("costs"));
  Ref price = exchange_price;
  if (truthy(cost_setting(costs.get(), N("slippage_ticks")).get()))
    price = call_method(costs.get(), N("slipped_price"),
                        {product_type, code, exchange_price.get(), is_buy ? Py_True : Py_False});

  // What the fill costs, in shares (stocks) or contracts (futures).
  Ref units, commission, tax;
  const bool stock = same_value(product_type, N("Stock"));
  if (stock) {
    PyObject* order_lot = optional(kLot, N("order_lot"), N("Common"));
    units = stock_shares(costs.get(), quantity, order_lot);
    const bool odd = same_value(N("Odd"), order_lot) || same_value(N("IntradayOdd"), order_lot);
    commission = stock_commission(costs.get(), price.get(), units.get(), odd);
    long long ymd = 0;
    const long long day_trade =
        net_same_day(book, code, optional(kTimestamp, N("exchange_ts"), Py_None), is_buy,
                     whole(units.get(), "the units of a fill"), &ymd);
    Ref day_trade_shares = py_long(day_trade), day = py_long(ymd);
    tax = stock_tax(costs.get(), price.get(), units.get(), !is_buy, code, day_trade_shares.get(), day.get());
  } else if (same_value(product_type, N("Future"))) {
    units = Ref::borrow(quantity);
    commission = future_commission(costs.get(), code, units.get());
    tax = truthy(units.get()) ? future_tax(costs.get(), code, price.get(), units.get()) : py_long(0);
  } else {
    PyErr_Format(PyExc_ValueError, "unsupported product type %R for %S", product_type, code);
    throw_error();
  }

  Ref entries = book.get(N("book"));
  Ref entry;
  if (PyDict_CheckExact(entries.get()) && PyUnicode_CheckExact(code)) {
    PyObject* found = g_fill_entry_at.of(code).get(entries.get(), code);  // a str key: no code runs
    if (!found && PyErr_Occurred()) throw_error();
    entry = Ref::borrow(found ? found : Py_None);
  } else {
    entry = get_or(entries.get(), code, Py_None);
  }
  if (entry.get() == Py_None) entry = new_entry(self, costs.get(), code, product_type, stock, price.get());
  const DirectFields e = entry_fields(entry.get());

  // Average cost and realized P&L.
  const long long held = whole(e.get(N("quantity")).get(), "the position");
  const long long size = whole(units.get(), "the units of a fill");
  const long long moved = is_buy ? size : -size;
  long long now;
  if (__builtin_add_overflow(held, moved, &now)) raise(PyExc_OverflowError, "positions book: position overflow");
  const long long held_abs = std::llabs(held), moved_abs = std::llabs(moved);
  const double fill_price = real(price.get());
  Ref avg_before = e.get(N("avg_price"));
  Ref avg_price = avg_before;
  Ref realized;
  if (held == 0 || (held > 0) == (moved > 0)) {
    if (held_abs + moved_abs) {
      const double avg = real(avg_price.get());
      avg_price = py_float((avg * static_cast<double>(held_abs) + fill_price * static_cast<double>(moved_abs)) /
                           static_cast<double>(held_abs + moved_abs));
    }
    realized = py_float(0.0);
  } else {
    const double closed = static_cast<double>(held_abs < moved_abs ? held_abs : moved_abs);
    const double direction = held > 0 ? 1.0 : -1.0;
    const double point_value = real(e.get(N("point_value")).get());
    realized = py_float((fill_price - real(avg_price.get())) * closed * direction * point_value);
    e.add(N("realized_pnl"), realized.get());
    if (now == 0)
      avg_price = py_float(0.0);
    else if ((now > 0) != (held > 0))
      avg_price = price;  // crossed zero: the rest is a new position
  }
  Ref position = py_long(now);
  if (avg_price.get() != avg_before.get()) e.set(N("avg_price"), avg_price.get());
  e.set(N("quantity"), position.get());
  e.add(N("commission"), commission.get());
  if (!is_exact_zero(tax.get())) e.add(N("tax"), tax.get());  // buys: adding 0 leaves an equal value
  e.add(N("fills"), py_long(1).get());
  e.add(is_buy ? N("bought") : N("sold"), units.get());
  Ref net = book.get(N("net_positions"));
  static CodeHints position_at;
  if (PyDict_CheckExact(net.get()) && PyUnicode_CheckExact(code)) put_code_value(position_at, net.get(), code, position.get());
  else if (PyDict_CheckExact(net.get())) dict_set(net.get(), code, position.get());
  else set_item(net.get(), code, position.get());

  PyObject* trade_id = field(kTradeId, N("trade_id"));
  PyObject* timestamp = optional(kTimestamp, N("exchange_ts"), Py_None);
  Ref text = action_text(action);
  PyObject* values[kFillKeys] = {trade_id,   timestamp,  code,       product_type,
                                 text.get(),       quantity,   units.get(),      price.get(),
                                 exchange_price.get(), commission.get(), tax.get(),    realized.get(),
                                 position.get(),   avg_price.get()};
  static EntryPlace at_row;
  Ref row = dict_row(row_template(module, N("_fill_row"), at_row).get(), fill_key, values, kFillKeys);
  append(book.get(N("fills")).get(), row.get());
  return Ref::none();
}

// The guard of the class whose last_ticks and book set_current_tick reads directly.
TypeGuard g_marking_type;
// Where last_ticks and book sit in a book's __dict__ (books share their keys).
EntryPlace g_last_ticks_at, g_entries_at;

// Where an instrument's tick sits in last_ticks, for a run's few instruments: a slot chosen by the
// code's address. The hint checks the key it finds against the code, so two codes sharing a slot
// only look each other up again.
EntryHint g_tick_at[8];
EntryHint& tick_hint(PyObject* code) { return g_tick_at[(reinterpret_cast<uintptr_t>(code) >> 4) & 7]; }

// last_ticks[code] = tick for an exact dict (code a str).
void keep_last_tick(PyObject* last_ticks, PyObject* code, PyObject* tick) {
  EntryHint& at = tick_hint(code);
  // The old tick may be the last reference to it: released once the dict holds the new one.
  if (PyObject* old = at.exchange(last_ticks, code, tick)) {
    Py_DECREF(old);
    return;
  }
  dict_set(last_ticks, code, tick);
  at.learn(last_ticks, code);
}

// Whether the book's class leaves last_ticks and book to its instances' dicts (DirectFields' test),
// checked again. Type look-ups only: no Python code runs.
[[gnu::noinline]] bool marking_plain(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  for (PyObject* name : {N("last_ticks"), N("book")}) {
    PyObject* d = type_lookup(type, name);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  g_marking_type.mark(type);
  return true;
}

// The book's last_ticks and book as DirectFields reads them, its class checked inline while it is
// unchanged: from the __dict__ (held: a write may release a value), else by getattr.
class MarkingFields {
 public:
  explicit MarkingFields(PyObject* self) : self_(self) {
    if (!fastpaths_on()) return;
    PyTypeObject* type = Py_TYPE(self);
    if (!g_marking_type.unchanged(type) && !marking_plain(type)) return;
    PyObject* dict = instance_dict(self);
    if (!dict) PyErr_Clear();
    if (dict && PyDict_CheckExact(dict)) dict_ = Ref::borrow(dict);
  }
  // With the book's __dict__ when its class was just found to leave the fields to it (an exact
  // dict), else null: read by getattr.
  MarkingFields(PyObject* self, PyObject* plain_dict) : self_(self) {
    if (plain_dict) dict_ = Ref::borrow(plain_dict);
  }
  Ref get(PyObject* name, EntryPlace& place) const {
    if (dict_) {
      if (PyObject* found = place.get(dict_.get(), name)) return Ref::borrow(found);
      if (PyErr_Occurred()) throw_error();
    }
    return getattr(self_, name);
  }

 private:
  PyObject* self_;
  Ref dict_;
};

// A number of an entry's field as real() reads it, for an exact float or a small exact int; false
// for anything else (read then by real(), which may run code).
bool plain_number(PyObject* v, double* out) {
  long long n;
  if (PyFloat_CheckExact(v)) *out = PyFloat_AS_DOUBLE(v);
  else if (small_int(v, &n)) *out = static_cast<double>(n);
  else return false;
  return true;
}

// add_entry_equity() for an entry of a class known plain (DirectFields' test) whose fields are
// plain numbers (last_price may be None), read in one look at its __dict__; false when it is not
// such an entry (nothing added, nothing run).
bool add_plain_entry_equity(PyObject* entry, double& total) {
  FieldSet& set = entry_field_set();
  if (!fastpaths_on() || !set.guard.unchanged(Py_TYPE(entry))) return false;
  PyObject* dict = instance_dict(entry);
  if (!dict) PyErr_Clear();
  if (!dict || !PyDict_CheckExact(dict)) return false;
  // Their indices in entry_field_set(): quantity, avg_price, last_price, point_value, realized_pnl,
  // commission, tax.
  constexpr int kFields = 7;
  PyObject* v[kFields];
  const EntryPlace::View view(dict);
  for (int i = 0; i < kFields; ++i) {
    v[i] = view.get(set.read[i], set.names[i]);  // str keys: no Python code runs
    if (!v[i]) {
      PyErr_Clear();  // missing or failed: read again by getattr, which raises what Python raises
      return false;
    }
  }
  double quantity, avg, last, point_value, realized, commission, tax;
  if (!plain_number(v[0], &quantity) || !plain_number(v[1], &avg) || !plain_number(v[3], &point_value) ||
      !plain_number(v[4], &realized) || !plain_number(v[5], &commission) || !plain_number(v[6], &tax))
    return false;
  const bool marked = v[2] != Py_None;
  if (marked && !plain_number(v[2], &last)) return false;
  total += realized - commission - tax;
  if (quantity != 0.0 && marked) total += (last - avg) * quantity * point_value;
  return true;
}

// Adds one entry's part of the equity to the total: realized - commission - tax, then its open
// position marked at the last price (when it has both); two additions, as Python makes them.
void add_entry_equity(PyObject* entry, double& total) {
  if (add_plain_entry_equity(entry, total)) return;
  const DirectFields e = entry_fields(entry);
  const double realized = real(e.get(N("realized_pnl")).get());
  const double commission = real(e.get(N("commission")).get());
  const double tax = real(e.get(N("tax")).get());
  total += realized - commission - tax;
  Ref quantity = e.get(N("quantity"));
  if (!truthy(quantity.get())) return;
  Ref last = e.get(N("last_price"));
  if (last.get() == Py_None) return;
  const double last_price = real(last.get());
  const double avg = real(e.get(N("avg_price")).get());
  const double q = real(quantity.get());
  total += (last_price - avg) * q * real(e.get(N("point_value")).get());
}

// Positions.equity(self): profit since the start, realized + unrealized - commission - tax.
Ref equity(PyObject* self) {
  Ref book = MarkingFields(self).get(N("book"), g_entries_at);
  double total = 0.0;
  if (PyDict_CheckExact(book.get())) {
    Py_ssize_t pos = 0, size = PyDict_GET_SIZE(book.get());
    PyObject *key, *value;
    while (PyDict_Next(book.get(), &pos, &key, &value)) {
      Ref e = Ref::borrow(value);  // held: reading its fields may run code that changes the book
      add_entry_equity(e.get(), total);
      if (PyDict_GET_SIZE(book.get()) != size) raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    return py_float(total);
  }
  Ref entries = Ref::steal(PySequence_List(call_method(book.get(), N("values")).get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i)
    add_entry_equity(PyList_GET_ITEM(entries.get(), i), total);  // the list is ours and holds it
  return py_float(total);
}

// entry.last_price = close (`entry` held by the book or the caller): while the entry's class is
// known plain, replaced where it sits in the entry's __dict__, else as DirectFields sets it.
[[gnu::always_inline]] inline void mark_entry(PyObject* entry, PyObject* close) {
  FieldSet& set = entry_field_set();
  constexpr int kLastPrice = 2;  // its index in entry_field_set()
  PyObject* name = N("last_price");
  if (fastpaths_on() && set.names[kLastPrice] == name && set.guard.unchanged(Py_TYPE(entry))) {
    PyObject* dict = instance_dict(entry);
    if (!dict) PyErr_Clear();
    if (dict && PyDict_CheckExact(dict)) {
      if (PyObject* old = set.write[kLastPrice].exchange(dict, name, close)) {
        Py_DECREF(old);  // last: its release may run code, and nothing borrowed is read after it
        return;
      }
      // As DirectFields writes it (the old value released last, by the dict).
      Ref held = Ref::borrow(dict);
      dict_set(dict, name, close);
      set.write[kLastPrice].learn(dict, name);
      return;
    }
  }
  entry_fields(entry).set(name, close);
}

// The mark of the entry of `code` (a str) in the book `entries` (an exact dict, not empty), if any:
// the entry found where it sat last time, the close where it sat in the feed's last tick.
[[gnu::noinline, gnu::flatten]] void mark_held_entry(PyObject* entries, PyObject* code, PyObject* tick) {
  PyObject* entry = g_tick_entry_at.of(code).get(entries, code);
  if (!entry) {
    if (PyErr_Occurred()) throw_error();
    return;
  }
  static EntryPlace close_at;
  PyObject* close = PyDict_CheckExact(tick) ? close_at.get(tick, N("close")) : nullptr;  // no code runs
  if (close) {
    mark_entry(entry, close);
    return;
  }
  if (PyErr_Occurred()) throw_error();
  Ref held = Ref::borrow(entry);  // the tick's own look-up may run code
  mark_entry(held.get(), item_of(tick, N("close")).get());
}

// Positions.set_current_tick(self, tick): the instrument's last tick, and its entry's mark. `seen`
// is tick["code"] when the caller just read it.
// Flattened: the calls of every tick inlined (the compiler otherwise keeps shared helpers apart).
[[gnu::flatten]] void set_current_tick(PyObject* self, PyObject* tick, PyObject* seen, const MarkingFields& book) {
  Ref code = seen ? Ref::borrow(seen) : item_of(tick, N("code"));
  Ref last_ticks = book.get(N("last_ticks"), g_last_ticks_at);
  if (PyDict_CheckExact(last_ticks.get()) && PyUnicode_CheckExact(code.get())) keep_last_tick(last_ticks.get(), code.get(), tick);
  else if (PyDict_CheckExact(last_ticks.get())) dict_set(last_ticks.get(), code.get(), tick);
  else set_item(last_ticks.get(), code.get(), tick);
  Ref entries = book.get(N("book"), g_entries_at);
  if (PyDict_CheckExact(entries.get()) && PyUnicode_CheckExact(code.get())) {
    // A str code's look-up runs no code.
    if (PyDict_GET_SIZE(entries.get()) != 0) mark_held_entry(entries.get(), code.get(), tick);
    return;
  }
  Ref entry = get_or(entries.get(), code.get(), Py_None);
  if (entry.get() != Py_None) mark_entry(entry.get(), item_of(tick, N("close")).get());
}

// The descriptor the class attribute set_current_tick holds while it is this module's own.
PyObject* g_own_book_tick = nullptr;
// The book class and instance dict last found to hold it, and whether that class also leaves
// last_ticks and book to the instance dict (marking_plain's test).
OwnMethodsSeen g_own_tick_seen;
bool g_own_tick_plain = false;

// The body as the exchange calls it (tick_entry.hpp), while book.set_current_tick is this method:
// its class holds it, with nothing in front of it (its own attribute access, an attribute of the
// instance); the __dict__ read for that check serves the body's reads too. Type and dict look-ups
// only before the body: no Python code runs. 1 done, 0 another method (nothing done).
int set_current_tick_entry(PyObject* self, PyObject* tick, PyObject* code) {
  try {
    PyObject* dict = nullptr;
    bool marked = false;
    const bool own = own_methods(self, g_own_tick_seen, {{N("set_current_tick"), g_own_book_tick}}, &dict, &marked);
    // Kept for the class g_own_tick_seen holds, and only for it.
    if (marked) g_own_tick_plain = fastpaths_on() && marking_plain(Py_TYPE(self));
    if (!own) return 0;
    const bool plain = g_own_tick_plain && fastpaths_on() && dict && PyDict_CheckExact(dict);
    set_current_tick(self, tick, code, MarkingFields(self, plain ? dict : nullptr));
    return 1;
  } catch (PyError&) {
    return -1;
  }
}

// --- the methods as Python sees them ---------------------------------------------------------------

PyObject* book_set_positions(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {N("self"), N("trade"), N("product_type")};
    PyObject* a[3];
    bind_arguments("Positions.set_positions", names, 3, 3, nullptr, args, nargsf, kwnames, a);
    return set_positions(module, a[0], a[1], a[2]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* book_equity(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {N("self")};
    PyObject* a[1];
    bind_arguments("Positions.equity", names, 1, 1, nullptr, args, nargsf, kwnames, a);
    return equity(a[0]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* book_set_current_tick(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {N("self"), N("tick")};
    PyObject* a[2];
    bind_arguments("Positions.set_current_tick", names, 2, 2, nullptr, args, nargsf, kwnames, a);
    set_current_tick(a[0], a[1], nullptr, MarkingFields(a[0]));
    Py_RETURN_NONE;
  } catch (PyError&) {
    return nullptr;
  }
}

// Positions.add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status):
// appends the record, a dict of the parameters in order (`values`, seven of them).
void add_trade_record(PyObject* module, PyObject* self, PyObject* const* values) {
  static EntryPlace at_row;
  Ref row = dict_row(row_template(module, N("_trade_record_row"), at_row).get(), record_key, values, kRecordKeys);
  append(getattr(self, N("trade_records")).get(), row.get());
}

PyObject* book_add_trade_record(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[] = {N("self"), N("trade_id"), N("code"), N("action"), N("quantity"), N("price"), N("timestamp"), N("trade_status")};
    PyObject* a[8];
    bind_arguments("Positions.add_trade_record", names, 8, 8, nullptr, args, nargsf, kwnames, a);
    add_trade_record(module, a[0], a + 1);
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// The bodies as the exchange calls them while the book's methods are these (fill_entry.hpp).
PyObject* g_engine_module = nullptr;  // the module these functions belong to

int add_trade_record_entry(PyObject* self, PyObject* const* values) {
  try {
    add_trade_record(g_engine_module, self, values);
    return 0;
  } catch (PyError&) {
    return -1;
  }
}

int set_positions_entry(PyObject* self, PyObject* trade, PyObject* product_type, const FillFields* known) {
  try {
    set_positions(g_engine_module, self, trade, product_type, known);
    return 0;
  } catch (PyError&) {
    return -1;
  }
}

}  // namespace

int add_book_functions(PyObject* module) {
  try {
    // Fill rows and trade records share their key tables (dict_rows.hpp): a third of the memory.
    Ref fill_row = dict_row_template("_FillRow", fill_key, kFillKeys);
    Ref record_row = dict_row_template("_TradeRecord", record_key, kRecordKeys);
    if (PyModule_AddObject(module, "_fill_row", fill_row.get()) < 0) return -1;
    fill_row.release();
    if (PyModule_AddObject(module, "_trade_record_row", record_row.get()) < 0) return -1;
    record_row.release();
  } catch (PyError&) {
    return -1;
  }
  if (add_cost_functions(module) < 0) return -1;
  const int added = add_documented_methods(
      module, "Positions", "book_",
      {{"set_positions", book_set_positions,
        "set_positions($self, trade, product_type)\n--\n\nBooks one fill: the exchange's deal copy of the order and "
        "its product type, \"Stock\" or \"Future\"."},
       {"equity", book_equity,
        "equity($self)\n--\n\nProfit since the start: realized + unrealized - commission - tax."},
       {"add_trade_record", book_add_trade_record,
        "add_trade_record($self, trade_id, code, action, quantity, price, timestamp, trade_status)\n--\n\n"
        "Keeps one trade record (a fill or a cancellation) in trade_records."},
       {"set_current_tick", book_set_current_tick,
        "set_current_tick($self, tick)\n--\n\nKeeps the tick as its instrument's last and marks its position "
        "to the tick's close."}});
  if (added < 0) return -1;
  // The exchange's way to the method without its binding (tick_entry.hpp): the descriptor the class
  // takes, compared by identity, and the body.
  dict_lacks_checked();  // at load (it allocates): the tick loop asks it of every tick
  static BookTickEntry entry = {set_current_tick_entry};
  g_own_book_tick = PyObject_GetAttrString(module, "book_set_current_tick");  // kept for the process's life
  if (!g_own_book_tick) return -1;
  PyObject* capsule = PyCapsule_New(&entry, kBookTickCapsule, nullptr);
  if (!capsule || PyModule_AddObject(module, "_book_tick_entry", capsule) < 0) {
    Py_XDECREF(capsule);
    return -1;
  }
  // The same for the fill's two calls (fill_entry.hpp).
  static BookFillEntry fill = {nullptr, nullptr, add_trade_record_entry, set_positions_entry};
  Py_INCREF(module);  // kept for the process's life, never released (as the descriptors are)
  g_engine_module = module;
  fill.own_add_trade_record = PyObject_GetAttrString(module, "book_add_trade_record");  // kept, as above
  fill.own_set_positions = PyObject_GetAttrString(module, "book_set_positions");
  if (!fill.own_add_trade_record || !fill.own_set_positions) return -1;
  PyObject* fill_capsule = PyCapsule_New(&fill, kBookFillCapsule, nullptr);
  if (!fill_capsule || PyModule_AddObject(module, "_book_fill_entry", fill_capsule) < 0) {
    Py_XDECREF(fill_capsule);
    return -1;
  }
  return 0;
}

}  // namespace orva::engine
