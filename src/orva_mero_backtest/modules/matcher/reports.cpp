// Order and deal reports, and the report queue they leave the exchange through.
#include <string>

#include "matcher.hpp"
#include "shortcuts.hpp"
#include "queues.hpp"
#include "fill_entry.hpp"

namespace orva::matcher {

namespace {

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
  Builder() : dict_(Ref::steal(PyDict_New())) {}
  Builder& set(PyObject* key, const Ref& value) {
    dict_set(dict_.get(), key, value.get());
    return *this;
  }
  // key = source[source_key]
  Builder& copy(PyObject* key, PyObject* source, PyObject* source_key) { return set(key, item(source, source_key)); }
  Builder& copy(PyObject* key, PyObject* source) { return copy(key, source, key); }
  template <class Source>
  Builder& copy(PyObject* key, const Source& source, PyObject* source_key) {
    return set(key, source(source_key));
  }
  template <class Source>
  Builder& copy(PyObject* key, const Source& source) {
    return set(key, source(key));
  }
  // key = <Enum>.from_value(source[source_key])
  template <class Source>
  Builder& member(PyObject* key, PyObject* enum_name, const Source& source, PyObject* source_key) {
    Ref raw = source(source_key);
    return set(key, from_value(enum_name, raw.get()));
  }
  template <class Source>
  Builder& member(PyObject* key, PyObject* enum_name, const Source& source) {
    return member(key, enum_name, source, key);
  }
  Ref done() { return std::move(dict_); }
  PyObject* get() const { return dict_.get(); }

 private:
  Ref dict_;
};

// The common fields of a report, kept here instead of in a dict when the method that turns
// them into the report is the class's own: it reads them straight from here.
class Fields {
 public:
  Fields& set(PyObject* key, Ref value) {
    for (int i = 0; i < n_; ++i)
      if (keys_[i] == key) {
        values_[i] = std::move(value);
        return *this;
      }
    if (n_ == kCapacity) raise(PyExc_SystemError, "too many report fields");
    keys_[n_] = key;
    values_[n_++] = std::move(value);
    return *this;
  }
  Fields& copy(PyObject* key, PyObject* source, PyObject* source_key) { return set(key, item(source, source_key)); }
  Fields& copy(PyObject* key, PyObject* source) { return copy(key, source, key); }
  Ref operator()(PyObject* key) const {
    for (int i = 0; i < n_; ++i)
      if (keys_[i] == key) return values_[i];
    PyErr_SetObject(PyExc_KeyError, key);
    throw_error();
  }

 private:
  static constexpr int kCapacity = 16;
  PyObject* keys_[kCapacity] = {};
  Ref values_[kCapacity];
  int n_ = 0;
};

// Reads a dict the way the report methods do: data[key].
struct DictSource {
  PyObject* data;
  Ref operator()(PyObject* key) const { return item(data, key); }
};

Ref attr_item(PyObject* self, PyObject* attr, PyObject* key) {
  Ref holder = getattr(self, attr);
  return item(holder.get(), key);
}

// The report variant of the record's "product_type".
Product product_of(PyObject* trade) {
  Ref product = item(trade, ORVA_NAME("product_type"));
  const Product kind = product_kind(product.get());
  if (kind != Product::Other) return kind;
  Ref message = format("不支援的商品類型: {}", {product.get()});
  PyErr_SetObject(PyExc_Exception, message.get());
  throw_error();
}

template <class Source>
Ref order_response(PyObject* self, const Source& data, Product product) {
  PyObject* id = ORVA_NAME("trade_id");
  Builder report;
  report.member(ORVA_NAME("operation_type"), ORVA_NAME("OperationType"), data)
      .copy(ORVA_NAME("operation_status_code"), data, ORVA_NAME("operation_code"))
      .copy(ORVA_NAME("operation_message"), data);
  Builder order;
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
  Builder status;
  status.copy(ORVA_NAME("id"), data, id)
      .set(ORVA_NAME("exchange"), attr_item(self, ORVA_NAME("exchange_info"), ORVA_NAME("name")))
      .copy(ORVA_NAME("exchange_ts"), data);
  report.set(ORVA_NAME("trade_status"), status.done());
  return report.done();
}

template <class Source>
Ref deal_response(const Source& data, Product product) {
  Builder report;
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

// self.<method>(common), or the report built straight from the fields when <method> is the
// class's own.
template <class Common, class Direct>
Ref finish(PyObject* self, PyObject* method, Common& common, Direct&& direct);

template <class Direct>
Ref finish(PyObject* self, PyObject* method, Builder& common, Direct&&) {
  return call_self(self, method, {common.get()});
}

template <class Direct>
Ref finish(PyObject*, PyObject* method, Fields& common, Direct&& direct) {
  try {
    return direct(common);
  } catch (PyError&) {
    add_method_frame("Matcher." + utf8(method));
    throw;
  }
}

template <class Common>
Ref order_report(PyObject* self, PyObject* trade, PyObject* operation_type, PyObject* code_obj, Common& common) {
  common.set(ORVA_NAME("operation_type"), Ref::borrow(operation_type))
      .set(ORVA_NAME("operation_code"), member_attr(code_obj, ORVA_NAME("code")))
      .set(ORVA_NAME("operation_message"), member_attr(code_obj, ORVA_NAME("message")))
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
    return finish(self, ORVA_NAME("get_simulation_stock_order_response"), common,
                  [&](const Fields& f) { return order_response(self, f, Product::Stock); });
  }
  common.copy(ORVA_NAME("oc_type"), trade);
  return finish(self, ORVA_NAME("get_simulation_future_order_response"), common,
                [&](const Fields& f) { return order_response(self, f, Product::Future); });
}

template <class Common>
Ref deal_report(PyObject* self, PyObject* trade, Common& common) {
  PyObject* id = ORVA_NAME("trade_id");
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
    return finish(self, ORVA_NAME("get_simulation_stock_deal_response"), common,
                  [&](const Fields& f) { return deal_response(f, Product::Stock); });
  }
  return finish(self, ORVA_NAME("get_simulation_future_deal_response"), common,
                [&](const Fields& f) { return deal_response(f, Product::Future); });
}

// Whether both report methods of a kind are the class's own, so the common fields need no dict
// (shortcut).
bool direct_reports(PyObject* self, PyObject* stock_method, PyObject* future_method) {
#if ORVA_FASTPATHS
  return fastpaths_on() && own_method(self, stock_method) && own_method(self, future_method);
#else
  (void)self, (void)stock_method, (void)future_method;
  return false;
#endif
}

}  // namespace

Ref build_order_response(const Args& a) {
  PyObject* self = a.self();
  if (direct_reports(self, ORVA_NAME("get_simulation_stock_order_response"),
                     ORVA_NAME("get_simulation_future_order_response"))) {
    Fields common;
    return order_report(self, a[1], a[2], a[3], common);
  }
  Builder common;
  return order_report(self, a[1], a[2], a[3], common);
}

Ref build_deal_response(const Args& a) {
  PyObject* self = a.self();
  if (direct_reports(self, ORVA_NAME("get_simulation_stock_deal_response"),
                     ORVA_NAME("get_simulation_future_deal_response"))) {
    Fields common;
    return deal_report(self, a[1], common);
  }
  Builder common;
  return deal_report(self, a[1], common);
}

Ref stock_order_response(const Args& a) { return order_response(a.self(), DictSource{a[1]}, Product::Stock); }
Ref future_order_response(const Args& a) { return order_response(a.self(), DictSource{a[1]}, Product::Future); }
Ref stock_deal_response(const Args& a) { return deal_response(DictSource{a[1]}, Product::Stock); }
Ref future_deal_response(const Args& a) { return deal_response(DictSource{a[1]}, Product::Future); }

namespace {

Ref pop_from(PyObject* self) {
  Keep keep;
  PyObject* queue = self_attr(self, &SelfView::response_queue, ORVA_NAME("response_queue"), keep);
  if (Ref item = queue_pop_quick(queue)) return item;
  return queue_get(queue);
}

const std::string kPopQualname = "Matcher.pop_response";

// The body as the binding calls it, for the engine's delivery (fill_entry.hpp): a failure gets the
// binding's traceback frame.
PyObject* pop_response_entry(PyObject* self) {
  PyObject* report = nullptr;
  as_binding(kPopQualname, [&] { report = pop_from(self).release(); });
  return report;
}

}  // namespace

Ref pop_response(const Args& a) { return pop_from(a.self()); }

void add_report_entry(PyObject* module, PyObject* cls) {
  static ReportEntry entry = {nullptr, pop_response_entry};
  entry.own_function = own_method_function(cls, "pop_response");
  add_entry_capsule(module, "_report_entry", &entry, kReportEntryCapsule);
}

Ref add_response_to_queue(const Args& a) {
  Keep keep;
  queue_put(self_attr(a.self(), &SelfView::response_queue, ORVA_NAME("response_queue"), keep), a[1]);
  return Ref::none();
}

}  // namespace orva::matcher
