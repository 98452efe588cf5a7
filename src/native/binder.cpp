#include "binder.hpp"

#include <frameobject.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>

namespace orva {

namespace {

struct Entry {
  Method method;
  std::string qualname;  // "Cls.name", as CPython names the function in its errors
  size_t ndefaults = 0;
  PyMethodDef def{};
  std::vector<PyObject*> names;  // interned "self" and parameter names, never released
  std::string filename;          // "<package.module>", what tracebacks show for this method
};

std::string quote_list(const std::vector<const char*>& names) {
  // CPython: 'a' / 'a' and 'b' / 'a', 'b', and 'c'
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

[[noreturn]] void type_error(const std::string& message) { raise(PyExc_TypeError, message); }

const char* kind_text(Kind kind, bool none_ok) {
  switch (kind) {
    case Kind::Str: return none_ok ? "str or None" : "str";
    case Kind::Int: return none_ok ? "int or None" : "int";
    case Kind::Dict: return none_ok ? "dict or None" : "dict";
    case Kind::List: return none_ok ? "list or None" : "list";
    case Kind::Real: return "a real number";
    case Kind::FloatOrNone: return "float or None";
    case Kind::Any: break;
  }
  return "";
}

}  // namespace

namespace {
// kind_accepts, inlined into the binding below.
inline bool accepts(Kind kind, PyObject* v, bool none_ok) {
  if (none_ok && v == Py_None) return true;
  switch (kind) {
    case Kind::Any: return true;
    case Kind::Str: return PyUnicode_CheckExact(v);
    case Kind::Int: return PyLong_CheckExact(v);
    case Kind::Dict: return PyDict_CheckExact(v);
    case Kind::List: return PyList_CheckExact(v);
    case Kind::FloatOrNone: return v == Py_None || PyFloat_CheckExact(v);
    case Kind::Real: {
      if (PyFloat_Check(v) || PyLong_Check(v)) return true;
      PyNumberMethods* nb = Py_TYPE(v)->tp_as_number;
      return nb && (nb->nb_float || nb->nb_index);
    }
  }
  return false;
}
}  // namespace

bool kind_accepts(Kind kind, PyObject* v, bool none_ok) { return accepts(kind, v, none_ok); }

namespace {

// The type check of every bound parameter after self, in order: the first refused raises.
inline void check_kinds(const Entry* e, PyObject* const* bound, size_t total) {
  const Method& m = e->method;
  for (size_t i = 1; i < total; ++i) {
    const Param& p = m.params[i - 1];
    const bool none_ok = p.default_value.get() == Py_None;
    if (!accepts(p.kind, bound[i], none_ok)) argument_type_error(e->qualname, p.name, kind_text(p.kind, none_ok), bound[i]);
  }
}

// Binds like a Python function `def name(self, p1, ..., pn=d, *rest)` and checks the types.
PyObject* trampoline(PyObject* capsule, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  auto* e = static_cast<Entry*>(PyCapsule_GetPointer(capsule, nullptr));
  const Method& m = e->method;
  const size_t total = m.params.size() + 1;  // with self
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  const size_t given = static_cast<size_t>(nargs);
  // The usual call: positionals only, none missing and none too many; the same checks in the same
  // order as the general binding below, without its bookkeeping.
  if (!kwnames && !m.varargs && given + e->ndefaults >= total && given <= total) {
    PyObject* bound[16];
    for (size_t i = 0; i < given; ++i) bound[i] = args[i];
    for (size_t i = given; i < total; ++i) bound[i] = m.params[i - 1].default_value.get();
    PyObject* result = nullptr;
    run_caught(
        [&] {
          check_kinds(e, bound, total);
          const Args bound_args{bound, nullptr, &e->qualname};
          result = m.body(bound_args).release();
        },
        [&] { add_traceback_frame(e->filename, e->qualname); });
    return result;
  }
  PyObject* bound[16] = {nullptr};
  PyObject* result = nullptr;
  run_caught(
      [&] {
        const size_t npos = std::min<size_t>(static_cast<size_t>(nargs), total);
        for (size_t i = 0; i < npos; ++i) bound[i] = args[i];
        if (kwnames) {
          const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
          for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            size_t slot = total;
            // Keyword names written in Python source are interned: most match by identity.
            for (size_t i = 0; i < e->names.size(); ++i)
              if (e->names[i] == key) {
                slot = i;
                break;
              }
            for (size_t i = 0; i < total && slot == total; ++i) {
              const char* pname = i == 0 ? "self" : m.params[i - 1].name;
              if (PyUnicode_CompareWithASCIIString(key, pname) == 0) {
                slot = i;
                break;
              }
            }
            if (slot == total)
              type_error(e->qualname + "() got an unexpected keyword argument '" + utf8(key) + "'");
            if (bound[slot])
              type_error(e->qualname + "() got multiple values for argument '" + utf8(key) + "'");
            bound[slot] = args[nargs + k];
          }
        }
        if (static_cast<size_t>(nargs) > total && !m.varargs) {
          std::string sig;
          bool plural;
          if (e->ndefaults) {
            sig = "from " + std::to_string(total - e->ndefaults) + " to " + std::to_string(total);
            plural = true;
          } else {
            sig = std::to_string(total);
            plural = total != 1;
          }
          type_error(e->qualname + "() takes " + sig + " positional argument" + (plural ? "s" : "") + " but " +
                     std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
        }
        std::vector<const char*> missing;
        const size_t required = total - e->ndefaults;
        for (size_t i = 0; i < required; ++i)
          if (!bound[i]) missing.push_back(i == 0 ? "self" : m.params[i - 1].name);
        if (!missing.empty())
          type_error(e->qualname + "() missing " + std::to_string(missing.size()) + " required positional argument" +
                     (missing.size() == 1 ? "" : "s") + ": " + quote_list(missing));
        for (size_t i = 1; i < total; ++i)
          if (!bound[i]) bound[i] = m.params[i - 1].default_value.get();
        check_kinds(e, bound, total);
        Ref extra;
        if (m.varargs) {
          Py_ssize_t from = std::min<Py_ssize_t>(nargs, static_cast<Py_ssize_t>(total));
          extra = Ref::steal(PyTuple_New(nargs - from));
          for (Py_ssize_t i = from; i < nargs; ++i) {
            Py_INCREF(args[i]);
            PyTuple_SET_ITEM(extra.get(), i - from, args[i]);
          }
        }
        Args bound_args{bound, extra.get(), &e->qualname};
        result = m.body(bound_args).release();
      },
      [&] { add_traceback_frame(e->filename, e->qualname); });
  return result;
}

// "name($self, a, b='x')\n--\n\n" lets inspect.signature read the parameters.
std::string text_signature(const Method& m) {
  std::string sig = std::string(m.name) + "($self";
  for (const Param& p : m.params) {
    sig += ", ";
    sig += p.name;
    if (p.default_value) {
      Ref r = Ref::steal(PyObject_Repr(p.default_value.get()));
      sig += "=" + utf8(r.get());
    }
  }
  if (m.varargs) sig += ", *args";
  return sig + ")\n--\n\n";
}

}  // namespace

void add_traceback_frame(const std::string& filename, const std::string& qualname) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyCodeObject* code = PyCode_NewEmpty(filename.c_str(), qualname.c_str(), 0);
  PyObject* globals = code ? PyDict_New() : nullptr;
  PyFrameObject* frame = globals ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  if (!frame) PyErr_Clear();
  PyErr_Restore(type, value, tb);
  if (frame) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(globals);
  Py_XDECREF(code);
}

void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw PyError{};
}

PyObject* dict_item(PyObject* dict, PyObject* key) {
  PyObject* v = PyDict_GetItemWithError(dict, key);
  if (!v) {
    if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
    throw PyError{};
  }
  return v;
}

PyObject* kwnames(std::initializer_list<const char*> names) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) {
    PyObject* name = PyUnicode_InternFromString(n);
    if (!name) throw_error();
    PyTuple_SET_ITEM(t.get(), i++, name);
  }
  return t.release();
}

std::string utf8(PyObject* obj) {
  Ref s = str_of(obj);
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(s.get(), &size);
  if (!data) throw_error();
  return std::string(data, static_cast<size_t>(size));
}

namespace {

// The literal texts of a format between its "{}" marks, as a tuple of str, made once per
// format string (formats are literals) and kept for the life of the process.
struct FormatPieces {
  const char* fmt;
  PyObject* pieces;
};
FormatPieces g_format_pieces[64];
size_t g_format_count = 0;

Ref split_format(const char* fmt) {
  Ref pieces = Ref::steal(PyList_New(0));
  const char* start = fmt;
  const char* p = fmt;
  for (; *p; ++p) {
    if (p[0] == '{' && p[1] == '}') {
      Ref piece = Ref::steal(PyUnicode_DecodeUTF8(start, p - start, nullptr));
      if (PyList_Append(pieces.get(), piece.get()) < 0) throw_error();
      start = p + 2;
      ++p;
    }
  }
  Ref last = Ref::steal(PyUnicode_DecodeUTF8(start, p - start, nullptr));
  if (PyList_Append(pieces.get(), last.get()) < 0) throw_error();
  return Ref::steal(PyList_AsTuple(pieces.get()));
}

Ref format_pieces(const char* fmt) {
  for (size_t i = 0; i < g_format_count; ++i)
    if (g_format_pieces[i].fmt == fmt) return Ref::borrow(g_format_pieces[i].pieces);
  Ref pieces = split_format(fmt);
  if (g_format_count < sizeof(g_format_pieces) / sizeof(g_format_pieces[0]))
    g_format_pieces[g_format_count++] = FormatPieces{fmt, Ref(pieces).release()};
  return pieces;
}

}  // namespace

Ref format(const char* fmt, std::initializer_list<PyObject*> values) {
  Ref pieces = format_pieces(fmt);
  const Py_ssize_t marks = PyTuple_GET_SIZE(pieces.get()) - 1;
  Ref parts = Ref::steal(PyList_New(0));
  auto it = values.begin();
  for (Py_ssize_t i = 0; i <= marks; ++i) {
    if (PyList_Append(parts.get(), PyTuple_GET_ITEM(pieces.get(), i)) < 0) throw_error();
    if (i == marks) break;
    // A mark left without a value stays as it is written.
    Ref value = it != values.end() ? str_of(*it++) : text("{}");
    if (PyList_Append(parts.get(), value.get()) < 0) throw_error();
  }
  Ref empty = Ref::steal(PyUnicode_New(0, 0));
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

Caught Caught::fetch() {
  PyObject *t, *v, *tb;
  PyErr_Fetch(&t, &v, &tb);
  PyErr_NormalizeException(&t, &v, &tb);
  if (tb && v) PyException_SetTraceback(v, tb);
  Caught c;
  c.type = Ref::steal(t ? t : (Py_INCREF(Py_None), Py_None));
  c.value = Ref::steal(v ? v : (Py_INCREF(Py_None), Py_None));
  c.traceback = tb ? Ref::steal(tb) : Ref();
  return c;
}

void Caught::restore() { PyErr_Restore(type.release(), value.release(), traceback.release()); }

std::string mangle(const char* cls, const char* name) {
  size_t len = std::strlen(name);
  bool dunder = len > 4 && name[len - 1] == '_' && name[len - 2] == '_';
  if (len > 2 && name[0] == '_' && name[1] == '_' && !dunder) return std::string("_") + cls + name;
  return name;
}

[[noreturn]] void argument_type_error(const std::string& qualname, const char* param, const char* what,
                                      PyObject* value) {
  type_error(qualname + "() argument '" + param + "' must be " + what + ", not " + Py_TYPE(value)->tp_name);
}

void import_into(PyObject* target, const char* module, const char* name, const char* alias) {
  Ref mod = Ref::steal(PyImport_ImportModule(module));
  Ref value = mod;
  if (name) {
    PyObject* attr = PyObject_GetAttrString(mod.get(), name);
    if (!attr) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
      PyErr_Clear();
      raise(PyExc_ImportError, std::string("cannot import name '") + name + "' from '" + module + "'");
    }
    value = Ref::steal(attr);
  }
  if (PyModule_AddObjectRef(target, alias ? alias : (name ? name : module), value.get()) < 0) throw_error();
}

double real_arg(const Args& args, size_t index) {
  double v = PyFloat_AsDouble(args[index]);
  if (v == -1.0 && PyErr_Occurred()) throw_error();
  return v;
}

unsigned long g_main_thread_ident = 0;
std::atomic<bool> g_before_exit{false};

void release_late(PyObject* p) noexcept {
  if (holds_gil()) Py_DECREF(p);
}

namespace {

PyObject* exit_begins(PyObject*, PyObject*) {
  g_before_exit.store(false, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef g_exit_begins = {"exit_begins", exit_begins, METH_NOARGS, "The interpreter's exit has begun."};

void record_main_thread() {
  if (g_main_thread_ident) return;
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  Ref main = call_method(threading.get(), ORVA_NAME("main_thread"));
  Ref ident = getattr(main.get(), ORVA_NAME("ident"));
  unsigned long value = PyLong_AsUnsignedLong(ident.get());
  if (value == static_cast<unsigned long>(-1) && PyErr_Occurred()) throw_error();
  g_main_thread_ident = value;
}

}  // namespace

void watch_exit() {
  static bool armed = false;
  if (armed) return;
  Ref callback = Ref::steal(PyCFunction_New(&g_exit_begins, nullptr));
  // Told twice, so that clearing the atexit callbacks (atexit._clear) cannot leave the flag set when
  // daemon threads unwind: the threading module's own exit callbacks run first, at its shutdown.
  // Told the threading module first: a failure after it only tells it again, which is harmless.
  Ref threading = Ref::steal(PyImport_ImportModule("threading"));
  PyObject* also = nullptr;
  const int found = optional_attr(threading.get(), ORVA_NAME("_register_atexit"), &also);
  if (found < 0) throw_error();
  if (found) {
    Ref registering = Ref::steal(also);
    call(registering.get(), {callback.get()});
  }
  Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
  call_method(atexit.get(), ORVA_NAME("register"), {callback.get()});
  armed = true;
  g_before_exit.store(true, std::memory_order_release);
}

Ref make_class(PyObject* module, const char* name, std::vector<Method> methods) {
  record_main_thread();
  watch_exit();
  Ref module_name = getattr(module, ORVA_NAME("__name__"));
  Ref ns = Ref::steal(PyDict_New());
  dict_set(ns.get(), ORVA_NAME("__module__"), module_name.get());
  Ref qual = text(name);
  dict_set(ns.get(), ORVA_NAME("__qualname__"), qual.get());
  for (Method& m : methods) {
    if (m.params.size() + 1 > 16) raise(PyExc_SystemError, "too many parameters");
    // As in a def: the quick binding fills the missing trailing parameters from their defaults.
    bool defaulted = false;
    for (const Param& p : m.params) {
      if (!p.default_value && defaulted) raise(PyExc_SystemError, "a parameter without a default follows one with it");
      defaulted = defaulted || p.default_value;
    }
    // Leaked on purpose: the function objects point at it for the life of the process.
    std::string qualname = std::string(name) + "." + m.name;
    auto* e = new Entry{std::move(m), std::move(qualname)};
    e->filename = "<" + utf8(module_name.get()) + ">";
    for (const Param& p : e->method.params)
      if (p.default_value) ++e->ndefaults;
    // Each name is checked as it is made: a NULL is never kept in the table.
    auto intern = [&](const char* n) {
      PyObject* s = PyUnicode_InternFromString(n);
      if (!s) throw_error();
      e->names.push_back(s);
    };
    intern("self");
    for (const Param& p : e->method.params) intern(p.name);
    auto* doc = new std::string(text_signature(e->method));
    e->def = PyMethodDef{e->method.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(trampoline)),
                         METH_FASTCALL | METH_KEYWORDS, doc->c_str()};
    Ref capsule = Ref::steal(PyCapsule_New(e, nullptr, nullptr));
    Ref fn = Ref::steal(PyCFunction_NewEx(&e->def, capsule.get(), module_name.get()));
    Ref method = Ref::steal(PyInstanceMethod_New(fn.get()));
    Ref key = text(mangle(name, e->method.name));
    dict_set(ns.get(), key.get(), method.get());
  }
  Ref cls_name = text(name);
  Ref bases = Ref::steal(PyTuple_New(0));
  return call(reinterpret_cast<PyObject*>(&PyType_Type), {cls_name.get(), bases.get(), ns.get()});
}

}  // namespace orva
