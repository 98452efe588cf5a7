// The Ticker attributes read for every tick (its queues, its flags, code_market_map).
//
// Each read is getattr(self, name). With the fast paths on (CPython < 3.12), a value found in the
// instance dict is kept as a borrowed pointer together with the dict's and the class's version
// tags: while both are unchanged the dict still holds that value and getattr would give it again,
// so later reads skip the look-up. Any change to the instance's attributes or to its class (a
// property, __getattribute__) changes a tag and the next read looks up again.
#pragma once

#include <cstdint>

#include "fastpaths.hpp"
#include "pyref.hpp"

namespace orva::ticker {

class InstanceAttrs {
 public:
  enum Slot { TickQueue, PermitQueue, FinishQueue, CodeMarketMap, ExitFlag, BackfillFlag, kSlots };

  // getattr(self, name); `slot` names which of the attributes above it is.
  Ref get(PyObject* self, Slot slot, PyObject* name);
  // bool(getattr(self, name))
  bool truthy(PyObject* self, Slot slot, PyObject* name);

 private:
#if ORVA_DICT_VERSIONS
  bool snapshot_matches(PyObject* self, PyObject*& dict) const;
  void take_snapshot(PyObject* self, PyObject* dict);
  PyTypeObject* type_ = nullptr;
  unsigned type_version_ = 0;
  PyObject* dict_ = nullptr;  // compared only
  uint64_t dict_version_ = 0;
  PyObject* values_[kSlots] = {};  // borrowed from the dict while its version is dict_version_
#endif
};

}  // namespace orva::ticker
