#include "console_log.hpp"

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

// console.kept_prefixes when it is a tuple of exact str, else empty.
Ref kept_prefixes(PyObject* console) {
  PyObject* v = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(console, ORVA_NAME("kept_prefixes"), &v) < 0) throw_error();
#else
  // No AttributeError is made for a missing attribute (the usual case: rich's Console).
  if (_PyObject_LookupAttr(console, ORVA_NAME("kept_prefixes"), &v) < 0) throw_error();
#endif
  Ref prefixes = v ? Ref::steal(v) : Ref();
  if (!prefixes || !PyTuple_CheckExact(prefixes.get())) return Ref();
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(prefixes.get()); ++i)
    if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(prefixes.get(), i))) return Ref();
  return prefixes;
}

}  // namespace

void console_line(PyObject* module, const char* fmt, std::initializer_list<PyObject*> values) {
  Ref console = module_attr(module, ORVA_NAME("console"));
  Ref prefixes = kept_prefixes(console.get());
  const int verdict = prefixes ? kept(prefixes.get(), fmt) : 1;
  if (verdict == 0) return;
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
