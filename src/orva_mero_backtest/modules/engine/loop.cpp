// The driver's per-tick loop: engine.tick_loop(stream), called once per run by Backtest._run with
// a TickStream (driver.py) that holds the handles it works with.
//
// The life of one tick, in the order `Loop::run` below takes it:
//   1. The feed (the ticker's sender thread) puts the tick dict on its tick queue; the loop pops it
//      (`pop`, or `wait` with the stall timeout when nothing is there yet).
//   2. A status item (the end of the backfill, the end of the feed) or a warm-up tick goes back to
//      Python: TickStream.other decides (on_tick only, during the warm-up).
//   3. A main-range tick sets the clock (ctx.now), meets the exchange's rules (market_rules:
//      MarketRules.on_tick, only for a tick at or after their wake_at or of a code they watch; the
//      last close and the exchange's clock for the code still read its previous tick), sets the last
//      close, ends the warm-up if it still runs (TickStream.begin_main), and is handed to the
//      exchange: set_current_tick (the positions book marks its holdings at the close); cancels and
//      modifications whose latency is over for the instrument take effect (OrderTracker.land, only
//      while any wait); then match_deal, which fills orders in its book against the tick and queues
//      their reports (skipped when the book is empty: it would only check the tick).
//      Stops the backtest holds for the instrument (stops.py) are then tested against the tick's
//      price; a triggered one sends its order as ctx.place_order does. Only while any is held.
//   4. The reports waiting are delivered (`deliver`): each batch is first applied to the driver's
//      order records (OrderTracker.track, orders.cpp), then handed to on_order / on_deal.
//   5. The strategy's on_tick runs (unless it is the base class's no-op: TickStream.calls_on_tick,
//      decided once per run); orders it places (context.cpp) enter the book at once and meet the
//      next tick of their instrument. The reports they caused are delivered as in 4.
//   6. Prices and equity are sampled (every `sample` seconds of tick time, equity after each fill
//      too), progress is reported every `every` ticks, and the next tick is allowed (`advance`,
//      which often returns it at once).
// A hook's exception goes through TickStream.failed, which says what the run raises. The model in
// tests/reference/tick_loop.py takes the same steps in Python; the tests run both.
#include <vector>

#include "engine.hpp"
#include "dict_items.hpp"
#include "placed.hpp"
#include "tick_entry.hpp"
#include "fill_entry.hpp"

namespace orva::engine {

namespace {

Ref attr(PyObject* obj, const char* name) { return Ref::steal(PyObject_GetAttrString(obj, name)); }

// obj.name, or empty when it has no such attribute.
Ref optional_attr(PyObject* obj, const char* name) {
  PyObject* v = PyObject_GetAttrString(obj, name);
  if (v) return Ref::steal(v);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  return Ref();
}

Ref call0(PyObject* fn) { return Ref::steal(PyObject_CallNoArgs(fn)); }
Ref call1(PyObject* fn, PyObject* a) { return Ref::steal(PyObject_CallOneArg(fn, a)); }

// `a - b >= limit` as Python computes it; floats (and ints as limit) directly.
bool gap_at_least(PyObject* a, PyObject* b, PyObject* limit) {
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b) && PyFloat_CheckExact(limit))
    return PyFloat_AS_DOUBLE(a) - PyFloat_AS_DOUBLE(b) >= PyFloat_AS_DOUBLE(limit);
  Ref gap = Ref::steal(PyNumber_Subtract(a, b));
  int r = PyObject_RichCompareBool(gap.get(), limit, Py_GE);
  if (r < 0) throw_error();
  return r != 0;
}

void append(PyObject* list, PyObject* value) {
  if (PyList_CheckExact(list)) {
    if (PyList_Append(list, value) < 0) throw_error();
  } else {
    call_method(list, ORVA_NAME("append"), {value});
  }
}

// driver.nothing_to_match: match_deal on an empty book only checks its arguments.
bool nothing_to_match(PyObject* book, PyObject* code, PyObject* close, PyObject* qty, PyObject* ts) {
  if (!PyList_CheckExact(book) || PyList_GET_SIZE(book) != 0) return false;
  if (!PyUnicode_CheckExact(code) || !PyFloat_CheckExact(close) || !PyFloat_CheckExact(ts)) return false;
  if (!PyLong_CheckExact(qty)) return false;
#if PY_VERSION_HEX >= 0x030C0000
  // A tick's quantity is compact (one digit): its sign read inline.
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(qty)))
    return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(qty)) >= 0;
#endif
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(qty, &overflow);  // cannot fail on an exact int
  return overflow > 0 || (overflow == 0 && value >= 0);
}

// (a, b). A pair of floats can never be part of a cycle: it leaves the collector's lists at once,
// as a collection would take it out anyway, so the young collections the samples set off stay short.
Ref pair(PyObject* a, PyObject* b) {
  Ref t = Ref::steal(PyTuple_New(2));
  Py_INCREF(a);
  PyTuple_SET_ITEM(t.get(), 0, a);
  Py_INCREF(b);
  PyTuple_SET_ITEM(t.get(), 1, b);
  if (PyFloat_CheckExact(a) && PyFloat_CheckExact(b)) PyObject_GC_UnTrack(t.get());
  return t;
}

// item[name] for a tick through a view of its entries (of no dict when the tick is no exact dict):
// an exact dict is read at the place its key sat in the last tick (ticks of a feed are made alike),
// inline, the rest apart.
[[gnu::noinline]] Ref field_looked_up(const EntryPlace::View& view, EntryPlace& place, PyObject* item, PyObject* name) {
  if (view.dict()) {
    if (PyObject* found = view.get(place, name)) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error();
  }
  return getitem(item, name);
}

inline Ref field(const EntryPlace::View& view, EntryPlace& place, PyObject* item, PyObject* name) {
  if (PyObject* found = view.find(place, name)) return Ref::borrow(found);
  return field_looked_up(view, place, item, name);
}

struct Loop {
  PyObject* s;  // the TickStream
  Ref pending, pop, wait, advance, matcher, set_tick, match, reports, other, begin_main, failed, progress;
  Ref on_tick, ctx, last_close, rec, sample, prices, last_sample, last_main_ts, fills, equity, equity_of;
  Ref backtest, strategy, pop_report, track, too_many;
  Ref stops_held, stops_watched, stops_check, stops_fire, stops_sync;  // the stream's StopBook, if any
  Ref rules, rules_tick;  // the stream's MarketRules and its on_tick, if any
  Ref rules_state;        // its __dict__, when wake_at and watched are plain instance attributes
  Ref take, take_arg;  // advance's function and its one argument, when advance is such a partial
  // The exchange's own set_current_tick as a C call, when set_tick is that method bound to the matcher.
  int (*set_tick_entry)(PyObject*, PyObject*, PyObject*, PyObject*) = nullptr;
  Ref book;       // the exchange's pending_orders, when the stream holds it (it is bound for the exchange's life)
  Ref ctx_state;  // ctx.__dict__, when its class lets `now` and `warming_up` live there (its _plan says)
  Ref fill_model;      // the run's fill model (fills.cpp), or None: the exchange's own pass
  Ref requests, land;  // cancels and modifications on their way (a list), and what lands them
  std::vector<Ref> batch;  // the reports of one delivery round, kept to reuse their storage
  std::vector<char> deals;
  bool calls_on_tick = true;  // false while the strategy's on_tick is the base class's no-op
  Ref on_tick_self, on_tick_function;  // on_tick's parts, when it is a bound method
  long long every = 1;
  long long max_reports = 0;
  long long ticks = 0;
  Ref timestamp;  // of the last main tick, when newer than the stream's own
  // What the loop keeps per instrument whose code is exactly a str, in first-seen order: the
  // recording's last_main_ts and last_sample entries (read only by the loop while it runs, and once
  // the run ends), written to their dicts at sync(); and where its last close sits in last_close.
  struct Instrument {
    Ref code;
    Ref main_ts;        // its last main tick's timestamp, or empty before one
    Ref sampled;        // last_sample[code] as the loop keeps it (read when first needed)
    bool main_ts_written = true, sample_written = true;
    EntryHint close_at;  // where last_close[code] sits
  };
  std::vector<Instrument> instruments;
  // Where a tick's fields, and the context's warming_up, sat when last read.
  EntryPlace at_backfilling, at_code, at_ts, at_close, at_qty, at_warming_up;
  EntryHint now_at;  // where ctx.now sits in the context's __dict__
  Ref last_equity_ts;
  Py_ssize_t fills_seen = 0;

  explicit Loop(PyObject* stream) : s(stream) {
    pending = attr(s, "pending");
    pop = attr(s, "pop");
    wait = attr(s, "wait");
    advance = attr(s, "advance");
    unwrap_advance();
    matcher = attr(s, "matcher");
    set_tick = attr(s, "set_tick");
    load_tick_entry();
    match = attr(s, "match");
    reports = attr(s, "reports");
    other = attr(s, "other");
    begin_main = attr(s, "begin_main");
    failed = attr(s, "failed");
    progress = attr(s, "progress");
    fill_model = attr(s, "fill_model");
    requests = optional_attr(s, "requests");
    if (requests && !PyList_CheckExact(requests.get())) raise(PyExc_TypeError, "a stream's requests must be a list");
    if (requests) land = attr(s, "land");
    on_tick = attr(s, "on_tick");
    // The stream holds the hook bound for the run: its function is called with the strategy in front,
    // without the method object's own call in between.
    if (PyMethod_Check(on_tick.get())) {
      on_tick_self = Ref::borrow(PyMethod_GET_SELF(on_tick.get()));
      on_tick_function = Ref::borrow(PyMethod_GET_FUNCTION(on_tick.get()));
    }
    Ref calls = optional_attr(s, "calls_on_tick");
    calls_on_tick = !calls || truthy(calls.get());
    ctx = attr(s, "ctx");
    load_ctx_state();
    book = optional_attr(s, "book");
    last_close = attr(s, "last_close");
    rec = attr(s, "recording");
    sample = attr(rec.get(), "sample");
    prices = attr(rec.get(), "prices");
    last_sample = attr(rec.get(), "last_sample");
    last_main_ts = attr(rec.get(), "last_main_ts");
    fills = attr(rec.get(), "fills");
    equity = attr(rec.get(), "equity");
    equity_of = attr(rec.get(), "equity_of");
    every = PyLong_AsLongLong(attr(s, "every").get());
    if (every == -1 && PyErr_Occurred()) throw_error();
    if (every < 1) raise(PyExc_ValueError, "every must be at least 1");
    ticks = PyLong_AsLongLong(attr(s, "ticks").get());
    if (ticks == -1 && PyErr_Occurred()) throw_error();
    load_recording();
    load_stops();
    Ref market_rules = optional_attr(s, "rules");
    if (market_rules && market_rules.get() != Py_None) {
      rules_tick = attr(market_rules.get(), "on_tick");
      rules = std::move(market_rules);
      PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(rules.get()));
      if (!PyObject_HasAttrString(type, "wake_at") && !PyObject_HasAttrString(type, "watched")) {
        Ref state = optional_attr(rules.get(), "__dict__");
        if (state && PyDict_CheckExact(state.get())) rules_state = std::move(state);
      }
    }
  }

  // StrategyContext._plan's bit (strategy.py) for "nothing in the class stands in front of its attributes".
  static constexpr long kPlainContext = 4;

  void load_ctx_state() {
    PyTypeObject* type = Py_TYPE(ctx.get());
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return;
    Ref plan = optional_attr(ctx.get(), "_plan");
    if (!plan || !PyLong_CheckExact(plan.get())) return;
    const long bits = PyLong_AsLong(plan.get());
    if (bits == -1 && PyErr_Occurred()) throw_error();
    if (!(bits & kPlainContext)) return;
    Ref state = optional_attr(ctx.get(), "__dict__");
    if (state && PyDict_CheckExact(state.get())) ctx_state = std::move(state);
  }

  // ctx.now = ts
  void set_now(PyObject* ts) {
    if (!ctx_state) return setattr(ctx.get(), ORVA_NAME("now"), ts);
    // The old value is a tick's time the loop set (a float): releasing it runs no code.
    if (PyFloat_CheckExact(ts) && now_at.replace(ctx_state.get(), ORVA_NAME("now"), ts)) return;
    if (PyDict_SetItem(ctx_state.get(), ORVA_NAME("now"), ts) < 0) throw_error();
    now_at.learn(ctx_state.get(), ORVA_NAME("now"));
  }

  // The loop's entry for `code`, made when first seen; null for a code that is not exactly a str.
  Instrument* instrument_of(PyObject* code) {
    if (!PyUnicode_CheckExact(code)) return nullptr;
    for (Instrument& known : instruments)  // a run's few instruments; the feed gives each its one str
      if (known.code.get() == code) return &known;
    for (Instrument& known : instruments)
      if (PyUnicode_Compare(known.code.get(), code) == 0) return &known;  // exact str: no Python code runs
    Instrument made;
    made.code = Ref::borrow(code);
    instruments.push_back(std::move(made));
    return &instruments.back();
  }

  // last_main_ts and last_sample as the loop keeps them, into their dicts.
  void sync_instruments() {
    for (Instrument& known : instruments) {
      if (!known.main_ts_written) {
        set_item(last_main_ts.get(), known.code.get(), known.main_ts.get());
        known.main_ts_written = true;
      }
      if (!known.sample_written) {
        set_item(last_sample.get(), known.code.get(), known.sampled.get());
        known.sample_written = true;
      }
    }
  }

  // last_close[code] = close; false when Python code may have run.
  bool set_last_close(Instrument* known, PyObject* code, PyObject* close) {
    PyObject* d = last_close.get();
    if (!PyDict_CheckExact(d)) {
      set_item(d, code, close);
      return false;
    }
    // The old value is a price the loop set (a float): releasing it runs no code.
    // The key is compared by identity: the one the loop's entry holds is the likeliest in the dict.
    PyObject* key = known ? known->code.get() : code;
    if (known && PyFloat_CheckExact(close) && known->close_at.replace(d, key, close)) return true;
    if (PyDict_SetItem(d, key, close) < 0) throw_error();
    if (known) known->close_at.learn(d, key);
    return true;
  }

  // rules.<name>: from its __dict__ when the class defines no such attribute.
  Ref rules_value(PyObject* name) {
    if (rules_state)
      if (PyObject* v = peek(rules_state.get(), name)) return Ref::borrow(v);
    return getattr(rules.get(), name);
  }

  // rules.on_tick(tick) when ts >= rules.wake_at or the code is in rules.watched (a dict); both read
  // afresh, as any order placed since may have moved them.
  void check_rules(PyObject* item, PyObject* code, PyObject* ts) {
    Ref wake = rules_value(ORVA_NAME("wake_at"));
    bool due;
    if (PyFloat_CheckExact(wake.get()) && PyFloat_CheckExact(ts)) {
      due = PyFloat_AS_DOUBLE(ts) >= PyFloat_AS_DOUBLE(wake.get());
    } else {
      const int r = PyObject_RichCompareBool(ts, wake.get(), Py_GE);
      if (r < 0) throw_error();
      due = r != 0;
    }
    if (!due) {
      Ref watched = rules_value(ORVA_NAME("watched"));
      if (!PyDict_CheckExact(watched.get())) raise(PyExc_TypeError, "MarketRules.watched must be a dict");
      if (PyDict_GET_SIZE(watched.get()) == 0) return;
      const int r = PyDict_Contains(watched.get(), code);
      if (r < 0) throw_error();
      due = r != 0;
    }
    if (due) call1(rules_tick.get(), item);
  }

  void load_stops() {
    Ref stops = optional_attr(s, "stops");
    if (!stops || stops.get() == Py_None) return;
    stops_held = attr(stops.get(), "by_code");
    stops_watched = attr(stops.get(), "watched");
    if (!PyDict_CheckExact(stops_held.get()) || !PyDict_CheckExact(stops_watched.get()))
      raise(PyExc_TypeError, "a StopBook's by_code and watched must be dicts");
    stops_check = attr(stops.get(), "check");
    stops_fire = attr(stops.get(), "fire");
    stops_sync = attr(stops.get(), "sync");
  }

  bool stops_watching() const { return stops_watched && PyDict_GET_SIZE(stops_watched.get()) != 0; }

  void check_stops(PyObject* code, PyObject* close) {
    PyObject* args[] = {code, close};
    Ref fired = Ref::steal(PyObject_Vectorcall(stops_check.get(), args, 2, nullptr));
    if (fired.get() != Py_None) call1(stops_fire.get(), fired.get());
  }

  void load_recording() {
    last_equity_ts = attr(rec.get(), "last_equity_ts");
    Ref seen = attr(rec.get(), "fills_seen");
    fills_seen = PyLong_AsSsize_t(seen.get());
    if (fills_seen == -1 && PyErr_Occurred()) throw_error();
  }

  // The stream's counters as Python code reads them: before the calls that read them (other,
  // progress, failed) and at the end.
  void sync() {
    sync_instruments();
    setattr(s, ORVA_NAME("ticks"), py_long(ticks).get());
    if (timestamp) {
      setattr(s, ORVA_NAME("timestamp"), timestamp.get());
      timestamp = Ref();
    }
    setattr(rec.get(), ORVA_NAME("last_equity_ts"), last_equity_ts.get());
    setattr(rec.get(), ORVA_NAME("fills_seen"), Ref::steal(PyLong_FromSsize_t(fills_seen)).get());
  }

  // set_tick is usually the matcher's own set_current_tick (not replaced on its class or instance when
  // the stream took it): called without its binding, the same body.
  void load_tick_entry() {
    PyObject* bound = set_tick.get();
    if (!PyMethod_Check(bound) || PyMethod_GET_SELF(bound) != matcher.get()) return;
    Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.modules.matcher.matcher"));
    Ref capsule = optional_attr(module.get(), "_tick_entry");
    if (!capsule || !PyCapsule_IsValid(capsule.get(), kTickEntryCapsule)) return;
    auto* entry = static_cast<TickEntry*>(PyCapsule_GetPointer(capsule.get(), kTickEntryCapsule));
    if (entry && PyMethod_GET_FUNCTION(bound) == entry->own_function) set_tick_entry = entry->set_current_tick;
  }

  // `code` and `ts` are item["code"] and item["timestamp"] when no Python code ran since they were read.
  void set_current_tick(PyObject* item, PyObject* code, PyObject* ts) {
    if (set_tick_entry && PyDict_CheckExact(item)) {
      const bool seen = code && PyUnicode_CheckExact(code) && PyFloat_CheckExact(ts);
      if (set_tick_entry(matcher.get(), item, seen ? code : nullptr, seen ? ts : nullptr) < 0) throw_error();
    } else {
      call1(set_tick.get(), item);
    }
  }

  // advance is usually functools.partial(take_next_tick, ticker): called as take(ticker), without
  // the partial's own call in between.
  void unwrap_advance() {
    Ref functools = Ref::steal(PyImport_ImportModule("functools"));
    Ref partial = attr(functools.get(), "partial");
    if (reinterpret_cast<PyObject*>(Py_TYPE(advance.get())) != partial.get()) return;
    Ref args = attr(advance.get(), "args");
    Ref keywords = attr(advance.get(), "keywords");
    if (!PyTuple_CheckExact(args.get()) || PyTuple_GET_SIZE(args.get()) != 1) return;
    if (!PyDict_CheckExact(keywords.get()) || PyDict_GET_SIZE(keywords.get()) != 0) return;
    take_arg = Ref::borrow(PyTuple_GET_ITEM(args.get(), 0));
    take = attr(advance.get(), "func");
  }

  Ref next_item() { return take ? call1(take.get(), take_arg.get()) : call0(advance.get()); }

  // The engine module and the tracker, when `track` is OrderTracker.track (the module's own method)
  // bound to it: its body is then run without the call.
  Ref track_module, track_self;
  // The exchange, when pop_report is its own pop_response bound to it (fill_entry.hpp).
  PyObject* (*pop_entry)(PyObject*) = nullptr;
  Ref pop_self;

  // What a delivery needs, read when the first report waits.
  void load_delivery() {
    strategy = attr(s, "strategy");
    pop_report = attr(s, "pop_report");
    track = attr(s, "track");
    pop_entry = nullptr;
    pop_self = Ref();
    track_self = Ref();
    track_module = Ref();
    if (PyMethod_Check(pop_report.get())) {
      Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.modules.matcher.matcher"));
      Ref capsule = optional_attr(module.get(), "_report_entry");
      if (capsule && PyCapsule_IsValid(capsule.get(), kReportEntryCapsule)) {
        auto* entry = static_cast<const ReportEntry*>(PyCapsule_GetPointer(capsule.get(), kReportEntryCapsule));
        if (PyMethod_GET_FUNCTION(pop_report.get()) == entry->own_function) {
          pop_self = Ref::borrow(PyMethod_GET_SELF(pop_report.get()));
          pop_entry = entry->pop_response;
        }
      }
    }
    if (PyMethod_Check(track.get())) {
      Ref module = Ref::steal(PyImport_ImportModule("orva_mero_backtest.modules.engine.engine"));
      Ref own = attr(module.get(), "order_tracker_track");
      if (PyMethod_GET_FUNCTION(track.get()) == own.get()) {
        track_self = Ref::borrow(PyMethod_GET_SELF(track.get()));
        track_module = module;
      }
    }
    too_many = attr(s, "too_many_reports");
    max_reports = PyLong_AsLongLong(attr(s, "max_reports").get());
    if (max_reports == -1 && PyErr_Occurred()) throw_error();
    backtest = attr(s, "backtest");  // last: its presence says the rest is loaded
  }

  // Python's `if x:` on a queue's deque.
  static bool any(PyObject* deque) { return truthy(deque); }

  // ctx.warming_up as a truth value; *quiet is cleared when Python code may have run for it.
  bool warming_up(bool* quiet) {
    PyObject* kept = ctx_state ? at_warming_up.get(ctx_state.get(), ORVA_NAME("warming_up")) : nullptr;
    if (!kept && PyErr_Occurred()) throw_error();
    if (kept == Py_False || kept == Py_True) return kept == Py_True;
    *quiet = false;
    Ref flag = kept ? Ref::borrow(kept) : getattr(ctx.get(), ORVA_NAME("warming_up"));
    return flag.get() == Py_False ? false : flag.get() == Py_True ? true : truthy(flag.get());
  }

  // Raises what a hook's exception becomes (the pending one): TickStream.failed decides.
  [[noreturn]] void hook_failed(PyObject* hook, PyObject* item) {
    Caught caught = Caught::fetch();
    sync();
    PyObject* fargs[] = {hook, caught.value.get(), item};
    Ref error = Ref::steal(PyObject_Vectorcall(failed.get(), fargs, 3, nullptr));
    if (error.get() == caught.value.get()) {
      caught.restore();
      throw_error();
    }
    // `raise error` inside the handler of the hook's exception (failed() set the cause).
    PyException_SetContext(error.get(), Ref(caught.value).release());
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    throw_error();
  }

  void call_hook(PyObject* item) {
    PyObject* args[] = {on_tick_self.get(), ctx.get(), item};
    PyObject* done = on_tick_function ? PyObject_Vectorcall(on_tick_function.get(), args, 3, nullptr)
                                      : PyObject_Vectorcall(on_tick.get(), args + 1, 2, nullptr);
    if (!done) hook_failed(ORVA_NAME("on_tick"), item);
    Py_DECREF(done);
  }

  // Backtest._deliver_reports, step for step: every waiting report is taken, the batch tracked,
  // then each handed to on_deal / on_order; their answers' reports form the next batch.
  // Backtest._tick is read only to name the tick in a strategy's error, and TickStream.failed sets
  // it before it makes one: it is not written per delivery.
  void deliver(PyObject* item) {
    if (!backtest) load_delivery();
    long long delivered = 0;
    while (any(reports.get())) {
      batch.clear();
      while (any(reports.get()))
        batch.push_back(pop_entry ? Ref::steal(pop_entry(pop_self.get())) : call0(pop_report.get()));
      delivered += static_cast<long long>(batch.size());
      if (delivered > max_reports) {
        sync();
        call0(too_many.get());  // raises
        raise(PyExc_SystemError, "too_many_reports() returned");
      }
      deals.clear();
      for (const Ref& report : batch) {
        if (track_self) {
          const int deal = track_report(track_module.get(), track_self.get(), report.get());
          if (deal < 0) throw_error();
          deals.push_back(static_cast<char>(deal));
        } else {
          deals.push_back(truthy(call1(track.get(), report.get()).get()));
        }
      }
      if (stops_watching()) call0(stops_sync.get());  // fills that move a bracket or an OCO pair
      for (size_t i = 0; i < batch.size(); ++i) {
        PyObject* hook = deals[i] ? ORVA_NAME("on_deal") : ORVA_NAME("on_order");
        PyObject* args[] = {strategy.get(), ctx.get(), batch[i].get()};
        PyObject* done = PyObject_VectorcallMethod(hook, args, 3, nullptr);
        if (!done) hook_failed(hook, item);
        Py_DECREF(done);
      }
    }
    batch.clear();
  }

  void run() {
    Ref item;  // the next item when advance() already took it
    for (long long n = 0;; ++n) {
      if ((n & 1023) == 1023 && PyErr_CheckSignals() < 0) throw_error();
      // 1. the next item of the feed
      if (!item || item.get() == Py_None) item = any(pending.get()) ? call0(pop.get()) : call0(wait.get());
      // 2. status items and warm-up ticks: Python's
      PyObject* it = item.get();
      int status = !PyDict_CheckExact(it) ? PySequence_Contains(it, ORVA_NAME("orva_status"))
                   : dict_lacks(it, ORVA_NAME("orva_status")) ? 0
                                                             : PyDict_Contains(it, ORVA_NAME("orva_status"));
      if (status < 0) throw_error();
      // The tick's fields are read in one view of its entries while no Python code runs.
      EntryPlace::View view = PyDict_CheckExact(it) ? EntryPlace::View(it) : EntryPlace::View();
      bool backfilling = status;
      if (!status) {
        Ref flag = field(view, at_backfilling, it, ORVA_NAME("is_backfilling"));
        if (flag.get() == Py_False || flag.get() == Py_True) {
          backfilling = flag.get() == Py_True;
        } else {
          backfilling = truthy(flag.get());
          view = PyDict_CheckExact(it) ? EntryPlace::View(it) : EntryPlace::View();  // code may have run
        }
      }
      if (backfilling) {
        sync();
        bool ended = truthy(call1(other.get(), item.get()).get());
        load_recording();
        if (ended) return;
        item = Ref();
        continue;
      }
      // 3. a main-range tick: the clock, then the exchange
      Ref code = field(view, at_code, it, ORVA_NAME("code"));
      Ref ts = field(view, at_ts, it, ORVA_NAME("timestamp"));
      Ref close = field(view, at_close, it, ORVA_NAME("close"));
      timestamp = ts;
      set_now(ts.get());
      bool quiet = !rules && ctx_state;  // no Python code ran since the tick's fields were read
      // The rules see the tick before anything reads it: the last price is still the previous one.
      if (rules) check_rules(item.get(), code.get(), ts.get());
      Instrument* known = instrument_of(code.get());
      if (!set_last_close(known, code.get(), close.get())) quiet = false;
      if (warming_up(&quiet)) {
        sync();
        call1(begin_main.get(), item.get());
        quiet = false;
      }
      ++ticks;
      if (known) {
        known->main_ts = ts;
        known->main_ts_written = false;
      } else {
        sync_instruments();  // in the order the ticks came
        set_item(last_main_ts.get(), code.get(), ts.get());
      }
      set_current_tick(item.get(), quiet ? code.get() : nullptr, quiet ? ts.get() : nullptr);
      if (requests && PyList_GET_SIZE(requests.get()) != 0) call1(land.get(), item.get());
      {
        Ref qty = item_at(at_qty, item.get(), ORVA_NAME("qty"));
        Ref fetched = this->book ? Ref() : getattr(matcher.get(), ORVA_NAME("pending_orders"));
        PyObject* book = this->book ? this->book.get() : fetched.get();  // the stream's is held for the run
        if (fill_model.get() != Py_None && PyList_CheckExact(book)) {
          if (PyList_GET_SIZE(book) != 0) match_with_model(fill_model.get(), item.get(), book);
        } else if (!nothing_to_match(book, code.get(), close.get(), qty.get(), ts.get())) {
          PyObject* args[] = {code.get(), close.get(), qty.get(), ts.get()};
          Ref done = Ref::steal(PyObject_Vectorcall(match.get(), args, 4, nullptr));
        }
      }
      if (stops_held && PyDict_GET_SIZE(stops_held.get()) != 0) check_stops(code.get(), close.get());
      // 4. the fills' reports; 5. the strategy, and the reports of what it did
      if (any(reports.get())) deliver(item.get());
      if (calls_on_tick) {
        call_hook(item.get());
        if (any(reports.get())) deliver(item.get());
      }
      // 6. samples, progress, the next tick
      if (known && !known->sampled) known->sampled = item_of(last_sample.get(), code.get());
      Ref looked_up = known ? Ref() : item_of(last_sample.get(), code.get());
      PyObject* last = known ? known->sampled.get() : looked_up.get();  // only the loop sets known->sampled
      if (gap_at_least(ts.get(), last, sample.get())) {
        if (known) {
          known->sampled = ts;
          known->sample_written = false;
        } else {
          set_item(last_sample.get(), code.get(), ts.get());
        }
        Ref series = item_of(prices.get(), code.get());
        append(series.get(), pair(ts.get(), close.get()).get());
      }
      Py_ssize_t filled = PyList_CheckExact(fills.get()) ? PyList_GET_SIZE(fills.get()) : PyObject_Length(fills.get());
      if (filled < 0) throw_error();
      if (gap_at_least(ts.get(), last_equity_ts.get(), sample.get()) || filled != fills_seen) {
        last_equity_ts = ts;
        fills_seen = filled;
        Ref value = call0(equity_of.get());
        append(equity.get(), pair(ts.get(), value.get()).get());
      }
      if (ticks % every == 0) {
        sync();
        call0(progress.get());
      }
      item = next_item();
    }
  }
};

}  // namespace

PyObject* tick_loop(PyObject*, PyObject* stream) {
  try {
    Loop loop(stream);
    try {
      loop.run();
    } catch (PyError&) {
      Caught error = Caught::fetch();
      try {
        loop.sync();
      } catch (PyError&) {
        PyErr_Clear();
      }
      error.restore();
      throw;
    }
    loop.sync();
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace orva::engine
