// C++ functions as methods of plain Python classes.
#pragma once

#include <initializer_list>
#include <utility>

#include "pyref.hpp"

namespace orva::engine {

// impl(module, args, nargsf, kwnames): args[0] is self when called as a method.
using MethodImpl = PyObject* (*)(PyObject* module, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// A method descriptor for a class attribute: like a Python function it binds `self` when read from an
// instance, and `obj.name(...)` calls impl with `self` first without making a bound method per call.
// `qualname` is e.g. "Positions.equity"; the fast module is passed to impl.
PyObject* new_native_method(PyObject* module, const char* name, const char* qualname, MethodImpl impl);

// Adds one such method per {name, impl} to `module` as `<prefix><name>`, with the qualname
// "<owner>.<name>"; -1 with an error set on failure.
int add_native_methods(PyObject* module, const char* owner, const char* prefix,
                       std::initializer_list<std::pair<const char*, MethodImpl>> methods);

// Whether `method` is such a descriptor.
bool is_native_method(PyObject* method);

// Names the Python text the module's attribute `attr` stands for: its __doc__ becomes the method's,
// and __wrapped__ is the text, so help() and inspect.signature() show the text's. Nothing when the
// attribute is not a native method.
void set_native_method_text(PyObject* module, const char* attr, PyObject* text);

}  // namespace orva::engine
