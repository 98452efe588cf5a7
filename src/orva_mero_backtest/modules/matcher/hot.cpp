// The shortcuts of hot.hpp. Each checks what it relies on first and leaves the call to the plain
// path, having changed nothing, when any of it does not hold.
#include "hot.hpp"

#include "console_log.hpp"
#include "queues.hpp"

namespace orva::matcher {

void put_report(PyObject* q, PyObject* item) {
#if ORVA_FASTPATHS
  if (fastpaths_on() && plain_put(q, item)) return;
#endif
  queue_put(q, item);
}

#if ORVA_FASTPATHS
namespace {

// ---- The instance -------------------------------------------------------------------------------

PyObject* const* attribute_names() {
  static PyObject* names[7] = {};
  if (!names[6]) {
    PyObject* made[7] = {ORVA_NAME("pending_orders"),     ORVA_NAME("response_queue"), ORVA_NAME("pending_order_queue"),
                         ORVA_NAME("current_tick_infos"), ORVA_NAME("positions"),      ORVA_NAME("account_info"),
                         ORVA_NAME("exchange_info")};
    for (int i = 0; i < 7; ++i) names[i] = made[i];
  }
  return names;
}

// Types found plain, with the version tag they had then (a change of the class or a base gives a
// new one; tags are never reused). Compared only, never dereferenced through the table.
struct PlainType {
  PyTypeObject* type = nullptr;
  unsigned version = 0;
};
PlainType g_plain_types[4];
unsigned g_plain_next = 0;

bool plain_type(PyTypeObject* type) {
  for (const PlainType& p : g_plain_types)
    if (p.type == type && p.version && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
        type->tp_version_tag == p.version)
      return true;
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  // Type look-ups only (they also give the type a version tag): no Python code runs.
  if (!own_methods_on(type)) return false;
  PyObject* const* names = attribute_names();
  for (int i = 0; i < 7; ++i) {
    PyObject* d = _PyType_Lookup(type, names[i]);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  if (!(type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG)) return true;  // plain now, checked again next time
  g_plain_types[g_plain_next++ % 4] = PlainType{type, type->tp_version_tag};
  return true;
}

// ---- Plain queue.Queue objects ----------------------------------------------------------------

// _thread.lock's object as CPython 3.10-3.12 lay it out (checked against a real lock at load).
struct LockObject {
  PyObject_HEAD
  PyThread_type_lock lock_lock;
  PyObject* in_weakreflist;
  char locked;
};

// What the queue shortcut stands for, as first seen at load; kept for the life of the process.
struct QueueSource {
  PyObject* queue_cls = nullptr;
  PyObject* cond_cls = nullptr;
  PyTypeObject* lock_type = nullptr;
  PyTypeObject* deque_type = nullptr;
  PyObject* append = nullptr;   // deque.append
  PyObject* popleft = nullptr;  // deque.popleft
  PyObject* methods = nullptr;  // tuple: Queue's put, get, _put, _get, _qsize as first seen
  PyObject* notify = nullptr;   // Condition.notify as first seen
  unsigned queue_version = 0;   // class versions found unchanged (0: look again)
  unsigned cond_version = 0;
  bool ready = false;
};
QueueSource g_queue;

const char* const kQueueMethods[] = {"put", "get", "_put", "_get", "_qsize"};
constexpr int kQueueMethodCount = 5;

PyObject* type_attr(PyObject* cls, const char* name) {
  Ref key = Ref::steal(PyUnicode_InternFromString(name));
  return _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), key.get());  // borrowed, may be NULL
}

bool same_version(PyObject* cls, unsigned version) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  return version && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) && type->tp_version_tag == version;
}

unsigned version_of(PyObject* cls) {
  auto* type = reinterpret_cast<PyTypeObject*>(cls);
  return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}

bool no_data_descriptor(PyObject* cls, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    PyObject* d = type_attr(cls, name);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  return true;
}

bool queue_class_unchanged() {
  QueueSource& k = g_queue;
  if (same_version(k.queue_cls, k.queue_version)) return true;
  k.queue_version = 0;
  auto* type = reinterpret_cast<PyTypeObject*>(k.queue_cls);
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  if (!no_data_descriptor(k.queue_cls, {"maxsize", "queue", "mutex", "not_empty", "not_full", "all_tasks_done",
                                        "unfinished_tasks"}))
    return false;
  for (int i = 0; i < kQueueMethodCount; ++i)
    if (type_attr(k.queue_cls, kQueueMethods[i]) != PyTuple_GET_ITEM(k.methods, i)) return false;
  k.queue_version = version_of(k.queue_cls);
  return true;
}

bool cond_class_unchanged() {
  QueueSource& k = g_queue;
  if (same_version(k.cond_cls, k.cond_version)) return true;
  k.cond_version = 0;
  auto* type = reinterpret_cast<PyTypeObject*>(k.cond_cls);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  if (!no_data_descriptor(k.cond_cls, {"_waiters"}) || type_attr(k.cond_cls, "notify") != k.notify) return false;
  k.cond_version = version_of(k.cond_cls);
  return true;
}

// A plain queue's attributes, borrowed from its instance dict.
struct QueueParts {
  PyObject* dict = nullptr;
  PyObject* maxsize = nullptr;
  PyObject* items = nullptr;
  PyObject* mutex = nullptr;
  PyObject* not_empty = nullptr;
  PyObject* not_full = nullptr;
  PyObject* all_tasks_done = nullptr;
  PyObject* unfinished = nullptr;
};

// The instance dict of `obj` when it is an exact dict, else NULL.
PyObject* dict_of(PyObject* obj) {
  PyObject** dictptr = _PyObject_GetDictPtr(obj);
  if (!dictptr || !*dictptr || !PyDict_CheckExact(*dictptr)) return nullptr;
  return *dictptr;
}

#if ORVA_DICT_VERSIONS
// The parts of the queue last found plain, valid while its dict keeps the version tag it had then
// (the dict holds them; tags are never reused). Compared only, never dereferenced through `queue`.
struct KnownQueue {
  PyObject* queue = nullptr;
  uint64_t version = 0;
  QueueParts parts;
};
KnownQueue g_known_queue;

uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }

bool known_queue(PyObject* q, QueueParts& s) {
  const KnownQueue& k = g_known_queue;
  if (k.queue != q || !k.version || dict_of(q) != k.parts.dict || dict_version(k.parts.dict) != k.version) return false;
  // An instance of a Python class can change class without its holder's dict changing.
  PyObject* cond = g_queue.cond_cls;
  if (reinterpret_cast<PyObject*>(Py_TYPE(k.parts.not_empty)) != cond ||
      reinterpret_cast<PyObject*>(Py_TYPE(k.parts.not_full)) != cond || !cond_class_unchanged())
    return false;
  s = k.parts;
  return true;
}

void remember_queue(PyObject* q, const QueueParts& s) { g_known_queue = KnownQueue{q, dict_version(s.dict), s}; }
#endif

// Whether `q` is an unbounded queue.Queue holding just what Queue.__init__ gives it (a plain lock,
// deque and conditions), its class and Condition unchanged. Reads only: no Python code runs.
bool plain_queue(PyObject* q, QueueParts& s) {
  QueueSource& k = g_queue;
  if (!k.ready || reinterpret_cast<PyObject*>(Py_TYPE(q)) != k.queue_cls || !queue_class_unchanged()) return false;
#if ORVA_DICT_VERSIONS
  if (known_queue(q, s)) return true;
#endif
  s.dict = dict_of(q);
  if (!s.dict || PyDict_GET_SIZE(s.dict) != 7) return false;
  PyObject* const names[] = {ORVA_NAME("maxsize"),   ORVA_NAME("queue"),          ORVA_NAME("mutex"),
                             ORVA_NAME("not_empty"), ORVA_NAME("not_full"),       ORVA_NAME("all_tasks_done"),
                             ORVA_NAME("unfinished_tasks")};
  PyObject** slots[] = {&s.maxsize, &s.items, &s.mutex, &s.not_empty, &s.not_full, &s.all_tasks_done, &s.unfinished};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(s.dict, &pos, &key, &value)) {
    int i = 0;
    while (i < 7 && names[i] != key) ++i;
    if (i == 7 || *slots[i]) return false;
    *slots[i] = value;
  }
  if (!PyLong_CheckExact(s.maxsize) || !PyLong_CheckExact(s.unfinished)) return false;
  int overflow = 0;
  const long maxsize = PyLong_AsLongAndOverflow(s.maxsize, &overflow);
  if (maxsize == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (overflow > 0 || maxsize > 0) return false;
  PyObject* cond = k.cond_cls;
  if (Py_TYPE(s.items) != k.deque_type || Py_TYPE(s.mutex) != k.lock_type ||
      reinterpret_cast<PyObject*>(Py_TYPE(s.not_empty)) != cond ||
      reinterpret_cast<PyObject*>(Py_TYPE(s.not_full)) != cond || !cond_class_unchanged())
    return false;
#if ORVA_DICT_VERSIONS
  remember_queue(q, s);
#endif
  return true;
}

// Holds a queue's mutex, taken without waiting (and without letting other threads run).
class Mutex {
 public:
  explicit Mutex(PyObject* mutex) : lock_(reinterpret_cast<LockObject*>(mutex)) {
    if (!PyThread_acquire_lock(lock_->lock_lock, 0)) {
      lock_ = nullptr;
      return;
    }
    lock_->locked = 1;
    Py_INCREF(mutex);  // Python code run under it (a notify) may drop the queue's reference
  }
  ~Mutex() {
    if (!lock_ || !holds_gil()) return;
    lock_->locked = 0;
    PyThread_release_lock(lock_->lock_lock);
    Py_DECREF(reinterpret_cast<PyObject*>(lock_));
  }
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;
  bool held() const { return lock_ != nullptr; }

 private:
  LockObject* lock_;
};

// cond.notify() when a thread waits on `cond` (a plain Condition): notify does nothing otherwise.
void notify_waiter(PyObject* cond, Keep& keep) {
  PyObject* dict = dict_of(cond);
  PyObject* waiters = dict ? PyDict_GetItemWithError(dict, ORVA_NAME("_waiters")) : nullptr;
  if (waiters) {
    keep.hold(waiters);
  } else {
    if (PyErr_Occurred()) throw_error();
    waiters = keep.own(PyObject_GetAttr(cond, ORVA_NAME("_waiters")));
  }
  const Py_ssize_t n = PyObject_Length(waiters);
  if (n < 0) throw_error();
  if (n > 0) keep.own(PyObject_CallMethodNoArgs(cond, ORVA_NAME("notify")));
}

// Whether the running interpreter lays out _thread.lock as LockObject: a lock is taken and
// given back through its own methods and the fields followed.
bool lock_layout_matches(PyObject* lock) {
  if (Py_TYPE(lock)->tp_basicsize != static_cast<Py_ssize_t>(sizeof(LockObject))) return false;
  auto* l = reinterpret_cast<LockObject*>(lock);
  if (!l->lock_lock || l->locked != 0) return false;
  Ref taken = call_method(lock, ORVA_NAME("acquire"));
  const bool locked = l->locked == 1 && !PyThread_acquire_lock(l->lock_lock, 0);
  call_method(lock, ORVA_NAME("release"));
  return locked && l->locked == 0;
}

}  // namespace

void load_queue_source() {
  if (PY_VERSION_HEX >= 0x030D0000) return;  // the lock's layout is another one
  QueueSource& k = g_queue;
  Ref queue_mod = Ref::steal(PyImport_ImportModule("queue"));
  Ref queue_cls = getattr(queue_mod.get(), ORVA_NAME("Queue"));
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref cond_cls = getattr(threading.get(), ORVA_NAME("Condition"));
  Ref lock = call_method(threading.get(), ORVA_NAME("Lock"));
  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  Ref deque = getattr(collections.get(), ORVA_NAME("deque"));
  if (!PyType_Check(queue_cls.get()) || !PyType_Check(cond_cls.get()) || !PyType_Check(deque.get())) return;
  if (!lock_layout_matches(lock.get())) return;
  Ref append = getattr(deque.get(), ORVA_NAME("append"));
  Ref popleft = getattr(deque.get(), ORVA_NAME("popleft"));
  Ref methods = Ref::steal(PyTuple_New(kQueueMethodCount));
  for (int i = 0; i < kQueueMethodCount; ++i) {
    PyObject* m = type_attr(queue_cls.get(), kQueueMethods[i]);
    if (!m) return;
    Py_INCREF(m);
    PyTuple_SET_ITEM(methods.get(), i, m);
  }
  PyObject* notify = type_attr(cond_cls.get(), "notify");
  if (!notify) return;
  Py_INCREF(notify);
  // Kept for the life of the process (never released).
  k.notify = notify;
  k.queue_cls = queue_cls.release();
  k.cond_cls = cond_cls.release();
  k.lock_type = Py_TYPE(lock.get());
  Py_INCREF(k.lock_type);
  k.deque_type = reinterpret_cast<PyTypeObject*>(deque.release());
  k.append = append.release();
  k.popleft = popleft.release();
  k.methods = methods.release();
  k.ready = true;
}

bool plain_put(PyObject* q, PyObject* item) {
  QueueParts s;
  if (!plain_queue(q, s)) return false;
  Keep keep;  // released after the mutex (declared first)
  Mutex mutex(s.mutex);
  if (!mutex.held()) return false;
  // Nothing has run since the look: the parts are as read. Held, as the notify runs Python code.
  PyObject* items = keep.hold(s.items);
  PyObject* not_empty = keep.hold(s.not_empty);
  PyObject* dict = keep.hold(s.dict);
  PyObject* args[] = {items, item};
  keep.own(PyObject_Vectorcall(g_queue.append, args, 2, nullptr));
  PyObject* next = keep.own(PyNumber_Add(s.unfinished, keep.own(PyLong_FromLong(1))));
  dict_set(dict, ORVA_NAME("unfinished_tasks"), next);
#if ORVA_DICT_VERSIONS
  // The one change made to the dict: the parts stay known (the dict holds the new count).
  s.unfinished = next;
  remember_queue(q, s);
#endif
  notify_waiter(not_empty, keep);
  return true;
}

Ref plain_pop(PyObject* q) {
  QueueParts s;
  if (!plain_queue(q, s)) return Ref();
  const Py_ssize_t waiting = PyObject_Length(s.items);
  if (waiting < 0) throw_error();
  if (waiting == 0) return Ref();
  Keep keep;
  Mutex mutex(s.mutex);
  if (!mutex.held()) return Ref();
  PyObject* not_full = keep.hold(s.not_full);
  PyObject* self = s.items;
  Ref item = Ref::steal(PyObject_Vectorcall(g_queue.popleft, &self, 1, nullptr));
  notify_waiter(not_full, keep);
  return item;
}

bool view_of(PyObject* self, Keep& keep, SelfView& v) {
  if (!plain_type(Py_TYPE(self))) return false;
  PyObject* dict = dict_of(self);
  if (!dict || PyDict_GET_SIZE(dict) != 7) return false;
  PyObject* const* names = attribute_names();
  PyObject** slots[] = {&v.pending_orders, &v.response_queue, &v.pending_order_queue, &v.current_tick_infos,
                        &v.positions,      &v.account_info,   &v.exchange_info};
  SelfView found;
  PyObject** found_slots[] = {&found.pending_orders, &found.response_queue, &found.pending_order_queue,
                              &found.current_tick_infos, &found.positions, &found.account_info,
                              &found.exchange_info};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    int i = 0;
    while (i < 7 && names[i] != key) ++i;
    if (i == 7 || *found_slots[i]) return false;
    *found_slots[i] = value;
  }
  for (int i = 0; i < 7; ++i) *slots[i] = keep.hold(*found_slots[i]);
  v.type = Py_TYPE(self);
  v.dict = dict;
#if ORVA_DICT_VERSIONS
  v.version = reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#endif
  return true;
}

bool view_holds(PyObject* self, const SelfView& v) {
#if ORVA_DICT_VERSIONS
  // Compared only: another dict made at the same address has another version tag.
  PyObject* dict = dict_of(self);
  return dict && dict == v.dict && reinterpret_cast<PyDictObject*>(dict)->ma_version_tag == v.version &&
         Py_TYPE(self) == v.type && plain_type(v.type);
#else
  (void)self, (void)v;
  return false;
#endif
}

// ---- add_order ---------------------------------------------------------------------------------

namespace {

// Sets d[key] = value, a reference borrowed from something held.
inline void set(PyObject* d, PyObject* key, PyObject* value) { dict_set(d, key, value); }

// d[key] for an exact dict holding it, else NULL (no error set).
inline PyObject* entry_of(PyObject* d, PyObject* key) {
  if (!PyDict_CheckExact(d)) return nullptr;
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v) PyErr_Clear();
  return v;
}

// What a request resolves to before anything is changed.
struct Request {
  PyObject *action, *price_type, *order_type, *cond = nullptr, *lot = nullptr, *oc = nullptr;
  bool stock;
};

#if ORVA_DICT_VERSIONS
bool resolve(const Args& a, const EnumSnapshot& e, Request& r) {
  PyObject* product = a[2];
  r.stock = same_text(product, ORVA_NAME("Stock"));
  if (!r.stock && !same_text(product, ORVA_NAME("Future"))) return false;
  r.action = snapshot_member(e, kAction, a[3]);
  r.price_type = snapshot_member(e, kPriceType, a[6]);
  r.order_type = snapshot_member(e, kOrderType, a[7]);
  if (!r.action || !r.price_type || !r.order_type) return false;
  if (r.stock) {
    r.cond = snapshot_member(e, kOrderCond, a[8]);
    r.lot = snapshot_member(e, kOrderLot, a[9]);
    return r.cond && r.lot;
  }
  r.oc = snapshot_member(e, kOCType, a[10]);
  return r.oc != nullptr;
}

// The fields of a new order's record that its report repeats (held by the record).
struct NewOrder {
  PyObject *trade_id, *account_id, *code, *price, *quantity, *exchange_name, *exchange_ts;
};

// The "New" report of the record just made, as build_order_response(record, OperationType.NEW,
// SuccessCode.CreateOrder) makes it with the class's own report methods.
Ref new_order_report(const EnumSnapshot& e, const Request& r, const NewOrder& n) {
  PyObject* id = n.trade_id;
  Ref order;
  if (r.stock) {
    PyObject* const fixed[] = {id, id, id, n.account_id, n.code, r.action, n.price, n.quantity, r.order_type,
                               r.cond, r.lot, r.price_type};
    order = make_shaped(kOrderStockShape, fixed);
  } else {
    PyObject* const fixed[] = {id, id, id, n.account_id, n.code, r.action, n.price, n.quantity, r.order_type,
                               r.price_type, r.oc};
    order = make_shaped(kOrderFutureShape, fixed);
  }
  PyObject* const status_values[] = {id, n.exchange_name, n.exchange_ts};
  Ref status = make_shaped(kStatusShape, status_values);
  PyObject* const report_values[] = {e.op_new, e.create_code, e.create_message, order.get(), status.get()};
  return make_shaped(kNewReportShape, report_values);
}

#endif

}  // namespace

#if ORVA_DICT_VERSIONS
bool deal_fields(PyObject* deal, DealFields& f) {
  if (!PyDict_CheckExact(deal)) return false;
  f.product = entry_of(deal, ORVA_NAME("product_type"));
  f.id = entry_of(deal, ORVA_NAME("trade_id"));
  f.action = entry_of(deal, ORVA_NAME("action"));
  f.code = entry_of(deal, ORVA_NAME("code"));
  f.quantity = entry_of(deal, ORVA_NAME("quantity"));
  f.price = entry_of(deal, ORVA_NAME("price"));
  f.ts = entry_of(deal, ORVA_NAME("exchange_ts"));
  f.cond = entry_of(deal, ORVA_NAME("order_cond"));
  f.lot = entry_of(deal, ORVA_NAME("order_lot"));
  return f.product && f.id && f.action && f.code && f.quantity && f.price && f.ts;
}

Ref quick_deal_report(const EnumSnapshot& e, const DealFields& f, const SelfView& v, Keep& keep) {
  const bool stock = same_text(f.product, ORVA_NAME("Stock"));
  if (!stock && !same_text(f.product, ORVA_NAME("Future"))) return Ref();
  PyObject* broker = entry_of(v.exchange_info, ORVA_NAME("name"));
  PyObject* account = entry_of(v.account_info, ORVA_NAME("account_id"));
  if (!broker || !account) return Ref();
  PyObject *cond = nullptr, *lot = nullptr;
  if (stock) {
    if (!f.cond || !f.lot) return Ref();
    cond = snapshot_member(e, kOrderCond, f.cond);
    lot = snapshot_member(e, kOrderLot, f.lot);
    if (!cond || !lot) return Ref();
  }
  // Held while the report is made (making a dict may run the collector).
  for (PyObject* held : {f.id, f.action, f.code, f.quantity, f.price, f.ts, broker, account}) keep.hold(held);
  PyObject* id = f.id;
  if (stock) {
    PyObject* const values[] = {id,       id,      id,         id,   broker, account, f.action,
                                f.code,   f.quantity, f.price, cond, lot,    f.ts};
    return make_shaped(kDealStockShape, values);
  }
  PyObject* const values[] = {id, id, id, id, broker, account, f.action, f.code, f.quantity, f.price, f.ts};
  return make_shaped(kDealFutureShape, values);
}
#endif

#if ORVA_DICT_VERSIONS
bool quick_add_order(const Args& a) {
  if (!fastpaths_on()) return false;
  PyObject *self = a.self(), *code = a[1], *qty = a[5];
  // Arguments whose checks run no Python code; anything else takes the plain path.
  if (!PyFloat_CheckExact(a[4]) && !PyLong_CheckExact(a[4])) return false;
  int overflow = 0;
  const long long quantity = PyLong_AsLongLongAndOverflow(qty, &overflow);
  if (quantity == -1 && PyErr_Occurred()) throw_error();
  if (overflow || quantity < 0 || !native_trade_ids()) return false;
  const double price_value = PyFloat_AsDouble(a[4]);
  if (price_value == -1.0 && PyErr_Occurred()) throw_error();

  Keep keep;
  BookLock lock(self);
  // Drawn before anything is read from the instance: drawing may let other threads run.
  PyObject* trade_id = keep.own(drawn_trade_id().release());
  const EnumSnapshot* e = enum_snapshot();
  SelfView v;
  Request r;
  if (!e || !resolve(a, *e, r) || !view_of(self, keep, v)) return false;
  PyObject* account_id = entry_of(v.account_info, ORVA_NAME("account_id"));
  PyObject* exchange_name = entry_of(v.exchange_info, ORVA_NAME("name"));
  if (!account_id || !exchange_name || !PyDict_CheckExact(v.current_tick_infos) || !PyList_Check(v.pending_orders))
    return false;
  PyObject* exchange_ts = Py_None;
  if (PyObject* info = PyDict_GetItemWithError(v.current_tick_infos, code)) {
    exchange_ts = entry_of(info, ORVA_NAME("ts"));
    if (!exchange_ts) return false;
  } else if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  keep.hold(account_id);
  keep.hold(exchange_name);
  keep.hold(exchange_ts);

  PyObject* price = keep.own(PyFloat_FromDouble(price_value));
  PyObject* record;
  if (r.stock) {
    PyObject* const values[] = {ORVA_NAME("New"), e->create_code, e->create_message, trade_id,     account_id,
                                code,             a[2],           r.action,          price,        qty,
                                r.price_type,     r.order_type,   exchange_ts,       r.cond,       r.lot};
    record = keep.own(make_shaped(kRecordStockShape, values).release());
  } else {
    PyObject* const values[] = {ORVA_NAME("New"), e->create_code, e->create_message, trade_id, account_id,
                                code,             a[2],           r.action,          price,    qty,
                                r.price_type,     r.order_type,   exchange_ts,       r.oc};
    record = keep.own(make_shaped(kRecordFutureShape, values).release());
  }
  if (PyList_Append(v.pending_orders, record) < 0) throw_error();

  absorbing(
      [&] {
        const NewOrder n{trade_id, account_id, code, price, qty, exchange_name, exchange_ts};
        Ref report = new_order_report(*e, r, n);
        put_report(v.response_queue, report.get());
        print_line("[green]新增委託單 {} 成功[/green]", {trade_id});
      },
      [&](Caught& caught) { add_order_failed(a, price, caught); });
  return true;
}
#endif
#endif

}  // namespace orva::matcher
