// The one boundary for shortcuts that read CPython internals (dict version tags, object
// layouts) or stand in for Python-level calls while the objects they stand for are unchanged.
//
// Every such shortcut is written as
//
//     #if ORVA_FASTPATHS
//       if (orva::fastpaths_on()) { ...shortcut...; }
//     #endif
//       ...the plain path, which is always correct...
//
// Build switch: the CMake option ORVA_FASTPATHS (ON by default) defines ORVA_FASTPATHS to 1 or 0;
// with 0 no shortcut is compiled. Run-time switch: ORVA_MERO_BACKTEST_FASTPATHS=0 in the
// environment when a module is loaded turns them off in a build that has them.
#pragma once

#include <Python.h>

#ifndef ORVA_FASTPATHS
#define ORVA_FASTPATHS 1
#endif

// Dict version tags (PyDictObject::ma_version_tag) are gone from 3.12 on.
#if ORVA_FASTPATHS && PY_VERSION_HEX < 0x030C0000
#define ORVA_DICT_VERSIONS 1
#else
#define ORVA_DICT_VERSIONS 0
#endif

namespace orva {

#if ORVA_DICT_VERSIONS
// A dict's version tag: it changes with every change of the dict, and no two dicts share one.
inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

#if ORVA_FASTPATHS
// Read once, at the first call (module load); the environment is not looked at again.
bool fastpaths_on();
#else
constexpr bool fastpaths_on() { return false; }
#endif

}  // namespace orva
