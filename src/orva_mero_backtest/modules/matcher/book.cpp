// Look-up, removal and copies of order records, and the enumerations they hold.
#include <cstring>

#include "matcher.hpp"

namespace orva::matcher {

namespace {

PyObject* require_list(PyObject* book) {
  if (!PyList_Check(book)) raise(PyExc_TypeError, "pending_orders must be a list");
  return book;
}

}  // namespace

Py_ssize_t find_order(PyObject* book, PyObject* trade_id) {
  require_list(book);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(book); ++i) {
    prefetch_ahead(book, i);
    PyObject* record = PyList_GET_ITEM(book, i);
    if (PyDict_CheckExact(record)) {
      if (same_text(dict_item(record, ORVA_NAME("trade_id")), trade_id)) return i;
    } else {
      Ref keep = Ref::borrow(record);
      Ref id = getitem(record, ORVA_NAME("trade_id"));
      if (same_text(id.get(), trade_id)) return i;
    }
  }
  return -1;
}

void remove_order(PyObject* book, PyObject* record, Py_ssize_t hint) {
  require_list(book);
  Py_ssize_t n = PyList_GET_SIZE(book);
  Py_ssize_t at = -1;
  if (hint >= 0 && hint < n && PyList_GET_ITEM(book, hint) == record) {
    at = hint;
  } else {
    for (Py_ssize_t i = 0; i < n; ++i)
      if (PyList_GET_ITEM(book, i) == record) {
        at = i;
        break;
      }
  }
  if (at >= 0 && PyList_SetSlice(book, at, at + 1, nullptr) < 0) throw_error();
}

namespace {

// What copy.deepcopy was at load: the plain copy is used only while it still is.
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

CopySource& copy_source() {
  static CopySource* s = [] {
    auto* c = new CopySource();  // kept for the life of the process
    try {
      Ref copy_mod = Ref::steal(PyImport_ImportModule("copy"));
      c->copy_module = copy_mod.get();
      c->deepcopy = getattr(copy_mod.get(), ORVA_NAME("deepcopy")).release();
      c->deepcopy_dispatch = getattr(copy_mod.get(), ORVA_NAME("_deepcopy_dispatch")).release();
      Ref copyreg = Ref::steal(PyImport_ImportModule("copyreg"));
      c->copyreg_dispatch = getattr(copyreg.get(), ORVA_NAME("dispatch_table")).release();
      Ref enum_mod = Ref::steal(PyImport_ImportModule("enum"));
      c->enum_meta = getattr(enum_mod.get(), ORVA_NAME("EnumMeta")).release();
      Ref enum_cls = getattr(enum_mod.get(), ORVA_NAME("Enum"));
      c->enum_reduce_ex =
          _PyType_Lookup(reinterpret_cast<PyTypeObject*>(enum_cls.get()), ORVA_NAME("__reduce_ex__"));
      Py_XINCREF(c->enum_reduce_ex);
      c->enum_deepcopy = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(enum_cls.get()), ORVA_NAME("__deepcopy__"));
      Py_XINCREF(c->enum_deepcopy);
      c->copy_module = copy_mod.release();
      c->ready = c->enum_reduce_ex && PyDict_Check(c->deepcopy_dispatch) && PyDict_Check(c->copyreg_dispatch);
    } catch (PyError&) {
      PyErr_Clear();
    }
    return c;
  }();
  return *s;
}

bool registered(PyObject* table, PyTypeObject* type) {
  PyObject* v = PyDict_GetItemWithError(table, reinterpret_cast<PyObject*>(type));
  if (!v && PyErr_Occurred()) throw_error();
  return v != nullptr;
}

// Whether deepcopy(v) returns v itself: the atomic scalars, and members of a plain Enum
// (deepcopy rebuilds them through __reduce_ex__ as cls(value), which is the member).
bool kept_by_deepcopy(const CopySource& s, PyObject* v) {
  if (v == Py_None || PyUnicode_CheckExact(v) || PyLong_CheckExact(v) || PyFloat_CheckExact(v) || PyBool_Check(v))
    return true;
  PyTypeObject* type = Py_TYPE(v);
  if (reinterpret_cast<PyObject*>(Py_TYPE(type)) != s.enum_meta) return false;
  PyObject* own_deepcopy = _PyType_Lookup(type, ORVA_NAME("__deepcopy__"));
  if (own_deepcopy) {
    if (own_deepcopy != s.enum_deepcopy) return false;
  } else if (_PyType_Lookup(type, ORVA_NAME("__reduce_ex__")) != s.enum_reduce_ex) {
    return false;
  }
  if (registered(s.deepcopy_dispatch, type) || registered(s.copyreg_dispatch, type)) return false;
  // An instance attribute __deepcopy__ would be used first.
  PyObject** dict = _PyObject_GetDictPtr(v);
  if (dict && *dict) {
    PyObject* own = PyDict_GetItemWithError(*dict, ORVA_NAME("__deepcopy__"));
    if (own || PyErr_Occurred()) return false;
  }
  return true;
}

}  // namespace

Ref copy_record(PyObject* record) {
  Ref copy_mod = global(ORVA_NAME("copy"));
  Ref deepcopy = getattr(copy_mod.get(), ORVA_NAME("deepcopy"));
  const CopySource& s = copy_source();
  if (s.ready && copy_mod.get() == s.copy_module && deepcopy.get() == s.deepcopy && PyDict_CheckExact(record)) {
    bool plain = true;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (plain && PyDict_Next(record, &pos, &key, &value))
      plain = PyUnicode_CheckExact(key) && kept_by_deepcopy(s, value);
    if (plain) return Ref::steal(PyDict_Copy(record));
  }
  return call(deepcopy.get(), {record});
}

}  // namespace orva::matcher
