#include "queues.hpp"

#include <unistd.h>

#include <chrono>
#include <climits>
#include <utility>

#include <memory>
#include <optional>
#include <string>

#include "fastpaths.hpp"


namespace orva {

namespace {

// ---- What the fast path relies on ------------------------------------------------------------
// queue.Queue and threading.Condition as first seen, and the C methods of the mutex and the
// deque. Kept for the life of the process (never released).

struct Known {
  PyObject* queue_cls = nullptr;
  PyObject* empty_cls = nullptr;  // queue.Empty
  PyObject* cond_cls = nullptr;
  PyTypeObject* lock_type = nullptr;
  PyTypeObject* deque_type = nullptr;
  PyObject* acquire = nullptr;  // method descriptors, called with the object first
  PyObject* release = nullptr;
  PyObject* locked = nullptr;
  PyObject* append = nullptr;
  PyObject* popleft = nullptr;
  PyObject* queue_methods = nullptr;  // tuple: the class's own put, get, ... as first seen
  PyObject* notify = nullptr;         // threading.Condition.notify as first seen
  PyObject* allocate_lock = nullptr;  // _thread.allocate_lock: a waiter of a Condition
  // The instance dict of a queue.Queue() made here: its keys, what each is to the shortcuts
  // (kNoRole: a flag such as is_shutdown, which must hold the value it had then), and whether
  // every key was understood (else no queue is taken for plain).
  static constexpr int kMaxAttrs = 16;
  int n_attrs = 0;
  PyObject* attr_names[kMaxAttrs] = {};
  int attr_role[kMaxAttrs] = {};
  PyObject* attr_fixed[kMaxAttrs] = {};
  bool shape_known = false;
  int unfinished_at = -1;  // the index of unfinished_tasks among attr_names
  // Where each of attr_names sits in a plain queue's dict (they share their keys), and where
  // "_waiters" sits in a Condition's: read there instead of looked up (fast paths, 3.12+).
  EntryHint attr_hint[kMaxAttrs];
  EntryHint waiters_hint;
  PyObject* zero = nullptr;  // the int 0, the usual maxsize
  TypeGuard queue_guard;  // the checks below hold while these say unchanged
  TypeGuard cond_guard;
};

const char* const kQueueMethods[] = {"put", "get", "put_nowait", "get_nowait", "qsize", "empty",
                                     "_put", "_get", "_qsize", "_init", "shutdown"};

// The instance attributes the shortcuts read, by role (the index into Slots::parts).
const char* const kRoles[] = {"maxsize", "queue", "mutex", "not_empty", "not_full", "all_tasks_done",
                              "unfinished_tasks"};
constexpr int kRoleCount = 7;
constexpr int kNoRole = -1;
constexpr int kUnfinishedRole = 6;  // kRoles[6]

// n + 1: for an int that fits, without PyNumber_Add's dispatch.
Ref plus_one(PyObject* n) {
  if (!PyLong_CheckExact(n)) return Ref::steal(PyNumber_Add(n, py_long(1).get()));
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error();
  if (overflow || v == LLONG_MAX) return Ref::steal(PyNumber_Add(n, py_long(1).get()));
  return py_long(v + 1);
}

PyObject* type_attr(PyObject* cls, PyObject* name) {
  return type_lookup(reinterpret_cast<PyTypeObject*>(cls), name);  // borrowed, may be NULL
}

// Made at the first call, with the GIL held; a plain pointer (no C++ guard: the imports may
// switch threads) set only once everything is found, so a failure raises now and is retried
// by the next call instead of leaving half a table.
Known* g_known = nullptr;

// Learns from a fresh queue what its instance dict holds on this interpreter.
void learn_shape(Known& k, PyObject* fresh) {
  Ref dict = getattr(fresh, ORVA_NAME("__dict__"));
  if (!PyDict_CheckExact(dict.get()) || PyDict_GET_SIZE(dict.get()) > Known::kMaxAttrs) return;
  bool seen[kRoleCount] = {};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  int n = 0;
  while (PyDict_Next(dict.get(), &pos, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return;
    int role = kNoRole;
    for (int r = 0; r < kRoleCount; ++r)
      if (PyUnicode_CompareWithASCIIString(key, kRoles[r]) == 0) role = r;
    if (role == kNoRole) {
      // Only a flag at its starting value is understood: Queue's methods change it (shutdown()),
      // and any other value sends the queue the plain way.
      if (value != Py_False && value != Py_True && value != Py_None) return;
    } else {
      seen[role] = true;
    }
    k.attr_names[n] = key;
    k.attr_role[n] = role;
    k.attr_fixed[n] = role == kNoRole ? value : nullptr;
    if (role == kUnfinishedRole) k.unfinished_at = n;
    ++n;
  }
  for (bool s : seen)
    if (!s) return;
  Ref mutex = getattr(fresh, ORVA_NAME("mutex"));
  Ref items = getattr(fresh, ORVA_NAME("queue"));
  Ref cond = getattr(fresh, ORVA_NAME("not_empty"));
  if (Py_TYPE(mutex.get()) != k.lock_type || Py_TYPE(items.get()) != k.deque_type ||
      reinterpret_cast<PyObject*>(Py_TYPE(cond.get())) != k.cond_cls)
    return;
  // Kept for the life of the process (never released); interned, as the instance dicts' keys are.
  for (int i = 0; i < n; ++i) {
    PyObject* name = k.attr_names[i];
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    k.attr_names[i] = name;
    Py_XINCREF(k.attr_fixed[i]);
  }
  k.n_attrs = n;
  k.shape_known = true;
}

Known* make_known() {
  auto k = std::make_unique<Known>();
  Ref queue_mod = Ref::steal(PyImport_ImportModule("queue"));
  Ref queue_cls = getattr(queue_mod.get(), ORVA_NAME("Queue"));
  Ref empty_cls = getattr(queue_mod.get(), ORVA_NAME("Empty"));
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref cond_cls = getattr(threading.get(), ORVA_NAME("Condition"));
  Ref lock = call_method(threading.get(), ORVA_NAME("Lock"));
  Ref thread_mod = Ref::steal(PyImport_ImportModule("_thread"));
  Ref allocate_lock = getattr(thread_mod.get(), ORVA_NAME("allocate_lock"));
  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  Ref deque = getattr(collections.get(), ORVA_NAME("deque"));
  if (!PyType_Check(queue_cls.get()) || !PyType_Check(cond_cls.get()) || !PyType_Check(deque.get()) ||
      !PyExceptionClass_Check(empty_cls.get()))
    raise(PyExc_ImportError, "queue, threading or collections is not the standard library's");
  Ref lock_type = Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(lock.get())));
  Ref acquire = getattr(lock_type.get(), ORVA_NAME("acquire"));
  Ref release = getattr(lock_type.get(), ORVA_NAME("release"));
  Ref locked = getattr(lock_type.get(), ORVA_NAME("locked"));
  Ref append = getattr(deque.get(), ORVA_NAME("append"));
  Ref popleft = getattr(deque.get(), ORVA_NAME("popleft"));
  constexpr Py_ssize_t n = sizeof(kQueueMethods) / sizeof(kQueueMethods[0]);
  Ref methods = Ref::steal(PyTuple_New(n));
  if (!methods) throw_error();
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref name = Ref::steal(PyUnicode_InternFromString(kQueueMethods[i]));
    PyObject* m = type_attr(queue_cls.get(), name.get());
    if (!m) m = Py_None;
    Py_INCREF(m);
    PyTuple_SET_ITEM(methods.get(), i, m);
  }
  PyObject* notify = type_attr(cond_cls.get(), ORVA_NAME("notify"));
  k->lock_type = reinterpret_cast<PyTypeObject*>(lock_type.get());
  k->deque_type = reinterpret_cast<PyTypeObject*>(deque.get());
  k->cond_cls = cond_cls.get();
  Ref fresh = call(queue_cls.get(), {});
  learn_shape(*k, fresh.get());
  k->zero = py_long(0).release();  // kept for the life of the process (never released)
  // Kept for the life of the process (never released).
  k->queue_cls = queue_cls.release();
  k->empty_cls = empty_cls.release();
  k->cond_cls = cond_cls.release();
  k->lock_type = reinterpret_cast<PyTypeObject*>(lock_type.release());
  k->deque_type = reinterpret_cast<PyTypeObject*>(deque.release());
  k->acquire = acquire.release();
  k->release = release.release();
  k->locked = locked.release();
  k->append = append.release();
  k->popleft = popleft.release();
  k->queue_methods = methods.release();
  k->notify = notify;
  Py_XINCREF(k->notify);
  k->allocate_lock = allocate_lock.release();
  return k.release();
}

Known& known() {
  if (!g_known) {
    Known* made = make_known();
    if (!g_known) g_known = made;  // another thread may have finished first while this one imported
  }
  return *g_known;
}

// The names read from the instance dicts must not be data descriptors of the class (they would
// come first), and the methods the fast path stands for must be the class's own.
bool no_data_descriptor(PyObject* cls, PyObject* name) {
  PyObject* d = type_attr(cls, name);
  return !(d && Py_TYPE(d)->tp_descr_set);
}

bool queue_class_unchanged(Known& k) {
  auto* type = reinterpret_cast<PyTypeObject*>(k.queue_cls);
  if (k.queue_guard.unchanged(type)) return true;
  k.queue_guard.forget();
  if (!k.shape_known) return false;
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  for (int i = 0; i < k.n_attrs; ++i)
    if (!no_data_descriptor(k.queue_cls, k.attr_names[i])) return false;
  constexpr Py_ssize_t n = sizeof(kQueueMethods) / sizeof(kQueueMethods[0]);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Ref name = Ref::steal(PyUnicode_InternFromString(kQueueMethods[i]));
    PyObject* m = type_attr(k.queue_cls, name.get());
    if ((m ? m : Py_None) != PyTuple_GET_ITEM(k.queue_methods, i)) return false;
  }
  k.queue_guard.mark(type);
  return true;
}

bool cond_class_unchanged(Known& k) {
  auto* type = reinterpret_cast<PyTypeObject*>(k.cond_cls);
  if (k.cond_guard.unchanged(type)) return true;
  k.cond_guard.forget();
  if (type->tp_getattro != PyObject_GenericGetAttr || !k.notify) return false;
  if (!no_data_descriptor(k.cond_cls, ORVA_NAME("_waiters")) || type_attr(k.cond_cls, ORVA_NAME("notify")) != k.notify)
    return false;
  k.cond_guard.mark(type);
  return true;
}

PyObject* entry(PyObject* dict, PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(dict, name);
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

// A plain queue's attributes, borrowed from its instance dict.
struct Slots {
  PyObject* maxsize = nullptr;
  PyObject* items = nullptr;  // q.queue
  PyObject* mutex = nullptr;
  PyObject* not_empty = nullptr;
  PyObject* not_full = nullptr;
  PyObject* all_tasks_done = nullptr;
  PyObject* unfinished = nullptr;
  PyObject** role(int r) {
    PyObject** parts[] = {&maxsize, &items, &mutex, &not_empty, &not_full, &all_tasks_done, &unfinished};
    return parts[r];
  }
};

// Reads the attributes Queue.__init__ gives an instance on this interpreter, in one pass over its
// dict; false when the dict holds anything else (an instance attribute could hide a method) or a
// flag such as is_shutdown does not hold its starting value (shutdown() was called: the queue's
// own methods say what happens then).
bool scan(const Known& k, PyObject* dict, Slots& s) {
  if (PyDict_GET_SIZE(dict) != k.n_attrs) return false;
  bool found[Known::kMaxAttrs] = {};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  int next = 0;  // keys usually come in the order __init__ set them
  while (PyDict_Next(dict, &pos, &key, &value)) {
    int i = next < k.n_attrs && k.attr_names[next] == key ? next : 0;
    while (i < k.n_attrs && k.attr_names[i] != key) ++i;
    next = i + 1;
    if (i == k.n_attrs || found[i]) return false;  // keys are interned; anything else goes the slow way
    found[i] = true;
    if (k.attr_role[i] == kNoRole) {
      if (value != k.attr_fixed[i]) return false;
    } else {
      *s.role(k.attr_role[i]) = value;
    }
  }
  return true;
}

// What scan() reads, from the places the hints remember (all of them set and the dict holding no
// other key: the same key set); false when any is not known.
bool hinted(const Known& k, PyObject* dict, Slots& s) {
#if ORVA_USE_ENTRY_HINTS
  if (PyDict_GET_SIZE(dict) != k.n_attrs) return false;
  const EntryHint::Entries entries(dict);
  PyObject** parts[] = {&s.maxsize, &s.items, &s.mutex, &s.not_empty, &s.not_full, &s.all_tasks_done, &s.unfinished};
  static_assert(sizeof(parts) / sizeof(parts[0]) == kRoleCount, "a part per role");
  for (int i = 0; i < k.n_attrs; ++i) {
    PyObject* v = entries.find(k.attr_hint[i], k.attr_names[i]);
    if (!v) return false;
    const int role = k.attr_role[i];
    if (role == kNoRole) {
      if (v != k.attr_fixed[i]) return false;
    } else {
      *parts[role] = v;
    }
  }
  return true;
#else
  (void)k, (void)dict, (void)s;
  return false;
#endif
}

// After a scan found `dict` plain: the places of its keys, for hinted().
void learn_hints(Known& k, PyObject* dict) {
#if ORVA_USE_ENTRY_HINTS
  for (int i = 0; i < k.n_attrs; ++i)
    if (!k.attr_hint[i].find(dict, k.attr_names[i])) k.attr_hint[i].learn(dict, k.attr_names[i]);
#else
  (void)k, (void)dict;
#endif
}

// q.unfinished_tasks = value in the plain queue's `dict`, whose count now is an int.
void set_unfinished(PyObject* dict, PyObject* value) {
  Known& k = known();
  if (k.unfinished_at >= 0 && k.attr_hint[k.unfinished_at].replace(dict, ORVA_NAME("unfinished_tasks"), value)) return;
  dict_set(dict, ORVA_NAME("unfinished_tasks"), value);
}

// Plain queue dicts found lately, each valid while its guard says the dict is unchanged (the
// dict then holds the objects recorded, so nothing here owns a reference). The feed's two queues
// are looked at every tick.
#if ORVA_USE_DICT_VERSIONS
struct SeenPlain {
  DictGuard guard;
  Slots slots;
};
SeenPlain g_seen[4];
unsigned g_seen_next = 0;
#endif

bool seen_plain(PyObject* dict, Slots& s) {
#if ORVA_USE_DICT_VERSIONS
  for (const SeenPlain& e : g_seen)
    if (e.guard.unchanged(dict)) {
      s = e.slots;
      return true;
    }
#else
  (void)dict, (void)s;  // no guard could say so
#endif
  return false;
}

// Records a dict found plain (or changed only by this file, `s` holding its values now).
void remember_plain(PyObject* dict, const Slots& s) {
#if ORVA_USE_DICT_VERSIONS
  if (!fastpaths_on()) return;
  for (SeenPlain& e : g_seen)
    if (e.slots.mutex == s.mutex && e.slots.items == s.items && e.guard.marked()) {  // the same queue's older state
      e.guard.mark(dict);
      e.slots = s;
      return;
    }
  SeenPlain& e = g_seen[g_seen_next++ % 4];
  e.guard.mark(dict);
  e.slots = s;
#else
  (void)dict, (void)s;  // seen_plain() answers no anyway
#endif
}

// The queue's dict now, when q is exactly queue.Queue (its class unchanged), unbounded, not shut
// down, holding just the attributes Queue.__init__ gives it, with a plain lock and deque. Else NULL.
PyObject* plain_dict(PyObject* q, Slots& s) {
  Known& k = known();
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) != k.queue_cls || !queue_class_unchanged(k)) return nullptr;
  PyObject* d = instance_dict(q);
  if (!d || !PyDict_CheckExact(d)) return nullptr;
  if (seen_plain(d, s)) return d;
  s = Slots();
  if (!hinted(k, d, s)) {
    s = Slots();
    if (!scan(k, d, s)) return nullptr;
    learn_hints(k, d);
  }
  if (!PyLong_CheckExact(s.maxsize)) return nullptr;
  if (s.maxsize != k.zero) {
    int overflow = 0;
    long v = PyLong_AsLongAndOverflow(s.maxsize, &overflow);
    if (v == -1 && PyErr_Occurred()) throw_error();
    if (overflow > 0 || v > 0) return nullptr;
  }
  if (Py_TYPE(s.items) != k.deque_type || Py_TYPE(s.mutex) != k.lock_type) return nullptr;
  remember_plain(d, s);
  return d;
}


// Holds a _thread.lock, through its own C methods; released on every way out (but not
// without the GIL, at interpreter exit).
class Locked {
 public:
  explicit Locked(PyObject* mutex) : mutex_(Ref::borrow(mutex)) {
    PyObject* self = mutex;
    Ref::steal(PyObject_Vectorcall(known().acquire, &self, 1, nullptr));
  }
  ~Locked() {
    if (!holds_gil()) return;
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    PyObject* self = mutex_.get();
    PyObject* r = PyObject_Vectorcall(known().release, &self, 1, nullptr);
    Py_XDECREF(r);
    if (!r) PyErr_Clear();
    PyErr_Restore(t, v, tb);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;

 private:
  Ref mutex_;
};

// cond.notify() when a thread waits on cond (notify is a no-op otherwise); whether that was known
// without running Python code.
PyObject* cond_waiters(PyObject* cond_dict);

bool notify_cond(PyObject* cond) {
  Known& k = known();
  PyObject* cond_dict =
      reinterpret_cast<PyObject*>(Py_TYPE(cond)) == k.cond_cls && cond_class_unchanged(k) ? instance_dict(cond) : nullptr;
  PyObject* found = cond_dict ? cond_waiters(cond_dict) : nullptr;
  // A plain deque's length is its size field: nobody waits, nothing to hold or call.
  if (found && Py_TYPE(found) == k.deque_type && Py_SIZE(found) == 0) return true;
  Ref keep = Ref::borrow(cond);
  Ref waiters = found ? Ref::borrow(found) : getattr(cond, ORVA_NAME("_waiters"));
  Py_ssize_t n = PyObject_Length(waiters.get());
  if (n < 0) throw_error();
  if (n > 0) call_method(cond, ORVA_NAME("notify"));
  return false;
}

// The queue's attributes once its mutex is held: another thread may have run while this one
// waited for it, so they are read again (and looked up one by one if they changed shape).
struct Held {
  Ref items, unfinished, not_empty, not_full;
  PyObject* dict;
  Slots slots;  // when dict is set
};

Held held_parts(PyObject* q) {
  Slots s;
  Held h;
  h.dict = plain_dict(q, s);
  if (h.dict) {
    h.slots = s;
    h.items = Ref::borrow(s.items);
    h.unfinished = Ref::borrow(s.unfinished);
    h.not_empty = Ref::borrow(s.not_empty);
    h.not_full = Ref::borrow(s.not_full);
    return h;
  }
  h.items = getattr(q, ORVA_NAME("queue"));
  h.unfinished = getattr(q, ORVA_NAME("unfinished_tasks"));
  h.not_empty = getattr(q, ORVA_NAME("not_empty"));
  h.not_full = getattr(q, ORVA_NAME("not_full"));
  return h;
}

// What fast_put and fast_try_get did.
enum class Done { Yes, No, Declined };

// Appends `item` unless `keep` says no (asked with the mutex held). Declined, with nothing
// changed, when the queue is no longer plain once its mutex is held (shut down meanwhile: its
// own put says what happens then).
Done fast_put(PyObject* q, PyObject* mutex, PyObject* item, const std::function<bool()>& keep) {
  Locked lock(mutex);
  Held h = held_parts(q);
  if (!h.dict) return Done::Declined;
  if (keep && !keep()) return Done::No;
  if (Py_TYPE(h.items.get()) == known().deque_type) {
    PyObject* args[] = {h.items.get(), item};
    Ref::steal(PyObject_Vectorcall(known().append, args, 2, nullptr));
  } else {
    call_method(h.items.get(), ORVA_NAME("append"), {item});
  }
  Ref next = plus_one(h.unfinished.get());
  if (h.dict) {
    // With an int count nothing above or in the set ran Python code, so the other slots still hold.
    const bool plain_count = PyLong_CheckExact(h.unfinished.get());
    if (plain_count)
      set_unfinished(h.dict, next.get());
    else
      dict_set(h.dict, ORVA_NAME("unfinished_tasks"), next.get());
    if (plain_count) {
      h.slots.unfinished = next.get();  // held by the dict now
      remember_plain(h.dict, h.slots);
    }
  } else {
    setattr(q, ORVA_NAME("unfinished_tasks"), next.get());
  }
  notify_cond(h.not_empty.get());
  return Done::Yes;
}

// The first item, or an empty Ref; the caller holds the mutex.
Ref pop_held(const Held& h) {
  Py_ssize_t n = PyObject_Length(h.items.get());
  if (n < 0) throw_error();
  if (n == 0) return Ref();
  Ref item;
  if (Py_TYPE(h.items.get()) == known().deque_type) {
    PyObject* self = h.items.get();
    item = Ref::steal(PyObject_Vectorcall(known().popleft, &self, 1, nullptr));
  } else {
    item = call_method(h.items.get(), ORVA_NAME("popleft"));
  }
  notify_cond(h.not_full.get());
  return item;
}

// The first item, or an empty Ref when there is none; `*declined` when the queue is no longer
// plain once its mutex is held.
Ref fast_try_get(PyObject* q, PyObject* mutex, bool* declined) {
  Locked lock(mutex);
  Held h = held_parts(q);
  *declined = !h.dict;
  if (*declined) return Ref();
  return pop_held(h);
}

// Whether the error being raised is queue.Empty. Nothing is looked up or called while it is
// set: the class was found when the helpers were first used.
bool is_empty_error() { return PyErr_ExceptionMatches(known().empty_cls) != 0; }

// q.<name>, or a TypeError saying `q` is not a queue when it has no such method.
Ref queue_method(PyObject* q, PyObject* name) {
  PyObject* m = PyObject_GetAttr(q, name);
  if (m) return Ref::steal(m);
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
  PyErr_Clear();
  raise(PyExc_TypeError, std::string("expected a queue, got ") + Py_TYPE(q)->tp_name + " (it has no " +
                             PyUnicode_AsUTF8(name) + "())");
}

// Seconds a blocking wait sleeps before it looks at signals again: a SIGINT handler that makes
// interrupted waits restart (polars installs one) would otherwise keep Ctrl-C from ever ending it.
constexpr double kWaitSlice = 0.05;

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw_error();
}

}  // namespace

void queue_put(PyObject* q, PyObject* item) {
  if (queue_put_quick(q, item)) return;
  queue_put_if(q, item, nullptr);
}

bool queue_put_if(PyObject* q, PyObject* item, const std::function<bool()>& keep) {
  Slots s;
  if (plain_dict(q, s)) {
    const Done done = fast_put(q, s.mutex, item, keep);
    if (done != Done::Declined) return done == Done::Yes;
  }
  Ref put = queue_method(q, ORVA_NAME("put"));
  if (keep && !keep()) return false;
  // The object's own put, as called by Python code (a full bounded queue waits, as put does).
  call(put.get(), {item});
  return true;
}

Ref queue_try_get(PyObject* q) {
  Slots s;
  if (plain_dict(q, s)) {
    bool declined = false;
    Ref item = fast_try_get(q, s.mutex, &declined);
    if (!declined) return item;
  }
  Ref get_nowait = queue_method(q, ORVA_NAME("get_nowait"));
  PyObject* item = PyObject_CallNoArgs(get_nowait.get());
  if (item) return Ref::steal(item);
  if (!is_empty_error()) throw_error();
  PyErr_Clear();
  return Ref();
}

Ref queue_try_get_any(PyObject* q) {
  Slots s;
  if (plain_dict(q, s) && Py_TYPE(s.items) == known().deque_type && PyObject_Length(s.items) == 0) return Ref();
  return queue_try_get(q);
}

Ref queue_get(PyObject* q) {
  return queue_wait_take(q, [] { return false; }, [] { return true; });
}

Ref queue_get_within(PyObject* q, double seconds) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(seconds > 0 ? seconds : 0));
  bool first = true;  // an item already there is taken even with no time to wait
  return queue_wait_take(
      q, [&] { return !std::exchange(first, false) && Clock::now() >= deadline; }, [] { return true; });
}

namespace {

// Whether `cond` is a plain threading.Condition over `mutex` with a deque of waiters, which
// cond_wait can wait on as Condition.wait does.
bool native_cond(PyObject* cond, PyObject* mutex) {
  Known& k = known();
  if (reinterpret_cast<PyObject*>(Py_TYPE(cond)) != k.cond_cls || !cond_class_unchanged(k)) return false;
  PyObject* dict = instance_dict(cond);
  if (!dict) return false;
  PyObject* lock = entry(dict, ORVA_NAME("_lock"));
  PyObject* waiters = entry(dict, ORVA_NAME("_waiters"));
  return lock == mutex && waiters && Py_TYPE(waiters) == k.deque_type;
}

// cond.wait(seconds) for a plain Condition over `mutex`, which this thread holds, done here rather
// than by Condition.wait. That is Python code: a Ctrl-C (a KeyboardInterrupt from the signal
// handler, seen between bytecodes) can land after it gave the mutex back and before it took it
// again, and the caller's guard then releases a mutex another thread holds; or it leaves its waiter
// queued, so a later notify wakes nobody. Here the protocol is the same (a locked waiter lock on
// cond._waiters, which notify releases), so Python waiters and notifiers mix with it, but signals
// run only while the mutex is given back, and their error is raised once the mutex is held again
// and the waiter is off the list. Taking the mutex back is not ended by Ctrl-C: it is held only
// for a few steps at a time.
void cond_wait(PyObject* cond, PyObject* mutex, PyObject* seconds) {
  Known& k = known();
  Ref held_mutex = Ref::borrow(mutex);  // signal handlers run below: they may replace the queue's parts
  Ref waiters = getattr(cond, ORVA_NAME("_waiters"));
  Ref waiter = Ref::steal(PyObject_CallNoArgs(k.allocate_lock));
  PyObject* w = waiter.get();
  Ref::steal(PyObject_Vectorcall(k.acquire, &w, 1, nullptr));  // new, so free: taken at once
  {
    PyObject* args[] = {waiters.get(), w};
    Ref::steal(PyObject_Vectorcall(k.append, args, 2, nullptr));
  }
  std::optional<Caught> pending;  // the first error seen while the mutex was given back
  PyObject* released = PyObject_Vectorcall(k.release, &mutex, 1, nullptr);
  if (released) {
    Py_DECREF(released);
    // Given back: wait for a notify (the waiter released) or the time.
    PyObject* args[] = {w, Py_True, seconds};
    PyObject* got = PyObject_Vectorcall(k.acquire, args, 3, nullptr);
    Py_XDECREF(got);
    if (!got || PyErr_CheckSignals() < 0) pending = Caught::fetch();
    for (;;) {
      PyObject* again = PyObject_Vectorcall(k.acquire, &mutex, 1, nullptr);
      if (again) {
        Py_DECREF(again);
        break;
      }
      Caught error = Caught::fetch();  // a handler raised while this thread waited: later
      if (!pending) pending = std::move(error);
    }
  } else {
    pending = Caught::fetch();  // not held after all: nothing was given back
  }
  PyObject* gone = PyObject_CallMethodOneArg(waiters.get(), ORVA_NAME("remove"), w);
  if (gone) {
    Py_DECREF(gone);
  } else if (PyErr_ExceptionMatches(PyExc_ValueError)) {
    PyErr_Clear();  // notify took it off
  } else {
    Caught error = Caught::fetch();
    if (!pending) pending = std::move(error);
  }
  if (pending) {
    pending->restore();
    throw_error();
  }
}

}  // namespace

Ref queue_wait_take(PyObject* q, const std::function<bool()>& stop, const std::function<bool()>& take) {
  Ref slice = py_float(kWaitSlice);
  Slots s;
  if (plain_dict(q, s)) {
    Locked lock(s.mutex);
    for (;;) {
      if (stop()) return Ref();
      Held h = held_parts(q);
      // Shut down (or changed) while this thread waited: the queue's own get says what happens now.
      if (!h.dict) break;
      if (take()) {
        Ref item = pop_held(h);
        if (item) return item;
      }
      if (!native_cond(h.not_empty.get(), s.mutex)) {
        call_method(h.not_empty.get(), ORVA_NAME("wait"), {slice.get()});
        check_signals();
        continue;
      }
      cond_wait(h.not_empty.get(), s.mutex, slice.get());
    }
  }
  // Not a plain queue.Queue: its conditions are not ours to wait on, so poll it.
  Ref get = queue_method(q, ORVA_NAME("get"));
  for (;;) {
    if (stop()) return Ref();
    if (take()) {
      PyObject* item = PyObject_CallFunctionObjArgs(get.get(), Py_True, slice.get(), nullptr);
      if (item) return Ref::steal(item);
      if (!is_empty_error()) throw_error();
      PyErr_Clear();
    } else {
      Py_BEGIN_ALLOW_THREADS usleep(static_cast<useconds_t>(kWaitSlice * 1e6));
      Py_END_ALLOW_THREADS
    }
    check_signals();
  }
}

namespace {

#if ORVA_USE_LOCK_LAYOUT
// _thread.lock's object layout on CPython 3.10 and 3.11 (Modules/_threadmodule.c); `locked` is
// what lock.locked() answers. Checked against locked() on a lock of our own before it is used.
struct LockLayout {
  PyObject_HEAD
  PyThread_type_lock lock_lock;
  PyObject* in_weakreflist;
  char locked;
};

// 1: the layout matches, 0: it does not, -1: not checked yet.
int g_lock_layout = -1;

bool lock_layout_matches() {
  if (g_lock_layout >= 0) return g_lock_layout == 1;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref lock = call_method(threading.get(), ORVA_NAME("Lock"));
  bool ok = Py_TYPE(lock.get()) == known().lock_type && static_cast<Py_ssize_t>(sizeof(LockLayout)) <= Py_TYPE(lock.get())->tp_basicsize;
  PyObject* self = lock.get();
  auto field = [&] { return reinterpret_cast<LockLayout*>(self)->locked; };
  if (ok) ok = field() == 0;
  if (ok) {
    Ref::steal(PyObject_Vectorcall(known().acquire, &self, 1, nullptr));
    ok = field() == 1;
    Ref::steal(PyObject_Vectorcall(known().release, &self, 1, nullptr));
    ok = ok && field() == 0;
  }
  g_lock_layout = ok ? 1 : 0;
  return ok;
}
#endif

#if ORVA_USE_DICT_VERSIONS
// cond._waiters from the condition's dict, kept per dict version (the deque, not its length).
struct SeenWaiters {
  uint64_t version = 0;
  PyObject* waiters = nullptr;
};
SeenWaiters g_waiters[4];
unsigned g_waiters_next = 0;
#endif

// lock.locked() for a _thread.lock.
bool mutex_locked(PyObject* mutex) {
#if ORVA_USE_LOCK_LAYOUT
  if (fastpaths_on() && g_lock_layout == 1) return reinterpret_cast<LockLayout*>(mutex)->locked != 0;
#endif
  PyObject* self = mutex;
  Ref held = Ref::steal(PyObject_Vectorcall(known().locked, &self, 1, nullptr));
  return held.get() != Py_False;
}

// The entry "_waiters" of a Condition's instance dict (borrowed), or NULL.
PyObject* cond_waiters(PyObject* cond_dict) {
#if ORVA_USE_DICT_VERSIONS
  if (fastpaths_on()) {
    const uint64_t v = dict_version(cond_dict);
    for (const SeenWaiters& e : g_waiters)
      if (e.version == v) return e.waiters;
    PyObject* found = entry(cond_dict, ORVA_NAME("_waiters"));
    if (found && dict_version(cond_dict) == v) g_waiters[g_waiters_next++ % 4] = SeenWaiters{v, found};
    return found;
  }
#endif
#if ORVA_USE_ENTRY_HINTS
  Known& k = known();
  if (PyObject* v = k.waiters_hint.find(cond_dict, ORVA_NAME("_waiters"))) return v;
  PyObject* found = entry(cond_dict, ORVA_NAME("_waiters"));
  if (found) k.waiters_hint.learn(cond_dict, ORVA_NAME("_waiters"));
  return found;
#else
  return entry(cond_dict, ORVA_NAME("_waiters"));
#endif
}

}  // namespace

bool queue_count_direct(PyObject* q, const std::function<bool()>& keep) {
#if ORVA_USE_LOCK_LAYOUT
  // Checked first, before anything is read: checking may run Python code (and let threads run).
  if (fastpaths_on()) lock_layout_matches();
#endif
  Slots s;
  PyObject* dict = plain_dict(q, s);
  if (!dict || Py_TYPE(s.items) != known().deque_type || PyObject_Length(s.items) != 0) return false;
  // With the mutex free no thread is inside one of the queue's methods, and nothing below lets
  // another thread run (the GIL is held throughout), so this is what put then get would do.
  if (mutex_locked(s.mutex)) return false;
  Known& k = known();
  PyObject* cond = s.not_empty;
  if (reinterpret_cast<PyObject*>(Py_TYPE(cond)) != k.cond_cls || !cond_class_unchanged(k)) return false;
  PyObject* cond_dict = instance_dict(cond);
  PyObject* waiters = cond_dict ? cond_waiters(cond_dict) : nullptr;
  if (!waiters || Py_TYPE(waiters) != k.deque_type || PyObject_Length(waiters) != 0) return false;
  if (keep && !keep()) return false;
  if (!PyLong_CheckExact(s.unfinished)) return false;
  Ref next = plus_one(s.unfinished);
  set_unfinished(dict, next.get());
  s.unfinished = next.get();  // held by the dict now
  remember_plain(dict, s);
  return true;
}

namespace {

// Whether `memo` still describes `q`: the same queue and dict, the class unchanged, and the dict
// unchanged since the memo was made (its version tag, or the memo's objects, which it holds, at the
// places the keys were learned). Runs no Python code.
bool memo_holds(QueueMemo& memo, PyObject* q) {
#if ORVA_USE_DICT_VERSIONS || ORVA_USE_ENTRY_HINTS
  if (memo.n == 0 || memo.q.get() != q) return false;
  Known& k = known();
  if (reinterpret_cast<PyObject*>(Py_TYPE(q)) != k.queue_cls) return false;
  if (!k.queue_guard.unchanged(Py_TYPE(q)) && !queue_class_unchanged(k)) return false;
  PyObject* dict = instance_dict(q);
  if (!dict || dict != memo.dict.get()) return false;
#if ORVA_USE_DICT_VERSIONS
  return memo.guard.unchanged(dict);
#else
  if (PyDict_GET_SIZE(dict) != memo.n) return false;
  if (memo.table && SplitTable::of(dict) == memo.table) {
    PyObject* const* values = SplitTable::values(dict);
    for (int i = 0; i < memo.n; ++i)
      if (values[memo.ix[i]] != memo.values[i].get()) return false;
    return true;
  }
  return EntryHint::Entries(dict).hold(k.attr_hint, k.attr_names, [&](int i) { return memo.values[i].get(); }, memo.n);
#endif
#else
  (void)memo, (void)q;
  return false;
#endif
}

// With entry hints: lets `memo` read its dict's values by index in the dict's split key table, keeping
// `old`'s hold on the table when it is the same one. The copy made to hold a new table may run code
// (a collection): the indexes are then learned, and the values checked, on the dict as it is after.
void learn_table(QueueMemo& memo, QueueMemo& old) {
  PyObject* dict = memo.dict.get();
  const void* table = SplitTable::of(dict);
  if (!table || memo.n > QueueMemo::kMaxAttrs) return;
  if (old.table == table && old.table_holder) {
    memo.table_holder = std::move(old.table_holder);
  } else {
    PyObject* copy = PyDict_Copy(dict);
    if (!copy) {
      PyErr_Clear();
      return;
    }
    memo.table_holder = Ref::steal(copy);
    table = SplitTable::of(dict);
    if (!table || SplitTable::of(copy) != table) {
      memo.table_holder = Ref();
      return;
    }
  }
  Known& k = known();
  for (int i = 0; i < memo.n; ++i) {
    const Py_ssize_t ix = SplitTable::index(dict, k.attr_names[i]);
    if (ix < 0 || ix > 127 || SplitTable::values(dict)[ix] != memo.values[i].get()) {
      memo.forget();  // changed meanwhile: looked at afresh next time
      return;
    }
    memo.ix[i] = static_cast<signed char>(ix);
  }
  memo.table = table;
}

// Makes `memo` describe `q`, found plain with parts `s` in `dict` and nothing run since. The
// references it gave up are released last (that may run code: read nothing borrowed after it).
void memo_record(QueueMemo& memo, PyObject* q, PyObject* dict, const Slots& s) {
  QueueMemo old = std::move(memo);
  memo = QueueMemo();
  if (!fastpaths_on()) return;
  Known& k = known();
  if (k.n_attrs > QueueMemo::kMaxAttrs || k.unfinished_at < 0 || !PyLong_CheckExact(s.unfinished)) return;
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(s.unfinished, &overflow);
  if (overflow || (count == -1 && PyErr_Occurred())) {
    PyErr_Clear();
    return;
  }
  Slots parts = s;
  for (int i = 0; i < k.n_attrs; ++i)
    memo.values[i] = Ref::borrow(k.attr_role[i] == kNoRole ? k.attr_fixed[i] : *parts.role(k.attr_role[i]));
  memo.q = Ref::borrow(q);
  memo.dict = Ref::borrow(dict);
  memo.unfinished_at = k.unfinished_at;
  memo.count = count;
  memo.items = s.items;
  memo.mutex = s.mutex;
  memo.not_empty = s.not_empty;
  memo.guard.mark(dict);
  memo.n = k.n_attrs;
  learn_table(memo, old);
}

// Whether nobody waits on the plain condition `cond` (the memo's not_empty), as queue_count_direct
// asks it; the condition's dict and waiters are kept in `memo` while its dict is unchanged. What the
// memo gave up goes to `dropped`, for the caller to release once it is done.
bool no_waiters(QueueMemo& memo, PyObject* cond, Ref (&dropped)[2]) {
  Known& k = known();
  if (reinterpret_cast<PyObject*>(Py_TYPE(cond)) != k.cond_cls) return false;
  if (!k.cond_guard.unchanged(Py_TYPE(cond)) && !cond_class_unchanged(k)) return false;
  PyObject* cond_dict = instance_dict(cond);
  if (!cond_dict) return false;
  PyObject* waiters = nullptr;
  if (cond_dict == memo.cond_dict.get()) {
#if ORVA_USE_DICT_VERSIONS
    if (memo.cond_guard.unchanged(cond_dict)) waiters = memo.waiters.get();
#elif ORVA_USE_ENTRY_HINTS
    if (k.waiters_hint.find(cond_dict, ORVA_NAME("_waiters")) == memo.waiters.get()) waiters = memo.waiters.get();
#endif
  }
  if (!waiters) {
    waiters = cond_waiters(cond_dict);
    if (!waiters) return false;
    dropped[0] = std::move(memo.cond_dict);
    dropped[1] = std::move(memo.waiters);
    memo.cond_dict = Ref::borrow(cond_dict);
    memo.cond_guard.mark(cond_dict);
    memo.waiters = Ref::borrow(waiters);
  }
  return Py_TYPE(waiters) == k.deque_type && Py_SIZE(waiters) == 0;
}

}  // namespace

bool queue_count_direct(PyObject* q, KeepRef keep, QueueMemo& memo) {
  if (!memo_holds(memo, q)) {
    if (!queue_count_direct(q, [&] { return keep(); })) return false;
    // Counted: the queue is plain, and nothing ran since the count was written.
    Slots s;
    PyObject* dict = plain_dict(q, s);
    if (dict) memo_record(memo, q, dict, s);
    return true;
  }
  // What queue_count_direct asks, of the parts known: the deque (a plain one) empty, the mutex
  // free, nobody waiting on not_empty, keep(); then the count written one higher.
  Ref dropped[2];  // released on the way out
  if (Py_SIZE(memo.items) != 0 || mutex_locked(memo.mutex) || !no_waiters(memo, memo.not_empty, dropped)) return false;
  if (!keep()) return false;
  if (memo.count == LLONG_MAX) {
    memo.forget();
    return queue_count_direct(q, [&] { return keep(); });
  }
  PyObject* dict = memo.dict.get();
  Ref next;
  if (memo.spare && ReusedInt::assign(memo.spare.get(), memo.count + 1))
    next = std::move(memo.spare);
  else
    next = py_long(memo.count + 1);
  if (memo.table && SplitTable::of(dict) == memo.table && !SplitTable::watched(dict)) {
    // The old count is held by the memo too: dropping the dict's reference runs no code.
    PyObject*& slot = SplitTable::values(dict)[memo.ix[memo.unfinished_at]];
    Py_INCREF(next.get());
    Py_SETREF(slot, next.get());
  } else {
    set_unfinished(dict, next.get());
  }
  memo.guard.mark(dict);  // the one change made to the dict is this one
  ++memo.count;
  // The old count is kept for the next one: released (last) only when another took it meanwhile.
  Ref taken = std::move(memo.spare);
  memo.spare = std::move(memo.values[memo.unfinished_at]);
  memo.values[memo.unfinished_at] = std::move(next);
  return true;
}

Ref queue_try_get_any(PyObject* q, QueueMemo& memo) {
  if (memo_holds(memo, q)) {
    if (Py_SIZE(memo.items) == 0) return Ref();  // a plain deque: its size is its length
    return queue_try_get(q);
  }
  Slots s;
  PyObject* dict = plain_dict(q, s);
  if (!dict) return queue_try_get(q);
  const bool empty = Py_TYPE(s.items) == known().deque_type && Py_SIZE(s.items) == 0;
  memo_record(memo, q, dict, s);
  return empty ? Ref() : queue_try_get(q);
}

void queue_put_front(PyObject* q, PyObject* item) {
  Slots s;
  if (!plain_dict(q, s)) {
    queue_put(q, item);  // counted only for a plain queue, which this one was
    return;
  }
  Locked lock(s.mutex);
  Held h = held_parts(q);
  call_method(h.items.get(), ORVA_NAME("appendleft"), {item});
  notify_cond(h.not_empty.get());
}

void queue_wake_all(PyObject* q) {
  Slots s;
  if (!plain_dict(q, s)) return;  // waiters on other queues poll
  Locked lock(s.mutex);
  Held h = held_parts(q);
  call_method(h.not_empty.get(), ORVA_NAME("notify_all"));
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
  Ref qsize = queue_method(q, ORVA_NAME("qsize"));
  Ref n = Ref::steal(PyObject_CallNoArgs(qsize.get()));
  Py_ssize_t v = PyLong_AsSsize_t(n.get());
  if (v == -1 && PyErr_Occurred()) throw_error();
  return v;
}

// ---- Quick put and get ----------------------------------------------------------------------
// Queue.put and Queue.get as the methods do them, for a plain queue whose mutex is free: taken
// without waiting through the lock's layout (no method call), the parts read from the dict
// version cache above.

namespace {

#if ORVA_USE_LOCK_LAYOUT
// Holds a free _thread.lock, taken without waiting (and without letting other threads run).
class FreeMutex {
 public:
  explicit FreeMutex(PyObject* mutex) : lock_(reinterpret_cast<LockLayout*>(mutex)) {
    if (!PyThread_acquire_lock(lock_->lock_lock, 0)) {
      lock_ = nullptr;
      return;
    }
    lock_->locked = 1;
    Py_INCREF(mutex);  // Python code run under it (a notify) may drop the queue's reference
  }
  ~FreeMutex() {
    if (!lock_ || !holds_gil()) return;
    lock_->locked = 0;
    PyThread_release_lock(lock_->lock_lock);
    Py_DECREF(reinterpret_cast<PyObject*>(lock_));
  }
  FreeMutex(const FreeMutex&) = delete;
  FreeMutex& operator=(const FreeMutex&) = delete;
  bool held() const { return lock_ != nullptr; }

 private:
  LockLayout* lock_;
};

// The plain queue's parts when the quick path applies to `q` now; null otherwise.
PyObject* quick_parts(PyObject* q, Slots& s) {
  // Checked first, before anything is read: checking may run Python code (and let threads run).
  if (!fastpaths_on() || !lock_layout_matches()) return nullptr;
  PyObject* dict = plain_dict(q, s);
  if (!dict || Py_TYPE(s.items) != known().deque_type) return nullptr;
  return dict;
}

#endif

}  // namespace

bool queue_put_quick(PyObject* q, PyObject* item, bool* quiet) {
#if ORVA_USE_LOCK_LAYOUT
  Slots s;
  PyObject* dict = quick_parts(q, s);
  if (!dict || !PyLong_CheckExact(s.unfinished)) return false;
  FreeMutex mutex(s.mutex);
  if (!mutex.held()) return false;
  // Nothing has run since the look: the parts are as read. Held, as the notify runs Python code.
  Ref items = Ref::borrow(s.items), not_empty = Ref::borrow(s.not_empty), holder = Ref::borrow(dict);
  PyObject* args[] = {items.get(), item};
  Ref::steal(PyObject_Vectorcall(known().append, args, 2, nullptr));
  // A count only the dict holds is given its next value in place: nobody else could tell it from a
  // new int, and the dict (and what is remembered of it) stays as it is.
  const long long count = PyLong_AsLongLong(s.unfinished);
  if (count == -1 && PyErr_Occurred()) PyErr_Clear();  // past 64 bits: plus_one says what follows
  else if (count < LLONG_MAX && ReusedInt::assign(s.unfinished, count + 1)) {
    const bool woke_none = notify_cond(not_empty.get());
    if (quiet) *quiet = woke_none;
    return true;
  }
  Ref next = plus_one(s.unfinished);
  set_unfinished(dict, next.get());
  // The one change made to the dict: its parts stay known (the dict holds the new count).
  s.unfinished = next.get();
  remember_plain(dict, s);
  const bool woke_none = notify_cond(not_empty.get());
  if (quiet) *quiet = woke_none;
  return true;
#else
  (void)q, (void)item, (void)quiet;
  return false;
#endif
}

Ref queue_pop_quick(PyObject* q) {
#if ORVA_USE_LOCK_LAYOUT
  Slots s;
  if (!quick_parts(q, s)) return Ref();
  const Py_ssize_t waiting = PyObject_Length(s.items);
  if (waiting < 0) throw_error();
  if (waiting == 0) return Ref();
  FreeMutex mutex(s.mutex);
  if (!mutex.held()) return Ref();
  Ref not_full = Ref::borrow(s.not_full);
  PyObject* items = s.items;
  Ref item = Ref::steal(PyObject_Vectorcall(known().popleft, &items, 1, nullptr));
  notify_cond(not_full.get());
  return item;
#else
  (void)q;
  return Ref();
#endif
}

}  // namespace orva
