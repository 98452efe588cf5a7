// Plain Python classes whose methods are C++ functions, with Python's own argument binding.
//
// A class is described by a table of methods (name, parameters, defaults, types). Each
// method becomes a METH_FASTCALL | METH_KEYWORDS function wrapped with PyInstanceMethod_New,
// and the class is made with type(name, (), namespace), so it is an ordinary class:
// `__mro__ == (Cls, object)`, instances with a `__dict__`, methods in table order.
#pragma once

#include <exception>
#include <new>
#include <string>
#include <vector>

#include "pyref.hpp"

namespace orva {

// Exact-type rule a parameter is checked against before the method body runs.
enum class Kind {
  Any,
  Str,        // exactly str (None too when the default is None)
  Int,        // exactly int, bool refused (None too when the default is None)
  Dict,       // exactly dict (None too when the default is None)
  List,       // exactly list (None too when the default is None)
  Real,       // anything PyFloat_AsDouble accepts; the body converts it
  FloatOrNone // exactly float, or None
};

struct Param {
  const char* name;
  Kind kind = Kind::Any;
  Ref default_value = {};  // empty: required
};

// Bound arguments: [0] is self, then the parameters in order (defaults filled in).
struct Args {
  PyObject* const* values;
  PyObject* extra;  // tuple of surplus positionals for *args methods, else nullptr
  const std::string* qualname;

  PyObject* self() const { return values[0]; }
  PyObject* operator[](size_t i) const { return values[i]; }
};

using Body = Ref (*)(const Args&);

struct Method {
  const char* name;  // as written in the class body; "__x" names are stored mangled
  Body body;
  std::vector<Param> params;  // after self
  bool varargs = false;       // collects surplus positionals (def f(self, a=None, *rest))
};

// Creates the class `name` in `module` from `methods`. The table is kept for the life of
// the process (it is never freed, so nothing is released after the interpreter is gone).
Ref make_class(PyObject* module, const char* name, std::vector<Method> methods);

// `from <module> import <name> as <alias>` (`import <module> as <alias>` when name is null)
// into the namespace of module `target`; a missing module or name raises ImportError.
void import_into(PyObject* target, const char* module, const char* name, const char* alias = nullptr);

// The value of a Kind::Real parameter as a double (TypeError naming the parameter otherwise).
double real_arg(const Args& args, size_t index);

// TypeError "Cls.method() argument 'name' must be <what>, not <type>".
[[noreturn]] void argument_type_error(const std::string& qualname, const char* param, const char* what,
                                      PyObject* value);

// Adds to the traceback of the pending error the frame a Python function `qualname` defined in
// `filename` would add, so that traceback.format_exc() shows where a failure came from.
void add_traceback_frame(const std::string& filename, const std::string& qualname);

// Runs `body` for a binding: true, or false with what it threw made the pending Python error (a
// PyError's, which has it set, after `on_error()`, e.g. adding a traceback frame). Never catch (...):
// the forced unwind of a thread ended at exit must pass through.
template <class Body, class OnError>
bool run_caught(Body&& body, OnError&& on_error) {
  try {
    body();
    return true;
  } catch (PyError&) {
    on_error();
  } catch (std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (std::exception& ex) {
    PyErr_SetString(PyExc_RuntimeError, ex.what());
  }
  return false;
}

// Whether `value` passes the exact-type rule `kind` (None too when `none_ok`).
bool kind_accepts(Kind kind, PyObject* value, bool none_ok);

// The name a class body would store `name` under: "__x" becomes "_Cls__x".
std::string mangle(const char* cls, const char* name);

}  // namespace orva
