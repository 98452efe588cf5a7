#include "dict_rows.hpp"

#include "fastpaths.hpp"

namespace orva {

namespace {

#if ORVA_USE_DICT_LAYOUT
// What CPython's dict does on an insert: a dict holding something the collector may track is
// tracked. (A type whose instances may opt out, tp_is_gc, counts as tracked: tracking a dict that
// need not be costs nothing but the collector's visit.)
bool may_be_tracked(PyObject* v) {
  return PyType_IS_GC(Py_TYPE(v)) && (!PyTuple_CheckExact(v) || PyObject_GC_IsTracked(v));
}
#endif

// Sets a new copy's values in place when it shares the template's key table (3.10's split dicts:
// the values array in key order, key i at index i, checked when the template was made); nobody has
// seen the copy yet, so no lookup or version change is needed, and nothing here runs Python code
// (the values replaced are None).
bool fill_shared(PyObject* row, PyObject* templ, PyObject* const* values, int n) {
#if ORVA_USE_DICT_LAYOUT
  if (!fastpaths_on()) return false;
  auto* r = reinterpret_cast<PyDictObject*>(row);
  auto* t = reinterpret_cast<PyDictObject*>(templ);
  if (!r->ma_values || r->ma_keys != t->ma_keys || r->ma_used != n || !t->ma_values) return false;
  bool track = false;
  for (int i = 0; i < n; ++i) {
    Py_INCREF(values[i]);
    Py_XSETREF(r->ma_values[i], values[i]);
    track = track || may_be_tracked(values[i]);
  }
  if (track && !PyObject_GC_IsTracked(row)) PyObject_GC_Track(row);
  return true;
#else
  (void)row, (void)templ, (void)values, (void)n;
  return false;
#endif
}

}  // namespace

Ref dict_row_template(const char* cls_name, RowKey key, int n) {
#if ORVA_FASTPATHS
  if (fastpaths_on()) {
    Ref ns = Ref::steal(PyDict_New());
    Ref cls = Ref::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()O", cls_name, ns.get()));
    Ref instance = Ref::steal(PyObject_CallNoArgs(cls.get()));
    for (int i = 0; i < n; ++i) setattr(instance.get(), key(i), Py_None);
    Ref dict = Ref::steal(PyObject_GenericGetDict(instance.get(), nullptr));
    Ref copy = Ref::steal(PyDict_Copy(dict.get()));  // the kind of dict rows will be
#if ORVA_USE_DICT_LAYOUT
    // fill_shared writes key i's value at index i: only for a split table in exactly that order.
    auto* d = reinterpret_cast<PyDictObject*>(copy.get());
    bool in_order = d->ma_values != nullptr && d->ma_used == n;
    Py_ssize_t pos = 0;
    PyObject *k, *value;
    for (int i = 0; in_order && PyDict_Next(copy.get(), &pos, &k, &value); ++i)
      in_order = k == key(i) && pos == i + 1;
    if (in_order) return copy;
#else
    return copy;
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

PyObject** dict_row_values(PyObject* templ, PyObject* d) {
#if ORVA_USE_DICT_LAYOUT
  if (!fastpaths_on() || Py_TYPE(d) != &PyDict_Type) return nullptr;
  auto* r = reinterpret_cast<PyDictObject*>(d);
  auto* t = reinterpret_cast<PyDictObject*>(templ);
  // A shared key table only ever grows at its end: key i is still at index i.
  if (!r->ma_values || !t->ma_values || r->ma_keys != t->ma_keys) return nullptr;
  return r->ma_values;
#else
  (void)templ, (void)d;
  return nullptr;
#endif
}

}  // namespace orva
