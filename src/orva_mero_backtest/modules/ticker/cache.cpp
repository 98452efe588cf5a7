// Paths and names of the tick cache files, and the read-or-download of one instrument-day.
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

Ref tick_filename_formatter(const Args&) { raise(PyExc_NotImplementedError, "tick_filename_formatter"); }

Ref auto_fetch_ticks(const Args&) { raise(PyExc_NotImplementedError, "auto_fetch_ticks"); }

}  // namespace orva::ticker
