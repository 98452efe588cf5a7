// The book of pending orders: look-up and removal by identity, copies of records, and the
// reads of a record's fields.
#include "shortcuts.hpp"

namespace orva::matcher {

Ref item(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (!v) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      throw_error();
    }
    return Ref::borrow(v);  // held before anything else can run
  }
  return getitem(mapping, key);
}

Ref item(EntryPlace& at, PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = at.get(mapping, key);  // a str key: no Python code runs
    if (!v) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      throw_error();
    }
    return Ref::borrow(v);
  }
  return getitem(mapping, key);
}

Product product_kind(PyObject* product_type) {
  Ref keep = Ref::borrow(product_type);
  if (same_text(product_type, ORVA_NAME("Stock"))) return Product::Stock;
  if (same_text(product_type, ORVA_NAME("Future"))) return Product::Future;
  return Product::Other;
}

Ref book_of(PyObject* self) {
  Ref book = getattr(self, ORVA_NAME("pending_orders"));
  if (!PyList_Check(book.get())) raise(PyExc_TypeError, "pending_orders must be a list");
  return book;
}

namespace {

// Whether the held `record`'s "trade_id" equals `trade_id`, for a plain record whose id is
// exactly str: 1 or 0; -1 when the general comparison is needed. Throws nothing.
int plain_id_match(PyObject* record, PyObject* trade_id) {
  if (!PyDict_CheckExact(record) || !PyUnicode_CheckExact(trade_id)) return -1;
  PyObject* id = PyDict_GetItemWithError(record, ORVA_NAME("trade_id"));
  if (!id || !PyUnicode_CheckExact(id)) {
    PyErr_Clear();  // the general path looks again and reports what it finds
    return -1;
  }
  return same_text(id, trade_id) ? 1 : 0;  // both exactly str: no Python code
}

}  // namespace

Ref find_order(PyObject* self, PyObject* trade_id) {
  Ref book = book_of(self);
  // The size is read again at every step: a comparison may change the book.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book.get()); ++i) {
    // Held by hand around the look-up (a Ref here costs a GIL check per record); nothing
    // between the two can throw.
    PyObject* held = PyList_GET_ITEM(book.get(), i);
    Py_INCREF(held);
    const int plain = plain_id_match(held, trade_id);
    if (plain == 1) return Ref::steal(held);
    Py_DECREF(held);
    if (plain == 0) continue;
    Ref record = Ref::borrow(PyList_GET_ITEM(book.get(), i));
    Ref id = item(record.get(), ORVA_NAME("trade_id"));
    if (same_text(id.get(), trade_id)) return record;
  }
  return Ref();
}

Py_ssize_t position_of(PyObject* book, PyObject* record, Py_ssize_t hint) {
  const Py_ssize_t n = PyList_GET_SIZE(book);
  if (hint >= 0 && hint < n && PyList_GET_ITEM(book, hint) == record) return hint;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyList_GET_ITEM(book, i) == record) return i;
  return -1;
}

bool remove_order(PyObject* book, PyObject* record, Py_ssize_t hint) {
  const Py_ssize_t at = position_of(book, record, hint);
  if (at < 0) return false;
  // The list drops its reference here; the caller holds its own.
  if (PyList_SetSlice(book, at, at + 1, nullptr) < 0) throw_error();
  return true;
}

// ---- Copies ---------------------------------------------------------------------------------
// copy.deepcopy of a record whose keys are exact str and whose values deepcopy would return as
// they are (None, str, int, float, bool and members of a plain Enum) is a dict copy: the
// shortcut makes that copy while the module's copy.deepcopy is still the one seen at load.

namespace {

// What copy.deepcopy was at load; filled once, references never released.
struct CopySource {
  PyObject* copy_module = nullptr;
  PyObject* deepcopy = nullptr;
  PyObject* deepcopy_dispatch = nullptr;  // copy._deepcopy_dispatch
  PyObject* copyreg_dispatch = nullptr;   // copyreg.dispatch_table
  PyObject* enum_meta = nullptr;
  PyObject* enum_reduce_ex = nullptr;  // Enum.__reduce_ex__
  PyObject* enum_deepcopy = nullptr;   // Enum.__deepcopy__ (returns the member; 3.11+)
  bool ready = false;
};

CopySource g_copy;

#if ORVA_FASTPATHS
bool registered(PyObject* table, PyTypeObject* type) {
  PyObject* v = PyDict_GetItemWithError(table, reinterpret_cast<PyObject*>(type));
  if (!v && PyErr_Occurred()) throw_error();
  return v != nullptr;
}

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
// Enumeration types whose members deepcopy returns as they are (the checks on the type below),
// with the version tags they had then, while both dispatch tables keep theirs. Compared only.
struct KeptType {
  PyTypeObject* type = nullptr;
  unsigned version = 0;
};
KeptType g_kept_types[8];
unsigned g_kept_next = 0;
uint64_t g_kept_tables[2] = {0, 0};

bool tables_unchanged() {
  return dict_version(g_copy.deepcopy_dispatch) == g_kept_tables[0] &&
         dict_version(g_copy.copyreg_dispatch) == g_kept_tables[1];
}

// `tables`: tables_unchanged()'s answer when asked before in this pass over a record (-1: not yet).
bool known_kept_type(PyTypeObject* type, int& tables) {
  const unsigned version = type_version(type);
  if (!version) return false;
  for (const KeptType& k : g_kept_types)
    if (k.type == type && k.version == version) {
      if (tables < 0) tables = tables_unchanged();
      return tables == 1;
    }
  return false;
}

void remember_kept_type(PyTypeObject* type) {
  if (!type_version(type)) return;
  if (!tables_unchanged()) {
    for (KeptType& k : g_kept_types) k = KeptType();
    g_kept_tables[0] = dict_version(g_copy.deepcopy_dispatch);
    g_kept_tables[1] = dict_version(g_copy.copyreg_dispatch);
  }
  g_kept_types[g_kept_next++ % 8] = KeptType{type, type_version(type)};
}
#elif ORVA_USE_TYPE_WATCHERS && ORVA_USE_DICT_WATCHERS
// The same with the watchers: enumeration types found kept, each while its guard says it is
// unchanged, while both dispatch tables are unchanged since the first of them was found.
TypeGuard g_kept_types[8];
unsigned g_kept_next = 0;
PlainDictGuard g_kept_tables[2];

bool tables_unchanged() {
  return g_kept_tables[0].unchanged(g_copy.deepcopy_dispatch) && g_kept_tables[1].unchanged(g_copy.copyreg_dispatch);
}

// `tables`: tables_unchanged()'s answer when asked before in this pass over a record (-1: not yet).
bool known_kept_type(PyTypeObject* type, int& tables) {
  for (const TypeGuard& g : g_kept_types)
    if (g.unchanged(type)) {  // false with the shortcut off
      if (tables < 0) tables = tables_unchanged();
      return tables == 1;
    }
  return false;
}

// Called right after the checks, nothing run since (type look-ups and reads of dicts keyed by types).
void remember_kept_type(PyTypeObject* type) {
  if (!fastpaths_on()) return;
  if (!tables_unchanged()) {
    for (TypeGuard& g : g_kept_types) g.forget();
    g_kept_tables[0].mark(g_copy.deepcopy_dispatch);
    g_kept_tables[1].mark(g_copy.copyreg_dispatch);
  }
  g_kept_types[g_kept_next++ % 8].mark(type);
}
#endif

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
// Members whose own dict was found without __deepcopy__, with that dict's version tag then.
// Compared only, never dereferenced through the table.
struct PlainMember {
  PyObject* member = nullptr;
  PyObject* dict = nullptr;
  uint64_t version = 0;
};
PlainMember g_plain_members[16];
unsigned g_plain_member_next = 0;

bool known_plain_member(PyObject* member, PyObject* dict) {
  for (const PlainMember& m : g_plain_members)
    if (m.member == member && m.dict == dict && m.version == dict_version(dict)) return true;
  return false;
}
#endif

// Whether deepcopy returns the members of the enumeration `type` as they are, as far as the type
// tells. Only type look-ups and dict reads: no Python code runs.
bool type_kept(PyTypeObject* type, int& tables) {
  const CopySource& s = g_copy;
#if (ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS) || (ORVA_USE_TYPE_WATCHERS && ORVA_USE_DICT_WATCHERS)
  if (known_kept_type(type, tables)) return true;
#endif
  PyObject* own_deepcopy = type_lookup(type, ORVA_NAME("__deepcopy__"));
  if (own_deepcopy) {
    if (own_deepcopy != s.enum_deepcopy) return false;
  } else if (type_lookup(type, ORVA_NAME("__reduce_ex__")) != s.enum_reduce_ex) {
    return false;
  }
  if (registered(s.deepcopy_dispatch, type) || registered(s.copyreg_dispatch, type)) return false;
#if (ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS) || (ORVA_USE_TYPE_WATCHERS && ORVA_USE_DICT_WATCHERS)
  remember_kept_type(type);
  tables = -1;  // it may have marked the tables afresh
#endif
  return true;
}

// kept_by_deepcopy() for a value that is none of None, str, int, float or bool.
[[gnu::noinline]] bool kept_member(PyObject* v, int& tables) {
  PyTypeObject* type = Py_TYPE(v);
  if (reinterpret_cast<PyObject*>(Py_TYPE(type)) != g_copy.enum_meta || !type_kept(type, tables)) return false;
  // An instance attribute __deepcopy__ would be used first.
  PyObject* dict = instance_dict(v);
  if (dict) {
    if (!PyDict_CheckExact(dict)) return false;
    if (dict_lacks(dict, ORVA_NAME("__deepcopy__"))) return true;  // its probe reaches an empty slot
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    if (known_plain_member(v, dict)) return true;
#endif
    PyObject* own = PyDict_GetItemWithError(dict, ORVA_NAME("__deepcopy__"));
    if (own || PyErr_Occurred()) return false;
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    g_plain_members[g_plain_member_next++ % 16] = PlainMember{v, dict, dict_version(dict)};
#endif
  }
  return true;
}

// Whether deepcopy(v) returns v itself. Only type look-ups and dict reads: no Python code runs.
// `tables` is kept between the values of one record (nothing runs between them). Inline: most of a
// record's values are answered by their type alone.
inline bool kept_by_deepcopy(PyObject* v, int& tables) {
  PyTypeObject* type = Py_TYPE(v);
  if (v == Py_None || type == &PyUnicode_Type || type == &PyLong_Type || type == &PyFloat_Type || type == &PyBool_Type)
    return true;
  return kept_member(v, tables);
}
#endif

#if ORVA_FASTPATHS
// For a record of a quick add_order's shape (its keys exact str): whether each of its values is
// kept by deepcopy, read by position (`plain`); 1 when that covered the whole record, 0 when the
// general loop must look.
int shaped_kept(PyObject* record, bool& plain) {
  ShapeId id = kRecordStockShape;
  PyObject** values = shaped_values(id, record);
  if (!values) values = shaped_values(id = kRecordFutureShape, record);
  if (!values) return 0;
  const int n = shape_size(id);
  Py_ssize_t seen = 0;
  int tables = -1;
  for (int i = 0; i < n && plain; ++i)
    if (PyObject* v = values[i]) {
      ++seen;
      plain = kept_by_deepcopy(v, tables);
    }
  if (!plain) return 1;
  return seen == PyDict_GET_SIZE(record) ? 1 : 0;  // keys added past the shape: the loop looks
}
#endif

}  // namespace

void load_copy_source() {
#if ORVA_FASTPATHS
  CopySource& c = g_copy;
  Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
  c.deepcopy = getattr(copy_mod.get(), ORVA_NAME("deepcopy")).release();
  c.deepcopy_dispatch = getattr(copy_mod.get(), ORVA_NAME("_deepcopy_dispatch")).release();
  Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
  c.copyreg_dispatch = getattr(copyreg.get(), ORVA_NAME("dispatch_table")).release();
  Ref enum_mod = Ref::steal(PyImport_ImportModule("enum"));
  c.enum_meta = getattr(enum_mod.get(), ORVA_NAME("EnumMeta")).release();
  Ref enum_cls = getattr(enum_mod.get(), ORVA_NAME("Enum"));
  auto* enum_type = reinterpret_cast<PyTypeObject*>(enum_cls.get());
  c.enum_reduce_ex = Ref::borrow(type_lookup(enum_type, ORVA_NAME("__reduce_ex__"))).release();
  c.enum_deepcopy = Ref::borrow(type_lookup(enum_type, ORVA_NAME("__deepcopy__"))).release();
  c.copy_module = copy_mod.release();
  c.ready = c.enum_reduce_ex && PyDict_Check(c.deepcopy_dispatch) && PyDict_Check(c.copyreg_dispatch);
#endif
}

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
namespace {

// The version tags of our module's dict and the copy module's dict when module.copy and
// copy.deepcopy were last found to be the ones seen at load (0: not known).
uint64_t g_seen_versions[2] = {0, 0};

bool exact_module_dict(PyObject* module, uint64_t* version) {
  if (Py_TYPE(module) != &PyModule_Type) return false;
  PyObject* d = PyModule_GetDict(module);  // borrowed, never NULL for a module
  *version = dict_version(d);
  return true;
}

// Whether module.copy.deepcopy is still the one seen at load, from the two dicts' version tags.
bool known_deepcopy() {
  uint64_t mine, theirs;
  return g_seen_versions[0] && exact_module_dict(g_module, &mine) && exact_module_dict(g_copy.copy_module, &theirs) &&
         mine == g_seen_versions[0] && theirs == g_seen_versions[1];
}

}  // namespace
#elif ORVA_USE_DICT_WATCHERS
namespace {

// Our module's dict and the copy module's dict, watched from before module.copy and copy.deepcopy
// were last found to be the ones seen at load: while neither changed, they still are.
PlainDictGuard g_copy_bindings[2];

bool known_deepcopy() {
  return Py_TYPE(g_module) == &PyModule_Type && Py_TYPE(g_copy.copy_module) == &PyModule_Type &&
         g_copy_bindings[0].unchanged(PyModule_GetDict(g_module)) &&
         g_copy_bindings[1].unchanged(PyModule_GetDict(g_copy.copy_module));
}

}  // namespace
#endif

#if ORVA_FASTPATHS
PyObject** copied_as_is(PyObject* record, ShapeId* shape) {
#if (ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS) || ORVA_USE_DICT_WATCHERS
  if (!fastpaths_on() || !g_copy.ready || !known_deepcopy()) return nullptr;
  ShapeId id = kRecordStockShape;
  PyObject** values = shaped_values(id, record);
  if (!values) values = shaped_values(id = kRecordFutureShape, record);
  if (!values) return nullptr;
  const int n = shape_size(id);
  if (PyDict_GET_SIZE(record) != n) return nullptr;  // a key taken out or added past the shape
  int tables = -1;
  for (int i = 0; i < n; ++i)
    if (!values[i] || !kept_by_deepcopy(values[i], tables)) return nullptr;  // a slot the shape leaves empty
  *shape = id;
  return values;
#else
  (void)record, (void)shape;
  return nullptr;
#endif
}
#endif

Ref copy_record(PyObject* record, bool* fresh) {
  if (fresh) *fresh = false;
  Ref copy_mod, deepcopy;
#if (ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS) || ORVA_USE_DICT_WATCHERS
  if (fastpaths_on() && g_copy.ready && known_deepcopy()) {
    copy_mod = Ref::borrow(g_copy.copy_module);
    deepcopy = Ref::borrow(g_copy.deepcopy);
  }
#endif
  if (!deepcopy) {
#if ORVA_USE_DICT_WATCHERS
    // Watched from before the look-ups: a change made while they run is seen.
    const bool watch = fastpaths_on() && g_copy.ready && Py_TYPE(g_module) == &PyModule_Type &&
                       Py_TYPE(g_copy.copy_module) == &PyModule_Type;
    if (watch) {
      g_copy_bindings[0].mark(PyModule_GetDict(g_module));
      g_copy_bindings[1].mark(PyModule_GetDict(g_copy.copy_module));
    }
#endif
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    uint64_t before[2] = {0, 0};
    const bool exact = g_copy.ready && exact_module_dict(g_module, &before[0]) &&
                       exact_module_dict(g_copy.copy_module, &before[1]);
#endif
    try {
      copy_mod = global(ORVA_NAME("copy"));
      deepcopy = getattr(copy_mod.get(), ORVA_NAME("deepcopy"));
    } catch (PyError&) {
#if ORVA_USE_DICT_WATCHERS
      for (PlainDictGuard& g : g_copy_bindings) g.forget();
#endif
      throw;
    }
#if ORVA_USE_DICT_WATCHERS
    if (!watch || copy_mod.get() != g_copy.copy_module || deepcopy.get() != g_copy.deepcopy)
      for (PlainDictGuard& g : g_copy_bindings) g.forget();
#endif
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    // Remembered only when nothing changed either dict while they were read.
    uint64_t after[2];
    g_seen_versions[0] = 0;
    if (exact && copy_mod.get() == g_copy.copy_module && deepcopy.get() == g_copy.deepcopy &&
        exact_module_dict(g_module, &after[0]) && exact_module_dict(g_copy.copy_module, &after[1]) &&
        after[0] == before[0] && after[1] == before[1]) {
      g_seen_versions[0] = before[0];
      g_seen_versions[1] = before[1];
    }
#endif
  }
#if ORVA_FASTPATHS
  if (fastpaths_on() && g_copy.ready && copy_mod.get() == g_copy.copy_module && deepcopy.get() == g_copy.deepcopy &&
      PyDict_CheckExact(record)) {
    bool plain = true;
    int known = shaped_kept(record, plain);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    int tables = -1;
    while (!known && plain && PyDict_Next(record, &pos, &key, &value))
      plain = PyUnicode_CheckExact(key) && kept_by_deepcopy(value, tables);
    if (plain) {
      Ref copy = Ref::steal(PyDict_Copy(record));
      if (fresh) *fresh = true;
      return copy;
    }
  }
#endif
  return call(deepcopy.get(), {record});
}

}  // namespace orva::matcher
