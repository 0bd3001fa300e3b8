#include "data/tick_writer.hpp"

#include <bit>
#include <cerrno>
#include <cstring>
#include <utility>

#include "data/crc32.hpp"
#include "data/instrument_block.hpp"
#include "types/overloaded.hpp"

namespace halvorn::data {

namespace {

template <class T>
void put_le(std::uint8_t* at, T value) {
  using U = std::make_unsigned_t<T>;
  for (std::size_t i = 0; i < sizeof value; ++i) {
    at[i] = static_cast<std::uint8_t>(static_cast<U>(value) >> (8 * i));
  }
}

// Records in file order and byte order: the tick's own bytes on a
// little-endian machine.
void put_records(std::uint8_t* at, const engine::Tick* ticks, std::size_t n) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, ticks, n * RECORD_BYTES);
  } else {
    for (std::size_t i = 0; i < n; ++i, at += RECORD_BYTES) {
      const engine::Tick& t = ticks[i];
      const std::int64_t f[8] = {t.exch_ts, t.local_ts, t.last, t.high,
                                 t.low,     t.bid,      t.ask,  t.volume};
      for (int j = 0; j < 8; ++j) put_le(at + 8 * j, f[j]);
    }
  }
}

}  // namespace

std::string WriteFailed::display() const { return path + ": " + std::strerror(code); }

std::string display(const WriteError& error) {
  return std::visit(Overloaded{
                        [](const WriteFailed& e) { return e.display(); },
                        [](const GoesBackwards& e) { return Error{e}.display(); },
                    },
                    error);
}

WriterBegun TickWriter::begin(const std::string& path, std::uint64_t instrument) {
  auto begun = Replacement::begin(path);
  if (const int* code = std::get_if<int>(&begun)) return WriteFailed{path, *code};
  Replacement file = std::move(std::get<Replacement>(begun));
  // The header is a placeholder until finish(); patching it now finds a
  // target that cannot be rewound before any record is converted.
  const std::uint8_t header[HEADER_BYTES] = {};
  if (int code = file.write(header)) return WriteFailed{path, code};
  if (int code = file.patch(0, header)) return WriteFailed{path, code};
  return WriterBegun(std::in_place_index<0>, TickWriter(std::move(file), path, instrument));
}

TickWriter::TickWriter(Replacement file, std::string path, std::uint64_t instrument)
    : file_(std::move(file)),
      path_(std::move(path)),
      instrument_(instrument),
      block_(std::make_unique_for_overwrite<std::uint8_t[]>(BLOCK_RECORDS * RECORD_BYTES)) {}

std::optional<WriteError> TickWriter::append(std::span<const engine::Tick> ticks) {
  if (error_) return error_;
  while (!ticks.empty()) {
    const std::size_t room = BLOCK_RECORDS - buffered_;
    const std::size_t k = ticks.size() < room ? ticks.size() : room;
    // Order is checked before the records are copied, and only the ones in
    // order are kept.
    std::size_t ordered = 0;
    for (; ordered < k; ++ordered) {
      const std::int64_t t = ticks[ordered].exch_ts;
      if (t < previous_) break;
      previous_ = t;
    }
    put_records(block_.get() + buffered_ * RECORD_BYTES, ticks.data(), ordered);
    clock_.add(ticks.first(ordered));
    buffered_ += ordered;
    count_ += ordered;
    if (ordered < k) return fail(GoesBackwards{count_, previous_, ticks[ordered].exch_ts});
    ticks = ticks.subspan(k);
    if (buffered_ == BLOCK_RECORDS) {
      if (auto e = flush()) return e;
    }
  }
  return std::nullopt;
}

std::optional<WriteError> TickWriter::flush() {
  const std::size_t bytes = buffered_ * RECORD_BYTES;
  crc_ = crc32_extend(crc_, block_.get(), bytes);
  if (int code = file_->write({block_.get(), bytes})) return fail(WriteFailed{path_, code});
  buffered_ = 0;
  return std::nullopt;
}

std::optional<WriteError> TickWriter::fail(WriteError e) {
  error_ = std::move(e);
  file_.reset();
  return error_;
}

std::optional<DefinitionProblem> TickWriter::set_instrument(InstrumentDefinition d) {
  if (auto problem = check_definition(d)) return problem;
  if (d.id != instrument_) return DefinitionProblem{definition::IdMismatch{d.id, instrument_}};
  definition_ = std::move(d);
  return std::nullopt;
}

std::optional<WriteError> TickWriter::finish() {
  if (error_) return error_;
  if (auto e = flush()) return e;
  if (definition_) {
    // Outside the checksum, which covers the records and nothing else.
    if (int code = file_->write(encode_instrument_block(*definition_))) {
      return fail(WriteFailed{path_, code});
    }
  }
  std::uint8_t h[HEADER_BYTES] = {};
  put_le(h + 0, MAGIC);
  put_le(h + 4, VERSION);
  put_le(h + 8, count_);
  put_le(h + 16, instrument_);
  put_le(h + 24, crc_);
  if (int code = file_->patch(0, h)) return fail(WriteFailed{path_, code});
  if (int code = file_->commit()) return fail(WriteFailed{path_, code});
  // A finished writer takes no more ticks; the file is in place.
  error_ = WriteFailed{path_, EBADF};
  file_.reset();
  return std::nullopt;
}

}  // namespace halvorn::data
