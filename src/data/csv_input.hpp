// The bytes of CSV files as a caller hands them over, and the lines in them.
//
// Opening and decompressing archives is the caller's business (the Python
// layer does it with what Python has); what reaches this library is a pull
// interface of plain bytes, one file after another, as two function pointers
// and a context pointer -- nothing to derive from, so any language that can
// make a C callback can feed it.
//
// A LineReader cuts those bytes into lines in one buffer of fixed size:
// however large the files, it holds one buffer, and a line is a view into it.
//
// Thread-safety: a LineReader is used by one thread at a time, and calls its
// Input and Progress callbacks on that thread only.

#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace halvorn::data {

// The files of one stream, in order (e.g. daily files of one instrument).
struct Input {
  void* context = nullptr;
  // Starts the next file and sets its name (used in error texts only);
  // returns false when there are no more.
  bool (*next_file)(void* context, std::string* name) = nullptr;
  // Copies up to `cap` bytes of the current file into `buf`.  Returns how
  // many (> 0), 0 at the end of the file, or < 0 to abort the conversion,
  // the caller keeping the reason.
  std::ptrdiff_t (*read)(void* context, std::uint8_t* buf, std::size_t cap) = nullptr;
};

// Told how far a conversion has come, about every `every_bytes` bytes of
// input.  Returning false stops the conversion (it then fails with
// "stopped by the caller"); how a caller answers an interrupt.
struct Progress {
  void* context = nullptr;
  bool (*report)(void* context, std::uint64_t bytes, std::uint64_t rows) = nullptr;
  std::uint64_t every_bytes = 8u << 20;
};

// What the readers of one conversion have consumed, shared so that progress
// counts every stream.
struct Meter {
  Progress progress;
  std::uint64_t bytes = 0;
  std::uint64_t rows = 0;
  std::uint64_t next_report = 0;  // bytes at which to report next

  // Reports when due; false when the caller asked to stop.
  bool tick() {
    if (bytes < next_report || progress.report == nullptr) return true;
    next_report = bytes + (progress.every_bytes > 0 ? progress.every_bytes : 1);
    return progress.report(progress.context, bytes, rows);
  }
};

// The longest line a reader takes, which is also the size of its buffer.
inline constexpr std::size_t MAX_LINE_BYTES = 1u << 20;

// Cuts the files of an Input into lines.
//
// Invariants: a line handed out is valid until the next call; it never
// holds its '\n', nor a '\r' before it.
class LineReader {
 public:
  LineReader(const Input& input, Meter* meter);

  // Starts the next file; false at the end of the stream.
  bool next_file(std::string* name);

  enum class Got : std::uint8_t {
    Line,        // `*line` is the next line
    End,         // the file has no more lines
    TooLong,     // a line longer than MAX_LINE_BYTES
    ReadFailed,  // the Input's read returned < 0
    Stopped,     // the Progress callback returned false
  };
  // The next line of the current file.  A last line without a newline is a
  // line; a UTF-8 byte order mark at the start of a file is not part of it.
  Got next_line(std::string_view* line);

  // The 1-based number of the line handed out last (0 before the first).
  std::uint64_t line_number() const { return line_; }

 private:
  Got refill();

  Input input_;
  Meter* meter_;
  std::unique_ptr<char[]> buffer_;
  std::size_t begin_ = 0;    // the next line starts here
  std::size_t end_ = 0;      // bytes in the buffer
  std::size_t scanned_ = 0;  // [begin_, scanned_) is known to hold no '\n'
  bool eof_ = true;
  bool at_start_ = false;  // nothing of the file read yet (for the byte order mark)
  std::uint64_t line_ = 0;
};

}  // namespace halvorn::data
