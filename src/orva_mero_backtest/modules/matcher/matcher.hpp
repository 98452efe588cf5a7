// Shared declarations of the simulated exchange: the module object, the method bodies and
// the small helpers the order entry, matching and report code have in common.
#pragma once

#include "binder.hpp"
#include "pyref.hpp"

namespace orva::matcher {

// The module object: names bound at load (console, generate, Positions, ...) are read from it when used.
extern PyObject* g_module;

inline Ref global(PyObject* name) { return getattr(g_module, name); }

// member = getattr(module.<enum_name>, member_name), looked up now.
Ref enum_member(PyObject* enum_name, PyObject* member_name);

// <Enum>.from_value(value) through the module's current binding of the enumeration.
Ref from_value(PyObject* enum_name, PyObject* value);

// Holds the book lock of one Matcher for a scope. The lock is re-entrant and is created
// through Python, so a thread waiting for it lets the others run.
class BookLock {
 public:
  explicit BookLock(PyObject* self);
  ~BookLock();
  BookLock(const BookLock&) = delete;
  BookLock& operator=(const BookLock&) = delete;

 private:
  Ref release_;
};

// Index of the first record in `book` whose "trade_id" equals `trade_id`, or -1.
Py_ssize_t find_order(PyObject* book, PyObject* trade_id);

// Takes `record` out of `book`, trying `hint` first; by identity, never by value.
void remove_order(PyObject* book, PyObject* record, Py_ssize_t hint);

// A deep copy of an order record; a plain dict copy when that gives the same result.
Ref copy_record(PyObject* record);

// A new trade id: generate(size=16).
Ref new_trade_id();

// Equality of two texts, with the usual Python fallback for anything that isn't exactly str.
bool same_text(PyObject* a, PyObject* b);

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
