// Construction of a Matcher and its tick-info records.
#include "matcher.hpp"

namespace orva::matcher {

namespace {

Ref new_queue() {
  Ref queue_mod = global(ORVA_NAME("queue"));
  return call_method(queue_mod.get(), ORVA_NAME("Queue"));
}

}  // namespace

Ref init(const Args& a) {
  PyObject* self = a.self();
  setattr(self, ORVA_NAME("pending_orders"), Ref::steal(PyList_New(0)).get());
  setattr(self, ORVA_NAME("response_queue"), new_queue().get());
  setattr(self, ORVA_NAME("pending_order_queue"), new_queue().get());
  setattr(self, ORVA_NAME("current_tick_infos"), Ref::steal(PyDict_New()).get());
  Ref positions = Ref::borrow(a[1]);
  if (!truthy(positions.get())) {
    Ref cls = global(ORVA_NAME("Positions"));
    positions = call(cls.get(), {});
  }
  setattr(self, ORVA_NAME("positions"), positions.get());
  Ref account = Ref::steal(PyDict_New());
  Ref account_id = text("BT-00001");
  dict_set(account.get(), ORVA_NAME("account_id"), account_id.get());
  setattr(self, ORVA_NAME("account_info"), account.get());
  Ref exchange = Ref::steal(PyDict_New());
  Ref exchange_name = text("ORVA Backtest Exchange");
  dict_set(exchange.get(), ORVA_NAME("name"), exchange_name.get());
  setattr(self, ORVA_NAME("exchange_info"), exchange.get());
  start_receiver(self);
  return Ref::none();
}

Ref init_current_tick_info(const Args&) {
  Ref record = Ref::steal(PyDict_New());
  dict_set(record.get(), ORVA_NAME("ts"), Py_None);
  dict_set(record.get(), ORVA_NAME("tick"), Py_None);
  return record;
}

Ref get_random_uuid(const Args&) { return new_trade_id(); }

}  // namespace orva::matcher
