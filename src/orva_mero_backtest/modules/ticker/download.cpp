#include "ticker.hpp"

namespace orva::ticker {

Ref make_contract_object(const Args&) { raise(PyExc_NotImplementedError, "make_contract_object"); }

Ref fetch_history_ticks(const Args&) { raise(PyExc_NotImplementedError, "fetch_history_ticks"); }

}  // namespace orva::ticker
