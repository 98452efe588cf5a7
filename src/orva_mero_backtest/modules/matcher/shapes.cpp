// The exchange's dicts of a fixed list of keys (order records, reports), made from templates
// (dict_rows.hpp): their values written in place instead of key by key, their key tables shared.
#include <array>
#include <utility>

#include "dict_rows.hpp"
#include "hot.hpp"

namespace orva::matcher {

namespace {

const char* const kRecordStock[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                    "account_id",     "code",           "product_type",      "action",
                                    "price",          "quantity",       "price_type",        "order_type",
                                    "exchange_ts",    "order_cond",     "order_lot"};
const char* const kRecordFuture[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                     "account_id",     "code",           "product_type",      "action",
                                     "price",          "quantity",       "price_type",        "order_type",
                                     "exchange_ts",    "oc_type"};
const char* const kOrderStock[] = {"id",     "seqno",    "ordno",      "account",    "code",      "action",
                                   "price",  "quantity", "order_type", "order_cond", "order_lot", "price_type"};
const char* const kOrderFuture[] = {"id",    "seqno",    "ordno",      "account",    "code",   "action",
                                    "price", "quantity", "order_type", "price_type", "oc_type"};
const char* const kStatus[] = {"id", "exchange", "exchange_ts"};
const char* const kNewReport[] = {"operation_type", "operation_status_code", "operation_message", "order",
                                  "trade_status"};
const char* const kDealStock[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id",  "account",
                                  "action", "code",  "quantity", "price",          "order_cond", "order_lot",
                                  "exchange_ts"};
const char* const kDealFuture[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id", "account",
                                   "action", "code",  "quantity", "price",          "exchange_ts"};

struct ShapeSource {
  const char* const* names;
  int n;
};
template <size_t N>
constexpr ShapeSource source(const char* const (&names)[N]) {
  return {names, static_cast<int>(N)};
}
constexpr ShapeSource kSources[kShapeCount] = {source(kRecordStock), source(kRecordFuture), source(kOrderStock),
                                               source(kOrderFuture), source(kStatus),       source(kNewReport),
                                               source(kDealStock),   source(kDealFuture)};

// Made at load, kept for the life of the process (never released).
struct Shape {
  PyObject* keys[kMaxShapeKeys] = {};  // interned
  int n = 0;
  PyObject* templ = nullptr;
};
Shape g_shapes[kShapeCount];

template <int Id>
PyObject* shape_key(int i) {
  return g_shapes[Id].keys[i];
}
template <int... Id>
constexpr std::array<RowKey, kShapeCount> key_readers(std::integer_sequence<int, Id...>) {
  return {shape_key<Id>...};
}
constexpr std::array<RowKey, kShapeCount> kKeyOf = key_readers(std::make_integer_sequence<int, kShapeCount>());

}  // namespace

void load_shapes() {
  for (int id = 0; id < kShapeCount; ++id) {
    Shape& s = g_shapes[id];
    s.n = kSources[id].n;
    for (int i = 0; i < s.n; ++i) {
      PyObject* key = PyUnicode_InternFromString(kSources[id].names[i]);
      if (!key) throw_error();
      s.keys[i] = key;
    }
    s.templ = dict_row_template("_matcher_shape", kKeyOf[id], s.n).release();
  }
}

int shape_size(ShapeId id) { return g_shapes[id].n; }

Ref make_shaped(ShapeId id, PyObject* const* values) {
  const Shape& s = g_shapes[id];
  return dict_row(s.templ, kKeyOf[id], values, s.n);
}

PyObject** shaped_values(ShapeId id, PyObject* d) { return dict_row_values(g_shapes[id].templ, d); }

}  // namespace orva::matcher
