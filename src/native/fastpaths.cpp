#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "fastpaths.hpp"

namespace orva {

#if ORVA_FASTPATHS
bool fastpaths_on() {
  // A plain C++ static of a C string compare: no Python call, so no GIL switch inside the guard.
  static const bool on = [] {
    const char* v = std::getenv("ORVA_MERO_BACKTEST_FASTPATHS");
    return !(v && std::strcmp(v, "0") == 0);
  }();
  return on;
}
#endif

}  // namespace orva
