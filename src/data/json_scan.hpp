// Reading one JSON text in place: the few steps a reader of exchange
// messages needs (an object's members, an array's elements, a string, a
// number's text), over the bytes of a line, with no allocation.
//
// Messages carry prices as decimal text -- "42123.40" in a string, or
// 42123.4 as a JSON number -- and a number's text is already the decimal it
// means, so nothing here converts a number: it hands out the text, and the
// caller scales it exactly (decimal.hpp).  What is not wanted is stepped over,
// but checked all the same: a message whose JSON is broken anywhere is
// refused, never half read.
//
// Grammar: RFC 8259 JSON.  Strings may hold any escape; a string that holds
// one is decoded into a buffer the caller gives, the others are views of the
// line.  Nesting deeper than MAX_JSON_DEPTH is refused, so that no message
// can exhaust the stack.
//
// Thread-safety: a JsonScan is used by one thread at a time.

#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvorn::data {

// The deepest nesting of arrays and objects a message may have.
inline constexpr int MAX_JSON_DEPTH = 64;

// Why a JSON text was refused.  Each has a fixed text (json_fault_text).
enum class JsonFault : std::uint8_t {
  None,
  Expected,       // "expected {what}" -- see JsonScan::expected()
  BadString,      // "a string holds a control character or a bad escape"
  Unterminated,   // "a string does not end on its line"
  BadNumber,      // "a number is not written as JSON writes one"
  TooDeep,        // "arrays and objects nest deeper than 64"
  TrailingBytes,  // "something follows the end of the message"
};

// "expected a value", "a string does not end on its line", ...
std::string json_fault_text(JsonFault fault, std::string_view expected);

// What a value is, told from its first byte.
enum class JsonKind : std::uint8_t { End, Object, Array, String, Number, Literal, Other };

// A cursor over one JSON text.
//
// Invariants: `at()` never passes the end; once fault() is set every step
// returns false and the cursor stays where the fault was found.
class JsonScan {
 public:
  JsonScan(const char* begin, const char* end) : begin_(begin), p_(begin), end_(end) {}

  // The kind of the next value, after any white space.
  JsonKind peek();

  // Enters an object: true when the next value is one.
  bool enter_object();
  // The next member's key: true with `*key` set (decoded into `*scratch`
  // when it holds an escape) and the cursor at its value; false at the
  // object's end (which is consumed) or at a fault.
  bool member(std::string_view* key, std::string* scratch);

  // Enters an array: true when the next value is one.
  bool enter_array();
  // Moves to the array's next element: true with the cursor at it; false at
  // the array's end (consumed) or at a fault.
  bool element();

  // A string value, decoded into `*scratch` when it holds an escape.
  bool string(std::string_view* out, std::string* scratch);
  // A number's text, checked against JSON's grammar.
  bool number(std::string_view* out);
  // The text of a string or a number: what a field that may be written
  // either way ("42123.4" or 42123.4) holds.
  bool scalar_text(std::string_view* out, std::string* scratch);
  // true, false or null: the literal's text.
  bool literal(std::string_view* out);
  // Steps over any value, checking it.
  bool skip();
  // Only white space is left.
  bool finish();

  JsonFault fault() const { return fault_; }
  // What was expected where fault() is Expected ("':'", "a value", ...).
  std::string_view expected() const { return expected_; }
  // The 0-based offset of the cursor from the start of the text.
  std::size_t offset() const { return static_cast<std::size_t>(p_ - begin_); }
  // The cursor itself.
  const char* at() const { return p_; }

 private:
  void space();
  // Enters a container of `kind`, named `what` when it is not one.
  bool enter(JsonKind kind, std::string_view what);
  bool fail(JsonFault fault, std::string_view expected = {});
  bool string_span(const char** begin, const char** end, bool* escaped);

  const char* begin_;
  const char* p_;
  const char* end_;
  JsonFault fault_ = JsonFault::None;
  std::string_view expected_;
  // Per open container, from the outermost: whether a member (element) has
  // been read, so that the next one needs a ',' before it.
  std::uint64_t started_ = 0;
  int depth_ = 0;
};

// Decodes the string whose bytes (between its quotes) are [begin, end),
// escapes included, into `*out`.  False when an escape is malformed or a
// \u escape is a lone surrogate.
bool decode_json_string(const char* begin, const char* end, std::string* out);

}  // namespace halvorn::data
