// Paths and names of the tick cache files, and the read-or-download of one instrument-day.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "console_log.hpp"
#include "ticker.hpp"

namespace orva::ticker {

Ref generate_save_path(const Args& a) {
  Ref os = global(ORVA_NAME("os"));
  Ref path = getattr(os.get(), ORVA_NAME("path"));
  Ref basic_info = global(ORVA_NAME("BASIC_INFO"));
  Ref data_dir = getattr(basic_info.get(), ORVA_NAME("data_dir"));
  // os.path.join(data_dir, *sub_folder)
  Py_ssize_t n = PyTuple_GET_SIZE(a.extra);
  Ref parts = Ref::steal(PyTuple_New(n + 1));
  Py_INCREF(data_dir.get());
  PyTuple_SET_ITEM(parts.get(), 0, data_dir.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(a.extra, i);
    Py_INCREF(item);
    PyTuple_SET_ITEM(parts.get(), i + 1, item);
  }
  Ref join = getattr(path.get(), ORVA_NAME("join"));
  Ref dir_path = Ref::steal(PyObject_Call(join.get(), parts.get(), nullptr));
  Ref make_dir = global(ORVA_NAME("make_dir"));
  call(make_dir.get(), {dir_path.get()});
  if (a[1] == Py_None) return dir_path;
  return call(join.get(), {dir_path.get(), a[1]});
}

namespace {

// What is at a cache file's path, looked at without reading it as CSV.
enum class CacheFile { Whole, Damaged };

// A file written by write_csv ends with a newline; one that does not was cut short mid-row.
// Anything but a regular file (a directory, a FIFO, a device) is refused with OSError: it is
// not the cache's to replace, and a FIFO is opened without blocking.
CacheFile inspect_cache_file(PyObject* file_path) {
  Ref encoded = Ref::steal(PyUnicode_EncodeFSDefault(file_path));
  std::string path(PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(PyBytes_GET_SIZE(encoded.get())));
  int error = 0;
  bool regular = true;
  CacheFile state = CacheFile::Damaged;
  Py_BEGIN_ALLOW_THREADS
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info{};
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = errno;
  } else if (!S_ISREG(info.st_mode)) {
    regular = false;
  } else if (info.st_size > 0) {
    char last = 0;
    if (pread(fd, &last, 1, info.st_size - 1) == 1 && last == '\n') state = CacheFile::Whole;
  }
  if (fd >= 0) close(fd);
  Py_END_ALLOW_THREADS
  if (error) {
    errno = error;
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file_path);
    throw_error();
  }
  if (!regular) {
    Ref message = format("tick cache path {} is not a regular file", {file_path});
    PyErr_SetObject(PyExc_OSError, message.get());
    throw_error();
  }
  return state;
}

}  // namespace

Ref tick_filename_formatter(const Args& a) {
  return Ref::steal(PyUnicode_FromFormat("%U %U - ticks.csv", a[1], a[2]));
}

Ref auto_fetch_ticks(const Args& a) {
  PyObject* self = a.self();
  PyObject* code = a[1];
  PyObject* product_type = a[2];
  PyObject* date = a[3];
  Ref file_name = call_method(self, ORVA_NAME("_Ticker__tick_filename_formatter"), {code, date});
  Ref mero = text("mero");
  Ref ticks_dir = text("ticks");
  Ref file_path =
      call_method(self, ORVA_NAME("_Ticker__generate_save_path"), {file_name.get(), mero.get(), ticks_dir.get()});

  Ref os = global(ORVA_NAME("os"));
  Ref os_path = getattr(os.get(), ORVA_NAME("path"));
  Ref exists = call_method(os_path.get(), ORVA_NAME("exists"), {file_path.get()});
  Ref frame;
  if (truthy(exists.get())) {
    console_print(g_module, format("[green]檔案 {} 已存在, 開始讀取檔案...[/green]", {file_path.get()}));
    Ref pl = global(ORVA_NAME("pl"));
    Ref schema = getattr(self, ORVA_NAME("tick_df_schema"));
    PyObject* schema_kw = ORVA_KWNAMES("schema");
    const CacheFile state = inspect_cache_file(file_path.get());
    try {
      if (state == CacheFile::Damaged) raise(PyExc_ValueError, "the file is empty or its last row is cut short");
      frame = call_method(pl.get(), ORVA_NAME("read_csv"), {file_path.get(), schema.get()}, schema_kw);
    } catch (PyError&) {
      // A file that cannot be read would fail every later run too: fetch the day again,
      // which replaces the file.
      Caught error = Caught::fetch();
      if (!error.is_exception()) {
        error.restore();
        throw;
      }
      console_print(g_module, format("[red]檔案 {} 無法讀取, 錯誤訊息: {}, 重新下載歷史 Tick 資料...[/red]",
                                     {file_path.get(), error.value.get()}));
    }
  } else {
    console_print(g_module, format("[red]檔案 {} 不存在, 開始下載歷史 Tick 資料...[/red]", {file_path.get()}));
  }
  if (!frame)
    frame = call_method(self, ORVA_NAME("fetch_mero_history_ticks"), {code, product_type, date, date});

  Ref pl = global(ORVA_NAME("pl"));
  Ref literal = call_method(pl.get(), ORVA_NAME("lit"), {code});
  Ref code_column = call_method(literal.get(), ORVA_NAME("alias"), {ORVA_NAME("code")});
  return call_method(frame.get(), ORVA_NAME("with_columns"), {code_column.get()});
}

}  // namespace orva::ticker
