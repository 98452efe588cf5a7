// Native state kept beside Python objects: one entry per live instance, outside its __dict__
// (so callers cannot replace or see it), dropped when the instance is collected.
//
// Each entry holds a weak reference to its instance whose callback erases and destroys the
// entry. The callback runs while the instance is being deallocated, before its memory can be
// reused, so an address never names two instances. Use with the GIL held.
#pragma once

#include <unordered_map>

#include "pyref.hpp"

namespace orva {

class WeakSideTableBase {
 public:
  WeakSideTableBase() = default;
  WeakSideTableBase(const WeakSideTableBase&) = delete;
  WeakSideTableBase& operator=(const WeakSideTableBase&) = delete;

  // Erases and destroys the entry of `obj`, if any (the weak references' callback does this).
  void erase(PyObject* obj);

 protected:
  using Destroy = void (*)(void*);
  void* find_raw(PyObject* obj) const;
  // Adds `value` for `obj`; on failure (obj takes no weak references, no memory) destroys it and throws.
  void insert_raw(PyObject* obj, void* value, Destroy destroy);

 private:
  struct Slot {
    void* value;
    Destroy destroy;
    Ref weak;
  };
  std::unordered_map<PyObject*, Slot> map_;
  // The entry found last (the same object is asked for again and again); cleared by erase.
  mutable PyObject* last_obj_ = nullptr;
  mutable void* last_value_ = nullptr;
};

// Tables are meant to live for the whole process (allocate them with `new` and never free
// them): entries own Python references, which must not be released after interpreter exit.
template <class T>
class WeakSideTable : public WeakSideTableBase {
 public:
  T* find(PyObject* obj) const { return static_cast<T*>(find_raw(obj)); }

  // The entry of `obj`, made with `make()` (returning a new T*) when it has none.
  template <class Make>
  T& get(PyObject* obj, Make&& make) {
    if (T* found = find(obj)) return *found;
    T* made = make();
    insert_raw(obj, made, [](void* p) { delete static_cast<T*>(p); });
    return *made;
  }
};

}  // namespace orva
