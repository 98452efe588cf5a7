// StrategyContext.buy, sell and place_order: where an order starts.
//
// The life of one order, in the order the code runs:
//   1. The strategy calls ctx.buy(code, qty, price) in a hook. `side` below binds the arguments as a
//      def would (CPython's TypeError texts for a bad call) and hands them, with the action, to
//      place_order: this file's own (`place`) unless the context replaces it (see the plan).
//   2. `place` checks the request (warm-up, instrument, action, order type, price type, quantity,
//      limit price); a refusal is an OrderRejected with the text the strategy sees.
//   3. An accepted request goes to ctx._place: in a run the order tracker's place (orders.cpp), which
//      hands it to the exchange's add_order (the matcher puts it in its book and queues an order
//      report), starts the driver's record of the order and returns the trade id. While _place is
//      the tracker's own place, and its add_order the Matcher's own, each body is called directly
//      (checked by identity at every order); anything else is called as written.
//   4. The reports of the exchange come back through the tick loop (loop.cpp) to OrderTracker.track
//      (orders.cpp) and then to the strategy's on_order / on_deal.
//
// What the user may replace is decided once, by StrategyContext._prepare (strategy.py) when the
// context is made and when a run starts, and kept as an int in ctx._plan: whether place_order is
// the package's own, whether the backtest's market_of is Backtest's own (then its markets are read
// here directly), and whether the context's attributes live in its __dict__. A context without a
// plan (a subclass whose __init__ skipped ours) takes the general path: every attribute by getattr,
// every method called.
#include <algorithm>
#include <vector>

#include "dict_items.hpp"
#include "engine.hpp"
#include "native_method.hpp"
#include "placed.hpp"

namespace orva::engine {

namespace {

// The bits of ctx._plan; strategy.py writes the same numbers.
enum Plan : long { kOwnPlaceOrder = 1, kOwnMarketOf = 2, kPlainAttributes = 4 };

// The context's attributes and its plan (ctx._plan; 0, the general path, when it has none).
struct Context {
  Attributes attrs;
  long plan = 0;

  explicit Context(PyObject* ctx) : attrs(ctx, true) {
    static EntryPlace at;
    PyObject* bits = own_at(attrs, at, ORVA_NAME("_plan"));
    if (bits && PyLong_CheckExact(bits)) {
      plan = PyLong_AsLong(bits);
      if (plan == -1 && PyErr_Occurred()) throw_error();
    }
    if (!(plan & kPlainAttributes)) attrs.forget_dict();
  }
};

// Whether `text` (an exact str) is one of `allowed`: the texts the package passes are the same
// objects, compared first.
bool one_of(PyObject* text, std::initializer_list<PyObject*> allowed) {
  for (PyObject* a : allowed)
    if (text == a) return true;
  for (PyObject* a : allowed)
    if (PyUnicode_Compare(text, a) == 0) return true;
  return false;
}

// An exact int above 0.
bool positive_int(PyObject* v) {
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);
  if (x == -1 && PyErr_Occurred()) throw_error();
  return overflow > 0 || (overflow == 0 && x > 0);
}

// str(value): an exact str as it is.
Ref str_value(PyObject* value) { return PyUnicode_CheckExact(value) ? Ref::borrow(value) : str_of(value); }

// repr(value) as UTF-8.
std::string repr(PyObject* value) {
  Ref text = Ref::steal(PyObject_Repr(value));
  return utf8(text.get());
}

// Raises strategy.OrderRejected(message).
[[noreturn]] void reject(const std::string& message) {
  Ref strategy = Ref::steal(PyImport_ImportModule("orva_mero_backtest.strategy"));
  Ref rejected = getattr(strategy.get(), ORVA_NAME("OrderRejected"));
  Ref error = call(rejected.get(), {text(message).get()});
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  throw_error();
}

// `value > 0` as Python's `if value > 0:` decides it.
bool above_zero(PyObject* value) {
  if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value) > 0;
  if (PyLong_CheckExact(value)) return positive_int(value);
  Ref zero = py_long(0);
  Ref result = Ref::steal(PyObject_RichCompare(value, zero.get(), Py_GT));
  return truthy(result.get());
}

// self._bt.market_of(code); with Backtest's own market_of its markets dict is read directly (the
// method itself still answers for codes it does not hold, with its refusal).
Ref market_of(PyObject* bt, PyObject* code, long plan) {
  if ((plan & kOwnMarketOf) && PyUnicode_CheckExact(code)) {
    Attributes attrs(bt, true);
    static EntryPlace at;
    PyObject* markets = own_at(attrs, at, ORVA_NAME("markets"));
    if (markets && PyDict_CheckExact(markets))
      if (PyObject* market = peek(markets, code)) return Ref::borrow(market);
  }
  return call_method(bt, ORVA_NAME("market_of"), {code});
}

// place_order's parameters, self first.
enum Field { kSelf, kCode, kAction, kQty, kPrice, kOrderType, kPriceType, kOrderCond, kOrderLot, kOcType, kFields };

PyObject* const* place_names() {
  static PyObject* names[kFields] = {};
  if (!names[kOcType]) {
    PyObject* made[kFields] = {ORVA_NAME("self"),       ORVA_NAME("code"),       ORVA_NAME("action"),
                               ORVA_NAME("qty"),        ORVA_NAME("price"),      ORVA_NAME("order_type"),
                               ORVA_NAME("price_type"), ORVA_NAME("order_cond"), ORVA_NAME("order_lot"),
                               ORVA_NAME("oc_type")};
    std::copy(made, made + kFields, names);
  }
  return names;
}

const Signature& place_signature() {
  static Signature sig{"StrategyContext.place_order", nullptr, kFields, 4};
  sig.names = place_names();
  return sig;
}

// The defaults of place_order's parameters after qty.
void fill_place_defaults(PyObject** v) {
  if (!v[kPrice]) v[kPrice] = Py_None;
  if (!v[kOrderType]) v[kOrderType] = ORVA_NAME("ROD");
  if (!v[kPriceType]) v[kPriceType] = Py_None;
  if (!v[kOrderCond]) v[kOrderCond] = ORVA_NAME("Cash");
  if (!v[kOrderLot]) v[kOrderLot] = ORVA_NAME("Common");
  if (!v[kOcType]) v[kOcType] = ORVA_NAME("Auto");
}

// place_order's body for the bound arguments `v` (self first).
Ref place(PyObject* module, PyObject* const* v, const Context& ctx) {
  const Attributes& attrs = ctx.attrs;
  const long plan = ctx.plan;
  // Where each attribute sat in the context's __dict__ last time (contexts of a class share keys).
  static EntryPlace at_warming_up, at_bt, at_place, at_now;
  if (truthy(attr_at(attrs, at_warming_up, ORVA_NAME("warming_up")).get()))
    reject("orders are not accepted during the backfill warm-up");
  Ref bt = attr_at(attrs, at_bt, ORVA_NAME("_bt"));
  Ref product_type = market_of(bt.get(), v[kCode], plan);
  Ref action = str_value(v[kAction]);
  Ref order_type = str_value(v[kOrderType]);
  if (!one_of(action.get(), {ORVA_NAME("Buy"), ORVA_NAME("Sell")}))
    reject("unknown action " + repr(action.get()) + " (use Buy, Sell)");
  if (!one_of(order_type.get(), {ORVA_NAME("ROD"), ORVA_NAME("IOC"), ORVA_NAME("FOK")}))
    reject("unknown order type " + repr(order_type.get()) + " (use ROD, IOC or FOK)");
  PyObject* price = v[kPrice];
  Ref price_type = v[kPriceType] != Py_None ? str_value(v[kPriceType])
                                            : Ref::borrow(price == Py_None ? ORVA_NAME("MKT") : ORVA_NAME("LMT"));
  if (!one_of(price_type.get(), {ORVA_NAME("LMT"), ORVA_NAME("MKT"), ORVA_NAME("MKP")}))
    reject("unknown price type " + repr(price_type.get()) + " (use LMT, MKP, MKT)");
  PyObject* qty = v[kQty];
  if (!PyLong_CheckExact(qty) || !positive_int(qty))
    reject("order quantity must be a positive int, got " + repr(qty));
  const bool limit_order = price_type.get() == ORVA_NAME("LMT") ||
                           (price_type.get() != ORVA_NAME("MKT") && price_type.get() != ORVA_NAME("MKP") &&
                            PyUnicode_Compare(price_type.get(), ORVA_NAME("LMT")) == 0);
  if (limit_order &&
      (price == Py_None || PyBool_Check(price) || !above_zero(price)))
    reject("a limit order needs a price above 0, got " + repr(price));
  Ref limit = price == Py_None ? py_float(0.0) : PyFloat_CheckExact(price) ? Ref::borrow(price)
                                                                            : Ref::steal(PyNumber_Float(price));
  // The order is accepted: handed on as `self._place(...)` evaluates, callee first. market_of and the
  // conversions may have run Python code: the context's attributes are read afresh.
  const Attributes after(v[kSelf], plan & kPlainAttributes);
  Ref placer = attr_at(after, at_place, ORVA_NAME("_place"));
  Ref cond = str_value(v[kOrderCond]);
  Ref lot = str_value(v[kOrderLot]);
  Ref oc = str_value(v[kOcType]);
  Ref now = attr_at(after, at_now, ORVA_NAME("now"));
  // A spare slot in front: a bound method puts its self there instead of copying the arguments.
  PyObject* order[] = {nullptr,          v[kCode],   product_type.get(), action.get(), limit.get(), qty,
                       price_type.get(), order_type.get(), cond.get(), lot.get(), oc.get(), now.get()};
  // In a run _place is the order tracker's own place bound to it: its body without the call.
  if (PyMethod_Check(placer.get()) && is_tracker_place(PyMethod_GET_FUNCTION(placer.get()))) {
    Ref tracker = Ref::borrow(PyMethod_GET_SELF(placer.get()));
    return tracker_place(module, tracker.get(), order + 1);
  }
  return Ref::steal(PyObject_Vectorcall(placer.get(), order + 1, 11 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
}

PyObject* context_place_order(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  try {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* v[kFields];
    bind_call(place_signature(), args, nargs, kwnames, args + nargs, v);
    fill_place_defaults(v);
    return place(module, v, Context(v[kSelf])).release();
  } catch (PyError&) {
    return nullptr;
  }
}

// buy / sell: self.place_order(code, <action>, qty, price, order_type, **kwargs).
PyObject* side(PyObject* module, const char* qualname, PyObject* const* args, size_t nargsf, PyObject* kwnames, PyObject* action) {
  try {
    enum { kSideSelf, kSideCode, kSideQty, kSidePrice, kSideOrderType, kSideFields };
    PyObject* const names[] = {ORVA_NAME("self"), ORVA_NAME("code"), ORVA_NAME("qty"), ORVA_NAME("price"),
                               ORVA_NAME("order_type")};
    const Signature sig{qualname, names, kSideFields, 3, true};
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    PyObject* const* kwvalues = args + nargs;
    PyObject* b[kSideFields];
    std::vector<Py_ssize_t> rest;
    bind_call(sig, args, nargs, kwnames, kwvalues, b, &rest);
    PyObject* self = b[kSideSelf];
    PyObject* price = b[kSidePrice] ? b[kSidePrice] : Py_None;
    PyObject* order_type = b[kSideOrderType] ? b[kSideOrderType] : ORVA_NAME("ROD");
    // The call to place_order: five positionals, then the keywords buy did not take (on the stack
    // for the usual few).
    PyObject* few[16];
    std::vector<PyObject*> many;
    PyObject** call_args = few;
    if (rest.size() > 10) {
      many.resize(6 + rest.size());
      call_args = many.data();
    }
    PyObject* const head[] = {self, b[kSideCode], action, b[kSideQty], price, order_type};
    std::copy(head, head + 6, call_args);
    Ref rest_names;
    if (!rest.empty()) {
      rest_names = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(rest.size())));
      for (size_t i = 0; i < rest.size(); ++i) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, rest[i]);
        Py_INCREF(key);
        PyTuple_SET_ITEM(rest_names.get(), static_cast<Py_ssize_t>(i), key);
        call_args[6 + i] = kwvalues[rest[i]];
      }
    }
    Context ctx(self);
    if (!(ctx.plan & kOwnPlaceOrder))
      return PyObject_VectorcallMethod(ORVA_NAME("place_order"), call_args,
                                       6 | PY_VECTORCALL_ARGUMENTS_OFFSET, rest_names.get());
    PyObject* v[kFields];
    if (rest.empty()) {  // bound already: buy's five and the action
      std::fill(v, v + kFields, nullptr);
      std::copy(head, head + 6, v);
    } else {
      bind_call(place_signature(), call_args, 6, rest_names.get(), call_args + 6, v);
    }
    fill_place_defaults(v);
    return place(module, v, ctx).release();
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* context_buy(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return side(module, "StrategyContext.buy", args, nargsf, kwnames, ORVA_NAME("Buy"));
}

PyObject* context_sell(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return side(module, "StrategyContext.sell", args, nargsf, kwnames, ORVA_NAME("Sell"));
}

}  // namespace

int add_context_methods(PyObject* module) {
  return add_documented_methods(
      module, "StrategyContext", "context_",
      {{"buy", context_buy,
        "buy($self, code, qty, price=None, order_type='ROD', **kwargs)\n--\n\n"
        "Buy ``qty`` (board lots or contracts); a limit order at ``price``, a market order without one.\n"
        "Other keywords go to place_order; the trade id."},
       {"sell", context_sell,
        "sell($self, code, qty, price=None, order_type='ROD', **kwargs)\n--\n\n"
        "Sell ``qty``, as buy does."},
       {"place_order", context_place_order,
        "place_order($self, code, action, qty, price=None, order_type='ROD', price_type=None, "
        "order_cond='Cash', order_lot='Common', oc_type='Auto')\n--\n\n"
        "Places an order and returns its trade id. Market orders (no price, or price_type \"MKT\") fill at\n"
        "the close of the next tick of the instrument.\n\n"
        "``qty`` is in board lots for stocks and contracts for futures, the unit of ``position()``. To trade\n"
        "odd lots, pass ``order_lot=\"IntradayOdd\"`` (or ``\"Odd\"``): the quantity of such an order is in\n"
        "shares, as the exchange takes odd-lot orders, e.g. ``ctx.buy(\"2330\", 300, 590.0,\n"
        "order_lot=\"IntradayOdd\")`` buys 300 shares; ``position()`` then shows 0.3 lots.\n\n"
        "Refused with OrderRejected: during the warm-up, an instrument not in the backtest, an unknown\n"
        "action, order type or price type, a quantity that is not a positive int, a limit order without a\n"
        "price above 0."}});
}

}  // namespace orva::engine
