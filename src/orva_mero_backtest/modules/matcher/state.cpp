// Construction of a Matcher, its book lock, tick-info records and trade ids.
#include <climits>
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
// It works as _thread.RLock does: owner and count (read and written with the GIL held), and
// a thread that has to wait lets the others run while it waits.

struct LockEntry {
  BookMutex* mutex;
  PyObject* weakref;
  std::vector<CodeSlot>* codes;
};

// Never destroyed: it is only touched with the GIL held, and must outlive every thread.
auto* g_locks = new std::unordered_map<PyObject*, LockEntry>();

PyObject* forget_lock(PyObject* key, PyObject* /*weakref*/) {
  auto it = g_locks->find(static_cast<PyObject*>(PyLong_AsVoidPtr(key)));
  if (it != g_locks->end()) {
    LockEntry e = it->second;
    g_locks->erase(it);
    Py_DECREF(e.weakref);
    delete e.codes;
    PyThread_free_lock(e.mutex->lock);
    delete e.mutex;
  }
  PyErr_Clear();
  Py_RETURN_NONE;
}

PyMethodDef forget_lock_def = {"_forget_book_lock", forget_lock, METH_O, nullptr};

const LockEntry& lock_entry(PyObject* self) {
  auto it = g_locks->find(self);
  if (it != g_locks->end()) return it->second;
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref callback = Ref::steal(PyCFunction_New(&forget_lock_def, key.get()));
  Ref weakref = Ref::steal(PyWeakref_NewRef(self, callback.get()));
  it = g_locks->find(self);  // nothing above runs Python code, but stay safe
  if (it != g_locks->end()) return it->second;
  PyThread_type_lock lock = PyThread_allocate_lock();
  if (!lock) raise(PyExc_MemoryError, "cannot allocate the book lock");
  return (*g_locks)[self] = LockEntry{new BookMutex{lock, 0, 0}, weakref.release(), new std::vector<CodeSlot>()};
}

void acquire(BookMutex& m) {
  const unsigned long me = PyThread_get_thread_ident();
  if (m.count > 0 && m.owner == me) {
    if (m.count == ULONG_MAX) raise(PyExc_OverflowError, "Internal lock count overflowed");
    ++m.count;
    return;
  }
  PyLockStatus r = PyThread_acquire_lock_timed(m.lock, 0, 0);
  while (r != PY_LOCK_ACQUIRED) {
    Py_BEGIN_ALLOW_THREADS
    r = PyThread_acquire_lock_timed(m.lock, -1, 1);
    Py_END_ALLOW_THREADS
    // Interrupted by a signal: its handler runs now, and may raise.
    if (r == PY_LOCK_INTR && Py_MakePendingCalls() < 0) throw_error();
  }
  m.owner = me;
  m.count = 1;
}

void release(BookMutex& m) {
  if (--m.count == 0) {
    m.owner = 0;
    PyThread_release_lock(m.lock);
  }
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
  BookMutex* mutex = lock_entry(self).mutex;
  acquire(*mutex);
  mutex_ = mutex;
}

BookLock::~BookLock() {
  // A daemon thread unwound at exit has no GIL: the lock dies with the process.
  if (!mutex_ || !holds_gil()) return;
  release(*mutex_);
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
