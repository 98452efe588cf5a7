#include "ticker.hpp"

namespace orva::ticker {

Ref notify_backfilling_finish(const Args&) { raise(PyExc_NotImplementedError, "notify_backfilling_finish"); }

Ref backfilling(const Args&) { raise(PyExc_NotImplementedError, "backfilling"); }

}  // namespace orva::ticker
