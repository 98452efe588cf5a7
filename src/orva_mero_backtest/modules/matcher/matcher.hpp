// Shared declarations of the simulated exchange: the module object, the method bodies and
// the small helpers the order entry, matching and report code have in common.
//
// The reference rule here: nothing borrowed is used after a call that can run Python code
// (a comparison, a look-up in a dict subclass, a callback), and a record found in the book is
// looked up again by identity after such a call before the book or the record is changed.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "binder.hpp"
#include "fastpaths.hpp"
#include "pyref.hpp"

namespace orva::matcher {

// console.print of `fmt` with each "{}" replaced by the next value's text.
void print_line(const char* fmt, std::initializer_list<PyObject*> values);

// Runs `fn`; an exception of the Exception family is handed to `on_error` instead of passing on.
template <class Fn, class OnError>
void absorbing(Fn&& fn, OnError&& on_error) {
  try {
    fn();
  } catch (PyError&) {
    Caught caught = Caught::fetch();
    if (!caught.is_exception()) {
      caught.restore();
      throw;
    }
    on_error(caught);
  }
}

// The module object: names bound at load (console, generate, Positions, ...) are read from it when used.
extern PyObject* g_module;

inline Ref global(PyObject* name) { return getattr(g_module, name); }

// Keyword-name tuples for calls made from here, built at load (never released).
struct CallNames {
  PyObject* size = nullptr;            // ("size",)
  PyObject* thread = nullptr;          // ("target", "daemon")
  PyObject* trade_record = nullptr;    // ("trade_id", ..., "trade_status")
};
extern CallNames g_call_names;

// ---- enum_lookup.cpp: the enumerations bound at load -------------------------------------

void load_enums();

// module.<enum_name>.<member_name>, through the module's current binding of the enumeration.
Ref enum_member(PyObject* enum_name, PyObject* member_name);

// module.<enum_name>.from_value(value)
Ref from_value(PyObject* enum_name, PyObject* value);

// obj.<name> for a property of an enumeration member (SuccessCode.code, Action.BUY.value, ...).
Ref member_attr(PyObject* obj, PyObject* name);

#if ORVA_FASTPATHS
// In the order the module binds them at load.
enum EnumId { kAction, kOperationType, kOrderType, kOrderCond, kOrderLot, kPriceType, kOCType, kSuccessCode, kEnumCount };

// The members the hot paths use, as the module's bindings give them, while the module's dict and
// every enumeration class are unchanged since it was read (shortcut). Its
// pointers stay valid for the life of the process.
struct EnumSnapshot {
  PyObject* cls[kEnumCount] = {};
  PyObject* map[kEnumCount] = {};  // cls._value2member_map_, or null
  PyObject *buy = nullptr, *sell = nullptr, *buy_value = nullptr, *lmt = nullptr;
  PyObject *rod = nullptr, *ioc = nullptr, *fok = nullptr, *op_new = nullptr;
  PyObject *create = nullptr, *create_code = nullptr, *create_message = nullptr;  // SuccessCode.CreateOrder
};

// The snapshot, or null when the shortcut is off or a binding is not what it was at load.
const EnumSnapshot* enum_snapshot();

// What <Enum>.from_value(value) gives, from the snapshot: a member of the class as it is, the member
// of an exact str value; null (no error set) when only the call can tell. Borrowed.
PyObject* snapshot_member(const EnumSnapshot& s, EnumId id, PyObject* value);
#endif

// ---- method_dispatch.cpp: calls of the instance's own methods ----------------------------

// Records the class's own methods, once it is built from `table`.
void record_own_methods(PyObject* cls, const std::vector<Method>& table);

// self.<name>(*args), looked up on the instance like Python does, so that a method replaced on
// the class, a subclass or the instance is the one called.
Ref call_self(PyObject* self, PyObject* name, std::initializer_list<PyObject*> args = {});

#if ORVA_FASTPATHS
// Whether self.<name> is the class's own method as built at load: not replaced on the class,
// a subclass or the instance. `name` is interned.
bool own_method(PyObject* self, PyObject* name);
#endif

#if ORVA_FASTPATHS
// Whether every method of the class is, on `type`, the one the class was built with (none
// replaced on it or on a base). Type look-ups only: no Python code runs.
bool own_methods_on(PyTypeObject* type);
#endif

// Adds to the pending error's traceback the frame the binding adds for Matcher.<name>.
void add_method_frame(const std::string& qualname);

// Runs `body` as the binding runs the method `qualname`, for a body another module calls directly:
// true, or false with the error set and the binding's traceback frame added.
template <class Body>
bool as_binding(const std::string& qualname, Body&& body) {
  return run_caught(body, [&] { add_method_frame(qualname); });
}

// The function the class's own method `name` wraps, kept for the life of the process: what a
// capsule's user compares a bound method's function with (matching.cpp).
PyObject* own_method_function(PyObject* cls, const char* name);
// Adds `entry` to the module as the capsule `attribute` of type `capsule_name` (matching.cpp).
void add_entry_capsule(PyObject* module, const char* attribute, void* entry, const char* capsule_name);

// ---- instance_table.cpp: what the exchange keeps beside each instance --------------------

// What a matching pass learnt about the record at one position of the book: its "code", valid
// while the same dict sits there unmodified (a dict's version tag changes with every change).
struct CodeSlot {
  PyObject* record = nullptr;  // compared only, never dereferenced through the slot
  uint64_t version = 0;
  PyObject* code = nullptr;  // exactly str, held by the record while the version holds
  Py_hash_t hash = 0;
  // What a visit of the record read, held by the record too (valid when `fields` is set).
  bool fields = false;
  PyObject *action = nullptr, *price = nullptr, *order_type = nullptr, *price_type = nullptr, *quantity = nullptr;
};

// The book lock of one Matcher: re-entrant, and a thread waiting for it lets the others run.
// Owner and count are read and written with the GIL held, so a free lock is taken without an OS
// call; `wake` (held while nobody is being woken) only puts waiters to sleep and wakes them.
struct BookMutex {
  PyThread_type_lock wake;
  unsigned long owner;  // thread ident of the holder, while count > 0
  unsigned long count;
  unsigned long waiters;  // threads between asking for the lock and taking it
  bool woken;             // wake was released for a waiter that has not yet run
};

// Kept beside each instance (vars(m) shows only its documented attributes) and dropped by a
// weakref callback when the instance goes.
struct Instance {
  BookMutex* mutex = nullptr;
  std::vector<CodeSlot>* codes = nullptr;
  PyObject* receiver = nullptr;  // its receiver Thread (owned), or null
  bool closed = false;
};

// The entry of `self`, made on first use (TypeError for an object without weak references).
Instance& instance(PyObject* self);

// ---- book_lock.cpp -----------------------------------------------------------------------

// Holds the book lock of one Matcher for a scope. Waiting for it can be ended by Ctrl-C.
class BookLock {
 public:
  explicit BookLock(PyObject* self);
  ~BookLock();
  BookLock(const BookLock&) = delete;
  BookLock& operator=(const BookLock&) = delete;

 private:
  BookMutex* mutex_ = nullptr;
};

BookMutex* new_book_mutex();
void free_book_mutex(BookMutex* m);

// ---- book.cpp: records and the book -------------------------------------------------------

// mapping[key] (KeyError when missing); straight from the table for an exact dict.
Ref item(PyObject* mapping, PyObject* key);
// The same for a key that sits at one place in the records a call site reads (made alike): read
// there while it holds the key (fastpaths.hpp's EntryPlace), else looked up.
Ref item(EntryPlace& at, PyObject* mapping, PyObject* key);

// self.pending_orders, which must be a list.
Ref book_of(PyObject* self);

// The first record in the book whose "trade_id" equals `trade_id`, or empty. Comparing ids may
// run Python code, so the record is returned (held), never its position.
Ref find_order(PyObject* self, PyObject* trade_id);

// The position of `record` (by identity) in `book`, trying `hint` first; -1 when it is not there.
Py_ssize_t position_of(PyObject* book, PyObject* record, Py_ssize_t hint = -1);

// Takes `record` out of `book` (by identity, trying `hint` first); whether it was there.
bool remove_order(PyObject* book, PyObject* record, Py_ssize_t hint = -1);

// A deep copy of an order record; a plain dict copy when that gives the same result (then
// `*fresh` is set: the copy is new and no Python code has seen it).
Ref copy_record(PyObject* record, bool* fresh = nullptr);
void load_copy_source();

// "Stock", "Future" or anything else, compared by equality.
enum class Product { Stock, Future, Other };
Product product_kind(PyObject* product_type);

// ---- trade_ids.cpp -----------------------------------------------------------------------

void load_id_source();
Ref new_trade_id();  // generate(size=16)
#if ORVA_FASTPATHS
// Whether new_trade_id() would draw the id here (the module's generate is nanoid's own): then
// drawn_trade_id() gives it, running no Python code (it may let other threads run).
bool native_trade_ids();
Ref drawn_trade_id();
#endif

// ---- receiver.cpp ------------------------------------------------------------------------

// Starts the receiver thread of `self` (holding only a weak reference to it).
void start_receiver(PyObject* self);

// The str's hash, computed once and kept in the object by CPython.
inline Py_hash_t text_hash(PyObject* s) {
  Py_hash_t h = PyObject_Hash(s);
  if (h == -1) throw_error();
  return h;
}

// a == b for texts: two str objects whose classes keep str's own comparison (exact str, str-valued
// enumeration members) compare by their text, as == would, without its dispatch; anything else as
// == does.
inline bool same_text(PyObject* a, PyObject* b) {
  if (a == b) return true;
  const auto text_compared = [](PyObject* o) {
    return PyUnicode_Check(o) && Py_TYPE(o)->tp_richcompare == PyUnicode_Type.tp_richcompare;
  };
  if (text_compared(a) && text_compared(b)) return same_str_text(a, b);
  return equal(a, b);
}

// Method bodies; argument [0] is self, then the parameters in table order.
Ref init(const Args& a);                     // construction.cpp
Ref init_current_tick_info(const Args& a);   // construction.cpp
Ref get_random_uuid(const Args& a);          // construction.cpp
Ref receive_pending_order(const Args& a);    // receiver.cpp
Ref close(const Args& a);                    // receiver.cpp
Ref enter(const Args& a);                    // receiver.cpp
Ref exit(const Args& a);                     // receiver.cpp
Ref reset_tick_infos(const Args& a);         // matching.cpp
Ref set_current_tick(const Args& a);         // matching.cpp
// Adds the capsule _tick_entry (tick_entry.hpp) for the class `cls` to the module (matching.cpp).
void add_tick_entry(PyObject* module, PyObject* cls);
// Adds the capsule _report_entry (fill_entry.hpp) for the class `cls` to the module (reports.cpp).
void add_report_entry(PyObject* module, PyObject* cls);
// The capsule `_order_entry` (order_entry.hpp): add_order for the engine's order tracker.
void add_order_entry(PyObject* module, PyObject* cls);
Ref add_order(const Args& a);                // orders.cpp
Ref modify_order(const Args& a);             // orders.cpp
Ref cancel_order(const Args& a);             // orders.cpp
Ref match_deal(const Args& a);               // matching.cpp
// Module function match_order(matcher, record, price, qty, ts): the book's order `record` (by
// identity) met as match_deal meets an order, at `price` with `qty` of volume; qty 0 fills nothing
// (an IOC or FOK is then cancelled, a ROD waits). The quantity filled (0 when not in the book).
PyObject* match_order(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
Ref build_order_response(const Args& a);     // reports.cpp
Ref build_deal_response(const Args& a);      // reports.cpp
Ref stock_order_response(const Args& a);     // reports.cpp
Ref future_order_response(const Args& a);    // reports.cpp
Ref stock_deal_response(const Args& a);      // reports.cpp
Ref future_deal_response(const Args& a);     // reports.cpp
Ref pop_response(const Args& a);             // reports.cpp
Ref add_pending_order_queue(const Args& a);  // orders.cpp
Ref add_response_to_queue(const Args& a);    // reports.cpp

}  // namespace orva::matcher
