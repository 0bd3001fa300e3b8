#include "data/mark_writer.hpp"

#include <utility>

#include "data/crc32.hpp"
#include "data/instrument_block.hpp"

namespace halvorn::data {

namespace {

// Mark records buffered before they are written: a block's worth.
constexpr std::size_t WRITE_BUFFER_BYTES = MARK_BLOCK_RECORDS * MARK_RECORD_BYTES;

}  // namespace

MarkBegun MarkWriter::begin(const std::string& path, std::uint64_t instrument, MarkKind kind) {
  auto begun = Replacement::begin(path);
  if (const int* err = std::get_if<int>(&begun)) return *err;
  MarkWriter writer(std::move(std::get<Replacement>(begun)), instrument, kind);
  // A placeholder for the header, which only the end settles.
  const std::uint8_t placeholder[MARK_HEADER_BYTES] = {};
  if (int err = writer.file_.write(placeholder)) return err;
  return MarkBegun(std::in_place_index<0>, std::move(writer));
}

MarkWriter::MarkWriter(Replacement file, std::uint64_t instrument, MarkKind kind)
    : file_(std::move(file)), instrument_(instrument), kind_(kind) {
  buffer_.reserve(WRITE_BUFFER_BYTES);
}

std::optional<MarkError> MarkWriter::add(const MarkRecord& record) {
  if (record.time < previous_) {
    return MarkError{GoesBackwards{count_, previous_, record.time}};
  }
  if (kind_ == MarkKind::Price && record.mark <= 0) {
    return MarkError{NotAPrice{count_, record.mark}};
  }
  previous_ = record.time;
  ++count_;
  const std::size_t at = buffer_.size();
  buffer_.resize(at + MARK_RECORD_BYTES);
  mark_bytes::put_record(buffer_.data() + at, record.time, record.mark, record.index);
  if (buffer_.size() >= WRITE_BUFFER_BYTES) flush();
  return std::nullopt;
}

std::optional<MarkError> MarkWriter::add_settlement(const PricedRate& settlement) {
  if (!settlements_.empty() && settlement.time <= settlements_.back().time) {
    return MarkError{
        SettlementsUnordered{settlements_.size(), settlement.time, settlements_.back().time}};
  }
  settlements_.push_back(settlement);
  return std::nullopt;
}

void MarkWriter::flush() {
  if (error_ == 0 && !buffer_.empty()) {
    crc_ = crc32_extend(crc_, buffer_.data(), buffer_.size());
    error_ = file_.write(buffer_);
  }
  buffer_.clear();
}

std::optional<DefinitionProblem> MarkWriter::set_instrument(InstrumentDefinition d) {
  if (auto problem = check_definition(d)) return problem;
  if (d.id != instrument_) return DefinitionProblem{definition::IdMismatch{d.id, instrument_}};
  definition_ = std::move(d);
  return std::nullopt;
}

int MarkWriter::commit() {
  flush();
  const std::vector<std::uint8_t> settled = mark_bytes::settlements(settlements_);
  if (error_ == 0) error_ = file_.write(settled);
  // Outside both checksums, which cover records and nothing else.
  if (error_ == 0 && definition_) error_ = file_.write(encode_instrument_block(*definition_));
  if (error_ == 0) {
    error_ =
        file_.patch(0, mark_bytes::header(instrument_, kind_, count_, crc_, settlements_.size(),
                                          crc32(settled.data(), settled.size())));
  }
  if (error_ != 0) {
    Replacement abandoned = std::move(file_);
    return error_;
  }
  return error_ = file_.commit();
}

}  // namespace halvorn::data
