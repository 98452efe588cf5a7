#include "native_method.hpp"

#include <structmember.h>

#include <string>

namespace orva::engine {

namespace {

struct NativeMethod {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  MethodImpl impl;
  PyObject* module;
  PyObject* name;
  PyObject* qualname;
  PyObject* doc;
  PyObject* wrapped;  // the Python text it stands for, or None
};

NativeMethod* as_method(PyObject* self) { return reinterpret_cast<NativeMethod*>(self); }

PyObject* method_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  NativeMethod* m = as_method(callable);
  return m->impl(m->module, args, nargsf, kwnames);
}

PyObject* method_get(PyObject* self, PyObject* obj, PyObject*) {
  if (obj == nullptr || obj == Py_None) {
    Py_INCREF(self);
    return self;
  }
  return PyMethod_New(self, obj);
}

int method_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_method(self)->module);
  Py_VISIT(as_method(self)->doc);
  Py_VISIT(as_method(self)->wrapped);
  return 0;
}

int method_clear(PyObject* self) {
  Py_CLEAR(as_method(self)->module);
  Py_CLEAR(as_method(self)->doc);
  Py_CLEAR(as_method(self)->wrapped);
  return 0;
}

void method_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  NativeMethod* m = as_method(self);
  Py_CLEAR(m->module);
  Py_CLEAR(m->name);
  Py_CLEAR(m->qualname);
  Py_CLEAR(m->doc);
  Py_CLEAR(m->wrapped);
  PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) { return PyUnicode_FromFormat("<native method %U>", as_method(self)->qualname); }

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeMethod, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeMethod, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeMethod, doc), READONLY, nullptr},
    {"__wrapped__", T_OBJECT, offsetof(NativeMethod, wrapped), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyTypeObject NativeMethodType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "orva_mero_backtest.modules.engine.engine.native_method";
  t.tp_basicsize = sizeof(NativeMethod);
  t.tp_dealloc = method_dealloc;
  t.tp_vectorcall_offset = offsetof(NativeMethod, vectorcall);
  t.tp_repr = method_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
  t.tp_traverse = method_traverse;
  t.tp_clear = method_clear;
  t.tp_members = method_members;
  t.tp_descr_get = method_get;
  return t;
}();

}  // namespace

PyObject* new_native_method(PyObject* module, const char* name, const char* qualname, MethodImpl impl) {
  if (!(NativeMethodType.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&NativeMethodType) < 0) return nullptr;
  NativeMethod* m = PyObject_GC_New(NativeMethod, &NativeMethodType);
  if (!m) return nullptr;
  m->vectorcall = method_call;
  m->impl = impl;
  Py_INCREF(module);
  m->module = module;
  m->name = PyUnicode_FromString(name);
  m->qualname = PyUnicode_FromString(qualname);
  Py_INCREF(Py_None);
  m->doc = Py_None;
  Py_INCREF(Py_None);
  m->wrapped = Py_None;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
  if (!m->name || !m->qualname) {
    Py_DECREF(m);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(m);
}

int add_native_methods(PyObject* module, const char* owner, const char* prefix,
                       std::initializer_list<std::pair<const char*, MethodImpl>> methods) {
  for (const auto& [name, impl] : methods) {
    const std::string qualname = std::string(owner) + "." + name;
    PyObject* method = new_native_method(module, name, qualname.c_str(), impl);
    if (!method || PyModule_AddObject(module, (std::string(prefix) + name).c_str(), method) < 0) {
      Py_XDECREF(method);
      return -1;
    }
  }
  return 0;
}

bool is_native_method(PyObject* method) { return Py_TYPE(method) == &NativeMethodType; }

void set_native_method_text(PyObject* module, const char* attr, PyObject* text) {
  Ref method = Ref::steal(PyObject_GetAttrString(module, attr));
  if (!is_native_method(method.get())) return;
  NativeMethod* m = as_method(method.get());
  PyObject* doc = PyObject_GetAttrString(text, "__doc__");
  if (!doc) throw_error();
  Py_SETREF(m->doc, doc);
  Py_INCREF(text);
  Py_SETREF(m->wrapped, text);
}

}  // namespace orva::engine
