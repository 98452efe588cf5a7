#include "console_log.hpp"

#include "fastpaths.hpp"

namespace orva {

void console_print(PyObject* module, PyObject* text) {
  Ref console = module_attr(module, ORVA_NAME("console"));
  call_method(console.get(), ORVA_NAME("print"), {text});
}

namespace {

// Whether a line made from `fmt` starts with `prefix`: 1 yes, 0 no, -1 when only the line itself can
// tell (the prefix reaches past the first "{}").
int head_matches(const char* fmt, PyObject* prefix) {
  Py_ssize_t size = 0;
  const char* p = PyUnicode_AsUTF8AndSize(prefix, &size);
  if (!p) throw_error();
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (fmt[i] == '{' && fmt[i + 1] == '}') return -1;
    if (fmt[i] != p[i]) return 0;  // also stops at the end of fmt
  }
  return 1;
}

// Whether the console keeps lines made from `fmt`: 1, 0, or -1 when the line must be made to tell.
// `prefixes` is the console's kept_prefixes, a tuple of exact str.
int kept(PyObject* prefixes, const char* fmt) {
  int verdict = 0;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes); ++i) {
    const int m = head_matches(fmt, PyTuple_GET_ITEM(prefixes, i));
    if (m == 1) return 1;
    if (m < 0) verdict = -1;
  }
  return verdict;
}

bool kept_line(PyObject* prefixes, PyObject* line) {
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes); ++i) {
    const Py_ssize_t r = PyUnicode_Tailmatch(line, PyTuple_GET_ITEM(prefixes, i), 0, PY_SSIZE_T_MAX, -1);
    if (r < 0) throw_error();
    if (r) return true;
  }
  return false;
}

// module.console. An exact module's attribute is its dict's entry (ModuleType has no attribute of
// that name; a module __getattr__ runs only for a name the dict lacks), read where it sat last time.
Ref bound_console(PyObject* module) {
  if (Py_TYPE(module) == &PyModule_Type) {
    static EntryPlace at;  // each module's own dict: the place is checked at every read
    if (PyObject* v = at.get(PyModule_GetDict(module), ORVA_NAME("console"))) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
  }
  return module_attr(module, ORVA_NAME("console"));
}

// A console class found with the generic look-up and no attribute kept_prefixes anywhere on its
// MRO: the instance dict alone answers for it while the class is unchanged.
TypeGuard g_bare_console_class;

// getattr(console, "kept_prefixes") as optional_attr answers it: 1 found (*out a new reference), 0
// missing, -1 error.
int read_kept_prefixes(PyObject* console, PyObject** out) {
  PyObject* name = ORVA_NAME("kept_prefixes");
  PyTypeObject* type = Py_TYPE(console);
  bool bare = g_bare_console_class.unchanged(type);
  if (!bare && type->tp_getattro == PyObject_GenericGetAttr && !type_lookup(type, name)) {
    g_bare_console_class.mark(type);
    bare = true;
  }
  PyObject* dict = bare ? instance_dict(console) : nullptr;
  if (!dict || !PyDict_CheckExact(dict)) return optional_attr(console, name, out);
  static EntryPlace at;  // consoles of one class share their keys
  PyObject* v = at.get(dict, name);
  if (!v) return PyErr_Occurred() ? -1 : 0;
  Py_INCREF(v);
  *out = v;
  return 1;
}

// console.kept_prefixes when it is a tuple of exact str, else empty.
Ref kept_prefixes(PyObject* console) {
  PyObject* v = nullptr;
  // No AttributeError is made for a missing attribute (the usual case: rich's Console).
  if (read_kept_prefixes(console, &v) < 0) throw_error();
  Ref prefixes = v ? Ref::steal(v) : Ref();
  if (!prefixes || !PyTuple_CheckExact(prefixes.get())) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes.get()); ++i)
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(prefixes.get(), i))) return Ref();
  return prefixes;
}

}  // namespace

#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
namespace {

// What a call found when its line was dropped unmade: the console the module bound, read through a
// plain class (generic attribute look-up, kept_prefixes no descriptor) and its instance dict, all at
// the version tags they had then. While they keep them the same look-ups give the same answer for
// the same format. Borrowed: `console` is used only while the module dict, which holds it, keeps its
// version tag; the rest is only compared.
struct DroppedLine {
  PyObject* module_dict = nullptr;
  uint64_t module_version = 0;
  PyObject* console = nullptr;
  PyTypeObject* type = nullptr;
  unsigned type_version = 0;
  PyObject* console_dict = nullptr;
  uint64_t console_version = 0;
  const char* fmt = nullptr;
};
DroppedLine g_dropped[8];
unsigned g_dropped_next = 0;

// The state the look-ups of console_line depend on, when it can be told by version tags.
bool console_state(PyObject* module, PyObject* console, DroppedLine& s) {
  if (Py_TYPE(module) != &PyModule_Type) return false;
  PyTypeObject* type = Py_TYPE(console);
  if (type->tp_getattro != PyObject_GenericGetAttr || !type_version(type)) return false;
  PyObject* console_dict = instance_dict(console);
  if (!console_dict || !PyDict_CheckExact(console_dict)) return false;
  s.module_dict = PyModule_GetDict(module);
  s.module_version = dict_version(s.module_dict);
  s.console = console;
  s.type = type;
  s.type_version = type_version(type);
  s.console_dict = console_dict;
  s.console_version = dict_version(console_dict);
  return true;
}

bool same_state(const DroppedLine& a, const DroppedLine& b) {
  return a.module_dict == b.module_dict && a.module_version == b.module_version && a.console == b.console &&
         a.type == b.type && a.type_version == b.type_version && a.console_dict == b.console_dict &&
         a.console_version == b.console_version;
}

// Whether a line of `fmt` was dropped unmade with everything as it is now.
bool known_dropped(PyObject* module, const char* fmt) {
  PyObject* dict = PyModule_GetDict(module);
  const uint64_t version = dict_version(dict);
  for (const DroppedLine& d : g_dropped) {
    if (d.fmt != fmt || d.module_dict != dict || d.module_version != version) continue;
    // module.console is d.console (the module dict is unchanged): check what reading it depends on.
    DroppedLine now;
    if (Py_TYPE(module) == &PyModule_Type && console_state(module, d.console, now) && same_state(d, now)) return true;
  }
  return false;
}

// Takes the place of what was remembered for the same format and module, else of the oldest entry.
void remember_dropped(const DroppedLine& line) {
  for (DroppedLine& d : g_dropped)
    if (d.fmt == line.fmt && d.module_dict == line.module_dict) {
      d = line;
      return;
    }
  g_dropped[g_dropped_next++ % 8] = line;
}

}  // namespace
#endif

void console_line(PyObject* module, const char* fmt, std::initializer_list<PyObject*> values) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  if (fastpaths_on() && known_dropped(module, fmt)) return;
  DroppedLine before;
  bool plain = false;
  if (fastpaths_on()) {
    PyObject* dict = PyModule_GetDict(module);
    PyObject* bound = PyDict_GetItemWithError(dict, ORVA_NAME("console"));
    if (!bound && PyErr_Occurred()) throw_error();
    plain = bound && console_state(module, bound, before);
    if (plain) {
      // kept_prefixes read from the instance dict (or as a plain class attribute), never run.
      PyObject* d = type_lookup(Py_TYPE(bound), ORVA_NAME("kept_prefixes"));
      plain = !d || !Py_TYPE(d)->tp_descr_get;
    }
  }
#endif
  Ref console = bound_console(module);
  Ref prefixes = kept_prefixes(console.get());
  const int verdict = prefixes ? kept(prefixes.get(), fmt) : 1;
  if (verdict == 0) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    // Remembered only if nothing changed while the answer was found.
    DroppedLine after;
    if (plain && console.get() == before.console && console_state(module, console.get(), after) &&
        same_state(before, after)) {
      after.fmt = fmt;
      remember_dropped(after);
    }
#endif
    return;
  }
  Ref line = format(fmt, values);
  if (verdict < 0 && !kept_line(prefixes.get(), line.get())) return;
  call_method(console.get(), ORVA_NAME("print"), {line.get()});
}

namespace {

Ref dumps(PyObject* json, PyObject* record, bool str_fallback) {
  if (!str_fallback) return call_method(json, ORVA_NAME("dumps"), {record});
  Ref str_type = Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
  return call_method(json, ORVA_NAME("dumps"), {record, str_type.get()}, ORVA_KWNAMES("default"));
}

}  // namespace

void log_error(PyObject* module, Caught& caught, PyObject* data) {
  Ref error = str_of(caught.value.get());
  Ref tb_module = module_attr(module, ORVA_NAME("traceback"));
  Ref tb = caught.while_handled([&] { return call_method(tb_module.get(), ORVA_NAME("format_exc")); });
  Ref record = Ref::steal(PyDict_New());
  dict_set(record.get(), ORVA_NAME("error"), error.get());
  dict_set(record.get(), ORVA_NAME("traceback"), tb.get());
  dict_set(record.get(), ORVA_NAME("data"), data);
  Ref json = module_attr(module, ORVA_NAME("json"));
  Ref line;
  try {
    line = dumps(json.get(), record.get(), false);
  } catch (PyError&) {
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
    PyErr_Clear();
    try {
      line = dumps(json.get(), record.get(), true);
    } catch (PyError&) {
      // Still not encodable (a cycle, keys JSON refuses): keep the data as one text.
      if (!PyErr_ExceptionMatches(PyExc_Exception)) throw;
      PyErr_Clear();
      Ref data_text = str_of(data);
      dict_set(record.get(), ORVA_NAME("data"), data_text.get());
      line = dumps(json.get(), record.get(), false);
    }
  }
  Ref logger = module_attr(module, ORVA_NAME("logger"));
  call_method(logger.get(), ORVA_NAME("error"), {line.get()});
}

}  // namespace orva
