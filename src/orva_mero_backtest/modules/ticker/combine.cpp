// Combination of several instruments over a range of days into one time-ordered frame.
#include <vector>

#include "console_log.hpp"
#include "ticker.hpp"

namespace orva::ticker {

namespace {

// A day that keeps failing is given up after this many attempts and its error is raised.
constexpr int kMaxAttempts = 3;

// Waits RETRY_PAUSE_SECONDS (read from the module now, so it can be changed at run time).
void pause_before_retry() {
  Ref seconds = global(ORVA_NAME("RETRY_PAUSE_SECONDS"));
  if (!truthy(seconds.get())) return;
  Ref time_mod = global(ORVA_NAME("time"));
  call_method(time_mod.get(), ORVA_NAME("sleep"), {seconds.get()});
}

// Records the first market given for `code`; safe against a concurrent combination
// (setdefault is one step under the GIL).
void remember_market(PyObject* self, PyObject* code, PyObject* market) {
  Ref map = getattr(self, ORVA_NAME("code_market_map"));
  if (PyDict_CheckExact(map.get())) {
    if (!PyDict_SetDefault(map.get(), code, market)) throw_error();
    return;
  }
  int known = PySequence_Contains(map.get(), code);
  if (known < 0) throw_error();
  if (!known && PyObject_SetItem(map.get(), code, market) < 0) throw_error();
}

// The rows of one instrument over the days first..last, day frames with rows appended to `frames`.
void fetch_instrument(PyObject* self, PyObject* code, PyObject* market, PyObject* first, PyObject* last,
                      PyObject* one_day, std::vector<Ref>& frames) {
  Ref day_format = text("%Y-%m-%d");
  Ref current = Ref::borrow(first);
  int attempts = 0;
  for (;;) {
    int more = PyObject_RichCompareBool(current.get(), last, Py_LE);
    if (more < 0) throw_error();
    if (!more) return;
    Ref day = call_method(current.get(), ORVA_NAME("strftime"), {day_format.get()});
    console_print(g_module, format("[yellow]正在取得 {} {} 的 Tick 資料...[/yellow]", {code, day.get()}));
    try {
      Ref df = call_method(self, ORVA_NAME("_Ticker__auto_fetch_ticks"), {code, market, day.get()});
      Ref height = getattr(df.get(), ORVA_NAME("height"));
      if (truthy(height.get())) frames.push_back(df);
      current = Ref::steal(PyNumber_Add(current.get(), one_day));
      attempts = 0;
    } catch (PyError&) {
      Caught error = Caught::fetch();
      if (!error.is_exception()) {
        error.restore();
        throw;
      }
      Ref data = Ref::steal(PyDict_New());
      dict_set(data.get(), ORVA_NAME("code"), code);
      Ref stamp = call_method(current.get(), ORVA_NAME("timestamp"));
      dict_set(data.get(), ORVA_NAME("date"), stamp.get());
      log_error(g_module, error, data.get());
      console_print(g_module, format("[red]下載 {} {} 的 Tick 資料失敗, 錯誤訊息: {}[/red]",
                                     {code, day.get(), error.value.get()}));
      if (++attempts >= kMaxAttempts) {
        error.restore();
        throw;
      }
      pause_before_retry();
    }
  }
}

}  // namespace

Ref process_and_combine_ticks(const Args& a) {
  PyObject* self = a.self();
  PyObject* codes = a[1];
  Ref format_to_dt = global(ORVA_NAME("format_to_dt"));
  Ref first = call(format_to_dt.get(), {a[2]});
  Ref last = call(format_to_dt.get(), {a[3]});
  Ref timedelta = global(ORVA_NAME("timedelta"));
  Ref days = py_long(1);
  PyObject* days_kw = ORVA_KWNAMES("days");
  Ref one_day = call(timedelta.get(), {days.get()}, days_kw);

  std::vector<Ref> frames;
  // By index: the list is the caller's and may change while a day downloads.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(codes); ++i) {
    Ref entry = Ref::borrow(PyList_GET_ITEM(codes, i));
    Ref code = getitem(entry.get(), ORVA_NAME("code"));
    Ref market = getitem(entry.get(), ORVA_NAME("market"));
    remember_market(self, code.get(), market.get());
    fetch_instrument(self, code.get(), market.get(), first.get(), last.get(), one_day.get(), frames);
  }

  Ref pl = global(ORVA_NAME("pl"));
  Ref schema = getattr(self, ORVA_NAME("tick_df_schema"));
  if (frames.empty()) {
    Ref full = Ref::steal(PyDict_New());
    if (PyDict_Update(full.get(), schema.get()) < 0) throw_error();
    Ref string_type = getattr(pl.get(), ORVA_NAME("String"));
    dict_set(full.get(), ORVA_NAME("code"), string_type.get());
    Ref frame_cls = getattr(pl.get(), ORVA_NAME("DataFrame"));
    PyObject* schema_kw = ORVA_KWNAMES("schema");
    return call(frame_cls.get(), {full.get()}, schema_kw);
  }
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(frames.size())));
  for (size_t i = 0; i < frames.size(); ++i) PyList_SET_ITEM(list.get(), i, frames[i].release());
  frames.clear();
  Ref combined = call_method(pl.get(), ORVA_NAME("concat"), {list.get()});
  list = Ref();
  // Stable, so rows equal in time and code keep their file order and runs are reproducible.
  Ref keys = list_of({ORVA_NAME("ts"), ORVA_NAME("code")});
  PyObject* sort_kw = ORVA_KWNAMES("maintain_order");
  return call_method(combined.get(), ORVA_NAME("sort"), {keys.get(), Py_True}, sort_kw);
}

Ref get_ticks_df(const Args& a) {
  Ref entry = Ref::steal(PyDict_New());
  dict_set(entry.get(), ORVA_NAME("code"), a[1]);
  dict_set(entry.get(), ORVA_NAME("market"), a[2]);
  Ref codes = list_of({entry.get()});
  return call_method(a.self(), ORVA_NAME("_Ticker__process_and_combine_ticks"), {codes.get(), a[3], a[4]});
}

}  // namespace orva::ticker
