// The broker side of the tick feed: contract lookup and the day-by-day history download
// that fills the cache.
#include <unistd.h>

#include <string>

#include "console_log.hpp"
#include "ticker.hpp"

namespace orva::ticker {

namespace {

// The broker's answer as a new plain dict, with the error Python gives for f(**answer).
Ref copy_answer(PyObject* answer) {
  if (PyDict_Check(answer)) return Ref::steal(PyDict_Copy(answer));
  int has_keys = PyObject_HasAttr(answer, ORVA_NAME("keys"));
  if (!has_keys)
    raise(PyExc_TypeError, std::string("argument after ** must be a mapping, not ") + Py_TYPE(answer)->tp_name);
  Ref copy = Ref::steal(PyDict_New());
  if (PyDict_Merge(copy.get(), answer, 1) < 0) throw_error();
  return copy;
}

// Writes `df` to `file_path` through a temporary file in the same directory, so a crash or a
// concurrent writer never leaves a partial file under the cache name.
void write_atomically(PyObject* df, PyObject* file_path) {
  Ref os = global(ORVA_NAME("os"));
  // Unique per process and thread: the backfill and main combinations may write the same day.
  Ref tmp_path = Ref::steal(PyUnicode_FromFormat("%U.%ld.%lu.tmp", file_path, static_cast<long>(getpid()),
                                                 PyThread_get_thread_ident()));
  try {
    call_method(df, ORVA_NAME("write_csv"), {tmp_path.get()});
    call_method(os.get(), ORVA_NAME("replace"), {tmp_path.get(), file_path});
  } catch (PyError&) {
    // Leave no temporary file behind; the write's own error is the one to report.
    Caught error = Caught::fetch();
    Py_XDECREF(PyObject_CallMethodOneArg(os.get(), ORVA_NAME("remove"), tmp_path.get()));
    PyErr_Clear();
    error.restore();
    throw;
  }
}

}  // namespace

Ref make_contract_object(const Args& a) {
  Ref api = getattr(a.self(), ORVA_NAME("api"));
  Ref contracts = getattr(api.get(), ORVA_NAME("Contracts"));
  bool stock = PyUnicode_CompareWithASCIIString(a[2], "Stock") == 0;
  Ref container = getattr(contracts.get(), stock ? ORVA_NAME("Stocks") : ORVA_NAME("Futures"));
  return getitem(container.get(), a[1]);
}

Ref fetch_history_ticks(const Args& a) {
  PyObject* self = a.self();
  PyObject* code = a[1];
  Ref dt = global(ORVA_NAME("dt"));
  Ref datetime_cls = getattr(dt.get(), ORVA_NAME("datetime"));
  Ref now = call_method(datetime_cls.get(), ORVA_NAME("now"));
  Ref current_date = call_method(now.get(), ORVA_NAME("date"));

  Ref format_to_dt = global(ORVA_NAME("format_to_dt"));
  Ref first = call(format_to_dt.get(), {a[3]});
  Ref date = call_method(first.get(), ORVA_NAME("date"));
  Ref last = call(format_to_dt.get(), {a[4]});
  Ref end_date = call_method(last.get(), ORVA_NAME("date"));

  Ref contract = call_method(self, ORVA_NAME("_Ticker__make_mero_contract_object"), {code, a[2]});

  Ref pl = global(ORVA_NAME("pl"));
  Ref schema = getattr(self, ORVA_NAME("tick_df_schema"));
  PyObject* schema_kw = ORVA_KWNAMES("schema");
  Ref frame_cls = getattr(pl.get(), ORVA_NAME("DataFrame"));
  Ref all_df = call(frame_cls.get(), {schema.get()}, schema_kw);

  PyObject* ticks_kw = ORVA_KWNAMES("contract", "date");
  Ref day_format = text("%Y-%m-%d");
  Ref mero = text("mero");
  Ref ticks_dir = text("ticks");
  Ref one_day;
  for (;;) {
    int more = PyObject_RichCompareBool(date.get(), end_date.get(), Py_LE);
    if (more < 0) throw_error();
    if (!more) break;
    Ref day = call_method(date.get(), ORVA_NAME("strftime"), {day_format.get()});
    Ref api = getattr(self, ORVA_NAME("api"));
    Ref answer = call_method(api.get(), ORVA_NAME("ticks"), {contract.get(), day.get()}, ticks_kw);
    Ref columns = copy_answer(answer.get());
    // An answer without columns is a day without ticks; keep the schema so its file reads back.
    Ref df = PyDict_GET_SIZE(columns.get()) == 0 ? call(frame_cls.get(), {schema.get()}, schema_kw)
                                                 : call(frame_cls.get(), {columns.get()});
    Ref height = getattr(df.get(), ORVA_NAME("height"));
    // A day without ticks is cached with the schema's header whatever columns the answer named,
    // so that it reads back (and is not downloaded again on every run).
    if (!truthy(height.get())) df = call(frame_cls.get(), {schema.get()}, schema_kw);
    else {
      Ref pair = list_of({all_df.get(), df.get()});
      all_df = call_method(pl.get(), ORVA_NAME("concat"), {pair.get()});
    }
    int past = PyObject_RichCompareBool(date.get(), current_date.get(), Py_LT);
    if (past < 0) throw_error();
    if (past) {
      Ref file_name = call_method(self, ORVA_NAME("_Ticker__tick_filename_formatter"), {code, day.get()});
      Ref file_path =
          call_method(self, ORVA_NAME("_Ticker__generate_save_path"), {file_name.get(), mero.get(), ticks_dir.get()});
      write_atomically(df.get(), file_path.get());
      console_print(g_module, format("[green]下載 {} {} 的 Tick 資料成功, 儲存於 {}[/green]",
                                     {code, day.get(), file_path.get()}));
    }
    if (!one_day) {
      Ref timedelta = global(ORVA_NAME("timedelta"));
      Ref days = py_long(1);
      PyObject* days_kw = ORVA_KWNAMES("days");
      one_day = call(timedelta.get(), {days.get()}, days_kw);
    }
    date = Ref::steal(PyNumber_Add(date.get(), one_day.get()));
  }
  return all_df;
}

}  // namespace orva::ticker
