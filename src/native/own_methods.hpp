// Whether an object's attributes under some names are this package's own methods, so that a caller
// may run their bodies without the Python-level call. Type and dict look-ups only: no Python code runs.
#pragma once

#include <initializer_list>
#include <utility>

#include "fastpaths.hpp"

namespace orva {

// A class and an instance dict last found to hold the own methods, valid while both are unchanged
// since (with type and dict versions or watchers; else checked again).
struct OwnMethodsSeen {
  TypeGuard type;
  DictGuard dict;
};

// Whether each name of `methods` finds on `obj` the method paired with it: what its class holds
// under the name, with nothing in front of it (its own attribute access, an attribute of the
// instance). When `dict_out` is given it is set to the instance's __dict__ (borrowed; null when it
// has none), for a caller that reads it next; `marked_out`, when the class was found anew here to
// hold the methods and is now the one `seen` keeps, so that a caller may keep more of its own about
// that class beside it (a class found not to hold them leaves `seen` as it was).
inline bool own_methods(PyObject* obj, OwnMethodsSeen& seen,
                        std::initializer_list<std::pair<PyObject*, PyObject*>> methods,
                        PyObject** dict_out = nullptr, bool* marked_out = nullptr) {
  PyTypeObject* type = Py_TYPE(obj);
  PyObject* dict = instance_dict(obj);
  if (dict_out) *dict_out = dict;
  if (marked_out) *marked_out = false;
  if (!dict && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  const bool known_type = seen.type.unchanged(type);
  if (known_type && dict && seen.dict.unchanged(dict)) return true;
  if (!known_type) {
    if (type->tp_getattro != PyObject_GenericGetAttr) return false;
    for (const auto& method : methods)
      if (type_lookup(type, method.first) != method.second) return false;
    seen.type.mark(type);  // the class holds the own methods, under generic attribute access
    if (marked_out) *marked_out = true;
  }
  if (!dict) return true;  // no instance dict: nothing of its own
  if (!PyDict_CheckExact(dict)) return false;
  for (const auto& method : methods) {
    if (dict_lacks(dict, method.first)) continue;
    if (PyDict_GetItemWithError(dict, method.first)) return false;
    if (PyErr_Occurred()) {
      PyErr_Clear();
      return false;
    }
  }
  seen.dict.mark(dict);
  return true;
}

}  // namespace orva
