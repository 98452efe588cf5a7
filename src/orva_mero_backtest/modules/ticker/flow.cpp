#include "flow.hpp"

#include "queues.hpp"
#include "side_table.hpp"
#include "ticker.hpp"

namespace orva::ticker {

// ---------------------------------------------------------------------------------------------
// Per-Ticker state

namespace {

// Ticker -> its state; never freed (see WeakSideTable).
WeakSideTable<State>& states() {
  static auto* table = new WeakSideTable<State>();
  return *table;
}

// threading.current_thread, looked up when used (no cached import: a failed one is retried).
Ref current_thread() {
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref fn = getattr(threading.get(), ORVA_NAME("current_thread"));
  return Ref::steal(PyObject_CallNoArgs(fn.get()));
}

}  // namespace

State* find_state(PyObject* self) { return states().find(self); }

State& state_of(PyObject* self) {
  return states().get(self, [&] {
    Ref runs = Ref::steal(PyDict_New());
    auto* st = new State();
    st->self = self;
    st->thread_runs = std::move(runs);
    return st;
  });
}

void register_thread(State& st, PyObject* thread, std::shared_ptr<Machine> premade) {
  Ref run = Ref::steal(PyLong_FromUnsignedLongLong(st.run));
  dict_set(st.thread_runs.get(), thread, run.get());
  if (premade) st.premade.emplace_back(Ref::borrow(thread), std::move(premade));
}

void forget_thread(State& st, PyObject* thread) {
  if (PyDict_DelItem(st.thread_runs.get(), thread) < 0) PyErr_Clear();
  for (auto it = st.premade.begin(); it != st.premade.end(); ++it)
    if (it->first.get() == thread) {
      st.premade.erase(it);
      break;
    }
}

uint64_t run_of_current_thread(State& st, std::shared_ptr<Machine>* premade, bool* started) {
  Ref thread = current_thread();
  PyObject* found = PyDict_GetItemWithError(st.thread_runs.get(), thread.get());
  if (started) *started = found != nullptr;
  if (!found) {
    if (PyErr_Occurred()) throw_error();
    return st.run;
  }
  Ref run = Ref::borrow(found);  // the dict may change below
  uint64_t value = PyLong_AsUnsignedLongLong(run.get());
  if (PyErr_Occurred()) throw_error();
  if (premade)
    for (auto& entry : st.premade)
      if (entry.first.get() == thread.get()) *premade = entry.second;
  forget_thread(st, thread.get());
  return value;
}

Ref status_dict(PyObject* member_name) {
  Ref flag = global(ORVA_NAME("FLAG"));
  Ref member = getattr(flag.get(), member_name);
  Ref value = getattr(member.get(), ORVA_NAME("value"));
  Ref status = Ref::steal(PyDict_New());
  dict_set(status.get(), ORVA_NAME("orva_status"), value.get());
  return status;
}

// ---------------------------------------------------------------------------------------------
// Releasing ticks

namespace {

// The queues the Ticker holds now (other code may replace them).
Ref permit_queue(State& st) {
  return st.attrs.get(st.self, InstanceAttrs::PermitQueue, ORVA_NAME("allow_next_tick_flag_queue"));
}
Ref tick_queue(State& st) { return st.attrs.get(st.self, InstanceAttrs::TickQueue, ORVA_NAME("tick_queue")); }
Ref finish_queue(State& st) {
  return st.attrs.get(st.self, InstanceAttrs::FinishQueue, ORVA_NAME("backfilling_notify_finish_queue"));
}

bool ended(Phase p) {
  return p == Phase::Summary || p == Phase::Finished || p == Phase::Failed || p == Phase::Superseded;
}

// The owning thread waits on the permit queue's condition unless its machine waits for the
// backfill; a change it must act on is announced there.
void wake_owner(State& st) { queue_wake_all(permit_queue(st).get()); }

bool exit_flag(State& st) {
  return st.attrs.truthy(st.self, InstanceAttrs::ExitFlag, ORVA_NAME("exit_send_thread_flag"));
}
bool backfill_done_flag(State& st) {
  return st.attrs.truthy(st.self, InstanceAttrs::BackfillFlag, ORVA_NAME("backfilling_finish_flag"));
}

// Runs `fn` with the pending error put aside (and set again after): a wake-up must not see it.
template <class Fn>
void with_error_aside(Fn&& fn) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  try {
    fn();
  } catch (PyError&) {
    PyErr_Clear();
  }
  PyErr_Restore(type, value, traceback);
}

// tick_queue.put(tick) while keep(), or the hand-off to take_next_tick's caller.
template <class Keep>
bool put_tick(State& st, Ref& tick, const Keep& keep) {
  Ref ticks = tick_queue(st);
  if (st.handoff && !*st.handoff && queue_count_direct(ticks.get(), keep, st.tick_memo)) {
    *st.handoff = std::move(tick);
    return true;
  }
  return queue_put_if(ticks.get(), tick.get(), keep);
}

// NeedPermit's step with the permit queue `permits`: takes a queued permit (HasPermit, true) or
// parks `m` (false).
bool take_permit(State& st, const std::shared_ptr<Machine>& m, PyObject* permits) {
  if (queue_try_get_any(permits, st.permit_memo)) {
    m->phase = Phase::HasPermit;
    return true;
  }
  m->phase = Phase::Parked;
  st.parked.push_back(m);
  return false;
}

// Advances `m` until it waits for something or ends. Runs only while st.busy is held by the
// calling thread. A Python error raised by a step stays with the machine, except one outside
// the Exception family when `interruptible` (the consumer's own thread, in allow_next_tick):
// that one propagates and the machine is put back, as it was, first in line for its thread.
void advance(State& st, const std::shared_ptr<Machine>& m, bool interruptible) {
  PyObject* self = st.self;
  auto keep = [&] { return st.current(*m); };
  try {
    for (;;) {
      if (!st.current(*m)) {
        if (m->phase == Phase::HasPermit) ++st.owed;  // handed back
        m->phase = Phase::Superseded;
        wake_owner(st);
        return;
      }
      switch (m->phase) {
        case Phase::Top: {
          bool exit = false, backfill_done = false;
          Ref permits;  // read with the flags when they could be read at once
          const bool read = st.attrs.pass_reads(self, exit, backfill_done, permits);
          if (read ? exit : exit_flag(st)) {
            m->phase = Phase::Summary;
            wake_owner(st);
            return;
          }
          if (!(read ? backfill_done : backfill_done_flag(st))) {
            m->phase = Phase::WaitBackfill;
            wake_owner(st);
            return;
          }
          m->phase = Phase::NeedPermit;
          // Nothing ran since the reads: the permit queue read is the one NeedPermit would make.
          if (read && !take_permit(st, m, permits.get())) return;
          break;
        }
        case Phase::AfterBackfill: {
          Ref status = status_dict(ORVA_NAME("finish_backfilling"));
          if (queue_put_if(tick_queue(st).get(), status.get(), keep)) m->phase = Phase::NeedPermit;
          break;
        }
        case Phase::NeedPermit:
          if (!take_permit(st, m, permit_queue(st).get())) return;
          break;
        case Phase::HasPermit: {
          const bool backfill = m->role == Role::Backfill;
          std::shared_ptr<TickRows> rows = m->rows;
          if (!rows) {  // its owner let go of them: the run ended while this thread built a tick
            ++st.owed;
            m->phase = Phase::Superseded;
            return;
          }
          Ref tick = rows->next(self, backfill, st.attrs, st.quotes);
          if (!tick && backfill) {  // fewer rows than counted: the permit released nothing
            ++st.owed;
            m->phase = Phase::Finished;
            wake_owner(st);
            return;
          }
          if (!tick) {
            if (st.current(*m)) setattr(self, ORVA_NAME("exit_send_thread_flag"), Py_True);
            Ref status = status_dict(ORVA_NAME("exit_send_tick"));
            if (!queue_put_if(tick_queue(st).get(), status.get(), keep)) break;  // superseded: handed back above
            m->phase = Phase::Summary;
            wake_owner(st);
            return;
          }
          if (!put_tick(st, tick, keep)) break;
          ++m->sent;
          if (!backfill) {
            m->phase = Phase::Top;
          } else if (m->sent >= m->total) {
            m->phase = Phase::Finished;
            wake_owner(st);
            return;
          } else {
            m->phase = Phase::NeedPermit;
          }
          break;
        }
        default:
          return;
      }
    }
  } catch (PyError&) {
    if (interruptible && !PyErr_ExceptionMatches(PyExc_Exception)) {
      st.runnable.push_front(m);
      with_error_aside([&] { wake_owner(st); });
      throw;
    }
    // A permit held by a failing step is handed back: the run ends, but unused permits carry over.
    if (m->phase == Phase::HasPermit) ++st.owed;
    m->error = Caught::fetch();
    m->phase = Phase::Failed;
    with_error_aside([&] { wake_owner(st); });
  }
}

// Takes st.busy and applies everything that is due: runnable machines, then owed permits
// (each releasing the first parked machine's tick, or going to the queue when none waits).
void step_all(State& st, bool interruptible) {
  st.busy = true;
  struct Release {
    State& st;
    ~Release() {
      if (holds_gil()) st.busy = false;
    }
  } release{st};
  for (;;) {
    if (!st.runnable.empty()) {
      auto m = std::move(st.runnable.front());
      st.runnable.pop_front();
      advance(st, m, interruptible);
    } else if (st.owed > 0 && !st.parked.empty()) {
      --st.owed;
      auto m = std::move(st.parked.front());
      st.parked.pop_front();
      m->phase = Phase::HasPermit;
      advance(st, m, interruptible);
    } else if (st.owed > 0) {
      --st.owed;
      queue_put(permit_queue(st).get(), Py_True);
    } else {
      break;
    }
  }
}

void make_runnable(State& st, const std::shared_ptr<Machine>& m) {
  st.runnable.push_back(m);
  if (!st.busy) step_all(st, false);
}

template <class Seq>
void remove_machine(Seq& seq, const Machine* m) {
  for (auto it = seq.begin(); it != seq.end(); ++it)
    if (it->get() == m) {
      seq.erase(it);
      return;
    }
}

}  // namespace

void first_pass(State& st, Machine& m) {
  if (exit_flag(st)) return;  // left to the thread's own pass
  m.phase = backfill_done_flag(st) ? Phase::NeedPermit : Phase::WaitBackfill;
}

namespace {

void end_run(State& st) {
  ++st.run;
  st.premade.clear();  // machines of threads that never began (a replaced sender method)
  st.parked.clear();
  st.runnable.clear();
  queue_wake_all(permit_queue(st).get());
  queue_wake_all(finish_queue(st).get());
}

}  // namespace

void close_run(State& st) {
  end_run(st);
  // A permit handed back by a machine that stopped holding one is owed; nobody is parked to take it.
  if (!st.busy) step_all(st, false);
}

void begin_run(State& st) {
  st.error = Ref();
  st.backfill_error = Ref();
  st.run_threads = Ref();
  end_run(st);
}

void put_status(State& st, PyObject* member, uint64_t run) {
  if (st.run != run) return;
  Ref status = status_dict(member);
  Ref ticks = tick_queue(st);
  queue_put_if(ticks.get(), status.get(), [&] { return st.run == run; });
}

void fail_run(State& st, uint64_t run, const Caught& error) {
  if (st.run != run) return;
  st.error = error.value;
  setattr(st.self, ORVA_NAME("exit_send_thread_flag"), Py_True);
  put_status(st, ORVA_NAME("exit_send_tick"), run);
  if (st.run != run) return;
  end_run(st);
  // A permit handed back by a failed step is owed; nobody is parked any more to take it.
  if (!st.busy) step_all(st, false);
}

void deposit_permit(State& st) {
  if (st.busy) {
    ++st.owed;
    return;
  }
  if (st.parked.empty()) {
    queue_put(permit_queue(st).get(), Py_True);
    return;
  }
  ++st.owed;
  step_all(st, true);
}

Ref deposit_and_take(State& st) {
  Ref handed;
  if (!st.busy && !st.parked.empty()) {
    st.handoff = &handed;
    try {
      deposit_permit(st);
    } catch (PyError&) {
      st.handoff = nullptr;
      // Released but not taken: it stays the next item of tick_queue.
      if (handed) with_error_aside([&] { queue_put_front(tick_queue(st).get(), handed.get()); });
      throw;
    }
    st.handoff = nullptr;
    if (handed) return handed;
  } else {
    deposit_permit(st);
  }
  return queue_try_get(tick_queue(st).get());
}

void drive(State& st, const std::shared_ptr<Machine>& m) {
  // If this thread leaves early (an error while waiting), its machine must not stay parked.
  struct Leave {
    State& st;
    const std::shared_ptr<Machine>& m;
    ~Leave() {
      if (!holds_gil() || ended(m->phase)) return;
      remove_machine(st.parked, m.get());
      remove_machine(st.runnable, m.get());
      m->phase = Phase::Superseded;
    }
  } leave{st, m};
  make_runnable(st, m);
  // Whether something is due that this thread must apply: it leaves its wait to do it.
  auto due = [&] { return !st.busy && !st.runnable.empty(); };
  for (;;) {
    if (!st.current(*m) && !ended(m->phase)) {
      remove_machine(st.parked, m.get());
      remove_machine(st.runnable, m.get());
      m->phase = Phase::Superseded;
    }
    if (ended(m->phase)) return;
    if (due()) {
      step_all(st, false);
      continue;
    }
    if (m->phase == Phase::WaitBackfill) {
      Ref item =
          queue_wait_take(finish_queue(st).get(), [&] { return !st.current(*m) || due(); }, [] { return true; });
      if (item) {
        m->phase = Phase::AfterBackfill;
        make_runnable(st, m);
      }
      continue;
    }
    Ref permit = queue_wait_take(
        permit_queue(st).get(),
        [&] { return !st.current(*m) || m->phase == Phase::WaitBackfill || ended(m->phase) || due(); },
        [&] { return !st.parked.empty(); });
    if (permit) {
      // Put straight on the queue by other code: it releases the first parked machine's tick.
      ++st.owed;
      if (!st.busy) step_all(st, false);
    }
  }
}

}  // namespace orva::ticker
