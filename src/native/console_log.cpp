#include "console_log.hpp"

namespace orva {

void console_print(PyObject* module, PyObject* text) {
  Ref console = module_attr(module, ORVA_NAME("console"));
  call_method(console.get(), ORVA_NAME("print"), {text});
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
