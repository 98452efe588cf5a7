// Construction of a Ticker: its attributes, in the order callers see them in vars().
#include "queues.hpp"
#include "ticker.hpp"

namespace orva::ticker {

namespace {

Ref new_queue() {
  Ref queue_mod = global(ORVA_NAME("queue"));
  return call_method(queue_mod.get(), ORVA_NAME("Queue"));
}

// {"ts": pl.Int64, "close": pl.Float64, ...}: a new dict for every instance.
Ref tick_schema() {
  Ref pl = global(ORVA_NAME("pl"));
  Ref int64 = getattr(pl.get(), ORVA_NAME("Int64"));
  Ref float64 = getattr(pl.get(), ORVA_NAME("Float64"));
  Ref schema = Ref::steal(PyDict_New());
  const std::pair<const char*, PyObject*> columns[] = {
      {"ts", int64.get()},         {"close", float64.get()},     {"volume", int64.get()},
      {"bid_price", float64.get()}, {"bid_volume", int64.get()}, {"ask_price", float64.get()},
      {"ask_volume", int64.get()},  {"tick_type", int64.get()},
  };
  for (const auto& [name, dtype] : columns)
    if (PyDict_SetItemString(schema.get(), name, dtype) < 0) throw_error();
  return schema;
}

}  // namespace

Ref init(const Args& a) {
  PyObject* self = a.self();
  setattr(self, ORVA_NAME("api"), a[1]);
  Ref permits = new_queue();
  setattr(self, ORVA_NAME("allow_next_tick_flag_queue"), permits.get());
  queue_put(permits.get(), Py_True);  // the first tick of the first run needs no allow_next_tick
  setattr(self, ORVA_NAME("backfilling_notify_finish_queue"), new_queue().get());
  setattr(self, ORVA_NAME("backfilling_finish_flag"), Py_False);
  setattr(self, ORVA_NAME("exit_send_thread_flag"), Py_False);
  Ref ticks = text("ticks");
  Ref save_path = call_method(self, ORVA_NAME("_Ticker__generate_save_path"), {ticks.get()});
  setattr(self, ORVA_NAME("tick_file_save_path"), save_path.get());
  setattr(self, ORVA_NAME("tick_queue"), new_queue().get());
  setattr(self, ORVA_NAME("code_market_map"), Ref::steal(PyDict_New()).get());
  setattr(self, ORVA_NAME("tick_df_schema"), tick_schema().get());
  setattr(self, ORVA_NAME("current_send_ticks_params"), Ref::steal(PyDict_New()).get());
  return Ref::none();
}

}  // namespace orva::ticker
