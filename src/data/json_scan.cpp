#include "data/json_scan.hpp"

#include <cstring>

namespace halvorn::data {

namespace {

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits at `p` as a code unit, or -1.
long hex4(const char* p, const char* end) {
  if (end - p < 4) return -1;
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    const int h = hex_value(p[i]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

void put_utf8(unsigned long cp, std::string* out) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace

std::string json_fault_text(JsonFault fault, std::string_view expected) {
  switch (fault) {
    case JsonFault::None:
      return "";
    case JsonFault::Expected:
      return "expected " + std::string(expected);
    case JsonFault::BadString:
      return "a string holds a control character or a malformed escape";
    case JsonFault::Unterminated:
      return "a string does not end on its line";
    case JsonFault::BadNumber:
      return "a number is not written as JSON writes one";
    case JsonFault::TooDeep:
      return "arrays and objects nest deeper than " + std::to_string(MAX_JSON_DEPTH);
    case JsonFault::TrailingBytes:
      return "something follows the end of the message";
  }
  return "";
}

bool decode_json_string(const char* p, const char* end, std::string* out) {
  out->clear();
  while (p != end) {
    const char c = *p++;
    if (c != '\\') {
      out->push_back(c);
      continue;
    }
    if (p == end) return false;
    const char e = *p++;
    switch (e) {
      case '"':
      case '\\':
      case '/':
        out->push_back(e);
        break;
      case 'b':
        out->push_back('\b');
        break;
      case 'f':
        out->push_back('\f');
        break;
      case 'n':
        out->push_back('\n');
        break;
      case 'r':
        out->push_back('\r');
        break;
      case 't':
        out->push_back('\t');
        break;
      case 'u': {
        long unit = hex4(p, end);
        if (unit < 0) return false;
        p += 4;
        unsigned long cp = static_cast<unsigned long>(unit);
        if (unit >= 0xD800 && unit <= 0xDBFF) {
          // A high surrogate must be followed by its low half.
          if (end - p < 6 || p[0] != '\\' || p[1] != 'u') return false;
          const long low = hex4(p + 2, end);
          if (low < 0xDC00 || low > 0xDFFF) return false;
          p += 6;
          cp = 0x10000 + ((static_cast<unsigned long>(unit) - 0xD800) << 10) +
               (static_cast<unsigned long>(low) - 0xDC00);
        } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
          return false;
        }
        put_utf8(cp, out);
        break;
      }
      default:
        return false;
    }
  }
  return true;
}

void JsonScan::space() {
  while (p_ != end_ && is_space(*p_)) ++p_;
}

bool JsonScan::fail(JsonFault fault, std::string_view expected) {
  if (fault_ == JsonFault::None) {
    fault_ = fault;
    expected_ = expected;
  }
  return false;
}

JsonKind JsonScan::peek() {
  space();
  if (p_ == end_) return JsonKind::End;
  switch (*p_) {
    case '{':
      return JsonKind::Object;
    case '[':
      return JsonKind::Array;
    case '"':
      return JsonKind::String;
    case 't':
    case 'f':
    case 'n':
      return JsonKind::Literal;
    default:
      return *p_ == '-' || is_digit(*p_) ? JsonKind::Number : JsonKind::Other;
  }
}

bool JsonScan::enter(JsonKind kind, std::string_view what) {
  if (fault_ != JsonFault::None) return false;
  if (peek() != kind) return fail(JsonFault::Expected, what);
  if (depth_ >= MAX_JSON_DEPTH) return fail(JsonFault::TooDeep);
  ++p_;
  ++depth_;
  started_ &= ~(std::uint64_t{1} << (depth_ - 1));
  return true;
}

bool JsonScan::enter_object() { return enter(JsonKind::Object, "an object"); }
bool JsonScan::enter_array() { return enter(JsonKind::Array, "an array"); }

bool JsonScan::member(std::string_view* key, std::string* scratch) {
  if (fault_ != JsonFault::None) return false;
  const std::uint64_t bit = std::uint64_t{1} << (depth_ - 1);
  space();
  if (p_ != end_ && *p_ == '}') {
    ++p_;
    --depth_;
    return false;
  }
  const bool first = (started_ & bit) == 0;
  if (!first) {
    if (p_ == end_ || *p_ != ',') return fail(JsonFault::Expected, "',' or '}'");
    ++p_;
    space();
  }
  started_ |= bit;
  if (p_ == end_ || *p_ != '"') {
    return fail(JsonFault::Expected,
                first ? "a member's name in quotes, or '}'" : "a member's name in quotes");
  }
  if (!string(key, scratch)) return false;
  space();
  if (p_ == end_ || *p_ != ':') return fail(JsonFault::Expected, "':'");
  ++p_;
  return true;
}

bool JsonScan::element() {
  if (fault_ != JsonFault::None) return false;
  const std::uint64_t bit = std::uint64_t{1} << (depth_ - 1);
  space();
  if (p_ != end_ && *p_ == ']') {
    ++p_;
    --depth_;
    return false;
  }
  if (started_ & bit) {
    if (p_ == end_ || *p_ != ',') return fail(JsonFault::Expected, "',' or ']'");
    ++p_;
  }
  started_ |= bit;
  return true;
}

bool JsonScan::string_span(const char** begin, const char** end, bool* escaped) {
  if (fault_ != JsonFault::None) return false;
  if (peek() != JsonKind::String) return fail(JsonFault::Expected, "a string");
  const char* p = ++p_;
  *escaped = false;
  for (;;) {
    // Most strings are short and plain; the scan looks for the few bytes
    // that end or escape one.
    while (p != end_ && *p != '"' && *p != '\\' && static_cast<unsigned char>(*p) >= 0x20) ++p;
    if (p == end_) {
      p_ = p;
      return fail(JsonFault::Unterminated);
    }
    if (*p == '"') break;
    if (*p != '\\') {
      p_ = p;
      return fail(JsonFault::BadString);
    }
    *escaped = true;
    p += 2;  // the escape and the byte after it; \u's digits are plain bytes
    if (p > end_) {
      p_ = end_;
      return fail(JsonFault::Unterminated);
    }
  }
  *begin = p_;
  *end = p;
  p_ = p + 1;
  return true;
}

bool JsonScan::string(std::string_view* out, std::string* scratch) {
  const char *b = nullptr, *e = nullptr;
  bool escaped = false;
  if (!string_span(&b, &e, &escaped)) return false;
  if (!escaped) {
    *out = std::string_view(b, static_cast<std::size_t>(e - b));
    return true;
  }
  if (!decode_json_string(b, e, scratch)) {
    p_ = b;
    return fail(JsonFault::BadString);
  }
  *out = *scratch;
  return true;
}

bool JsonScan::number(std::string_view* out) {
  if (fault_ != JsonFault::None) return false;
  if (peek() != JsonKind::Number) return fail(JsonFault::Expected, "a number");
  const char* start = p_;
  const char* p = p_;
  if (*p == '-') ++p;
  // An integer part of 0, or of digits not starting with 0.
  if (p == end_ || !is_digit(*p)) return fail(JsonFault::BadNumber);
  if (*p == '0') {
    ++p;
  } else {
    while (p != end_ && is_digit(*p)) ++p;
  }
  if (p != end_ && *p == '.') {
    ++p;
    if (p == end_ || !is_digit(*p)) return fail(JsonFault::BadNumber);
    while (p != end_ && is_digit(*p)) ++p;
  }
  if (p != end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p != end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_ || !is_digit(*p)) return fail(JsonFault::BadNumber);
    while (p != end_ && is_digit(*p)) ++p;
  }
  // A number runs into the next structural byte or white space, never into
  // a letter or another digit ("01", "1x").
  if (p != end_ && !is_space(*p) && *p != ',' && *p != '}' && *p != ']') {
    return fail(JsonFault::BadNumber);
  }
  *out = std::string_view(start, static_cast<std::size_t>(p - start));
  p_ = p;
  return true;
}

bool JsonScan::scalar_text(std::string_view* out, std::string* scratch) {
  if (fault_ != JsonFault::None) return false;
  const JsonKind kind = peek();
  if (kind == JsonKind::String) return string(out, scratch);
  if (kind == JsonKind::Number) return number(out);
  return fail(JsonFault::Expected, "a number or a string");
}

bool JsonScan::literal(std::string_view* out) {
  if (fault_ != JsonFault::None) return false;
  if (peek() != JsonKind::Literal) return fail(JsonFault::Expected, "true, false or null");
  for (std::string_view word :
       {std::string_view("true"), std::string_view("false"), std::string_view("null")}) {
    const auto left = static_cast<std::size_t>(end_ - p_);
    if (left >= word.size() && std::memcmp(p_, word.data(), word.size()) == 0) {
      const char* after = p_ + word.size();
      if (after == end_ || is_space(*after) || *after == ',' || *after == '}' || *after == ']') {
        *out = word;
        p_ = after;
        return true;
      }
    }
  }
  return fail(JsonFault::Expected, "true, false or null");
}

bool JsonScan::skip() {
  std::string_view ignored;
  switch (peek()) {
    case JsonKind::Object: {
      if (!enter_object()) return false;
      std::string scratch;
      while (member(&ignored, &scratch)) {
        if (!skip()) return false;
      }
      return fault_ == JsonFault::None;
    }
    case JsonKind::Array:
      if (!enter_array()) return false;
      while (element()) {
        if (!skip()) return false;
      }
      return fault_ == JsonFault::None;
    case JsonKind::String: {
      const char *b = nullptr, *e = nullptr;
      bool escaped = false;
      if (!string_span(&b, &e, &escaped)) return false;
      std::string scratch;
      if (escaped && !decode_json_string(b, e, &scratch)) {
        p_ = b;
        return fail(JsonFault::BadString);
      }
      return true;
    }
    case JsonKind::Number:
      return number(&ignored);
    case JsonKind::Literal:
      return literal(&ignored);
    default:
      return fail(JsonFault::Expected, "a value");
  }
}

bool JsonScan::finish() {
  if (fault_ != JsonFault::None) return false;
  space();
  return p_ == end_ || fail(JsonFault::TrailingBytes);
}

}  // namespace halvorn::data
