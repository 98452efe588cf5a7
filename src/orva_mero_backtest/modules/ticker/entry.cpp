// The module as Python sees it: the names bound at load and the class Ticker.
#include "ticker.hpp"

namespace orva::ticker {

PyObject* g_module = nullptr;

namespace {

void bind(const char* module, const char* name, const char* alias = nullptr) {
  import_into(g_module, module, name, alias);
}

void bind_names() {
  // First: importing it points the broker SDK's log into the data directory before the SDK loads.
  Ref::steal(PyImport_ImportModule("orva_mero_backtest.utils"));
  bind("json", nullptr);
  bind("os", nullptr);
  bind("polars", nullptr, "pl");
  bind("queue", nullptr);
  bind("shioaji", nullptr, "sj");
  bind("time", nullptr);
  bind("traceback", nullptr);
  bind("datetime", nullptr, "dt");
  bind("datetime", "timedelta");
  bind("threading", "Thread");
  bind("typing", "Dict");
  bind("typing", "List");
  bind("typing", "Literal");
  bind("orva_mero_backtest.constant", "BASIC_INFO");
  bind("orva_mero_backtest.constant", "FLAG");
  for (const char* name : {"console", "format_to_dt", "format_nano_ts_to_second_ts", "logger", "make_dir"})
    bind("orva_mero_backtest.utils", name);
}

std::vector<Method> methods() {
  auto none = [] { return Ref::none(); };
  return {
      {"__init__", init, {{"mero_api"}}},
      {"__generate_save_path", generate_save_path, {{"file_name", Kind::Str, none()}}, true},
      {"__make_mero_contract_object", make_contract_object, {{"code", Kind::Str}, {"market_type", Kind::Str}}},
      {"__tick_filename_formatter", tick_filename_formatter, {{"code", Kind::Str}, {"date", Kind::Str}}},
      {"__auto_fetch_ticks",
       auto_fetch_ticks,
       {{"code", Kind::Str}, {"product_type", Kind::Str}, {"date", Kind::Str}}},
      {"fetch_mero_history_ticks",
       fetch_history_ticks,
       {{"code", Kind::Str}, {"product_type"}, {"start_from", Kind::Str}, {"end_to", Kind::Str}}},
      {"__process_and_combine_ticks",
       process_and_combine_ticks,
       {{"codes", Kind::List}, {"start_from", Kind::Str}, {"end_to", Kind::Str}}},
      {"__notify_backfilling_finish", notify_backfilling_finish, {}},
      {"get_ticks_df",
       get_ticks_df,
       {{"code", Kind::Str}, {"market_type"}, {"start_from", Kind::Str}, {"end_to", Kind::Str}}},
      {"send_ticks",
       send_ticks,
       {{"codes", Kind::List},
        {"start_from", Kind::Str},
        {"end_to", Kind::Str},
        {"backfilling_start_from", Kind::Str, none()},
        {"backfilling_end_to", Kind::Str, none()}}},
      {"backfilling",
       backfilling,
       {{"codes", Kind::List}, {"start_from", Kind::Str, none()}, {"end_to", Kind::Str, none()}}},
      {"__push_tick_to_queue", push_tick_to_queue, {{"df"}}},
      {"pop_tick", pop_tick, {}},
      {"allow_next_tick", allow_next_tick, {}},
      {"stop_send_ticks", stop_send_ticks, {}},
  };
}

PyMethodDef module_functions[] = {
    {"stream_error", stream_error, METH_O,
     "stream_error(ticker)\n--\n\n"
     "The exception that ended the ticker's latest streaming run early, or None.\n\n"
     "A run whose sender or backfill fails (a damaged cached row, a download that keeps failing)\n"
     "still ends with the usual exit status on tick_queue; call this after receiving it to tell\n"
     "a complete run from one cut short. Reset by every send_ticks."},
    {"backfill_error", backfill_error, METH_O,
     "backfill_error(ticker)\n--\n\n"
     "The exception that cut the latest run's backfill short, or None.\n\n"
     "A failed backfill still announces its end and the main range streams after it (the ticks\n"
     "it put stay); call this once the finish status (or the first main tick) arrives to tell a\n"
     "complete warm-up from a partial one. Reset by every send_ticks."},
    {"end_feed", end_feed, METH_O,
     "end_feed(ticker)\n--\n\n"
     "Ends the ticker's latest streaming run for good: its sender and backfill threads put nothing\n"
     "more, hand back a permit they hold, and end (join them with feed_threads). For a consumer\n"
     "that stops reading before the exit status (its strategy failed, Ctrl-C) and will not call\n"
     "allow_next_tick again; stop_send_ticks alone leaves a sender waiting for one more permit."},
    {"feed_threads", feed_threads, METH_O,
     "feed_threads(ticker)\n--\n\n"
     "The threads the ticker's latest send_ticks started (the sender, and the backfill when there is\n"
     "one), as a new list; empty before the first. Join them to wait until the run's last line is\n"
     "printed."},
    {"take_next_tick", take_next_tick, METH_O,
     "take_next_tick(ticker)\n--\n\n"
     "ticker.allow_next_tick(), then the next item of tick_queue if one is there now (else None).\n\n"
     "For the only consumer of tick_queue: a tick the permit releases is handed over without\n"
     "passing through the queue when the queue is empty and no thread waits on it."},
    {"quote_ticks", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(quote_ticks)), METH_FASTCALL,
     "quote_ticks(ticker, on)\n--\n\n"
     "Whether the ticks the ticker builds from now on also carry their row's best quote: the keys\n"
     "bid_price, bid_volume, ask_price and ask_volume after the usual eight (None where the rows\n"
     "have no such column). Off for a new Ticker."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "ticker",
                          "Historical tick feed: cache, combination, paced streaming.\n\n"
                          "Ticker(api) streams ticks one per permit (allow_next_tick) onto tick_queue, ending\n"
                          "with the exit status; stream_error(ticker) then tells whether the run ended early\n"
                          "because of a failure (the exception) or completed (None).",
                          -1, module_functions};

}  // namespace

}  // namespace orva::ticker

PyMODINIT_FUNC PyInit_ticker() {
  using namespace orva;
  using namespace orva::ticker;
  PyObject* module = PyModule_Create(&module_def);
  if (!module) return nullptr;
  g_module = module;  // the names are bound into it while it is made
  try {
    bind_names();
    // Seconds between attempts at a failing day; read when used, so tests and users can change it.
    if (PyModule_AddObjectRef(module, "RETRY_PAUSE_SECONDS", py_float(1.0).get()) < 0) throw_error();
    Ref cls = make_class(module, "Ticker", methods());
    if (PyModule_AddObjectRef(module, "Ticker", cls.get()) < 0) throw_error();
  } catch (PyError&) {
    g_module = nullptr;  // never left pointing at a module that is released here
    Py_DECREF(module);
    return nullptr;
  }
  Py_INCREF(module);  // kept for the life of the process
  return module;
}
