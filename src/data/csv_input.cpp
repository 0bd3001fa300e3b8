#include "data/csv_input.hpp"

#include <cstring>

namespace halvorn::data {

LineReader::LineReader(const Input& input, Meter* meter)
    : input_(input),
      meter_(meter),
      buffer_(std::make_unique_for_overwrite<char[]>(MAX_LINE_BYTES)) {}

bool LineReader::next_file(std::string* name) {
  name->clear();
  begin_ = end_ = scanned_ = 0;
  line_ = 0;
  if (input_.next_file == nullptr || !input_.next_file(input_.context, name)) {
    eof_ = true;
    return false;
  }
  eof_ = false;
  at_start_ = true;
  return true;
}

LineReader::Got LineReader::refill() {
  if (begin_ > 0) {
    // The start of an unfinished line moves to the front; lines are short,
    // so this is a few bytes per read.
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    scanned_ -= begin_;
    begin_ = 0;
  }
  const std::size_t room = MAX_LINE_BYTES - end_;
  const std::ptrdiff_t n =
      input_.read(input_.context, reinterpret_cast<std::uint8_t*>(buffer_.get()) + end_, room);
  if (n < 0) return Got::ReadFailed;
  if (n == 0) {
    eof_ = true;
  } else {
    // A callback claiming more than it was offered room for is held to it.
    const std::size_t got = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    end_ += got;
    meter_->bytes += got;
  }
  if (at_start_ && (end_ >= 3 || eof_)) {
    at_start_ = false;
    if (end_ >= 3 && std::memcmp(buffer_.get(), "\xEF\xBB\xBF", 3) == 0) begin_ = scanned_ = 3;
  }
  return meter_->tick() ? Got::Line : Got::Stopped;
}

LineReader::Got LineReader::next_line(std::string_view* line) {
  for (;;) {
    // A file is read whole before its byte order mark is looked at only when
    // it is shorter than the mark.
    if (!at_start_) {
      const char* base = buffer_.get();
      if (const void* nl = std::memchr(base + scanned_, '\n', end_ - scanned_)) {
        const auto at = static_cast<std::size_t>(static_cast<const char*>(nl) - base);
        std::size_t stop = at;
        if (stop > begin_ && base[stop - 1] == '\r') --stop;
        *line = std::string_view(base + begin_, stop - begin_);
        begin_ = scanned_ = at + 1;
        ++line_;
        return Got::Line;
      }
      scanned_ = end_;
      if (eof_) {
        if (begin_ == end_) return Got::End;
        std::size_t stop = end_;
        if (base[stop - 1] == '\r') --stop;
        *line = std::string_view(base + begin_, stop - begin_);
        begin_ = scanned_ = end_;
        ++line_;
        return Got::Line;
      }
      if (begin_ == 0 && end_ == MAX_LINE_BYTES) {
        ++line_;
        return Got::TooLong;
      }
    }
    if (Got g = refill(); g != Got::Line) return g;
  }
}

}  // namespace halvorn::data
