// Argument binding of a Python function `def f(self, a, b, c=default)` for METH_FASTCALL | METH_KEYWORDS
// functions, with CPython's error texts.
#pragma once

#include <string>

#include "pyref.hpp"

namespace orva::engine {

// Fills out[0..n) from a vectorcall's arguments, as Python binds `def <qualname>(names[0], ...,
// names[n-1])` whose parameters from `required` on have the defaults `defaults[i - required]`.
// `names` are interned (ORVA_NAME): keywords written in Python source match them by identity.
// Raises CPython's TypeError texts ("missing 1 required positional argument: 'x'", ...).
inline void bind_arguments(const char* qualname, PyObject* const* names, int n, int required,
                           PyObject* const* defaults, PyObject* const* args, size_t nargsf, PyObject* kwnames,
                           PyObject** out) {
  const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (!kwnames && nargs >= required && nargs <= n) {  // the usual call: positionals only, nothing to report
    for (int i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : defaults[i - required];
    return;
  }
  auto fail = [&](const std::string& text) { raise(PyExc_TypeError, std::string(qualname) + "() " + text); };
  if (nargs > n) {
    const std::string takes = required == n ? std::to_string(n) : "from " + std::to_string(required) + " to " +
                                                                      std::to_string(n);
    fail("takes " + takes + " positional argument" + (n == 1 && required == n ? "" : "s") + " but " +
         std::to_string(nargs) + (nargs == 1 ? " was" : " were") + " given");
  }
  for (int i = 0; i < n; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int slot = 0;
    while (slot < n && key != names[slot]) ++slot;
    for (int i = 0; slot == n && i < n; ++i)
      if (PyUnicode_Check(key) && PyUnicode_Compare(key, names[i]) == 0) slot = i;
    if (slot == n) fail("got an unexpected keyword argument '" + utf8(key) + "'");
    if (out[slot]) fail("got multiple values for argument '" + utf8(key) + "'");
    out[slot] = args[nargs + k];
  }
  std::string missing;
  int count = 0;
  for (int i = 0; i < required; ++i)
    if (!out[i]) ++count;
  for (int i = 0, seen = 0; i < required; ++i) {
    if (out[i]) continue;
    if (seen) missing += count == 2 ? " and " : (seen + 1 == count ? ", and " : ", ");
    missing += "'" + utf8(names[i]) + "'";
    ++seen;
  }
  if (count)
    fail("missing " + std::to_string(count) + " required positional argument" + (count == 1 ? "" : "s") + ": " +
         missing);
  for (int i = required; i < n; ++i)
    if (!out[i]) out[i] = defaults[i - required];
}

}  // namespace orva::engine
