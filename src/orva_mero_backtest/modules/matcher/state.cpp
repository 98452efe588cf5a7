// Construction of a Matcher, its book lock, tick-info records and trade ids.
#include <cstring>
#include <unordered_map>
#ifndef _WIN32
#include <pthread.h>
#endif

#include "matcher.hpp"

namespace orva::matcher {

namespace {

// ---- Book locks -------------------------------------------------------------------------
// One re-entrant lock per Matcher, kept beside the instance (vars(m) shows only the
// documented attributes) and dropped by a weakref callback when the instance goes.

struct LockEntry {
  PyObject* acquire;  // bound methods of the lock
  PyObject* release;
  PyObject* weakref;
  std::vector<CodeSlot>* codes;
};

// Never destroyed: it is only touched with the GIL held, and must outlive every thread.
auto* g_locks = new std::unordered_map<PyObject*, LockEntry>();

PyObject* g_rlock_class = nullptr;  // _thread.RLock, kept for the life of the process

PyObject* forget_lock(PyObject* key, PyObject* /*weakref*/) {
  auto it = g_locks->find(static_cast<PyObject*>(PyLong_AsVoidPtr(key)));
  if (it != g_locks->end()) {
    LockEntry e = it->second;
    g_locks->erase(it);
    Py_DECREF(e.acquire);
    Py_DECREF(e.release);
    Py_DECREF(e.weakref);
    delete e.codes;
  }
  PyErr_Clear();
  Py_RETURN_NONE;
}

PyMethodDef forget_lock_def = {"_forget_book_lock", forget_lock, METH_O, nullptr};

const LockEntry& lock_entry(PyObject* self) {
  auto it = g_locks->find(self);
  if (it != g_locks->end()) return it->second;
  if (!g_rlock_class) {
    Ref thread_mod = Ref::steal(PyImport_ImportModule("_thread"));
    g_rlock_class = getattr(thread_mod.get(), ORVA_NAME("RLock")).release();
  }
  Ref lock = call(g_rlock_class, {});
  Ref acquire = getattr(lock.get(), ORVA_NAME("acquire"));
  Ref release = getattr(lock.get(), ORVA_NAME("release"));
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref callback = Ref::steal(PyCFunction_New(&forget_lock_def, key.get()));
  Ref weakref = Ref::steal(PyWeakref_NewRef(self, callback.get()));
  it = g_locks->find(self);  // nothing above runs Python code, but stay safe
  if (it != g_locks->end()) return it->second;
  return (*g_locks)[self] =
             LockEntry{acquire.release(), release.release(), weakref.release(), new std::vector<CodeSlot>()};
}

}  // namespace

std::vector<CodeSlot>& code_cache(PyObject* self) { return *lock_entry(self).codes; }

namespace {

// ---- Trade ids ---------------------------------------------------------------------------
// While the module's `generate` is nanoid's own, ids are drawn here: the same 64-letter
// alphabet, one byte of the OS's secure randomness per letter (byte & 63, as nanoid does
// for a 64-letter alphabet), the bytes fetched from os.urandom in batches.

PyObject* g_original_generate = nullptr;  // borrowed from the module namespace at load
PyObject* g_urandom = nullptr;            // os.urandom, kept for the life of the process
char g_alphabet[64];
bool g_native_ids = false;

constexpr Py_ssize_t kPoolSize = 4096;
unsigned char g_pool[kPoolSize];
Py_ssize_t g_pool_used = kPoolSize;

// A forked child must not reuse the parent's bytes.
[[maybe_unused]] void forget_pool() { g_pool_used = kPoolSize; }

void refill_pool() {
  Ref size = py_long(kPoolSize);
  Ref bytes = call(g_urandom, {size.get()});  // may let other threads run
  if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != kPoolSize)
    raise(PyExc_RuntimeError, "os.urandom returned an unexpected value");
  std::memcpy(g_pool, PyBytes_AS_STRING(bytes.get()), kPoolSize);
  g_pool_used = 0;
}

Ref native_trade_id() {
  while (g_pool_used + 16 > kPoolSize) refill_pool();
  char id[16];
  for (int i = 0; i < 16; ++i) id[i] = g_alphabet[g_pool[g_pool_used + i] & 63];
  g_pool_used += 16;
  return Ref::steal(PyUnicode_FromStringAndSize(id, 16));
}

Ref new_queue() {
  Ref queue_mod = global(ORVA_NAME("queue"));
  return call_method(queue_mod.get(), ORVA_NAME("Queue"));
}

}  // namespace

void load_id_source() {
  g_original_generate = getattr(g_module, ORVA_NAME("generate")).get();
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  g_urandom = getattr(os.get(), ORVA_NAME("urandom")).release();
#ifndef _WIN32
  static bool registered = pthread_atfork(nullptr, nullptr, forget_pool) == 0;
  (void)registered;
#endif
  // The default alphabet is the generate function's first default.
  g_native_ids = false;
  PyObject* defaults = PyObject_GetAttrString(g_original_generate, "__defaults__");
  if (!defaults) {
    PyErr_Clear();
    return;
  }
  Ref d = Ref::steal(defaults);
  if (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) < 1) return;
  PyObject* alphabet = PyTuple_GET_ITEM(defaults, 0);
  if (!PyUnicode_CheckExact(alphabet) || PyUnicode_GET_LENGTH(alphabet) != 64 || !PyUnicode_IS_ASCII(alphabet))
    return;
  std::memcpy(g_alphabet, PyUnicode_1BYTE_DATA(alphabet), 64);
  g_native_ids = true;
}

Ref new_trade_id() {
  Ref generate = global(ORVA_NAME("generate"));
  if (g_native_ids && generate.get() == g_original_generate) return native_trade_id();
  static PyObject* names = kwnames({"size"});
  Ref size = py_long(16);
  return call(generate.get(), {size.get()}, names);
}

BookLock::BookLock(PyObject* self) {
  const LockEntry& e = lock_entry(self);
  Ref release = Ref::borrow(e.release);
  Ref acquire = Ref::borrow(e.acquire);
  call(acquire.get(), {});
  release_ = std::move(release);
}

BookLock::~BookLock() {
  // A daemon thread unwound at exit has no GIL: the lock dies with the process.
  if (!release_ || !PyGILState_Check()) return;
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyObject* r = PyObject_CallNoArgs(release_.get());
  if (r)
    Py_DECREF(r);
  else
    PyErr_Clear();
  PyErr_Restore(t, v, tb);
}

Ref init(const Args& a) {
  PyObject* self = a.self();
  setattr(self, ORVA_NAME("pending_orders"), Ref::steal(PyList_New(0)).get());
  setattr(self, ORVA_NAME("response_queue"), new_queue().get());
  setattr(self, ORVA_NAME("pending_order_queue"), new_queue().get());
  setattr(self, ORVA_NAME("current_tick_infos"), Ref::steal(PyDict_New()).get());
  Ref positions = Ref::borrow(a[1]);
  if (!truthy(positions.get())) {
    Ref cls = global(ORVA_NAME("Positions"));
    positions = call(cls.get(), {});
  }
  setattr(self, ORVA_NAME("positions"), positions.get());
  Ref account = Ref::steal(PyDict_New());
  Ref account_id = text("BT-00001");
  dict_set(account.get(), ORVA_NAME("account_id"), account_id.get());
  setattr(self, ORVA_NAME("account_info"), account.get());
  Ref exchange = Ref::steal(PyDict_New());
  Ref exchange_name = text("ORVA Backtest Exchange");
  dict_set(exchange.get(), ORVA_NAME("name"), exchange_name.get());
  setattr(self, ORVA_NAME("exchange_info"), exchange.get());
  lock_entry(self);  // before the receiver can take it
  Ref thread_cls = global(ORVA_NAME("Thread"));
  Ref target = getattr(self, ORVA_NAME("_Matcher__receive_pending_order"));
  static PyObject* names = kwnames({"target", "daemon"});
  Ref thread = call(thread_cls.get(), {target.get(), Py_True}, names);
  call_method(thread.get(), ORVA_NAME("start"));
  return Ref::none();
}

Ref init_current_tick_info(const Args&) {
  Ref record = Ref::steal(PyDict_New());
  dict_set(record.get(), ORVA_NAME("ts"), Py_None);
  dict_set(record.get(), ORVA_NAME("tick"), Py_None);
  return record;
}

Ref get_random_uuid(const Args&) { return new_trade_id(); }

}  // namespace orva::matcher
