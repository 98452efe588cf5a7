// Put and get on queue.Queue objects without going through its Python-level methods.
//
// For an unbounded queue.Queue (the exact class) these do what Queue.put and Queue.get do,
// under the queue's own mutex and notifying its conditions only when a thread waits on them,
// so they mix freely with Python code using the same queue. Any other object is driven
// through its own put/get.
#pragma once

#include "pyref.hpp"

namespace orva {

// q.put(item)
void queue_put(PyObject* q, PyObject* item);

// q.get(): waits as long as it takes.
Ref queue_get(PyObject* q);

// q.get_nowait() without the exception: an empty Ref when nothing is queued.
Ref queue_try_get(PyObject* q);

// Removes every queued item (what a loop of get_nowait() until Empty does).
void queue_clear(PyObject* q);

// len(q.queue) for a queue.Queue, else q.qsize().
Py_ssize_t queue_size(PyObject* q);

}  // namespace orva
