// The one boundary for CPython internals, and for shortcuts that stand in for Python-level calls
// while the objects they stand for are unchanged. Nothing outside this header reads a private
// struct field or calls a `_Py` function.
//
// One flag per family, each 0 or 1, each defaulting from ORVA_FASTPATHS and the interpreter
// version (define one on the command line to force it), each with a plain path when 0:
//
//   ORVA_USE_DICT_VERSIONS  dict version tags (ma_version_tag, < 3.12): "this dict is unchanged"
//                           for one compare, so caches over instance dicts skip re-reading them.
//                           Plain: re-read the dict.
//   ORVA_USE_TYPE_VERSIONS  type version tags (tp_version_tag, < 3.12): "this class and its bases
//                           are unchanged" for one compare. Plain: check the class again.
//   ORVA_USE_TYPE_WATCHERS  type watchers (PyType_AddWatcher, public, 3.12+): the same answer as
//                           type versions, told by the interpreter when a watched class changes.
//                           (Dict watchers are no stand-in: 3.13.0 does not report attribute stores
//                           into an instance's inline values to them.)
//   ORVA_USE_DICT_WATCHERS  dict watchers (PyDict_AddWatcher, public, 3.12+), for dicts that are no
//                           object's __dict__ (a module's dict, a dict held as a value): the same
//                           answer as dict versions, told by the interpreter (PlainDictGuard).
//                           Plain: re-read the dict.
//   ORVA_USE_DICT_PTR       _PyObject_GetDictPtr: an instance's dict without a new reference.
//                           Plain: PyObject_GenericGetDict.
//   ORVA_USE_DICT_LAYOUT    split-dict layout (ma_keys / ma_values and the values array, 3.10 -
//                           3.13, not the free-threaded build; checked per template by a probe):
//                           SharedValues reads and writes a key-sharing row's values by key index.
//                           Plain: PyDict_GetItem / PyDict_SetItem.
//   ORVA_USE_ENTRY_LAYOUT   combined-dict entries (dk_indices then the entries; 3.10 - 3.13, not the
//                           free-threaded build): FreshEntries writes a fresh copy's values in place.
//                           Plain: PyDict_SetItem.
//   ORVA_USE_ENTRY_HINTS    where a str key sits in a dict's entries (3.12 - 3.13, not the
//                           free-threaded build; the split values and the dict watcher bits too):
//                           EntryHint reads (or replaces, or exchanges) that entry's value again with a few loads,
//                           for instance dicts, whose changes no version tag (gone) or dict watcher
//                           (3.13.0 is not told of attribute stores) reports. Checked against
//                           PyDict_GetItem at every learn(). Plain: look the key up.
//   ORVA_USE_ENTRY_READS    where a str key sits in a dict's entries (3.10 - 3.13, not the
//                           free-threaded build), for reading only: EntryPlace reads that entry's
//                           value again with a few loads, for dicts made alike (the ticks of a feed,
//                           the instance dicts of one class). Checked against PyDict_GetItem at
//                           every learn(). Plain: look the key up. The same layout answers
//                           dict_lacks(): a str key surely missing, by the dict's own probe
//                           sequence (checked against PyDict_Contains once per module, see
//                           dict_lacks_checked()). Plain: look the key up.
//   ORVA_USE_LONG_LAYOUT    an int's digits (3.10 - 3.13, 30-bit digits, not the free-threaded build;
//                           checked against PyLong_AsLongLong at first use): an int that only its
//                           owner holds is given a new one-digit value in place (a count written on
//                           every tick). Plain: a new int.
//   ORVA_USE_LOCK_LAYOUT    _thread.lock's object layout (3.10 - 3.13, checked against locked() at
//                           first use): take a free queue mutex without a method call.
//                           Plain: lock.acquire() / lock.release().
//
// Build switch: the CMake option ORVA_FASTPATHS (ON by default) defines ORVA_FASTPATHS to 1 or 0;
// with 0 every flag is 0. Run-time switch: ORVA_MERO_BACKTEST_FASTPATHS=0 in the environment when a
// module is loaded makes fastpaths_on() false, and every shortcut then takes its plain path.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>

#ifndef ORVA_FASTPATHS
#define ORVA_FASTPATHS 1
#endif

#ifndef ORVA_USE_DICT_VERSIONS
#define ORVA_USE_DICT_VERSIONS (ORVA_FASTPATHS && PY_VERSION_HEX < 0x030C0000)
#endif
#ifndef ORVA_USE_TYPE_VERSIONS
#define ORVA_USE_TYPE_VERSIONS (ORVA_FASTPATHS && PY_VERSION_HEX < 0x030C0000)
#endif
#ifndef ORVA_USE_TYPE_WATCHERS
#define ORVA_USE_TYPE_WATCHERS (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030C0000)
#endif
#ifndef ORVA_USE_DICT_WATCHERS
#define ORVA_USE_DICT_WATCHERS (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030C0000)
#endif
#ifndef ORVA_USE_DICT_PTR
#define ORVA_USE_DICT_PTR ORVA_FASTPATHS
#endif
#ifndef ORVA_USE_DICT_LAYOUT
#if defined(Py_GIL_DISABLED)
#define ORVA_USE_DICT_LAYOUT 0
#else
#define ORVA_USE_DICT_LAYOUT (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000)
#endif
#endif
#ifndef ORVA_USE_ENTRY_LAYOUT
#if defined(Py_GIL_DISABLED)
#define ORVA_USE_ENTRY_LAYOUT 0
#else
#define ORVA_USE_ENTRY_LAYOUT (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000)
#endif
#endif
#ifndef ORVA_USE_ENTRY_HINTS
#if defined(Py_GIL_DISABLED)
#define ORVA_USE_ENTRY_HINTS 0
#else
#define ORVA_USE_ENTRY_HINTS (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030C0000 && PY_VERSION_HEX < 0x030E0000)
#endif
#endif
#ifndef ORVA_USE_ENTRY_READS
#if defined(Py_GIL_DISABLED)
#define ORVA_USE_ENTRY_READS 0
#else
#define ORVA_USE_ENTRY_READS (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000)
#endif
#endif
#ifndef ORVA_USE_LONG_LAYOUT
#if defined(Py_GIL_DISABLED) || PYLONG_BITS_IN_DIGIT != 30
#define ORVA_USE_LONG_LAYOUT 0
#else
#define ORVA_USE_LONG_LAYOUT (ORVA_FASTPATHS && PY_VERSION_HEX >= 0x030A0000 && PY_VERSION_HEX < 0x030E0000)
#endif
#endif
#ifndef ORVA_USE_LOCK_LAYOUT
#define ORVA_USE_LOCK_LAYOUT (ORVA_FASTPATHS && PY_VERSION_HEX < 0x030E0000)
#endif

#if ORVA_USE_TYPE_VERSIONS && ORVA_USE_TYPE_WATCHERS
#error "type versions and type watchers answer the same question: choose one"
#endif
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_DICT_WATCHERS
#error "dict versions and dict watchers answer the same question: choose one"
#endif
#if ORVA_USE_ENTRY_HINTS && (PY_VERSION_HEX < 0x030C0000 || ORVA_USE_DICT_VERSIONS)
#error "entry hints replace values without a version tag: 3.12 and later only"
#endif
#if ORVA_USE_DICT_WATCHERS && PY_VERSION_HEX < 0x030C0000
#error "dict watchers need CPython 3.12"
#endif
#if ORVA_USE_TYPE_WATCHERS && PY_VERSION_HEX < 0x030C0000
#error "type watchers need CPython 3.12"
#endif

namespace orva {

#if ORVA_FASTPATHS
// ORVA_MERO_BACKTEST_FASTPATHS as the environment holds it now.
bool fastpaths_from_environment();
namespace detail {
// 1 on, 0 off, -1 not read yet. A plain byte rather than a function-local static: asked dozens of
// times per tick, and a static's guard costs a load and a branch more on every ask.
extern std::atomic<signed char> g_fastpaths;
bool read_fastpaths();
}  // namespace detail
// Read once, at the first call (module load); the environment is not looked at again. Inline: it is
// asked several times per tick.
inline bool fastpaths_on() {
  const signed char on = detail::g_fastpaths.load(std::memory_order_relaxed);
  if (__builtin_expect(on >= 0, 1)) return on != 0;
  return detail::read_fastpaths();
}
#else
constexpr bool fastpaths_on() { return false; }
#endif

#if ORVA_USE_DICT_VERSIONS
// A dict's version tag: it changes with every change of the dict, and no two dicts share one.
inline uint64_t dict_version(PyObject* d) { return reinterpret_cast<PyDictObject*>(d)->ma_version_tag; }
#endif

#if ORVA_USE_TYPE_VERSIONS
// A type's version tag, 0 when it has no valid one: it changes with every change of the class or a
// base, and is never reused.
inline unsigned type_version(PyTypeObject* type) {
  return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
}
#endif

// ---- Interpreter state, under the name each version gives it --------------------------------

inline bool is_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// getattr(obj, name) without making an AttributeError for a missing attribute: 1 found (*out a
// new reference), 0 missing, -1 error.
inline int optional_attr(PyObject* obj, PyObject* name, PyObject** out) {
#if PY_VERSION_HEX >= 0x030D0000
  return PyObject_GetOptionalAttr(obj, name, out);
#else
  return _PyObject_LookupAttr(obj, name, out);
#endif
}

// Whether two str objects (exact or not: their text, not their class's ==) hold the same text.
// Runs no Python code.
inline bool same_str_text(PyObject* a, PyObject* b) {
  const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
  if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
  const size_t bytes = static_cast<size_t>(n) * PyUnicode_KIND(a);
  const char* x = static_cast<const char*>(PyUnicode_DATA(a));
  const char* y = static_cast<const char*>(PyUnicode_DATA(b));
  if (bytes > 16) return memcmp(x, y, bytes) == 0;
  for (size_t i = 0; i < bytes; ++i)  // a code's few bytes: no call
    if (x[i] != y[i]) return false;
  return true;
}

// ---- Class attributes -----------------------------------------------------------------------

// The attribute `name` of `type` as found in the class dicts along its MRO (no descriptor run),
// borrowed from the class dict that holds it; NULL when none holds it. No error is left set.
// (The interpreter's own cached look-up bought nothing measurable here: the MROs walked are short.)
inline PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
  PyObject* mro = type->tp_mro;
  if (!mro || !PyTuple_Check(mro)) return nullptr;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
    PyObject* base = PyTuple_GET_ITEM(mro, i);
    if (!PyType_Check(base)) continue;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* dict = PyType_GetDict(reinterpret_cast<PyTypeObject*>(base));  // new reference
    if (!dict) {
      PyErr_Clear();
      continue;
    }
    PyObject* v = PyDict_GetItemWithError(dict, name);
    Py_DECREF(dict);  // the class holds its dict
#else
    PyObject* dict = reinterpret_cast<PyTypeObject*>(base)->tp_dict;
    if (!dict) continue;
    PyObject* v = PyDict_GetItemWithError(dict, name);
#endif
    if (v) return v;
    if (PyErr_Occurred()) PyErr_Clear();
  }
  return nullptr;
}

// Knows whether a class and its bases kept their attributes since mark(): a cache over what the
// class holds (its methods, the absence of data descriptors) is valid while unchanged() answers
// true. Without type versions or watchers it always answers false, and the cache is checked again.
// Does not own the class: the caller keeps it alive (or compares it by identity with an object it
// holds) for as long as it asks.
class TypeGuard {
 public:
  bool unchanged(PyTypeObject* type) const {
#if ORVA_USE_TYPE_VERSIONS
    if (fastpaths_on())
      return type == type_ && tag_ != 0 && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) &&
             type->tp_version_tag == tag_;
#elif ORVA_USE_TYPE_WATCHERS
    if (fastpaths_on()) return type == type_ && slot_ >= 0 && watch_count(slot_) == count_;
#endif
    (void)type;
    return false;
  }
  // Call after the class was checked, with nothing run in between.
  void mark(PyTypeObject* type) {
    type_ = type;
#if ORVA_USE_TYPE_VERSIONS
    if (fastpaths_on()) {
      _PyType_Lookup(type, lookup_key());  // gives the type a tag if it has none
      tag_ = (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
    }
#elif ORVA_USE_TYPE_WATCHERS
    if (fastpaths_on()) {
      slot_ = watch_slot(type);
      count_ = slot_ >= 0 ? watch_count(slot_) : 0;
    }
#endif
  }
  void forget() { type_ = nullptr; }

 private:
  PyTypeObject* type_ = nullptr;
#if ORVA_USE_TYPE_VERSIONS
  unsigned tag_ = 0;
  static PyObject* lookup_key() {
    static PyObject* key = PyUnicode_InternFromString("__orva_version__");
    return key;
  }
#elif ORVA_USE_TYPE_WATCHERS
  int slot_ = -1;
  uint64_t count_ = 0;
  // The changes seen of the class in watch slot `slot` (inline: asked for every tick).
  static uint64_t watch_count(int slot) { return g_type_changes[slot]; }
#endif

 public:
#if ORVA_USE_TYPE_WATCHERS
  // The changes the interpreter told of, per watch slot (fastpaths.cpp's watcher writes them).
  static uint64_t g_type_changes[];
#endif

 private:
#if ORVA_USE_TYPE_WATCHERS
  // The slot watching `type` (watched from now on, and kept alive), or -1 when none is free.
  static int watch_slot(PyTypeObject* type);
#endif
};

// Knows whether a dict is unchanged (the same keys holding the same objects) since mark(). Without
// dict versions it always answers false, and the cache is read again. Compares the dict
// by identity only: a new dict at the same address is never taken for it.
class DictGuard {
 public:
  bool unchanged(PyObject* dict) const {
#if ORVA_USE_DICT_VERSIONS
    if (fastpaths_on()) return dict == dict_ && dict_version(dict) == tag_;
#endif
    (void)dict;
    return false;
  }
  // Call when the cache was read from `dict` (or written by its owner with the dict), nothing run since.
  void mark(PyObject* dict) {
    dict_ = dict;
#if ORVA_USE_DICT_VERSIONS
    tag_ = dict_version(dict);
#endif
  }
  void forget() { dict_ = nullptr; }
  bool marked() const { return dict_ != nullptr; }

 private:
  PyObject* dict_ = nullptr;
#if ORVA_USE_DICT_VERSIONS
  uint64_t tag_ = 0;
#endif
};

// DictGuard's answer for a dict that is no object's instance dict (a module's dict, a dict held as
// an attribute's value), with dict versions or, on 3.12 and later, dict watchers. (An instance's
// __dict__ may hold its values inline on 3.13, where the watchers are not told of every store.)
// Without either it always answers false, and the cache is read again. Compares the dict by
// identity only: a new dict at the same address is never taken for it.
class PlainDictGuard {
 public:
  bool unchanged(PyObject* dict) const {
#if ORVA_USE_DICT_VERSIONS
    if (fastpaths_on()) return dict_ && dict == dict_ && dict_version(dict) == tag_;
#elif ORVA_USE_DICT_WATCHERS
    if (fastpaths_on()) return dict_ && dict == dict_ && slot_ >= 0 && watch_holds(slot_, dict, count_);
#endif
    (void)dict;
    return false;
  }
  // Call before the cache is read from `dict` (a change made while it is read is then seen), or
  // when its owner wrote the cache with the dict, nothing run since. Never raises.
  void mark(PyObject* dict) {
    dict_ = dict;
#if ORVA_USE_DICT_VERSIONS
    tag_ = dict_version(dict);
#elif ORVA_USE_DICT_WATCHERS
    slot_ = fastpaths_on() ? watch_slot(dict) : -1;
    count_ = slot_ >= 0 ? watch_count(slot_) : 0;
#endif
  }
  void forget() { dict_ = nullptr; }

 private:
  PyObject* dict_ = nullptr;  // compared only
#if ORVA_USE_DICT_VERSIONS
  uint64_t tag_ = 0;
#elif ORVA_USE_DICT_WATCHERS
  int slot_ = -1;
  uint64_t count_ = 0;
  // Whether slot `slot` still watches `dict` and has seen `count` changes of it (inline: asked for
  // every tick).
  static bool watch_holds(int slot, PyObject* dict, uint64_t count) {
    return g_watched_dicts[slot].dict == dict && g_watched_dicts[slot].changes == count;
  }
  static uint64_t watch_count(int slot) { return g_watched_dicts[slot].changes; }
  // The slot watching `dict` (watched from now on, until it is freed), or -1 when none is free.
  static int watch_slot(PyObject* dict);
#endif

 public:
#if ORVA_USE_DICT_WATCHERS
  // The dicts watched, each with a count of the events the interpreter told of (fastpaths.cpp's
  // watcher writes them). A freed dict leaves its slot, counted first, so a guard holding the slot
  // never matches again.
  struct Watched {
    PyObject* dict = nullptr;  // compared only
    uint64_t changes = 0;
  };
  static Watched g_watched_dicts[];
#endif
};

// ---- Instance dicts -------------------------------------------------------------------------

// obj.__dict__ as the object holds it (borrowed), or NULL when it has none. May leave an error
// set only when it returns NULL.
inline PyObject* instance_dict(PyObject* obj) {
#if ORVA_USE_DICT_PTR
  if (fastpaths_on()) {
    PyObject** p = _PyObject_GetDictPtr(obj);
    return p ? *p : nullptr;
  }
#endif
  if (Py_TYPE(obj)->tp_dictoffset == 0) return nullptr;
  PyObject* d = PyObject_GenericGetDict(obj, nullptr);
  if (!d) {
    PyErr_Clear();
    return nullptr;
  }
  Py_DECREF(d);  // the object holds it
  return d;
}

#if PY_VERSION_HEX >= 0x030B0000
// Include/internal/pycore_dict.h of 3.11 - 3.13: the head of a dict's keys object.
struct DictKeysLayout {
  Py_ssize_t dk_refcnt;
  uint8_t dk_log2_size, dk_log2_index_bytes, dk_kind;
  uint32_t dk_version;
  Py_ssize_t dk_usable, dk_nentries;
  char dk_indices[1];
};
#else
// Objects/dict-common.h of 3.10: the head of a dict's keys object; its entries are {hash, key, value}.
struct DictKeys310 {
  Py_ssize_t dk_refcnt, dk_size;
  void* dk_lookup;
  Py_ssize_t dk_usable, dk_nentries;
  char dk_indices[1];
};
// The slots of its first entry: after dk_size indices of 1, 2, 4 or 8 bytes.
inline PyObject** dict_entries310(const DictKeys310* k) {
  const Py_ssize_t size = k->dk_size;
  const Py_ssize_t index_bytes = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffLL ? 4 : 8;
  return reinterpret_cast<PyObject**>(const_cast<char*>(k->dk_indices) + size * index_bytes);
}
#endif

// The entries of a combined dict that was just made (PyDict_Copy of a combined dict, or built key by
// key) and that no other code has seen yet: its keys in insertion order, and their values written
// in place, without a look-up per key. open() is false (use PyDict_SetItem) when the shortcut is off
// or the dict is not laid out as expected: not combined, not `n` keys, or a deleted slot.
// Keeping the dict's garbage-collector tracking right is the caller's: the values it writes into an
// untracked dict must need no tracking (None, bool, int, float).
class FreshEntries {
 public:
  bool open(PyObject* dict, Py_ssize_t n) {
#if ORVA_USE_ENTRY_LAYOUT
    if (!fastpaths_on() || !PyDict_CheckExact(dict)) return false;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    if (d->ma_values || d->ma_used != n) return false;
#if PY_VERSION_HEX < 0x030B0000
    auto* k = reinterpret_cast<DictKeys310*>(d->ma_keys);
    if (k->dk_nentries != n) return false;
    base_ = dict_entries310(k) + 1;
    stride_ = 3;
#else
    // A dict whose keys are all str holds entries {key, value} (kind 1); any other kind is left to
    // the plain path.
    auto* k = reinterpret_cast<DictKeysLayout*>(d->ma_keys);
    if (k->dk_kind != 1 || k->dk_nentries != n) return false;
    base_ = reinterpret_cast<PyObject**>(k->dk_indices + (static_cast<size_t>(1) << k->dk_log2_index_bytes));
    stride_ = 2;
#endif
    n_ = n;
    return true;
#else
    (void)dict, (void)n;
    return false;
#endif
  }
  // The key of the i-th entry (borrowed), 0 <= i < n.
  PyObject* key(Py_ssize_t i) const { return base_[i * stride_]; }
  // Gives the i-th entry `value` (a new reference taken). Its old value is released: the caller
  // knows that releasing it runs no code (it is still held elsewhere, or None).
  void set(Py_ssize_t i, PyObject* value) const {
    PyObject*& slot = base_[i * stride_ + 1];
    Py_INCREF(value);
    Py_SETREF(slot, value);
  }
  // set(i, value) for a reference the caller gives up (stolen).
  void put(Py_ssize_t i, PyObject* value) const {
    PyObject*& slot = base_[i * stride_ + 1];
    Py_SETREF(slot, value);
  }
  Py_ssize_t size() const { return n_; }

 private:
  PyObject** base_ = nullptr;  // the first entry's key
  Py_ssize_t stride_ = 3;
  Py_ssize_t n_ = 0;
};

// The values of a split dict that shares its key table with a template (also split), by the index
// of each key in that table: of() is null when the shortcut is off or `dict` is not an exact dict
// sharing the template's table. A slot is null for a key taken out of the dict; keys added to the
// shared table later come after the template's. Whether index i holds the template's i-th key is
// the caller's to check once per template (holds()); the caller also keeps the dict's
// garbage-collector tracking right for what it writes.
class SharedValues {
 public:
  static PyObject** of(PyObject* dict, PyObject* templ) {
#if ORVA_USE_DICT_LAYOUT
    if (!fastpaths_on() || !PyDict_CheckExact(dict)) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    auto* t = reinterpret_cast<PyDictObject*>(templ);
    if (!d->ma_values || !t->ma_values || d->ma_keys != t->ma_keys) return nullptr;
    return values_of(d);
#else
    (void)dict, (void)templ;
    return nullptr;
#endif
  }

  // Whether of() answers for copies of `templ`, which holds exactly the `n` keys `keys`, added in
  // that order: slot i of a probe copy, written, is what a look-up of keys[i] finds. Never raises.
  static bool holds(PyObject* templ, PyObject* const* keys, int n) {
#if ORVA_USE_DICT_LAYOUT
    constexpr int kMaxProbes = 64;
    if (!fastpaths_on() || n > kMaxProbes || !PyDict_CheckExact(templ) || PyDict_GET_SIZE(templ) != n) return false;
    PyObject* copy = PyDict_Copy(templ);
    if (!copy) {
      PyErr_Clear();
      return false;
    }
    PyObject** values = of(copy, templ);
    bool ok = values != nullptr && PyDict_GET_SIZE(copy) == n;
    PyObject* probes[kMaxProbes];
    for (int i = 0; ok && i < n; ++i) {
      probes[i] = PyLong_FromLong(1000003L + i);  // new objects: compared by identity
      if (!probes[i]) {
        PyErr_Clear();
        ok = false;
        break;
      }
      Py_XSETREF(values[i], probes[i]);  // the dict holds it now
    }
    for (int i = 0; ok && i < n; ++i) ok = PyDict_GetItemWithError(copy, keys[i]) == probes[i];
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(copy);
    return ok;
#else
    (void)templ, (void)keys, (void)n;
    return false;
#endif
  }

 private:
#if ORVA_USE_DICT_LAYOUT
  static PyObject** values_of(PyDictObject* d) {
#if PY_VERSION_HEX >= 0x030D0000
    // Include/internal/pycore_dict.h of 3.13: four one-byte counts, then the values.
    struct Values {
      uint8_t capacity, size, embedded, valid;
      PyObject* values[1];
    };
    return reinterpret_cast<Values*>(d->ma_values)->values;
#elif PY_VERSION_HEX >= 0x030B0000
    // 3.11 and 3.12: the values themselves (their insertion order is kept in front of them).
    return reinterpret_cast<PyObject**>(d->ma_values);
#else
    return d->ma_values;
#endif
  }
#endif
};

// PyObject_IS_GC(value), without the call: asked of every value a hint writes in place (mostly
// floats, which answer at the type's flag).
inline bool needs_tracking(PyObject* value) {
  PyTypeObject* type = Py_TYPE(value);
  return PyType_IS_GC(type) && (!type->tp_is_gc || type->tp_is_gc(value));
}

// Where a str key was found in a dict's entries, to read (or replace) its value there again
// without a look-up: the place is used only while it still holds that key with a value, so a dict
// resized, changed or replaced since is never misread, only looked up again (find() answers NULL:
// "not known", never "missing"). One hint serves every dict whose key sits at the same place, such as
// the instance dicts of one class (they share their keys). `name` must be interned and kept alive
// by the caller (its address is compared). Use with the GIL held.
class EntryHint {
 public:
  // One dict's entries as they are now, for reading several hints from it: made once, read per
  // hint. Valid until the dict changes; `dict` an exact dict.
  class Entries {
   public:
    explicit Entries(PyObject* dict) {
#if ORVA_USE_ENTRY_HINTS
      if (layout_refused()) return;
      auto* d = reinterpret_cast<PyDictObject*>(dict);
      const Keys* k = reinterpret_cast<const Keys*>(d->ma_keys);
      if (k->dk_kind == 0) return;  // not all keys str: entries of another shape
      n_ = k->dk_nentries;
      entries_ = reinterpret_cast<PyObject* const*>(k->dk_indices + (static_cast<size_t>(1) << k->dk_log2_index_bytes));
      if (d->ma_values) {
        // A split dict's values: 3.13 puts {capacity, size, embedded, valid} before them.
        char* values = reinterpret_cast<char*>(d->ma_values);
#if PY_VERSION_HEX >= 0x030D0000
        values += sizeof(void*);
#endif
        values_ = reinterpret_cast<PyObject**>(values);
      }
#else
      (void)dict;
#endif
    }
    // dict[name] (borrowed) from the place `h` remembers, or NULL. Sets no error.
    PyObject* find(const EntryHint& h, PyObject* name) const {
      PyObject** slot = place(h, name);
      return slot ? *slot : nullptr;
    }
    // The value's slot at the place `h` remembers, when it holds `name` with a value; else NULL.
    PyObject** place(const EntryHint& h, PyObject* name) const {
      const Py_ssize_t i = h.ix_;
      if (i < 0 || i >= n_ || entries_[2 * i] != name) return nullptr;
      PyObject** slot = values_ ? values_ + i : const_cast<PyObject**>(entries_ + 2 * i + 1);
      return *slot ? slot : nullptr;
    }
    // Whether find(hints[i], names[i]) == value(i) for every i < n, each value(i) not NULL: one pass
    // with a compare per key and per value, for a dict looked at on every tick.
    template <class Value>
    bool hold(const EntryHint* hints, PyObject* const* names, Value&& value, int n) const {
      if (values_) {
        for (int i = 0; i < n; ++i) {
          const Py_ssize_t ix = hints[i].ix_;
          if (static_cast<size_t>(ix) >= static_cast<size_t>(n_) || entries_[2 * ix] != names[i] ||
              values_[ix] != value(i))
            return false;
        }
        return n_ > 0;
      }
      for (int i = 0; i < n; ++i) {
        const Py_ssize_t ix = hints[i].ix_;
        if (static_cast<size_t>(ix) >= static_cast<size_t>(n_) || entries_[2 * ix] != names[i] ||
            entries_[2 * ix + 1] != value(i))
          return false;
      }
      return n_ > 0;
    }

   private:
    friend class EntryHint;
    Py_ssize_t n_ = 0;  // 0: nothing is read here
    PyObject* const* entries_ = nullptr;
    PyObject** values_ = nullptr;
  };

  // dict[name] (borrowed; `dict` an exact dict) from the remembered place, or NULL. Sets no error.
  PyObject* find(PyObject* dict, PyObject* name) const {
    if (ix_ < 0) return nullptr;
    return Entries(dict).find(*this, name);
  }
  // dict[name] = value at the remembered place (a new reference taken; the old value released, which
  // the caller knows runs no code), as PyDict_SetItem would leave it; false (nothing changed) when
  // find() would answer NULL, a dict watcher watches the dict (it must be told), or the value needs
  // the collector's tracking that the dict lacks.
  bool replace(PyObject* dict, PyObject* name, PyObject* value) const {
#if ORVA_USE_ENTRY_HINTS
    if (ix_ < 0) return false;
    PyObject** slot = Entries(dict).place(*this, name);
    if (!slot || watched(dict)) return false;
    if (needs_tracking(value) && !PyObject_GC_IsTracked(dict)) return false;
    Py_INCREF(value);
    Py_SETREF(*slot, value);
    return true;
#else
    (void)dict, (void)name, (void)value;
    return false;
#endif
  }
  // replace() for an old value whose release may run code: it is handed to the caller (a reference
  // it owns, to release once it holds nothing borrowed) instead of released here. NULL (nothing
  // changed) when replace() would answer false.
  PyObject* exchange(PyObject* dict, PyObject* name, PyObject* value) const {
#if ORVA_USE_ENTRY_HINTS
    if (ix_ < 0) return nullptr;
    PyObject** slot = Entries(dict).place(*this, name);
    if (!slot || watched(dict)) return nullptr;
    if (needs_tracking(value) && !PyObject_GC_IsTracked(dict)) return nullptr;
    PyObject* old = *slot;
    Py_INCREF(value);
    *slot = value;
    return old;
#else
    (void)dict, (void)name, (void)value;
    return nullptr;
#endif
  }
  // Remembers where `name` sits in `dict` (an exact dict) now; forgets when it is not there or the
  // place does not read what PyDict_GetItem gives (the shortcut is then off for good). Sets no error.
  void learn(PyObject* dict, PyObject* name) {
    ix_ = -1;
#if ORVA_USE_ENTRY_HINTS
    if (!fastpaths_on() || !PyDict_CheckExact(dict)) return;
    Entries e(dict);
    for (Py_ssize_t i = 0; i < e.n_; ++i)
      if (e.entries_[2 * i] == name) {
        ix_ = i;
        break;
      }
    if (ix_ < 0) return;
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (!found) PyErr_Clear();
    if (e.find(*this, name) != found) {
      layout_refused() = true;
      ix_ = -1;
    }
#else
    (void)dict, (void)name;
#endif
  }
  void forget() { ix_ = -1; }

 private:
#if ORVA_USE_ENTRY_HINTS
  // The keys object, then its index table, then the entries; tables whose keys are all str (kinds 1
  // and 2) hold entries {key, value}.
  using Keys = DictKeysLayout;
  // The low 8 bits of the version tag name the dict watchers watching it.
  static bool watched(PyObject* dict) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return (reinterpret_cast<PyDictObject*>(dict)->ma_version_tag & 0xff) != 0;
#pragma GCC diagnostic pop
  }
  // Set when a place once read something else than the look-up: no hint is used from then on.
  static bool& layout_refused() {
    static bool refused = false;
    return refused;
  }
#endif
  Py_ssize_t ix_ = -1;
};

// A split dict's key table and its values by index (entry hints family: 3.12 - 3.13, not the
// free-threaded build). A table shared by split dicts only grows, so while a dict is still split over
// the table seen once, each index names the key it named then: its value is read (or replaced) with
// one load. The caller keeps that table alive (it holds a split dict over it; PyDict_Copy of a split
// dict shares the table), so that no other table is ever made at its address. Use with the GIL held.
struct SplitTable {
  // The key table of `dict` (an exact dict) when it is split, else NULL (also with the shortcut
  // off); compared only.
  static const void* of(PyObject* dict) {
#if ORVA_USE_ENTRY_HINTS
    if (!fastpaths_on()) return nullptr;
    auto* d = reinterpret_cast<PyDictObject*>(dict);
    return d->ma_values ? d->ma_keys : nullptr;
#else
    (void)dict;
    return nullptr;
#endif
  }
  // The values of `dict`, for which of() answered a table; slot i holds the value of the table's key
  // i, or NULL when the dict lacks it.
  static PyObject** values(PyObject* dict) {
#if ORVA_USE_ENTRY_HINTS
    char* values = reinterpret_cast<char*>(reinterpret_cast<PyDictObject*>(dict)->ma_values);
#if PY_VERSION_HEX >= 0x030D0000
    values += sizeof(void*);  // 3.13: {capacity, size, embedded, valid} before the values
#endif
    return reinterpret_cast<PyObject**>(values);
#else
    (void)dict;
    return nullptr;
#endif
  }
  // The index of `name` (an interned str) in the split table of `dict`, when of(dict) answers and
  // dict[name] is read there (checked against the look-up); else -1. Sets no error.
  static Py_ssize_t index(PyObject* dict, PyObject* name) {
#if ORVA_USE_ENTRY_HINTS
    if (!of(dict)) return -1;
    const auto* k = reinterpret_cast<const DictKeysLayout*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    if (k->dk_kind == 0) return -1;  // not all keys str: entries of another shape
    auto* entries =
        reinterpret_cast<PyObject* const*>(k->dk_indices + (static_cast<size_t>(1) << k->dk_log2_index_bytes));
    for (Py_ssize_t i = 0; i < k->dk_nentries; ++i)
      if (entries[2 * i] == name) {
        PyObject* found = PyDict_GetItemWithError(dict, name);
        if (!found) PyErr_Clear();
        return found && values(dict)[i] == found ? i : -1;
      }
    return -1;
#else
    (void)dict, (void)name;
    return -1;
#endif
  }
  // Whether a dict watcher watches `dict`: a value replaced in place would not be told to it.
  static bool watched(PyObject* dict) {
#if ORVA_USE_ENTRY_HINTS
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return (reinterpret_cast<PyDictObject*>(dict)->ma_version_tag & 0xff) != 0;
#pragma GCC diagnostic pop
#else
    (void)dict;
    return true;
#endif
  }
};

// Where a str key was found in a dict's entries, to read its value there again without a look-up
// (reading only: nothing is written through it). The place is used only while it still holds that
// key with a value, so a dict resized, changed or of another layout is never misread, only looked
// up again. One place serves every dict whose key sits at the same index. `name` must be interned
// and kept alive by the caller (its address is compared). Use with the GIL held.
class EntryPlace {
 public:
  // One dict's entries as they are now, to read several places from it with one look at its
  // layout. Valid while the dict is unchanged (nothing written to it, no Python code run).
  class View {
   public:
    View() = default;  // of no dict: reads nothing
    explicit View(PyObject* dict) : dict_(dict) {
#if ORVA_USE_ENTRY_READS
      auto* d = reinterpret_cast<PyDictObject*>(dict);
#if PY_VERSION_HEX < 0x030B0000
      // Entries {hash, key, value}; a split table's values are in ma_values.
      const auto* k = reinterpret_cast<const DictKeys310*>(d->ma_keys);
      n_ = k->dk_nentries;
      keys_ = dict_entries310(k) + 1;
#else
      const auto* k = reinterpret_cast<const DictKeysLayout*>(d->ma_keys);
      if (k->dk_kind == 0) return;  // not all keys str: entries of another shape, read nothing
      n_ = k->dk_nentries;
      keys_ = reinterpret_cast<PyObject* const*>(k->dk_indices + (static_cast<size_t>(1) << k->dk_log2_index_bytes));
#endif
      if (d->ma_values) {
        const char* values = reinterpret_cast<const char*>(d->ma_values);
#if PY_VERSION_HEX >= 0x030D0000
        values += sizeof(void*);  // 3.13: {capacity, size, embedded, valid} before the values
#endif
        values_ = reinterpret_cast<PyObject* const*>(values);
        value_stride_ = 1;
      } else {
        values_ = keys_ + 1;
        value_stride_ = key_stride_;
      }
#endif
    }
    // dict[name] (borrowed) from the place `p` remembers, or NULL: not known there. Sets no error.
    PyObject* find(const EntryPlace& p, PyObject* name) const {
      const Py_ssize_t i = p.ix_;
      if (i < 0 || i >= n_ || keys_[i * key_stride_] != name) return nullptr;
      return values_[i * value_stride_];
    }
    // p.get(dict, name), the place read in this view.
    PyObject* get(EntryPlace& p, PyObject* name) const {
      if (PyObject* found = find(p, name)) return found;
      return p.look_up(dict_, name);
    }

    PyObject* dict() const { return dict_; }

   private:
    friend class EntryPlace;
    PyObject* dict_ = nullptr;
    Py_ssize_t n_ = 0;  // 0: nothing is read here
    PyObject* const* keys_ = nullptr;
    PyObject* const* values_ = nullptr;
    // Entries {hash, key, value} up to 3.10, {key, value} (all keys str) after: known when built.
    static constexpr Py_ssize_t key_stride_ = PY_VERSION_HEX < 0x030B0000 ? 3 : 2;
    Py_ssize_t value_stride_ = key_stride_;
  };

  // dict[name] (borrowed; `dict` an exact dict) from the remembered place, or NULL: not known there
  // (never "missing"). Sets no error.
  PyObject* find(PyObject* dict, PyObject* name) const {
#if ORVA_USE_ENTRY_READS
    if (ix_ < 0) return nullptr;
    return View(dict).find(*this, name);
#else
    (void)dict, (void)name;
    return nullptr;
#endif
  }
  // dict[name] (borrowed; `dict` an exact dict, `name` a str): from the place, else looked up and
  // the place learnt. NULL when missing, with an error set only when the look-up failed.
  PyObject* get(PyObject* dict, PyObject* name) {
    if (PyObject* found = find(dict, name)) return found;
    return look_up(dict, name);
  }
  void forget() { ix_ = -1; }

 private:
  PyObject* look_up(PyObject* dict, PyObject* name) {
    PyObject* found = PyDict_GetItemWithError(dict, name);
    if (found) learn(dict, name, found);
    return found;
  }
  // Remembers where `name` sits in `dict` now, when that place reads `found` (dict[name] as the
  // look-up gave it); else the shortcut is off for good.
  void learn(PyObject* dict, PyObject* name, PyObject* found) {
    ix_ = -1;
#if ORVA_USE_ENTRY_READS
    if (!fastpaths_on() || refused()) return;
    const View v(dict);
    for (Py_ssize_t i = 0; i < v.n_; ++i)
      if (v.keys_[i * v.key_stride_] == name) {
        if (v.values_[i * v.value_stride_] == found) ix_ = i;
        else refused() = true;
        return;
      }
#else
    (void)dict, (void)name, (void)found;
#endif
  }

#if ORVA_USE_ENTRY_READS
  // Set when a place once read something else than the look-up: no place is used from then on.
  static bool& refused() {
    static bool r = false;
    return r;
  }
#endif
  Py_ssize_t ix_ = -1;
};

// Whether the exact dict `dict` surely holds no key `name` (an exact str whose hash is known, such
// as an interned name): the dict's probe sequence for the name's hash, read as the dict is now,
// reaches an empty slot past keys that differ from it by hash. False means "not known": look it up
// (a key equal by hash, a table of another shape, the shortcut off). Runs no code, sets no error.
// Answers false until dict_lacks_checked() has answered true in this module.
inline bool dict_lacks(PyObject* dict, PyObject* name);

// Whether dict_lacks() agrees with PyDict_Contains here: checked at the first call (which makes
// and looks up a few hundred small dicts, and may run the collector: call it where that is
// harmless), remembered after. False with the shortcut off.
bool dict_lacks_checked();

namespace detail {
// 1: checked and agreeing, 0: not checked yet, -1: refused (or the shortcut off).
inline int& dict_lacks_state() {
  static int state = 0;
  return state;
}

#if ORVA_USE_ENTRY_READS
// The probe itself over an index table of `Index` slots: entries of 3 words {hash, key, value}
// (kWithHash) or 2 {key, value} (str keys, their hash read from the key).
template <typename Index, bool kWithHash>
inline bool probe_lacks(const Index* indices, size_t mask, PyObject* const* entries, PyObject* name, Py_hash_t hash) {
  size_t perturb = static_cast<size_t>(hash);
  size_t i = static_cast<size_t>(hash) & mask;
  for (size_t probes = 0; probes <= mask; ++probes) {
    const Py_ssize_t ix = static_cast<Py_ssize_t>(indices[i]);
    if (ix == -1) return true;  // an empty slot: the look-up would stop here
    if (ix >= 0) {
      PyObject* const* e = entries + (kWithHash ? 3 : 2) * ix;
      PyObject* key = e[kWithHash ? 1 : 0];
      const Py_hash_t key_hash =
          kWithHash ? reinterpret_cast<const Py_hash_t*>(e)[0] : reinterpret_cast<PyASCIIObject*>(key)->hash;
      if (key == name || key_hash == hash) return false;  // it, or maybe equal to it
    }
    perturb >>= 5;
    i = mask & (i * 5 + perturb + 1);
  }
  return false;
}

template <bool kWithHash>
inline bool probe_lacks(const char* indices, int width, size_t mask, PyObject* const* entries, PyObject* name,
                        Py_hash_t hash) {
  switch (width) {
    case 1: return probe_lacks<int8_t, kWithHash>(reinterpret_cast<const int8_t*>(indices), mask, entries, name, hash);
    case 2: return probe_lacks<int16_t, kWithHash>(reinterpret_cast<const int16_t*>(indices), mask, entries, name, hash);
    case 4: return probe_lacks<int32_t, kWithHash>(reinterpret_cast<const int32_t*>(indices), mask, entries, name, hash);
    default: return probe_lacks<int64_t, kWithHash>(reinterpret_cast<const int64_t*>(indices), mask, entries, name, hash);
  }
}
#endif

// dict_lacks() without asking whether it was checked.
inline bool dict_lacks_read(PyObject* dict, PyObject* name) {
#if ORVA_USE_ENTRY_READS
  const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
  if (hash == -1) return false;
  auto* d = reinterpret_cast<PyDictObject*>(dict);
#if PY_VERSION_HEX < 0x030B0000
  const auto* k = reinterpret_cast<const DictKeys310*>(d->ma_keys);
  const size_t size = static_cast<size_t>(k->dk_size);
  const int width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffffULL ? 4 : 8;
  return probe_lacks<true>(k->dk_indices, width, size - 1, dict_entries310(k), name, hash);
#else
  const auto* k = reinterpret_cast<const DictKeysLayout*>(d->ma_keys);
  const size_t size = static_cast<size_t>(1) << k->dk_log2_size;
  const int width = 1 << (k->dk_log2_index_bytes - k->dk_log2_size);
  PyObject* const* entries =
      reinterpret_cast<PyObject* const*>(k->dk_indices + (static_cast<size_t>(1) << k->dk_log2_index_bytes));
  return k->dk_kind == 0 ? probe_lacks<true>(k->dk_indices, width, size - 1, entries, name, hash)
                         : probe_lacks<false>(k->dk_indices, width, size - 1, entries, name, hash);
#endif
#else
  (void)dict, (void)name;
  return false;
#endif
}
}  // namespace detail

inline bool dict_lacks(PyObject* dict, PyObject* name) {
  return detail::dict_lacks_state() == 1 && detail::dict_lacks_read(dict, name);
}

// Ints given a new value in place (see ORVA_USE_LONG_LAYOUT).
class ReusedInt {
 public:
  // Gives `n` the value `v` in place when `n` is an exact int that only the caller holds (nobody else
  // can see the change), both values are of one digit and above the cached small ints; false, with
  // nothing changed, otherwise. Use with the GIL held.
  static bool assign(PyObject* n, long long v) {
#if ORVA_USE_LONG_LAYOUT
    if (!fastpaths_on() || v <= 256 || v >= (1LL << 30) || !PyLong_CheckExact(n) || Py_REFCNT(n) != 1) return false;
    if (!one_digit(n) || !layout_checked()) return false;
    set_digit(n, static_cast<uint32_t>(v));
    return true;
#else
    (void)n, (void)v;
    return false;
#endif
  }

 private:
#if ORVA_USE_LONG_LAYOUT
#if PY_VERSION_HEX >= 0x030C0000
  // Include/cpython/longintrepr.h of 3.12 - 3.13: a tag (digit count << 3 | sign), then the digits.
  struct Layout {
    PyObject_HEAD
    uintptr_t lv_tag;
    uint32_t digit[1];
  };
  static bool one_digit(PyObject* n) { return reinterpret_cast<Layout*>(n)->lv_tag == (1u << 3); }
#else
  // 3.10 - 3.11: the digit count (negative for a negative int) in ob_size, then the digits.
  struct Layout {
    PyObject_VAR_HEAD
    uint32_t digit[1];
  };
  static bool one_digit(PyObject* n) { return Py_SIZE(n) == 1; }
#endif
  static void set_digit(PyObject* n, uint32_t v) { reinterpret_cast<Layout*>(n)->digit[0] = v; }
  // Whether an int of our own, written this way, reads back as written (asked once).
  static bool layout_checked() {
    static signed char ok = -1;  // zero-initialised storage: no guard
    if (ok < 0) {
      PyObject* probe = PyLong_FromLongLong(1000003);
      bool good = probe && Py_REFCNT(probe) == 1 && one_digit(probe);
      if (good) {
        set_digit(probe, 1000033);
        good = PyLong_AsLongLong(probe) == 1000033;
      }
      if (!probe || PyErr_Occurred()) PyErr_Clear();
      Py_XDECREF(probe);
      ok = good ? 1 : 0;
    }
    return ok == 1;
  }
#endif
};

// ---- Watch events (type and dict watchers, 3.12+) ---------------------------------------------

// Every change this module's type and dict watchers were told of, counted together. Each
// TypeGuard's and PlainDictGuard's answer changes only with such an event (a watched class or dict
// changed or freed), so while the count keeps a value read when a set of guards all answered
// unchanged, each of them still would: a cache over many guards checks one number. Without
// watchers there is no count: ask the guards.
class WatchEvents {
 public:
  // The count now; `*known` false when there is none (the shortcut off, or no watchers).
  static uint64_t now(bool* known) {
#if ORVA_USE_TYPE_WATCHERS && ORVA_USE_DICT_WATCHERS
    *known = fastpaths_on();
    return g_count;
#else
    *known = false;
    return 0;
#endif
  }
#if ORVA_USE_TYPE_WATCHERS && ORVA_USE_DICT_WATCHERS
  static uint64_t g_count;  // fastpaths.cpp's watchers add to it
#endif
};

// Where a dict's key of a given text sat, for dicts keyed by codes that arrive as other str objects
// of the same text (the positions book keyed by a fill's code, asked with a tick's code): the entry
// family of EntryPlace, reading only. The key object found there is remembered by address and read
// only once the dict is seen to hold it at the place (so it is alive); it then answers for `key`
// when both are exact str of the same text. Plain: look the key up.
class TextKeyPlace {
 public:
  // dict[key] (borrowed; `dict` an exact dict, `key` an exact str), or NULL when missing, with an
  // error set only when the look-up failed. No Python code runs.
  [[gnu::always_inline]] PyObject* get(PyObject* dict, PyObject* key) {
#if ORVA_USE_ENTRY_READS
    if (key_) {
      PyObject* found = place_.find(dict, key_);
      if (found && (key_ == key || (PyUnicode_CheckExact(key_) && same_str_text(key_, key)))) return found;
    }
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (found) learn(dict, key, found);
    return found;
#else
    return PyDict_GetItemWithError(dict, key);
#endif
  }

 private:
#if ORVA_USE_ENTRY_READS
  // The dict's key object holding `found` (a scan: only when the place missed), its place learnt.
  [[gnu::noinline]] void learn(PyObject* dict, PyObject* key, PyObject* found) {
    key_ = nullptr;
    if (!fastpaths_on() || !PyUnicode_CheckExact(key)) return;
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(dict, &pos, &k, &v))
      if (v == found && PyUnicode_CheckExact(k) && same_str_text(k, key)) {
        if (place_.get(dict, k) == found) key_ = k;  // a str key: no code runs
        return;
      }
  }
  EntryPlace place_;
  PyObject* key_ = nullptr;  // compared, and read only while the dict holds it at the place
#endif
};

}  // namespace orva
