// Trading costs of one fill: the rules CostSettings' methods stand for (costs.py binds them).
//
// Amounts are computed as Python's float arithmetic would compute them from the same numbers (a
// product left to right, ints exact until a float joins), then rounded as the brokers do:
// math.floor(round(amount, 6)) for commission and stock tax, math.floor(round(amount, 6) + 0.5) for
// futures tax. Settings are read from the costs object's attributes on every call.
#pragma GCC optimize("fp-contract=off")  // a*b+c must round twice, as in Python

#include "costs.hpp"

#include <cmath>
#include <initializer_list>
#include <string>

#include "arguments.hpp"
#include "dict_items.hpp"
#include "fastpaths.hpp"
#include "placed.hpp"

namespace orva::engine {

namespace {

#define N(text) ORVA_NAME(text)

// A number of a cost formula: an int kept exact while every factor so far was one, else a float.
struct Amount {
  bool exact = true;
  long long whole = 1;
  double real = 1.0;

  double value() const { return exact ? static_cast<double>(whole) : real; }
};

// a * b * ... left to right, as Python multiplies ints and floats (other numbers as their float()).
Amount product(std::initializer_list<PyObject*> factors) {
  Amount acc;
  for (PyObject* f : factors) {
    if (PyLong_Check(f)) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(f, &overflow);
      if (v == -1 && PyErr_Occurred()) throw_error();
      if (!overflow && acc.exact && !__builtin_mul_overflow(acc.whole, v, &acc.whole)) continue;
      const double d = PyLong_AsDouble(f);  // OverflowError beyond a double, as in Python
      if (d == -1.0 && PyErr_Occurred()) throw_error();
      acc.real = acc.value() * d;
      acc.exact = false;
      continue;
    }
    const double d = PyFloat_AsDouble(f);
    if (d == -1.0 && PyErr_Occurred()) throw_error();
    acc.real = acc.value() * d;
    acc.exact = false;
  }
  return acc;
}

// round(x, 6): the correctly rounded 6-place decimal read back, as float.__round__ computes it.
double round6(double x) {
  char* text = PyOS_double_to_string(x, 'f', 6, 0, nullptr);
  if (!text) throw_error();
  const double r = PyOS_string_to_double(text, nullptr, nullptr);
  PyMem_Free(text);
  if (r == -1.0 && PyErr_Occurred()) throw_error();
  return r;
}

// Below 2**31 a double's spacing is under 2.4e-7, so rounding to six places moves x by at most
// 5e-7: farther than 1e-6 from the integer (or half) it could reach, the result is known unrounded.
constexpr double kNoRoundingBelow = 2147483648.0;

// math.floor(round(amount, 6)): brokers truncate to whole dollars; the rounding first keeps
// 826.4999999 (float noise for 826.5) at 826.
Ref floor_of(const Amount& amount) {
  if (amount.exact) return py_long(amount.whole);
  const double x = amount.real;
  if (std::fabs(x) < kNoRoundingBelow && (std::floor(x) + 1.0) - x > 1e-6) return py_long(std::floor(x));
  if (!std::isfinite(x)) return Ref::steal(PyLong_FromDouble(x));  // math.floor's error
  return Ref::steal(PyLong_FromDouble(std::floor(round6(x))));
}

// math.floor(round(amount, 6) + 0.5)
Ref round_half_up_of(const Amount& amount) {
  if (amount.exact) return py_long(amount.whole);
  const double x = amount.real;
  const double n = std::floor(x);
  if (std::fabs(x) < kNoRoundingBelow && std::fabs((x - n) - 0.5) > 1e-6)
    return py_long(static_cast<long long>(n) + (x - n > 0.5 ? 1 : 0));
  if (!std::isfinite(x)) return Ref::steal(PyLong_FromDouble(x));
  return Ref::steal(PyLong_FromDouble(std::floor(round6(x) + 0.5)));
}

// mapping.get(key, fallback)
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* found = peek(mapping, key);
    return Ref::borrow(found ? found : fallback);
  }
  return call_method(mapping, N("get"), {key, fallback});
}

// What a costs object's class may put in front of its instance attributes, checked once per class
// (again when it changes, fastpaths.hpp's TypeGuard): plain attribute access, no data descriptor
// over a setting or a cost method, and every cost method CostSettings' own.
TypeGuard g_plain_costs;

bool plain_costs_class(PyTypeObject* type);

// The costs object's __dict__ (borrowed, read afresh at each use: Python code run since may have
// replaced it) when its class is plain as above; else null, and the caller uses getattr.
PyObject* plain_costs_dict(PyObject* costs) {
  if (!fastpaths_on()) return nullptr;
  PyTypeObject* type = Py_TYPE(costs);
  if (!g_plain_costs.unchanged(type)) {
    if (!plain_costs_class(type)) return nullptr;
    g_plain_costs.mark(type);
  }
  PyObject* dict = instance_dict(costs);
  if (!dict) {
    PyErr_Clear();
    return nullptr;
  }
  return PyDict_CheckExact(dict) ? dict : nullptr;
}

// costs.<name> for a setting: from its __dict__ when its class leaves the name to it, at the place
// `at` where the name sat in the __dict__ of the costs object last read (one place per call site).
Ref setting(PyObject* costs, PyObject* name, EntryPlace& at) {
  if (PyObject* dict = plain_costs_dict(costs)) {
    PyObject* found = at.get(dict, name);  // a str key: no Python code runs
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error();
  }
  return getattr(costs, name);
}

// setting() of the setting `text`, with a place of the call site's own.
#define SETTING(costs, text) setting(costs, N(text), []() -> EntryPlace& { static EntryPlace at_; return at_; }())

// future_root(code): the product root, "TXFR1" and "TXF202401" give "TXF": the leading run of A-Z of
// code.upper(), at most three letters; the code itself when there is none.
Ref root_of(PyObject* code) {
  if (PyUnicode_Check(code) && PyUnicode_IS_ASCII(code)) {
    const char* s = reinterpret_cast<const char*>(PyUnicode_DATA(code));
    const Py_ssize_t size = PyUnicode_GET_LENGTH(code);
    char root[3];
    Py_ssize_t k = 0;
    for (; k < size; ++k) {
      const char c = s[k] >= 'a' && s[k] <= 'z' ? static_cast<char>(s[k] - 'a' + 'A') : s[k];
      if (c < 'A' || c > 'Z') break;
      if (k < 3) root[k] = c;
    }
    if (k == 0) return Ref::borrow(code);
    return Ref::steal(PyUnicode_FromStringAndSize(root, k < 3 ? k : 3));
  }
  Ref upper = call_method(code, N("upper"));  // non-ASCII: str.upper may give A-Z (e.g. a ligature)
  if (!PyUnicode_Check(upper.get())) raise(PyExc_TypeError, "future_root() needs a str code");
  Py_ssize_t k = 0;
  const Py_ssize_t size = PyUnicode_GET_LENGTH(upper.get());
  while (k < size) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(upper.get(), k);
    if (c < 'A' || c > 'Z') break;
    ++k;
  }
  if (k == 0) return Ref::borrow(code);
  return Ref::steal(PyUnicode_Substring(upper.get(), 0, k < 3 ? k : 3));
}

// --- the rules, for a costs object whose method it is ----------------------------------------------

// Shares in an order quantity: board lots unless the order is an odd-lot order.
Ref shares_rule(PyObject* self, PyObject* quantity, PyObject* order_lot) {
  for (PyObject* odd : {N("Odd"), N("IntradayOdd")})  // OrderLot.ODD, OrderLot.INTRADAY_ODD
    if (same_value(odd, order_lot)) return Ref::borrow(quantity);
  Ref lot = SETTING(self, "stock_lot_size");
  return Ref::steal(PyNumber_Multiply(quantity, lot.get()));
}

// floor(price x shares x rate x discount), at least the (odd-lot) minimum; 0 for no shares.
Ref commission_rule(PyObject* self, PyObject* price, PyObject* shares, bool odd_lot) {
  Ref zero = py_long(0);
  if (same_value(shares, zero.get())) return zero;
  Ref rate = SETTING(self, "stock_commission_rate");
  Ref discount = SETTING(self, "stock_commission_discount");
  Ref fee = floor_of(product({price, shares, rate.get(), discount.get()}));
  Ref minimum = odd_lot ? SETTING(self, "stock_odd_lot_min_commission") : SETTING(self, "stock_min_commission");
  Ref floor = Ref::steal(PyNumber_Long(minimum.get()));
  long long low, amount;  // max() keeps the first of equals
  const int above = small_int(floor.get(), &low) && small_int(fee.get(), &amount)
                        ? low > amount
                        : PyObject_RichCompareBool(floor.get(), fee.get(), Py_GT);
  if (above < 0) throw_error();
  return above ? floor : fee;
}

bool compare(PyObject* a, PyObject* b, int op) {
  const int r = PyObject_RichCompareBool(a, b, op);
  if (r < 0) throw_error();
  return r;
}

// Whether a stock code is an ETF's (the exchange numbers them 00xx).
bool is_etf(PyObject* code) {
  if (!PyUnicode_Check(code) || PyUnicode_GET_LENGTH(code) < 2) return false;
  return PyUnicode_READ_CHAR(code, 0) == '0' && PyUnicode_READ_CHAR(code, 1) == '0';
}

// Securities transaction tax, sells only: floor(price x shares x rate). ETFs pay etf_tax_rate; the
// shares netted against same-day buys (day_trade_shares) pay stock_day_trade_tax_rate on a day
// (YYYYMMDD) within the day-trade dates, the rest stock_tax_rate, each part floored.
Ref tax_rule(PyObject* self, PyObject* price, PyObject* shares, bool is_sell, PyObject* code,
             PyObject* day_trade_shares, PyObject* day) {
  if (!is_sell) return py_long(0);
  if (is_etf(code)) {
    Ref rate = SETTING(self, "etf_tax_rate");
    return floor_of(product({price, shares, rate.get()}));
  }
  if (truthy(day_trade_shares)) {
    Ref from = SETTING(self, "day_trade_tax_from");
    Ref until = SETTING(self, "day_trade_tax_until");
    if (compare(from.get(), day, Py_LE) && compare(day, until.get(), Py_LE)) {
      Ref day_rate = SETTING(self, "stock_day_trade_tax_rate");
      Ref tax = floor_of(product({price, day_trade_shares, day_rate.get()}));
      Ref rest = Ref::steal(PyNumber_Subtract(shares, day_trade_shares));
      if (!truthy(rest.get())) return tax;
      Ref rate = SETTING(self, "stock_tax_rate");
      Ref rest_tax = floor_of(product({price, rest.get(), rate.get()}));
      return Ref::steal(PyNumber_Add(tax.get(), rest_tax.get()));
    }
  }
  Ref rate = SETTING(self, "stock_tax_rate");
  return floor_of(product({price, shares, rate.get()}));
}

// TWD per index point: the table's entry for the product root, else the default (stock futures).
Ref multiplier_rule(PyObject* self, PyObject* code) {
  Ref table = SETTING(self, "future_multipliers");
  Ref root = root_of(code);
  Ref fallback = SETTING(self, "default_future_multiplier");
  return get_or(table.get(), root.get(), fallback.get());
}

// A fee per contract: the table's entry for the product root, else the default.
Ref future_commission_rule(PyObject* self, PyObject* code, PyObject* contracts) {
  Ref table = SETTING(self, "future_commission_by_root");
  Ref root = root_of(code);
  Ref fallback = SETTING(self, "future_commission_per_contract");
  Ref per_contract = get_or(table.get(), root.get(), fallback.get());
  return Ref::steal(PyNumber_Multiply(per_contract.get(), contracts));
}

// Futures transaction tax, both sides, on the contract value, rounded half up.
Ref future_tax_rule(PyObject* self, PyObject* code, PyObject* price, PyObject* contracts) {
  Ref multiplier = future_multiplier(self, code);  // through self: a subclass's multiplier counts
  Ref rate = SETTING(self, "future_tax_rate");
  return round_half_up_of(product({price, multiplier.get(), contracts, rate.get()}));
}

// --- the methods as Python sees them ---------------------------------------------------------------

template <int n>
struct Bound {
  PyObject* v[n];
};

template <int n>
Bound<n> bind(const char* qualname, PyObject* const (&names)[n], int required,
              std::initializer_list<PyObject*> defaults, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  Bound<n> b;
  bind_arguments(qualname, names, n, required, defaults.begin(), args, nargsf, kwnames, b.v);
  return b;
}

PyObject* py_stock_shares(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    auto a = bind("CostSettings.stock_shares", {N("self"), N("quantity"), N("order_lot")}, 3, {}, args, nargsf, kwnames);
    return shares_rule(a.v[0], a.v[1], a.v[2]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_stock_commission(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    auto a = bind("CostSettings.stock_commission", {N("self"), N("price"), N("shares"), N("odd_lot")}, 3, {Py_False}, args,
                  nargsf, kwnames);
    return commission_rule(a.v[0], a.v[1], a.v[2], truthy(a.v[3])).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_stock_tax(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 4)  // code, day_trade_shares and day are keyword-only
      raise(PyExc_TypeError, "CostSettings.stock_tax() takes 4 positional arguments but " + std::to_string(nargs) +
                                 " were given");
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    Ref zero = py_long(0);
    auto a = bind("CostSettings.stock_tax",
                  {N("self"), N("price"), N("shares"), N("is_sell"), N("code"), N("day_trade_shares"), N("day")}, 4,
                  {empty.get(), zero.get(), zero.get()}, args, nargsf, kwnames);
    return tax_rule(a.v[0], a.v[1], a.v[2], truthy(a.v[3]), a.v[4], a.v[5], a.v[6]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_future_multiplier(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    auto a = bind("CostSettings.future_multiplier", {N("self"), N("code")}, 2, {}, args, nargsf, kwnames);
    return multiplier_rule(a.v[0], a.v[1]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_future_commission(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    auto a = bind("CostSettings.future_commission", {N("self"), N("code"), N("contracts")}, 3, {}, args, nargsf, kwnames);
    return future_commission_rule(a.v[0], a.v[1], a.v[2]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_future_tax(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  try {
    auto a = bind("CostSettings.future_tax", {N("self"), N("code"), N("price"), N("contracts")}, 4, {}, args, nargsf, kwnames);
    return future_tax_rule(a.v[0], a.v[1], a.v[2], a.v[3]).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* py_future_root(PyObject*, PyObject* code) {
  try {
    return root_of(code).release();
  } catch (PyError&) {
    return nullptr;
  }
}

#define FASTCALL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn)), METH_FASTCALL | METH_KEYWORDS

// CostSettings' methods; "$self" keeps `self` in inspect.signature of the class attribute.
PyMethodDef cost_methods[] = {
    {"stock_shares", FASTCALL_KW(py_stock_shares),
     "stock_shares($self, quantity, order_lot)\n--\n\n"
     "Shares in an order quantity: board lots (x stock_lot_size) unless the order is an odd-lot order."},
    {"stock_commission", FASTCALL_KW(py_stock_commission),
     "stock_commission($self, price, shares, odd_lot=False)\n--\n\n"
     "floor(price x shares x stock_commission_rate x stock_commission_discount), at least\n"
     "stock_min_commission (stock_odd_lot_min_commission for odd lots); 0 for no shares."},
    {"stock_tax", FASTCALL_KW(py_stock_tax),
     "stock_tax($self, price, shares, is_sell, *, code='', day_trade_shares=0, day=0)\n--\n\n"
     "Securities transaction tax, sells only: floor(price x shares x stock_tax_rate). An ETF (code\n"
     "00xx) pays etf_tax_rate; on a day (YYYYMMDD) from day_trade_tax_from to day_trade_tax_until,\n"
     "the day_trade_shares netted against same-day buys pay stock_day_trade_tax_rate (each part\n"
     "floored)."},
    {"future_multiplier", FASTCALL_KW(py_future_multiplier),
     "future_multiplier($self, code)\n--\n\n"
     "TWD per index point: future_multipliers[future_root(code)], else default_future_multiplier."},
    {"future_commission", FASTCALL_KW(py_future_commission),
     "future_commission($self, code, contracts)\n--\n\n"
     "future_commission_by_root[future_root(code)] (else future_commission_per_contract) x contracts."},
    {"future_tax", FASTCALL_KW(py_future_tax),
     "future_tax($self, code, price, contracts)\n--\n\n"
     "Futures transaction tax: price x self.future_multiplier(code) x contracts x future_tax_rate,\n"
     "rounded half up to whole dollars."},
};

enum CostMethod { kShares, kCommission, kTax, kMultiplier, kFutureCommission, kFutureTax };

PyObject* method_name(CostMethod which) {
  switch (which) {
    case kShares: return N("stock_shares");
    case kCommission: return N("stock_commission");
    case kTax: return N("stock_tax");
    case kMultiplier: return N("future_multiplier");
    case kFutureCommission: return N("future_commission");
    default: return N("future_tax");
  }
}

// The settings the rules read (CostSettings' fields); a class may not put a data descriptor over one.
PyObject* setting_name(int i) {
  switch (i) {
    case 0: return N("stock_lot_size");
    case 1: return N("stock_commission_rate");
    case 2: return N("stock_commission_discount");
    case 3: return N("stock_odd_lot_min_commission");
    case 4: return N("stock_min_commission");
    case 5: return N("etf_tax_rate");
    case 6: return N("day_trade_tax_from");
    case 7: return N("day_trade_tax_until");
    case 8: return N("stock_day_trade_tax_rate");
    case 9: return N("stock_tax_rate");
    case 10: return N("future_multipliers");
    case 11: return N("default_future_multiplier");
    case 12: return N("future_commission_by_root");
    case 13: return N("future_commission_per_contract");
    case 14: return N("future_tax_rate");
    default: return N("slippage_ticks");
  }
}
constexpr int kSettings = 16;

bool own_cost_method(PyObject* f, CostMethod which) {
  return PyCFunction_Check(f) && PyCFunction_GetFunction(f) == cost_methods[which].ml_meth;
}

bool plain_costs_class(PyTypeObject* type) {
  if (type->tp_getattro != PyObject_GenericGetAttr || Py_TYPE(reinterpret_cast<PyObject*>(type)) != &PyType_Type ||
      type->tp_dictoffset == 0)
    return false;
  // Type look-ups only: no Python code runs.
  for (int i = 0; i < kSettings; ++i) {
    PyObject* d = type_lookup(type, setting_name(i));
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  for (int w = kShares; w <= kFutureTax; ++w) {
    PyObject* on_class = type_lookup(type, method_name(static_cast<CostMethod>(w)));
    if (!on_class || !PyInstanceMethod_Check(on_class) ||
        !own_cost_method(PyInstanceMethod_GET_FUNCTION(on_class), static_cast<CostMethod>(w)))
      return false;
  }
  return true;
}

PyMethodDef root_function[] = {
    {"future_root", py_future_root, METH_O,
     "future_root($module, code, /)\n--\n\n"
     "Product root of a futures code: \"TXFR1\" and \"TXF202401\" give \"TXF\"."},
    {nullptr, nullptr, 0, nullptr}};

// costs.<name> when it is not CostSettings' own method `which` (bound to costs), for the caller to
// call; empty when it is, and the caller computes the rule without a call.
Ref replacement(PyObject* costs, CostMethod which) {
  PyObject* name = method_name(which);
  // A plain class holds the own methods (plain_costs_class): only the instance may shadow one.
  if (PyObject* dict = plain_costs_dict(costs))
    if (dict_lacks(dict, name) || !peek(dict, name)) return Ref();
  const PyCFunction own = cost_methods[which].ml_meth;
  auto is_own = [own](PyObject* f) { return PyCFunction_Check(f) && PyCFunction_GetFunction(f) == own; };
  PyTypeObject* type = Py_TYPE(costs);
  if (type->tp_getattro == PyObject_GenericGetAttr &&
      Py_TYPE(reinterpret_cast<PyObject*>(type)) == &PyType_Type) {
    // Ordinary attribute access: the class's method unless the instance holds one of that name.
    // Read so (what the class dicts hold, no descriptor run), no bound method is made for the
    // common answer.
    PyObject* on_class = type_lookup(type, name);
    if (on_class && PyInstanceMethod_Check(on_class) && is_own(PyInstanceMethod_GET_FUNCTION(on_class))) {
      if (type->tp_dictoffset == 0) return Ref();  // no instance dict (slots): nothing shadows the method
      PyObject* dict = instance_dict(costs);
      if (!dict && PyErr_Occurred()) throw_error();
      if (!dict || (PyDict_Check(dict) && !peek(dict, name))) return Ref();
    }
  }
  Ref found = getattr(costs, name);
  PyObject* f = found.get();
  if (PyMethod_Check(f) && PyMethod_GET_SELF(f) == costs && is_own(PyMethod_GET_FUNCTION(f))) return Ref();
  return found;
}

}  // namespace

Ref cost_setting(PyObject* costs, PyObject* name) {
  static EntryPlace at;  // the one setting the book reads (slippage_ticks)
  return setting(costs, name, at);
}

Ref stock_shares(PyObject* costs, PyObject* quantity, PyObject* order_lot) {
  if (Ref m = replacement(costs, kShares)) return call(m.get(), {quantity, order_lot});
  return shares_rule(costs, quantity, order_lot);
}

Ref stock_commission(PyObject* costs, PyObject* price, PyObject* shares, bool odd_lot) {
  if (Ref m = replacement(costs, kCommission))
    return call(m.get(), {price, shares, odd_lot ? Py_True : Py_False}, ORVA_KWNAMES("odd_lot"));
  return commission_rule(costs, price, shares, odd_lot);
}

Ref stock_tax(PyObject* costs, PyObject* price, PyObject* shares, bool is_sell, PyObject* code,
              PyObject* day_trade_shares, PyObject* day) {
  if (Ref m = replacement(costs, kTax)) {
    // A replacement written before the day-trade and ETF rates takes (price, shares, is_sell) only.
    Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.costs"));
    Ref takes = call_method(module.get(), N("_takes_tax_details"), {m.get()});
    PyObject* sell = is_sell ? Py_True : Py_False;
    if (truthy(takes.get()))
      return call(m.get(), {price, shares, sell, code, day_trade_shares, day},
                  ORVA_KWNAMES("is_sell", "code", "day_trade_shares", "day"));
    return call(m.get(), {price, shares, sell}, ORVA_KWNAMES("is_sell"));
  }
  return tax_rule(costs, price, shares, is_sell, code, day_trade_shares, day);
}

Ref future_multiplier(PyObject* costs, PyObject* code) {
  if (Ref m = replacement(costs, kMultiplier)) return call(m.get(), {code});
  return multiplier_rule(costs, code);
}

Ref future_commission(PyObject* costs, PyObject* code, PyObject* contracts) {
  if (Ref m = replacement(costs, kFutureCommission)) return call(m.get(), {code, contracts});
  return future_commission_rule(costs, code, contracts);
}

Ref future_tax(PyObject* costs, PyObject* code, PyObject* price, PyObject* contracts) {
  if (Ref m = replacement(costs, kFutureTax)) return call(m.get(), {code, price, contracts});
  return future_tax_rule(costs, code, price, contracts);
}

int add_cost_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, root_function) < 0) return -1;
  for (PyMethodDef& def : cost_methods) {
    // A function with no bound module object, wrapped to bind the instance as a Python function does.
    PyObject* function = PyCFunction_NewEx(&def, nullptr, nullptr);
    PyObject* method = function ? PyInstanceMethod_New(function) : nullptr;
    Py_XDECREF(function);
    const std::string attr = std::string("cost_") + def.ml_name;
    if (!method || PyModule_AddObject(module, attr.c_str(), method) < 0) {
      Py_XDECREF(method);
      return -1;
    }
  }
  return 0;
}

}  // namespace orva::engine
