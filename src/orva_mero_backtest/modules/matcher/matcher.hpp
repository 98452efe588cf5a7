// Shared declarations of the simulated exchange: the module object, the method bodies and
// the small helpers the order entry, matching and report code have in common.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

#include "binder.hpp"
#include "pyref.hpp"

namespace orva::matcher {

// The module object: names bound at load (console, generate, Positions, ...) are read from it when used.
extern PyObject* g_module;

inline Ref global(PyObject* name) { return getattr(g_module, name); }

// Records the enumeration classes bound at load (enums.cpp).
void load_enums();

// module.<enum_name>.<member_name>, through the module's current binding of the enumeration.
Ref enum_member(PyObject* enum_name, PyObject* member_name);

// The member while the module binds the enumeration it had at load and the member exists;
// else empty (and nothing of a replaced enumeration is called).
Ref loaded_member(PyObject* enum_name, PyObject* member_name);

// module.<enum_name>.from_value(value)
Ref from_value(PyObject* enum_name, PyObject* value);

// obj.<name> for a property of an enumeration member (SuccessCode.code, Action.BUY.value, ...).
Ref member_attr(PyObject* obj, PyObject* name);

// self.<name>(*args), looked up on the instance like Python does.
Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});

// What a matching pass learnt about the record at one position of the book: its "code", valid
// while the same dict sits there unmodified (a dict's version tag changes with every change).
struct CodeSlot {
  PyObject* record = nullptr;  // compared only, never dereferenced through the slot
  uint64_t version = 0;
  PyObject* code = nullptr;  // exactly str, held by the record
  Py_hash_t hash = 0;
  // What a visit of the record read, held by the record too (valid when `fields` is set).
  bool fields = false;
  PyObject *action = nullptr, *price = nullptr, *order_type = nullptr, *price_type = nullptr, *quantity = nullptr;
};

// The slots of one Matcher, kept beside the instance with its book lock (state.cpp).
std::vector<CodeSlot>& code_cache(PyObject* self);

// Records the class's own methods, once it is built from `table` (enums.cpp).
void record_own_methods(PyObject* cls, const std::vector<Method>& table);

// Adds to the pending error's traceback the frame a method of this module adds when it fails
// (its binding does so): "<module>", `qualname`.
void add_method_frame(const char* qualname);

// Whether self.<name> is the class's own method as built at load: not replaced on the class,
// a subclass or the instance. `name` is interned.
bool own_method(PyObject* self, PyObject* name);

// The book lock of one Matcher: re-entrant, and a thread waiting for it lets the others run.
struct BookMutex {
  PyThread_type_lock lock;
  unsigned long owner;  // thread ident of the holder, while count > 0
  unsigned long count;
};

// Holds the book lock of one Matcher for a scope.
class BookLock {
 public:
  explicit BookLock(PyObject* self);
  ~BookLock();
  BookLock(const BookLock&) = delete;
  BookLock& operator=(const BookLock&) = delete;

 private:
  BookMutex* mutex_ = nullptr;
};

// Hint to the CPU: the records a scan of `book` at `i` reaches next. A scan is bound by
// memory latency, so the records (and their key tables) ahead are asked for early.
inline void prefetch_ahead(PyObject* book, Py_ssize_t i) {
#if defined(__GNUC__) || defined(__clang__)
  constexpr Py_ssize_t kFar = 16, kNear = 8;
  const Py_ssize_t n = PyList_GET_SIZE(book);
  if (i + kFar < n) __builtin_prefetch(PyList_GET_ITEM(book, i + kFar));
  if (i + kNear < n) {
    PyObject* near = PyList_GET_ITEM(book, i + kNear);
    if (PyDict_CheckExact(near)) __builtin_prefetch(reinterpret_cast<PyDictObject*>(near)->ma_keys);
  }
#else
  (void)book;
  (void)i;
#endif
}

// Index of the first record in `book` whose "trade_id" equals `trade_id`, or -1.
Py_ssize_t find_order(PyObject* book, PyObject* trade_id);

// Takes `record` out of `book`, trying `hint` first; by identity, never by value.
void remove_order(PyObject* book, PyObject* record, Py_ssize_t hint);

// A deep copy of an order record; a plain dict copy when that gives the same result.
Ref copy_record(PyObject* record);

// A new trade id: generate(size=16).
Ref new_trade_id();

// The str's hash, computed once and kept in the object by CPython.
inline Py_hash_t text_hash(PyObject* s) {
  Py_hash_t h = reinterpret_cast<PyASCIIObject*>(s)->hash;
  if (h == -1) {
    h = PyObject_Hash(s);
    if (h == -1) throw_error();
  }
  return h;
}

// Equality of two texts, with the usual Python fallback for anything that isn't exactly str.
inline bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (PyUnicode_CheckExact(a) && PyUnicode_CheckExact(b)) {
    // Different texts almost always differ in their cached hashes: no byte is compared.
    if (text_hash(a) != text_hash(b)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(a);
    if (n != PyUnicode_GET_LENGTH(b) || PyUnicode_KIND(a) != PyUnicode_KIND(b)) return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<size_t>(n) * PyUnicode_KIND(a)) == 0;
  }
  return equal(a, b);
}

// Method bodies; argument [0] is self, then the parameters in table order.
Ref init(const Args& a);                     // state.cpp
Ref init_current_tick_info(const Args& a);   // state.cpp
Ref get_random_uuid(const Args& a);          // state.cpp
Ref receive_pending_order(const Args& a);    // intake.cpp
Ref reset_tick_infos(const Args& a);         // matching.cpp
Ref set_current_tick(const Args& a);         // matching.cpp
Ref add_order(const Args& a);                // intake.cpp
Ref modify_order(const Args& a);             // intake.cpp
Ref cancel_order(const Args& a);             // intake.cpp
Ref match_deal(const Args& a);               // matching.cpp
Ref build_order_response(const Args& a);     // reports.cpp
Ref build_deal_response(const Args& a);      // reports.cpp
Ref stock_order_response(const Args& a);     // reports.cpp
Ref future_order_response(const Args& a);    // reports.cpp
Ref stock_deal_response(const Args& a);      // reports.cpp
Ref future_deal_response(const Args& a);     // reports.cpp
Ref pop_response(const Args& a);             // reports.cpp
Ref add_pending_order_queue(const Args& a);  // intake.cpp
Ref add_response_to_queue(const Args& a);    // reports.cpp

}  // namespace orva::matcher
