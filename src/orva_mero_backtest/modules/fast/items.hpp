// Item reads and writes shared by the loop and the order tracker.
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

// container[key] = value
inline void set_item(PyObject* container, PyObject* key, PyObject* value) {
  if (PyObject_SetItem(container, key, value) < 0) throw_error();
}

}  // namespace orva::fast
