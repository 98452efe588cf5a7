// Item reads and writes shared by the fast module's files.
#pragma once

#include <cstring>

#include "pyref.hpp"

namespace orva::engine {

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
#if PY_VERSION_HEX >= 0x030C0000
  // The usual counts are compact (one digit): read by the public (unstable) API's inline reader.
  if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
    *out = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v));
    return true;
  }
#endif
  int overflow = 0;
  const long long x = PyLong_AsLongLongAndOverflow(v, &overflow);  // cannot fail on an exact int
  if (overflow || x > (1LL << 52) || x < -(1LL << 52)) return false;
  *out = x;
  return true;
}

// A str, or a str enum member, that compares as str does (no Python code runs).
inline bool plain_text(PyObject* v) {
  return PyUnicode_Check(v) && Py_TYPE(v)->tp_richcompare == PyUnicode_Type.tp_richcompare;
}

// a == b for two plain texts: the same length and code points.
inline bool plain_equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyUnicode_GET_LENGTH(a) != PyUnicode_GET_LENGTH(b)) return false;
  if (PyUnicode_IS_COMPACT_ASCII(a) && PyUnicode_IS_COMPACT_ASCII(b))  // the usual texts: compare the bytes
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(PyUnicode_GET_LENGTH(a))) == 0;
  return PyUnicode_Compare(a, b) == 0;
}

// An object's attributes: read from its __dict__ when nothing in its class can stand in front of
// them (decided once per object by its owner, see context.cpp), by getattr otherwise.
class Attributes {
 public:
  Attributes(PyObject* obj, bool plain) : obj_(obj) {
    if (plain && Py_TYPE(obj)->tp_getattro == PyObject_GenericGetAttr) {
      PyObject* dict = PyObject_GenericGetDict(obj, nullptr);
      if (!dict) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
        PyErr_Clear();  // no __dict__ (slots): every attribute by getattr
      }
      if (dict && PyDict_CheckExact(dict)) dict_ = Ref::steal(dict);
      else Py_XDECREF(dict);
    }
  }

  Ref get(PyObject* name) const {
    if (dict_)
      if (PyObject* found = peek(dict_.get(), name)) return Ref::borrow(found);
    return getattr(obj_, name);
  }

  void forget_dict() { dict_ = Ref(); }

  // The __dict__ read, or null.
  PyObject* dict() const { return dict_.get(); }

  // The value of `name` in the __dict__ (borrowed), null when there is none or no dict is read.
  PyObject* own(PyObject* name) const { return dict_ ? peek(dict_.get(), name) : nullptr; }

 private:
  PyObject* obj_;
  Ref dict_;
};

// container[key] = value
inline void set_item(PyObject* container, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(container, key, value) < 0) throw_error();
}

}  // namespace orva::engine
