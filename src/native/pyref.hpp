// References, calls and errors over the CPython API, shared by both extension modules.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <initializer_list>
#include <string>
#include <utility>

#include "fastpaths.hpp"

namespace orva {

// Thrown when a Python exception is already set; the binding turns it into a NULL return.
struct PyError {};

[[noreturn]] inline void throw_error() { throw PyError{}; }

// The ident of the thread that finalizes the interpreter (the main thread), recorded when a class is
// made (module load); 0 until then.
extern unsigned long g_main_thread_ident;

// Whether the interpreter is being finalized; reads no thread state, so any thread may ask.
inline bool interpreter_finalizing() noexcept { return is_finalizing(); }

// Whether the interpreter's exit has not begun yet, as far as this module can tell: true from
// watch_exit() until the atexit callbacks run, which is before finalization is flagged. A plain
// load, where asking the interpreter is a call into it.
extern std::atomic<bool> g_before_exit;

// Arms g_before_exit: an atexit callback clears it. Called once per module, while it is made.
void watch_exit();

// Whether this thread holds the GIL, for destructors. Our code never drops a reference while it has
// released the GIL; a destructor runs without it only when CPython ends a daemon thread during
// finalization (pthread_exit unwinds its C++ frames), and that happens only once finalization has
// begun. So until then the answer is yes without asking for the thread state. After it, late in
// finalization PyGILState_Check answers yes on every thread (its thread-state key is deleted), so
// only the finalizing thread counts: no other can take the GIL then.
inline bool holds_gil() noexcept {
  if (g_before_exit.load(std::memory_order_acquire)) return true;
  if (!interpreter_finalizing()) return true;
  if (!PyGILState_Check()) return false;
  return g_main_thread_ident == 0 || PyThread_get_thread_ident() == g_main_thread_ident;
}

// Py_DECREF(p) when holds_gil(), else nothing (leaked at exit): Ref's release once the exit may
// have begun, out of line.
[[gnu::noinline, gnu::cold]] void release_late(PyObject* p) noexcept;

// Sets `type` with `message` (UTF-8) and throws.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Owning reference. Daemon threads are unwound without the GIL at interpreter exit,
// so the release happens only when the GIL is held; otherwise the object is leaked.
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref& other) noexcept : p_(other.p_) { Py_XINCREF(p_); }
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref other) noexcept {
    std::swap(p_, other.p_);
    return *this;
  }
  // Inline while the exit has not begun (every tick drops several); the rest asks holds_gil().
  ~Ref() {
    if (!p_) return;
    if (__builtin_expect(g_before_exit.load(std::memory_order_acquire), 1)) Py_DECREF(p_);
    else release_late(p_);
  }

  // Takes over a new reference; NULL means a Python error is set.
  static Ref steal(PyObject* p) {
    if (!p) throw_error();
    Ref r;
    r.p_ = p;
    return r;
  }
  static Ref borrow(PyObject* p) noexcept {
    Ref r;
    Py_XINCREF(p);
    r.p_ = p;
    return r;
  }
  static Ref none() noexcept { return borrow(Py_None); }

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// An interned name, created at first use and kept for the life of the process (never released).
// The static is constant-initialised (no C++ guard: making the name may run the garbage
// collector, which may switch threads) and set only once the name exists, so a failure
// (MemoryError) raises now and is tried again next time instead of caching NULL.
#define ORVA_NAME(text)                                         \
  ([]() -> PyObject* {                                          \
    static PyObject* interned_ = nullptr;                       \
    if (!interned_) {                                           \
      PyObject* made_ = PyUnicode_InternFromString(text);       \
      if (!made_) ::orva::throw_error();                        \
      interned_ = made_;                                        \
    }                                                           \
    return interned_;                                           \
  }())

// A tuple of keyword names for call()/call_method(), made at first use like ORVA_NAME.
#define ORVA_KWNAMES(...)                                       \
  ([]() -> PyObject* {                                          \
    static PyObject* names_ = nullptr;                          \
    if (!names_) names_ = ::orva::kwnames({__VA_ARGS__});       \
    return names_;                                              \
  }())

inline Ref getattr(PyObject* obj, PyObject* name) { return Ref::steal(PyObject_GetAttr(obj, name)); }

inline void setattr(PyObject* obj, PyObject* name, PyObject* value) {
  if (PyObject_SetAttr(obj, name, value) < 0) throw_error();
}

// obj[key] for any mapping; raises KeyError like Python.
inline Ref getitem(PyObject* obj, PyObject* key) { return Ref::steal(PyObject_GetItem(obj, key)); }

// d[key] for an exact dict, KeyError when missing; borrowed result.
PyObject* dict_item(PyObject* dict, PyObject* key);

inline void dict_set(PyObject* dict, PyObject* key, PyObject* value) {
  if (PyDict_SetItem(dict, key, value) < 0) throw_error();
}

inline Ref call(PyObject* callable, std::initializer_list<PyObject*> args, PyObject* kwnames = nullptr) {
  size_t n = args.size() - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  return Ref::steal(PyObject_Vectorcall(callable, const_cast<PyObject**>(args.begin()), n, kwnames));
}

// obj.name(*args)
inline Ref call_method(PyObject* obj, PyObject* name, std::initializer_list<PyObject*> args = {},
                       PyObject* kwnames = nullptr) {
  PyObject* stack[12];  // self plus up to 11 arguments
  stack[0] = obj;
  size_t i = 1;
  for (PyObject* a : args) stack[i++] = a;
  size_t n = i - (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
  return Ref::steal(PyObject_VectorcallMethod(name, stack, n | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
}

// A new tuple of keyword names for call()/call_method(); see ORVA_KWNAMES for a kept one.
PyObject* kwnames(std::initializer_list<const char*> names);

// [items...] as a new list.
inline Ref list_of(std::initializer_list<PyObject*> items) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
  Py_ssize_t i = 0;
  for (PyObject* item : items) {
    Py_INCREF(item);
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list;
}

inline Ref str_of(PyObject* obj) { return Ref::steal(PyObject_Str(obj)); }
std::string utf8(PyObject* text);  // str(obj) as UTF-8
inline Ref text(const std::string& s) {
  return Ref::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}
inline Ref py_float(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
inline Ref py_long(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
inline Ref py_bool(bool v) { return Ref::borrow(v ? Py_True : Py_False); }

// The text of `fmt` with each "{}" replaced by the plain text (str()) of the next value.
Ref format(const char* fmt, std::initializer_list<PyObject*> values);

// Python's truth test.
inline bool truthy(PyObject* obj) {
  int r = PyObject_IsTrue(obj);
  if (r < 0) throw_error();
  return r != 0;
}

// a == b by Python equality.
inline bool equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  int r = PyObject_RichCompareBool(a, b, Py_EQ);
  if (r < 0) throw_error();
  return r != 0;
}

// A Python exception taken out of the error indicator, normalised; can be set again.
struct Caught {
  Ref type, value, traceback;
  static Caught fetch();  // takes the current error
  void restore();         // sets it again (consumes the references)
  // Makes it the exception being handled (sys.exc_info()) while `fn` runs.
  template <class Fn>
  auto while_handled(Fn&& fn) {
    PyObject *t, *v, *tb;
    PyErr_GetExcInfo(&t, &v, &tb);
    PyErr_SetExcInfo(Ref(type).release(), Ref(value).release(), Ref(traceback).release());
    struct Reset {
      PyObject *t, *v, *tb;
      ~Reset() {
        if (holds_gil()) PyErr_SetExcInfo(t, v, tb);
      }
    } reset{t, v, tb};
    return fn();
  }
  // Whether it belongs to the Exception family (not SystemExit, KeyboardInterrupt, ...).
  bool is_exception() const { return PyErr_GivenExceptionMatches(type.get(), PyExc_Exception); }
};

}  // namespace orva
