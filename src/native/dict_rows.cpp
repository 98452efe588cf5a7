#include "dict_rows.hpp"

#include "fastpaths.hpp"

namespace orva {

namespace {

// The most keys CPython's shared key table of a class holds (SHARED_KEYS_MAX_SIZE, 30 in 3.10 - 3.13):
// as many instances use up its spare room.
constexpr int kSharedKeysMax = 30;

// What CPython's dict does on an insert: a dict holding something the collector may track is
// tracked. (A type whose instances may opt out, tp_is_gc, counts as tracked: tracking a dict that
// need not be costs nothing but the collector's visit.)
bool may_be_tracked(PyObject* v) {
  return PyType_IS_GC(Py_TYPE(v)) && (!PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v));
}

// A fresh copy's slot, holding the template's value, given `value` (a new reference taken).
inline void put_fresh(PyObject*& slot, PyObject* value) {
  PyObject* old = slot;
  slot = Py_NewRef(value);
#if PY_VERSION_HEX >= 0x030C0000
  if (old == Py_None) return;  // immortal: no count to give back
#endif
  Py_XDECREF(old);
}

// Sets a new copy's values in place when it shares the template's key table (SharedValues: key i
// at index i, checked when the template was made); nobody has seen the copy yet, so no look-up or
// version change is needed, and nothing here runs Python code (the values replaced are None).
bool fill_shared(PyObject* row, PyObject* templ, PyObject* const* values, int n) {
  PyObject** slots = SharedValues::of(row, templ);
  if (!slots || PyDict_GET_SIZE(row) != n) return false;
  int i = 0;
  // A copy of a tracked template is tracked already; else the first value the collector may track
  // tracks it (nothing after it allocates), and the rest need no look.
  if (!PyObject_GC_IsTracked(row)) {
    while (i < n) {
      PyObject* v = values[i];
      put_fresh(slots[i++], v);
      if (may_be_tracked(v)) {
        PyObject_GC_Track(row);
        break;
      }
    }
  }
  for (; i < n; ++i) put_fresh(slots[i], values[i]);
  return true;
}

}  // namespace

Ref dict_row_template(const char* cls_name, RowKey key, int n) {
#if ORVA_FASTPATHS
  if (fastpaths_on()) {
    // The __dict__ of an instance of a class of its own: CPython gives it a key table that its
    // copies share.
    Ref ns = Ref::steal(PyDict_New());
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", cls_name, ns.get()));
    Ref first = Ref::steal(PyObject_CallNoArgs(cls.get()));
    for (int i = 0; i < n - 1; ++i) setattr(first.get(), key(i), Py_None);
    // On 3.11 and later each new instance takes one spare slot off the class's shared key table
    // (down to one) and gets room for the values of its keys and spare slots; copies of an
    // instance's dict keep that room (3.13) or take the table's (3.12). An instance made once the
    // spare room is gone, given the last key too, has room for exactly n values, and so has every
    // row: on 3.12 and 3.13 a row is copied and released over n slots rather than about 30, in a
    // third less memory. 3.10 sizes the table by its keys alone: the instances change nothing there.
    for (int i = 0; i < kSharedKeysMax; ++i) Ref::steal(PyObject_CallNoArgs(cls.get()));
    Ref instance = Ref::steal(PyObject_CallNoArgs(cls.get()));
    for (int i = 0; i < n; ++i) setattr(instance.get(), key(i), Py_None);
    Ref dict = Ref::steal(PyObject_GenericGetDict(instance.get(), nullptr));
    Ref copy = Ref::steal(PyDict_Copy(dict.get()));  // the kind of dict rows will be
#if ORVA_USE_DICT_LAYOUT
    PyObject* keys[64];
    const bool listed = n <= 64;
    for (int i = 0; listed && i < n; ++i) keys[i] = key(i);
    // Rows are filled by key index: only for a table found in exactly that order.
    if (listed && SharedValues::holds(copy.get(), keys, n)) return copy;
#else
    return copy;  // filled key by key, its table still shared
#endif
  }
#endif
  Ref row = Ref::steal(PyDict_New());
  for (int i = 0; i < n; ++i) dict_set(row.get(), key(i), Py_None);
  return row;
}

Ref dict_row_blank(PyObject* templ) { return Ref::steal(PyDict_Copy(templ)); }

void dict_row_fill(PyObject* row, PyObject* templ, RowKey key, PyObject* const* values, int n) {
  if (!fill_shared(row, templ, values, n))
    for (int i = 0; i < n; ++i) dict_set(row, key(i), values[i]);
}

Ref dict_row(PyObject* templ, RowKey key, PyObject* const* values, int n) {
  Ref row = dict_row_blank(templ);
  dict_row_fill(row.get(), templ, key, values, n);
  return row;
}

PyObject** dict_row_values(PyObject* templ, PyObject* d) { return SharedValues::of(d, templ); }

}  // namespace orva
