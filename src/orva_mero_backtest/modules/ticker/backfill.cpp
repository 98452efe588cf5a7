// A backfill: the ticks of a second range of days, streamed ahead of the main range.
#include "flow.hpp"
#include "queues.hpp"
#include "console_log.hpp"
#include "ticker.hpp"

namespace orva::ticker {

namespace {

// Runs `fn`; an error it raises is dropped: the failure being reported is the one that counts.
template <class Fn>
void best_effort(Fn&& fn) {
  try {
    fn();
  } catch (PyError&) {
    PyErr_Clear();
  }
}

bool missing(PyObject* bound) { return bound == Py_None || PyUnicode_GET_LENGTH(bound) == 0; }

// The finish is announced only for the current run: a backfill of a superseded run must not
// let the new run's sender go on.
void notify_finish(State& st, uint64_t run) {
  if (st.run == run) call_method(st.self, ORVA_NAME("_Ticker__notify_backfilling_finish"));
}

}  // namespace

Ref notify_backfilling_finish(const Args& a) {
  PyObject* self = a.self();
  setattr(self, ORVA_NAME("backfilling_finish_flag"), Py_True);
  Ref status = status_dict(ORVA_NAME("finish_backfilling"));
  Ref finishes = getattr(self, ORVA_NAME("backfilling_notify_finish_queue"));
  queue_put(finishes.get(), status.get());
  return Ref::none();
}

Ref backfilling(const Args& a) {
  PyObject* self = a.self();
  PyObject *codes = a[1], *start_from = a[2], *end_to = a[3];
  State& st = state_of(self);
  bool started = false;
  const uint64_t run = run_of_current_thread(st, nullptr, &started);

  if (missing(start_from) || missing(end_to)) {
    notify_finish(st, run);
    raise(PyExc_ValueError, "回補資料的開始時間與結束時間不能為空");
  }
  if (st.run != run) return Ref::none();
  Ref params = getattr(self, ORVA_NAME("current_send_ticks_params"));
  if (PyObject_SetItem(params.get(), ORVA_NAME("backfilling_start_from"), start_from) < 0) throw_error();
  if (PyObject_SetItem(params.get(), ORVA_NAME("backfilling_end_to"), end_to) < 0) throw_error();

  auto m = std::make_shared<Machine>(Role::Backfill, &st, run);
  m->phase = Phase::NeedPermit;
  try {
    Ref df = call_method(self, ORVA_NAME("_Ticker__process_and_combine_ticks"), {codes, start_from, end_to});
    if (st.run != run) return Ref::none();  // a newer run began while combining
    m->total = PyObject_Length(df.get());
    if (m->total < 0) throw_error();
    console_print(g_module, format("[green]開始回補 Tick 資料, Tick 數 {}. ...[/green]", {py_long(m->total).get()}));
    if (m->total > 0) {
      m->rows = std::make_shared<TickRows>(df.get());
      df = Ref();
      drive(st, m);
      m->rows.reset();
      if (m->phase == Phase::Failed) {
        m->error.restore();
        throw_error();
      }
    }
  } catch (PyError&) {
    // The ticks already put stay and the main range follows: whether a warm-up cut short is
    // good enough is the consumer's call (backfill_error() tells it what went wrong).
    Caught error = Caught::fetch();
    const bool exception = error.is_exception();
    if (exception) {
      Ref message = format("[red]回補 Tick 資料失敗, 錯誤訊息: {}[/red]", {error.value.get()});
      best_effort([&] { console_print(g_module, message); });
    }
    if (st.run == run) st.backfill_error = error.value;
    best_effort([&] { notify_finish(st, run); });
    // On a thread of send_ticks, only an Exception is raised (the thread runtime reports it);
    // a KeyboardInterrupt or SystemExit there ends the thread quietly. Called directly, all propagate.
    if (started && !exception) return Ref::none();
    error.restore();
    throw_error();
  }
  if (m->phase != Phase::Superseded) notify_finish(st, run);
  return Ref::none();
}

}  // namespace orva::ticker
