// The permit protocol of a streaming run.
//
// The sender (main range) and the backfill (backfill range) are each a small state machine
// (`Machine`) owned by its daemon thread. A machine that needs a permit is parked on its
// Ticker's `State`. Whoever deposits a permit then advances the first parked machine itself
// (builds the tick dict and puts it), so a tick costs no thread handoff. One thread at a time
// advances the machines of a Ticker (`State::busy`); a permit that arrives meanwhile is owed
// and applied by that thread before it lets go, so depositing never waits. All of this state
// is read and written with the GIL held and without releasing it in between, which makes
// the GIL its lock. The owning threads sleep on the queues' own conditions, so permits put
// straight onto `allow_next_tick_flag_queue` wake them and still release ticks.
//
// Each send_ticks begins a new run (`State::run`); machines of an earlier run put nothing
// more on tick_queue, hand back a permit they hold, and their threads end.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>

#include "attrs.hpp"
#include "pyref.hpp"
#include "queues.hpp"
#include "rows.hpp"

namespace orva::ticker {

struct State;

enum class Role { Sender, Backfill };

enum class Phase {
  Top,            // sender: top of a pass (reads the flags)
  AfterBackfill,  // sender: the backfill's end arrived; puts the finish status
  NeedPermit,     // takes a queued permit, else parks
  HasPermit,      // holds a permit: releases one tick
  Parked,         // waits for a permit (in State::parked)
  WaitBackfill,   // sender: its thread waits on backfilling_notify_finish_queue
  Summary,        // sender: the loop is over; its thread prints the summary
  Finished,       // backfill: rows done; its thread notifies the finish
  Failed,         // a step raised; its thread reports it
  Superseded,     // a newer run began
};

struct Machine {
  Machine(Role r, State* s, uint64_t run_no) : role(r), st(s), run(run_no) {}
  Role role;
  State* st;
  uint64_t run;
  Phase phase = Phase::Top;
  // Shared: a thread advancing the machine (allow_next_tick's caller) keeps the rows it is reading
  // while the owning thread, seeing its run end meanwhile, lets go of them.
  std::shared_ptr<TickRows> rows;
  Py_ssize_t total = 0;
  Py_ssize_t sent = 0;
  Caught error;
};

// Hidden per-Ticker state (kept out of the instance __dict__; dropped with the Ticker).
struct State {
  PyObject* self = nullptr;  // borrowed: the Ticker outlives every use
  uint64_t run = 0;
  bool busy = false;
  long owed = 0;
  std::deque<std::shared_ptr<Machine>> parked, runnable;
  Ref thread_runs;  // {Thread: run} for threads send_ticks started and that have not begun yet
  // Sender machines send_ticks made for its thread, which takes its own when it begins.
  std::deque<std::pair<Ref, std::shared_ptr<Machine>>> premade;
  Ref backfill_error;  // the exception that cut the latest run's backfill short, or empty
  Ref error;  // the exception that ended the latest run early (sender or backfill failure), or empty
  // The threads the latest send_ticks started (a list, or empty), for feed_threads(). A thread
  // drops its target (and so this Ticker) when it ends: no lasting cycle.
  Ref run_threads;
  // Set by take_next_tick while it deposits its permit: the first tick released then, when the
  // tick queue is empty and nobody waits on it, goes here instead of through the queue.
  Ref* handoff = nullptr;
  InstanceAttrs attrs;  // self's attributes read for every tick
  // What the tick queue and the permit queue were found holding last (each is looked at every tick).
  QueueMemo tick_memo, permit_memo;
  bool quotes = false;  // set by quote_ticks(): ticks carry the row's best quote

  bool current(const Machine& m) const { return m.run == run; }
};

// The state of `self`, made on first use.
State& state_of(PyObject* self);
// The state of `self` if it has one.
State* find_state(PyObject* self);

// Begins a new run: machines of earlier runs stop and their threads are woken to end.
void begin_run(State& st);
// Ends the current run for good (end_feed): its machines stop and their threads are woken to end.
void close_run(State& st);
// Ends run `run` early because of `error` (if it is still the current one): the error is kept
// for stream_error(), the consumer gets the exit status, and the run's machines stop (a
// permit one of them holds goes back to the queue).
void fail_run(State& st, uint64_t run, const Caught& error);
// The run the calling thread belongs to (its send_ticks, else the current run), and the
// machine send_ticks made for it, if any; `started` tells whether send_ticks started the thread.
uint64_t run_of_current_thread(State& st, std::shared_ptr<Machine>* premade = nullptr, bool* started = nullptr);
// Records that `thread` (not yet started) belongs to the current run, with its machine.
void register_thread(State& st, PyObject* thread, std::shared_ptr<Machine> premade = nullptr);
void forget_thread(State& st, PyObject* thread);

// The sender's first look at the flags, made when send_ticks starts its thread: whether the
// run begins by waiting for the backfill is settled then, not whenever the thread gets to run.
void first_pass(State& st, Machine& m);

// A permit from allow_next_tick: releases a parked machine's tick now, or is queued. An
// exception outside the Exception family (KeyboardInterrupt) raised while building that tick
// propagates to the caller; the machine keeps its permit and its thread goes on with it.
void deposit_permit(State& st);

// deposit_permit for the consumer's own thread: the tick it releases is returned (taken as
// pop_tick would take it) when it could be handed over directly, else the queue's first item if
// one waits, else an empty Ref (the caller waits on tick_queue as usual).
Ref deposit_and_take(State& st);

// Runs `m` on the calling thread until it reaches an end (Summary, Finished, Failed,
// Superseded), taking part in releasing ticks while it waits.
void drive(State& st, const std::shared_ptr<Machine>& m);

// {"orva_status": FLAG.<member>.value}
Ref status_dict(PyObject* member_name);

// tick_queue.put(status) while `run` is current.
void put_status(State& st, PyObject* member, uint64_t run);

}  // namespace orva::ticker
