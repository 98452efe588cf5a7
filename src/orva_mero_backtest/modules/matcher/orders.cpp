// Order entry: add, modify and cancel orders in the book, and post requests for the receiver.
#include <climits>
#include <exception>
#include <new>
#include <string>

#include "matcher.hpp"
#include "queues.hpp"
#include "console_log.hpp"
#include "shortcuts.hpp"
#include "order_entry.hpp"

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

bool is_negative(PyObject* number) {
  Ref zero = py_long(0);
  int r = PyObject_RichCompareBool(number, zero.get(), Py_LT);
  if (r < 0) throw_error();
  return r != 0;
}

// Quantities are kept as 64-bit integers by matching: a larger one is refused at entry, so it
// can never stop the orders of its instrument from filling.
void require_storable_quantity(PyObject* qty) {
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(qty, &overflow);
  if (v == -1 && PyErr_Occurred()) throw_error();
  if (overflow) {
    Ref limit = py_long(LLONG_MAX);
    fail("委託數量 {} 超過上限 {}", {qty, limit.get()});
  }
}

// Whether `record` (by identity) is still in the book: Python code run since it was found may
// have taken it out.
bool in_book(PyObject* self, PyObject* record) {
  Ref book = book_of(self);
  return position_of(book.get(), record) >= 0;
}

void say_missing(PyObject* trade_id) { print_line("[red]委託單 {} 不存在[/red]", {trade_id}); }

}  // namespace

void print_line(const char* fmt, std::initializer_list<PyObject*> values) {
  console_line(g_module, fmt, values);
}

void add_order_failed(const Args& a, PyObject* price, Caught& caught) {
  Ref data = Ref::steal(PyDict_New());
  const char* names[] = {"code",       "product_type", "action",     "price",     "qty",
                         "price_type", "order_type",   "order_cond", "order_lot", "oc_type"};
  for (size_t i = 0; i < 10; ++i) {
    PyObject* value = i == 3 ? price : a[i + 1];
    if (PyDict_SetItemString(data.get(), names[i], value) < 0) throw_error();
  }
  log_error(g_module, caught, data.get());
  print_line("[red]發生錯誤: {}[/red]", {caught.value.get()});
}

Ref add_order(const Args& a) {
#if ORVA_FASTPATHS
  if (quick_add_order(a)) return Ref::none();
#endif
  PyObject* self = a.self();
  PyObject *code = a[1], *product_type = a[2], *action = a[3], *qty = a[5];
  const double price_value = real_arg(a, 4);
  if (is_negative(qty)) fail("委託數量 {} 不能小於 0", {qty});
  require_storable_quantity(qty);
  Ref price = py_float(price_value);
  BookLock lock(self);

  Ref record = Ref::steal(PyDict_New());
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
  switch (product_kind(product_type)) {
    case Product::Stock:
      put(r, ORVA_NAME("order_cond"), from_value(ORVA_NAME("OrderCond"), a[8]));
      put(r, ORVA_NAME("order_lot"), from_value(ORVA_NAME("OrderLot"), a[9]));
      break;
    case Product::Future: put(r, ORVA_NAME("oc_type"), from_value(ORVA_NAME("OCType"), a[10])); break;
    case Product::Other: fail("不支援的商品類型: {}", {product_type});
  }
  Ref book = book_of(self);
  if (PyList_Append(book.get(), r) < 0) throw_error();

  absorbing(
      [&] {
        report_order(self, r, ORVA_NAME("NEW"), ORVA_NAME("CreateOrder"));
        print_line("[green]新增委託單 {} 成功[/green]", {trade_id.get()});
      },
      [&](Caught& caught) { add_order_failed(a, price.get(), caught); });
  return Ref::none();
}

// A change is made only while the order is still in the book: an order that left it while
// this call ran Python code (a comparison, a report, the console) is reported as missing and
// the rest of the change is dropped, as for an order cancelled just before the request came.
Ref modify_order(const Args& a) {
  PyObject* self = a.self();
  PyObject *trade_id = a[1], *qty = a[2], *price = a[3];
  const bool qty_given = qty != Py_None && truthy(qty);
  const bool price_given = price != Py_None && truthy(price);
  if (!qty_given && !price_given) fail("請至少提供數量或價格來修改委託單 {}", {trade_id});
  BookLock lock(self);
  Ref record = find_order(self, trade_id);
  if (!record) {
    say_missing(trade_id);
    return Ref::none();
  }
  if (qty_given) {
    if (is_negative(qty)) fail("修改的數量 {} 必須大於 0", {qty});
    Ref quantity = item(record.get(), ORVA_NAME("quantity"));
    int over = PyObject_RichCompareBool(qty, quantity.get(), Py_GT);
    if (over < 0) throw_error();
    if (over) fail("修改的數量 {} 大於原本的數量 {}", {qty, quantity.get()});
    Ref rest = Ref::steal(PyNumber_Subtract(quantity.get(), qty));
    if (!in_book(self, record.get())) {
      say_missing(trade_id);
      return Ref::none();
    }
    if (PyObject_SetItem(record.get(), ORVA_NAME("quantity"), rest.get()) < 0) throw_error();
    report_order(self, record.get(), ORVA_NAME("UPDATE_QTY"), ORVA_NAME("ModifyOrder"));
    print_line("[green]修改委託單 {} 數量成功, 修改數量 {}[/green]", {trade_id, qty});
  }
  if (price_given) {
    if (PyFloat_AS_DOUBLE(price) <= 0) fail("修改的價格 {} 必須大於 0", {price});
    if (!in_book(self, record.get())) {
      say_missing(trade_id);
      return Ref::none();
    }
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
  Ref record = find_order(self, trade_id);
  Ref book = book_of(self);
  if (!record || !remove_order(book.get(), record.get())) {
    say_missing(trade_id);
    return Ref::none();
  }
  absorbing(
      [&] {
        report_order(self, record.get(), ORVA_NAME("CANCEL"), ORVA_NAME("OrderBeCancel"));
        print_line("[green]取消委託單 {} 成功[/green]", {trade_id});
      },
      [&](Caught& caught) { print_line("[red]{}[/red]", {caught.value.get()}); });
  return Ref::none();
}

namespace {

const std::string kAddOrderQualname = "Matcher.add_order";

// add_order for the engine's order tracker (order_entry.hpp). Taken here: the binding's own checks
// for these values pass (str, str, str, a float or int price, int, then five str), and there are no
// defaults left to fill. Anything else goes back through the binding, which says what is wrong.
int add_order_entry_body(PyObject* self, PyObject* const* v) {
  for (int i : {0, 1, 2, 5, 6, 7, 8, 9})
    if (!PyUnicode_CheckExact(v[i])) return 1;
  if (!PyLong_CheckExact(v[4]) || !(PyFloat_CheckExact(v[3]) || PyLong_CheckExact(v[3]))) return 1;
  PyObject* const bound[] = {self, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9]};
  return as_binding(kAddOrderQualname, [&] { add_order(Args{bound, nullptr, &kAddOrderQualname}); }) ? 0 : -1;
}

}  // namespace

void add_order_entry(PyObject* module, PyObject* cls) {
  static OrderEntry entry = {nullptr, add_order_entry_body};
  entry.own_function = own_method_function(cls, "add_order");
  add_entry_capsule(module, "_order_entry", &entry, kOrderEntryCapsule);
}

Ref add_pending_order_queue(const Args& a) {
  Ref message = Ref::steal(PyDict_New());
  dict_set(message.get(), ORVA_NAME("action"), a[1]);
  dict_set(message.get(), ORVA_NAME("payload"), a[2]);
  Ref queue = getattr(a.self(), ORVA_NAME("pending_order_queue"));
  queue_put(queue.get(), message.get());
  return Ref::none();
}

}  // namespace orva::matcher
