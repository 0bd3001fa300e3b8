#include "data/column_writer.hpp"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "types/overloaded.hpp"
#include "types/panic.hpp"

namespace halvorn::data {

namespace {

using Field = std::int64_t engine::Tick::*;

struct Named {
  const Column* column;
  const char* name;
  Field field;
  const char* unit;  // what a float64 value counts: "ticks", "lots", "steps"
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
    case ElementKind::F64:
      break;  // scaled, not gathered
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
      {&columns.exch_ts, "exch_ts"}, {&columns.local_ts, "local_ts"}, {&columns.last, "last"},
      {&columns.high, "high"},       {&columns.low, "low"},           {&columns.bid, "bid"},
      {&columns.ask, "ask"},         {&columns.volume, "volume"}};
  for (const auto& [c, name] : all) {
    if (c->present() && c->length != n) return ColumnsError{LengthMismatch{name, c->length, n}};
  }
  for (const auto& [c, name] : all) {
    if (c->present() && c->kind == ElementKind::F64 && c->step.value.digits == 0) {
      return ColumnsError{MissingStep{name}};
    }
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
          [](const MissingStep& e) {
            return format("column %s holds float64 values and has no step to count them in",
                          e.name);
          },
          [](const ConvertError& e) { return e.display(); },
          [](const DefinitionProblem& e) { return e.display(); },
      },
      kind);
}

std::uint64_t RoundedValues::total() const {
  std::uint64_t sum = 0;
  for (std::uint64_t n : by_field) sum += n;
  return sum;
}

ConvertError unscaled_value_error(Place where, std::string column, const ColumnScaled& scaled,
                                  std::string steps) {
  switch (scaled.fault) {
    case DoubleFault::NotMultiple:
      return ConvertError{std::move(where), NotMultiple{std::move(column), scaled.text,
                                                        std::move(steps), false, "", false}};
    case DoubleFault::OutOfRange:
      return ConvertError{std::move(where), OutOfRange{std::move(column), scaled.text, Limit::Steps,
                                                       std::move(steps)}};
    case DoubleFault::NotFinite:
      return ConvertError{std::move(where),
                          BadField{std::move(column), scaled.text, Expected::Decimal}};
    case DoubleFault::None:
      break;
  }
  panic("only a value that did not scale has an error");
}

std::optional<ColumnsError> append_columns(TickWriter& writer, const Columns& columns,
                                           RoundedValues* rounded) {
  const Named all[8] = {
      {&columns.exch_ts, "exch_ts", &engine::Tick::exch_ts, "steps"},
      {&columns.local_ts, "local_ts", &engine::Tick::local_ts, "steps"},
      {&columns.last, "last", &engine::Tick::last, "ticks"},
      {&columns.high, "high", &engine::Tick::high, "ticks"},
      {&columns.low, "low", &engine::Tick::low, "ticks"},
      {&columns.bid, "bid", &engine::Tick::bid, "ticks"},
      {&columns.ask, "ask", &engine::Tick::ask, "ticks"},
      {&columns.volume, "volume", &engine::Tick::volume, "lots"},
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
    for (std::size_t f = 0; f < std::size(all); ++f) {
      const Named& c = all[f];
      if (!c.column->present()) continue;
      if (c.column->kind == ElementKind::F64) {
        // Straight into the records' field: a record is eight int64 fields.
        const ColumnScaled s =
            scale_double_column(reinterpret_cast<const double*>(element(*c.column, row)), k,
                                c.column->stride, c.column->step, c.column->rounding,
                                &(block[0].*c.field), sizeof(engine::Tick) / sizeof(std::int64_t));
        if (!s.ok()) {
          return ColumnsError{unscaled_value_error(
              Place{}, std::string(c.name) + ", row " + std::to_string(row + s.bad_row + 1), s,
              std::string(c.unit) + " of " + c.column->step.text)};
        }
        if (rounded != nullptr) rounded->by_field[f] += s.moved;
        continue;
      }
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

namespace {

std::variant<std::uint64_t, ColumnsError> write(const std::string& path, std::uint64_t instrument,
                                                const InstrumentDefinition* definition,
                                                const Columns& columns, RoundedValues* rounded) {
  // The shape and the definition are checked before the target is touched
  // at all.
  if (auto e = check_shape(columns)) return std::move(*e);
  if (definition != nullptr) {
    if (auto problem = check_definition(*definition)) return ColumnsError{std::move(*problem)};
  }
  auto begun = TickWriter::begin(path, instrument);
  if (auto* e = std::get_if<WriteFailed>(&begun)) return ColumnsError{std::move(*e)};
  TickWriter& writer = std::get<TickWriter>(begun);
  if (definition != nullptr) {
    if (auto problem = writer.set_instrument(*definition)) return ColumnsError{std::move(*problem)};
  }
  if (auto e = append_columns(writer, columns, rounded)) return std::move(*e);
  if (auto e = writer.finish()) return from_write(std::move(*e));
  return writer.count();
}

}  // namespace

std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        std::uint64_t instrument,
                                                        const Columns& columns,
                                                        RoundedValues* rounded) {
  return write(path, instrument, nullptr, columns, rounded);
}

std::variant<std::uint64_t, ColumnsError> write_columns(const std::string& path,
                                                        const InstrumentDefinition& definition,
                                                        const Columns& columns,
                                                        RoundedValues* rounded) {
  return write(path, definition.id, &definition, columns, rounded);
}

}  // namespace halvorn::data
