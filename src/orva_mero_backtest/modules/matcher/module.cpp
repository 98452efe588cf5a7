// The module as Python sees it: the names bound at load and the class Matcher.
#include "shortcuts.hpp"

namespace orva::matcher {

PyObject* g_module = nullptr;
CallNames g_call_names;

namespace {

void bind(const char* module, const char* name, const char* alias = nullptr) {
  import_into(g_module, module, name, alias);
}

void bind_names() {
  bind("copy", nullptr);
  bind("json", nullptr);
  bind("queue", nullptr);
  bind("traceback", nullptr);
  bind("nanoid", "generate");
  bind("threading", "Thread");
  bind("datetime", "datetime");
  for (const char* name : {"Any", "Dict", "Union"}) bind("typing", name);
  for (const char* name :
       {"Action", "OperationType", "OrderType", "OrderCond", "OrderLot", "PriceType", "OCType", "SuccessCode"})
    bind("orva_mero_backtest.constant", name);
  bind("orva_mero_backtest.utils", "console");
  bind("orva_mero_backtest.utils", "logger");
  bind("orva_mero_backtest.modules.positions.positions", "Positions");
}

// A tuple of interned keyword names, kept for the life of the process.
PyObject* names_tuple(std::initializer_list<const char*> names) {
  Ref t = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
  Py_ssize_t i = 0;
  for (const char* n : names) PyTuple_SET_ITEM(t.get(), i++, Ref::steal(PyUnicode_InternFromString(n)).release());
  return t.release();
}

void make_call_names() {
  g_call_names.size = names_tuple({"size"});
  g_call_names.thread = names_tuple({"target", "daemon"});
  g_call_names.trade_record =
      names_tuple({"trade_id", "code", "action", "quantity", "price", "timestamp", "trade_status"});
}

// <Enum>.<member>.value, read once at load for the defaults of add_order.
Ref default_value(const char* enum_name, const char* member) {
  Ref e = global(Ref::steal(PyUnicode_FromString(enum_name)).get());
  Ref m = getattr(e.get(), Ref::steal(PyUnicode_FromString(member)).get());
  return getattr(m.get(), ORVA_NAME("value"));
}

std::vector<Method> methods() {
  auto none = [] { return Ref::none(); };
  return {
      {"__init__", init, {{"positions", Kind::Any, none()}}},
      {"__init_current_tick_info", init_current_tick_info, {{"code", Kind::Str}}},
      {"__get_random_uuid", get_random_uuid, {}},
      {"__receive_pending_order", receive_pending_order, {}},
      {"reset_tick_infos", reset_tick_infos, {}},
      {"set_current_tick", set_current_tick, {{"tick", Kind::Dict}}},
      {"add_order",
       add_order,
       {{"code", Kind::Str},
        {"product_type", Kind::Str},
        {"action", Kind::Str},
        {"price", Kind::Real},
        {"qty", Kind::Int},
        {"price_type", Kind::Str},
        {"order_type", Kind::Str},
        {"order_cond", Kind::Str, default_value("OrderCond", "CASH")},
        {"order_lot", Kind::Str, default_value("OrderLot", "COMMON")},
        {"oc_type", Kind::Str, default_value("OCType", "AUTO")}}},
      {"modify_order",
       modify_order,
       {{"trade_id", Kind::Str}, {"qty", Kind::Int, none()}, {"price", Kind::FloatOrNone, none()}}},
      {"cancel_order", cancel_order, {{"trade_id", Kind::Str}}},
      {"match_deal",
       match_deal,
       {{"code", Kind::Str}, {"tick_close", Kind::Real}, {"tick_qty", Kind::Int}, {"tick_ts", Kind::Real}}},
      {"build_order_response",
       build_order_response,
       {{"trade", Kind::Dict}, {"operation_type"}, {"code_obj"}}},
      {"build_deal_response", build_deal_response, {{"trade", Kind::Dict}}},
      {"get_simulation_stock_order_response", stock_order_response, {{"data", Kind::Dict}}},
      {"get_simulation_future_order_response", future_order_response, {{"data", Kind::Dict}}},
      {"get_simulation_stock_deal_response", stock_deal_response, {{"data", Kind::Dict}}},
      {"get_simulation_future_deal_response", future_deal_response, {{"data", Kind::Dict}}},
      {"pop_response", pop_response, {}},
      {"add_pending_order_queue", add_pending_order_queue, {{"action", Kind::Str}, {"payload", Kind::Dict}}},
      {"add_response_to_queue", add_response_to_queue, {{"response", Kind::Dict}}},
      // Ends the receiver thread; also what leaving a `with Matcher() as m:` block does.
      {"close", close, {}},
      {"__enter__", enter, {}},
      {"__exit__", exit, {{"exc_type"}, {"exc_value"}, {"traceback"}}},
  };
}

PyMethodDef module_functions[] = {
    {"match_order", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(match_order)), METH_FASTCALL,
     "match_order(matcher, record, price, qty, ts)\n--\n\n"
     "The book's order `record` met at `price` with `qty` of volume, by its type's rules, as\n"
     "match_deal meets it (the same reports); qty 0 fills nothing (an IOC or FOK is then cancelled).\n"
     "The quantity filled."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "matcher",
                          "Simulated exchange: order book, ROD/IOC/FOK matching, order and deal reports.", -1,
                          module_functions};

}  // namespace

}  // namespace orva::matcher

PyMODINIT_FUNC PyInit_matcher() {
  using namespace orva;
  using namespace orva::matcher;
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  try {
    g_module = module;
    make_call_names();
    bind_names();
    load_enums();
    load_id_source();
    load_copy_source();
    load_shapes();
    std::vector<Method> table = methods();
    Ref cls = make_class(module, "Matcher", table);
    record_own_methods(cls.get(), table);
    add_tick_entry(module, cls.get());
    add_report_entry(module, cls.get());
    add_order_entry(module, cls.get());
    if (PyModule_AddObjectRef(module, "Matcher", cls.get()) < 0) throw_error();
  } catch (PyError&) {
    g_module = nullptr;
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(g_module);  // kept for the life of the process
  return module;
}
