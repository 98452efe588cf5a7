#include <Python.h>

#include <cstdlib>
#include <cstring>

#include "fastpaths.hpp"

namespace orva {

#if ORVA_FASTPATHS
bool fastpaths_from_environment() {
  const char* v = std::getenv("ORVA_MERO_BACKTEST_FASTPATHS");
  return !(v && std::strcmp(v, "0") == 0);
}

namespace detail {
std::atomic<signed char> g_fastpaths{-1};

bool read_fastpaths() {
  // Threads racing here read the same environment and store the same answer.
  const bool on = fastpaths_from_environment();
  signed char unread = -1;
  g_fastpaths.compare_exchange_strong(unread, on ? 1 : 0, std::memory_order_relaxed);
  return g_fastpaths.load(std::memory_order_relaxed) != 0;
}
}  // namespace detail
#endif

#if ORVA_USE_ENTRY_READS
namespace {

// A dict of the probe's `shape` holding names[0 .. n-1]: 0 plain, 1 with every third key deleted,
// 2 with an int key too, 3 the __dict__ of *owner, an instance of `cls` (split while its class
// shares keys; the caller releases the instance after the dict).
PyObject* probe_dict(int shape, int n, PyObject* const* names, PyObject* cls, PyObject** owner) {
  *owner = shape == 3 ? PyObject_CallNoArgs(cls) : nullptr;
  if (shape == 3 && !*owner) return nullptr;
  bool ok = true;
  for (int j = 0; ok && *owner && j < n; ++j) ok = PyObject_SetAttr(*owner, names[j], Py_None) == 0;
  PyObject* d = *owner ? (ok ? PyObject_GenericGetDict(*owner, nullptr) : nullptr) : PyDict_New();
  ok = d != nullptr;
  for (int j = 0; ok && shape != 3 && j < n; ++j) ok = PyDict_SetItem(d, names[j], Py_None) == 0;
  for (int j = 0; ok && shape == 1 && j < n; j += 3) ok = PyDict_DelItem(d, names[j]) == 0;
  if (ok && shape == 2) {
    PyObject* key = PyLong_FromLong(n);
    ok = key && PyDict_SetItem(d, key, Py_None) == 0;
    Py_XDECREF(key);
  }
  if (!ok) Py_CLEAR(d);
  return d;
}

}  // namespace
#endif

bool dict_lacks_checked() {
  int& state = detail::dict_lacks_state();
#if ORVA_USE_ENTRY_READS
  if (state == 0) {
    state = -1;
    if (!fastpaths_on()) return false;
    // Every name a dict holds must be told "not known", and most it does not hold "missing" (else
    // the reading is of no use).
    constexpr int kKeys = 40, kNames = 120;
    PyObject* names[kNames] = {};
    bool ok = true;
    for (int j = 0; ok && j < kNames; ++j) {
      names[j] = PyUnicode_FromFormat("k%d", j);
      ok = names[j] && PyObject_Hash(names[j]) != -1;
    }
    PyObject* cls = ok ? PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s()N", "Probe", PyDict_New())
                       : nullptr;
    ok = cls != nullptr;
    long told = 0, missing = 0;
    for (int n = 0; ok && n <= kKeys; ++n) {
      for (int shape = 0; ok && shape < 4; ++shape) {
        PyObject* owner = nullptr;
        PyObject* d = probe_dict(shape, n, names, cls, &owner);
        ok = d && PyDict_CheckExact(d);
        for (int j = 0; ok && j < kNames; ++j) {
          const int held = PyDict_Contains(d, names[j]);
          const bool lacks = detail::dict_lacks_read(d, names[j]);
          if (held < 0 || (held == 1 && lacks)) ok = false;
          if (held == 0) ++missing, told += lacks;
        }
        Py_XDECREF(d);
        Py_XDECREF(owner);
      }
    }
    Py_XDECREF(cls);
    for (PyObject* name : names) Py_XDECREF(name);
    if (PyErr_Occurred()) PyErr_Clear();
    if (ok && told * 2 > missing) state = 1;
  }
#endif
  return state == 1;
}

#if ORVA_USE_TYPE_WATCHERS
namespace {

// The classes watched by this module, each with a count of the changes the interpreter told of.
// A watched class is kept alive (never released), so its address is never reused for another.
// All of it is used with the GIL held.
constexpr int kWatchSlots = 32;
struct Watched {
  PyTypeObject* type = nullptr;
};
Watched g_watched[kWatchSlots];
int g_watcher = -2;  // -2: not added yet, -1: none to be had

int on_type_changed(PyTypeObject* type) {
#if ORVA_USE_DICT_WATCHERS
  ++WatchEvents::g_count;
#endif
  for (int i = 0; i < kWatchSlots; ++i)
    if (g_watched[i].type == type) ++TypeGuard::g_type_changes[i];
  return 0;
}

}  // namespace

uint64_t TypeGuard::g_type_changes[kWatchSlots] = {};

int TypeGuard::watch_slot(PyTypeObject* type) {
  if (g_watcher == -2) {
    g_watcher = PyType_AddWatcher(on_type_changed);
    if (g_watcher < 0) PyErr_Clear();
  }
  if (g_watcher < 0) return -1;
  int free_slot = -1;
  for (int i = 0; i < kWatchSlots; ++i) {
    if (g_watched[i].type == type) {
      // Watching lapses after a report until the class is looked up again; watch it again.
      if (PyType_Watch(g_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
        PyErr_Clear();
        return -1;
      }
      PyUnstable_Type_AssignVersionTag(type);
      return i;
    }
    if (!g_watched[i].type && free_slot < 0) free_slot = i;
  }
  if (free_slot < 0) return -1;
  if (PyType_Watch(g_watcher, reinterpret_cast<PyObject*>(type)) < 0) {
    PyErr_Clear();
    return -1;
  }
  // A class changed while it has no version tag is not reported: give it one now.
  PyUnstable_Type_AssignVersionTag(type);
  Py_INCREF(type);
  g_watched[free_slot].type = type;
  return free_slot;
}
#endif

#if ORVA_USE_DICT_WATCHERS
PlainDictGuard::Watched PlainDictGuard::g_watched_dicts[32];
#if ORVA_USE_TYPE_WATCHERS
uint64_t WatchEvents::g_count = 0;
#endif

namespace {

// The dicts watched by this module, each with a count of the events the interpreter told of. A
// freed dict leaves its slot (counted first, so a guard holding the slot never matches again).
// All of it is used with the GIL held.
constexpr int kDictSlots = 32;
auto& g_dicts = PlainDictGuard::g_watched_dicts;
int g_dict_watcher = -2;  // -2: not added yet, -1: none to be had

int on_dict_event(PyDict_WatchEvent event, PyObject* dict, PyObject*, PyObject*) {
#if ORVA_USE_TYPE_WATCHERS
  ++WatchEvents::g_count;
#endif
  for (PlainDictGuard::Watched& w : g_dicts)
    if (w.dict == dict) {
      ++w.changes;
      if (event == PyDict_EVENT_DEALLOCATED) w.dict = nullptr;
    }
  return 0;
}

}  // namespace


int PlainDictGuard::watch_slot(PyObject* dict) {
  if (!PyDict_CheckExact(dict)) return -1;
  if (g_dict_watcher == -2) {
    g_dict_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_dict_watcher < 0) PyErr_Clear();
  }
  if (g_dict_watcher < 0) return -1;
  int free_slot = -1;
  for (int i = 0; i < kDictSlots; ++i) {
    if (g_dicts[i].dict == dict) return i;
    if (!g_dicts[i].dict && free_slot < 0) free_slot = i;
  }
  if (free_slot < 0) return -1;
  if (PyDict_Watch(g_dict_watcher, dict) < 0) {
    PyErr_Clear();
    return -1;
  }
  g_dicts[free_slot].dict = dict;
  return free_slot;
}
#endif

}  // namespace orva
