// Trade ids: generate(size=16) through the module's current `generate`.
//
// While that is still nanoid's own function, ids are drawn here: the same 64-letter alphabet,
// one byte of the OS's secure randomness per letter (byte & 63, as nanoid does for a 64-letter
// alphabet), the bytes fetched from os.urandom in batches.
#include <cstring>
#ifndef _WIN32
#include <pthread.h>
#endif

#include "matcher.hpp"

namespace orva::matcher {

namespace {

// Both kept (a strong reference each) for the life of the process, never released.
PyObject* g_original_generate = nullptr;
PyObject* g_urandom = nullptr;
char g_alphabet[64];
bool g_native_ids = false;

constexpr Py_ssize_t kPoolSize = 4096;
unsigned char g_pool[kPoolSize];
Py_ssize_t g_pool_used = kPoolSize;

// A forked child must not reuse the parent's bytes.
[[maybe_unused]] void forget_pool() { g_pool_used = kPoolSize; }

void refill_pool() {
  Ref size = py_long(kPoolSize);
  Ref bytes = call(g_urandom, {size.get()});  // may let other threads run
  if (!PyBytes_Check(bytes.get()) || PyBytes_GET_SIZE(bytes.get()) != kPoolSize)
    raise(PyExc_RuntimeError, "os.urandom returned an unexpected value");
  std::memcpy(g_pool, PyBytes_AS_STRING(bytes.get()), kPoolSize);
  g_pool_used = 0;
}

Ref native_trade_id() {
  // Another thread may take bytes while this one refills: check again after every refill.
  while (g_pool_used + 16 > kPoolSize) refill_pool();
  // The alphabet is ASCII (checked at load): the letters go straight into a new compact str.
  Ref id = Ref::steal(PyUnicode_New(16, 127));
  Py_UCS1* letters = PyUnicode_1BYTE_DATA(id.get());
  for (int i = 0; i < 16; ++i) letters[i] = static_cast<Py_UCS1>(g_alphabet[g_pool[g_pool_used + i] & 63]);
  g_pool_used += 16;
  return id;
}

}  // namespace

void load_id_source() {
  g_original_generate = global(ORVA_NAME("generate")).release();
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  g_urandom = getattr(os.get(), ORVA_NAME("urandom")).release();
#ifndef _WIN32
  if (pthread_atfork(nullptr, nullptr, forget_pool) != 0) raise(PyExc_OSError, "pthread_atfork failed");
#endif
  // The default alphabet is the generate function's first default.
  g_native_ids = false;
  PyObject* defaults = PyObject_GetAttrString(g_original_generate, "__defaults__");
  if (!defaults) {
    PyErr_Clear();
    return;
  }
  Ref d = Ref::steal(defaults);
  if (!PyTuple_Check(defaults) || PyTuple_GET_SIZE(defaults) < 1) return;
  PyObject* alphabet = PyTuple_GET_ITEM(defaults, 0);
  if (!PyUnicode_CheckExact(alphabet) || PyUnicode_GET_LENGTH(alphabet) != 64 || !PyUnicode_IS_ASCII(alphabet))
    return;
  std::memcpy(g_alphabet, PyUnicode_1BYTE_DATA(alphabet), 64);
  g_native_ids = true;
}

#if ORVA_FASTPATHS
#if ORVA_USE_DICT_VERSIONS
// The module dict's version tag when its `generate` was last found to be nanoid's own (0: not known).
uint64_t g_generate_seen = 0;
#endif

bool native_trade_ids() {
  if (!fastpaths_on() || !g_native_ids) return false;
  PyObject* dict = PyModule_GetDict(g_module);
#if ORVA_USE_DICT_VERSIONS
  const uint64_t version = dict_version(dict);
  if (version == g_generate_seen) return true;
#endif
  PyObject* bound = PyDict_GetItemWithError(dict, ORVA_NAME("generate"));
  if (!bound && PyErr_Occurred()) throw_error();
#if ORVA_USE_DICT_VERSIONS
  // Remembered only if the look-up left the dict as it was.
  const bool same = dict_version(dict) == version;
  g_generate_seen = bound == g_original_generate && same ? version : 0;
#endif
  return bound == g_original_generate;
}

Ref drawn_trade_id() { return native_trade_id(); }
#endif

Ref new_trade_id() {
  Ref generate = global(ORVA_NAME("generate"));
#if ORVA_FASTPATHS
  if (fastpaths_on() && g_native_ids && generate.get() == g_original_generate) return native_trade_id();
#endif
  Ref size = py_long(16);
  return call(generate.get(), {size.get()}, g_call_names.size);
}

}  // namespace orva::matcher
