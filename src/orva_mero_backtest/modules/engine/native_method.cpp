#include "native_method.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstdint>
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
  PyObject* text_signature;  // "($self, ...)" from a docstring that starts with one, else None
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
  return 0;
}

int method_clear(PyObject* self) {
  Py_CLEAR(as_method(self)->module);
  Py_CLEAR(as_method(self)->doc);
  return 0;
}

void method_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  NativeMethod* m = as_method(self);
  Py_CLEAR(m->module);
  Py_CLEAR(m->name);
  Py_CLEAR(m->qualname);
  Py_CLEAR(m->doc);
  Py_CLEAR(m->text_signature);
  PyObject_GC_Del(self);
}

PyObject* method_repr(PyObject* self) { return PyUnicode_FromFormat("<native method %U>", as_method(self)->qualname); }

PyMemberDef method_members[] = {
    {"__name__", T_OBJECT, offsetof(NativeMethod, name), READONLY, nullptr},
    {"__qualname__", T_OBJECT, offsetof(NativeMethod, qualname), READONLY, nullptr},
    {"__doc__", T_OBJECT, offsetof(NativeMethod, doc), READONLY, nullptr},
    {"__text_signature__", T_OBJECT, offsetof(NativeMethod, text_signature), READONLY, nullptr},
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
  m->text_signature = Py_None;
  PyObject_GC_Track(reinterpret_cast<PyObject*>(m));
  if (!m->name || !m->qualname) {
    Py_DECREF(m);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(m);
}

int add_documented_methods(PyObject* module, const char* owner, const char* prefix,
                           std::initializer_list<DocumentedMethod> methods) {
  for (const DocumentedMethod& d : methods) {
    const std::string qualname = std::string(owner) + "." + d.name;
    PyObject* method = new_native_method(module, d.name, qualname.c_str(), d.impl);
    if (!method) return -1;
    // "name(<signature>)\n--\n\n<doc>", split as CPython splits a builtin's docstring.
    const std::string doc = d.doc, marker = ")\n--\n\n", name = std::string(d.name) + "(";
    const size_t end = doc.find(marker);
    NativeMethod* m = as_method(method);
    PyObject* body = nullptr;
    if (doc.compare(0, name.size(), name) == 0 && end != std::string::npos) {
      PyObject* sig = PyUnicode_FromStringAndSize(doc.data() + name.size() - 1, end + 1 - (name.size() - 1));
      if (sig) Py_SETREF(m->text_signature, sig);
      body = sig ? PyUnicode_FromString(doc.c_str() + end + marker.size()) : nullptr;
    } else {
      body = PyUnicode_FromString(d.doc);
    }
    if (body) Py_SETREF(m->doc, body);
    if (!body || PyModule_AddObject(module, (std::string(prefix) + d.name).c_str(), method) < 0) {
      Py_DECREF(method);
      return -1;
    }
  }
  return 0;
}

namespace {

std::string name_text(PyObject* name) {
  const char* text = PyUnicode_AsUTF8(name);
  if (!text) throw_error();
  return text;
}

#if PY_VERSION_HEX >= 0x030D0000
// From 3.13 CPython adds "Did you mean 'x'?" to an unexpected keyword: the parameter closest to it by
// its edit distance (moves cost 2, a change of case 1), when no more than a third of the characters
// differ. The same computation as its own, over UTF-8 bytes.
constexpr size_t kMoveCost = 2, kCaseCost = 1, kMaxText = 40;

size_t substitution_cost(char a, char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a += 'a' - 'A';
  if ('A' <= b && b <= 'Z') b += 'a' - 'A';
  return a == b ? kCaseCost : kMoveCost;
}

size_t edit_distance(std::string a, std::string b, size_t max_cost) {
  size_t lead = 0;
  while (lead < a.size() && lead < b.size() && a[lead] == b[lead]) ++lead;
  a.erase(0, lead), b.erase(0, lead);
  while (!a.empty() && !b.empty() && a.back() == b.back()) a.pop_back(), b.pop_back();
  if (a.empty() || b.empty()) return (a.size() + b.size()) * kMoveCost;
  if (a.size() > kMaxText || b.size() > kMaxText) return max_cost + 1;
  if (b.size() < a.size()) std::swap(a, b);
  if ((b.size() - a.size()) * kMoveCost > max_cost) return max_cost + 1;
  std::vector<size_t> row(a.size());
  for (size_t i = 0; i < a.size(); ++i) row[i] = (i + 1) * kMoveCost;
  size_t result = 0;
  for (size_t j = 0; j < b.size(); ++j) {
    size_t distance = result = j * kMoveCost;
    size_t minimum = SIZE_MAX;
    for (size_t i = 0; i < a.size(); ++i) {
      const size_t substitute = distance + substitution_cost(b[j], a[i]);
      distance = row[i];
      result = std::min(std::min(result, distance) + kMoveCost, substitute);
      row[i] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;
  }
  return result;
}

std::string suggestion(const Signature& sig, const std::string& key) {
  std::string found;
  size_t best_distance = SIZE_MAX;
  for (size_t i = 0; i < sig.count; ++i) {
    const std::string name = name_text(sig.names[i]);
    if (name == key) continue;
    // No more than a third of the characters involved may change, and it must beat the best so far.
    const size_t max_distance = std::min((key.size() + name.size() + 3) * kMoveCost / 6, best_distance - 1);
    const size_t distance = edit_distance(key, name, max_distance);
    if (distance > max_distance) continue;
    found = name;
    best_distance = distance;
  }
  return found.empty() ? "" : ". Did you mean '" + found + "'?";
}
#else
std::string suggestion(const Signature&, const std::string&) { return ""; }
#endif

[[noreturn]] void call_error(const Signature& sig, const std::string& what) {
  raise(PyExc_TypeError, std::string(sig.qualname) + "() " + what);
}

}  // namespace

void bind_call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject* const* kwvalues, PyObject** out, std::vector<Py_ssize_t>* rest) {
  // CPython's order: positionals, then each keyword, then too many positionals, then missing ones.
  const size_t given = static_cast<size_t>(nargs);
  for (size_t i = 0; i < sig.count; ++i) out[i] = i < given ? args[i] : nullptr;
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t i = 0;
    while (i < sig.count && sig.names[i] != key) ++i;  // keywords written in source are interned
    for (size_t j = 0; i == sig.count && j < sig.count; ++j) {
      const int order = PyUnicode_Compare(sig.names[j], key);
      if (order == -1 && PyErr_Occurred()) throw_error();
      if (order == 0) i = j;
    }
    if (i == sig.count) {
      if (sig.varkw && rest) {
        rest->push_back(k);
        continue;
      }
      const std::string text = name_text(key);
      call_error(sig, "got an unexpected keyword argument '" + text + "'" + suggestion(sig, text));
    }
    if (out[i]) call_error(sig, "got multiple values for argument '" + name_text(key) + "'");
    out[i] = kwvalues[k];
  }
  if (given > sig.count) {
    const size_t defaults = sig.count - sig.required;
    const std::string takes = defaults ? "from " + std::to_string(sig.required) + " to " + std::to_string(sig.count)
                                       : std::to_string(sig.count);
    const bool plural = defaults || sig.count != 1;
    call_error(sig, "takes " + takes + " positional argument" + (plural ? "s" : "") + " but " + std::to_string(given) +
                        (given == 1 ? " was" : " were") + " given");
  }
  std::vector<std::string> missing;
  for (size_t i = 0; i < sig.required; ++i)
    if (!out[i]) missing.push_back("'" + name_text(sig.names[i]) + "'");
  if (missing.empty()) return;
  std::string names;
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) names += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    names += missing[i];
  }
  call_error(sig, "missing " + std::to_string(missing.size()) + " required positional argument" +
                      (missing.size() == 1 ? "" : "s") + ": " + names);
}

bool is_native_method(PyObject* method) { return Py_TYPE(method) == &NativeMethodType; }

}  // namespace orva::engine
