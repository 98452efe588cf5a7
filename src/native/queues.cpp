#include "queues.hpp"

namespace orva {

namespace {

// queue.Queue, imported once and kept for the life of the process.
PyObject* queue_class() {
  static PyObject* cls = [] {
    PyObject* mod = PyImport_ImportModule("queue");
    if (!mod) return static_cast<PyObject*>(nullptr);
    PyObject* c = PyObject_GetAttrString(mod, "Queue");
    Py_DECREF(mod);
    return c;
  }();
  if (!cls) throw_error();
  return cls;
}

// Whether the fast path applies: exactly queue.Queue, unbounded.
bool plain_queue(PyObject* q) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) != queue_class()) return false;
  Ref maxsize = getattr(q, ORVA_NAME("maxsize"));
  if (!PyLong_CheckExact(maxsize.get())) return false;
  long v = PyLong_AsLong(maxsize.get());
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v <= 0;
}

// Holds q.mutex; released on every way out (but not without the GIL, at interpreter exit).
class Locked {
 public:
  explicit Locked(PyObject* q) : mutex_(getattr(q, ORVA_NAME("mutex"))) {
    call_method(mutex_.get(), ORVA_NAME("acquire"));
  }
  ~Locked() {
    if (!PyGILState_Check()) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* r = PyObject_CallMethodNoArgs(mutex_.get(), ORVA_NAME("release"));
    Py_XDECREF(r);
    if (!r) PyErr_Clear();
    PyErr_Restore(t, v, tb);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Ref mutex_;
};

// cond.notify() when a thread waits on cond (notify is a no-op otherwise).
void notify_waiter(PyObject* q, PyObject* cond_name) {
  Ref cond = getattr(q, cond_name);
  Ref waiters = getattr(cond.get(), ORVA_NAME("_waiters"));
  Py_ssize_t n = PyObject_Length(waiters.get());
  if (n < 0) throw_error();
  if (n > 0) call_method(cond.get(), ORVA_NAME("notify"));
}

}  // namespace

void queue_put(PyObject* q, PyObject* item) {
  if (!plain_queue(q)) {
    call_method(q, ORVA_NAME("put"), {item});
    return;
  }
  Locked lock(q);
  Ref items = getattr(q, ORVA_NAME("queue"));
  call_method(items.get(), ORVA_NAME("append"), {item});
  Ref unfinished = getattr(q, ORVA_NAME("unfinished_tasks"));
  Ref one = py_long(1);
  Ref next = Ref::steal(PyNumber_Add(unfinished.get(), one.get()));
  setattr(q, ORVA_NAME("unfinished_tasks"), next.get());
  notify_waiter(q, ORVA_NAME("not_empty"));
}

Ref queue_try_get(PyObject* q) {
  if (!plain_queue(q)) {
    try {
      return call_method(q, ORVA_NAME("get_nowait"));
    } catch (PyError&) {
      Ref empty = getattr(PyImport_AddModule("queue"), ORVA_NAME("Empty"));
      if (!PyErr_ExceptionMatches(empty.get())) throw;
      PyErr_Clear();
      return Ref();
    }
  }
  Locked lock(q);
  Ref items = getattr(q, ORVA_NAME("queue"));
  Py_ssize_t n = PyObject_Length(items.get());
  if (n < 0) throw_error();
  if (n == 0) return Ref();
  Ref item = call_method(items.get(), ORVA_NAME("popleft"));
  notify_waiter(q, ORVA_NAME("not_full"));
  return item;
}

Ref queue_get(PyObject* q) {
  Ref item = queue_try_get(q);
  if (item) return item;
  return call_method(q, ORVA_NAME("get"));
}

void queue_clear(PyObject* q) {
  while (queue_try_get(q)) {
  }
}

Py_ssize_t queue_size(PyObject* q) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) == queue_class()) {
    Ref items = getattr(q, ORVA_NAME("queue"));
    Py_ssize_t n = PyObject_Length(items.get());
    if (n < 0) throw_error();
    return n;
  }
  Ref n = call_method(q, ORVA_NAME("qsize"));
  Py_ssize_t v = PyLong_AsSsize_t(n.get());
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

}  // namespace orva
