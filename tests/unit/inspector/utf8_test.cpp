#include "src/inspector/utf8.hpp"

#include <gtest/gtest.h>

#include <string>

namespace vintra::inspector {
namespace {

#define FFFD "\xEF\xBF\xBD"

struct Decode {
  std::string in;
  std::string out;
};

void PrintTo(const Decode& d, std::ostream* os) {
  for (unsigned char c : d.in) *os << "\\x" << std::hex << static_cast<int>(c);
}

class DecodeLossy : public ::testing::TestWithParam<Decode> {};

// One U+FFFD per maximal ill-formed subpart, as the reference engine's decoder does.
TEST_P(DecodeLossy, ReplacesMaximalSubparts) {
  std::string in = GetParam().in;
  const std::size_t prefix = valid_utf8_prefix(in);
  EXPECT_EQ(decode_lossy(std::move(in)), GetParam().out);
  EXPECT_EQ(prefix == GetParam().in.size(), GetParam().in == GetParam().out);
}

INSTANTIATE_TEST_SUITE_P(
    Utf8, DecodeLossy,
    ::testing::Values(
        Decode{"", ""}, Decode{"plain", "plain"}, Decode{"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
        Decode{"a\xFF" "b", "a" FFFD "b"},
        Decode{"\xC3", FFFD},                                  // truncated at the end
        Decode{"\xE2\x82" "a", FFFD "a"},                      // one subpart of two bytes
        Decode{"\xF0\x9F\x98", FFFD},                          // three bytes, one replacement
        Decode{"\xF0\x9F\x98\xF0\x9F\x98\x80", FFFD "\xF0\x9F\x98\x80"},
        Decode{"\xED\xA0\x80", FFFD FFFD FFFD},                // surrogate: ED cannot take A0
        Decode{"\xC0\xAF", FFFD FFFD},                         // overlong lead
        Decode{"\xE0\x80\x80", FFFD FFFD FFFD},                // overlong three-byte form
        Decode{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},       // above U+10FFFF
        Decode{"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
        Decode{"\x80\xBF", FFFD FFFD},                         // lone continuation bytes
        Decode{"caf\xE9 ok", "caf" FFFD " ok"},                // Latin-1
        Decode{std::string(40, 'a') + "\xFF" + std::string(40, 'b'),
               std::string(40, 'a') + FFFD + std::string(40, 'b')}));

TEST(Utf8, ValidInputIsNotCopied) {
  std::string in(1 << 16, 'x');
  in += "\xC3\xA9";
  const char* data = in.data();
  const std::string out = decode_lossy(std::move(in));
  EXPECT_EQ(out.data(), data);
}

TEST(Utf8, IsAscii) {
  EXPECT_TRUE(is_ascii(""));
  EXPECT_TRUE(is_ascii(std::string(100, '\x7F')));
  std::string s(100, 'a');
  s[77] = '\x80';
  EXPECT_FALSE(is_ascii(s));
}

}  // namespace
}  // namespace vintra::inspector
