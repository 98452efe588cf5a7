// Shared declarations of the tick feed: the module object and the method bodies.
#pragma once

#include "binder.hpp"
#include "pyref.hpp"

namespace orva::ticker {

// The module object: names bound at load (console, pl, format_to_dt, ...) are read from it when used.
// Set only once the module is fully made (NULL before, and after a failed import).
extern PyObject* g_module;

inline Ref global(PyObject* name) {
  if (!g_module) raise(PyExc_ImportError, "the ticker module is not initialised");
  return getattr(g_module, name);
}

// Method bodies; argument [0] is self, then the parameters in table order.
Ref init(const Args& a);                       // state.cpp
Ref generate_save_path(const Args& a);         // cache.cpp
Ref make_contract_object(const Args& a);       // download.cpp
Ref tick_filename_formatter(const Args& a);    // cache.cpp
Ref auto_fetch_ticks(const Args& a);           // cache.cpp
Ref fetch_history_ticks(const Args& a);        // download.cpp
Ref process_and_combine_ticks(const Args& a);  // combine.cpp
Ref notify_backfilling_finish(const Args& a);  // backfill.cpp
Ref get_ticks_df(const Args& a);               // combine.cpp
Ref send_ticks(const Args& a);                 // stream.cpp
Ref backfilling(const Args& a);                // backfill.cpp
Ref push_tick_to_queue(const Args& a);         // stream.cpp
Ref pop_tick(const Args& a);                   // stream.cpp
Ref allow_next_tick(const Args& a);            // stream.cpp
Ref stop_send_ticks(const Args& a);            // stream.cpp

// Module function feed_threads(ticker) (stream.cpp).
PyObject* feed_threads(PyObject* module, PyObject* ticker);
// Module function stream_error(ticker) (stream.cpp).
PyObject* stream_error(PyObject* module, PyObject* ticker);
// Module functions backfill_error(ticker) and end_feed(ticker) (stream.cpp).
PyObject* backfill_error(PyObject* module, PyObject* ticker);
PyObject* end_feed(PyObject* module, PyObject* ticker);
// Module function quote_ticks(ticker, on) (stream.cpp).
PyObject* quote_ticks(PyObject* module, PyObject* const* args, Py_ssize_t nargs);
// Module function take_next_tick(ticker) (stream.cpp).
PyObject* take_next_tick(PyObject* module, PyObject* ticker);

}  // namespace orva::ticker
