#include "data/column_writer.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

using Field = std::int64_t engine::Tick::*;

struct Named {
  const Column* column;
  const char* name;
  Field field;
};

// Reads `n` values of type T from `at` (stride in bytes) into `field` of
// `out[0..n)`.  Returns the bitwise OR of the values read, by which an
// unsigned column finds a value above INT64_MAX without a branch per row.
template <class T>
std::uint64_t gather(const std::uint8_t* at, std::ptrdiff_t stride, std::size_t n,
                     engine::Tick* out, Field field) {
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < n; ++i, at += stride) {
    T v;
    std::memcpy(&v, at, sizeof v);
    out[i].*field = static_cast<std::int64_t>(v);
    if constexpr (std::is_same_v<T, std::uint64_t>) seen |= v;
  }
  return seen;
}

std::uint64_t gather_kind(ElementKind kind, const std::uint8_t* at, std::ptrdiff_t stride,
                          std::size_t n, engine::Tick* out, Field field) {
  switch (kind) {
    case ElementKind::I8:
      return gather<std::int8_t>(at, stride, n, out, field);
    case ElementKind::I16:
      return gather<std::int16_t>(at, stride, n, out, field);
    case ElementKind::I32:
      return gather<std::int32_t>(at, stride, n, out, field);
    case ElementKind::I64:
      return gather<std::int64_t>(at, stride, n, out, field);
    case ElementKind::U8:
      return gather<std::uint8_t>(at, stride, n, out, field);
    case ElementKind::U16:
      return gather<std::uint16_t>(at, stride, n, out, field);
    case ElementKind::U32:
      return gather<std::uint32_t>(at, stride, n, out, field);
    case ElementKind::U64:
      return gather<std::uint64_t>(at, stride, n, out, field);
  }
  return 0;
}

const std::uint8_t* element(const Column& c, std::size_t row) {
  return static_cast<const std::uint8_t*>(c.data) + static_cast<std::ptrdiff_t>(row) * c.stride;
}

std::string format(const char* fmt, auto... args) {
  char buf[200];
  int n = std::snprintf(buf, sizeof buf, fmt, args...);
  return std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0);
}

ColumnsError from_write(WriteError e) {
  return std::visit([](auto& k) { return ColumnsError{std::move(k)}; }, e);
}

// The required columns are there and the present ones are of one length.
std::optional<ColumnsError> check_shape(const Columns& columns) {
  if (!columns.exch_ts.present()) return ColumnsError{MissingColumn{"exch_ts"}};
  if (!columns.last.present()) return ColumnsError{MissingColumn{"last"}};
  const std::size_t n = columns.exch_ts.length;
  const std::pair<const Column*, const char*> all[] = {
      {&columns.local_ts, "local_ts"}, {&columns.last, "last"}, {&columns.high, "high"},
      {&columns.low, "low"},           {&columns.bid, "bid"},   {&columns.ask, "ask"},
      {&columns.volume, "volume"}};
  for (const auto& [c, name] : all) {
    if (c->present() && c->length != n) return ColumnsError{LengthMismatch{name, c->length, n}};
  }
  return std::nullopt;
}

}  // namespace

std::string ColumnsError::display() const {
  return std::visit(
      Overloaded{
          [](const MissingColumn& e) { return format("column %s is required", e.name); },
          [](const LengthMismatch& e) {
            return format("column %s has %zu values, column exch_ts has %zu", e.name, e.length,
                          e.expected);
          },
          [](const ValueOutOfRange& e) {
            return format("column %s, row %" PRIu64 ": %" PRIu64
                          " does not fit in a signed 64-bit integer",
                          e.name, e.row, e.value);
          },
          [](const WriteFailed& e) { return e.display(); },
          [](const GoesBackwards& e) {
            return format("row %" PRIu64 " goes backwards: previous exchange time %" PRId64
                          ", found %" PRId64,
                          e.index, e.previous, e.found);
          },
      },
      kind);
}

std::optional<ColumnsError> append_columns(TickWriter& writer, const Columns& columns) {
  const Named all[8] = {
      {&columns.exch_ts, "exch_ts", &engine::Tick::exch_ts},
      {&columns.local_ts, "local_ts", &engine::Tick::local_ts},
      {&columns.last, "last", &engine::Tick::last},
      {&columns.high, "high", &engine::Tick::high},
      {&columns.low, "low", &engine::Tick::low},
      {&columns.bid, "bid", &engine::Tick::bid},
      {&columns.ask, "ask", &engine::Tick::ask},
      {&columns.volume, "volume", &engine::Tick::volume},
  };
  if (auto e = check_shape(columns)) return e;
  const std::size_t n = columns.exch_ts.length;
  // Defaults are copies of another field of the same record, filled after
  // that field: local_ts from exch_ts, high and low from last.
  struct Default {
    Field field;
    Field from;  // nullptr: zero
  };
  std::vector<Default> defaults;
  if (!columns.local_ts.present())
    defaults.push_back({&engine::Tick::local_ts, &engine::Tick::exch_ts});
  if (!columns.high.present()) defaults.push_back({&engine::Tick::high, &engine::Tick::last});
  if (!columns.low.present()) defaults.push_back({&engine::Tick::low, &engine::Tick::last});
  if (!columns.bid.present()) defaults.push_back({&engine::Tick::bid, nullptr});
  if (!columns.ask.present()) defaults.push_back({&engine::Tick::ask, nullptr});
  if (!columns.volume.present()) defaults.push_back({&engine::Tick::volume, nullptr});

  auto block = std::make_unique_for_overwrite<engine::Tick[]>(BLOCK_RECORDS);
  for (std::size_t row = 0; row < n; row += BLOCK_RECORDS) {
    const std::size_t k = n - row < BLOCK_RECORDS ? n - row : BLOCK_RECORDS;
    for (const Named& c : all) {
      if (!c.column->present()) continue;
      const std::uint64_t seen = gather_kind(c.column->kind, element(*c.column, row),
                                             c.column->stride, k, block.get(), c.field);
      if (seen > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        for (std::size_t i = 0; i < k; ++i) {
          std::uint64_t v;
          std::memcpy(&v, element(*c.column, row + i), sizeof v);
          if (v > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            return ColumnsError{ValueOutOfRange{c.name, row + i, v}};
          }
        }
      }
    }
    for (const Default& d : defaults) {
      if (d.from == nullptr) {
        for (std::size_t i = 0; i < k; ++i) block[i].*d.field = 0;
      } else {
        for (std::size_t i = 0; i < k; ++i) block[i].*d.field = block[i].*d.from;
      }
    }
    if (auto e = writer.append({block.get(), k})) return from_write(std::move(*e));
  }
  return std::nullopt;
}

std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        std::uint64_t instrument,
                                                        const Columns& columns) {
  // The shape is checked before the target is touched at all.
  if (auto e = check_shape(columns)) return std::move(*e);
  auto begun = TickWriter::begin(path, instrument);
  if (auto* e = std::get_if<WriteFailed>(&begun)) return ColumnsError{std::move(*e)};
  TickWriter& writer = std::get<TickWriter>(begun);
  if (auto e = append_columns(writer, columns)) return std::move(*e);
  if (auto e = writer.finish()) return from_write(std::move(*e));
  return writer.count();
}

}  // namespace halvorn::data
