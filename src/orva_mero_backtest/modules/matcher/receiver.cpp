// The receiver thread: takes order requests off pending_order_queue and applies them, and
// close(), which ends it.
//
// The thread holds only a weak reference to its Matcher while it waits, so a Matcher dropped
// without close() goes as any object does, and its receiver ends at its next wake-up. It waits
// on the queue in slices (a timed get), and between slices looks at whether the Matcher is
// still there and not closed.
#include <chrono>
#include <thread>

#include "matcher.hpp"
#include "console_log.hpp"

namespace orva::matcher {

namespace {

constexpr double kSliceSeconds = 0.1;

bool finalizing() { return is_finalizing(); }

// message[key] / payload.get(key)
Ref optional_field(PyObject* payload, PyObject* key) {
  if (PyDict_CheckExact(payload)) {
    PyObject* v = PyDict_GetItemWithError(payload, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
    return Ref::none();
  }
  return call_method(payload, ORVA_NAME("get"), {key});
}

// self.add_order(**payload), with the texts Python gives for a payload that isn't a mapping.
void apply_add(PyObject* self, PyObject* payload) {
  Ref method = getattr(self, ORVA_NAME("add_order"));
  Ref no_args = Ref::steal(PyTuple_New(0));
  if (PyDict_CheckExact(payload)) {
    // As Python passes a plain dict after **: a copy, so the call cannot change the caller's.
    Ref kwargs = Ref::steal(PyDict_Copy(payload));
    Ref::steal(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
    return;
  }
  Ref kwargs = Ref::steal(PyDict_New());
  if (PyDict_Merge(kwargs.get(), payload, 1) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_error();
    PyErr_Clear();
    Ref module_name = getattr(g_module, ORVA_NAME("__name__"));
    raise(PyExc_TypeError, utf8(module_name.get()) + ".Matcher.add_order() argument after ** must be a mapping, not " +
                               Py_TYPE(payload)->tp_name);
  }
  Ref::steal(PyObject_Call(method.get(), no_args.get(), kwargs.get()));
}

void apply(PyObject* self, PyObject* message) {
  Ref action = item(message, ORVA_NAME("action"));
  Ref payload = item(message, ORVA_NAME("payload"));
  if (equal(action.get(), ORVA_NAME("add"))) {
    apply_add(self, payload.get());
  } else if (equal(action.get(), ORVA_NAME("modify"))) {
    Ref trade_id = getitem(payload.get(), ORVA_NAME("trade_id"));
    Ref qty = optional_field(payload.get(), ORVA_NAME("qty"));
    Ref price = optional_field(payload.get(), ORVA_NAME("price"));
    call_self(self, ORVA_NAME("modify_order"), {trade_id.get(), qty.get(), price.get()});
  } else if (equal(action.get(), ORVA_NAME("cancel"))) {
    Ref trade_id = getitem(payload.get(), ORVA_NAME("trade_id"));
    call_self(self, ORVA_NAME("cancel_order"), {trade_id.get()});
  } else {
    print_line("[red]不支援的操作: {}[/red]", {action.get()});
  }
}

// Reports a failed message. Nothing that fails here may end the receiver.
void report_failure(Caught& caught, PyObject* message) {
  absorbing([&] { print_line("[red]接收委託單失敗: {}[/red]", {caught.value.get()}); }, [](Caught&) {});
  absorbing(
      [&] {
        Ref data = Ref::steal(PyDict_New());
        dict_set(data.get(), ORVA_NAME("info"), message ? message : Py_None);
        log_error(g_module, caught, data.get());
      },
      [](Caught&) {});
}

// Whether the caught exception is the module's queue.Empty (looked up with no error pending).
bool is_queue_empty(const Caught& caught) {
  PyObject* queue_mod = PyDict_GetItemWithError(PyModule_GetDict(g_module), ORVA_NAME("queue"));
  if (!queue_mod) {
    PyErr_Clear();
    return false;
  }
  Ref keep = Ref::borrow(queue_mod);
  PyObject* empty = PyObject_GetAttr(queue_mod, ORVA_NAME("Empty"));
  if (!empty) {
    PyErr_Clear();
    return false;
  }
  bool match = PyErr_GivenExceptionMatches(caught.type.get(), empty) != 0;
  Py_DECREF(empty);
  return match;
}

// The next message, or empty when a slice of waiting ran out. A queue.Queue (or subclass) is
// waited on with a timed get; anything else is asked with its plain get().
Ref take(PyObject* queue) {
  Ref queue_mod = global(ORVA_NAME("queue"));
  Ref queue_cls = getattr(queue_mod.get(), ORVA_NAME("Queue"));
  const int timed = PyObject_IsInstance(queue, queue_cls.get());
  if (timed < 0) throw_error();
  if (!timed) return call_method(queue, ORVA_NAME("get"));
  Ref empty = getattr(queue_mod.get(), ORVA_NAME("Empty"));
  Ref timeout = py_float(kSliceSeconds);
  PyObject* got = PyObject_CallMethodObjArgs(queue, ORVA_NAME("get"), Py_True, timeout.get(), nullptr);
  if (got) return Ref::steal(got);
  if (!PyErr_ExceptionMatches(empty.get())) throw_error();
  PyErr_Clear();
  return Ref();
}

// The Matcher behind `weakref`, held, or empty once it is gone or closed.
Ref alive(PyObject* weakref) {
  Ref self = Ref::borrow(PyWeakref_GetObject(weakref));
  if (!self || self.get() == Py_None) return Ref();
  if (instance(self.get()).closed) return Ref();
  return self;
}

void pause_a_slice() {
  Py_BEGIN_ALLOW_THREADS
  std::this_thread::sleep_for(std::chrono::duration<double>(kSliceSeconds));
  Py_END_ALLOW_THREADS
}

void receive(PyObject* weakref) {
  while (!finalizing()) {
    Ref self = alive(weakref);
    if (!self) return;
    Ref message;
    bool took = false;
    absorbing(
        [&] {
          Ref queue = getattr(self.get(), ORVA_NAME("pending_order_queue"));
          self = Ref();  // wait without keeping the Matcher alive
          message = take(queue.get());
          if (!message) return;
          took = true;
          self = Ref::borrow(PyWeakref_GetObject(weakref));
          if (self.get() == Py_None) return;  // it went while the message came: nobody to apply it to
          apply(self.get(), message.get());
        },
        [&](Caught& caught) {
          if (is_queue_empty(caught)) {
            absorbing([&] { print_line("[red]等待委託單中...[/red]", {}); }, [](Caught&) {});
          } else {
            report_failure(caught, message.get());
          }
          // A queue that cannot be waited on fails at once: don't spin on it.
          if (!took) pause_a_slice();
        });
  }
}

PyObject* receiver_main(PyObject* weakref, PyObject*) {
  try {
    receive(weakref);
    Py_RETURN_NONE;
  } catch (PyError&) {
    return nullptr;
  }
}

PyMethodDef receiver_def = {"__receive_pending_order", receiver_main, METH_NOARGS,
                            "The receiver thread of a Matcher (its __self__ is a weak reference to it)."};

}  // namespace

void start_receiver(PyObject* self) {
  instance(self);  // the side table entry exists before the receiver can look for it
  Ref weakref = Ref::steal(PyWeakref_NewRef(self, nullptr));
  Ref target = Ref::steal(PyCFunction_New(&receiver_def, weakref.get()));
  Ref thread_cls = global(ORVA_NAME("Thread"));
  Ref thread = call(thread_cls.get(), {target.get(), Py_True}, g_call_names.thread);
  call_method(thread.get(), ORVA_NAME("start"));
  Instance& now = instance(self);  // looked up again: starting a thread runs Python code
  PyObject* old = now.receiver;
  now.receiver = thread.release();
  Py_XDECREF(old);
}

Ref receive_pending_order(const Args& a) {
  Ref weakref = Ref::steal(PyWeakref_NewRef(a.self(), nullptr));
  receive(weakref.get());
  return Ref::none();
}

// Ends the receiver: it finishes the message in hand (if any) and stops at its next wake-up,
// within a slice of waiting; messages still queued stay in the queue. Never waits itself, so
// it can be called from anywhere (a callback, the receiver, a finalizer).
Ref close(const Args& a) {
  instance(a.self()).closed = true;
  return Ref::none();
}

Ref enter(const Args& a) { return Ref::borrow(a.self()); }

Ref exit(const Args& a) {
  call_self(a.self(), ORVA_NAME("close"));
  return Ref::none();
}

}  // namespace orva::matcher
