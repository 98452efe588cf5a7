// StrategyContext.buy, sell and place_order in C++, step for step as their Python text in strategy.py
// (kept as _buy, _sell and _place_order; a test compares the two). A call with plain arguments (exact
// str, int and float, as strategies pass them) on a StrategyContext runs here. Anything else, and every
// call the Python text would refuse, goes to the Python text before anything observable has happened,
// so it converts, calls and raises as it always did.
#include <utility>

#include "engine.hpp"
#include "dict_items.hpp"
#include "native_method.hpp"

namespace orva::engine {

namespace {

// Slots of engine._context_registry (see context_register).
enum Slot {
  kContext, kGlobals, kBuyText, kSellText, kPlaceText,  // as registered
  kSideDefaults, kPlaceDefaults, kPlaceMethod,          // taken from them
  kMarketOf,                                            // Backtest.market_of once registered, else None
  kSlots
};

Ref registry(PyObject* module) {
  PyObject* found = PyDict_GetItemWithError(PyModule_GetDict(module), ORVA_NAME("_context_registry"));
  if (found) return Ref::borrow(found);
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "StrategyContext's native methods are not registered");
  throw_error();
}

PyObject* slot(const Ref& reg, Slot i) { return PyTuple_GET_ITEM(reg.get(), i); }

// globals[name], or empty when missing.
Ref global(PyObject* globals, PyObject* name) { return Ref::borrow(peek(globals, name)); }

// Binds the arguments after self to `names` the way Python binds them to a def's parameters, the
// first `required` without defaults; false where Python would raise a TypeError.
template <size_t N>
bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject* const (&names)[N], size_t required,
          PyObject* defaults, PyObject* (&out)[N]) {
  if (nargs < 0 || static_cast<size_t>(nargs) > N) return false;
  for (size_t i = 0; i < N; ++i) out[i] = i < static_cast<size_t>(nargs) ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    while (i < N && names[i] != key) ++i;
    for (size_t j = 0; i == N && j < N; ++j) {  // a keyword that is not the interned name
      const int order = PyUnicode_Compare(names[j], key);
      if (order == -1 && PyErr_Occurred()) throw_error();
      if (order == 0) i = j;
    }
    if (i == N || out[i]) return false;
    out[i] = args[nargs + k];
  }
  for (size_t i = 0; i < N; ++i) {
    if (out[i]) continue;
    if (i < required) return false;
    out[i] = PyTuple_GET_ITEM(defaults, i - required);
  }
  return true;
}

// `key in container` for an exact set and an exact str (no Python code runs); -1 when the container
// is something else.
int member(PyObject* container, PyObject* key) {
  if (!PyAnySet_CheckExact(container)) return -1;
  int r = PySet_Contains(container, key);
  if (r < 0) throw_error();
  return r;
}

bool positive(PyObject* number) {
  if (PyFloat_CheckExact(number)) return PyFloat_AS_DOUBLE(number) > 0;
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  if (value == -1 && PyErr_Occurred()) throw_error();
  return overflow > 0 || (overflow == 0 && value > 0);
}

// self._bt.market_of(code): Backtest.market_of's dict read while it is the one registered (see
// context_register_backtest) and the code is known; the method itself otherwise (it raises).
Ref market_of(const Ref& reg, PyObject* bt, PyObject* code) {
  PyObject* original = slot(reg, kMarketOf);
  if (original != Py_None && _PyType_Lookup(Py_TYPE(bt), ORVA_NAME("market_of")) == original) {
    Ref dict = Ref::steal(PyObject_GenericGetDict(bt, nullptr));
    PyObject* markets = peek(dict.get(), ORVA_NAME("market_of")) ? nullptr : peek(dict.get(), ORVA_NAME("markets"));
    if (markets && PyDict_CheckExact(markets))
      if (PyObject* market = peek(markets, code)) return Ref::borrow(market);  // code is an exact str
  }
  PyObject* args[] = {bt, code};
  return Ref::steal(PyObject_VectorcallMethod(ORVA_NAME("market_of"), args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

enum Field { kCode, kAction, kQty, kPrice, kOrderType, kPriceType, kOrderCond, kOrderLot, kOcType, kFields };

// self.__dict__ when self is exactly a StrategyContext (no subclass may put a descriptor over its
// attributes); empty otherwise.
Ref context_dict(const Ref& reg, PyObject* self) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(self)) != slot(reg, kContext)) return Ref();
  return Ref::steal(PyObject_GenericGetDict(self, nullptr));
}

// place_order's body for the bound arguments `v`, `dict` being context_dict(self); empty when the
// Python text must run instead. Every check before market_of reads only exact builtins, so handing
// over to the text is unobservable.
Ref place(const Ref& reg, PyObject* self, const Ref& dict, PyObject* const* v) {
  if (!dict) return Ref();
  // Refused, missing, or not a bool: the text decides.
  if (peek(dict.get(), ORVA_NAME("warming_up")) != Py_False) return Ref();
  Ref bt = global(dict.get(), ORVA_NAME("_bt"));
  if (!bt) return Ref();
  for (Field f : {kCode, kAction, kOrderType, kOrderCond, kOrderLot, kOcType})
    if (!PyUnicode_CheckExact(v[f])) return Ref();
  if (v[kPriceType] != Py_None && !PyUnicode_CheckExact(v[kPriceType])) return Ref();
  if (!PyLong_CheckExact(v[kQty]) || !positive(v[kQty])) return Ref();
  PyObject* price = v[kPrice];
  const bool priced = price != Py_None;
  if (priced && !PyFloat_CheckExact(price) && !PyLong_CheckExact(price)) return Ref();

  PyObject* globals = slot(reg, kGlobals);
  Ref lmt = global(globals, ORVA_NAME("_LMT"));
  Ref price_type = v[kPriceType] != Py_None ? Ref::borrow(v[kPriceType])
                                            : global(globals, priced ? ORVA_NAME("_LMT") : ORVA_NAME("_MKT"));
  if (!lmt || !price_type || !PyUnicode_CheckExact(lmt.get()) || !PyUnicode_CheckExact(price_type.get())) return Ref();
  Ref actions = global(globals, ORVA_NAME("_ACTIONS"));
  Ref order_types = global(globals, ORVA_NAME("_ORDER_TYPES"));
  Ref price_types = global(globals, ORVA_NAME("_PRICE_TYPES"));
  if (!actions || !order_types || !price_types) return Ref();
  if (member(actions.get(), v[kAction]) != 1 || member(order_types.get(), v[kOrderType]) != 1 ||
      member(price_types.get(), price_type.get()) != 1)
    return Ref();
  if (PyUnicode_Compare(price_type.get(), lmt.get()) == 0 && (!priced || !positive(price))) return Ref();

  // The order is accepted: the rest of the text, in its order.
  Ref product_type = market_of(reg, bt.get(), v[kCode]);
  Ref limit = !priced ? py_float(0.0) : PyFloat_CheckExact(price) ? Ref::borrow(price)
                                                                  : Ref::steal(PyNumber_Float(price));
  Ref placer = getattr(self, ORVA_NAME("_place"));
  Ref now = getattr(self, ORVA_NAME("now"));
  PyObject* order[] = {v[kCode],       product_type.get(), v[kAction],    limit.get(), v[kQty],   price_type.get(),
                       v[kOrderType],  v[kOrderCond],      v[kOrderLot],  v[kOcType],  now.get()};
  return Ref::steal(PyObject_Vectorcall(placer.get(), order, 11, nullptr));
}

// Whether `self.place_order` is this module's place_order (not overridden, not set on the instance);
// `dict` is context_dict(self), read here when that is empty.
bool own_place_order(const Ref& reg, PyObject* self, const Ref& dict) {
  if (_PyType_Lookup(Py_TYPE(self), ORVA_NAME("place_order")) != slot(reg, kPlaceMethod)) return false;
  Ref own = dict ? dict : Ref::steal(PyObject_GenericGetDict(self, nullptr));
  return !peek(own.get(), ORVA_NAME("place_order"));
}

// buy / sell: self.place_order(code, <action>, qty, price, order_type, **kwargs)
PyObject* side(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames, Slot text,
               PyObject* action_name) {
  try {
    Ref reg = registry(module);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* const names[] = {ORVA_NAME("code"), ORVA_NAME("qty"), ORVA_NAME("price"), ORVA_NAME("order_type")};
    PyObject* v[4];
    Ref action = global(slot(reg, kGlobals), action_name);
    if (nargs < 1 || !action || !bind(args + 1, nargs - 1, kwnames, names, 2, slot(reg, kSideDefaults), v))
      return PyObject_Vectorcall(slot(reg, text), args, nargsf, kwnames);
    PyObject* self = args[0];
    PyObject* call[] = {self, v[0], action.get(), v[1], v[2], v[3]};
    Ref dict = context_dict(reg, self);
    if (!own_place_order(reg, self, dict))
      return PyObject_VectorcallMethod(ORVA_NAME("place_order"), call, 6 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    PyObject* defaults = slot(reg, kPlaceDefaults);  // price_type's and the three after it
    PyObject* full[] = {v[0], action.get(), v[1], v[2], v[3], PyTuple_GET_ITEM(defaults, 2),
                        PyTuple_GET_ITEM(defaults, 3), PyTuple_GET_ITEM(defaults, 4), PyTuple_GET_ITEM(defaults, 5)};
    if (Ref done = place(reg, self, dict, full)) return done.release();
    return PyObject_Vectorcall(slot(reg, kPlaceText), call, 6, nullptr);
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* context_buy(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return side(module, args, nargsf, kwnames, kBuyText, ORVA_NAME("_BUY"));
}

PyObject* context_sell(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return side(module, args, nargsf, kwnames, kSellText, ORVA_NAME("_SELL"));
}

PyObject* context_place_order(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    Ref reg = registry(module);
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* const names[] = {ORVA_NAME("code"),       ORVA_NAME("action"),     ORVA_NAME("qty"),
                               ORVA_NAME("price"),      ORVA_NAME("order_type"), ORVA_NAME("price_type"),
                               ORVA_NAME("order_cond"), ORVA_NAME("order_lot"),  ORVA_NAME("oc_type")};
    PyObject* v[kFields];
    if (nargs >= 1 && bind(args + 1, nargs - 1, kwnames, names, 3, slot(reg, kPlaceDefaults), v))
      if (Ref done = place(reg, args[0], context_dict(reg, args[0]), v)) return done.release();
    return PyObject_Vectorcall(slot(reg, kPlaceText), args, nargsf, kwnames);
  } catch (PyError&) {
    return nullptr;
  }
}

// The defaults of a text function, checked to be `count` of them.
Ref defaults_of(PyObject* function, Py_ssize_t count) {
  Ref defaults = getattr(function, ORVA_NAME("__defaults__"));
  if (!PyTuple_CheckExact(defaults.get()) || PyTuple_GET_SIZE(defaults.get()) != count)
    raise(PyExc_TypeError, "context_register(): a text function's defaults are not those of its native method");
  return defaults;
}

}  // namespace

// context_register((StrategyContext, strategy.py's namespace, _buy, _sell, _place_order)): kept as
// engine._context_registry with the defaults and the native place_order; each native method shows its
// text's docstring and signature.
PyObject* context_register(PyObject* module, PyObject* registration) {
  if (!PyTuple_CheckExact(registration) || PyTuple_GET_SIZE(registration) != kPlaceText + 1 ||
      !PyType_Check(PyTuple_GET_ITEM(registration, kContext)) ||
      !PyDict_CheckExact(PyTuple_GET_ITEM(registration, kGlobals))) {
    PyErr_SetString(PyExc_TypeError, "context_register() takes (StrategyContext, globals, _buy, _sell, _place_order)");
    return nullptr;
  }
  try {
    Ref kept = Ref::steal(PyTuple_New(kSlots));
    for (int i = 0; i <= kPlaceText; ++i) {
      PyObject* item = PyTuple_GET_ITEM(registration, i);
      Py_INCREF(item);
      PyTuple_SET_ITEM(kept.get(), i, item);
    }
    PyTuple_SET_ITEM(kept.get(), kSideDefaults, defaults_of(PyTuple_GET_ITEM(registration, kBuyText), 2).release());
    PyTuple_SET_ITEM(kept.get(), kPlaceDefaults, defaults_of(PyTuple_GET_ITEM(registration, kPlaceText), 6).release());
    PyTuple_SET_ITEM(kept.get(), kPlaceMethod, getattr(module, ORVA_NAME("context_place_order")).release());
    PyTuple_SET_ITEM(kept.get(), kMarketOf, Ref::none().release());
    const std::pair<const char*, Slot> texts[] = {
        {"context_buy", kBuyText}, {"context_sell", kSellText}, {"context_place_order", kPlaceText}};
    for (const auto& [attr, text] : texts)
      set_native_method_text(module, attr, PyTuple_GET_ITEM(registration, text));
    if (PyObject_SetAttrString(module, "_context_registry", kept.get()) < 0) return nullptr;
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

// context_register_backtest(Backtest.market_of): the function place_order may read the markets for.
PyObject* context_register_backtest(PyObject* module, PyObject* market_of) {
  try {
    Ref reg = registry(module);
    Ref kept = Ref::steal(PyTuple_New(kSlots));
    for (int i = 0; i < kSlots; ++i) {
      PyObject* item = i == kMarketOf ? market_of : PyTuple_GET_ITEM(reg.get(), i);
      Py_INCREF(item);
      PyTuple_SET_ITEM(kept.get(), i, item);
    }
    if (PyObject_SetAttrString(module, "_context_registry", kept.get()) < 0) return nullptr;
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

int add_context_methods(PyObject* module) {
  return add_native_methods(module, "StrategyContext", "context_",
                            {{"buy", context_buy}, {"sell", context_sell}, {"place_order", context_place_order}});
}

}  // namespace orva::engine
