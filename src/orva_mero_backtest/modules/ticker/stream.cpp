// A streaming run: send_ticks, the sender thread and the consumer's side.
#include <optional>

#include "flow.hpp"
#include "queues.hpp"
#include "console_log.hpp"
#include "ticker.hpp"

namespace orva::ticker {

namespace {

// A present backfill bound is neither None nor "".
bool present(PyObject* bound) { return bound != Py_None && PyUnicode_GET_LENGTH(bound) > 0; }

// Thread(target=self.<method>, args=args, daemon=True), started, counted as the current run's.
void start_thread(State& st, PyObject* method_name, PyObject* args, std::shared_ptr<Machine> premade = nullptr) {
  Ref target = getattr(st.self, method_name);
  Ref thread_class = global(ORVA_NAME("Thread"));
  Ref thread = call(thread_class.get(), {target.get(), args, Py_True}, ORVA_KWNAMES("target", "args", "daemon"));
  register_thread(st, thread.get(), std::move(premade));
  try {
    call_method(thread.get(), ORVA_NAME("start"));
  } catch (PyError&) {
    Caught error = Caught::fetch();
    forget_thread(st, thread.get());
    error.restore();
    throw;
  }
  if (!st.run_threads) st.run_threads = Ref::steal(PyList_New(0));
  if (PyList_Append(st.run_threads.get(), thread.get()) < 0) throw_error();
}

Ref now() {
  Ref time_module = global(ORVA_NAME("time"));
  return call_method(time_module.get(), ORVA_NAME("time"));
}

// A failed sender still ends its run: the consumer gets the exit status instead of waiting.
void sender_failed(State& st, Caught& error, uint64_t run, Py_ssize_t total, Py_ssize_t sent) {
  std::optional<Caught> reporting;
  try {
    Ref message = format("[red]傳送 Tick 資料失敗, 錯誤訊息: {}[/red]", {error.value.get()});
    console_print(g_module, message);
    Ref data = Ref::steal(PyDict_New());
    dict_set(data.get(), ORVA_NAME("total"), py_long(total).get());
    dict_set(data.get(), ORVA_NAME("sent"), py_long(sent).get());
    log_error(g_module, error, data.get());
  } catch (PyError&) {
    reporting = Caught::fetch();
  }
  fail_run(st, run, error);
  if (reporting) {
    reporting->restore();
    throw_error();
  }
}

}  // namespace

Ref send_ticks(const Args& a) {
  PyObject* self = a.self();
  PyObject *codes = a[1], *start_from = a[2], *end_to = a[3], *backfill_from = a[4], *backfill_to = a[5];
  State& st = state_of(self);
  begin_run(st);

  Ref params = Ref::steal(PyDict_New());
  dict_set(params.get(), ORVA_NAME("codes"), codes);
  dict_set(params.get(), ORVA_NAME("start_from"), start_from);
  dict_set(params.get(), ORVA_NAME("end_to"), end_to);
  setattr(self, ORVA_NAME("current_send_ticks_params"), params.get());
  setattr(self, ORVA_NAME("exit_send_thread_flag"), Py_False);
  queue_clear(getattr(self, ORVA_NAME("tick_queue")).get());
  queue_clear(getattr(self, ORVA_NAME("backfilling_notify_finish_queue")).get());
  setattr(self, ORVA_NAME("backfilling_finish_flag"), Py_False);

  if (present(backfill_from) || present(backfill_to)) {
    Ref args = Ref::steal(PyTuple_Pack(3, codes, backfill_from, backfill_to));
    start_thread(st, ORVA_NAME("backfilling"), args.get());
  } else {
    setattr(self, ORVA_NAME("backfilling_finish_flag"), Py_True);
  }

  Ref df = call_method(self, ORVA_NAME("_Ticker__process_and_combine_ticks"), {codes, start_from, end_to});
  Py_ssize_t n = PyObject_Length(df.get());
  if (n < 0) throw_error();
  console_print(g_module, format("[green]開始傳送 Tick 資料, Tick 數 {}. ...[/green]", {py_long(n).get()}));

  Ref args = Ref::steal(PyTuple_Pack(1, df.get()));
  auto sender = std::make_shared<Machine>(Role::Sender, &st, st.run);
  first_pass(st, *sender);
  start_thread(st, ORVA_NAME("_Ticker__push_tick_to_queue"), args.get(), std::move(sender));
  return Ref::none();
}

Ref push_tick_to_queue(const Args& a) {
  PyObject* self = a.self();
  PyObject* df = a[1];
  State& st = state_of(self);
  std::shared_ptr<Machine> m;
  const uint64_t run = run_of_current_thread(st, &m);
  if (st.run != run) return Ref::none();
  if (!m) m = std::make_shared<Machine>(Role::Sender, &st, run);
  Ref started;
  try {
    m->total = PyObject_Length(df);
    if (m->total < 0) throw_error();
    if (m->total == 0) {
      put_status(st, ORVA_NAME("exit_send_tick"), run);
      console_print(g_module, text("[red]傳送 Tick 資料結束, 資料共 0 筆, 耗時 0 秒[/red]"));
      return Ref::none();
    }
    started = now();
    m->rows = std::make_shared<TickRows>(df);
  } catch (PyError&) {
    m->error = Caught::fetch();
    m->phase = Phase::Failed;
  }

  if (m->phase != Phase::Failed) drive(st, m);

  if (m->phase == Phase::Summary) {
    m->rows.reset();  // the frame's buffers go before the summary is printed
    Ref seconds = Ref::steal(PyNumber_Subtract(now().get(), started.get()));
    Ref two_places = text(".2f");
    Ref shown = Ref::steal(PyObject_Format(seconds.get(), two_places.get()));
    console_print(g_module, format("[green]傳送 Tick 資料結束, 需傳送資料共 {} 筆, 已傳送 {} 筆, 耗時 {} 秒[/green]",
                                   {py_long(m->total).get(), py_long(m->sent).get(), shown.get()}));
  } else if (m->phase == Phase::Failed) {
    m->rows.reset();
    sender_failed(st, m->error, run, m->total, m->sent);
  }
  return Ref::none();
}

// Waits in short slices (see queue_get), so Ctrl-C ends the wait with KeyboardInterrupt.
Ref pop_tick(const Args& a) {
  Ref ticks = getattr(a.self(), ORVA_NAME("tick_queue"));
  return queue_get(ticks.get());
}

Ref allow_next_tick(const Args& a) {
  State* st = find_state(a.self());
  if (!st) {
    Ref permits = getattr(a.self(), ORVA_NAME("allow_next_tick_flag_queue"));
    queue_put(permits.get(), Py_True);
  } else {
    deposit_permit(*st);
  }
  return Ref::none();
}

Ref stop_send_ticks(const Args& a) {
  PyObject* self = a.self();
  setattr(self, ORVA_NAME("exit_send_thread_flag"), Py_True);
  Ref status = status_dict(ORVA_NAME("exit_send_tick"));
  Ref ticks = getattr(self, ORVA_NAME("tick_queue"));
  queue_put(ticks.get(), status.get());
  return Ref::none();
}

}  // namespace orva::ticker

namespace orva::ticker {

PyObject* take_next_tick(PyObject* /*module*/, PyObject* ticker) {
  try {
    State* st = find_state(ticker);
    Ref item;
    if (!st) {
      Ref permits = getattr(ticker, ORVA_NAME("allow_next_tick_flag_queue"));
      queue_put(permits.get(), Py_True);
      Ref ticks = getattr(ticker, ORVA_NAME("tick_queue"));
      item = queue_try_get(ticks.get());
    } else {
      item = deposit_and_take(*st);
    }
    return item ? item.release() : Py_NewRef(Py_None);
  } catch (PyError&) {
    return nullptr;
  }
}

PyObject* feed_threads(PyObject* /*module*/, PyObject* ticker) {
  State* st = find_state(ticker);
  if (!st || !st->run_threads) return PyList_New(0);
  return PyList_GetSlice(st->run_threads.get(), 0, PY_SSIZE_T_MAX);
}

PyObject* backfill_error(PyObject* /*module*/, PyObject* ticker) {
  State* st = find_state(ticker);
  PyObject* error = st && st->backfill_error ? st->backfill_error.get() : Py_None;
  Py_INCREF(error);
  return error;
}

PyObject* end_feed(PyObject* /*module*/, PyObject* ticker) {
  State* st = find_state(ticker);
  if (st) {
    try {
      close_run(*st);
    } catch (PyError&) {
      return nullptr;
    }
  }
  Py_RETURN_NONE;
}

PyObject* stream_error(PyObject* /*module*/, PyObject* ticker) {
  State* st = find_state(ticker);
  PyObject* error = st && st->error ? st->error.get() : Py_None;
  Py_INCREF(error);
  return error;
}

}  // namespace orva::ticker

namespace orva::ticker {

PyObject* quote_ticks(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "quote_ticks(ticker, on) takes 2 arguments");
    return nullptr;
  }
  const int on = PyObject_IsTrue(args[1]);
  if (on < 0) return nullptr;
  try {
    state_of(args[0]).quotes = on != 0;
  } catch (PyError&) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

}  // namespace orva::ticker
