#include "data/depth_writer.hpp"

#include <utility>

#include "data/instrument_block.hpp"

namespace halvorn::data {

DepthBegun DepthWriter::begin(const std::string& path, std::uint64_t instrument) {
  auto begun = Replacement::begin(path);
  if (const int* err = std::get_if<int>(&begun)) return *err;
  DepthWriter writer(std::move(std::get<Replacement>(begun)), instrument);
  // A placeholder for the header, which only the last record settles.
  const std::uint8_t placeholder[DEPTH_HEADER_BYTES] = {};
  if (int err = writer.file_.write(placeholder)) return err;
  return DepthBegun(std::in_place_index<0>, std::move(writer));
}

DepthWriter::DepthWriter(Replacement file, std::uint64_t instrument)
    : file_(std::move(file)), encoder_(instrument), instrument_(instrument) {
  buffer_.reserve(DEPTH_WRITE_BUFFER_BYTES + DEPTH_RECORD_BYTES);
}

std::optional<DepthError> DepthWriter::add(const book::DepthRecord& record) {
  if (std::optional<DepthError> refused = encoder_.append(record, buffer_)) return refused;
  if (error_ != 0) {
    buffer_.clear();  // checked and counted, but there is nowhere to write it
  } else if (buffer_.size() >= DEPTH_WRITE_BUFFER_BYTES) {
    flush();
  }
  return std::nullopt;
}

void DepthWriter::flush() {
  if (error_ == 0 && !buffer_.empty()) error_ = file_.write(buffer_);
  buffer_.clear();
}

std::optional<DefinitionProblem> DepthWriter::set_instrument(InstrumentDefinition d) {
  if (auto problem = check_definition(d)) return problem;
  if (d.id != instrument_) return DefinitionProblem{definition::IdMismatch{d.id, instrument_}};
  definition_ = std::move(d);
  return std::nullopt;
}

int DepthWriter::commit() {
  flush();
  if (error_ == 0 && definition_) {
    // Outside the checksum, which covers the records and nothing else.
    error_ = file_.write(encode_instrument_block(*definition_));
  }
  if (error_ == 0) error_ = file_.patch(0, encoder_.header());
  if (error_ != 0) {
    // Dropping the replacement removes the unfinished file now rather than
    // when the writer goes.
    Replacement abandoned = std::move(file_);
    return error_;
  }
  return error_ = file_.commit();
}

}  // namespace halvorn::data
