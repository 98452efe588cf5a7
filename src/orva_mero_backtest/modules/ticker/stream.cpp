#include "ticker.hpp"

namespace orva::ticker {

Ref send_ticks(const Args&) { raise(PyExc_NotImplementedError, "send_ticks"); }

Ref push_tick_to_queue(const Args&) { raise(PyExc_NotImplementedError, "push_tick_to_queue"); }

Ref pop_tick(const Args&) { raise(PyExc_NotImplementedError, "pop_tick"); }

Ref allow_next_tick(const Args&) { raise(PyExc_NotImplementedError, "allow_next_tick"); }

Ref stop_send_ticks(const Args&) { raise(PyExc_NotImplementedError, "stop_send_ticks"); }

}  // namespace orva::ticker
