// The exchange's dicts of a fixed list of keys (order records, reports), made from templates
// (dict_rows.hpp): their values written in place instead of key by key, their key tables shared.
#include <array>
#include <utility>

#include "dict_rows.hpp"
#include "shortcuts.hpp"

namespace orva::matcher {

namespace {

constexpr const char* kRecordStock[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                    "account_id",     "code",           "product_type",      "action",
                                    "price",          "quantity",       "price_type",        "order_type",
                                    "exchange_ts",    "order_cond",     "order_lot"};
constexpr const char* kRecordFuture[] = {"operation_type", "operation_code", "operation_message", "trade_id",
                                     "account_id",     "code",           "product_type",      "action",
                                     "price",          "quantity",       "price_type",        "order_type",
                                     "exchange_ts",    "oc_type"};
constexpr const char* kOrderStock[] = {"id",     "seqno",    "ordno",      "account",    "code",      "action",
                                   "price",  "quantity", "order_type", "order_cond", "order_lot", "price_type"};
constexpr const char* kOrderFuture[] = {"id",    "seqno",    "ordno",      "account",    "code",   "action",
                                    "price", "quantity", "order_type", "price_type", "oc_type"};
constexpr const char* kStatus[] = {"id", "exchange", "exchange_ts"};
constexpr const char* kNewReport[] = {"operation_type", "operation_status_code", "operation_message", "order",
                                  "trade_status"};
constexpr const char* kDealStock[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id",  "account",
                                  "action", "code",  "quantity", "price",          "order_cond", "order_lot",
                                  "exchange_ts"};
constexpr const char* kDealFuture[] = {"id",     "seqno", "ordno",    "exchange_seqno", "broker_id", "account",
                                   "action", "code",  "quantity", "price",          "exchange_ts"};

constexpr bool same_chars(const char* a, const char* b) {
  return *a == *b && (*a == '\0' || same_chars(a + 1, b + 1));
}
// The fill and the deal report read a record's fields by these positions (hot.hpp).
template <size_t N>
constexpr bool record_fields_at_their_places(const char* const (&keys)[N]) {
  return same_chars(keys[kRecTradeId], "trade_id") && same_chars(keys[kRecCode], "code") &&
         same_chars(keys[kRecProduct], "product_type") && same_chars(keys[kRecAction], "action") &&
         same_chars(keys[kRecPrice], "price") && same_chars(keys[kRecQuantity], "quantity") &&
         same_chars(keys[kRecExchangeTs], "exchange_ts");
}
static_assert(record_fields_at_their_places(kRecordStock) && record_fields_at_their_places(kRecordFuture) &&
              same_chars(kRecordStock[kRecOrderCond], "order_cond") &&
              same_chars(kRecordStock[kRecOrderLot], "order_lot"));

struct ShapeSource {
  const char* const* names;
  int n;
};
template <size_t N>
constexpr ShapeSource source(const char* const (&names)[N]) {
  static_assert(N <= kMaxShapeKeys, "a shape has more keys than Shape::keys holds");
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
