#include "queues.hpp"

namespace orva {

namespace {

// ---- What the fast path relies on ------------------------------------------------------------
// queue.Queue and threading.Condition as first seen, and the C methods of the mutex and the
// deque. Kept for the life of the process (never released).

struct Known {
  PyObject* queue_cls = nullptr;
  PyObject* cond_cls = nullptr;
  PyTypeObject* lock_type = nullptr;
  PyTypeObject* deque_type = nullptr;
  PyObject* acquire = nullptr;  // method descriptors, called with the object first
  PyObject* release = nullptr;
  PyObject* append = nullptr;
  PyObject* popleft = nullptr;
  PyObject* queue_methods = nullptr;  // tuple: the class's own put, get, ... as first seen
  PyObject* notify = nullptr;         // threading.Condition.notify as first seen
  unsigned queue_version = 0;         // class versions found unchanged (0: check again)
  unsigned cond_version = 0;
};

const char* const kQueueMethods[] = {"put", "get", "put_nowait", "get_nowait", "qsize",
                                     "empty", "_put", "_get", "_qsize", "_init"};

PyObject* type_attr(PyObject* cls, const char* name) {
  PyObject* key = PyUnicode_InternFromString(name);
  if (!key) throw_error();
  PyObject* v = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), key);
  Py_DECREF(key);
  return v;  // borrowed, may be NULL
}

Known& known() {
  static Known* k = [] {
    auto* s = new Known();
    Ref queue_mod = Ref::steal(PyImport_ImportModule("queue"));
    s->queue_cls = getattr(queue_mod.get(), ORVA_NAME("Queue")).release();
    Ref threading = Ref::steal(PyImport_ImportModule("threading"));
    s->cond_cls = getattr(threading.get(), ORVA_NAME("Condition")).release();
    Ref lock = call_method(threading.get(), ORVA_NAME("Lock"));
    s->lock_type = Py_TYPE(lock.get());
    Py_INCREF(s->lock_type);
    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    Ref deque = getattr(collections.get(), ORVA_NAME("deque"));
    s->deque_type = reinterpret_cast<PyTypeObject*>(deque.release());
    s->acquire = getattr(reinterpret_cast<PyObject*>(s->lock_type), ORVA_NAME("acquire")).release();
    s->release = getattr(reinterpret_cast<PyObject*>(s->lock_type), ORVA_NAME("release")).release();
    s->append = getattr(reinterpret_cast<PyObject*>(s->deque_type), ORVA_NAME("append")).release();
    s->popleft = getattr(reinterpret_cast<PyObject*>(s->deque_type), ORVA_NAME("popleft")).release();
    constexpr Py_ssize_t n = sizeof(kQueueMethods) / sizeof(kQueueMethods[0]);
    Ref methods = Ref::steal(PyTuple_New(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* m = type_attr(s->queue_cls, kQueueMethods[i]);
      if (!m) m = Py_None;
      Py_INCREF(m);
      PyTuple_SET_ITEM(methods.get(), i, m);
    }
    s->queue_methods = methods.release();
    s->notify = type_attr(s->cond_cls, "notify");
    Py_XINCREF(s->notify);
    return s;
  }();
  return *k;
}

// Whether `type`'s attributes have not changed since `*version` was recorded: a class whose
// dict (or a base's) changes gets a new version tag.
bool same_version(PyTypeObject* type, unsigned version) {
  return version != 0 && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version;
}

void record_version(PyTypeObject* type, unsigned* version) {
  *version = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

// The names read from the instance dicts must not be data descriptors of the class (they would
// come first), and the methods the fast path stands for must be the class's own.
bool no_data_descriptor(PyObject* cls, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    PyObject* d = type_attr(cls, name);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  return true;
}

bool queue_class_unchanged(Known& k) {
  auto* type = reinterpret_cast<PyTypeObject*>(k.queue_cls);
  if (same_version(type, k.queue_version)) return true;
  k.queue_version = 0;
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  if (!no_data_descriptor(k.queue_cls, {"maxsize", "queue", "mutex", "not_empty", "not_full", "all_tasks_done",
                                        "unfinished_tasks"}))
    return false;
  constexpr Py_ssize_t n = sizeof(kQueueMethods) / sizeof(kQueueMethods[0]);
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* m = type_attr(k.queue_cls, kQueueMethods[i]);
    if ((m ? m : Py_None) != PyTuple_GET_ITEM(k.queue_methods, i)) return false;
  }
  record_version(type, &k.queue_version);
  return true;
}

bool cond_class_unchanged(Known& k) {
  auto* type = reinterpret_cast<PyTypeObject*>(k.cond_cls);
  if (same_version(type, k.cond_version)) return true;
  k.cond_version = 0;
  if (type->tp_getattro != PyObject_GenericGetAttr || !k.notify) return false;
  if (!no_data_descriptor(k.cond_cls, {"_waiters"}) || type_attr(k.cond_cls, "notify") != k.notify) return false;
  record_version(type, &k.cond_version);
  return true;
}

PyObject* entry(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

// q's instance dict when q is exactly queue.Queue (its class unchanged), unbounded, holding just
// the attributes Queue.__init__ gives it, with a plain lock and deque. Else NULL: the slow way.
PyObject* plain_dict(PyObject* q) {
  Known& k = known();
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) != k.queue_cls || !queue_class_unchanged(k)) return nullptr;
  PyObject** dictptr = _PyObject_GetDictPtr(q);
  if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return nullptr;
  PyObject* d = *dictptr;
  // Exactly the seven attributes of a new queue: no instance attribute hides a method.
  if (PyDict_GET_SIZE(d) != 7 || !entry(d, ORVA_NAME("all_tasks_done")) || !entry(d, ORVA_NAME("not_full")) ||
      !entry(d, ORVA_NAME("not_empty")) || !entry(d, ORVA_NAME("unfinished_tasks")))
    return nullptr;
  PyObject* maxsize = entry(d, ORVA_NAME("maxsize"));
  if (!maxsize || !PyLong_CheckExact(maxsize)) return nullptr;
  int overflow = 0;
  long v = PyLong_AsLongAndOverflow(maxsize, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error();
  if (overflow > 0 || v > 0) return nullptr;
  PyObject* items = entry(d, ORVA_NAME("queue"));
  PyObject* mutex = entry(d, ORVA_NAME("mutex"));
  if (!items || Py_TYPE(items) != k.deque_type || !mutex || Py_TYPE(mutex) != k.lock_type) return nullptr;
  return d;
}

// q.<name>, from `dict` (q's instance dict, checked by plain_dict) when it is there.
Ref attr_of(PyObject* q, PyObject* dict, PyObject* name) {
  PyObject* v = entry(dict, name);
  return v ? Ref::borrow(v) : getattr(q, name);
}

// Whether the fast path applies: exactly queue.Queue, unbounded.
bool plain_queue(PyObject* q) {
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) != known().queue_cls) return false;
  Ref maxsize = getattr(q, ORVA_NAME("maxsize"));
  if (!PyLong_CheckExact(maxsize.get())) return false;
  long v = PyLong_AsLong(maxsize.get());
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v <= 0;
}

// Holds a mutex; released on every way out (but not without the GIL, at interpreter exit).
class Locked {
 public:
  // q.mutex, found by attribute
  explicit Locked(PyObject* q) : mutex_(getattr(q, ORVA_NAME("mutex"))) {
    call_method(mutex_.get(), ORVA_NAME("acquire"));
  }
  // a _thread.lock, through its own C methods
  Locked(PyObject* mutex, bool) : mutex_(Ref::borrow(mutex)), direct_(true) {
    PyObject* self = mutex;
    Ref::steal(PyObject_Vectorcall(known().acquire, &self, 1, nullptr));
  }
  ~Locked() {
    if (!holds_gil()) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* self = mutex_.get();
    PyObject* r = direct_ ? PyObject_Vectorcall(known().release, &self, 1, nullptr)
                          : PyObject_CallMethodNoArgs(mutex_.get(), ORVA_NAME("release"));
    Py_XDECREF(r);
    if (!r) PyErr_Clear();
    PyErr_Restore(t, v, tb);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Ref mutex_;
  bool direct_ = false;
};

// cond.notify() when a thread waits on cond (notify is a no-op otherwise).
void notify_waiter(PyObject* q, PyObject* cond_name) {
  Ref cond = getattr(q, cond_name);
  Ref waiters = getattr(cond.get(), ORVA_NAME("_waiters"));
  Py_ssize_t n = PyObject_Length(waiters.get());
  if (n < 0) throw_error();
  if (n > 0) call_method(cond.get(), ORVA_NAME("notify"));
}

// The same for a condition taken from a plain queue's dict.
void notify_cond(PyObject* cond) {
  Known& k = known();
  Ref keep = Ref::borrow(cond);
  Ref waiters;
  PyObject** dictptr = reinterpret_cast<PyObject*>(Py_TYPE(cond)) == k.cond_cls && cond_class_unchanged(k)
                           ? _PyObject_GetDictPtr(cond)
                           : nullptr;
  PyObject* found = dictptr && *dictptr ? entry(*dictptr, ORVA_NAME("_waiters")) : nullptr;
  waiters = found ? Ref::borrow(found) : getattr(cond, ORVA_NAME("_waiters"));
  Py_ssize_t n = PyObject_Length(waiters.get());
  if (n < 0) throw_error();
  if (n > 0) call_method(cond, ORVA_NAME("notify"));
}

// The queue's dict as it is once the mutex is held (another thread may have run while
// this one waited for it).
PyObject* dict_now(PyObject* q) {
  PyObject** dictptr = _PyObject_GetDictPtr(q);
  return dictptr && *dictptr && PyDict_CheckExact(*dictptr) ? *dictptr : nullptr;
}

void fast_put(PyObject* q, PyObject* dict, PyObject* item) {
  Ref mutex = Ref::borrow(entry(dict, ORVA_NAME("mutex")));
  Locked lock(mutex.get(), true);
  Ref d = Ref::borrow(dict_now(q));
  if (!d) raise(PyExc_RuntimeError, "the queue's attributes changed during put");
  Ref items = attr_of(q, d.get(), ORVA_NAME("queue"));
  if (Py_TYPE(items.get()) == known().deque_type) {
    PyObject* args[] = {items.get(), item};
    Ref::steal(PyObject_Vectorcall(known().append, args, 2, nullptr));
  } else {
    call_method(items.get(), ORVA_NAME("append"), {item});
  }
  Ref unfinished = attr_of(q, d.get(), ORVA_NAME("unfinished_tasks"));
  Ref one = py_long(1);
  Ref next = Ref::steal(PyNumber_Add(unfinished.get(), one.get()));
  dict_set(d.get(), ORVA_NAME("unfinished_tasks"), next.get());
  notify_cond(attr_of(q, d.get(), ORVA_NAME("not_empty")).get());
}

Ref fast_try_get(PyObject* q, PyObject* dict) {
  Ref mutex = Ref::borrow(entry(dict, ORVA_NAME("mutex")));
  Locked lock(mutex.get(), true);
  Ref d = Ref::borrow(dict_now(q));
  if (!d) raise(PyExc_RuntimeError, "the queue's attributes changed during get");
  Ref items = attr_of(q, d.get(), ORVA_NAME("queue"));
  Py_ssize_t n = PyObject_Length(items.get());
  if (n < 0) throw_error();
  if (n == 0) return Ref();
  Ref item;
  if (Py_TYPE(items.get()) == known().deque_type) {
    PyObject* self = items.get();
    item = Ref::steal(PyObject_Vectorcall(known().popleft, &self, 1, nullptr));
  } else {
    item = call_method(items.get(), ORVA_NAME("popleft"));
  }
  notify_cond(attr_of(q, d.get(), ORVA_NAME("not_full")).get());
  return item;
}

}  // namespace

void queue_put(PyObject* q, PyObject* item) {
  if (PyObject* dict = plain_dict(q)) {
    fast_put(q, dict, item);
    return;
  }
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
  if (PyObject* dict = plain_dict(q)) return fast_try_get(q, dict);
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
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) == known().queue_cls) {
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
