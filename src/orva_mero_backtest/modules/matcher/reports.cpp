// Order and deal reports, and the report queue they leave the exchange through.
#include "matcher.hpp"
#include "queues.hpp"

namespace orva::matcher {

namespace {

// mapping[key]: KeyError when missing.
Ref item(PyObject* mapping, PyObject* key) {
  if (PyDict_CheckExact(mapping)) return Ref::borrow(dict_item(mapping, key));
  return getitem(mapping, key);
}

// mapping.get(key, default)
Ref get_or(PyObject* mapping, PyObject* key, PyObject* fallback) {
  if (PyDict_CheckExact(mapping)) {
    PyObject* v = PyDict_GetItemWithError(mapping, key);
    if (v) return Ref::borrow(v);
    if (PyErr_Occurred()) throw_error();
    return Ref::borrow(fallback);
  }
  return call_method(mapping, ORVA_NAME("get"), {key, fallback});
}

class Builder {
 public:
  // Sized for its keys up front: no table growth while it is filled.
  explicit Builder(Py_ssize_t keys) : dict_(Ref::steal(_PyDict_NewPresized(keys))) {}
  Builder& set(PyObject* key, const Ref& value) {
    dict_set(dict_.get(), key, value.get());
    return *this;
  }
  // key = source[source_key]
  Builder& copy(PyObject* key, PyObject* source, PyObject* source_key) { return set(key, item(source, source_key)); }
  Builder& copy(PyObject* key, PyObject* source) { return copy(key, source, key); }
  // key = <Enum>.from_value(source[source_key])
  Builder& member(PyObject* key, PyObject* enum_name, PyObject* source, PyObject* source_key) {
    Ref raw = item(source, source_key);
    return set(key, from_value(enum_name, raw.get()));
  }
  Builder& member(PyObject* key, PyObject* enum_name, PyObject* source) { return member(key, enum_name, source, key); }
  Ref done() { return std::move(dict_); }
  PyObject* get() const { return dict_.get(); }

 private:
  Ref dict_;
};

Ref attr_item(PyObject* self, PyObject* attr, PyObject* key) {
  Ref holder = getattr(self, attr);
  return item(holder.get(), key);
}

enum class Product { Stock, Future };

Product product_of(PyObject* trade) {
  Ref product = item(trade, ORVA_NAME("product_type"));
  if (same_text(product.get(), ORVA_NAME("Stock"))) return Product::Stock;
  if (same_text(product.get(), ORVA_NAME("Future"))) return Product::Future;
  Ref message = format("不支援的商品類型: {}", {product.get()});
  PyErr_SetObject(PyExc_Exception, message.get());
  throw_error();
}

Ref order_response(PyObject* self, PyObject* data, Product product) {
  PyObject* id = ORVA_NAME("trade_id");
  Builder report(5);
  report.member(ORVA_NAME("operation_type"), ORVA_NAME("OperationType"), data)
      .copy(ORVA_NAME("operation_status_code"), data, ORVA_NAME("operation_code"))
      .copy(ORVA_NAME("operation_message"), data);
  Builder order(12);
  order.copy(ORVA_NAME("id"), data, id)
      .copy(ORVA_NAME("seqno"), data, id)
      .copy(ORVA_NAME("ordno"), data, id)
      .copy(ORVA_NAME("account"), data, ORVA_NAME("account_id"))
      .copy(ORVA_NAME("code"), data)
      .copy(ORVA_NAME("action"), data)
      .copy(ORVA_NAME("price"), data)
      .copy(ORVA_NAME("quantity"), data)
      .member(ORVA_NAME("order_type"), ORVA_NAME("OrderType"), data);
  if (product == Product::Stock) {
    order.member(ORVA_NAME("order_cond"), ORVA_NAME("OrderCond"), data)
        .member(ORVA_NAME("order_lot"), ORVA_NAME("OrderLot"), data)
        .member(ORVA_NAME("price_type"), ORVA_NAME("PriceType"), data);
  } else {
    order.member(ORVA_NAME("price_type"), ORVA_NAME("PriceType"), data)
        .member(ORVA_NAME("oc_type"), ORVA_NAME("OCType"), data);
  }
  report.set(ORVA_NAME("order"), order.done());
  Builder status(3);
  status.copy(ORVA_NAME("id"), data, id)
      .set(ORVA_NAME("exchange"), attr_item(self, ORVA_NAME("exchange_info"), ORVA_NAME("name")))
      .copy(ORVA_NAME("exchange_ts"), data);
  report.set(ORVA_NAME("trade_status"), status.done());
  return report.done();
}

Ref deal_response(PyObject* data, Product product) {
  Builder report(13);
  for (PyObject* key : {ORVA_NAME("id"), ORVA_NAME("seqno"), ORVA_NAME("ordno"), ORVA_NAME("exchange_seqno"),
                        ORVA_NAME("broker_id"), ORVA_NAME("account"), ORVA_NAME("action"), ORVA_NAME("code"),
                        ORVA_NAME("quantity"), ORVA_NAME("price")})
    report.copy(key, data);
  if (product == Product::Stock)
    report.member(ORVA_NAME("order_cond"), ORVA_NAME("OrderCond"), data)
        .member(ORVA_NAME("order_lot"), ORVA_NAME("OrderLot"), data);
  report.copy(ORVA_NAME("exchange_ts"), data);
  return report.done();
}

}  // namespace

Ref build_order_response(const Args& a) {
  PyObject* self = a.self();
  PyObject* trade = a[1];
  Builder common(14);
  common.set(ORVA_NAME("operation_type"), Ref::borrow(a[2]))
      .set(ORVA_NAME("operation_code"), member_attr(a[3], ORVA_NAME("code")))
      .set(ORVA_NAME("operation_message"), member_attr(a[3], ORVA_NAME("message")))
      .copy(ORVA_NAME("trade_id"), trade)
      .set(ORVA_NAME("account_id"), attr_item(self, ORVA_NAME("account_info"), ORVA_NAME("account_id")));
  for (PyObject* key : {ORVA_NAME("code"), ORVA_NAME("action"), ORVA_NAME("price"), ORVA_NAME("quantity"),
                        ORVA_NAME("price_type"), ORVA_NAME("order_type")})
    common.copy(key, trade);
  // The exchange time is the instrument's tick time now, not the record's.
  Ref infos = getattr(self, ORVA_NAME("current_tick_infos"));
  Ref code = item(trade, ORVA_NAME("code"));
  Ref info;
  if (PyDict_CheckExact(infos.get())) {
    PyObject* found = PyDict_GetItemWithError(infos.get(), code.get());
    if (!found && PyErr_Occurred()) throw_error();
    info = found ? Ref::borrow(found) : Ref();
  } else {
    Ref empty = Ref::steal(PyDict_New());
    info = get_or(infos.get(), code.get(), empty.get());
  }
  common.set(ORVA_NAME("exchange_ts"), info ? get_or(info.get(), ORVA_NAME("ts"), Py_None) : Ref::none());
  if (product_of(trade) == Product::Stock) {
    common.copy(ORVA_NAME("order_cond"), trade).copy(ORVA_NAME("order_lot"), trade);
    return call_self(self, ORVA_NAME("get_simulation_stock_order_response"), {common.get()});
  }
  common.copy(ORVA_NAME("oc_type"), trade);
  return call_self(self, ORVA_NAME("get_simulation_future_order_response"), {common.get()});
}

Ref build_deal_response(const Args& a) {
  PyObject* self = a.self();
  PyObject* trade = a[1];
  PyObject* id = ORVA_NAME("trade_id");
  Builder common(14);
  common.copy(ORVA_NAME("id"), trade, id)
      .copy(ORVA_NAME("seqno"), trade, id)
      .copy(ORVA_NAME("ordno"), trade, id)
      .copy(ORVA_NAME("exchange_seqno"), trade, id)
      .set(ORVA_NAME("broker_id"), attr_item(self, ORVA_NAME("exchange_info"), ORVA_NAME("name")))
      .set(ORVA_NAME("account"), attr_item(self, ORVA_NAME("account_info"), ORVA_NAME("account_id")));
  for (PyObject* key :
       {ORVA_NAME("action"), ORVA_NAME("code"), ORVA_NAME("quantity"), ORVA_NAME("price"), ORVA_NAME("exchange_ts")})
    common.copy(key, trade);
  if (product_of(trade) == Product::Stock) {
    common.copy(ORVA_NAME("order_cond"), trade).copy(ORVA_NAME("order_lot"), trade);
    return call_self(self, ORVA_NAME("get_simulation_stock_deal_response"), {common.get()});
  }
  return call_self(self, ORVA_NAME("get_simulation_future_deal_response"), {common.get()});
}

Ref stock_order_response(const Args& a) { return order_response(a.self(), a[1], Product::Stock); }
Ref future_order_response(const Args& a) { return order_response(a.self(), a[1], Product::Future); }
Ref stock_deal_response(const Args& a) { return deal_response(a[1], Product::Stock); }
Ref future_deal_response(const Args& a) { return deal_response(a[1], Product::Future); }

Ref pop_response(const Args& a) {
  Ref queue = getattr(a.self(), ORVA_NAME("response_queue"));
  return queue_get(queue.get());
}

Ref add_response_to_queue(const Args& a) {
  Ref queue = getattr(a.self(), ORVA_NAME("response_queue"));
  queue_put(queue.get(), a[1]);
  return Ref::none();
}

}  // namespace orva::matcher
