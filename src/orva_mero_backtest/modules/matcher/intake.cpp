// Order entry (add, modify, cancel) and the receiver thread that applies queued requests.
#include "matcher.hpp"
#include "queues.hpp"
#include "console_log.hpp"

namespace orva::matcher {

namespace {

// Sets `value` under `key` (a new reference, or a borrowed one through Ref::borrow).
void put(PyObject* dict, PyObject* key, const Ref& value) { dict_set(dict, key, value.get()); }

// self.build_order_response(record, OperationType.<op>, SuccessCode.<code>) onto the report queue.
void report_order(PyObject* self, PyObject* record, PyObject* operation, PyObject* code) {
  Ref op = enum_member(ORVA_NAME("OperationType"), operation);
  Ref success = enum_member(ORVA_NAME("SuccessCode"), code);
  Ref report = call_self(self, ORVA_NAME("build_order_response"), {record, op.get(), success.get()});
  call_self(self, ORVA_NAME("add_response_to_queue"), {report.get()});
}

[[noreturn]] void fail(const char* fmt, std::initializer_list<PyObject*> values) {
  Ref message = format(fmt, values);
  PyErr_SetObject(PyExc_Exception, message.get());
  throw_error();
}

void print_line(const char* fmt, std::initializer_list<PyObject*> values) {
  console_print(g_module, format(fmt, values));
}

// Runs `fn`; an exception of the Exception family is handed to `on_error` instead of passing on.
template <class Fn, class OnError>
void absorbing(Fn&& fn, OnError&& on_error) {
  try {
    fn();
  } catch (PyError&) {
    Caught caught = Caught::fetch();
    if (!caught.is_exception()) {
      caught.restore();
      throw;
    }
    on_error(caught);
  }
}

bool is_negative(PyObject* number) {
  Ref zero = py_long(0);
  int r = PyObject_RichCompareBool(number, zero.get(), Py_LT);
  if (r < 0) throw_error();
  return r != 0;
}

Ref book_of(PyObject* self) { return getattr(self, ORVA_NAME("pending_orders")); }

}  // namespace

Ref add_order(const Args& a) {
  PyObject* self = a.self();
  PyObject *code = a[1], *product_type = a[2], *action = a[3], *qty = a[5];
  const double price_value = real_arg(a, 4);
  if (is_negative(qty)) fail("委託數量 {} 不能小於 0", {qty});
  Ref price = py_float(price_value);
  BookLock lock(self);

  Ref record = Ref::steal(_PyDict_NewPresized(15));
  PyObject* r = record.get();
  Ref success = enum_member(ORVA_NAME("SuccessCode"), ORVA_NAME("CreateOrder"));
  put(r, ORVA_NAME("operation_type"), Ref::borrow(ORVA_NAME("New")));
  put(r, ORVA_NAME("operation_code"), member_attr(success.get(), ORVA_NAME("code")));
  put(r, ORVA_NAME("operation_message"), member_attr(success.get(), ORVA_NAME("message")));
  Ref trade_id = call_self(self, ORVA_NAME("_Matcher__get_random_uuid"));
  put(r, ORVA_NAME("trade_id"), trade_id);
  Ref account = getattr(self, ORVA_NAME("account_info"));
  put(r, ORVA_NAME("account_id"), getitem(account.get(), ORVA_NAME("account_id")));
  put(r, ORVA_NAME("code"), Ref::borrow(code));
  put(r, ORVA_NAME("product_type"), Ref::borrow(product_type));
  put(r, ORVA_NAME("action"), from_value(ORVA_NAME("Action"), action));
  put(r, ORVA_NAME("price"), price);
  put(r, ORVA_NAME("quantity"), Ref::borrow(qty));
  put(r, ORVA_NAME("price_type"), from_value(ORVA_NAME("PriceType"), a[6]));
  put(r, ORVA_NAME("order_type"), from_value(ORVA_NAME("OrderType"), a[7]));
  Ref infos = getattr(self, ORVA_NAME("current_tick_infos"));
  int known = PySequence_Contains(infos.get(), code);
  if (known < 0) throw_error();
  if (known) {
    Ref info = getitem(infos.get(), code);
    put(r, ORVA_NAME("exchange_ts"), getitem(info.get(), ORVA_NAME("ts")));
  } else {
    put(r, ORVA_NAME("exchange_ts"), Ref::none());
  }
  if (same_text(product_type, ORVA_NAME("Stock"))) {
    put(r, ORVA_NAME("order_cond"), from_value(ORVA_NAME("OrderCond"), a[8]));
    put(r, ORVA_NAME("order_lot"), from_value(ORVA_NAME("OrderLot"), a[9]));
  } else if (same_text(product_type, ORVA_NAME("Future"))) {
    put(r, ORVA_NAME("oc_type"), from_value(ORVA_NAME("OCType"), a[10]));
  } else {
    fail("不支援的商品類型: {}", {product_type});
  }
  Ref book = book_of(self);
  if (PyList_Append(book.get(), r) < 0) throw_error();

  absorbing(
      [&] {
        report_order(self, r, ORVA_NAME("NEW"), ORVA_NAME("CreateOrder"));
        print_line("[green]新增委託單 {} 成功[/green]", {dict_item(r, ORVA_NAME("trade_id"))});
      },
      [&](Caught& caught) {
        Ref data = Ref::steal(PyDict_New());
        const char* names[] = {"code",       "product_type", "action",     "price",     "qty",
                               "price_type", "order_type",   "order_cond", "order_lot", "oc_type"};
        for (size_t i = 0; i < 10; ++i) {
          PyObject* value = i == 3 ? price.get() : a[i + 1];
          if (PyDict_SetItemString(data.get(), names[i], value) < 0) throw_error();
        }
        log_error(g_module, caught, data.get());
        print_line("[red]發生錯誤: {}[/red]", {caught.value.get()});
      });
  return Ref::none();
}

namespace {

// The position of the order `trade_id` in the book, or -1 after telling the operator it is not there.
Py_ssize_t find_or_say_missing(PyObject* book, PyObject* trade_id) {
  Py_ssize_t at = find_order(book, trade_id);
  if (at < 0) print_line("[red]委託單 {} 不存在[/red]", {trade_id});
  return at;
}

}  // namespace

Ref modify_order(const Args& a) {
  PyObject* self = a.self();
  PyObject *trade_id = a[1], *qty = a[2], *price = a[3];
  const bool qty_given = qty != Py_None && truthy(qty);
  const bool price_given = price != Py_None && truthy(price);
  if (!qty_given && !price_given) fail("請至少提供數量或價格來修改委託單 {}", {trade_id});
  BookLock lock(self);
  Ref book = book_of(self);
  Py_ssize_t at = find_or_say_missing(book.get(), trade_id);
  if (at < 0) return Ref::none();
  Ref record = Ref::borrow(PyList_GET_ITEM(book.get(), at));
  if (qty_given) {
    if (is_negative(qty)) fail("修改的數量 {} 必須大於 0", {qty});
    Ref quantity = getitem(record.get(), ORVA_NAME("quantity"));
    int over = PyObject_RichCompareBool(qty, quantity.get(), Py_GT);
    if (over < 0) throw_error();
    if (over) fail("修改的數量 {} 大於原本的數量 {}", {qty, quantity.get()});
    Ref rest = Ref::steal(PyNumber_Subtract(quantity.get(), qty));
    if (PyObject_SetItem(record.get(), ORVA_NAME("quantity"), rest.get()) < 0) throw_error();
    report_order(self, record.get(), ORVA_NAME("UPDATE_QTY"), ORVA_NAME("ModifyOrder"));
    print_line("[green]修改委託單 {} 數量成功, 修改數量 {}[/green]", {trade_id, qty});
  }
  if (price_given) {
    if (PyFloat_AS_DOUBLE(price) <= 0) fail("修改的價格 {} 必須大於 0", {price});
    if (PyObject_SetItem(record.get(), ORVA_NAME("price"), price) < 0) throw_error();
    report_order(self, record.get(), ORVA_NAME("UPDATE_PRICE"), ORVA_NAME("ModifyOrder"));
    print_line("[green]修改委託單 {} 價格成功, 修改價格 {}[/green]", {trade_id, price});
  }
  return Ref::none();
}

Ref cancel_order(const Args& a) {
  PyObject* self = a.self();
  PyObject* trade_id = a[1];
  BookLock lock(self);
  Ref book = book_of(self);
  Py_ssize_t at = find_or_say_missing(book.get(), trade_id);
  if (at < 0) return Ref::none();
  Ref record = Ref::borrow(PyList_GET_ITEM(book.get(), at));
  remove_order(book.get(), record.get(), at);
  absorbing(
      [&] {
        report_order(self, record.get(), ORVA_NAME("CANCEL"), ORVA_NAME("OrderBeCancel"));
        print_line("[green]取消委託單 {} 成功[/green]", {trade_id});
      },
      [&](Caught& caught) { print_line("[red]{}[/red]", {caught.value.get()}); });
  return Ref::none();
}

Ref add_pending_order_queue(const Args& a) {
  Ref message = Ref::steal(PyDict_New());
  dict_set(message.get(), ORVA_NAME("action"), a[1]);
  dict_set(message.get(), ORVA_NAME("payload"), a[2]);
  Ref queue = getattr(a.self(), ORVA_NAME("pending_order_queue"));
  queue_put(queue.get(), message.get());
  return Ref::none();
}

namespace {

// message[key] for whatever was put on the queue.
Ref field(PyObject* message, PyObject* key) {
  if (PyDict_CheckExact(message)) return Ref::borrow(dict_item(message, key));
  return getitem(message, key);
}

// payload.get(key)
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
    // As Python passes a plain dict after **: as it is (the call only reads it).
    Ref::steal(PyObject_Call(method.get(), no_args.get(), payload));
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
  Ref action = field(message, ORVA_NAME("action"));
  Ref payload = field(message, ORVA_NAME("payload"));
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

bool is_queue_empty(const Caught& caught) {
  PyObject* queue_mod = PyDict_GetItemWithError(PyModule_GetDict(g_module), ORVA_NAME("queue"));
  if (!queue_mod) {
    PyErr_Clear();
    return false;
  }
  PyObject* empty = PyObject_GetAttr(queue_mod, ORVA_NAME("Empty"));
  if (!empty) {
    PyErr_Clear();
    return false;
  }
  bool match = PyErr_GivenExceptionMatches(caught.type.get(), empty) != 0;
  Py_DECREF(empty);
  return match;
}

}  // namespace

Ref receive_pending_order(const Args& a) {
  PyObject* self = a.self();
  for (;;) {
    Ref message;
    absorbing(
        [&] {
          Ref queue = getattr(self, ORVA_NAME("pending_order_queue"));
          message = queue_get(queue.get());
          apply(self, message.get());
        },
        [&](Caught& caught) {
          if (is_queue_empty(caught)) {
            absorbing([&] { print_line("[red]等待委託單中...[/red]", {}); }, [](Caught&) {});
            return;
          }
          report_failure(caught, message.get());
        });
  }
}

}  // namespace orva::matcher
