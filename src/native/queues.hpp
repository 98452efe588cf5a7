// Put and get on queue.Queue objects without going through its Python-level methods.
//
// For an unbounded queue.Queue (the exact class) these do what Queue.put and Queue.get do,
// under the queue's own mutex and notifying its conditions only when a thread waits on them,
// so they mix freely with Python code using the same queue. Any other object is driven
// through its own put/get/get_nowait (an object without them raises TypeError).
//
// Blocking waits wake every 50 ms and look at signals (PyErr_CheckSignals), so Ctrl-C raises
// KeyboardInterrupt even under a SIGINT handler that makes interrupted waits restart (polars
// installs one).
#pragma once

#include <functional>
#include <type_traits>

#include "fastpaths.hpp"
#include "pyref.hpp"

namespace orva {

// q.put(item)
void queue_put(PyObject* q, PyObject* item);

// q.put(item) unless `keep()` says no, asked under the queue's mutex (so nothing that is
// decided under the same mutex can slip in between); whether the item was put.
bool queue_put_if(PyObject* q, PyObject* item, const std::function<bool()>& keep);

// q.put(item) for an unbounded plain queue.Queue whose mutex is free, as Queue.put does it
// (shortcut); false (nothing changed) otherwise. queue_put tries it first. When it answers true,
// `*quiet` (if given) tells whether it ran no Python code (no waiter needed waking).
bool queue_put_quick(PyObject* q, PyObject* item, bool* quiet = nullptr);

// q.get() for a plain queue.Queue whose mutex is free and that holds an item, as Queue.get does it
// (shortcut); an empty Ref (nothing changed) otherwise.
Ref queue_pop_quick(PyObject* q);

// q.get(): waits as long as it takes (in slices; KeyboardInterrupt ends it).
Ref queue_get(PyObject* q);

// q.get(timeout=seconds) without the exception: an empty Ref when nothing came within `seconds`
// (looked at every 50 ms). Unlike Queue.get, a Ctrl-C never leaves a plain queue's mutex held.
Ref queue_get_within(PyObject* q, double seconds);

// q.get_nowait() without the exception: an empty Ref when nothing is queued.
Ref queue_try_get(PyObject* q);

// queue_try_get, answering at once (without the mutex) when a plain queue.Queue holds nothing: an
// item put meanwhile is one put just after this call, as the queue's own waiters see it.
Ref queue_try_get_any(PyObject* q);

// Waits on the queue until `stop()` (an empty Ref), or until an item is there while `take()`
// holds (the item, taken). Both are asked under the queue's mutex, so a change followed by
// queue_wake_all() is never missed.
Ref queue_wait_take(PyObject* q, const std::function<bool()>& stop, const std::function<bool()>& take);

// Wakes every thread in queue_wait_take() on `q`, to look at stop() and take() again.
void queue_wake_all(PyObject* q);

// Removes every queued item (what a loop of get_nowait() until Empty does).
void queue_clear(PyObject* q);

// For a hand-off that skips the queue: when `q` is a plain queue.Queue holding nothing, with no
// thread waiting to take from it, and `keep()` (asked under its mutex) holds, counts an item as put
// and taken at once (unfinished_tasks + 1, as put then get leave it) and returns true; the caller
// then passes the item on itself. Otherwise changes nothing and returns false.
bool queue_count_direct(PyObject* q, const std::function<bool()>& keep);

// What the last look at one queue found it holding, for a caller that looks at the same queue on
// every tick (the feed's tick and permit queues): while the queue's instance dict is unchanged since
// (its version tag; on 3.12+ the same objects at the places its keys were found), the look is not
// made again, and the count the dict holds is known here too (the int last written is ours). Holds
// what it compares, so an identity is never that of a freed object. Filled and read by queues.cpp
// only, with the fast paths on; use with the GIL held.
struct QueueMemo {
  static constexpr int kMaxAttrs = 16;
  Ref q, dict;
  Ref values[kMaxAttrs];  // the dict's values in the order of the attribute names learned at load
  int n = 0;              // 0: nothing known
  int unfinished_at = -1;
  long long count = 0;    // the value of values[unfinished_at]
  Ref spare;              // the count before it, given the next count in place if nobody else took it
  DictGuard guard;        // the dict as it was when values were read or last written here
  PyObject* items = nullptr;      // q.queue, q.mutex and q.not_empty, held through values
  PyObject* mutex = nullptr;
  PyObject* not_empty = nullptr;
  // not_empty's instance dict and its _waiters, as last found (held); empty when not known.
  Ref cond_dict, waiters;
  DictGuard cond_guard;
  // With entry hints (3.12+): the split key table of dict (compared only), a split dict over it that
  // keeps it alive, and the index of each attribute in it; null when the values are not read by index.
  const void* table = nullptr;
  Ref table_holder;
  signed char ix[kMaxAttrs] = {};
  void forget() { n = 0; }
};

// A callable borrowed for the length of one call: nothing is copied or allocated, where making a
// std::function of it would be (asked on every tick).
class KeepRef {
 public:
  template <class F, class = std::enable_if_t<!std::is_same_v<std::decay_t<F>, KeepRef>>>
  KeepRef(const F& f) : fn_(&f), call_([](const void* fn) { return static_cast<bool>((*static_cast<const F*>(fn))()); }) {}
  bool operator()() const { return call_(fn_); }

 private:
  const void* fn_;
  bool (*call_)(const void*);
};

// queue_count_direct for a caller keeping `memo` for `q`.
bool queue_count_direct(PyObject* q, KeepRef keep, QueueMemo& memo);

// queue_try_get_any for a caller keeping `memo` for `q`.
Ref queue_try_get_any(PyObject* q, QueueMemo& memo);

// Puts `item` first in line (it was counted by queue_count_direct and is given back untaken).
void queue_put_front(PyObject* q, PyObject* item);

// len(q.queue) for a queue.Queue, else q.qsize().
Py_ssize_t queue_size(PyObject* q);

}  // namespace orva
