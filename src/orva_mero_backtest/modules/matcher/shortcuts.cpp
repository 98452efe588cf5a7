// The shortcuts of hot.hpp. Each checks what it relies on first and leaves the call to the plain
// path, having changed nothing, when any of it does not hold.
#include "shortcuts.hpp"

#include "console_log.hpp"
#include "queues.hpp"

namespace orva::matcher {

#if ORVA_USE_ENTRY_HINTS
// self.<name> read at its remembered place in the instance dict of a plain Matcher (borrowed), or
// null when only getattr can tell.
PyObject* hinted_attr(PyObject* self, PyObject* SelfView::*attribute, PyObject* name);
#endif

PyObject* self_attr(PyObject* self, PyObject* SelfView::*attribute, PyObject* name, Keep& keep) {
  // Without dict versions a view is read afresh, a walk over the whole instance dict: one getattr
  // of the one attribute costs less, and the attribute's remembered place in the dict less still.
#if ORVA_USE_DICT_VERSIONS
  if (fastpaths_on()) {
    if (PyObject* seen = remembered_attr(self, attribute)) return keep.hold(seen);
    SelfView v;
    if (view_of(self, keep, v)) return v.*attribute;  // held by keep
  }
#elif ORVA_USE_ENTRY_HINTS
  if (fastpaths_on())
    if (PyObject* found = hinted_attr(self, attribute, name)) return keep.hold(found);
#endif
  return keep.own(PyObject_GetAttr(self, name));
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

// Types found plain, each valid while its guard says the class and its bases are unchanged.
// Compared only, never dereferenced through the table.
TypeGuard g_plain_types[4];
unsigned g_plain_next = 0;

bool plain_type(PyTypeObject* type) {
  for (const TypeGuard& g : g_plain_types)
    if (g.unchanged(type)) return true;
  if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
  // Type look-ups only: no Python code runs.
  if (!own_methods_on(type)) return false;
  PyObject* const* names = attribute_names();
  for (int i = 0; i < 7; ++i) {
    PyObject* d = type_lookup(type, names[i]);
    if (d && Py_TYPE(d)->tp_descr_set) return false;
  }
  g_plain_types[g_plain_next++ % 4].mark(type);
  return true;
}

// The instance dict of `obj` when it is an exact dict, else NULL.
PyObject* dict_of(PyObject* obj) {
  PyObject* d = instance_dict(obj);
  return d && PyDict_CheckExact(d) ? d : nullptr;
}

#if ORVA_USE_ENTRY_HINTS
// Where each of the seven attributes sits in a plain instance's dict (instances of one class share
// their keys, so one place serves them all); learnt by a view read the long way.
EntryHint g_attr_hints[7];

// The seven attributes of `dict` read at their places (borrowed): true only when the dict holds
// exactly the seven names, each at its place. Pointer compares: no Python code runs.
bool hinted_attrs(PyObject* dict, PyObject** out) {
  if (PyDict_GET_SIZE(dict) != 7) return false;
  const EntryHint::Entries entries(dict);
  PyObject* const* names = attribute_names();
  for (int i = 0; i < 7; ++i)
    if (!(out[i] = entries.find(g_attr_hints[i], names[i]))) return false;
  return true;
}

void learn_attrs(PyObject* dict) {
  PyObject* const* names = attribute_names();
  for (int i = 0; i < 7; ++i) g_attr_hints[i].learn(dict, names[i]);
}

int attribute_index(PyObject* SelfView::*attribute) {
  PyObject* SelfView::*const members[7] = {&SelfView::pending_orders,     &SelfView::response_queue,
                                           &SelfView::pending_order_queue, &SelfView::current_tick_infos,
                                           &SelfView::positions,          &SelfView::account_info,
                                           &SelfView::exchange_info};
  for (int i = 0; i < 7; ++i)
    if (members[i] == attribute) return i;
  return -1;
}
#endif

}  // namespace

#if ORVA_USE_ENTRY_HINTS
PyObject* hinted_attr(PyObject* self, PyObject* SelfView::*attribute, PyObject* name) {
  const int i = attribute_index(attribute);
  if (i < 0 || !plain_type(Py_TYPE(self))) return nullptr;
  PyObject* dict = dict_of(self);
  if (!dict) return nullptr;
  // A plain class puts nothing in front of the instance's value: the dict's entry is getattr's answer.
  if (PyObject* found = g_attr_hints[i].find(dict, name)) return found;
  g_attr_hints[i].learn(dict, name);
  return g_attr_hints[i].find(dict, name);
}
#endif

#if ORVA_USE_DICT_VERSIONS
namespace {
// The view last read, valid while its instance dict keeps the version tag it had then (the dict
// holds what it shows; tags are never reused). Compared only, never dereferenced through it.
SelfView g_last_view;
}  // namespace
#endif

bool view_of(PyObject* self, Keep& keep, SelfView& v) {
  if (!plain_type(Py_TYPE(self))) return false;
  PyObject* dict = dict_of(self);
  if (!dict) return false;
#if ORVA_USE_DICT_VERSIONS
  const SelfView& last = g_last_view;
  if (last.dict == dict && last.version == dict_version(dict) &&
      last.type == Py_TYPE(self)) {
    v = last;
    for (PyObject* held : {v.pending_orders, v.response_queue, v.pending_order_queue, v.current_tick_infos,
                           v.positions, v.account_info, v.exchange_info})
      keep.hold(held);
    return true;
  }
#endif
  if (PyDict_GET_SIZE(dict) != 7) return false;
  PyObject* const* names = attribute_names();
  PyObject** slots[] = {&v.pending_orders, &v.response_queue, &v.pending_order_queue, &v.current_tick_infos,
                        &v.positions,      &v.account_info,   &v.exchange_info};
#if ORVA_USE_ENTRY_HINTS
  // Each of the seven names at its remembered place: the view without a walk over the dict.
  PyObject* at[7];
  if (fastpaths_on() && hinted_attrs(dict, at)) {
    for (int i = 0; i < 7; ++i) *slots[i] = keep.hold(at[i]);
    v.type = Py_TYPE(self);
    v.dict = dict;
    return true;
  }
#endif
  SelfView found;
  PyObject** found_slots[] = {&found.pending_orders, &found.response_queue, &found.pending_order_queue,
                              &found.current_tick_infos, &found.positions, &found.account_info,
                              &found.exchange_info};
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  int next = 0;  // keys usually come in the order __init__ set them
  while (PyDict_Next(dict, &pos, &key, &value)) {
    int i = next < 7 && names[next] == key ? next : 0;
    while (i < 7 && names[i] != key) ++i;
    next = i + 1;
    if (i == 7 || *found_slots[i]) return false;
    *found_slots[i] = value;
  }
  for (int i = 0; i < 7; ++i) *slots[i] = keep.hold(*found_slots[i]);
  v.type = Py_TYPE(self);
  v.dict = dict;
#if ORVA_USE_DICT_VERSIONS
  v.version = dict_version(dict);
  g_last_view = v;
#endif
#if ORVA_USE_ENTRY_HINTS
  learn_attrs(dict);
#endif
  return true;
}

PyObject* remembered_attr(PyObject* self, PyObject* SelfView::*attribute) {
#if ORVA_USE_DICT_VERSIONS
  const SelfView& last = g_last_view;
  if (view_holds(self, last)) return last.*attribute;
#else
  (void)self, (void)attribute;
#endif
  return nullptr;
}

bool view_holds(PyObject* self, const SelfView& v) {
  PyObject* dict = dict_of(self);
#if ORVA_USE_DICT_VERSIONS
  // Compared only: another dict made at the same address has another version tag.
  return dict && dict == v.dict && dict_version(dict) == v.version &&
         Py_TYPE(self) == v.type && plain_type(v.type);
#else
  // The same dict still holding exactly the objects the view shows, its keys compared by identity
  // as view_of read them: pointer compares only, no Python code runs.
  if (!dict || dict != v.dict || Py_TYPE(self) != v.type || PyDict_GET_SIZE(dict) != 7 || !plain_type(v.type))
    return false;
  PyObject* const* names = attribute_names();
  PyObject* const shown[] = {v.pending_orders, v.response_queue, v.pending_order_queue, v.current_tick_infos,
                             v.positions,      v.account_info,   v.exchange_info};
#if ORVA_USE_ENTRY_HINTS
  // Each name at its remembered place holding what the view shows: one compare per key and value.
  if (fastpaths_on() && EntryHint::Entries(dict).hold(g_attr_hints, names, [&](int i) { return shown[i]; }, 7))
    return true;
#endif
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  int next = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    int i = next < 7 && names[next] == key ? next : 0;
    while (i < 7 && names[i] != key) ++i;
    if (i == 7 || value != shown[i]) return false;
    next = i + 1;
  }
  return true;  // seven distinct keys, each one of the seven names
#endif
}

// ---- add_order ---------------------------------------------------------------------------------

namespace {

// d[key] for an exact dict holding it, else NULL (no error set).
inline PyObject* entry_of(PyObject* d, PyObject* key) {
  if (!PyDict_CheckExact(d)) return nullptr;
  PyObject* v = PyDict_GetItemWithError(d, key);
  if (!v) PyErr_Clear();
  return v;
}

#if ORVA_USE_DICT_VERSIONS
// d[key] as entry_of gives it, remembered while the dict keeps its version tag (the dict holds the
// value; tags are never reused). Compared only, never dereferenced through it.
struct LastEntry {
  PyObject* dict = nullptr;
  uint64_t version = 0;
  PyObject* value = nullptr;
};
LastEntry g_account_id, g_exchange_name;

PyObject* remembered_entry(LastEntry& last, PyObject* d, PyObject* key) {
  if (!PyDict_CheckExact(d)) return nullptr;
  const uint64_t version = dict_version(d);
  if (last.dict == d && last.version == version) return last.value;
  PyObject* v = entry_of(d, key);
  // Remembered only if the look-up left the dict as it was.
  if (v && dict_version(d) == version) last = LastEntry{d, version, v};
  return v;
}
#else
// Without version tags nothing tells the dict is unchanged: read where the key sat last time (or
// looked up).
using LastEntry = EntryPlace;
LastEntry g_account_id, g_exchange_name;

PyObject* remembered_entry(LastEntry& last, PyObject* d, PyObject* key) {
  if (!PyDict_CheckExact(d)) return nullptr;
  PyObject* v = last.get(d, key);  // a str key: no Python code runs
  if (!v) PyErr_Clear();
  return v;
}
#endif

// What a request resolves to before anything is changed.
struct Request {
  PyObject *action, *price_type, *order_type, *cond = nullptr, *lot = nullptr, *oc = nullptr;
  bool stock;
};

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

}  // namespace

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
  // Everything read is held at once: a later look-up (a key's __eq__) or making a dict (the
  // collector) may run code that changes the dicts it came from.
  for (PyObject* held : {f.id, f.action, f.code, f.quantity, f.price, f.ts}) keep.hold(held);
  PyObject* broker = remembered_entry(g_exchange_name, v.exchange_info, ORVA_NAME("name"));
  if (!broker) return Ref();
  keep.hold(broker);
  PyObject* account = remembered_entry(g_account_id, v.account_info, ORVA_NAME("account_id"));
  if (!account) return Ref();
  keep.hold(account);
  PyObject *cond = nullptr, *lot = nullptr;
  if (stock) {
    if (!f.cond || !f.lot) return Ref();
    keep.hold(f.cond);
    keep.hold(f.lot);
    if (!(cond = snapshot_member(e, kOrderCond, f.cond))) return Ref();
    keep.hold(cond);
    if (!(lot = snapshot_member(e, kOrderLot, f.lot))) return Ref();
    keep.hold(lot);
  }
  PyObject* id = f.id;
  if (stock) {
    PyObject* const values[] = {id,       id,      id,         id,   broker, account, f.action,
                                f.code,   f.quantity, f.price, cond, lot,    f.ts};
    return make_shaped(kDealStockShape, values);
  }
  PyObject* const values[] = {id, id, id, id, broker, account, f.action, f.code, f.quantity, f.price, f.ts};
  return make_shaped(kDealFutureShape, values);
}

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
  // Each value is held as soon as it is read: a later look-up may run a key's __eq__, which may
  // change the dicts it came from (and self).
  for (PyObject* held : {r.action, r.price_type, r.order_type, r.cond, r.lot, r.oc})
    if (held) keep.hold(held);
  PyObject* account_id = remembered_entry(g_account_id, v.account_info, ORVA_NAME("account_id"));
  if (!account_id) return false;
  keep.hold(account_id);
  PyObject* exchange_name = remembered_entry(g_exchange_name, v.exchange_info, ORVA_NAME("name"));
  if (!exchange_name) return false;
  keep.hold(exchange_name);
  if (!PyDict_CheckExact(v.current_tick_infos) || !PyList_Check(v.pending_orders)) return false;
  PyObject* exchange_ts = Py_None;
  if (PyObject* info = PyDict_GetItemWithError(v.current_tick_infos, code)) {
    keep.hold(info);
    static EntryPlace at_ts;  // the instruments' tick records are made alike
    exchange_ts = PyDict_CheckExact(info) ? at_ts.get(info, ORVA_NAME("ts")) : nullptr;
    if (!exchange_ts) PyErr_Clear();
    if (!exchange_ts) return false;
    keep.hold(exchange_ts);
  } else if (PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  if (!view_holds(self, v)) return false;  // those look-ups ran code that changed self

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
        queue_put(v.response_queue, report.get());
        print_line("[green]新增委託單 {} 成功[/green]", {trade_id});
      },
      [&](Caught& caught) { add_order_failed(a, price, caught); });
  return true;
}
#endif

}  // namespace orva::matcher
