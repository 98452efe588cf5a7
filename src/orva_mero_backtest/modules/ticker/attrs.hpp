// The Ticker attributes read for every tick (its queues, its flags, code_market_map).
//
// Each read is getattr(self, name). With the fast paths on (CPython < 3.12), a value found in the
// instance dict is kept as a borrowed pointer together with the dict's and the class's version
// tags: while both are unchanged the dict still holds that value and getattr would give it again,
// so later reads skip the look-up. Any change to the instance's attributes or to its class (a
// property, __getattribute__) changes a tag and the next read looks up again. With type watchers
// (3.12+) the value is read from the instance dict while the class, watched, is unchanged and has
// the generic look-up and no data descriptor of that name: what getattr would find first; the
// dict's entry is then read where it was found last (EntryHint) when it still holds that name.
#pragma once

#include <cstdint>

#include "fastpaths.hpp"
#include "pyref.hpp"

namespace orva::ticker {

class InstanceAttrs {
 public:
  enum Slot { TickQueue, PermitQueue, FinishQueue, CodeMarketMap, ExitFlag, BackfillFlag, kSlots };

  // getattr(self, name); `slot` names which of the attributes above it is.
  Ref get(PyObject* self, Slot slot, PyObject* name) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    if (PyObject* v = kept(self, slot)) return Ref::borrow(v);
#elif ORVA_USE_TYPE_WATCHERS
    if (PyObject* v = from_dict(self, slot, name)) return Ref::borrow(v);
#endif
    return look_up(self, slot, name);
  }
  // getattr(self, name) borrowed (from self's dict) when the shortcuts answer it; else NULL (ask get()).
  // Valid until code runs.
  PyObject* peek(PyObject* self, Slot slot, PyObject* name) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    (void)name;
    return kept(self, slot);
#elif ORVA_USE_TYPE_WATCHERS
    return from_dict(self, slot, name);
#else
    (void)self, (void)slot, (void)name;
    return nullptr;
#endif
  }
  // bool(getattr(self, name))
  bool truthy(PyObject* self, Slot slot, PyObject* name) {
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    PyObject* v = kept(self, slot);
    if (v == Py_True) return true;
    if (v == Py_False) return false;
#elif ORVA_USE_TYPE_WATCHERS
    PyObject* v = from_dict(self, slot, name);
    if (v == Py_True) return true;
    if (v == Py_False) return false;
#endif
    Ref value = get(self, slot, name);
    return orva::truthy(value.get());
  }
  // The sender's pass reads exit_send_thread_flag, backfilling_finish_flag and then the permit queue,
  // with nothing run in between: the class and the instance dict are then looked at once for the three
  // (their version tags, or with type watchers on 3.12+ the watched class and the dict's entries). False when this does not answer (a flag not a bool, an attribute
  // not known to live in the dict): read them one by one.
  bool pass_reads(PyObject* self, bool& exit, bool& backfill_done, Ref& permits) {
#if ORVA_USE_TYPE_WATCHERS
    if (!fastpaths_on() || !clear_[ExitFlag] || !clear_[BackfillFlag] || !clear_[PermitQueue]) return false;
    if (!guard_.unchanged(Py_TYPE(self))) return false;
    PyObject* dict = instance_dict(self);
    if (!dict || !PyDict_CheckExact(dict)) return false;
    PyObject *x, *b, *p;
    if (PyObject* const* values = table_values(dict)) {
      x = at(values, ExitFlag);
      b = at(values, BackfillFlag);
      p = at(values, PermitQueue);
    } else {
      const EntryHint::Entries entries(dict);
      x = entries.find(hints_[ExitFlag], ORVA_NAME("exit_send_thread_flag"));
      b = entries.find(hints_[BackfillFlag], ORVA_NAME("backfilling_finish_flag"));
      p = entries.find(hints_[PermitQueue], ORVA_NAME("allow_next_tick_flag_queue"));
    }
    if (!p || (x != Py_True && x != Py_False) || (b != Py_True && b != Py_False)) return false;
    exit = x == Py_True;
    backfill_done = b == Py_True;
    permits = Ref::borrow(p);
    return true;
#elif ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
    // One snapshot holds the three: while it matches, each kept value is what getattr gives.
    PyObject* x = values_[ExitFlag];
    PyObject* b = values_[BackfillFlag];
    if (!values_[PermitQueue] || (x != Py_True && x != Py_False) || (b != Py_True && b != Py_False)) return false;
    PyObject* p = kept(self, PermitQueue);
    if (!p) return false;
    exit = x == Py_True;
    backfill_done = b == Py_True;
    permits = Ref::borrow(p);
    return true;
#else
    (void)self, (void)exit, (void)backfill_done, (void)permits;
    return false;
#endif
  }

 private:
#if ORVA_USE_TYPE_WATCHERS
  // self.<name> from the instance dict (borrowed) when the class leaves it to the dict; else NULL.
  PyObject* from_dict(PyObject* self, Slot slot, PyObject* name) {
    if (!fastpaths_on()) return nullptr;
    PyTypeObject* type = Py_TYPE(self);
    if (!guard_.unchanged(type)) {
      for (bool& c : clear_) c = false;
      if (type->tp_getattro != PyObject_GenericGetAttr) return nullptr;
      guard_.mark(type);
      if (!guard_.unchanged(type)) return nullptr;  // not watched: nothing would tell of a change
    }
    if (!clear_[slot]) {
      PyObject* in_class = type_lookup(type, name);
      if (in_class && Py_TYPE(in_class)->tp_descr_set) return nullptr;
      clear_[slot] = true;
    }
    PyObject* dict = instance_dict(self);
    if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    PyObject* const* values = table_values(dict);
    if (values && table_ix_[slot] >= 0) {
      if (PyObject* v = values[table_ix_[slot]]) return v;
    }
    if (!values && SplitTable::of(dict) && SplitTable::of(dict) != tried_) {
      hold_table(dict);  // may run code: the dict is read again after
      dict = instance_dict(self);
      if (!dict || !PyDict_CheckExact(dict)) return nullptr;
    }
    if (PyObject* v = hints_[slot].find(dict, name)) return v;
    PyObject* v = PyDict_GetItemWithError(dict, name);
    if (!v && PyErr_Occurred()) throw_error();
    if (v) {
      hints_[slot].learn(dict, name);
      if (table_ && SplitTable::of(dict) == table_) table_ix_[slot] = SplitTable::index(dict, name);
    }
    return v;
  }
  // The values of self's dict by index while it is split over the table held (see SplitTable), else NULL.
  PyObject* const* table_values(PyObject* dict) const {
    return table_ && SplitTable::of(dict) == table_ ? SplitTable::values(dict) : nullptr;
  }
  // The value of `slot` among `values` (table_values), or NULL when its index is not known.
  PyObject* at(PyObject* const* values, Slot slot) const {
    return table_ix_[slot] >= 0 ? values[table_ix_[slot]] : nullptr;
  }
  // Holds the split key table of `dict` (a copy of the dict shares it), forgetting the indexes learned
  // in another; making the copy may run code (a collection).
  void hold_table(PyObject* dict) {
    table_ = nullptr;
    tried_ = SplitTable::of(dict);
    for (Py_ssize_t& ix : table_ix_) ix = -1;
    Ref copy = Ref::steal(PyDict_Copy(dict));
    const void* table = SplitTable::of(copy.get());
    if (!table) return;
    Ref old = std::move(table_holder_);
    table_holder_ = std::move(copy);
    table_ = table;
  }
  const void* table_ = nullptr;  // compared only
  const void* tried_ = nullptr;  // the table hold_table() last tried to hold (not tried again at once)
  Ref table_holder_;             // a split dict over table_, which keeps it alive
  Py_ssize_t table_ix_[kSlots] = {-1, -1, -1, -1, -1, -1};
  TypeGuard guard_;
  EntryHint hints_[kSlots];  // where each attribute sits in self's dict (fast paths)
  bool clear_[kSlots] = {};  // no data descriptor of that name, while guard_ holds
#endif
  Ref look_up(PyObject* self, Slot slot, PyObject* name);
#if ORVA_USE_DICT_VERSIONS && ORVA_USE_TYPE_VERSIONS
  // The kept value of `slot` while the snapshot holds (values are kept only with the fast paths on).
  PyObject* kept(PyObject* self, Slot slot) const {
    PyObject* v = values_[slot];
    if (!v || Py_TYPE(self) != type_ || !type_version(type_) || type_version(type_) != type_version_) return nullptr;
    PyObject* dict = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + dict_offset_);
    if (dict != dict_ || dict_version(dict) != dict_version_) return nullptr;
    return v;
  }
  bool snapshot_matches(PyObject* self, PyObject*& dict) const;
  void take_snapshot(PyObject* self, PyObject* dict);
  PyTypeObject* type_ = nullptr;
  unsigned type_version_ = 0;
  Py_ssize_t dict_offset_ = 0;  // the type's tp_dictoffset (> 0) when type_ is set
  PyObject* dict_ = nullptr;    // compared only
  uint64_t dict_version_ = 0;
  PyObject* values_[kSlots] = {};  // borrowed from the dict while its version is dict_version_
#endif
};

}  // namespace orva::ticker
