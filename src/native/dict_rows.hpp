// Dicts of one fixed key order (records kept by the thousand) made from a template.
//
// With the fast paths on, the template is the __dict__ of an instance of a private class, whose key
// table CPython shares: a copy (PyDict_Copy) shares that table and carries only its values, a third
// to a half of the memory of a dict of its own, and (CPython 3.10 - 3.13, fastpaths.hpp's
// SharedValues) its values are written in place, without a look-up per key. Otherwise
// the template is a plain dict and a row is a copy with each key set. Either way a row is a dict like
// any other (keys in template order; a key added or deleted later is handled by CPython).
#pragma once

#include "pyref.hpp"

namespace orva {

// The i-th key of a row (0 <= i < n), an interned str.
using RowKey = PyObject* (*)(int i);

// A template of the `n` keys in order, values None; `cls_name` names the private class.
Ref dict_row_template(const char* cls_name, RowKey key, int n);

// A new dict with the template's keys in order and `values` (n of them, in key order).
Ref dict_row(PyObject* templ, RowKey key, PyObject* const* values, int n);

// The same in two steps, for a caller that must allocate before it reads borrowed values: a copy of
// the template (values None; making it may run a garbage collection), then its values written.
Ref dict_row_blank(PyObject* templ);
void dict_row_fill(PyObject* row, PyObject* templ, RowKey key, PyObject* const* values, int n);

// The values of `d`, by key index, when it shares the template's key table (made from it, or
// copied from such a dict; keys added later come after the template's); else null. A value may
// be null: that key was taken out of `d`.
PyObject** dict_row_values(PyObject* templ, PyObject* d);

}  // namespace orva
