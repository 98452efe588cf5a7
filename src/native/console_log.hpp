// Console lines and error-log records (the console and error log of both modules), through the names the calling module binds at load
// (`console`, `logger`, `json`, `traceback`), looked up when used so callers can replace them.
#pragma once

#include "pyref.hpp"

namespace orva {

// module.<name>, looked up now.
inline Ref module_attr(PyObject* module, PyObject* name) { return getattr(module, name); }

// console.print(text)
void console_print(PyObject* module, PyObject* text);
inline void console_print(PyObject* module, const Ref& text) { console_print(module, text.get()); }

// console.print(format(fmt, values)), unless the console says it would drop the line: a console
// may carry `kept_prefixes`, a tuple of str, promising that its print drops every line that starts
// with none of them. Such a line is then neither formatted nor printed (read once per call; a
// console without the attribute, or with anything but a tuple of str there, gets every line).
void console_line(PyObject* module, const char* fmt, std::initializer_list<PyObject*> values);

// logger.error(json.dumps({"error": str(e), "traceback": traceback.format_exc(), "data": data})),
// with `caught` as the exception being handled. Values of `data` that JSON cannot encode are
// written as their str() text.
void log_error(PyObject* module, Caught& caught, PyObject* data);

}  // namespace orva
