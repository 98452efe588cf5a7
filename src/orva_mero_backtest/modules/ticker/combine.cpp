#include "ticker.hpp"

namespace orva::ticker {

Ref process_and_combine_ticks(const Args&) { raise(PyExc_NotImplementedError, "process_and_combine_ticks"); }

Ref get_ticks_df(const Args&) { raise(PyExc_NotImplementedError, "get_ticks_df"); }

}  // namespace orva::ticker
