// Calls of the instance's own methods from C++ (report builders, add_response_to_queue, ...).
//
// The plain path is self.<name>(*args) as Python does it. The shortcut, while self.<name> is
// still the method the class was built with (not replaced on the class, a subclass or the
// instance) and every argument passes its exact-type check, calls the C++ body directly and
// adds to a failure the frame the binding would have added.
#include <string>
#include <vector>

#include "matcher.hpp"

namespace orva::matcher {

void add_method_frame(const std::string& qualname) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  std::string filename = "<matcher>";
  if (PyObject* name = PyModule_GetNameObject(g_module)) {
    if (const char* text = PyUnicode_AsUTF8(name)) filename = std::string("<") + text + ">";
    Py_DECREF(name);
  }
  PyErr_Clear();
  PyErr_Restore(type, value, tb);
  add_traceback_frame(filename, qualname);
}

#if ORVA_FASTPATHS
namespace {

struct OwnMethod {
  PyObject* name;    // interned, as stored in the class (owned, never released)
  PyObject* descr;   // the object in the class namespace (owned, never released)
  Body body;
  std::vector<Kind> kinds;    // of the parameters after self
  std::vector<bool> none_ok;  // whose default is None
  std::string qualname;       // "Matcher.<name as written>", as the binding names it
};

// Filled once at load, never changed afterwards.
std::vector<OwnMethod>* g_own = new std::vector<OwnMethod>();

const OwnMethod* own_entry(PyObject* name) {
  for (const OwnMethod& m : *g_own)
    if (m.name == name) return &m;
  return nullptr;
}

// The body to call directly for self.<name>(*args), or null.
const OwnMethod* direct_body(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
  const OwnMethod* m = own_entry(name);
  if (!m || m->kinds.size() != args.size() || args.size() > 11) return nullptr;
  size_t i = 0;
  for (PyObject* a : args) {
    if (!kind_accepts(m->kinds[i], a, m->none_ok[i])) return nullptr;
    ++i;
  }
  return own_method(self, name) ? m : nullptr;
}

}  // namespace
#endif

void record_own_methods(PyObject* cls, const std::vector<Method>& table) {
#if ORVA_FASTPATHS
  Ref cls_name = getattr(cls, ORVA_NAME("__name__"));
  const std::string cls_text = utf8(cls_name.get());
  Ref ns = getattr(cls, ORVA_NAME("__dict__"));
  for (const Method& m : table) {
    if (m.varargs) continue;
    Ref name = Ref::steal(PyUnicode_InternFromString(mangle(cls_text.c_str(), m.name).c_str()));
    Ref descr = getitem(ns.get(), name.get());
    if (Py_TYPE(descr.get()) != &PyInstanceMethod_Type) continue;
    OwnMethod own{name.release(), descr.release(), m.body, {}, {}, cls_text + "." + m.name};
    for (const Param& p : m.params) {
      own.kinds.push_back(p.kind);
      own.none_ok.push_back(p.default_value.get() == Py_None);
    }
    g_own->push_back(std::move(own));
  }
#else
  (void)cls, (void)table;
#endif
}

#if ORVA_FASTPATHS
bool own_method(PyObject* self, PyObject* name) {
  const OwnMethod* m = own_entry(name);
  if (!m) return false;
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  // Type look-ups and reads of the instance dict by an exact str key run no Python code.
  if (type_lookup(type, name) != m->descr) return false;
  PyObject* dict = instance_dict(self);
  if (!dict) return true;
  if (!PyDict_CheckExact(dict)) return false;
  PyObject* shadow = PyDict_GetItemWithError(dict, name);
  if (!shadow && PyErr_Occurred()) throw_error();
  return !shadow;
}
#endif

#if ORVA_FASTPATHS
bool own_methods_on(PyTypeObject* type) {
  if (g_own->empty()) return false;
  for (const OwnMethod& m : *g_own)
    if (type_lookup(type, m.name) != m.descr) return false;
  return true;
}
#endif

Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
#if ORVA_FASTPATHS
  if (fastpaths_on()) {
    if (const OwnMethod* m = direct_body(self, name, args)) {
      PyObject* stack[12];
      stack[0] = self;
      size_t n = 1;
      for (PyObject* a : args) stack[n++] = a;
      const Args bound{stack, nullptr, &m->qualname};
      try {
        return m->body(bound);
      } catch (PyError&) {
        add_method_frame(m->qualname);
        throw;
      }
    }
  }
#endif
  return call_method(self, name, args);
}

}  // namespace orva::matcher
