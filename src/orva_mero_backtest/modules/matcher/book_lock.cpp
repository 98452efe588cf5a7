// The book lock of a Matcher: re-entrant like _thread.RLock (owner and count, read and written
// with the GIL held). A thread that has to wait lets the others run, and wakes every few
// milliseconds to run signal handlers: an interrupted wait is restarted by handlers installed
// with SA_RESTART (polars does), so Ctrl-C would otherwise never end it.
#include <climits>

#include "matcher.hpp"

namespace orva::matcher {

namespace {

constexpr PY_TIMEOUT_T kSliceMicros = 50'000;

void acquire(BookMutex& m) {
  const unsigned long me = PyThread_get_thread_ident();
  if (m.count > 0 && m.owner == me) {
    if (m.count == ULONG_MAX) raise(PyExc_OverflowError, "Internal lock count overflowed");
    ++m.count;
    return;
  }
  if (m.count > 0) {
    // Held by another thread, which needs the GIL to let it go: sleep without it until woken (or
    // for a slice, to run signal handlers), then look again with it.
    ++m.waiters;
    while (m.count > 0) {
      PyLockStatus r;
      Py_BEGIN_ALLOW_THREADS
      r = PyThread_acquire_lock_timed(m.wake, kSliceMicros, 0);
      Py_END_ALLOW_THREADS
      if (r == PY_LOCK_ACQUIRED) m.woken = false;  // wake is held again, for the next wait
      if (m.count > 0 && PyErr_CheckSignals() < 0) {
        --m.waiters;
        throw_error();
      }
    }
    --m.waiters;
  }
  m.owner = me;
  m.count = 1;
}

void release(BookMutex& m) {
  if (--m.count == 0) {
    m.owner = 0;
    if (m.waiters > 0 && !m.woken) {
      m.woken = true;
      PyThread_release_lock(m.wake);
    }
  }
}

}  // namespace

BookMutex* new_book_mutex() {
  PyThread_type_lock wake = PyThread_allocate_lock();
  if (!wake) raise(PyExc_MemoryError, "cannot allocate the book lock");
  PyThread_acquire_lock(wake, WAIT_LOCK);  // a new lock: free
  return new BookMutex{wake, 0, 0, 0, false};
}

void free_book_mutex(BookMutex* m) {
  if (!m) return;
  if (!m->woken) PyThread_release_lock(m->wake);
  PyThread_free_lock(m->wake);
  delete m;
}

BookLock::BookLock(PyObject* self) {
  BookMutex* mutex = instance(self).mutex;
  acquire(*mutex);
  mutex_ = mutex;
}

BookLock::~BookLock() {
  // A daemon thread unwound at exit has no GIL: the lock dies with the process.
  if (!mutex_ || !holds_gil()) return;
  release(*mutex_);
}

}  // namespace orva::matcher
