#include "attrs.hpp"

#include "fastpaths.hpp"

namespace orva::ticker {

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS

namespace {

PyObject* exact_instance_dict(PyObject* self) {
  PyObject* d = orva::instance_dict(self);
  return d && PyDict_CheckExact(d) ? d : nullptr;
}

}  // namespace

bool InstanceAttrs::snapshot_matches(PyObject* self, PyObject*& dict) const {
  PyTypeObject* type = Py_TYPE(self);
  dict = exact_instance_dict(self);
  return dict && dict == dict_ && dict_version(dict) == dict_version_ && type == type_ &&
         type_version(type) && type_version(type) == type_version_;
}

void InstanceAttrs::take_snapshot(PyObject* self, PyObject* dict) {
  for (PyObject*& v : values_) v = nullptr;
  type_ = nullptr;
  PyTypeObject* type = Py_TYPE(self);
  // Only the generic look-up is stood for, on a class whose version tag is valid.
  if (!dict || type->tp_getattro != PyObject_GenericGetAttr || !type_version(type) ||
      type->tp_dictoffset <= 0)
    return;
  type_ = type;
  dict_offset_ = type->tp_dictoffset;
  type_version_ = type_version(type);
  dict_ = dict;
  dict_version_ = dict_version(dict);
}

#endif

Ref InstanceAttrs::look_up(PyObject* self, Slot slot, PyObject* name) {
  (void)slot;
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  PyObject* dict = nullptr;
  if (fastpaths_on() && !snapshot_matches(self, dict)) take_snapshot(self, dict);
#endif
  Ref value = getattr(self, name);
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  // Kept when it came from the instance dict with no data descriptor of the class in front of it,
  // and nothing changed while it was looked up.
  if (fastpaths_on() && type_ && snapshot_matches(self, dict)) {
    PyObject* in_dict = PyDict_GetItemWithError(dict, name);
    if (!in_dict && PyErr_Occurred()) throw_error();
    PyObject* in_class = type_lookup(Py_TYPE(self), name);
    if (in_dict == value.get() && !(in_class && Py_TYPE(in_class)->tp_descr_set) && snapshot_matches(self, dict))
      values_[slot] = in_dict;
  }
#endif
  return value;
}

}  // namespace orva::ticker
