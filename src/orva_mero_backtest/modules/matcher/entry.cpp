// Placeholder module; the exchange is being built.
#include "binder.hpp"

namespace {
PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "matcher", nullptr, -1, nullptr};
}

PyMODINIT_FUNC PyInit_matcher() { return PyModule_Create(&module_def); }
