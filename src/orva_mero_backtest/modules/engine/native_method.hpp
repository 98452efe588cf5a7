// C++ functions as methods of plain Python classes.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "pyref.hpp"

namespace orva::engine {

// impl(module, args, nargsf, kwnames): args[0] is self when called as a method.
using MethodImpl = PyObject* (*)(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// A method descriptor for a class attribute: like a Python function it binds `self` when read from an
// instance, and `obj.name(...)` calls impl with `self` first without making a bound method per call.
// `qualname` is e.g. "Positions.equity"; the fast module is passed to impl.
PyObject* new_native_method(PyObject* module, const char* name, const char* qualname, MethodImpl impl);

// A method with its docstring, which starts as CPython's own builtins do with the signature
// ("buy($self, code, qty, price=None)\n--\n\n..."): help() and inspect.signature() read it.
struct DocumentedMethod {
  const char* name;
  MethodImpl impl;
  const char* doc;
};

// Adds one such method per entry to `module` as `<prefix><name>`, with the qualname "<owner>.<name>";
// -1 with an error set on failure.
int add_documented_methods(PyObject* module, const char* owner, const char* prefix,
                           std::initializer_list<DocumentedMethod> methods);

// A def's signature for bind_call: `names` are the parameters, self first, of which the first
// `required` have no default; `varkw` when it ends with **kwargs. `qualname` ("Cls.name") is what
// CPython's errors name the function.
struct Signature {
  const char* qualname;
  PyObject* const* names;
  size_t count;
  size_t required;
  bool varkw = false;
};

// Binds a call as CPython binds it to a def of that signature: out[i] (count of them) becomes the
// argument of names[i] (borrowed), null where the default applies. Positionals are args[0..nargs),
// keywords kwnames with values kwvalues (kwnames may be null). A keyword no parameter takes goes to
// `rest` (its index in kwnames) when the signature has **kwargs. Raises CPython's TypeError (its text
// too) where it would.
void bind_call(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               PyObject* const* kwvalues, PyObject** out, std::vector<Py_ssize_t>* rest = nullptr);

// Whether `method` is such a descriptor.
bool is_native_method(PyObject* method);

}  // namespace orva::engine
