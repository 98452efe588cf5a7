// The side table of each Matcher: its book lock, the slots its matching passes remember and its
// receiver thread, kept beside the instance and dropped when it goes.
#include "matcher.hpp"
#include "side_table.hpp"

namespace orva::matcher {

namespace {

struct Owned {
  Instance instance;
  Owned() {
    instance.mutex = new_book_mutex();
    instance.codes = new std::vector<CodeSlot>();
  }
  ~Owned() {
    delete instance.codes;
    free_book_mutex(instance.mutex);
    // Last: a Thread's release can run Python code (the table has already let go of the entry).
    Py_XDECREF(instance.receiver);
  }
};

// Never destroyed: touched only with the GIL held, and must outlive every thread.
auto* g_instances = new WeakSideTable<Owned>();

}  // namespace

Instance& instance(PyObject* self) {
  return g_instances->get(self, [] { return new Owned(); }).instance;
}

}  // namespace orva::matcher
