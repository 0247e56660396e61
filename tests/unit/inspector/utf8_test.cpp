#include "src/inspector/utf8.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

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
    ::testing::Values(Decode{"", ""}, Decode{"plain", "plain"},
                      Decode{"\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80", "\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80"},
                      Decode{"a\xFF"
                             "b",
                             "a" FFFD "b"},
                      Decode{"\xC3", FFFD},  // truncated at the end
                      Decode{"\xE2\x82"
                             "a",
                             FFFD "a"},              // one subpart of two bytes
                      Decode{"\xF0\x9F\x98", FFFD},  // three bytes, one replacement
                      Decode{"\xF0\x9F\x98\xF0\x9F\x98\x80", FFFD "\xF0\x9F\x98\x80"},
                      Decode{"\xED\xA0\x80", FFFD FFFD FFFD},           // surrogate: ED cannot take A0
                      Decode{"\xC0\xAF", FFFD FFFD},                    // overlong lead
                      Decode{"\xE0\x80\x80", FFFD FFFD FFFD},           // overlong three-byte form
                      Decode{"\xF4\x90\x80\x80", FFFD FFFD FFFD FFFD},  // above U+10FFFF
                      Decode{"\xF8\x88\x80\x80\x80", FFFD FFFD FFFD FFFD FFFD},
                      Decode{"\x80\xBF", FFFD FFFD},           // lone continuation bytes
                      Decode{"caf\xE9 ok", "caf" FFFD " ok"},  // Latin-1
                      Decode{std::string(40, 'a') + "\xFF" + std::string(40, 'b'),
                             std::string(40, 'a') + FFFD + std::string(40, 'b')}));

// A plain reference decoder, straight from the table of well-formed byte sequences.
std::string reference_lossy(const std::string& in) {
  std::string out;
  std::size_t i = 0;
  while (i < in.size()) {
    const auto b = static_cast<unsigned char>(in[i]);
    if (b < 0x80) {
      out += in[i++];
      continue;
    }
    int need = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF)
      need = 1;
    else if (b == 0xE0)
      need = 2, lo = 0xA0;
    else if (b == 0xED)
      need = 2, hi = 0x9F;
    else if (b >= 0xE1 && b <= 0xEF)
      need = 2;
    else if (b == 0xF0)
      need = 3, lo = 0x90;
    else if (b == 0xF4)
      need = 3, hi = 0x8F;
    else if (b >= 0xF1 && b <= 0xF3)
      need = 3;
    std::size_t j = i + 1;
    int got = 0;
    while (got < need && j < in.size()) {
      const auto c = static_cast<unsigned char>(in[j]);
      if (c < (got == 0 ? lo : 0x80) || c > (got == 0 ? hi : 0xBF)) break;
      ++j, ++got;
    }
    if (need > 0 && got == need) {
      out.append(in, i, j - i);
    } else {
      out += FFFD;
    }
    i = (need > 0 && got == need) ? j : (need == 0 ? i + 1 : j);
  }
  return out;
}

// Ill-formed bytes everywhere, across the chunks in which the decoder validates.
TEST(Utf8, AgreesWithReferenceAcrossChunks) {
  const std::vector<std::string> pieces = {"a",
                                           "bc ",
                                           "\xC3\xA9",
                                           "\xE4\xB8\xAD",
                                           "\xF0\x9F\x98\x80",
                                           "\xFF",
                                           "\xC3",
                                           "\xE2\x82",
                                           "\xF0\x9F\x98",
                                           "\x80",
                                           "\xBF\xBF\xBF\xBF\xBF",
                                           "\xED\xA0\x80",
                                           "\xC0\xAF",
                                           "\xF4\x90\x80\x80",
                                           "\xF8\x88"};
  std::mt19937 rng(7);
  for (int round = 0; round < 60; ++round) {
    std::string in;
    const std::size_t size = 2000 + rng() % 20000;
    const bool sparse = round % 2 == 0;  // mostly valid text, or dense garbage
    while (in.size() < size) {
      const std::size_t k = sparse && rng() % 50 ? rng() % 5 : rng() % pieces.size();
      in += pieces[k];
    }
    const std::string want = reference_lossy(in);
    EXPECT_EQ(decode_lossy(std::string(in)), want) << "round " << round;
  }
}

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
