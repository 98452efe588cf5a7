// Reads of a str key that sits at the same place in every dict a call site reads (records and
// reports made alike, the instance dicts of one class, a module's dict): fastpaths.hpp's EntryPlace,
// one per site, then the look-up when the place does not hold the key.
#pragma once

#include "dict_items.hpp"
#include "fastpaths.hpp"

namespace orva::engine {

// d[name] of an exact dict, borrowed; null when missing (str keys: no Python code runs).
inline PyObject* peek_at(EntryPlace& at, PyObject* d, PyObject* name) {
  PyObject* found = at.get(d, name);
  if (!found && PyErr_Occurred()) throw_error();
  return found;
}

// container[key] with a new reference, as item_of; an exact dict is read at the place.
inline Ref item_at(EntryPlace& at, PyObject* container, PyObject* key) {
  if (PyDict_CheckExact(container))
    if (PyObject* found = peek_at(at, container, key)) return Ref::borrow(found);
  return getitem(container, key);  // KeyError, as Python raises it
}

// attrs.own(name), read at the place.
inline PyObject* own_at(const Attributes& attrs, EntryPlace& at, PyObject* name) {
  PyObject* dict = attrs.dict();
  return dict ? peek_at(at, dict, name) : nullptr;
}

// attrs.get(name), read at the place.
inline Ref attr_at(const Attributes& attrs, EntryPlace& at, PyObject* name) {
  if (PyObject* found = own_at(attrs, at, name)) return Ref::borrow(found);
  return attrs.get(name);
}

// `a == b` as Python answers it: plain texts (str, str enum members) and small exact ints compared
// directly, anything else by the comparison protocol.
inline bool same_value(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (plain_text(a) && plain_text(b)) return plain_equal(a, b);
  long long x, y;
  if (small_int(a, &x) && small_int(b, &y)) return x == y;
  return equal(a, b);
}

}  // namespace orva::engine
