// Dicts of a fixed list of keys (order records, reports): made from a template and their values
// written in place, instead of key by key (a look-up and an insert per key).
//
// On CPython 3.10 a template is a key-sharing dict (the __dict__ layout of instances): its copies
// share its key table and carry only their values, a third of the memory of a dict of their own. A
// copy is a dict like any other afterwards (a key added to one, or taken out, is CPython's business).
#include "hot.hpp"

#if ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030B0000
#define ORVA_SHARED_KEYS 1
#else
#define ORVA_SHARED_KEYS 0
#endif

namespace orva::matcher {

namespace {

const char* const kRecordStock[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                    "account_id",     "code",           "product_type",      "action",
                                    "price",          "quantity",       "price_type",        "order_type",
                                    "exchange_ts",    "order_cond",     "order_lot"};
const char* const kRecordFuture[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                     "account_id",     "code",           "product_type",      "action",
                                     "price",          "quantity",       "price_type",        "order_type",
                                     "exchange_ts",    "oc_type"};
const char* const kOrderStock[] = {"id",     "seqno",    "ordno",      "account",    "code",      "action",
                                   "price",  "quantity", "order_type", "order_cond", "order_lot", "price_type"};
const char* const kOrderFuture[] = {"id",    "seqno",    "ordno",      "account",    "code",   "action",
                                    "price", "quantity", "order_type", "price_type", "oc_type"};
const char* const kStatus[] = {"id", "exchange", "exchange_ts"};
const char* const kNewReport[] = {"operation_type", "operation_status_code", "operation_message", "order",
                                  "trade_status"};
const char* const kDealStock[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id",  "account",
                                  "action", "code",  "quantity", "price",          "order_cond", "order_lot",
                                  "exchange_ts"};
const char* const kDealFuture[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id", "account",
                                   "action", "code",  "quantity", "price",          "exchange_ts"};

struct ShapeSource {
  const char* const* names;
  int n;
};
template <size_t N>
constexpr ShapeSource source(const char* const (&names)[N]) {
  return {names, static_cast<int>(N)};
}
constexpr ShapeSource kSources[kShapeCount] = {source(kRecordStock), source(kRecordFuture), source(kOrderStock),
                                               source(kOrderFuture), source(kStatus),       source(kNewReport),
                                               source(kDealStock),   source(kDealFuture)};

// Made at load, kept for the life of the process (never released).
struct Shape {
  PyObject* keys[kMaxShapeKeys] = {};  // interned
  int n = 0;
  PyObject* templ = nullptr;  // key-sharing, values None; null when not available
};
Shape g_shapes[kShapeCount];

#if ORVA_SHARED_KEYS
// A key-sharing dict of `keys` in order, values None (the __dict__ of an instance of a private
// class, copied), or empty when this interpreter does not lay it out so.
Ref shared_template(const Shape& s) {
  Ref ns = Ref::steal(PyDict_New());
  Ref cls = Ref::steal(
      PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", "_matcher_shape", ns.get()));
  Ref instance = Ref::steal(PyObject_CallNoArgs(cls.get()));
  for (int i = 0; i < s.n; ++i) setattr(instance.get(), s.keys[i], Py_None);
  Ref dict = Ref::steal(PyObject_GenericGetDict(instance.get(), nullptr));
  Ref copy = Ref::steal(PyDict_Copy(dict.get()));
  auto* d = reinterpret_cast<PyDictObject*>(copy.get());
  if (!d->ma_values || d->ma_used != s.n) return Ref();
  // Values are written by index: key i must sit at index i.
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  for (int i = 0; PyDict_Next(copy.get(), &pos, &key, &value); ++i)
    if (i >= s.n || key != s.keys[i] || pos != i + 1 || value != Py_None) return Ref();
  return copy;
}

// What CPython's dict does on an insert: a dict holding something the collector may track is
// tracked. (A type whose instances may opt out, tp_is_gc, counts as tracked: tracking a dict
// that need not be costs nothing but the collector's visit.)
bool may_be_tracked(PyObject* v) {
  return PyType_IS_GC(Py_TYPE(v)) && (!PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v));
}
#endif

}  // namespace

void load_shapes() {
  for (int id = 0; id < kShapeCount; ++id) {
    Shape& s = g_shapes[id];
    s.n = kSources[id].n;
    for (int i = 0; i < s.n; ++i) {
      PyObject* key = PyUnicode_InternFromString(kSources[id].names[i]);
      if (!key) throw_error();
      s.keys[i] = key;  // kept for the life of the process
    }
#if ORVA_SHARED_KEYS
    if (fastpaths_on()) s.templ = shared_template(s).release();
#endif
  }
}

int shape_size(ShapeId id) { return g_shapes[id].n; }

Ref make_shaped(ShapeId id, PyObject* const* values) {
  const Shape& s = g_shapes[id];
#if ORVA_SHARED_KEYS
  if (s.templ && fastpaths_on()) {
    Ref copy = Ref::steal(PyDict_Copy(s.templ));
    auto* d = reinterpret_cast<PyDictObject*>(copy.get());
    if (d->ma_values && d->ma_keys == reinterpret_cast<PyDictObject*>(s.templ)->ma_keys && d->ma_used == s.n) {
      // New and seen by nobody: its version tag, given when it was made, is first seen with these
      // values. Nothing here can run Python code (the values replaced are None).
      bool track = false;
      for (int i = 0; i < s.n; ++i) {
        PyObject* old = d->ma_values[i];
        Py_INCREF(values[i]);
        d->ma_values[i] = values[i];
        Py_XDECREF(old);
        track = track || may_be_tracked(values[i]);
      }
      if (track && !PyObject_GC_IsTracked(copy.get())) PyObject_GC_Track(copy.get());
      return copy;
    }
    for (int i = 0; i < s.n; ++i) dict_set(copy.get(), s.keys[i], values[i]);  // keys already in order
    return copy;
  }
#endif
  Ref d = Ref::steal(_PyDict_NewPresized(s.n));
  for (int i = 0; i < s.n; ++i) dict_set(d.get(), s.keys[i], values[i]);
  return d;
}

PyObject** shaped_values(ShapeId id, PyObject* d) {
#if ORVA_SHARED_KEYS
  const Shape& s = g_shapes[id];
  if (!s.templ || !fastpaths_on() || Py_TYPE(d) != &PyDict_Type) return nullptr;
  auto* dict = reinterpret_cast<PyDictObject*>(d);
  // The key table is shared and only ever grows at its end: key i is still at index i.
  if (!dict->ma_values || dict->ma_keys != reinterpret_cast<PyDictObject*>(s.templ)->ma_keys) return nullptr;
  return dict->ma_values;
#else
  (void)id, (void)d;
  return nullptr;
#endif
}

}  // namespace orva::matcher
