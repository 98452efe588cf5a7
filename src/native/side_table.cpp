#include "side_table.hpp"

namespace orva {

namespace {

// What a weak reference's callback needs to find its entry.
struct Key {
  WeakSideTableBase* table;
  PyObject* obj;  // an address only, never dereferenced
};

void free_key(PyObject* capsule) { delete static_cast<Key*>(PyCapsule_GetPointer(capsule, "orva.side_table")); }

PyObject* collected(PyObject* capsule, PyObject* weakref);
PyMethodDef g_collected_def = {"_orva_drop_native_state", collected, METH_O, nullptr};

}  // namespace

void* WeakSideTableBase::find_raw(PyObject* obj) const {
  if (obj == last_obj_) return last_value_;
  auto it = map_.find(obj);
  if (it == map_.end()) return nullptr;
  last_obj_ = obj;
  last_value_ = it->second.value;
  return last_value_;
}

namespace {

PyObject* collected(PyObject* capsule, PyObject* /*weakref*/) {
  auto* key = static_cast<Key*>(PyCapsule_GetPointer(capsule, "orva.side_table"));
  if (!key) return nullptr;
  key->table->erase(key->obj);
  Py_RETURN_NONE;
}

}  // namespace

void WeakSideTableBase::erase(PyObject* obj) {
  auto it = map_.find(obj);
  if (it == map_.end()) return;
  if (obj == last_obj_) {
    last_obj_ = nullptr;
    last_value_ = nullptr;
  }
  Slot slot = std::move(it->second);
  // Out of the table before the value goes: its destructor may run Python code that looks here.
  map_.erase(it);
  slot.destroy(slot.value);
}

void WeakSideTableBase::insert_raw(PyObject* obj, void* value, Destroy destroy) {
  // The value is destroyed here if it cannot be entered (no weak references, no memory).
  struct Pending {
    void* value;
    Destroy destroy;
    ~Pending() {
      if (value) destroy(value);
    }
  } pending{value, destroy};
  {
    auto* key = new Key{this, obj};
    PyObject* raw_capsule = PyCapsule_New(key, "orva.side_table", free_key);
    if (!raw_capsule) {
      delete key;
      throw_error();
    }
    Ref capsule = Ref::steal(raw_capsule);
    Ref callback = Ref::steal(PyCFunction_New(&g_collected_def, capsule.get()));
    Ref weak = Ref::steal(PyWeakref_NewRef(obj, callback.get()));
    map_.emplace(obj, Slot{value, destroy, std::move(weak)});
    pending.value = nullptr;
  }
}

}  // namespace orva
