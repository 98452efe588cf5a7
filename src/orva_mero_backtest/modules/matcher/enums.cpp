// The enumerations of the records, and calls of the instance's own methods.
//
// While the module's enumeration names still refer to the classes bound at load, members,
// from_value results and member properties are served without calling into Python. The
// results are the ones Python would give: an Enum class's members cannot be reassigned,
// from_value returns a member given as is and the member of a known value, and the member
// properties used here (code, message, value) depend on the member alone.
#include <cstdint>
#include <string>
#include <vector>

#include "matcher.hpp"

#include <frameobject.h>

namespace orva::matcher {

namespace {

struct EnumClass {
  PyObject* name;        // interned module attribute name
  PyObject* cls;         // the class bound at load
  PyObject* from_value;  // the attribute found on the class at load
  PyObject* value_map;   // cls._value2member_map_, or nullptr
  PyObject* members;     // member name -> member, filled as used
  uint64_t module_version = 0;   // module dict version at which the module was seen to bind cls
  unsigned from_value_version = 0;  // class version at which from_value was seen unchanged
  std::vector<std::pair<PyObject*, PyObject*>> seen{};  // interned member name -> member
};

struct CachedAttr {
  PyObject* obj;
  PyObject* name;
  PyObject* descr;
  PyObject* value;
};

// Kept for the life of the process, with strong references to what they hold.
std::vector<EnumClass>* g_enums = new std::vector<EnumClass>();
std::vector<CachedAttr>* g_attrs = new std::vector<CachedAttr>();

PyObject* module_entry(PyObject* name) {
  PyObject* v = PyDict_GetItemWithError(PyModule_GetDict(g_module), name);
  if (!v && PyErr_Occurred()) throw_error();
  return v;
}

// The module dict's version tag (changed by every change of a module global), or 0 when
// CPython keeps none.
uint64_t module_version() {
#if PY_VERSION_HEX < 0x030C0000
  return reinterpret_cast<PyDictObject*>(PyModule_GetDict(g_module))->ma_version_tag;
#else
  return 0;
#endif
}

// The load-time record of `enum_name` while the module still binds that class.
EnumClass* unchanged(PyObject* enum_name) {
  for (EnumClass& e : *g_enums) {
    if (e.name != enum_name) continue;
    const uint64_t version = module_version();
    if (version && version == e.module_version) return &e;
    if (module_entry(enum_name) != e.cls) return nullptr;
    e.module_version = version;
    return &e;
  }
  return nullptr;
}

// Whether the class still has the from_value it had at load.
bool own_from_value(EnumClass& e) {
  if (!e.from_value) return false;
  auto* type = reinterpret_cast<PyTypeObject*>(e.cls);
  const bool tagged = type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG;
  if (tagged && e.from_value_version && type->tp_version_tag == e.from_value_version) return true;
  if (_PyType_Lookup(type, ORVA_NAME("from_value")) != e.from_value) return false;
  // The look-up gives the class a version tag; a change of the class takes it away.
  e.from_value_version = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
  return true;
}

bool is_loaded_enum_type(PyTypeObject* type) {
  for (const EnumClass& e : *g_enums)
    if (reinterpret_cast<PyObject*>(type) == e.cls) return true;
  return false;
}

}  // namespace

void load_enums() {
  for (const char* text :
       {"Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType", "OCType", "SuccessCode"}) {
    PyObject* name = PyUnicode_InternFromString(text);
    if (!name) throw_error();
    PyObject* cls = module_entry(name);
    if (!cls || !PyType_Check(cls)) continue;
    Py_INCREF(cls);
    PyObject* from = _PyType_Lookup(reinterpret_cast<PyTypeObject*>(cls), ORVA_NAME("from_value"));
    Py_XINCREF(from);
    PyObject* map = PyObject_GetAttrString(cls, "_value2member_map_");
    if (map && !PyDict_CheckExact(map)) Py_CLEAR(map);
    if (!map) PyErr_Clear();
    PyObject* members = PyDict_New();
    if (!members) throw_error();
    g_enums->push_back(EnumClass{name, cls, from, map, members, 0, 0, {}});
  }
}

Ref enum_member(PyObject* enum_name, PyObject* member_name) {
  if (EnumClass* e = unchanged(enum_name)) {
    // Member names come interned from this module: found by identity in the few seen so far.
    for (const auto& m : e->seen)
      if (m.first == member_name) return Ref::borrow(m.second);
    PyObject* m = PyDict_GetItemWithError(e->members, member_name);
    if (m) return Ref::borrow(m);
    if (PyErr_Occurred()) throw_error();
    Ref member = getattr(e->cls, member_name);
    dict_set(e->members, member_name, member.get());
    if (PyUnicode_CHECK_INTERNED(member_name) && e->seen.size() < 16) {
      Py_INCREF(member_name);
      e->seen.emplace_back(member_name, Ref(member).release());
    }
    return member;
  }
  Ref cls = global(enum_name);
  return getattr(cls.get(), member_name);
}

Ref loaded_member(PyObject* enum_name, PyObject* member_name) {
  if (!unchanged(enum_name)) return Ref();
  try {
    return enum_member(enum_name, member_name);
  } catch (PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    return Ref();
  }
}

Ref from_value(PyObject* enum_name, PyObject* value) {
  EnumClass* e = unchanged(enum_name);
  if (e && own_from_value(*e)) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(value)) == e->cls) return Ref::borrow(value);
    if (e->value_map && PyUnicode_CheckExact(value)) {
      PyObject* m = PyDict_GetItemWithError(e->value_map, value);
      if (m) return Ref::borrow(m);
      if (PyErr_Occurred()) throw_error();
    }
  }
  Ref cls = global(enum_name);
  return call_method(cls.get(), ORVA_NAME("from_value"), {value});
}

Ref member_attr(PyObject* obj, PyObject* name) {
  PyTypeObject* type = Py_TYPE(obj);
  if (!is_loaded_enum_type(type)) return getattr(obj, name);
  PyObject* descr = _PyType_Lookup(type, name);
  // Only a data descriptor on the class decides alone what obj.<name> is.
  if (!descr || !Py_TYPE(descr)->tp_descr_set) return getattr(obj, name);
  for (CachedAttr& c : *g_attrs) {
    if (c.obj != obj || c.name != name) continue;
    if (c.descr == descr) return Ref::borrow(c.value);
    Ref value = getattr(obj, name);
    Py_INCREF(descr);
    Py_DECREF(c.descr);
    c.descr = descr;
    Py_INCREF(value.get());
    Py_DECREF(c.value);
    c.value = value.get();
    return value;
  }
  Ref value = getattr(obj, name);
  Py_INCREF(obj);
  Py_INCREF(name);
  Py_INCREF(descr);
  g_attrs->push_back(CachedAttr{obj, name, descr, Ref(value).release()});
  return value;
}

namespace {

// The class's methods as built at load: name -> the object in the class namespace.
std::vector<std::pair<PyObject*, PyObject*>>* g_own_methods = new std::vector<std::pair<PyObject*, PyObject*>>();

// Methods whose body is called straight from here while they are the class's own, when every
// argument passes the check its binding makes.
struct DirectBody {
  PyObject* name;  // interned, as stored in the class
  Body body;
  std::vector<Kind> kinds;  // of the parameters after self
  std::string qualname;     // "Matcher.<name as written>", as the binding names it
};
std::vector<DirectBody>* g_direct = new std::vector<DirectBody>();

bool passes(Kind kind, PyObject* value) {
  switch (kind) {
    case Kind::Any: return true;
    case Kind::Str: return PyUnicode_CheckExact(value);
    case Kind::Dict: return PyDict_CheckExact(value);
    default: return false;  // the binding decides
  }
}

}  // namespace

void add_method_frame(const char* qualname) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* frame = nullptr;
  try {
    Ref module_name = getattr(g_module, ORVA_NAME("__name__"));
    const std::string filename = "<" + utf8(module_name.get()) + ">";
    Ref code = Ref::steal(reinterpret_cast<PyObject*>(PyCode_NewEmpty(filename.c_str(), qualname, 0)));
    Ref globals = Ref::steal(PyDict_New());
    frame = reinterpret_cast<PyObject*>(
        PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals.get(), nullptr));
  } catch (PyError&) {
  }
  if (!frame) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  if (frame) PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
  Py_XDECREF(frame);
}

void record_own_methods(PyObject* cls, const std::vector<Method>& table) {
  Ref cls_name = getattr(cls, ORVA_NAME("__name__"));
  const std::string cls_text = utf8(cls_name.get());
  for (const Method& m : table) {
    if (m.varargs) continue;
    PyObject* name = PyUnicode_InternFromString(mangle(cls_text.c_str(), m.name).c_str());
    if (!name) throw_error();
    DirectBody d{name, m.body, {}, cls_text + "." + m.name};
    for (const Param& p : m.params) d.kinds.push_back(p.kind);
    g_direct->push_back(std::move(d));
  }

  Ref ns = getattr(cls, ORVA_NAME("__dict__"));
  Ref items = Ref::steal(PyMapping_Items(ns.get()));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
    PyObject* pair = PyList_GET_ITEM(items.get(), i);
    PyObject* name = PyTuple_GET_ITEM(pair, 0);
    PyObject* value = PyTuple_GET_ITEM(pair, 1);
    if (!PyUnicode_CheckExact(name) || Py_TYPE(value) != &PyInstanceMethod_Type) continue;
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    Py_INCREF(value);
    g_own_methods->emplace_back(name, value);
  }
}

bool own_method(PyObject* self, PyObject* name) {
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro != PyObject_GenericGetAttr) return false;
  PyObject* descr = _PyType_Lookup(type, name);
  if (!descr) return false;
  bool own = false;
  for (const auto& m : *g_own_methods)
    if (m.first == name) {
      own = m.second == descr;
      break;
    }
  if (!own) return false;
  PyObject** dict = _PyObject_GetDictPtr(self);
  if (!dict || !*dict) return true;
  PyObject* shadow = PyDict_GetItemWithError(*dict, name);
  if (!shadow && PyErr_Occurred()) throw_error();
  return !shadow;
}

namespace {

// The body of self.<name> to call directly, or null.
const DirectBody* direct_body(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
  for (const DirectBody& d : *g_direct) {
    if (d.name != name) continue;
    if (d.kinds.size() != args.size() || args.size() > 11) return nullptr;
    size_t i = 0;
    for (PyObject* a : args)
      if (!passes(d.kinds[i++], a)) return nullptr;
    return own_method(self, name) ? &d : nullptr;
  }
  return nullptr;
}

}  // namespace

Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args) {
  if (const DirectBody* d = direct_body(self, name, args)) {
    PyObject* stack[12];
    stack[0] = self;
    size_t n = 1;
    for (PyObject* a : args) stack[n++] = a;
    const Args bound{stack, nullptr, &d->qualname};
    try {
      return d->body(bound);
    } catch (PyError&) {
      add_method_frame(d->qualname.c_str());
      throw;
    }
  }
  PyTypeObject* type = Py_TYPE(self);
  if (type->tp_getattro == PyObject_GenericGetAttr) {
    PyObject* descr = _PyType_Lookup(type, name);
    if (descr && Py_TYPE(descr) == &PyInstanceMethod_Type) {
      PyObject** dict = _PyObject_GetDictPtr(self);
      PyObject* own = dict && *dict ? PyDict_GetItemWithError(*dict, name) : nullptr;
      if (!own && PyErr_Occurred()) throw_error();
      if (!own) {
        // What the bound method would do: the function called with self first.
        PyObject* stack[12];
        stack[0] = self;
        size_t n = 1;
        for (PyObject* a : args) stack[n++] = a;
        Ref func = Ref::borrow(PyInstanceMethod_GET_FUNCTION(descr));
        return Ref::steal(PyObject_Vectorcall(func.get(), stack, n, nullptr));
      }
    }
  }
  return call_method(self, name, args);
}

}  // namespace orva::matcher
