// Item reads and writes shared by the fast module's files.
#pragma once

#include "pyref.hpp"

namespace orva::fast {

// container[key] with a new reference; an exact dict is read directly.
inline Ref item_of(PyObject* container, PyObject* key) {
  if (PyDict_CheckExact(container)) {
    PyObject* found = PyDict_GetItemWithError(container, key);
    if (found) return Ref::borrow(found);
    if (PyErr_Occurred()) throw_error();
  }
  return getitem(container, key);
}

// d[key] of an exact dict, borrowed; null when missing (str keys: no Python code runs).
inline PyObject* peek(PyObject* d, PyObject* key) {
  PyObject* found = PyDict_GetItemWithError(d, key);
  if (!found && PyErr_Occurred()) throw_error();
  return found;
}

// An exact int (not null) that fits a long long with room for sums and products of a few.
inline bool small_int(PyObject* v, long long* out) {
  if (!v || !PyLong_CheckExact(v)) return false;
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);  // cannot fail on an exact int
  if (overflow || x > (1LL << 52) || x < -(1LL << 52)) return false;
  *out = x;
  return true;
}

// container[key] = value
inline void set_item(PyObject* container, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(container, key, value) < 0) throw_error();
}

}  // namespace orva::fast
