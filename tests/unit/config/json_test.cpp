#include <gtest/gtest.h>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(JsonReader, AcceptsJsonAndKeepsNumberKinds) {
  testing::expect_accepted(parse_json, {
      {"{}", Table{}},
      {R"({"a": 1, "b": -2, "c": 18446744073709551615, "d": 1.5, "e": 1e2})",
       table({{"a", 1}, {"b", -2}, {"c", std::uint64_t{18446744073709551615u}}, {"d", 1.5}, {"e", 100.0}})},
      {R"({"s": "x\u00e9\n", "t": true, "n": null, "l": ["a", [1]]})",
       table({{"s", "x\xc3\xa9\n"}, {"t", true}, {"n", Value()}, {"l", Array{"a", Array{1}}}})},
      {R"({"vintra_dlp": {"network": {"enabled": true}}})",
       table({{"vintra_dlp", table({{"network", table({{"enabled", true}})}})}})},
      // A repeated key keeps its last value, at the place it first appeared.
      {R"({"a": 1, "b": 2, "a": 3})", table({{"a", 3}, {"b", 2}})},
      {"\"top\"", Value("top")},
  });
}

TEST(JsonReader, RejectsInvalidJson) {
  testing::expect_rejected(parse_json, {
      {"", "invalid JSON"},
      {"{\"a\": 1,}", "invalid JSON"},
      {"{a: 1}", "invalid JSON"},
      {"{\"a\": 1} // comment", "invalid JSON"},
      {"{\"a\": \"\xff\"}", "invalid JSON"},
      {"{\"a\": 1", "invalid JSON"},
      {"{\"a\": 01}", "invalid JSON"},
  });
}

}  // namespace
}  // namespace vintra::config
