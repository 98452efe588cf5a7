// The side table of each Matcher: its book lock, the slots its matching passes remember and its
// receiver thread, kept beside the instance and dropped by a weakref callback when it goes.
#include <unordered_map>

#include "matcher.hpp"

namespace orva::matcher {

namespace {

struct Entry {
  Instance instance;
  PyObject* weakref;  // owned; its callback drops the entry
};

// Never destroyed: touched only with the GIL held, and must outlive every thread.
auto* g_instances = new std::unordered_map<PyObject*, Entry>();

PyObject* forget(PyObject* key, PyObject* /*weakref*/) {
  void* ptr = PyLong_AsVoidPtr(key);
  if (!ptr && PyErr_Occurred()) PyErr_Clear();
  auto it = g_instances->find(static_cast<PyObject*>(ptr));
  if (it != g_instances->end()) {
    Entry e = it->second;
    g_instances->erase(it);
    delete e.instance.codes;
    free_book_mutex(e.instance.mutex);
    // Released after the entry is gone: a Thread's release can run Python code.
    Py_XDECREF(e.instance.receiver);
    Py_DECREF(e.weakref);
  }
  Py_RETURN_NONE;
}

PyMethodDef forget_def = {"_forget_matcher", forget, METH_O, nullptr};

}  // namespace

Instance& instance(PyObject* self) {
  auto it = g_instances->find(self);
  if (it != g_instances->end()) return it->second.instance;
  Ref key = Ref::steal(PyLong_FromVoidPtr(self));
  Ref callback = Ref::steal(PyCFunction_New(&forget_def, key.get()));
  Ref weakref = Ref::steal(PyWeakref_NewRef(self, callback.get()));
  // Nothing above runs Python code, but look again rather than trust that.
  it = g_instances->find(self);
  if (it != g_instances->end()) return it->second.instance;
  Entry e;
  e.instance.mutex = new_book_mutex();
  e.instance.codes = new std::vector<CodeSlot>();
  e.weakref = weakref.release();
  Entry& slot = (*g_instances)[self];
  slot = e;
  return slot.instance;
}

}  // namespace orva::matcher
