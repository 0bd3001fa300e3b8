// The JSON cursor: what it hands out of valid texts (escapes decoded, number
// texts as written), where it refuses broken ones, and that no text at all
// -- random bytes, cut or spliced messages -- makes it read past its end or
// take a broken text for a whole one.

#include "data/json_scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace halvorn::data {
namespace {

// Every member of the top-level object as "key=value text", values read as
// scalars where they are one and stepped over otherwise; or the fault and
// its offset.
std::vector<std::string> walk(const char* begin, std::size_t size) {
  JsonScan scan(begin, begin + size);
  std::vector<std::string> out;
  std::string key_scratch, value_scratch;
  std::string_view key, value;
  if (scan.enter_object()) {
    while (scan.member(&key, &key_scratch)) {
      const std::string name(key);
      const JsonKind kind = scan.peek();
      if (kind == JsonKind::String || kind == JsonKind::Number) {
        if (!scan.scalar_text(&value, &value_scratch)) break;
        out.push_back(name + "=" + std::string(value));
      } else {
        if (!scan.skip()) break;
        out.push_back(name + "=...");
      }
    }
  }
  if (scan.fault() == JsonFault::None) scan.finish();
  if (scan.fault() != JsonFault::None) {
    out.push_back(json_fault_text(scan.fault(), scan.expected()) + " @" +
                  std::to_string(scan.offset()));
  }
  return out;
}

std::vector<std::string> walk(const std::string& text) { return walk(text.data(), text.size()); }

// The same, over a heap buffer of exactly the text's bytes, so that a read
// past its end is one AddressSanitizer sees.
std::vector<std::string> walk_exact(const std::string& text) {
  const auto held = std::make_unique<char[]>(text.size());
  std::copy(text.begin(), text.end(), held.get());
  return walk(held.get(), text.size());
}

bool faulted(const std::vector<std::string>& w) {
  return !w.empty() && w.back().find(" @") != std::string::npos;
}

using Walk = std::vector<std::string>;

TEST(JsonScan, HandsOutKeysAndTheTextOfStringsAndNumbers) {
  EXPECT_EQ(walk(R"( { "p" : "42123.40", "q":1e-3 ,"T":-0.5E+2, "a" :[[1,{"x":[]}],"]"],)"
                 R"( "n":null, "m":true, "s":"\u00e9\"\\/\ud83d\ude00" } )"),
            (Walk{"p=42123.40", "q=1e-3", "T=-0.5E+2", "a=...", "n=...", "m=...",
                  "s=\xC3\xA9\"\\/\xF0\x9F\x98\x80"}));
  EXPECT_EQ(walk("{}"), Walk{});
  // A key with an escape is the key it decodes to.
  EXPECT_EQ(walk(R"({"\u0070":"1"})"), Walk{"p=1"});
}

TEST(JsonScan, RefusesBrokenTextsWhereTheyBreak) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"p":"1",})", "expected a member's name in quotes @9"},
      {R"({"p" "1"})", "expected ':' @5"},
      {R"({"p":"1" "q":2})", "expected ',' or '}' @9"},
      {R"({"p":01})", "a number is not written as JSON writes one @5"},
      {R"({"p":1.})", "a number is not written as JSON writes one @5"},
      {R"({"p":-})", "a number is not written as JSON writes one @5"},
      {R"({"p":1x})", "a number is not written as JSON writes one @5"},
      {R"({"p":"1)", "a string does not end on its line @7"},
      {"{\"p\":\"a\tb\"}", "a string holds a control character or a malformed escape @7"},
      {R"({"p":"\x"})", "a string holds a control character or a malformed escape @6"},
      {R"({"p":"\ud800"})", "a string holds a control character or a malformed escape @6"},
      {R"({"p":[1,]})", "expected a value @8"},
      {R"({"p":tru})", "expected true, false or null @5"},
      {R"({"p":1} x)", "something follows the end of the message @8"},
      {R"([1])", "expected an object @0"},
      {"", "expected an object @0"},
  };
  for (const auto& [text, fault] : cases) {
    const Walk got = walk(text);
    ASSERT_FALSE(got.empty()) << text;
    EXPECT_EQ(got.back(), fault) << text;
  }
}

TEST(JsonScan, NestingPastItsLimitIsRefusedNotRecursedInto) {
  const int deep = MAX_JSON_DEPTH + 5;
  const std::string text = "{\"a\":" + std::string(deep, '[') + std::string(deep, ']') + "}";
  EXPECT_EQ(walk(text).back(), "arrays and objects nest deeper than 64 @68");
  const std::string fits =
      "{\"a\":" + std::string(MAX_JSON_DEPTH - 1, '[') + std::string(MAX_JSON_DEPTH - 1, ']') + "}";
  EXPECT_EQ(walk(fits), Walk{"a=..."});
}

// A line cut short (a recorder stopped mid-write) is never taken for a
// whole message, however it is cut; and random bytes, or a message with a
// byte changed, never make the cursor read past the text.
TEST(JsonScan, CutMessagesAreRefusedAndNoTextReadsPastItsEnd) {
  const std::string messages[] = {
      R"({"e":"depthUpdate","E":1,"b":[["1.5","2"],["1.4","0"]],"s":"\u0042TC","m":false})",
      R"({"stream":"x@y","data":{"p":-12.5e-3,"n":null,"t":true}})",
  };
  for (const std::string& message : messages) {
    ASSERT_FALSE(faulted(walk_exact(message))) << message;
    for (std::size_t cut = 0; cut < message.size(); ++cut) {
      EXPECT_TRUE(faulted(walk_exact(message.substr(0, cut)))) << message.substr(0, cut);
    }
  }
  std::mt19937_64 rng(7);
  const std::string alphabet = "{}[]\":,.-+eE0123456789 \\unt\"truefalsenull";
  for (int i = 0; i < 20000; ++i) {
    std::string text = messages[i % 2];
    if (i % 3 == 0) {
      text.resize(rng() % 40);
      for (char& c : text) c = alphabet[rng() % alphabet.size()];
    } else {
      text[rng() % text.size()] = alphabet[rng() % alphabet.size()];
    }
    walk_exact(text);
  }
}

}  // namespace
}  // namespace halvorn::data
