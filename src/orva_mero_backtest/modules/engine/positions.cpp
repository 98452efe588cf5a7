// The positions book's per-fill and per-tick steps (Positions.set_positions, equity, add_trade_record,
// set_current_tick), step for step as their Python text in positions.py and the cost methods of
// costs.py (the Python text is the reference; tests run both).
//
// positions.py registers, once at import, the classes, module namespaces and original functions
// (engine._book_registry). A cost method, a module helper or _apply_fill is computed here only while the
// one Python would call is that original; a replaced or overridden one is called. Arithmetic is done
// in doubles only where Python's own would be float arithmetic (a chain that starts from an exact
// float, other operands exact floats or ints); anything else goes through the number protocol.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "dict_rows.hpp"
#include "engine.hpp"
#include "fastpaths.hpp"
#include "dict_items.hpp"
#include "native_method.hpp"

namespace orva::engine {

namespace {

// Slots of the registration tuple (see positions.py, _engine.book_register).
enum Slot {
  kPositions,         // class Positions
  kEntry,             // class InstrumentPosition
  kCosts,             // class CostSettings
  kPosGlobals,        // positions.py's namespace
  kCostGlobals,       // costs.py's namespace
  kApplyFill,         // Positions.__dict__["_apply_fill"]
  kText,              // positions._text
  kStockShares,       // CostSettings.stock_shares ... future_multiplier
  kStockCommission,
  kStockTax,
  kFutureCommission,
  kFutureTax,
  kFutureMultiplier,
  kSlippedPrice,      // CostSettings.slipped_price
  kFloor,             // costs._floor
  kRoundHalfUp,       // costs._round_half_up
  kFutureRoot,        // costs.future_root
  kRootPattern,       // costs._ROOT
  kPySetPositions,    // the Python text of each native method
  kPyEquity,
  kPyAddTradeRecord,
  kPySetCurrentTick,
  kSlots,
  kFillRow = kSlots,  // added by book_register: a fill row's keys in order, copied per fill
  kRecordRow,         // the same for a trade record
  kRegistered
};

// The keys of a row of Positions.fills, in the order of its Python text.
constexpr int kRowKeys = 14;
PyObject* fill_key(int i) {
  switch (i) {
    case 0: return ORVA_NAME("trade_id");
    case 1: return ORVA_NAME("timestamp");
    case 2: return ORVA_NAME("code");
    case 3: return ORVA_NAME("product_type");
    case 4: return ORVA_NAME("action");
    case 5: return ORVA_NAME("quantity");
    case 6: return ORVA_NAME("units");
    case 7: return ORVA_NAME("price");
    case 8: return ORVA_NAME("exchange_price");
    case 9: return ORVA_NAME("commission");
    case 10: return ORVA_NAME("tax");
    case 11: return ORVA_NAME("realized_pnl");
    case 12: return ORVA_NAME("position");
    default: return ORVA_NAME("avg_price");
  }
}

// The keys of a trade record (add_trade_record's parameters), in order.
constexpr int kRecordKeys = 7;
PyObject* record_key(int i) {
  switch (i) {
    case 0: return ORVA_NAME("trade_id");
    case 1: return ORVA_NAME("code");
    case 2: return ORVA_NAME("action");
    case 3: return ORVA_NAME("quantity");
    case 4: return ORVA_NAME("price");
    case 5: return ORVA_NAME("timestamp");
    default: return ORVA_NAME("trade_status");
  }
}

#define N(text) ORVA_NAME(text)

#if ORVA_DICT_VERSIONS
// The registration last read and the module dict's version then: while the version is unchanged the
// dict is unchanged and holds the tuple (borrowed, never released).
uint64_t g_registry_version = 0;
PyObject* g_registry = nullptr;
#endif

PyObject* const* registry(PyObject* module, Ref* keep) {
#if ORVA_DICT_VERSIONS
  PyObject* module_dict = PyModule_GetDict(module);
  const uint64_t version = dict_version(module_dict);
  if (g_registry && version == g_registry_version && fastpaths_on()) {
    *keep = Ref::borrow(g_registry);
    return &PyTuple_GET_ITEM(g_registry, 0);
  }
#endif
  PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), N("_book_registry"));
  if (!found) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the positions book is not registered");
    throw_error();
  }
  if (!PyTuple_CheckExact(found) || PyTuple_GET_SIZE(found) != kRegistered)
    raise(PyExc_RuntimeError, "engine._book_registry is not the positions book's registration");
  *keep = Ref::borrow(found);  // its items live as long as the tuple
#if ORVA_DICT_VERSIONS
  g_registry = found;
  g_registry_version = version;
#endif
  return &PyTuple_GET_ITEM(found, 0);
}

// The instance __dict__ when `obj` is exactly of class `cls` (whose fields live there, with no
// class-level descriptor of the same name); none otherwise (then attribute access is used).
Ref instance_dict(PyObject* obj, PyObject* cls) {
  if (Py_TYPE(obj) != reinterpret_cast<PyTypeObject*>(cls)) return Ref();
  return Ref::steal(PyObject_GenericGetDict(obj, nullptr));
}

// obj.name, read from its __dict__ when given.
Ref field(PyObject* obj, const Ref& dict, PyObject* name) {
  if (dict) {
    PyObject* v = PyDict_GetItemWithError(dict.get(), name);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
  }
  return getattr(obj, name);
}

void set_field(PyObject* obj, const Ref& dict, PyObject* name, PyObject* value) {
  if (dict)
    dict_set(dict.get(), name, value);
  else
    setattr(obj, name, value);
}

// obj.name += value
void add_to_field(PyObject* obj, const Ref& dict, PyObject* name, PyObject* value) {
  Ref now = field(obj, dict, name);
  Ref sum = Ref::steal(PyNumber_InPlaceAdd(now.get(), value));
  set_field(obj, dict, name, sum.get());
}

// container.get(key, fallback)
Ref get_or(PyObject* container, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(container)) {
    PyObject* v = PyDict_GetItemWithError(container, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
    return Ref::borrow(fallback);
  }
  return call_method(container, N("get"), {key, fallback});
}

// A module-level name as the module's code reads it (its namespace, then builtins).
Ref global(PyObject* globals, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (v) return Ref::borrow(v);
  if (PyErr_Occurred()) throw_error();
  v = PyDict_GetItemWithError(PyEval_GetBuiltins(), name);
  if (v) return Ref::borrow(v);
  if (!PyErr_Occurred()) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  throw_error();
}

bool global_is(PyObject* globals, PyObject* name, PyObject* original) {
  PyObject* v = PyDict_GetItemWithError(globals, name);
  if (!v && PyErr_Occurred()) throw_error();
  return v == original;
}

// `a == b` as a truth value, without the identity shortcut of PyObject_RichCompareBool.
bool eq(PyObject* a, PyObject* b) {
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) return PyUnicode_Compare(a, b) == 0;
  Ref r = Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
  return truthy(r.get());
}

// A number as float arithmetic converts it: exact float or exact int (false for other types or an
// int beyond a double, where Python raises and the number protocol will too).
bool as_double(PyObject* v, double* out) {
  if (PyFloat_CheckExact(v)) {
    *out = PyFloat_AS_DOUBLE(v);
    return true;
  }
  if (PyLong_CheckExact(v)) {
    const double d = PyLong_AsDouble(v);
    if (d == -1.0 && PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
    *out = d;
    return true;
  }
  return false;
}

// a * b * c * d, left to right, as Python computes it.
Ref product(std::initializer_list<PyObject*> factors) {
  const PyObject* const* f = factors.begin();
  if (PyFloat_CheckExact(f[0])) {
    double acc = PyFloat_AS_DOUBLE(f[0]);
    bool plain = true;
    for (size_t i = 1; i < factors.size() && plain; ++i) {
      double v = 0.0;
      plain = as_double(const_cast<PyObject*>(f[i]), &v);
      acc = acc * v;
    }
    if (plain) return py_float(acc);
  }
  Ref acc = Ref::borrow(const_cast<PyObject*>(f[0]));
  for (size_t i = 1; i < factors.size(); ++i)
    acc = Ref::steal(PyNumber_Multiply(acc.get(), const_cast<PyObject*>(f[i])));
  return acc;
}

// round(x, 6) for a finite float: the same correctly rounded 6-place decimal, read back.
bool round6(double x, double* out) {
  char* text = PyOS_double_to_string(x, 'f', 6, 0, nullptr);
  if (!text) {
    PyErr_Clear();
    return false;
  }
  const double r = PyOS_string_to_double(text, nullptr, nullptr);
  PyMem_Free(text);
  if (r == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  *out = r;
  return true;
}

constexpr double kNativeLimit = 2147483648.0;  // beyond it the margins below are not proven

// costs._floor: math.floor(round(x, 6)). Farther than 1e-6 below the next integer, rounding to six
// places cannot reach it (for |x| < 2**31 a double's spacing is below 2.4e-7); nearer, round as Python.
bool floor_round6(double x, long long* out) {
  if (!std::isfinite(x) || std::fabs(x) >= kNativeLimit) return false;
  const double n = std::floor(x);
  if ((n + 1.0) - x > 1e-6) {
    *out = static_cast<long long>(n);
    return true;
  }
  double r;
  if (!round6(x, &r)) return false;
  *out = static_cast<long long>(std::floor(r));
  return true;
}

// costs._round_half_up: math.floor(round(x, 6) + 0.5); the same margin around the half.
bool round_half_up6(double x, long long* out) {
  if (!std::isfinite(x) || std::fabs(x) >= kNativeLimit) return false;
  const double n = std::floor(x);
  const double frac = x - n;
  if (std::fabs(frac - 0.5) > 1e-6) {
    *out = static_cast<long long>(n) + (frac > 0.5 ? 1 : 0);
    return true;
  }
  double r;
  if (!round6(x, &r)) return false;
  *out = static_cast<long long>(std::floor(r + 0.5));
  return true;
}

// The settings a fill reads from the costs object.
constexpr int kCostFields = 12;
PyObject* cost_field_name(int i) {
  switch (i) {
    case 0: return ORVA_NAME("slippage_ticks");
    case 1: return ORVA_NAME("stock_lot_size");
    case 2: return ORVA_NAME("stock_commission_rate");
    case 3: return ORVA_NAME("stock_commission_discount");
    case 4: return ORVA_NAME("stock_min_commission");
    case 5: return ORVA_NAME("stock_odd_lot_min_commission");
    case 6: return ORVA_NAME("stock_tax_rate");
    case 7: return ORVA_NAME("future_commission_by_root");
    case 8: return ORVA_NAME("future_commission_per_contract");
    case 9: return ORVA_NAME("future_multipliers");
    case 10: return ORVA_NAME("default_future_multiplier");
    default: return ORVA_NAME("future_tax_rate");
  }
}

// What one call reads from the book, its costs and the two modules, taken at once from a plan
// (below) when nothing it was made from has changed. A plan is made only while every cost method,
// helper and _apply_fill is the original, so these are then the values Python's text would read.
struct Snapshot {
  Ref costs, costs_dict, book, fills, net, buy, common_lot, odd_lots, cost_odd_lots, action_cls;
  Ref fields[kCostFields];

  Ref cost_field(PyObject* name) const {
    for (int i = 0; i < kCostFields; ++i)
      if (cost_field_name(i) == name) return fields[i];
    raise(PyExc_SystemError, "positions book: a cost setting missing from the plan");
  }
};

// One fill's context: the registration and the costs object.
struct Fill {
  PyObject* const* reg;
  PyObject* costs;
  Ref costs_dict;  // when costs is exactly CostSettings
  const Snapshot* snap = nullptr;  // everything own, settings read at the start

  PyObject* slot(Slot s) const { return reg[s]; }

  // Whether costs.<name> is CostSettings' own method `original` (not replaced on the class, not
  // shadowed on the instance, the instance not of a subclass).
  bool own(PyObject* name, Slot original) const {
    if (snap) return true;
    if (!costs_dict) return false;
    if (PyDict_GetItemWithError(costs_dict.get(), name)) return false;
    if (PyErr_Occurred()) throw_error();
    PyObject* cls_dict = reinterpret_cast<PyTypeObject*>(slot(kCosts))->tp_dict;
    PyObject* found = PyDict_GetItemWithError(cls_dict, name);
    if (!found && PyErr_Occurred()) throw_error();
    return found == slot(original);
  }

  bool own_helper(PyObject* name, Slot original) const {
    return snap || global_is(slot(kCostGlobals), name, slot(original));
  }

  Ref cost_field(PyObject* name) const { return snap ? snap->cost_field(name) : field(costs, costs_dict, name); }

  // costs._floor(amount)
  Ref floor_of(PyObject* amount) const {
    long long v;
    if (PyFloat_CheckExact(amount) && own_helper(N("_floor"), kFloor) &&
        floor_round6(PyFloat_AS_DOUBLE(amount), &v))
      return py_long(v);
    return call(global(slot(kCostGlobals), N("_floor")).get(), {amount});
  }

  // costs._round_half_up(amount)
  Ref round_half_up_of(PyObject* amount) const {
    long long v;
    if (PyFloat_CheckExact(amount) && own_helper(N("_round_half_up"), kRoundHalfUp) &&
        round_half_up6(PyFloat_AS_DOUBLE(amount), &v))
      return py_long(v);
    return call(global(slot(kCostGlobals), N("_round_half_up")).get(), {amount});
  }

  // costs.future_root(code): _ROOT.match(code.upper()) is the leading run of A-Z after upper-casing.
  Ref future_root(PyObject* code) const {
    if (PyUnicode_CheckExact(code) && PyUnicode_IS_ASCII(code) && own_helper(N("future_root"), kFutureRoot) &&
        own_helper(N("_ROOT"), kRootPattern)) {
      const char* s = reinterpret_cast<const char*>(PyUnicode_DATA(code));
      const Py_ssize_t size = PyUnicode_GET_LENGTH(code);
      char root[3];
      Py_ssize_t k = 0;
      for (; k < size; ++k) {
        char c = s[k];
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
        if (c < 'A' || c > 'Z') break;
        if (k < 3) root[k] = c;
      }
      if (k == 0) return Ref::borrow(code);
      return Ref::steal(PyUnicode_FromStringAndSize(root, k < 3 ? k : 3));
    }
    return call(global(slot(kCostGlobals), N("future_root")).get(), {code});
  }

  // costs.stock_shares(quantity, order_lot)
  Ref stock_shares(PyObject* quantity, PyObject* order_lot) const {
    if (!own(N("stock_shares"), kStockShares))
      return call_method(costs, N("stock_shares"), {quantity, order_lot});
    Ref odd_lots = snap ? snap->cost_odd_lots : global(slot(kCostGlobals), N("_ODD_LOTS"));
    const int odd = PySequence_Contains(odd_lots.get(), order_lot);
    if (odd < 0) throw_error();
    if (odd) return Ref::borrow(quantity);
    Ref lot = cost_field(N("stock_lot_size"));
    return Ref::steal(PyNumber_Multiply(quantity, lot.get()));
  }

  // costs.stock_commission(price, shares, odd_lot=odd)
  Ref stock_commission(PyObject* price, PyObject* shares, bool odd) const {
    PyObject* odd_lot = odd ? Py_True : Py_False;
    if (!own(N("stock_commission"), kStockCommission))
      return call_method(costs, N("stock_commission"), {price, shares, odd_lot}, ORVA_KWNAMES("odd_lot"));
    Ref zero = py_long(0);
    if (eq(shares, zero.get())) return zero;
    Ref rate = cost_field(N("stock_commission_rate"));
    Ref discount = cost_field(N("stock_commission_discount"));
    Ref amount = product({price, shares, rate.get(), discount.get()});
    Ref fee = floor_of(amount.get());
    Ref minimum = cost_field(odd ? N("stock_odd_lot_min_commission") : N("stock_min_commission"));
    Ref floor = Ref::steal(PyNumber_Long(minimum.get()));
    const int above = PyObject_RichCompareBool(floor.get(), fee.get(), Py_GT);  // max() keeps the first of equals
    if (above < 0) throw_error();
    return above ? floor : fee;
  }

  // costs.stock_tax(price, shares, is_sell=...)
  Ref stock_tax(PyObject* price, PyObject* shares, bool is_sell) const {
    PyObject* sell = is_sell ? Py_True : Py_False;
    if (!own(N("stock_tax"), kStockTax))
      return call_method(costs, N("stock_tax"), {price, shares, sell}, ORVA_KWNAMES("is_sell"));
    if (!is_sell) return py_long(0);
    Ref rate = cost_field(N("stock_tax_rate"));
    Ref amount = product({price, shares, rate.get()});
    return floor_of(amount.get());
  }

  // costs.future_multiplier(code)
  Ref future_multiplier(PyObject* code) const {
    if (!own(N("future_multiplier"), kFutureMultiplier))
      return call_method(costs, N("future_multiplier"), {code});
    Ref table = cost_field(N("future_multipliers"));
    Ref root = future_root(code);
    Ref fallback = cost_field(N("default_future_multiplier"));
    return get_or(table.get(), root.get(), fallback.get());
  }

  // costs.future_commission(code, contracts)
  Ref future_commission(PyObject* code, PyObject* contracts) const {
    if (!own(N("future_commission"), kFutureCommission))
      return call_method(costs, N("future_commission"), {code, contracts});
    Ref table = cost_field(N("future_commission_by_root"));
    Ref root = future_root(code);
    Ref fallback = cost_field(N("future_commission_per_contract"));
    Ref per_contract = get_or(table.get(), root.get(), fallback.get());
    return Ref::steal(PyNumber_Multiply(per_contract.get(), contracts));
  }

  // costs.future_tax(code, price, contracts)
  Ref future_tax(PyObject* code, PyObject* price, PyObject* contracts) const {
    if (!own(N("future_tax"), kFutureTax)) return call_method(costs, N("future_tax"), {code, price, contracts});
    Ref multiplier = future_multiplier(code);
    Ref rate = cost_field(N("future_tax_rate"));
    Ref amount = product({price, multiplier.get(), contracts, rate.get()});
    return round_half_up_of(amount.get());
  }
};

// Positions._apply_fill(entry, signed_units, price) on the entry's __dict__, for plain numbers; false
// (nothing changed) when the numbers are not plain, and Python's text runs instead.
bool apply_fill(const Ref& d, PyObject* signed_obj, PyObject* price_obj, Ref* realized_out) {
  PyObject* held_obj = PyDict_GetItemWithError(d.get(), N("quantity"));
  PyObject* avg_obj = held_obj ? PyDict_GetItemWithError(d.get(), N("avg_price")) : nullptr;
  if (!avg_obj) {
    if (PyErr_Occurred()) throw_error();
    return false;
  }
  long long held, units;
  if (!small_int(held_obj, &held) || !small_int(signed_obj, &units)) return false;
  if (!PyFloat_CheckExact(price_obj) || !PyFloat_CheckExact(avg_obj)) return false;
  const double price = PyFloat_AS_DOUBLE(price_obj), avg = PyFloat_AS_DOUBLE(avg_obj);
  const long long held_abs = std::llabs(held), units_abs = std::llabs(units);
  if (held == 0 || (held > 0) == (units > 0)) {
    const long long total = held_abs + units_abs;
    Ref quantity = py_long(held + units);
    if (total) {
      const double blended = (avg * static_cast<double>(held_abs) + price * static_cast<double>(units_abs)) /
                             static_cast<double>(total);
      dict_set(d.get(), N("avg_price"), py_float(blended).get());
    }
    dict_set(d.get(), N("quantity"), quantity.get());
    *realized_out = py_float(0.0);
    return true;
  }
  PyObject* point_obj = PyDict_GetItemWithError(d.get(), N("point_value"));
  PyObject* pnl_obj = point_obj ? PyDict_GetItemWithError(d.get(), N("realized_pnl")) : nullptr;
  if (!pnl_obj) {
    if (PyErr_Occurred()) throw_error();
    return false;
  }
  double point_value;
  if (!as_double(point_obj, &point_value)) return false;
  const long long closed = held_abs < units_abs ? held_abs : units_abs;
  const double direction = held > 0 ? 1.0 : -1.0;
  Ref realized = py_float((price - avg) * static_cast<double>(closed) * direction * point_value);
  Ref pnl = Ref::borrow(pnl_obj);
  Ref total_pnl = Ref::steal(PyNumber_InPlaceAdd(pnl.get(), realized.get()));
  dict_set(d.get(), N("realized_pnl"), total_pnl.get());
  const long long now = held + units;
  dict_set(d.get(), N("quantity"), py_long(now).get());
  if (now == 0)
    dict_set(d.get(), N("avg_price"), py_float(0.0).get());
  else if ((now > 0) != (held > 0))
    dict_set(d.get(), N("avg_price"), price_obj);  // crossed zero: the rest is a new position
  *realized_out = realized;
  return true;
}

void append(PyObject* list, PyObject* value) {
  if (PyList_CheckExact(list)) {
    if (PyList_Append(list, value) < 0) throw_error();
  } else {
    call_method(list, N("append"), {value});
  }
}

// positions._text(action)
Ref action_text(PyObject* const* reg, const Snapshot* snap, PyObject* action) {
  PyObject* globals = reg[kPosGlobals];
  if (snap || global_is(globals, N("_text"), reg[kText])) {
    Ref cls = snap ? snap->action_cls : global(globals, N("Action"));
    if (reinterpret_cast<PyObject*>(Py_TYPE(action)) == cls.get()) {
      // str.__str__ of the member: an exact str of its text (the kept name when it is one of the two).
      for (PyObject* side : {N("Buy"), N("Sell")})
        if (PyUnicode_Compare(action, side) == 0) return Ref::borrow(side);
      return Ref::steal(PyUnicode_FromObject(action));
    }
    return str_of(action);
  }
  return call(global(globals, N("_text")).get(), {action});
}

#if ORVA_DICT_VERSIONS
PyObject* dict_of(PyObject* obj) {
  PyObject** p = _PyObject_GetDictPtr(obj);
  return p && *p && PyDict_CheckExact(*p) ? *p : nullptr;
}

uint64_t class_version(PyObject* cls) { return dict_version(reinterpret_cast<PyTypeObject*>(cls)->tp_dict); }

// Borrowed pointers valid while the dicts they were read from keep their version tags: a dict's tag
// changes with every change to it and is never given to another dict, so an equal tag means the same
// dict, unchanged (and what it holds alive).
struct Plan {
  uint64_t module = 0, positions_globals = 0, costs_globals = 0, positions_class = 0, costs_class = 0;
  uint64_t self = 0, costs = 0;  // costs: 0 when its class is not CostSettings (then never usable)
  bool usable = false;
  PyObject *costs_obj = nullptr, *book = nullptr, *fills = nullptr, *net = nullptr;
  PyObject *buy = nullptr, *common_lot = nullptr, *odd_lots = nullptr, *cost_odd_lots = nullptr;
  PyObject* action_cls = nullptr;
  PyObject* fields[kCostFields] = {};
};
Plan g_plan;  // borrowed pointers only: never released

bool plan_current(const Plan& p, PyObject* module, PyObject* const* reg, PyObject* self_dict) {
  if (p.self != dict_version(self_dict) || p.module != dict_version(PyModule_GetDict(module)) ||
      p.positions_globals != dict_version(reg[kPosGlobals]) || p.costs_globals != dict_version(reg[kCostGlobals]) ||
      p.positions_class != class_version(reg[kPositions]) || p.costs_class != class_version(reg[kCosts]))
    return false;
  if (!p.costs) return true;
  PyObject* costs_dict = dict_of(p.costs_obj);  // alive: the unchanged self dict holds it
  return costs_dict && dict_version(costs_dict) == p.costs;
}

// peek(d, key) for dicts made alike (ticks): the entry at the index where the key sat last is
// taken when it holds that very key object (PyDict_Next from there), else the key is looked up and its
// index kept for the next dict.
PyObject* peek_at(PyObject* d, PyObject* key, Py_ssize_t* index) {
  PyObject *k, *v;
  Py_ssize_t pos = *index;
  if (pos >= 0 && PyDict_Next(d, &pos, &k, &v) && k == key) return v;
  PyObject* found = peek(d, key);
  if (found) {
    pos = 0;
    while (PyDict_Next(d, &pos, &k, &v))
      if (k == key) {
        *index = pos - 1;
        break;
      }
  }
  return found;
}

// Reads everything a fill needs with dict lookups only (no Python code runs), and whether every cost
// method, helper and _apply_fill is the original.
void make_plan(Plan& p, PyObject* module, PyObject* const* reg, PyObject* self_dict) {
  p = Plan{};
  p.module = dict_version(PyModule_GetDict(module));
  p.positions_globals = dict_version(reg[kPosGlobals]);
  p.costs_globals = dict_version(reg[kCostGlobals]);
  p.positions_class = class_version(reg[kPositions]);
  p.costs_class = class_version(reg[kCosts]);
  p.self = dict_version(self_dict);
  p.costs_obj = peek(self_dict, N("costs"));
  if (!p.costs_obj || Py_TYPE(p.costs_obj) != reinterpret_cast<PyTypeObject*>(reg[kCosts])) return;
  PyObject* costs_dict = dict_of(p.costs_obj);
  if (!costs_dict) return;
  p.costs = dict_version(costs_dict);
  PyObject* pos_globals = reg[kPosGlobals];
  PyObject* cost_globals = reg[kCostGlobals];
  PyObject* positions_class_dict = reinterpret_cast<PyTypeObject*>(reg[kPositions])->tp_dict;
  PyObject* costs_class_dict = reinterpret_cast<PyTypeObject*>(reg[kCosts])->tp_dict;
  if (peek(self_dict, N("_apply_fill")) || peek(positions_class_dict, N("_apply_fill")) != reg[kApplyFill]) return;
  if (peek(pos_globals, N("_text")) != reg[kText]) return;
  const std::pair<PyObject*, Slot> helpers[] = {{N("_floor"), kFloor}, {N("_round_half_up"), kRoundHalfUp},
                                                {N("future_root"), kFutureRoot}, {N("_ROOT"), kRootPattern}};
  for (const auto& h : helpers)
    if (peek(cost_globals, h.first) != reg[h.second]) return;
  const std::pair<PyObject*, Slot> methods[] = {
      {N("stock_shares"), kStockShares},           {N("stock_commission"), kStockCommission},
      {N("stock_tax"), kStockTax},                 {N("future_commission"), kFutureCommission},
      {N("future_tax"), kFutureTax},               {N("future_multiplier"), kFutureMultiplier},
      {N("slipped_price"), kSlippedPrice}};
  for (const auto& m : methods)
    if (peek(costs_dict, m.first) || peek(costs_class_dict, m.first) != reg[m.second]) return;
  for (int i = 0; i < kCostFields; ++i)
    if (!(p.fields[i] = peek(costs_dict, cost_field_name(i)))) return;
  if (!(p.book = peek(self_dict, N("book"))) || !(p.fills = peek(self_dict, N("fills"))) ||
      !(p.net = peek(self_dict, N("net_positions"))))
    return;
  if (!(p.buy = peek(pos_globals, N("_BUY"))) || !(p.common_lot = peek(pos_globals, N("_COMMON_LOT"))) ||
      !(p.odd_lots = peek(pos_globals, N("_ODD_LOTS"))) || !(p.action_cls = peek(pos_globals, N("Action"))) ||
      !(p.cost_odd_lots = peek(cost_globals, N("_ODD_LOTS"))))
    return;
  p.usable = true;
}
#endif

// The snapshot for this call when a usable plan applies (fast paths on); false otherwise.
bool take_snapshot(PyObject* module, PyObject* const* reg, PyObject* self, Snapshot* out) {
#if ORVA_DICT_VERSIONS
  if (!fastpaths_on() || Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(reg[kPositions])) return false;
  PyObject* self_dict = dict_of(self);
  if (!self_dict) return false;
  Plan& p = g_plan;
  if (!plan_current(p, module, reg, self_dict)) make_plan(p, module, reg, self_dict);
  if (!p.usable) return false;
  out->costs = Ref::borrow(p.costs_obj);
  out->costs_dict = Ref::borrow(dict_of(p.costs_obj));
  out->book = Ref::borrow(p.book);
  out->fills = Ref::borrow(p.fills);
  out->net = Ref::borrow(p.net);
  out->buy = Ref::borrow(p.buy);
  out->common_lot = Ref::borrow(p.common_lot);
  out->odd_lots = Ref::borrow(p.odd_lots);
  out->cost_odd_lots = Ref::borrow(p.cost_odd_lots);
  out->action_cls = Ref::borrow(p.action_cls);
  for (int i = 0; i < kCostFields; ++i) out->fields[i] = Ref::borrow(p.fields[i]);
  return true;
#else
  (void)module, (void)reg, (void)self, (void)out;
  return false;
#endif
}

#if ORVA_DICT_VERSIONS
// What set_current_tick reads from the book's own dict, kept while that dict keeps its version tag
// (then it is the same dict, unchanged, and holds both).
struct TickPlan {
  PyObject* self_dict = nullptr;
  uint64_t version = 0, module_version = 0;  // the registration's too: it holds the two classes
  PyObject *positions_type = nullptr, *entry_type = nullptr, *last_ticks = nullptr, *book = nullptr;
};
TickPlan g_tick_plan;  // borrowed pointers only: never released
Py_ssize_t g_tick_code = -1, g_tick_close = -1;  // where a tick's "code" and "close" sat last
#endif

// set_current_tick for an exact Positions whose last_ticks and book are exact dicts, a tick that is an
// exact dict holding "code": the Python text's steps on those dicts. False (nothing done) otherwise.
bool set_current_tick_quick(PyObject* module, PyObject* self, PyObject* tick) {
#if ORVA_DICT_VERSIONS
  if (!fastpaths_on() || !PyDict_CheckExact(tick)) return false;
  PyObject* self_dict = dict_of(self);
  if (!self_dict) return false;
  TickPlan& p = g_tick_plan;
  const uint64_t module_version = dict_version(PyModule_GetDict(module));
  if (p.self_dict != self_dict || p.version != dict_version(self_dict) || p.module_version != module_version ||
      reinterpret_cast<PyObject*>(Py_TYPE(self)) != p.positions_type) {
    p = TickPlan{};
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    if (Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(reg[kPositions])) return false;
    PyObject* last_ticks = peek(self_dict, N("last_ticks"));
    PyObject* book = peek(self_dict, N("book"));
    if (!last_ticks || !book || !PyDict_CheckExact(last_ticks) || !PyDict_CheckExact(book)) return false;
    p = TickPlan{self_dict, dict_version(self_dict), module_version, reg[kPositions], reg[kEntry], last_ticks, book};
  }
  PyObject* found = peek_at(tick, N("code"), &g_tick_code);
  if (!found) return false;  // the plain path raises the KeyError
  // Held: storing the tick may release an old one, and the code of a finalizer may change the book.
  Ref code = Ref::borrow(found), last_ticks = Ref::borrow(p.last_ticks), book = Ref::borrow(p.book);
  PyObject* entry_type = p.entry_type;  // a class the positions module keeps
  dict_set(last_ticks.get(), code.get(), tick);
  found = PyDict_GetItemWithError(book.get(), code.get());
  if (!found || found == Py_None) {
    if (PyErr_Occurred()) throw_error();
    return true;
  }
  Ref entry = Ref::borrow(found);
  PyObject* close_found = peek_at(tick, N("close"), &g_tick_close);
  Ref close = close_found ? Ref::borrow(close_found) : item_of(tick, N("close"));
  PyObject* entry_dict = reinterpret_cast<PyObject*>(Py_TYPE(found)) == entry_type ? dict_of(found) : nullptr;
  if (entry_dict)
    dict_set(entry_dict, N("last_price"), close.get());
  else
    setattr(entry.get(), N("last_price"), close.get());
  return true;
#else
  (void)module, (void)self, (void)tick;
  return false;
#endif
}

// `item in texts` for an exact tuple of exact str and a plain text item (as the tuple's == would say);
// -1 when either is not so.
int in_texts(PyObject* texts, PyObject* item) {
  if (!PyTuple_CheckExact(texts) || !plain_text(item)) return -1;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts); ++i) {
    PyObject* t = PyTuple_GET_ITEM(texts, i);
    if (!PyUnicode_CheckExact(t)) return -1;
    if (plain_equal(t, item)) return 1;
  }
  return 0;
}

// int(x) of an exact int or finite float, within a long long.
bool int_of(PyObject* v, long long* out) {
  if (small_int(v, out)) return true;
  if (!PyFloat_CheckExact(v)) return false;
  const double d = PyFloat_AS_DOUBLE(v);
  if (!std::isfinite(d) || std::fabs(d) >= 9.0e15) return false;
  *out = static_cast<long long>(d);  // truncates toward zero, as int() does
  return true;
}

// The fields of an InstrumentPosition the quick fill reads and writes.
enum EntryField {
  kQuantity, kAvgPrice, kRealized, kPointValue, kCommission, kTax, kFills, kBought, kSold, kEntryFields
};
PyObject* entry_field_name(int i) {
  switch (i) {
    case kQuantity: return ORVA_NAME("quantity");
    case kAvgPrice: return ORVA_NAME("avg_price");
    case kRealized: return ORVA_NAME("realized_pnl");
    case kPointValue: return ORVA_NAME("point_value");
    case kCommission: return ORVA_NAME("commission");
    case kTax: return ORVA_NAME("tax");
    case kFills: return ORVA_NAME("fills");
    case kBought: return ORVA_NAME("bought");
    default: return ORVA_NAME("sold");
  }
}

#if ORVA_FASTPATHS && PY_VERSION_HEX < 0x030B0000
// Where each field sat last in an entry's split dict (entries share one key table): plain indexes,
// checked on every use.
Py_ssize_t g_entry_index[kEntryFields] = {-1, -1, -1, -1, -1, -1, -1, -1, -1};
#endif

// An entry's fields in its __dict__. With the fast paths on (3.10) each is read and replaced in place
// in the split dict's values: a split dict's position i+1 (PyDict_Next) is its values[i], so the
// index is confirmed by the key and the value there before use. The caller ends with one ordinary
// write (dict_set), which gives the dict its new version tag.
class EntryFields {
 public:
  explicit EntryFields(PyObject* d) : d_(d) {
#if ORVA_FASTPATHS && PY_VERSION_HEX < 0x030B0000
    if (fastpaths_on() && reinterpret_cast<PyDictObject*>(d)->ma_values)
      for (int i = 0; i < kEntryFields; ++i) slot_[i] = find(i);
#endif
  }

  PyObject* get(int i) const { return slot_[i] ? *slot_[i] : peek_field(i); }

  // Replaces a field's value; the old one must be an exact int or float (its release runs no code).
  void set(int i, PyObject* value) {
    if (!slot_[i]) {
      dict_set(d_, entry_field_name(i), value);
      return;
    }
    Py_INCREF(value);
    Py_SETREF(*slot_[i], value);
  }

 private:
  PyObject* peek_field(int i) const {
    PyObject* v = PyDict_GetItemWithError(d_, entry_field_name(i));
    if (!v && PyErr_Occurred()) throw_error();
    return v;
  }

#if ORVA_FASTPATHS && PY_VERSION_HEX < 0x030B0000
  PyObject** find(int i) {
    PyObject* name = entry_field_name(i);
    auto* mp = reinterpret_cast<PyDictObject*>(d_);
    PyObject *key, *value;
    Py_ssize_t ix = g_entry_index[i], pos = ix;
    if (ix < 0 || !PyDict_Next(d_, &pos, &key, &value) || pos != ix + 1 || key != name) {
      pos = 0;
      ix = -1;
      while (PyDict_Next(d_, &pos, &key, &value))
        if (key == name) {
          ix = pos - 1;
          break;
        }
      if (ix < 0) return nullptr;
      g_entry_index[i] = ix;
    }
    return &mp->ma_values[ix];  // PyDict_Next read the value there
  }
#endif

  PyObject* d_;
  PyObject** slot_[kEntryFields] = {};
};

// set_positions for the common fill, in one pass over plain values: a stock fill of an instrument
// already in the book, with the costs' original methods and no slippage (the plan says so), every
// number an exact int or float and every container an exact dict or list. Everything is read and
// checked before anything is written, and after the row is made nothing here runs Python code (no
// allocation that can collect, no value released but exact ints and floats); false (nothing changed)
// when any of it does not hold, and the general path runs.
bool quick_stock_fill(PyObject* module, PyObject* const* reg, PyObject* self, PyObject* trade,
                      PyObject* product_type) {
#if ORVA_DICT_VERSIONS
  if (!fastpaths_on() || Py_TYPE(self) != reinterpret_cast<PyTypeObject*>(reg[kPositions]) ||
      !PyDict_CheckExact(trade) || !PyUnicode_CheckExact(product_type) ||
      (product_type != N("Stock") && PyUnicode_CompareWithASCIIString(product_type, "Stock") != 0))
    return false;
  // The row first: making it may run a collection (and finalizers); nothing is borrowed yet.
  Ref row = dict_row_blank(reg[kFillRow]);
  PyObject* self_dict = dict_of(self);
  if (!self_dict) return false;
  Plan& p = g_plan;
  if (!plan_current(p, module, reg, self_dict)) make_plan(p, module, reg, self_dict);
  if (!p.usable || !PyDict_CheckExact(p.book) || !PyDict_CheckExact(p.net) || !PyList_CheckExact(p.fills) ||
      !PyUnicode_CheckExact(p.buy))
    return false;
  PyObject* code = peek(trade, N("code"));
  PyObject* quantity = peek(trade, N("quantity"));
  PyObject* price_obj = peek(trade, N("price"));
  PyObject* action = peek(trade, N("action"));
  PyObject* trade_id = peek(trade, N("trade_id"));
  if (!code || !quantity || !price_obj || !action || !trade_id || !PyUnicode_CheckExact(code) ||
      !plain_text(action))
    return false;
  PyObject* order_lot = peek(trade, N("order_lot"));
  if (!order_lot) order_lot = p.common_lot;
  PyObject* timestamp = peek(trade, N("exchange_ts"));
  if (!timestamp) timestamp = Py_None;
  long long qty;
  if (!small_int(quantity, &qty) || qty == 0) return false;
  double price;
  if (!as_double(price_obj, &price)) return false;
  const bool is_buy = plain_equal(action, p.buy);
  // The cost settings the stock methods read (cost_field_name's order).
  long long slippage, lot;
  double rate, discount, tax_rate;
  if (!small_int(p.fields[0], &slippage) || slippage != 0 || !small_int(p.fields[1], &lot) ||
      !as_double(p.fields[2], &rate) || !as_double(p.fields[3], &discount) || !as_double(p.fields[6], &tax_rate))
    return false;
  const int odd_shares = in_texts(p.cost_odd_lots, order_lot);  // costs.stock_shares
  const int odd = in_texts(p.odd_lots, order_lot);                // the commission's odd_lot
  if (odd_shares < 0 || odd < 0) return false;
  long long units = qty;
  if (!odd_shares && (__builtin_mul_overflow(qty, lot, &units) || units > (1LL << 52) || units < -(1LL << 52)))
    return false;
  // stock_commission: max(_floor(price * shares * rate * discount), int(minimum)); 0 for no shares.
  long long commission = 0, minimum, tax = 0;
  if (units != 0) {
    long long fee;
    if (!floor_round6(price * static_cast<double>(units) * rate * discount, &fee) ||
        !int_of(p.fields[odd ? 5 : 4], &minimum))
      return false;
    commission = minimum > fee ? minimum : fee;
  }
  if (!is_buy && !floor_round6(price * static_cast<double>(units) * tax_rate, &tax)) return false;
  PyObject* entry = peek(p.book, code);
  if (!entry || Py_TYPE(entry) != reinterpret_cast<PyTypeObject*>(reg[kEntry])) return false;
  PyObject* d = dict_of(entry);
  if (!d) return false;
  // The entry's fields, all plain: _apply_fill and the sums below in doubles and long longs.
  EntryFields fields(d);
  const int side_field = is_buy ? kBought : kSold;
  PyObject* avg_obj = fields.get(kAvgPrice);
  PyObject* point_obj = fields.get(kPointValue);
  PyObject* pnl_obj = fields.get(kRealized);
  PyObject* commission_field = fields.get(kCommission);
  PyObject* tax_field = fields.get(kTax);
  long long held, fills, side;
  double point_value;
  if (!small_int(fields.get(kQuantity), &held) || !small_int(fields.get(kFills), &fills) ||
      !small_int(fields.get(side_field), &side) || !avg_obj || !PyFloat_CheckExact(avg_obj) ||
      !pnl_obj || !PyFloat_CheckExact(pnl_obj) || !commission_field || !PyFloat_CheckExact(commission_field) ||
      !tax_field || !PyFloat_CheckExact(tax_field) || !point_obj || !as_double(point_obj, &point_value))
    return false;
  // positions._text(action): the text of an Action member, or the str itself.
  Ref text;
  if (reinterpret_cast<PyObject*>(Py_TYPE(action)) == p.action_cls) {
    for (PyObject* name : {N("Buy"), N("Sell")})
      if (!text && plain_equal(action, name)) text = Ref::borrow(name);
    if (!text) text = Ref::steal(PyUnicode_FromObject(action));
  } else if (PyUnicode_CheckExact(action)) {
    text = Ref::borrow(action);
  } else {
    return false;
  }
  // Every value the writes below release is an exact int or float (the net position too), so no
  // Python code runs from here and what was read stays valid.
  PyObject* old_net = peek(p.net, code);
  if (!old_net || !PyLong_CheckExact(old_net)) return false;
  PyObject *fills_list = p.fills, *net = p.net;
  Ref exchange_price = PyFloat_CheckExact(price_obj) ? Ref::borrow(price_obj) : Ref(py_float(price));
  Ref units_obj = odd_shares ? Ref::borrow(quantity) : Ref(py_long(units));
  // _apply_fill(entry, units if is_buy else -units, price)
  const long long signed_units = is_buy ? units : -units;
  const double avg = PyFloat_AS_DOUBLE(avg_obj);
  const long long held_abs = std::llabs(held), units_abs = std::llabs(signed_units), now = held + signed_units;
  Ref position = py_long(now), avg_price = Ref::borrow(avg_obj), realized;
  if (held == 0 || (held > 0) == (signed_units > 0)) {
    const long long total = held_abs + units_abs;
    if (total)
      avg_price = py_float((avg * static_cast<double>(held_abs) + price * static_cast<double>(units_abs)) /
                           static_cast<double>(total));
    realized = py_float(0.0);
  } else {
    const long long closed = held_abs < units_abs ? held_abs : units_abs;
    const double direction = held > 0 ? 1.0 : -1.0;
    const double gain = (price - avg) * static_cast<double>(closed) * direction * point_value;
    realized = py_float(gain);
    fields.set(kRealized, py_float(PyFloat_AS_DOUBLE(pnl_obj) + gain).get());
    if (now == 0)
      avg_price = py_float(0.0);
    else if ((now > 0) != (held > 0))
      avg_price = exchange_price;  // crossed zero: the rest is a new position
  }
  if (avg_price.get() != avg_obj) fields.set(kAvgPrice, avg_price.get());
  fields.set(kQuantity, position.get());
  Ref commission_obj = py_long(commission), tax_obj = py_long(tax);
  fields.set(kCommission, py_float(PyFloat_AS_DOUBLE(commission_field) + static_cast<double>(commission)).get());
  // tax += 0 leaves an equal float: the write is skipped
  if (tax) fields.set(kTax, py_float(PyFloat_AS_DOUBLE(tax_field) + static_cast<double>(tax)).get());
  fields.set(side_field, py_long(side + units).get());
  dict_set(d, N("fills"), py_long(fills + 1).get());  // an ordinary write last: the dict's new version tag
  dict_set(net, code, position.get());
  PyObject* values[kRowKeys] = {trade_id,             timestamp,          code,          product_type,
                                text.get(),           quantity,           units_obj.get(), exchange_price.get(),
                                exchange_price.get(), commission_obj.get(), tax_obj.get(), realized.get(),
                                position.get(),       avg_price.get()};
  dict_row_fill(row.get(), reg[kFillRow], fill_key, values, kRowKeys);
  append(fills_list, row.get());
  return true;
#else
  (void)module, (void)reg, (void)self, (void)trade, (void)product_type;
  return false;
#endif
}

Ref set_positions(PyObject* module, PyObject* const* reg, PyObject* self, PyObject* trade, PyObject* product_type) {
  if (quick_stock_fill(module, reg, self, trade, product_type)) return Ref::none();
  PyObject* globals = reg[kPosGlobals];
  Snapshot snapshot;
  const Snapshot* snap = take_snapshot(module, reg, self, &snapshot) ? &snapshot : nullptr;
  Ref self_dict = instance_dict(self, reg[kPositions]);
  Ref code = item_of(trade, N("code"));
  Ref quantity = item_of(trade, N("quantity"));
  if (!truthy(quantity.get())) return Ref::none();
  Ref exchange_price = Ref::steal(PyNumber_Float(item_of(trade, N("price")).get()));
  Ref action = item_of(trade, N("action"));
  Ref buy = snap ? snap->buy : global(globals, N("_BUY"));
  Ref is_buy_obj = Ref::steal(PyObject_RichCompare(action.get(), buy.get(), Py_EQ));
  const bool is_buy = truthy(is_buy_obj.get());
  Fill f{reg, nullptr, Ref(), snap};
  Ref costs = snap ? snap->costs : field(self, self_dict, N("costs"));
  f.costs = costs.get();
  f.costs_dict = snap ? snap->costs_dict : instance_dict(costs.get(), reg[kCosts]);
  Ref price = exchange_price;
  if (truthy(f.cost_field(N("slippage_ticks")).get()))
    price = call_method(costs.get(), N("slipped_price"), {product_type, code.get(), exchange_price.get(),
                                                           is_buy_obj.get()});
  Ref units, commission, tax;
  if (eq(product_type, N("Stock"))) {
    Ref common = snap ? snap->common_lot : global(globals, N("_COMMON_LOT"));
    Ref order_lot = get_or(trade, N("order_lot"), common.get());
    units = f.stock_shares(quantity.get(), order_lot.get());
    Ref odd_lots = snap ? snap->odd_lots : global(globals, N("_ODD_LOTS"));
    const int odd = PySequence_Contains(odd_lots.get(), order_lot.get());
    if (odd < 0) throw_error();
    commission = f.stock_commission(price.get(), units.get(), odd != 0);
    tax = f.stock_tax(price.get(), units.get(), !is_buy);
  } else if (eq(product_type, N("Future"))) {
    units = quantity;
    commission = f.future_commission(code.get(), units.get());
    tax = truthy(units.get()) ? f.future_tax(code.get(), price.get(), units.get()) : py_long(0);
  } else {
    PyErr_Format(PyExc_ValueError, "unsupported product type %R for %S", product_type, code.get());
    throw_error();
  }

  Ref book = snap ? snap->book : field(self, self_dict, N("book"));
  Ref entry = get_or(book.get(), code.get(), Py_None);
  if (entry.get() == Py_None) {
    Ref point_value = eq(product_type, N("Stock")) ? py_float(1.0) : f.future_multiplier(code.get());
    entry = call(global(globals, N("InstrumentPosition")).get(), {code.get(), product_type, point_value.get()});
    Ref book_now = field(self, self_dict, N("book"));
    if (PyObject_SetItem(book_now.get(), code.get(), entry.get()) < 0) throw_error();
    Ref last_ticks = field(self, self_dict, N("last_ticks"));
    Ref tick = get_or(last_ticks.get(), code.get(), Py_None);
    Ref last = tick.get() != Py_None ? item_of(tick.get(), N("close")) : price;
    setattr(entry.get(), N("last_price"), last.get());
    snap = nullptr;  // Python code ran (the entry's class): read the rest as the text does
  }
  Ref entry_dict = instance_dict(entry.get(), reg[kEntry]);

  Ref signed_units = is_buy ? units : Ref::steal(PyNumber_Negative(units.get()));
  Ref realized;
  bool done = false;
  if (entry_dict && snap) {
    done = apply_fill(entry_dict, signed_units.get(), price.get(), &realized);
  } else if (entry_dict && self_dict) {
    PyObject* mine = PyDict_GetItemWithError(self_dict.get(), N("_apply_fill"));
    if (!mine && PyErr_Occurred()) throw_error();
    PyObject* cls_dict = reinterpret_cast<PyTypeObject*>(reg[kPositions])->tp_dict;
    PyObject* method = mine ? nullptr : PyDict_GetItemWithError(cls_dict, N("_apply_fill"));
    if (!method && PyErr_Occurred()) throw_error();
    if (method == reg[kApplyFill]) done = apply_fill(entry_dict, signed_units.get(), price.get(), &realized);
  }
  if (!done) realized = call_method(self, N("_apply_fill"), {entry.get(), signed_units.get(), price.get()});
  PyObject* e = entry.get();
  add_to_field(e, entry_dict, N("commission"), commission.get());
  add_to_field(e, entry_dict, N("tax"), tax.get());
  add_to_field(e, entry_dict, N("fills"), py_long(1).get());
  add_to_field(e, entry_dict, is_buy ? N("bought") : N("sold"), units.get());
  {
    Ref position = field(e, entry_dict, N("quantity"));
    Ref net = snap ? snap->net : field(self, self_dict, N("net_positions"));
    if (PyObject_SetItem(net.get(), code.get(), position.get()) < 0) throw_error();
  }
  Ref fills = snap ? snap->fills : field(self, self_dict, N("fills"));
  Ref trade_id = item_of(trade, N("trade_id"));
  Ref timestamp = get_or(trade, N("exchange_ts"), Py_None);
  Ref text = action_text(reg, snap, item_of(trade, N("action")).get());
  Ref position = field(e, entry_dict, N("quantity"));
  Ref avg_price = field(e, entry_dict, N("avg_price"));
  PyObject* values[kRowKeys] = {trade_id.get(),       timestamp.get(), code.get(),       product_type,
                                text.get(),           quantity.get(),  units.get(),      price.get(),
                                exchange_price.get(), commission.get(), tax.get(),       realized.get(),
                                position.get(),       avg_price.get()};
  Ref row = dict_row(reg[kFillRow], fill_key, values, kRowKeys);
  append(fills.get(), row.get());
  return Ref::none();
}

// Positions.equity in doubles when every entry is a plain InstrumentPosition of plain numbers; false
// otherwise (Python's text then runs; it has no side effects, so starting over is the same).
bool equity(PyObject* const* reg, PyObject* self, double* out) {
  Ref self_dict = instance_dict(self, reg[kPositions]);
  if (!self_dict) return false;
  PyObject* book = PyDict_GetItemWithError(self_dict.get(), N("book"));
  if (!book || !PyDict_CheckExact(book)) {
    if (PyErr_Occurred()) throw_error();
    return false;
  }
  // Only reads of exact dicts by str keys below: no Python code runs while a borrowed field is used.
  PyTypeObject* entry_type = reinterpret_cast<PyTypeObject*>(reg[kEntry]);
  double total = 0.0;
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  Ref keep_book = Ref::borrow(book);
  while (PyDict_Next(book, &pos, &key, &value)) {
    if (Py_TYPE(value) != entry_type) return false;
    Ref dict;
    PyObject* d = nullptr;
#if ORVA_FASTPATHS
    // The entry's own dict pointer: no reference to take, and nothing made that could run a collection.
    PyObject** slot = fastpaths_on() ? _PyObject_GetDictPtr(value) : nullptr;
    if (slot) d = *slot;
    if (!slot)
#endif
    {
      Ref e = Ref::borrow(value);
      dict = Ref::steal(PyObject_GenericGetDict(e.get(), nullptr));
      d = dict.get();
    }
    if (!d || !PyDict_CheckExact(d)) return false;
    PyObject* fields[7];
    PyObject* names[7] = {N("realized_pnl"), N("commission"), N("tax"), N("quantity"),
                          N("last_price"), N("avg_price"), N("point_value")};
    for (int i = 0; i < 7; ++i) {
      fields[i] = PyDict_GetItemWithError(d, names[i]);
      if (!fields[i]) {
        if (PyErr_Occurred()) throw_error();
        return false;
      }
    }
    double realized, commission, tax;
    if (!PyFloat_CheckExact(fields[0]) || !as_double(fields[1], &commission) || !as_double(fields[2], &tax))
      return false;
    realized = PyFloat_AS_DOUBLE(fields[0]);
    total += realized - commission - tax;
    long long quantity;
    if (!small_int(fields[3], &quantity)) return false;
    if (quantity && fields[4] != Py_None) {
      double avg, point_value;
      if (!PyFloat_CheckExact(fields[4]) || !as_double(fields[5], &avg) || !as_double(fields[6], &point_value))
        return false;
      total += (PyFloat_AS_DOUBLE(fields[4]) - avg) * static_cast<double>(quantity) * point_value;
    }
  }
  *out = total;
  return true;
}

// The Python text of a native method, called with the same arguments (for calls it does not take
// natively: keywords, a wrong count; its errors are then Python's own).
PyObject* python_text(PyObject* module, Slot which, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    return PyObject_Vectorcall(reg[which], args, nargsf, kwnames);
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* book_set_positions(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 3 || kwnames) return python_text(module, kPySetPositions, args, nargsf, kwnames);
  try {
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    return set_positions(module, reg, args[0], args[1], args[2]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* book_equity(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 1 || kwnames) return python_text(module, kPyEquity, args, nargsf, kwnames);
  try {
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    double total;
    if (equity(reg, args[0], &total)) return PyFloat_FromDouble(total);
    return PyObject_Vectorcall(reg[kPyEquity], args, 1, nullptr);
  } catch (PyError&) {
    return nullptr;
  }
}

// add_trade_record(self, trade_id, code, action, quantity, price, timestamp, trade_status)
PyObject* book_add_trade_record(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    PyObject* const names[kRecordKeys] = {record_key(0), record_key(1), record_key(2), record_key(3),
                                          record_key(4), record_key(5), record_key(6)};
    PyObject* values[7] = {};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    bool plain = nargs >= 1 && nargs + nkw == 8;
    for (Py_ssize_t i = 1; plain && i < nargs; ++i) values[i - 1] = args[i];
    for (Py_ssize_t k = 0; plain && k < nkw; ++k) {
      PyObject* name = PyTuple_GET_ITEM(kwnames, k);
      int j = static_cast<int>(nargs - 1 + k);  // names usually come in order, interned
      if (name != names[j]) {
        j = 0;
        while (j < 7 && name != names[j]) ++j;
      }
      if (j == 7) {  // equal but not the interned object
        j = 0;
        while (j < 7 && !(PyUnicode_Check(name) && PyUnicode_Compare(name, names[j]) == 0)) ++j;
        if (PyErr_Occurred()) throw_error();
      }
      plain = j < 7 && !values[j];
      if (plain) values[j] = args[nargs + k];
    }
    if (!plain) return python_text(module, kPyAddTradeRecord, args, nargsf, kwnames);
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    PyObject* self = args[0];
    Ref records = field(self, instance_dict(self, reg[kPositions]), N("trade_records"));
    Ref row = dict_row(reg[kRecordRow], record_key, values, kRecordKeys);
    append(records.get(), row.get());
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// set_current_tick(self, tick): code = tick["code"]; self.last_ticks[code] = tick;
// entry = self.book.get(code); if entry is not None: entry.last_price = tick["close"]
PyObject* book_set_current_tick(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  if (PyVectorcall_NARGS(nargsf) != 2 || kwnames) return python_text(module, kPySetCurrentTick, args, nargsf, kwnames);
  try {
    PyObject *self = args[0], *tick = args[1];
    if (set_current_tick_quick(module, self, tick)) Py_RETURN_NONE;
    Ref keep;
    PyObject* const* reg = registry(module, &keep);
    Ref self_dict = instance_dict(self, reg[kPositions]);
    Ref code = item_of(tick, N("code"));
    Ref last_ticks = field(self, self_dict, N("last_ticks"));
    if (PyObject_SetItem(last_ticks.get(), code.get(), tick) < 0) throw_error();
    Ref book = field(self, self_dict, N("book"));
    Ref entry = get_or(book.get(), code.get(), Py_None);
    if (entry.get() != Py_None) {
      Ref close = item_of(tick, N("close"));
      set_field(entry.get(), instance_dict(entry.get(), reg[kEntry]), N("last_price"), close.get());
    }
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// book_register(registration): kept as engine._book_registry (see Slot).
PyObject* book_register(PyObject* module, PyObject* registration) {
  if (!PyTuple_CheckExact(registration) || PyTuple_GET_SIZE(registration) != kSlots) {
    PyErr_Format(PyExc_TypeError, "book_register() takes a tuple of %d items", static_cast<int>(kSlots));
    return nullptr;
  }
  for (int i : {kPositions, kEntry, kCosts})
    if (!PyType_Check(PyTuple_GET_ITEM(registration, i))) {
      PyErr_SetString(PyExc_TypeError, "book_register(): the first three items are classes");
      return nullptr;
    }
  for (int i : {kPosGlobals, kCostGlobals})
    if (!PyDict_CheckExact(PyTuple_GET_ITEM(registration, i))) {
      PyErr_SetString(PyExc_TypeError, "book_register(): module namespaces are dicts");
      return nullptr;
    }
  try {
    // Fill rows and trade records share their key tables (dict_rows.hpp): a third of the memory.
    Ref row = dict_row_template("_FillRow", fill_key, kRowKeys);
    Ref record = dict_row_template("_TradeRecord", record_key, kRecordKeys);
    Ref kept = Ref::steal(PyTuple_New(kRegistered));
    for (int i = 0; i < kSlots; ++i) {
      PyObject* item = PyTuple_GET_ITEM(registration, i);
      Py_INCREF(item);
      PyTuple_SET_ITEM(kept.get(), i, item);
    }
    PyTuple_SET_ITEM(kept.get(), kFillRow, row.release());
    PyTuple_SET_ITEM(kept.get(), kRecordRow, record.release());
    const std::pair<const char*, Slot> texts[] = {{"book_set_positions", kPySetPositions},
                                                  {"book_equity", kPyEquity},
                                                  {"book_add_trade_record", kPyAddTradeRecord},
                                                  {"book_set_current_tick", kPySetCurrentTick}};
    for (const auto& [attr, text] : texts)
      set_native_method_text(module, attr, PyTuple_GET_ITEM(registration, text));
    if (PyObject_SetAttrString(module, "_book_registry", kept.get()) < 0) return nullptr;
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

#define FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn)), METH_FASTCALL | METH_KEYWORDS

PyMethodDef book_functions[] = {
    {"book_register", book_register, METH_O, "Registers the positions book's classes and original functions."},
    {"_book_set_positions", FASTCALL_KW(book_set_positions), "Positions.set_positions, native."},
    {"_book_equity", FASTCALL_KW(book_equity), "Positions.equity, native."},
    {"_book_add_trade_record", FASTCALL_KW(book_add_trade_record), "Positions.add_trade_record, native."},
    {"_book_set_current_tick", FASTCALL_KW(book_set_current_tick), "Positions.set_current_tick, native."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace

int add_book_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, book_functions) < 0) return -1;
  return add_native_methods(module, "Positions", "book_",
                            {{"set_positions", book_set_positions},
                             {"equity", book_equity},
                             {"add_trade_record", book_add_trade_record},
                             {"set_current_tick", book_set_current_tick}});
}

}  // namespace orva::engine
