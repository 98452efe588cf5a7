#include "rows.hpp"

#include <cstring>

#include "fastpaths.hpp"
#include "seconds.hpp"
#include "ticker.hpp"


namespace orva::ticker {

namespace {

// Values a dict holding them needs no garbage-collector tracking for.
bool atomic(PyObject* v) {
  return v == Py_None || PyFloat_CheckExact(v) || PyLong_CheckExact(v) || PyBool_Check(v);
}

// The frame's columns a tick dict is made of, in the order TickRows::Batch keeps them.
constexpr const char* kColumns[] = {"code",      "ts",         "close",     "volume",    "tick_type",
                                    "bid_price", "bid_volume", "ask_price", "ask_volume"};
constexpr int kColumnCount = 9;
constexpr int kNeeded = 5;  // the quote columns may be missing: their values are then None

// The quote's keys, in the order they follow the eight keys of a tick that carries them.
PyObject* quote_key(int k) {
  // Made at the first use like ORVA_NAME (no C++ guard), looked at for every tick.
  static PyObject* keys[4] = {};
  if (!keys[3]) {
    keys[0] = ORVA_NAME("bid_price");
    keys[1] = ORVA_NAME("bid_volume");
    keys[2] = ORVA_NAME("ask_price");
    keys[3] = ORVA_NAME("ask_volume");
  }
  return keys[k];
}

// Whether a tick's entries (a fresh dict, or the shape it is copied from) are in the order
// build_from_shape fills in place: market_type, timestamp, code, close, qty, tick_type, the two
// flags, then the quote's keys.
bool entries_in_order(PyObject* tick, bool quotes) {
  FreshEntries e;
  if (!e.open(tick, quotes ? 12 : 8)) return false;
  bool fits = e.key(1) == ORVA_NAME("timestamp") && e.key(3) == ORVA_NAME("close") && e.key(4) == ORVA_NAME("qty") &&
              e.key(5) == ORVA_NAME("tick_type");
  for (int k = 0; fits && quotes && k < 4; ++k) fits = e.key(8 + k) == quote_key(k);
  return fits;
}

}  // namespace

bool column_type(const char* format, ColumnChunk::Type& type, int& width) {
  using T = ColumnChunk::Type;
  if (!format) return false;
  if (std::strcmp(format, "vu") == 0) return type = T::Utf8View, width = 0, true;
  if (format[0] == '\0' || format[1] != '\0') return false;
  switch (format[0]) {
    case 'b': type = T::Bool, width = 0; return true;
    case 'c': type = T::Int, width = 1; return true;
    case 's': type = T::Int, width = 2; return true;
    case 'i': type = T::Int, width = 4; return true;
    case 'l': type = T::Int, width = 8; return true;
    case 'C': type = T::UInt, width = 1; return true;
    case 'S': type = T::UInt, width = 2; return true;
    case 'I': type = T::UInt, width = 4; return true;
    case 'L': type = T::UInt, width = 8; return true;
    case 'f': type = T::Float32, width = 4; return true;
    case 'g': type = T::Float64, width = 8; return true;
    case 'u': type = T::Utf8, width = 0; return true;
    case 'U': type = T::LargeUtf8, width = 0; return true;
    default: return false;
  }
}

ColumnChunk::ColumnChunk(const ArrowArray* array, int64_t parent_offset, Type type, int width)
    : a_(array), base_(parent_offset + array->offset), type_(type), width_(width) {}

Ref ColumnChunk::any_value(int64_t row) const {
  const int64_t i = base_ + row;
  if (is_null(i)) return Ref::none();
  const void* data = a_->buffers[1];
  switch (type_) {
    case Type::Bool: {
      auto bits = static_cast<const uint8_t*>(data);
      return py_bool((bits[i >> 3] >> (i & 7)) & 1);
    }
    case Type::Int:
      switch (width_) {
        case 1: return py_long(static_cast<const int8_t*>(data)[i]);
        case 2: return py_long(static_cast<const int16_t*>(data)[i]);
        case 4: return py_long(static_cast<const int32_t*>(data)[i]);
        default: return py_long(static_cast<const int64_t*>(data)[i]);
      }
    case Type::UInt:
      switch (width_) {
        case 1: return py_long(static_cast<const uint8_t*>(data)[i]);
        case 2: return py_long(static_cast<const uint16_t*>(data)[i]);
        case 4: return py_long(static_cast<const uint32_t*>(data)[i]);
        default: return Ref::steal(PyLong_FromUnsignedLongLong(static_cast<const uint64_t*>(data)[i]));
      }
    case Type::Float32: return py_float(static_cast<const float*>(data)[i]);
    case Type::Float64: return py_float(static_cast<const double*>(data)[i]);
    case Type::Utf8:
    case Type::LargeUtf8:
    case Type::Utf8View: {
      std::string_view t;
      text(row, t);
      return Ref::steal(PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
    }
  }
  return Ref::none();
}

TickRows::TickRows(PyObject* df) : seconds_(g_module, ORVA_NAME("format_nano_ts_to_second_ts")) {
  if (!g_module) raise(PyExc_ImportError, "the ticker module is not initialised");
  if (!open_arrow(df)) {
    PyObject* named = ORVA_KWNAMES("named");
    Ref iter_rows = getattr(df, ORVA_NAME("iter_rows"));
    Ref rows = call(iter_rows.get(), {Py_True}, named);
    rows_ = Ref::steal(PyObject_GetIter(rows.get()));
  }
}

TickRows::~TickRows() {
  // Without the GIL (a daemon thread unwound at exit) the buffers are left to the process.
  if (holds_gil()) release_arrow();
}

void TickRows::release_arrow() {
  for (auto& b : batches_)
    if (b->array.release) b->array.release(&b->array);
  batches_.clear();
  if (stream_.release) stream_.release(&stream_);
  stream_.release = nullptr;
}

// Takes the frame's stream and keeps its batches; false (nothing kept) when the frame has no
// stream, lacks one of the columns, or has a column type without a reader here.
bool TickRows::open_arrow(PyObject* df) {
  if (!PyObject_HasAttr(df, ORVA_NAME("__arrow_c_stream__"))) return false;
  Ref capsule = call_method(df, ORVA_NAME("__arrow_c_stream__"));
  auto* exported = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule.get(), "arrow_array_stream"));
  if (!exported) throw_error();
  stream_ = *exported;
  exported->release = nullptr;  // moved: the capsule no longer releases it

  ArrowSchema schema{};
  if (stream_.get_schema(&stream_, &schema) != 0) {
    release_arrow();
    return false;
  }
  int index[kColumnCount];
  ColumnChunk::Type types[kColumnCount];
  int widths[kColumnCount];
  bool usable = std::strcmp(schema.format, "+s") == 0;
  for (int c = 0; usable && c < kColumnCount; ++c) {
    index[c] = -1;
    for (int64_t k = 0; k < schema.n_children; ++k)
      if (schema.children[k]->name && std::strcmp(schema.children[k]->name, kColumns[c]) == 0) {
        index[c] = static_cast<int>(k);
        break;
      }
    if (index[c] < 0 && c >= kNeeded) continue;
    usable = index[c] >= 0 && schema.children[index[c]]->dictionary == nullptr &&
             column_type(schema.children[index[c]]->format, types[c], widths[c]);
  }
  if (schema.release) schema.release(&schema);
  if (!usable) {
    release_arrow();
    return false;
  }
  for (;;) {
    auto batch = std::make_unique<Batch>();
    if (stream_.get_next(&stream_, &batch->array) != 0) {
      const char* why = stream_.get_last_error ? stream_.get_last_error(&stream_) : nullptr;
      std::string message = std::string("reading the tick frame failed: ") + (why ? why : "unknown error");
      release_arrow();
      raise(PyExc_RuntimeError, message);
    }
    if (!batch->array.release) break;  // end of stream
    if (batch->array.length == 0) {
      batch->array.release(&batch->array);
      continue;
    }
    for (int c = 0; c < kColumnCount; ++c)
      if (index[c] >= 0) batch->columns.emplace_back(batch->array.children[index[c]], batch->array.offset, types[c], widths[c]);
    batch->quote_columns = batch->columns.size() == static_cast<size_t>(kColumnCount);
    batch->atomic_values = true;
    for (size_t c = 2; c < batch->columns.size(); ++c)
      if (batch->columns[c].gives_text()) batch->atomic_values = false;
    batches_.push_back(std::move(batch));
  }
  return true;
}

// Adds the row's best quote to `tick` (after its eight keys); None for a quote column the rows lack.
void add_quote(PyObject* tick, const Ref* quote) {
  for (int k = 0; k < 4; ++k) dict_set(tick, quote_key(k), quote[k] ? quote[k].get() : Py_None);
}

Ref TickRows::next(PyObject* self, bool backfilling, InstanceAttrs& attrs, bool quotes) {
  if (rows_) {
    // A row whose tick could not be built stays the next one.
    Ref r = std::move(pending_);
    if (!r) {
      PyObject* row = PyIter_Next(rows_.get());
      if (!row) {
        if (PyErr_Occurred()) throw_error();
        rows_ = Ref();
        return Ref();
      }
      r = Ref::steal(row);
    }
    pending_ = r;
    Ref code = getitem(r.get(), ORVA_NAME("code"));
    Ref ts = getitem(r.get(), ORVA_NAME("ts"));
    Ref close = getitem(r.get(), ORVA_NAME("close"));
    Ref volume = getitem(r.get(), ORVA_NAME("volume"));
    Ref tick_type = getitem(r.get(), ORVA_NAME("tick_type"));
    Ref tick = build(self, attrs, code.get(), ts.get(), close.get(), volume.get(), tick_type.get(), backfilling);
    if (quotes) {
      Ref quote[4];
      for (int k = 0; k < 4; ++k) {
        PyObject* v = PyObject_GetItem(r.get(), quote_key(k));
        if (!v) {
          if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw_error();
          PyErr_Clear();
        }
        quote[k] = Ref::steal(v);
      }
      add_quote(tick.get(), quote);
    }
    pending_ = Ref();
    return tick;
  }
  while (batch_ < batches_.size() && row_ >= batches_[batch_]->array.length) {
    // A batch is given back as soon as its rows are used.
    auto& done = batches_[batch_];
    if (done->array.release) done->array.release(&done->array);
    done->array.release = nullptr;
    ++batch_;
    row_ = 0;
  }
  if (batch_ >= batches_.size()) return Ref();
  const Batch& batch = *batches_[batch_];
  const auto& cols = batch.columns;
  // The row counts as used only once its tick is built: a failed one stays the next one.
  const int64_t i = row_;
  std::string_view code_text;
  long long ts_raw;
  const bool raw_ts = cols[1].int64(i, ts_raw);
  Ref ts = raw_ts ? Ref() : cols[1].value(i);
  Ref close = cols[2].value(i);
  Ref volume = cols[3].value(i);
  Ref tick_type = cols[4].value(i);
  Ref quote[4];
  if (quotes && batch.quote_columns)
    for (int k = 0; k < 4; ++k) quote[k] = cols[5 + k].value(i);
  Ref tick;
  if (cols[0].text(i, code_text)) {
    tick = build_from_shape(self, attrs, instrument(code_text), ts.get(), raw_ts ? &ts_raw : nullptr, close, volume,
                            tick_type, backfilling, quotes ? quote : nullptr, batch.atomic_values);
  } else {
    Ref code = cols[0].value(i);
    if (raw_ts) ts = py_long(ts_raw);
    tick = build(self, attrs, code.get(), ts.get(), close.get(), volume.get(), tick_type.get(), backfilling);
    if (quotes) add_quote(tick.get(), quote);
  }
  ++row_;
  return tick;
}

TickRows::Instrument& TickRows::instrument(std::string_view text) {
  if (last_ && last_->text.size() == text.size() && std::memcmp(last_->text.data(), text.data(), text.size()) == 0)
    return *last_;
  Instrument& found = find_instrument(text);
  last_ = &found;
  return found;
}

TickRows::Instrument& TickRows::find_instrument(std::string_view text) {
  if (text.size() > 15) {
    auto it = by_text_.find(text);
    return it != by_text_.end() ? *it->second : make_instrument(text);
  }
  char bytes[16] = {};
  bytes[0] = static_cast<char>(text.size());
  std::memcpy(bytes + 1, text.data(), text.size());
  ShortKey key;
  std::memcpy(&key.a, bytes, 8);
  std::memcpy(&key.b, bytes + 8, 8);
  Instrument*& slot = short_slot(key);
  if (!slot) {
    slot = &make_instrument(text);
    if (++short_count_ * 2 > short_.size()) {  // grow: half full at most
      std::vector<ShortSlot> old(short_.size() * 2);
      old.swap(short_);
      for (const ShortSlot& e : old)
        if (e.ins) short_slot(e.key) = e.ins;
      return *short_slot(key);
    }
  }
  return *slot;
}

// The slot of `key` in short_: its entry, or the empty one where it goes.
TickRows::Instrument*& TickRows::short_slot(const ShortKey& key) {
  if (short_.empty()) short_.resize(64);
  const size_t mask = short_.size() - 1;
  // The top bits of a multiplicative hash: each depends on every byte of the code.
  const uint64_t h = ((key.b * 0xC2B2AE3D27D4EB4FULL) ^ key.a) * 0x9E3779B97F4A7C15ULL;
  size_t i = static_cast<size_t>(h >> (64 - __builtin_ctzll(short_.size())));
  for (;; ++i) {
    ShortSlot& e = short_[i & mask];
    if (!e.ins) {
      e.key = key;
      return e.ins;
    }
    if (e.key == key) return e.ins;
  }
}

TickRows::Instrument& TickRows::make_instrument(std::string_view text) {
  auto made = std::make_unique<Instrument>();
  made->text.assign(text.data(), text.size());
  made->code = Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr));
  Instrument* ins = made.get();
  instruments_.push_back(std::move(made));
  if (text.size() > 15) by_text_.emplace(std::string_view(ins->text), ins);
  return *ins;
}

// self.code_market_map[code], read for every row (the map may change while ticks stream). With
// the fast paths on, an exact dict unchanged since `ins`'s market was found in it (its version tag,
// or its dict watcher's word) gives that market again without the look-up.
Ref TickRows::market_of(PyObject* self, InstanceAttrs& attrs, PyObject* code, Instrument* ins) {
  Ref markets = attrs.get(self, InstanceAttrs::CodeMarketMap, ORVA_NAME("code_market_map"));
  if (!PyDict_CheckExact(markets.get())) return getitem(markets.get(), code);
  if (ins && ins->known_market && ins->map_guard.unchanged(markets.get())) return ins->known_market;
  // Marked before the look-up: a change made while it runs is seen next time.
  PlainDictGuard seen;
  if (ins) seen.mark(markets.get());
  PyObject* m = PyDict_GetItemWithError(markets.get(), code);
  if (!m) {
    if (!PyErr_Occurred()) {
      Ref key = Ref::steal(PyTuple_Pack(1, code));
      PyErr_SetObject(PyExc_KeyError, key.get());
    }
    throw_error();
  }
  Ref market = Ref::borrow(m);
  if (ins) {
    ins->known_market = market;
    ins->map_guard = seen;
  }
  return market;
}

// The tick dict with its keys in the order callers see them.
static Ref make_tick(PyObject* market, PyObject* timestamp, PyObject* code, PyObject* close, PyObject* volume,
              PyObject* tick_type, bool backfilling) {
  Ref tick = Ref::steal(PyDict_New());
  dict_set(tick.get(), ORVA_NAME("market_type"), market);
  dict_set(tick.get(), ORVA_NAME("timestamp"), timestamp);
  dict_set(tick.get(), ORVA_NAME("code"), code);
  dict_set(tick.get(), ORVA_NAME("close"), close);
  dict_set(tick.get(), ORVA_NAME("qty"), volume);
  dict_set(tick.get(), ORVA_NAME("tick_type"), tick_type);
  dict_set(tick.get(), ORVA_NAME("is_simulate"), Py_False);
  dict_set(tick.get(), ORVA_NAME("is_backfilling"), backfilling ? Py_True : Py_False);
  return tick;
}

Ref TickRows::build(PyObject* self, InstanceAttrs& attrs, PyObject* code, PyObject* ts, PyObject* close, PyObject* volume,
                    PyObject* tick_type, bool backfilling) {
  // Evaluated in the order of the dict's keys, so a failure is the one the named row would give.
  Ref market = market_of(self, attrs, code);
  Ref timestamp = seconds_(ts, 8);
  return make_tick(market.get(), timestamp.get(), code, close, volume, tick_type, backfilling);
}

Ref TickRows::build_from_shape(PyObject* self, InstanceAttrs& attrs, Instrument& ins, PyObject* ts, const long long* ts_raw,
                               Ref& close_ref, Ref& volume_ref, Ref& tick_type_ref, bool backfilling,
                               Ref* quote, bool atomic_values) {
  PyObject *close = close_ref.get(), *volume = volume_ref.get(), *tick_type = tick_type_ref.get();
  const bool quotes = quote != nullptr;
  // The market of the ticks before when code_market_map is unchanged: held by `ins` (the timestamp
  // helper below cannot replace it), else looked up and held here.
  Ref market_held;
  PyObject* market = nullptr;
  PyObject* markets = attrs.peek(self, InstanceAttrs::CodeMarketMap, ORVA_NAME("code_market_map"));
  if (markets && PyDict_CheckExact(markets) && ins.known_market && ins.map_guard.unchanged(markets))
    market = ins.known_market.get();
  if (!market) {
    market_held = market_of(self, attrs, ins.code.get(), &ins);
    market = market_held.get();
  }
  Ref timestamp = ts_raw ? seconds_(*ts_raw, 8) : seconds_(ts, 8);
  Ref& shape = ins.shape[backfilling];
  if (!shape || ins.market[backfilling].get() != market || ins.shape_quotes[backfilling] != quotes) {
    shape = make_tick(market, Py_None, ins.code.get(), Py_None, Py_None, Py_None, backfilling);
    // With the quote keys already in the shape, its copies take the row's quote in place: four new
    // keys on each copy would grow its table on every tick.
    if (quotes)
      for (int k = 0; k < 4; ++k) dict_set(shape.get(), quote_key(k), Py_None);
    ins.market[backfilling] = Ref::borrow(market);
    ins.shape_quotes[backfilling] = quotes;
    // A copy of a dict with no deleted entry keeps its entries in the same order: checked once here.
    ins.shape_fits[backfilling] = entries_in_order(shape.get(), quotes);
  }
  Ref tick = Ref::steal(PyDict_Copy(shape.get()));
  // The copy is new and seen by nobody yet: its row values are written into its entries (a
  // placeholder None each) without a look-up per key. Only atomic values: the copy stays untracked.
  FreshEntries e;
  if (ins.shape_fits[backfilling] && (atomic_values || (atomic(close) && atomic(volume) && atomic(tick_type))) &&
      atomic(timestamp.get()) && e.open(tick.get(), quotes ? 12 : 8)) {
    bool fits = true;
    for (int k = 0; !atomic_values && quotes && k < 4; ++k) fits = fits && (!quote[k] || atomic(quote[k].get()));
    if (fits) {
      // Each value goes to the tick: no new reference to take here and none to drop after.
      e.put(1, timestamp.release());
      e.put(3, close_ref.release());
      e.put(4, volume_ref.release());
      e.put(5, tick_type_ref.release());
      if (quotes)
        for (int k = 0; k < 4; ++k) {
          if (quote[k])
            e.put(8 + k, quote[k].release());
          else
            e.set(8 + k, Py_None);
        }
      return tick;
    }
  }
  dict_set(tick.get(), ORVA_NAME("timestamp"), timestamp.get());
  dict_set(tick.get(), ORVA_NAME("close"), close);
  dict_set(tick.get(), ORVA_NAME("qty"), volume);
  dict_set(tick.get(), ORVA_NAME("tick_type"), tick_type);
  if (quotes) add_quote(tick.get(), quote);
  return tick;
}

}  // namespace orva::ticker
