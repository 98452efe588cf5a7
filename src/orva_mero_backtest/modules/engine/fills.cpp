// The fill models: what a tick of the tape does to the orders in the exchange's book.
//
// `trade` is the exchange's own pass (match_deal: the last trade's price, the tick's whole volume).
// `quote` meets each order at a price of its own, through the exchange's match_order (the same
// reports, positions and order-type rules):
//   - a marketable order (market, or a limit at or through the opposite best quote) fills at that
//     quote, at most the size displayed there (shared by our orders in book order); an IOC or FOK
//     then does what its type says with the rest, a ROD keeps it for later ticks;
//   - a resting limit fills at its own price: from a trade through it (all the volume it can), or
//     from a trade at it once the queue ahead of it is used up. The queue ahead is set when the
//     order joins its level: the size displayed there on its side, 0 at a new, better level; at a
//     level behind the best quote it is unknown until that level becomes the best one.
//   - with no opposite quote on the tick (price or size 0), a market order fills as under `trade`.
// The queue ahead only shrinks by trades at the order's price ("conservative"), or also by a share of
// the cancellations at its level ("proportional"). A tick's displayed size is taken as before its
// trade (as the queue set on joining is). With S the size the last tick showed at the order's level
// less what traded there on it, and S' what this tick shows, C = max(0, S - S') was cancelled; spread
// evenly over the level, the queue ahead A (B = max(0, S - A) behind it) loses floor(C * A / (A + B)).
// A level no longer displayed while the best quote on its side is worse has nobody left ahead.
// Entry latency (both models): an order takes part from the first tick at or after its placing
// time (its exchange_ts) plus the latency.
#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <unordered_map>
#include <vector>

#include "engine.hpp"
#include "dict_items.hpp"
#include "placed.hpp"

namespace orva::engine {

namespace {

struct OrderState {
  Ref record;  // held: its address stays this order's key
  double arrives = 0;
  bool joined = false;  // whether the queue ahead is known
  double level = 0;     // the price it joined at
  long long queue = 0;  // the displayed volume still ahead of it
  long long shown = 0;  // the displayed size at its level when last seen (proportional queue)
};

struct Model {
  bool quote = true;
  bool proportional = false;  // cancellations at its level move an order up the queue
  double entry_latency = 0;  // seconds
  Ref matcher, match_order;
  std::unordered_map<PyObject*, OrderState> orders;
};

const char* kCapsule = "orva_mero_backtest.fill_model";

// The best quote and the trade of one tick.
struct Tape {
  double close = 0, ts = 0;
  long long trade = 0;           // trade volume not yet taken by the queue or our fills
  double bid = 0, ask = 0;       // 0: no quote on that side
  long long bid_size = 0, ask_size = 0;  // displayed size not yet taken by our fills
  long long bid_shown = 0, ask_shown = 0;  // the displayed sizes of the tick
};

bool same_price(double a, double b) { return std::fabs(a - b) <= 1e-9 * std::max(1.0, std::fabs(a)); }

// Ticks of a feed and the exchange's records are made alike: each key is read where it sat in the
// last one read (placed.hpp), one place per key.
double number(EntryPlace& at, PyObject* tick, PyObject* key) {
  PyObject* v = peek_at(at, tick, key);
  if (!v || v == Py_None) return 0;
  const double x = PyFloat_AsDouble(v);
  if (x == -1.0 && PyErr_Occurred()) throw_error();
  return std::isfinite(x) ? x : 0;
}

long long volume(EntryPlace& at, PyObject* tick, PyObject* key) {
  PyObject* v = peek_at(at, tick, key);
  if (!v || v == Py_None) return 0;
  const long long x = PyLong_AsLongLong(v);
  if (x == -1 && PyErr_Occurred()) throw_error();
  return x;
}

bool text_is(PyObject* v, const char* text) {
  return v && PyUnicode_Check(v) && PyUnicode_CompareWithASCIIString(v, text) == 0;
}

Py_ssize_t position_in(PyObject* book, PyObject* record) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i)
    if (PyList_GET_ITEM(book, i) == record) return i;
  return -1;
}

Ref field(EntryPlace& at, PyObject* record, PyObject* key) { return item_at(at, record, key); }

// match_order(matcher, record, price, qty, ts): the quantity the exchange filled.
long long meet(Model& m, PyObject* record, double price, long long qty, double ts) {
  Ref p = Ref::steal(PyFloat_FromDouble(price));
  Ref q = Ref::steal(PyLong_FromLongLong(qty));
  Ref t = Ref::steal(PyFloat_FromDouble(ts));
  PyObject* args[] = {m.matcher.get(), record, p.get(), q.get(), t.get()};
  Ref filled = Ref::steal(PyObject_Vectorcall(m.match_order.get(), args, 5, nullptr));
  const long long n = PyLong_AsLongLong(filled.get());
  if (n == -1 && PyErr_Occurred()) throw_error();
  return n;
}

// Under `trade`, one order (kept out of the exchange's pass by entry latency): the trade's price,
// what is left of its volume.
void meet_trade(Model& m, PyObject* record, Tape& t) {
  if (t.trade > 0) t.trade -= meet(m, record, t.close, t.trade, t.ts);
}

// A marketable order under `quote`: the opposite best quote, at most the size left there.
void meet_opposite_quote(Model& m, OrderState& st, PyObject* record, bool buy, Tape& t) {
  long long& size = buy ? t.ask_size : t.bid_size;
  size -= meet(m, record, buy ? t.ask : t.bid, size, t.ts);
  st.joined = false;  // what rests of it joins its level afresh
}

// Proportional queue: the cancellations at the order's level since the last tick, spread evenly over
// the level (see the top of this file). Before the tick's trades: its displayed size includes them.
void advance_by_cancels(OrderState& st, bool buy, const Tape& t) {
  const double best = buy ? t.bid : t.ask;
  const long long shown = buy ? t.bid_shown : t.ask_shown;
  if (best > 0 && same_price(best, st.level)) {
    const long long cancelled = std::max(0LL, st.shown - shown);
    const long long behind = std::max(0LL, st.shown - st.queue);
    if (cancelled > 0 && st.queue > 0) {
      // floor(C * A / (A + B)), exactly: C * A may not fit in 64 bits
      const __int128 share = static_cast<__int128>(cancelled) * st.queue / (static_cast<__int128>(st.queue) + behind);
      st.queue -= std::min(static_cast<__int128>(st.queue), share);
    }
    st.shown = shown;
  } else if (best > 0 && (buy ? best < st.level : best > st.level)) {
    st.queue = 0, st.shown = 0;  // its level is no longer displayed: nobody is left ahead
  }
}

// A resting limit order under `quote`: trades through its price fill it; trades at its price
// first use up the queue ahead of it.
void meet_resting(Model& m, OrderState& st, PyObject* record, bool buy, double limit, Tape& t) {
  if (!st.joined || !same_price(st.level, limit)) {
    const double best = buy ? t.bid : t.ask;
    const long long shown = buy ? t.bid_size : t.ask_size;
    st.joined = false;
    if (best <= 0 || (buy ? limit > best : limit < best)) {
      st.joined = true, st.level = limit, st.queue = 0;  // a new, better level: nobody ahead
    } else if (same_price(best, limit)) {
      st.joined = true, st.level = limit, st.queue = shown;
    }
    st.shown = st.queue;
  } else if (m.proportional) {
    advance_by_cancels(st, buy, t);
  }
  if (t.trade <= 0) return;
  const bool through = buy ? t.close < limit && !same_price(t.close, limit)
                           : t.close > limit && !same_price(t.close, limit);
  if (through) {
    t.trade -= meet(m, record, limit, t.trade, t.ts);
    return;
  }
  if (!st.joined || !same_price(t.close, limit)) return;
  st.shown = std::max(0LL, st.shown - t.trade);  // what the next tick should show at its level
  const long long ahead = std::min(st.queue, t.trade);
  st.queue -= ahead;
  t.trade -= ahead;
  if (t.trade > 0) t.trade -= meet(m, record, limit, t.trade, t.ts);
}

// One order of the tick's instrument under `quote`.
void meet_quote(Model& m, OrderState& st, PyObject* record, Tape& t) {
  static EntryPlace at_action, at_price_type, at_price, at_order_type;
  const bool buy = text_is(field(at_action, record, ORVA_NAME("action")).get(), "Buy");
  const bool limit_order = text_is(field(at_price_type, record, ORVA_NAME("price_type")).get(), "LMT");
  const double opposite = buy ? t.ask : t.bid;
  if (!limit_order) {
    if (opposite > 0) meet_opposite_quote(m, st, record, buy, t);
    else meet_trade(m, record, t);
    return;
  }
  Ref price = field(at_price, record, ORVA_NAME("price"));
  const double limit = PyFloat_AsDouble(price.get());
  if (limit == -1.0 && PyErr_Occurred()) throw_error();
  const bool marketable = opposite > 0 && (buy ? limit >= opposite || same_price(limit, opposite)
                                               : limit <= opposite || same_price(limit, opposite));
  if (marketable) {
    meet_opposite_quote(m, st, record, buy, t);
    return;
  }
  Ref type = field(at_order_type, record, ORVA_NAME("order_type"));
  if (!text_is(type.get(), "ROD")) {
    meet(m, record, limit, 0, t.ts);  // an IOC or FOK does not rest: cancelled whole
    return;
  }
  meet_resting(m, st, record, buy, limit, t);
}

OrderState& state_of(Model& m, PyObject* record) {
  auto found = m.orders.find(record);
  if (found != m.orders.end()) return found->second;
  OrderState st;
  st.record = Ref::borrow(record);
  static EntryPlace at_placed;
  Ref placed = field(at_placed, record, ORVA_NAME("exchange_ts"));
  if (placed.get() == Py_None) {
    // Placed before any tick of its instrument (another instrument's tick, or none yet): the book has
    // no time for it, and the instrument's first tick is the first it can meet.
    st.arrives = -std::numeric_limits<double>::infinity();
  } else {
    st.arrives = PyFloat_AsDouble(placed.get()) + m.entry_latency;
    if (st.arrives == -1.0 && PyErr_Occurred()) throw_error();
  }
  return m.orders.emplace(record, std::move(st)).first->second;
}

// Forgets the orders that left the book.
void forget_gone(Model& m, PyObject* book) {
  std::unordered_map<PyObject*, char> open;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) open.emplace(PyList_GET_ITEM(book, i), 0);
  for (auto it = m.orders.begin(); it != m.orders.end();) {
    if (open.count(it->first)) ++it;
    else it = m.orders.erase(it);
  }
}

Model& model_of(PyObject* capsule) {
  auto* m = static_cast<Model*>(PyCapsule_GetPointer(capsule, kCapsule));
  if (!m) throw_error();
  return *m;
}

// fill_model(matcher, model, entry_latency_seconds[, queue]) -> the state the loop keeps for a run.
PyObject* fill_model(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 3 && nargs != 4)
      raise(PyExc_TypeError, "fill_model(matcher, model, entry_latency, queue='conservative') takes 3 or 4 arguments");
    auto m = std::make_unique<Model>();
    m->matcher = Ref::borrow(args[0]);
    if (text_is(args[1], "quote")) m->quote = true;
    else if (text_is(args[1], "trade")) m->quote = false;
    else raise(PyExc_ValueError, "the fill model must be 'quote' or 'trade'");
    if (nargs == 4 && text_is(args[3], "proportional")) m->proportional = true;
    else if (nargs == 4 && !text_is(args[3], "conservative"))
      raise(PyExc_ValueError, "the queue model must be 'conservative' or 'proportional'");
    m->entry_latency = PyFloat_AsDouble(args[2]);
    if (m->entry_latency == -1.0 && PyErr_Occurred()) throw_error();
    Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.modules.matcher.matcher"));
    m->match_order = Ref::steal(PyObject_GetAttrString(module.get(), "match_order"));
    PyObject* capsule = PyCapsule_New(m.get(), kCapsule, [](PyObject* c) {
      delete static_cast<Model*>(PyCapsule_GetPointer(c, kCapsule));
    });
    if (!capsule) throw_error();
    m.release();
    return capsule;
  } catch (PyError&) {
    return nullptr;
  }
}

// match_with_model(model, tick, book): match_with_model below, for models of the tick loop.
PyObject* match_with_model_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  try {
    if (nargs != 3 || !PyDict_CheckExact(args[1]) || !PyList_CheckExact(args[2]))
      raise(PyExc_TypeError, "match_with_model(model, tick: dict, book: list)");
    match_with_model(args[0], args[1], args[2]);
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace

// One main tick against the book under the run's model (see above).
void match_with_model(PyObject* capsule, PyObject* tick, PyObject* book) {
  Model& m = model_of(capsule);
  static EntryPlace at_code, at_close, at_ts, at_qty, at_bid, at_ask, at_bid_size, at_ask_size, at_record_code;
  Ref code = item_at(at_code, tick, ORVA_NAME("code"));
  Tape t;
  t.close = number(at_close, tick, ORVA_NAME("close"));
  t.ts = number(at_ts, tick, ORVA_NAME("timestamp"));
  t.trade = volume(at_qty, tick, ORVA_NAME("qty"));
  if (m.quote) {
    t.bid = number(at_bid, tick, ORVA_NAME("bid_price"));
    t.ask = number(at_ask, tick, ORVA_NAME("ask_price"));
    t.bid_size = std::max(0LL, volume(at_bid_size, tick, ORVA_NAME("bid_volume")));
    t.ask_size = std::max(0LL, volume(at_ask_size, tick, ORVA_NAME("ask_volume")));
    if (t.bid_size == 0) t.bid = 0;
    if (t.ask_size == 0) t.ask = 0;
    t.bid_shown = t.bid_size, t.ask_shown = t.ask_size;
  }
  // The orders of this instrument that have reached the book, in book order, held: matching runs
  // Python code (reports, the positions book) that may change the book.
  std::vector<Ref> mine;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) {
    PyObject* record = PyList_GET_ITEM(book, i);
    Ref held = Ref::borrow(record);
    Ref c = field(at_record_code, record, ORVA_NAME("code"));  // texts: no Python code runs while the book is read
    if (!plain_text(c.get()) || !plain_text(code.get()) || !plain_equal(c.get(), code.get())) continue;
    if (t.ts + 1e-9 >= state_of(m, record).arrives) mine.push_back(held);
  }
  for (const Ref& held : mine) {
    PyObject* record = held.get();
    if (position_in(book, record) < 0) continue;  // taken out meanwhile
    OrderState& st = state_of(m, record);
    if (m.quote) meet_quote(m, st, record, t);
    else meet_trade(m, record, t);
  }
  if (m.orders.size() > 2 * static_cast<size_t>(PyList_GET_SIZE(book)) + 64) forget_gone(m, book);
}

int add_fill_functions(PyObject* module) {
  static PyMethodDef def = {"fill_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fill_model)),
                            METH_FASTCALL,
                            "fill_model(matcher, model, entry_latency, queue='conservative')\n--\n\n"
                            "The state the tick loop keeps for a run's fill model ('quote' or 'trade'), "
                            "entry latency (seconds) and queue model ('conservative' or 'proportional')."};
  static PyMethodDef match_def = {
      "match_with_model", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match_with_model_fn)),
      METH_FASTCALL,
      "match_with_model(model, tick, book)\n--\n\n"
      "One main tick against the exchange's book (its pending_orders list) under a fill_model."};
  for (PyMethodDef* d : {&def, &match_def}) {
    PyObject* fn = PyCFunction_NewEx(d, nullptr, nullptr);
    if (!fn) return -1;
    const int added = PyModule_AddObjectRef(module, d->ml_name, fn);
    Py_DECREF(fn);
    if (added < 0) return -1;
  }
  return 0;
}

}  // namespace orva::engine
