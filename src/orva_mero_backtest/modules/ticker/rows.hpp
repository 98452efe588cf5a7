// Rows of a combined tick frame turned into tick dicts one at a time.
//
// A polars frame is read through the Arrow C stream interface (`__arrow_c_stream__`): the
// column buffers are kept as exported and each tick dict is built from them only when it is
// asked for. Frames that cannot be read that way (other objects, column types without a
// reader here) are walked with `iter_rows(named=True)` instead, with the same results.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "attrs.hpp"
#include "pyref.hpp"
#include "seconds.hpp"

namespace orva::ticker {

// The Arrow C data interface structs (a stable ABI).
struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  int64_t flags;
  int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  int64_t length;
  int64_t null_count;
  int64_t offset;
  int64_t n_buffers;
  int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

// One column of one batch, ready to give the Python value of a row (None when null).
class ColumnChunk {
 public:
  enum class Type { Bool, Int, UInt, Float32, Float64, Utf8, LargeUtf8, Utf8View };
  ColumnChunk(const ArrowArray* array, int64_t parent_offset, Type type, int width);
  Ref value(int64_t row) const;  // read for every row: the common types inline, below
  // Whether value() gives str objects (which a dict needs the collector's tracking for).
  bool gives_text() const { return type_ == Type::Utf8 || type_ == Type::LargeUtf8 || type_ == Type::Utf8View; }
  // The UTF-8 bytes of a string column's row; false when the row is null or the column holds no text.
  bool text(int64_t row, std::string_view& out) const;
  // A 64-bit integer column's row; false when null or of another type.
  bool int64(int64_t row, long long& out) const;

 private:
  bool is_null(int64_t i) const;
  Ref any_value(int64_t row) const;
  const ArrowArray* a_;
  int64_t base_;  // parent offset plus the child's own
  Type type_;
  int width_;  // bytes of an integer value
};

// Read for every row: defined here to be inlined.
inline bool ColumnChunk::is_null(int64_t i) const {
  if (a_->null_count == 0) return false;
  auto validity = static_cast<const uint8_t*>(a_->buffers[0]);
  if (!validity) return false;
  return !((validity[i >> 3] >> (i & 7)) & 1);
}

inline Ref ColumnChunk::value(int64_t row) const {
  const int64_t i = base_ + row;
  if (a_->null_count == 0) {
    if (type_ == Type::Float64) return py_float(static_cast<const double*>(a_->buffers[1])[i]);
    if (type_ == Type::Int && width_ == 8) return py_long(static_cast<const int64_t*>(a_->buffers[1])[i]);
  }
  return any_value(row);
}

// Row i of a string array whose offsets are of type Offset (int32 for Utf8, int64 for LargeUtf8).
template <class Offset>
std::string_view offset_text(const ArrowArray* a, int64_t i) {
  auto offsets = static_cast<const Offset*>(a->buffers[1]);
  auto chars = static_cast<const char*>(a->buffers[2]);
  return std::string_view(chars + offsets[i], static_cast<size_t>(offsets[i + 1] - offsets[i]));
}

inline bool ColumnChunk::text(int64_t row, std::string_view& out) const {
  const int64_t i = base_ + row;
  const void* data = a_->buffers[1];
  switch (type_) {
    case Type::Utf8:
      if (is_null(i)) return false;
      out = offset_text<int32_t>(a_, i);
      return true;
    case Type::LargeUtf8:
      if (is_null(i)) return false;
      out = offset_text<int64_t>(a_, i);
      return true;
    case Type::Utf8View: {
      if (is_null(i)) return false;
      // 16-byte views: length, then the text inline (<= 12 bytes) or prefix, buffer index, offset.
      auto view = static_cast<const uint8_t*>(data) + 16 * i;
      int32_t len;
      std::memcpy(&len, view, 4);
      if (len <= 12) {
        out = std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<size_t>(len));
        return true;
      }
      int32_t buffer, offset;
      std::memcpy(&buffer, view + 8, 4);
      std::memcpy(&offset, view + 12, 4);
      out = std::string_view(static_cast<const char*>(a_->buffers[2 + buffer]) + offset, static_cast<size_t>(len));
      return true;
    }
    default:
      return false;
  }
}

inline bool ColumnChunk::int64(int64_t row, long long& out) const {
  const int64_t i = base_ + row;
  if (type_ != Type::Int || width_ != 8 || is_null(i)) return false;
  out = static_cast<const int64_t*>(a_->buffers[1])[i];
  return true;
}

// Which reader a format string needs; false when there is none.
bool column_type(const char* format, ColumnChunk::Type& type, int& width);

// Tick dicts from the rows of a frame, in frame order.
class TickRows {
 public:
  // Reads `df` (a polars DataFrame, or anything with iter_rows(named=True)).
  explicit TickRows(PyObject* df);
  ~TickRows();
  TickRows(const TickRows&) = delete;
  TickRows& operator=(const TickRows&) = delete;

  // The next row's tick dict, or an empty Ref when the rows are exhausted. Raises as the
  // named-row generator would (KeyError for an unknown code or a missing column, errors of
  // format_nano_ts_to_second_ts); a row that raised is not used up.
  // `attrs` reads self.code_market_map.
  // `quotes`: the tick also carries the row's bid_price, bid_volume, ask_price and ask_volume.
  Ref next(PyObject* self, bool backfilling, InstanceAttrs& attrs, bool quotes = false);

 private:
  struct Batch {
    ArrowArray array;
    std::vector<ColumnChunk> columns;  // code, ts, close, volume, tick_type[, the four quote columns]
    bool quote_columns = false;
    bool atomic_values = false;  // close, volume, tick_type and the quotes are never str
  };
  // What the ticks of one code share: its str (one object for all its ticks) and, per value of
  // is_backfilling, a tick dict holding the values that stay the same (market_type, code and the two
  // flags) for as long as code_market_map gives the same market object. A tick is a copy of it with
  // the row's values set: the keys keep their order and their cached hashes.
  struct Instrument {
    std::string text;
    Ref code;
    Ref market[2];
    Ref shape[2];
    bool shape_quotes[2] = {false, false};  // the shape holds the four quote keys too
    bool shape_fits[2] = {false, false};    // its entries are in the order build_from_shape fills
    // The market code_market_map gave last (fast paths).
    Ref known_market;
    PlainDictGuard map_guard;  // code_market_map as it was when known_market was found in it
  };
  // Short codes (up to 15 bytes) as two words: their length and bytes, zero-padded.
  struct ShortKey {
    uint64_t a = 0, b = 0;
    bool operator==(const ShortKey& o) const { return a == o.a && b == o.b; }
  };
  struct ShortSlot {
    ShortKey key;
    Instrument* ins = nullptr;
  };
  bool open_arrow(PyObject* df);
  void release_arrow();
  Instrument& instrument(std::string_view text);
  Instrument& find_instrument(std::string_view text);
  Instrument& make_instrument(std::string_view text);
  Instrument*& short_slot(const ShortKey& key);
  Ref market_of(PyObject* self, InstanceAttrs& attrs, PyObject* code, Instrument* ins = nullptr);
  Ref timestamp(PyObject* ts_value, const long long* ts_raw);
  Ref build(PyObject* self, InstanceAttrs& attrs, PyObject* code, PyObject* ts, PyObject* close, PyObject* volume, PyObject* tick_type,
            bool backfilling);
  // The row's values are given up to the tick (moved into it, or left to the caller when copied).
  Ref build_from_shape(PyObject* self, InstanceAttrs& attrs, Instrument& ins, PyObject* ts, const long long* ts_raw, Ref& close,
                       Ref& volume, Ref& tick_type, bool backfilling, Ref* quote, bool atomic_values);

  ArrowArrayStream stream_{};
  std::vector<std::unique_ptr<Batch>> batches_;
  size_t batch_ = 0;
  int64_t row_ = 0;
  std::vector<std::unique_ptr<Instrument>> instruments_;
  std::unordered_map<std::string_view, Instrument*> by_text_;  // longer codes, views of Instrument::text
  std::vector<ShortSlot> short_;                               // open addressing, a power of two long
  size_t short_count_ = 0;
  Instrument* last_ = nullptr;                                 // the code of the row before (rows of one code often follow)
  SecondsBinding seconds_;                                     // format_nano_ts_to_second_ts
  Ref rows_;                                    // iter_rows(named=True) iterator when not read through Arrow
  Ref pending_;                                 // its row whose tick failed to build, tried again next
};

}  // namespace orva::ticker
